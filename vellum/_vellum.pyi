"""Type stub of the native engine ``vellum._vellum`` (C++)."""
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Protocol

class _Readable(Protocol):
    def read(self, n: int = ..., /) -> bytes: ...

# (prefix, namespace URI) pairs in force around a captured element.
_Namespaces = list[tuple[str, str]]
# (row, column, value, data_type, style_id) of one cell.
_RawCell = tuple[int, int, Any, str, int]

class NativeFallback(Exception):
    """The engine declines this input; the package redoes the job in Python."""

# The slots each reading fills in a cell, in order: {"streamed": ...,
# "formula": ... (streamed with formulas kept), "full": ...}; the package's
# vellum.reference.cell states the same.
CELL_SLOTS: dict[str, tuple[str, ...]]

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

class CellStore:
    """The cells of a worksheet read in full, packed natively: a mapping of
    ``(row, column)`` to ``Cell`` with the semantics of a dict, whose cells
    are created when first accessed. A key of another shape switches it to
    an ordinary dict ("dict mode") until `clear`."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __getitem__(self, key: Any) -> Any: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def __delitem__(self, key: Any) -> None: ...
    def __contains__(self, key: Any) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]:
        """Keys: loaded cells in row-major order, then cells added later."""
    def __reversed__(self) -> Iterator[Any]: ...
    def get(self, key: Any, default: Any = None) -> Any: ...
    def clear(self) -> None:
        """Empty the store (and leave dict mode)."""
    def popitem(self) -> tuple[Any, Any]: ...
    def _bounds(self) -> tuple[int, int, int, int] | None:
        """``(min_row, max_row, min_col, max_col)`` of the cells; None when
        empty or in dict mode."""
    def _value_bounds(self) -> tuple[int, int, int, int] | None:
        """``(min_row, max_row, min_col, max_col)`` of the cells whose value
        is neither None nor an empty text; None when there is none or in
        dict mode."""
    def _in_dict_mode(self) -> bool: ...
    def _stats(self) -> tuple[int, int, int, int]:
        """``(cells, cells created as objects, formula templates, text bytes)``."""
    def _row(self, row: int, min_col: int, max_col: int, values_only: bool,
             ) -> tuple[tuple[Any, ...], bool]:
        """``(cells or values of columns min_col..max_col, whether a missing
        cell was created)`` of one row; for cells, missing ones are created
        empty; for values, a missing one gives None and nothing is created."""

def bind_cells(source: _Readable, parser: Any, ws: Any, store: CellStore,
               cell_styles: Sequence[Any], cell_cls: type, helpers: dict[str, Any],
               actions: list[Any]) -> None:
    """Read every cell of a worksheet part into `store` (emptied first),
    creating no ``Cell`` until one is accessed; the sheet's other elements
    ``("element", bytes, namespaces)`` and warnings ``("warn", message)``
    are appended to `actions` in document order, row attributes put in
    ``parser.row_dimensions``. Raises ``NativeFallback`` where the package
    must read the sheet itself."""

def read_table(sheet: Any, strings: Any, epoch: Any, date_formats: Iterable[int],
               timedelta_formats: Iterable[int], helpers: dict[str, Any],
               header_row: int | None = None, skip_rows: int | None = None,
               n_rows: int | None = None, columns: Sequence[int] | None = None,
               names: Sequence[str] | None = None, dtypes: dict[str, str] | None = None,
               error_text: bool = False) -> TableData | str:
    """A worksheet's cached values read into typed columns, or the reason
    (a str) why what was asked cannot be made. `sheet` and `strings` (the
    shared strings, or None) are each a member's ``(path or buffer, data
    offset, compressed size, size, CRC-32, method)`` or a file reading its
    XML. The engine lets the interpreter go while it inflates and parses.
    Raises ``NativeFallback`` where the package must read the sheet itself."""

class TableData:
    """A table read by the columnar job: record batches of typed columns,
    handed to Arrow consumers through the Arrow PyCapsule interface."""

    @property
    def num_rows(self) -> int: ...
    @property
    def num_batches(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def column_types(self) -> list[str]:
        """Arrow type names ("int64", "timestamp[us]", "string" also for a
        dictionary of strings)."""
    @property
    def nbytes(self) -> int:
        """Bytes of the table's buffers."""
    @property
    def extent(self) -> tuple[int, int, int, int]:
        """``(rows, columns)`` up to the last cell, then up to the last cell
        holding a value."""
    @property
    def date_errors(self) -> int:
        """Date-formatted cells whose serial is out of range."""
    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...
    @classmethod
    def from_lists(cls, names: list[str], types: list[str], lists: list[list[Any]]) -> TableData:
        """A table of one list of values per column, each of its type."""

class SheetWriter:
    """A worksheet's ``<sheetData>`` written byte for byte as the package's
    own writer writes it: in lxml mode `write` receives bytes, otherwise
    str. Cells it does not reproduce go to ``helpers["write_cell"]``.
    Optional helpers: ``"date_formats"``, the ids of the number formats
    that show dates (a "d" cell under any other is the package's to write),
    and ``"formula_values"``, ``{(row, column): (formula, t, text)}``, the
    value each formula was saved with, written while the cell holds that
    formula (see `vellum.reference.writer.make_writer_helpers`)."""

    def __init__(self, ws: Any, write: Callable[[Any], Any], lxml: bool,
                 helpers: dict[str, Any]) -> None: ...
    def write_sheet_data(self, rows_fallback: Callable[[], Iterable[tuple[int, Iterable[Any]]]],
                         ) -> None:
        """Write the whole element; `rows_fallback` is the package's row
        grouping, used for cells the engine does not read itself. Raises
        ``NativeFallback`` when the package must write the sheet."""
    def write_row(self, cells: Iterable[Any], row_idx: int) -> None:
        """Write one ``<row>`` of a write-only sheet; a row whose cell raises
        is left out whole. Output reaches `write` at 1 MiB or on `flush`."""
    def write_values(self, values: Iterable[Any], row_idx: int,
                     make_cell: Callable[[int, int, Any], Any],
                     styles: tuple[str | None, ...] | None = None) -> int:
        """Write one ``<row>`` of a new row's values, from column 1 on, None
        leaving a cell out: plain numbers, bools and texts directly, any
        other value through the cell ``make_cell(row, column, value)``
        gives. `styles` holds, by position, the ``s`` attribute (a style
        id's decimal text, or None) of the cell make_cell would make of
        each value, which plain values are written with. Whole or not at
        all, as `write_row`; returns the last column that holds a value, or 0."""
    def flush(self) -> None:
        """Hand everything buffered to `write`."""
