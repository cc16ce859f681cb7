"""Streamed worksheets: a sheet's rows read one at a time from the file, by
the engine's `RowReader`, or by the package's `SheetReader` when the engine
declines, in little memory whatever the sheet's size.

`StreamedWorksheet` is the sheet a streamed `vellum.Workbook` hands out; `SheetStream`
reads one sheet part for it and for the workbook's own row methods.
"""
from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from vellum import _vellum
from vellum.errors import NativeFallback, WorkbookError, damaged, native_or_package
from vellum.layout import Layout, layout_of, prescan
from vellum.reference import Cell
from vellum.reference.cell import FORMULA_SLOTS, STREAMED_SLOTS
from vellum.reference.sheet import MAIN_NS, STRICT_NS, SheetReader
from vellum.xmlparts import root_name

if TYPE_CHECKING:
    from vellum.workbook import Workbook


def check_root(workbook: Workbook, sheet: StreamedWorksheet) -> None:
    """Refuse a sheet part whose root element is in neither main namespace."""
    with workbook._archive.open_member(sheet.part) as source:
        root = root_name(source)
    namespace = root.rpartition("}")[0] if root else MAIN_NS
    if namespace not in (MAIN_NS, STRICT_NS):
        raise WorkbookError(
            f"{workbook.path}: part {sheet.part} is not a worksheet vellum can read "
            f"(its root element is {root.replace('}', ' ')})")


class StreamedWorksheet:
    """A worksheet of an open `Workbook` whose rows are read from the file as
    they are asked for (`iter_rows`), in little memory whatever its size:
    its `name`, its `state` ("visible", "hidden" or "veryHidden"), the zip
    member `part` of its XML, and its `layout()`."""

    __slots__ = ("name", "part", "state", "_book")

    def __init__(self, name: str, part: str, state: str = "visible",
                 book: Workbook | None = None) -> None:
        self.name, self.part, self.state, self._book = name, part, state, book

    @property
    def hidden(self) -> bool:
        """True for a hidden or very hidden sheet."""
        return self.state != "visible"

    def iter_rows(self, min_row: int = 1, max_row: int | None = None,
                  min_col: int = 1, max_col: int | None = None,
                  values_only: bool = False, row_numbers: bool = False,
                  progress: Callable[[int], object] | None = None,
                  ) -> Iterator[tuple[Any, ...]]:
        """The sheet's rows, streamed from the file, from `min_row` to
        `max_row` (the sheet's last row when None), each a tuple of its
        columns `min_col` to `max_col` (the row's last cell when None).

        Rows keep their positions: a row the file leaves out comes as an
        empty tuple (or as Nones up to `max_col`). Each item is a `Cell`
        (with ``row``, ``column``, ``coordinate`` and ``value``), or with
        `values_only` its value; a column without a cell gives None. With
        `row_numbers`, each row comes as ``(row_number, row)``. `progress`,
        if given, is called every thousand rows or so with the number of
        bytes of the sheet's XML read so far (of `Workbook.part_size`).

        Values are numbers, texts, booleans, dates (`datetime`, `time`,
        `timedelta` as the cell's number format says) and error texts such
        as "#DIV/0!"; a formula cell gives its formula text ("=A1*2",
        `ArrayFormula` or `DataTableFormula`), or its cached value when the
        workbook was opened with ``data_only=True``.
        """
        for name, v in (("min_row", min_row), ("min_col", min_col)):
            if not isinstance(v, int) or v < 1:
                raise ValueError(f"{name} must be a positive int, not {v!r}")
        for name, v in (("max_row", max_row), ("max_col", max_col)):
            if v is not None and (not isinstance(v, int) or v < 1):
                raise ValueError(f"{name} must be a positive int or None, not {v!r}")
        if self._book is None:
            raise WorkbookError(f"sheet {self.name!r} belongs to no open workbook")
        return self._rows(min_row, max_row, min_col, max_col, values_only, row_numbers, progress)

    def _rows(self, min_row, max_row, min_col, max_col, values_only, row_numbers, progress):
        stream = SheetStream(self._book, self, self._book.engine)
        gap = (None,) * (max_col - min_col + 1) if max_col and max_col >= min_col else ()
        expected = min_row
        try:
            rows = stream.rows(min_col, max_col, values_only)
            if min_row == 1 and max_row is None and progress is None and not row_numbers:
                # The whole sheet, as most callers read it: a million-row sheet
                # spends a good part of its time in this loop, so only the
                # left-out rows are looked for.
                for idx, row in rows:
                    while expected < idx:
                        yield gap
                        expected += 1
                    yield row
                    if idx == expected:  # not a row out of order
                        expected += 1
                return
            for n, (idx, row) in enumerate(rows):
                if progress is not None and n & 1023 == 0:
                    progress(stream.position())
                if idx < min_row:
                    continue
                if max_row is not None and idx > max_row:
                    break
                while expected < idx:
                    yield (expected, gap) if row_numbers else gap
                    expected += 1
                yield (idx, row) if row_numbers else row
                # A row out of order (files should not have them, some do)
                # comes where it stands; the rows after the ones already
                # passed are not filled in again.
                expected = max(expected, idx + 1)
        finally:
            stream.close()

    def layout(self) -> Layout:
        """The sheet's layout, read without its cells: dimension, merged
        ranges, column widths, frozen pane, sheet views and row heights
        (a `vellum.layout.Layout`)."""
        book = self._book
        if book is None:
            raise WorkbookError(f"sheet {self.name!r} belongs to no open workbook")
        try:
            return layout_of(prescan(lambda: book._archive.open_member(self.part), book.helpers,
                                       book.engine))
        except (WorkbookError, MemoryError):
            raise
        except Exception as e:
            raise damaged(book.path, self.part, e) from e

    def __repr__(self) -> str:
        return f"StreamedWorksheet({self.name!r}, {self.part!r})"


# The name it had (``vellum.Worksheet``), which callers may rely on.
Worksheet = StreamedWorksheet


class SheetStream:
    """One worksheet read a row at a time, by the engine when it is there.

    If the engine raises `NativeFallback`, the sheet is read again from its
    start by `SheetReader`, the rows already handed out are passed over, and
    reading carries on: the caller sees one uninterrupted sequence of rows.
    `actions` and `parser` always refer to the reader currently in use; after
    a fallback they hold what the package's reader found, from the start of
    the sheet."""

    def __init__(self, workbook, sheet, engine=True, formula_and_value=False):
        self.workbook, self.sheet = workbook, sheet
        self._formula_and_value = formula_and_value
        self._delivered = 0
        self._source = None
        self.native = bool(engine)
        try:
            check_root(workbook, sheet)
            native_or_package(lambda: self._open(_vellum.RowReader), self._open_package, engine)
        except Exception as e:
            raise self._damaged(e) from e

    def _open(self, reader_cls):
        self.close()
        self._source = self.workbook._archive.open_member(self.sheet.part)
        self.parser = self.workbook.parser(self._formula_and_value)
        self._reader = reader_cls(self._source, self.parser, self.workbook.helpers)

    @property
    def actions(self):
        return self._reader.actions

    def _open_package(self):
        self.native = False
        self._open(SheetReader)

    def _fall_back(self):
        """The engine declined partway through the sheet. Unlike a job that
        declines before it has given anything, rows were handed out already:
        the package's reader starts the sheet again and passes over them."""
        try:
            self._open_package()
            for _ in range(self._delivered):
                self._reader.next_raw()
        except Exception as e:
            raise self._damaged(e) from e

    def _damaged(self, error):
        """The `WorkbookError` that reports a failure of reading this sheet's
        part: broken XML or compression, or content no cell can hold; or,
        when the workbook was closed while its rows were read, that."""
        if isinstance(error, (WorkbookError, MemoryError)):
            return error
        if self.workbook._archive.closed:
            return self.workbook._archive.closed_error()
        return damaged(self.workbook.path, self.sheet.part, error)

    def _next(self, method, *args):
        while True:
            try:
                row = getattr(self._reader, method)(*args)
            except NativeFallback:
                if not self.native:
                    raise
                self._fall_back()
                continue
            except Exception as e:
                raise self._damaged(e) from e
            if row is not None:
                self._delivered += 1
            return row

    def next_raw(self):
        return self._next("next_raw")

    def _row_args(self, min_col, max_col, values_only, cell_cls):
        """The arguments of the readers' `next_row`: the slots of
        `cell_cls` that reading does not fill are set to None."""
        filled = STREAMED_SLOTS + FORMULA_SLOTS if self.parser.formula_and_value else STREAMED_SLOTS
        extra_none = [n for n in getattr(cell_cls, "__slots__", ()) if n not in filled]
        return (None, min_col, max_col, values_only, cell_cls, None, extra_none)

    def next_row(self, min_col=1, max_col=None, values_only=True, cell_cls=Cell):
        """The next row as values or as `cell_cls` objects."""
        return self._next("next_row", *self._row_args(min_col, max_col, values_only, cell_cls))

    def rows(self, min_col=1, max_col=None, values_only=True, cell_cls=Cell, indexed=True):
        """Every remaining row as `next_row` gives it, or (not `indexed`) its
        values or cells alone. On sheets of millions of cells the per-row
        overhead is what is left to save: the reader's method is looked up
        once per reader, and the count of rows delivered is kept in a local
        and stored whenever the generator stops or falls back. So while the
        generator is suspended the stream's other reading methods are not to
        be used: a fallback would miscount the rows they took."""
        while True:
            fetch = self._reader.next_row
            args = self._row_args(min_col, max_col, values_only, cell_cls)
            delivered = self._delivered
            try:
                if indexed:
                    while (row := fetch(*args)) is not None:
                        delivered += 1
                        yield row
                else:
                    while (row := fetch(*args)) is not None:
                        delivered += 1
                        yield row[1]
                return
            except NativeFallback:
                self._delivered = delivered
                if not self.native:
                    raise
                self._fall_back()
            except Exception as e:
                raise self._damaged(e) from e
            finally:
                self._delivered = delivered

    def position(self) -> int:
        """Bytes of the sheet's XML read so far (0 where that is unknown)."""
        try:
            return self._source.tell()
        except (AttributeError, OSError, ValueError):
            return 0

    def close(self):
        if self._source is not None:
            self._source.close()
            self._source = None

