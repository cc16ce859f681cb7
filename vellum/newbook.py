"""New workbooks: `new_workbook` and `NewWorkbook`, with their worksheets,
editable ones (`NewWorksheet`) or write-only ones (`WriteOnlyWorksheet`)
that write appended rows to a temporary file at once, so memory stays flat
however many there are; and the rules a sheet name keeps.
"""
from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Iterable, Mapping
from typing import IO, Any

from vellum import _vellum
from vellum.reference import writer as ref
from vellum.reference.cell import Cell, blank_cell, column_letter
from vellum.reference.styles import BUILTIN_FORMATS, CellStyles, IndexedList, StyleArray
from vellum.reference.worksheet import MAX_INDEX, EditableWorksheet, date_style
from vellum.sheetpart import has_lxml, sink, worksheet_head, worksheet_tail
from vellum.utils.datetime import WINDOWS_EPOCH

# The types of the values `NewWorksheet.append` keeps as they are: their
# cells take no style, so nothing is lost until a cell is asked for.
_PLAIN = frozenset((type(None), bool, int, float, str))


def _new_cell(ws: Any, row: int, column: int, value: Any) -> Cell:
    """The cell ``ws.cell(row, column, value)`` makes where there was none."""
    cell = blank_cell(ws, row, column)
    cell.value = value
    date_style(cell, value)
    return cell


def _check_row(values: Any) -> None:
    """TypeError for what `append` would otherwise take apart: a text into
    its characters, a dict into its keys."""
    if isinstance(values, (str, bytes, bytearray, Mapping)):
        raise TypeError(f"append takes a row's values in order (a list, a tuple or another "
                        f"iterable), not a {type(values).__name__}")


class NewWorksheet(EditableWorksheet):
    """An editable worksheet of a new workbook: `cell`, item access and
    `append`, as for a worksheet read in full.

    Rows appended to a sheet that has no cells yet are kept as their values
    (``_pending``: (row, values) in row order, each with a value that is not
    None) while they hold only numbers, bools and texts, and written from
    them at save; the first look at the cells (``_cells``) makes them."""

    def __init__(self, parent: Any, title: str) -> None:
        self._pending: list[tuple[int, list[Any]]] = []
        self._columns = (0, 0)  # the least and greatest column of _pending
        self._cell_dict: dict[Any, Any] = {}
        super().__init__(parent, title)
        self._next_row = 1
        self._last_row = 0  # of every cell made: max_row scans them all

    @property
    def _cells(self) -> Any:
        if self._pending:
            self._make_pending()
        return self._cell_dict

    @_cells.setter
    def _cells(self, cells: Any) -> None:
        self._pending = []
        self._cell_dict = cells

    def _make_cell(self, row: int, column: int, value: Any) -> Cell:
        return _new_cell(self, row, column, value)

    def _make_pending(self) -> None:
        pending, self._pending = self._pending, []
        cells = self._cell_dict
        for row, values in pending:
            for column, value in enumerate(values, 1):
                if value is not None:
                    cells[(row, column)] = _new_cell(self, row, column, value)

    def _extent(self):
        if self._pending:
            return self._pending[0][0], self._pending[-1][0], *self._columns
        return super()._extent()

    def _create(self, row, column):
        self._last_row = max(self._last_row, row)
        return super()._create(row, column)

    def append(self, values: Iterable[Any]) -> None:
        """Put `values` in the row after the last one that has cells, from
        column 1 on; None leaves a cell out."""
        if type(values) not in (list, tuple):
            _check_row(values)
        row = max(self._next_row, self._last_row + 1)
        items: list[Any] = []
        try:
            items.extend(values)
        except BaseException:
            self._append_cells(row, items)  # the cells made before the failure
            raise
        types = set(map(type, items))
        if self._cell_dict or not _PLAIN.issuperset(types) or row > MAX_INDEX:
            self._append_cells(row, items)
        elif type(None) not in types:
            if items:
                self._keep(row, items, 1, len(items))
        else:
            columns = [c for c, value in enumerate(items, 1) if value is not None]
            if columns:
                self._keep(row, items, columns[0], columns[-1])
        self._next_row = row + 1

    def _append_cells(self, row: int, values: list[Any]) -> None:
        for column, value in enumerate(values, 1):
            if value is not None:
                self.cell(row, column, value)

    def _keep(self, row: int, values: list[Any], first: int, last: int) -> None:
        if self._pending:
            low, high = self._columns
            first, last = min(low, first), max(high, last)
        self._columns = (first, last)
        self._pending.append((row, values))
        self._last_row = row


class WriteOnlyWorksheet:
    """A worksheet of a write-only workbook: rows are added with `append`
    only, written at once (to a temporary file until the workbook is
    saved), and never held."""

    def __init__(self, parent: Any, title: str) -> None:
        self.parent = parent
        self.title = title
        self.state = "visible"
        self.row_dimensions: dict[int, Any] = {}
        self._hyperlinks: list[Any] = []
        self._rows = 0
        self._max_col = 0
        self._lxml = parent._lxml
        self._file = tempfile.TemporaryFile()
        # rows go to the engine's writer as they come: it has no fallback
        # here, as it hands every cell it does not write itself to the
        # package's write_cell helper, and a save cannot start them over
        self._writer = _vellum.SheetWriter(self, sink(self._file, self._lxml), self._lxml,
                                           ref.make_writer_helpers(self._lxml))

    @property
    def name(self) -> str:
        """The sheet's name (its `title`)."""
        return self.title

    def append(self, values: Iterable[Any]) -> None:
        """Write `values` as the next row, from column 1 on; None leaves a
        cell out."""
        writer = self._writer
        if writer is None:
            raise ValueError(f"sheet {self.title!r} was saved: a write-only workbook "
                             "takes no rows after its save")
        if type(values) not in (list, tuple):
            _check_row(values)
        row = self._rows + 1
        last = writer.write_values(values, row, self._make_cell)
        self._rows = row
        if last:
            self._max_col = max(self._max_col, last)

    def _make_cell(self, row: int, column: int, value: Any) -> Cell:
        cell = Cell(self, row, column)
        cell.value = value
        date_style(cell, value)
        return cell

    def _copy_to(self, out: IO[bytes]) -> list[str]:
        """Write the whole worksheet part; the URLs of its links."""
        self._writer.flush()
        self._writer = None
        dimension = "A1" if not self._rows or not self._max_col else \
            f"A1:{column_letter(self._max_col)}{self._rows}"
        out.write(worksheet_head(self, dimension))
        out.write(b"<sheetData>")
        self._file.seek(0)
        shutil.copyfileobj(self._file, out, 1 << 20)
        out.write(b"</sheetData>")
        tail, urls = worksheet_tail(self)
        out.write(tail)
        self._file.close()
        return urls


_NAME_FORBIDS = frozenset("[]:*?/\\")


def check_sheet_name(name: str, taken: Iterable[str] = ()) -> None:
    """ValueError unless `name` is a sheet name spreadsheet applications
    open as it is: 1 to 31 characters, none of ``[ ] : * ? / \\`` nor one
    XML cannot carry, no apostrophe first or last, and no other sheet's
    name in other letter case (they compare names so). LibreOffice renames
    such sheets and other applications refuse the file."""
    if not isinstance(name, str):
        raise TypeError(f"a sheet name is a str, not {type(name).__name__}")
    if not 1 <= len(name) <= 31:
        raise ValueError(f"a sheet name has 1 to 31 characters: {name!r}")
    ref.safe_string(name)
    bad = sorted(_NAME_FORBIDS.intersection(name))
    if bad:
        raise ValueError(f"a sheet name cannot hold {''.join(bad)!r}: {name!r}")
    if name[0] == "'" or name[-1] == "'":
        raise ValueError(f"a sheet name cannot begin or end with an apostrophe: {name!r}")
    folded = name.casefold()
    for other in taken:
        if other.casefold() == folded:
            raise ValueError(f"a sheet called {other!r} exists already")


class NewWorkbook:
    """A workbook made from scratch (see `new_workbook`)."""

    def __init__(self, write_only: bool = False, lxml: bool | None = None) -> None:
        self.write_only = write_only
        self._saved = False
        self._lxml = has_lxml() if lxml is None else lxml
        self.epoch = WINDOWS_EPOCH
        self.iso_dates = False
        self.worksheets: list[Any] = []
        self._cell_styles = CellStyles([StyleArray()])
        self._number_formats = dict(BUILTIN_FORMATS)
        self._alignments = IndexedList([()])
        self._protections = IndexedList([()])

    def add_sheet(self, name: str) -> Any:
        """Add a worksheet called `name` at the end and return it: a
        `WriteOnlyWorksheet` in a write-only workbook, else a worksheet
        with `cell`, ``ws["B2"] = value`` and `append`."""
        self._check_open()
        check_sheet_name(name, [ws.title for ws in self.worksheets])
        cls = WriteOnlyWorksheet if self.write_only else NewWorksheet
        ws = cls(self, name)
        self.worksheets.append(ws)
        return ws

    def __getitem__(self, name: str) -> Any:
        for ws in self.worksheets:
            if ws.title == name:
                return ws
        raise KeyError(name)

    def save(self, path_or_file: str | os.PathLike[str] | IO[bytes], *,
             lxml: bool | None = None, engine: bool = True) -> None:
        """Write the workbook as an xlsx file (a path or a binary file);
        `lxml` and `engine` as for `Workbook.save`. A write-only workbook
        can be saved once, in the mode its rows were written in."""
        if self.write_only:
            self._check_open()
            if lxml not in (None, self._lxml):
                raise ValueError("a write-only workbook saves in the mode it was made with")
            lxml = self._lxml
            self._saved = True  # its rows are gone to the first save, whatever becomes of it
        from vellum.save import save_workbook
        save_workbook(self, path_or_file, lxml, engine)

    def _check_open(self) -> None:
        if self._saved:
            raise ValueError("this write-only workbook was saved: its rows are written once, "
                             "and it takes no more sheets or saves")


def new_workbook(write_only: bool = False, *, lxml: bool | None = None) -> NewWorkbook:
    """A new, empty workbook; add sheets with `add_sheet`, then `save`.
    With `write_only` its sheets take rows through `append` only and write
    them at once, in constant memory however many there are. `lxml` picks
    the serialiser (by default lxml when it is installed)."""
    return NewWorkbook(write_only, lxml)
