"""Type stub of the native engine ``vellum._vellum`` (C++)."""
from collections.abc import Iterable, Sequence
from typing import Any, Protocol

class _Readable(Protocol):
    def read(self, n: int = ..., /) -> bytes: ...

# (prefix, namespace URI) pairs in force around a captured element.
_Namespaces = list[tuple[str, str]]
# (row, column, value, data_type, style_id) of one cell.
_RawCell = tuple[int, int, Any, str, int]

class NativeFallback(Exception):
    """The engine declines this input; the package redoes the job in Python."""

def find_dimension(source: _Readable) -> tuple[bytes, _Namespaces] | None:
    """The worksheet's raw ``dimension`` element and the namespaces in force
    around it, or None."""

def read_string_table(source: _Readable, helpers: dict[str, Any]) -> list[Any]:
    """The shared-strings part as a list: plain texts natively, rich items
    through ``helpers["si_content"]``."""

def prescan_sheet(source: _Readable, want_rows: bool,
                  corners: Iterable[tuple[int, int]] | None,
                  helpers: dict[str, Any]) -> dict[str, Any]:
    """One pass over a worksheet part without building cells:
    ``{"head": [(bytes, namespaces), ...], "tail": [...], "rows": [(row,
    [(name, value), ...]), ...], "corners": {(row, column): s or None}}``."""

class RowReader:
    """A worksheet streamed one row at a time."""

    def __new__(cls, source: _Readable, parser: Any, helpers: dict[str, Any]) -> RowReader: ...
    @property
    def actions(self) -> list[tuple[Any, ...]]:
        """Captured elements ``("element", bytes, namespaces)`` and warnings
        ``("warn", message)``, in document order."""
    def next_raw(self) -> tuple[int, list[_RawCell]] | None:
        """``(idx, [(row, column, value, data_type, style_id), ...])`` of the
        next row, or None at the end of the sheet."""
    def next_row(self, ws: Any, min_col: int, max_col: int | None, values_only: bool,
                 cell_cls: type, filler: Any, extra_none: Sequence[str] | None = None,
                 ) -> tuple[int, tuple[Any, ...]] | None:
        """``(idx, values or cells)`` of the next row, or None at the end."""
