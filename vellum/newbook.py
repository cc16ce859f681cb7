"""New workbooks: `new_workbook` and `NewWorkbook`, with their worksheets,
editable ones (`NewWorksheet`) or write-only ones (`WriteOnlyWorksheet`)
that write appended rows to a temporary file at once, so memory stays flat
however many there are; and the rules a sheet name keeps.
"""
from __future__ import annotations

import math
import os
import shutil
import tempfile
from collections.abc import Iterable, Mapping
from typing import IO, Any

from vellum import _vellum
from vellum.package import Rel
from vellum.reference import writer as ref
from vellum.reference.cell import Cell, blank_cell, column_letter, format_style
from vellum.reference.formats import CellFormat
from vellum.reference.styles import CellStyles, StyleArray, Styles
from vellum.reference.sheetlayout import SheetLayout
from vellum.reference.values import LONE_SURROGATE, MAX_COLUMN, MAX_ROW, check_cell
from vellum.reference.worksheet import EditableWorksheet, date_style
from vellum.sheetpart import has_lxml, sink, worksheet_head, worksheet_tail
from vellum.utils.datetime import WINDOWS_EPOCH

# The types of the values `NewWorksheet.append` keeps as they are: their
# cells take no style, so nothing is lost until a cell is asked for.
_PLAIN = frozenset((type(None), bool, int, float, str))


def _new_cell(ws: Any, row: int, column: int, value: Any, style: Any = None) -> Cell:
    """The cell ``ws.cell(row, column, value)`` makes where there was none,
    with a copy of the style array `style` when one is given."""
    cell = blank_cell(ws, row, column)
    if style is not None:
        cell._style = StyleArray(style)
    cell.value = value
    date_style(cell, value)
    return cell


class RowFormats:
    """The formats rows are appended with (`formats`: a `CellFormat` for
    every cell, or one or None for each in order), as each cell's style
    array and ``s`` text (None for a cell without a style). Each format is
    resolved once per workbook, and the last row's formats are reused
    while the rows that follow give the same."""

    def __init__(self, book: Any) -> None:
        self.book = book
        self.last: tuple[Any, int, list[Any], tuple[str | None, ...]] | None = None

    def __call__(self, formats: Any, count: int) -> tuple[list[Any], tuple[str | None, ...]]:
        """(styles, texts) of a row of `count` values, as long as the row or
        its formats, whichever is longer."""
        if not isinstance(formats, CellFormat):
            _check_row(formats)
            formats = tuple(formats)
        last = self.last
        if last is not None and last[1] == count and (last[0] is formats or last[0] == formats):
            return last[2], last[3]
        each = [formats] * count if isinstance(formats, CellFormat) else list(formats)
        found = [self._resolve(fmt) for fmt in each]
        found += [(None, None)] * (count - len(found))
        styles, texts = [s for s, _ in found], tuple(t for _, t in found)
        self.last = (formats, count, styles, texts)
        return styles, texts

    def _resolve(self, fmt: Any) -> tuple[Any, str | None]:
        if fmt is None:
            return None, None
        if not isinstance(fmt, CellFormat):
            raise TypeError(f"formats are a CellFormat, or one or None for each cell, not {fmt!r}")
        resolved = self.book.__dict__.setdefault("_format_styles", {})
        found = resolved.get(fmt)
        if found is None:
            style = format_style(self.book, fmt)
            text = str(self.book._cell_styles.add(style)) if any(style) else None
            found = resolved[fmt] = (style, text)
        return found


def _styled_blank(items: list[Any], styles: list[Any]) -> bool:
    """Whether a row's formats give a cell without a value a style (such a
    cell is made and written, where a value of None is otherwise left out)."""
    return len(styles) > len(items) or (
        None in items and any(s is not None for v, s in zip(items, styles) if v is None))


def _check_row(values: Any) -> None:
    """TypeError for what `append` would otherwise take apart: a text into
    its characters, a dict into its keys."""
    if isinstance(values, (str, bytes, bytearray, Mapping)):
        raise TypeError(f"append takes a row's values in order (a list, a tuple or another "
                        f"iterable), not a {type(values).__name__}")


def _check_next_row(ws: Any, row: int) -> None:
    if row > MAX_ROW:
        raise ValueError(f"sheet {ws.title!r} is full: a worksheet has {MAX_ROW:,} rows")


def _all_plain_saveable(items: list[Any], types: set[type]) -> bool:
    """Whether every number and text of a row of plain values can be saved
    as it is, judged a type at a time (a row of floats in one sum: a NaN or
    an infinity makes it non-finite); when not, each value is looked at
    when its cell is made."""
    for kind in (float, int, str):
        if kind not in types:
            continue
        some = items if len(types) == 1 else [v for v in items if type(v) is kind]
        if kind is float and not math.isfinite(sum(some)):
            return False
        if kind is int and not -2**1023 < min(some) <= max(some) < 2**1023:
            return False
        if kind is str and LONE_SURROGATE.search("".join(some)):
            return False
    return True


class NewWorksheet(EditableWorksheet):
    """An editable worksheet of a new workbook: `cell`, item access and
    `append`, as for a worksheet read in full.

    Rows appended to a sheet that has no cells yet are kept as their values
    (``_pending``: (row, values, formats) in row order, each with a value
    that is not None, formats None or the row's `RowFormats`) while they
    hold only numbers, bools and texts, and written from them at save; the
    first look at the cells (``_cells``) makes them."""

    def __init__(self, parent: Any, title: str) -> None:
        self._pending: list[tuple[int, list[Any], Any]] = []
        self._formats = RowFormats(parent)
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

    def _make_cell(self, row: int, column: int, value: Any, style: Any = None) -> Cell:
        return _new_cell(self, row, column, value, style)

    def _make_pending(self) -> None:
        pending, self._pending = self._pending, []
        cells = self._cell_dict
        for row, values, formats in pending:
            styles = formats[0] if formats else [None] * len(values)
            for column, (value, style) in enumerate(zip(values, styles), 1):
                if value is not None:
                    cells[(row, column)] = _new_cell(self, row, column, value, style)

    def _extent(self):
        if self._pending:
            return self._pending[0][0], self._pending[-1][0], *self._columns
        return super()._extent()

    def _create(self, row, column):
        self._last_row = max(self._last_row, row)
        return super()._create(row, column)

    def append(self, values: Iterable[Any], formats: Any = None) -> None:
        """Put `values` in the row after the last one that has cells, from
        column 1 on; None leaves a cell out. `formats`, a `CellFormat`
        for every cell of the row or one (or None) for each in order, gives
        them formats (a cell with a format and no value is made too). The
        row is added whole or not at all: a value no cell takes (see
        `Cell.value`) raises, naming its cell, and so does an iterable that
        fails midway, adding nothing."""
        if type(values) not in (list, tuple):
            _check_row(values)
        row = max(self._next_row, self._last_row + 1)
        _check_next_row(self, row)
        items = list(values)
        styled = None if formats is None else self._formats(formats, len(items))
        types = set(map(type, items))
        if self._cell_dict or not _PLAIN.issuperset(types) or not _all_plain_saveable(items, types) \
                or len(items) > MAX_COLUMN or (styled and _styled_blank(items, styled[0])):
            styles = styled[0] if styled else None
            self._append_cells(row, items + [None] * (len(styles or ()) - len(items)), styles)
        elif type(None) not in types:
            if items:
                self._keep(row, items, 1, len(items), styled)
        else:
            columns = [c for c, value in enumerate(items, 1) if value is not None]
            if columns:
                self._keep(row, items, columns[0], columns[-1], styled)
        self._next_row = row + 1

    def _append_cells(self, row: int, values: list[Any], styles: Any = None) -> None:
        """Cells for the values of a new row, with their `styles` when given:
        all of them made (each value checked) before any is added."""
        styles = styles or [None] * len(values)
        made = [_new_cell(self, *check_cell(row, column), value, style)
                for column, (value, style) in enumerate(zip(values, styles), 1)
                if value is not None or style is not None]
        cells = self._cells
        for cell in made:
            cells[(row, cell.column)] = cell
        if made:
            self._last_row = max(self._last_row, row)

    def _keep(self, row: int, values: list[Any], first: int, last: int, styled: Any) -> None:
        if self._pending:
            low, high = self._columns
            first, last = min(low, first), max(high, last)
        self._columns = (first, last)
        self._pending.append((row, values, styled))
        self._last_row = row


class WriteOnlyWorksheet(SheetLayout):
    """A worksheet of a write-only workbook: rows are added with `append`
    only, written at once (to a temporary file until the workbook is
    saved), and never held.

    Its layout (`set_column`, `freeze_panes`, `merge_cells`, `auto_filter`)
    may be set at any time before the save, which writes it; a row's height
    or hiding (`set_row`) only before the row is appended, as rows are
    written as they come."""

    def __init__(self, parent: Any, title: str) -> None:
        self.parent = parent
        self.title = title
        self.state = "visible"
        self.row_dimensions: dict[int, Any] = {}
        self._hyperlinks: list[Any] = []
        self._elements = []
        self._rows = 0
        self._max_col = 0
        self._lxml = parent._lxml
        self._formats = RowFormats(parent)
        self._file = tempfile.TemporaryFile()
        self._lost: BaseException | None = None  # a failed write to the file
        write = sink(self._file, self._lxml)

        def write_or_note(chunk: Any) -> None:
            # what a failed write left in the file is not known: the sheet
            # takes no more rows, and its workbook is not saved
            try:
                write(chunk)
            except BaseException as e:
                self._lost = e
                raise

        # rows go to the engine's writer as they come: it has no fallback
        # here, as it hands every cell it does not write itself to the
        # package's write_cell helper, and a save cannot start them over
        self._writer = _vellum.SheetWriter(self, write_or_note, self._lxml,
                                           ref.make_writer_helpers(self._lxml, parent))

    @property
    def name(self) -> str:
        """The sheet's name (its `title`)."""
        return self.title

    @property
    def dimensions(self) -> str:
        """The range the rows appended so far span, from A1 ("A1" for none)."""
        if not self._rows or not self._max_col:
            return "A1"
        return f"A1:{column_letter(self._max_col)}{self._rows}"

    def set_row(self, row: int, height: float | None = None, hidden: bool = False) -> None:
        """As `NewWorksheet.set_row`, for a row not appended yet."""
        self._check_usable()
        if type(row) is int and row <= self._rows:
            raise ValueError(f"row {row} of sheet {self.title!r} is written: a write-only sheet "
                             "takes a row's height and hiding before the row is appended")
        super().set_row(row, height, hidden)

    def merge_cells(self, ref: str) -> None:
        self._check_usable()
        super().merge_cells(ref)

    def _put(self, name: str, element: Any) -> None:
        # every other layout change goes through here; after the save, it
        # would be lost
        self._check_usable()
        super()._put(name, element)

    def append(self, values: Iterable[Any], formats: Any = None) -> None:
        """Write `values` as the next row, from column 1 on; None leaves a
        cell out. `formats` gives the row's cells formats, as for
        `NewWorksheet.append`. The row is written whole or not at all: a
        value no cell takes (see `Cell.value`) raises, naming its cell, and
        writes nothing."""
        writer = self._check_usable()
        if type(values) not in (list, tuple):
            _check_row(values)
        row = self._rows + 1
        _check_next_row(self, row)
        if formats is None:
            last = writer.write_values(values, row, self._make_cell)
        else:
            items = list(values)
            styles, texts = self._formats(formats, len(items))
            if _styled_blank(items, styles):
                last = self._write_cells(writer, row, items, styles)
            else:
                last = writer.write_values(items, row, lambda r, c, v: self._make_cell(
                    r, c, v, styles[c - 1]), texts)
        self._rows = row
        if last:
            self._max_col = max(self._max_col, last)

    def _write_cells(self, writer: Any, row: int, items: list[Any], styles: list[Any]) -> int:
        """Write a row whose formats give cells without values a style, a
        cell made for each; the last column written."""
        items += [None] * (len(styles) - len(items))
        cells = [self._make_cell(*check_cell(row, column), value, style)
                 for column, (value, style) in enumerate(zip(items, styles), 1)
                 if value is not None or style is not None]
        writer.write_row(cells, row)  # whole or not at all
        return cells[-1].column if cells else 0

    def _make_cell(self, row: int, column: int, value: Any, style: Any = None) -> Cell:
        cell = Cell(self, row, column, style=style)
        cell.value = value
        date_style(cell, value)
        return cell

    def _check_usable(self) -> Any:
        """The sheet's writer; ValueError once the sheet was saved, or a
        write to its file failed."""
        if self._writer is None:
            raise ValueError(f"sheet {self.title!r} was saved: a write-only workbook "
                             "takes no rows after its save")
        if self._lost is not None:
            raise ValueError(f"sheet {self.title!r} lost rows: writing them to its temporary "
                             f"file failed ({type(self._lost).__name__}: {self._lost})") from self._lost
        return self._writer

    def _copy_to(self, out: IO[bytes]) -> list[Rel]:
        """Write the whole worksheet part; the relationships of its links.
        The rows stay in the sheet's file until `_close`, so that a save
        that fails can be made again."""
        writer = self._check_usable()
        dimension = self.dimensions
        # rows given a height or hidden, past the last row appended: written
        # empty (once: a save made again finds them written)
        for row in sorted(r for r in self.row_dimensions if r > self._rows):
            writer.write_row([], row)
            self._rows = row
        writer.flush()
        out.write(worksheet_head(self, dimension))
        out.write(b"<sheetData>")
        self._file.seek(0)
        shutil.copyfileobj(self._file, out, 1 << 20)
        out.write(b"</sheetData>")
        tail, rels = worksheet_tail(self)
        out.write(tail)
        return rels

    def _close(self) -> None:
        """The workbook was saved: the rows are let go."""
        self._writer = None
        self._file.close()


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

    def __init__(self, write_only: bool = False, lxml: bool | None = None,
                 nan_inf_to_errors: bool = False) -> None:
        self.write_only = write_only
        self.nan_inf_to_errors = nan_inf_to_errors
        self._saved = False
        self._lxml = has_lxml() if lxml is None else lxml
        self.epoch = WINDOWS_EPOCH
        self.iso_dates = False
        self.worksheets: list[Any] = []
        styles = Styles.new()
        self._cell_styles = CellStyles([StyleArray()])
        self._number_formats = styles.number_formats
        self._alignments, self._protections = styles.alignments, styles.protections
        self._fonts, self._fills, self._borders = styles.fonts, styles.fills, styles.borders

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

    def _check_title(self, ws: Any, name: str) -> None:
        """ValueError unless `ws` may be renamed `name` (the rules of
        `add_sheet`)."""
        check_sheet_name(name, [other.title for other in self.worksheets if other is not ws])

    def __getitem__(self, name: str) -> Any:
        for ws in self.worksheets:
            if ws.title == name:
                return ws
        raise KeyError(name)

    def save(self, path_or_file: str | os.PathLike[str] | IO[bytes], *,
             lxml: bool | None = None, engine: bool = True) -> None:
        """Write the workbook as an xlsx file (a path or a binary file);
        `lxml` and `engine` as for `Workbook.save`, and as atomic to a path.
        A write-only workbook is saved once, in the mode its rows were
        written in; a save of it that fails can be made again."""
        from vellum.save import save_workbook
        if not self.write_only:
            save_workbook(self, path_or_file, lxml, engine)
            return
        self._check_open()
        if lxml not in (None, self._lxml):
            raise ValueError("a write-only workbook saves in the mode it was made with")
        save_workbook(self, path_or_file, self._lxml, engine)
        self._saved = True
        for ws in self.worksheets:
            ws._close()

    def _check_open(self) -> None:
        if self._saved:
            raise ValueError("this write-only workbook was saved: its rows are written once, "
                             "and it takes no more sheets or saves")


def new_workbook(write_only: bool = False, *, lxml: bool | None = None,
                 nan_inf_to_errors: bool = False) -> NewWorkbook:
    """A new, empty workbook; add sheets with `add_sheet`, then `save`.
    With `write_only` its sheets take rows through `append` only and write
    them at once, in constant memory however many there are. `lxml` picks
    the serialiser (by default lxml when it is installed). NaN and the
    infinities are refused as cell values, as no spreadsheet holds them;
    with `nan_inf_to_errors` they are saved as the error values #NUM!
    (NaN) and #DIV/0! (infinities) instead (the workbook's attribute of
    that name can be changed; a write-only workbook's rows are judged by
    it when appended)."""
    return NewWorkbook(write_only, lxml, nan_inf_to_errors)
