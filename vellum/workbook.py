"""The workbook model: an open xlsx workbook, its sheets, date system,
styles and shared strings, and its worksheets read in full (the package side
of reading: it drives the engine and falls back to `vellum.reference`).

`Workbook(path)` reads what every sheet needs before its rows can be read:
the list of worksheets (from the workbook part and its relationships), the
date system, the styles (the style arrays of ``cellXfs`` and the style ids
whose number formats show dates or durations), and the shared strings.
`load_worksheet` then reads one worksheet in full with the engine's
`bind_cells` into a `CellStore`, or with the package's own reading
(`vellum.reference.worksheet.bind_cells`) into a dict when the engine
declines; `Workbook.stream(name)` reads one a row at a time
(`vellum.streaming`). The zip archive and its parts are `vellum.archive`'s.

How sheets and date formats are found is the usual reading of the package
format: the ``officeDocument`` relationship of the package names the
workbook part; its ``sheet`` elements, in order, name the worksheets through
their relationship ids; a style id shows a date when its ``numFmtId`` is a
built-in date or time format, or a custom ``numFmt`` whose code, outside
quoted text, escapes and bracketed sections, uses the letters d, m, y, h or
s; it shows a duration when the code has an elapsed-time section such as
``[h]``. Element names in these parts are matched on their local names, so
transitional and strict workbooks, with or without prefixes, are read alike.
"""
from __future__ import annotations

import io
import operator
import os
import warnings
from collections.abc import Iterator
from typing import IO, Any

from vellum import _vellum
from vellum.archive import STRINGS_LIMIT, Archive
from vellum.edit import remember_book
from vellum.errors import (ClosedWorkbookError, SheetIndexError, SheetNotFoundError, WorkbookError, damaged,
                           native_or_package)
from vellum.reference import Cell, Parser, make_helpers
from vellum.reference import strings, worksheet as full
from vellum.reference.styles import (  # noqa: F401  (format_kind: part of this module's surface)
    BUILTIN_DATE_FORMATS, BUILTIN_TIMEDELTA_FORMATS, Styles, children, format_kind)
from vellum.streaming import SheetStream, StreamedWorksheet, check_root
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from vellum.xmlparts import refuse_doctype

# A worksheet read in full: cells in any order, editable.
EditableWorksheet = full.EditableWorksheet


class SheetName(str):
    """A worksheet's name, as a plain ``str`` that also tells whether the
    sheet is shown: `state` is "visible", "hidden" or "veryHidden"."""

    state: str

    def __new__(cls, name: str, state: str = "visible") -> SheetName:
        self = super().__new__(cls, name)
        self.state = state
        return self

    @property
    def hidden(self) -> bool:
        """True for a hidden or very hidden sheet."""
        return self.state != "visible"


class SheetEntry:
    """One sheet of the workbook part's ``sheets`` list, of any kind, as a
    save keeps it: the attributes of its ``sheet`` element as read (None
    for a sheet added since), its relationship id, its relationship's
    `kind` ("worksheet", "chartsheet", ...), the zip member of its part
    (None when there is none) and, for a worksheet read in full, the
    worksheet (`ws`)."""

    __slots__ = ("attrib", "rid", "kind", "part", "ws")

    def __init__(self, attrib: dict[str, str] | None, rid: str | None, kind: str,
                 part: str | None, ws: Any = None) -> None:
        self.attrib, self.rid, self.kind, self.part, self.ws = attrib, rid, kind, part, ws

    @property
    def name(self) -> str:
        return self.ws.title if self.ws is not None else (self.attrib or {}).get("name", "")


class Workbook:
    """An open xlsx workbook (see the module docstring). Use it as a context
    manager or call `close()`.

    Streamed (the default of this class), ``book[name]`` and ``book[index]``
    give a `StreamedWorksheet` whose rows are read from the file as they
    are asked for. Read in full (``streaming=False``), every worksheet is loaded when
    the workbook is opened and they give an `EditableWorksheet` instead,
    whose cells can be read in any order and changed. Iterating gives every
    worksheet in order, and `sheet_names` their names (each a `SheetName`
    that tells whether the sheet is hidden). Chartsheets and dialog sheets
    are not worksheets and are left out; so is, with a warning, a worksheet
    whose part the file lacks.

    Read in full, the workbook also holds what its cells refer to: the
    style arrays by style id (`_cell_styles`), the number format codes by
    id (`_number_formats`), the date system (`epoch`) and `iso_dates`; and
    its sheets can be added (`add_sheet`), removed (``del book[name]``),
    renamed (``sheet.title = name``) and moved (`move_sheet`), then saved
    (`save`)."""

    sheets: list[StreamedWorksheet]
    worksheets: list[EditableWorksheet]
    shared_strings: list[Any]

    def __init__(self, path: str | os.PathLike[str] | IO[bytes], engine: bool = True,
                 data_only: bool = False, streaming: bool = True) -> None:
        self._archive = Archive(path)
        self.path = self._archive.path
        self.engine = engine
        self.data_only = data_only
        self.streaming = streaming
        self.iso_dates = False
        # NaN and infinities saved as #NUM! and #DIV/0! rather than refused
        self.nan_inf_to_errors = False
        self.worksheets = []
        self.helpers = make_helpers()
        try:
            self._read_workbook()
            self._read_styles()
            self.shared_strings = self._read_shared_strings()
            if not streaming:
                for entry in self._entries:
                    sheet = self._descriptors.get(entry.part) if entry.kind == "worksheet" else None
                    if sheet is not None:
                        entry.ws = load_worksheet(self, sheet, engine)
                        entry.ws._entry = entry
                self.worksheets = [e.ws for e in self._entries if e.ws is not None]
                remember_book(self)
        except Exception:
            self._archive.close()
            raise

    def __enter__(self) -> Workbook:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Close the file; the rows of its sheets can no longer be read."""
        self._archive.close()

    @property
    def sheet_names(self) -> list[SheetName]:
        """The worksheets' names in workbook order; ``name.hidden`` and
        ``name.state`` tell which are hidden."""
        return [SheetName(s.name, s.state) for s in self._public()]

    def _public(self) -> list[Any]:
        return self.sheets if self.streaming else self.worksheets

    def __getitem__(self, key: str | int) -> Any:
        """The worksheet of that name or at that position (negative
        positions count from the end): a `StreamedWorksheet` when streamed, an
        `EditableWorksheet` when read in full. A name is also found in
        other letter case where only one sheet has it so, as spreadsheet
        applications compare sheet names. A name no sheet has raises
        `SheetNotFoundError` (a KeyError), a position past the sheets
        `SheetIndexError` (an IndexError); both are `WorkbookError`s whose
        message lists the sheets."""
        sheets = self._public()
        return sheets[self._index(key, sheets)]

    def _index(self, key: Any, sheets: list[Any]) -> int:
        """The position in `sheets` of the sheet `key` names or numbers."""
        names = [s.name for s in sheets]
        if not isinstance(key, str):
            try:
                at = operator.index(key)
            except TypeError:
                raise TypeError(f"sheets are looked up by name or position, not by "
                                f"{type(key).__name__}") from None
            if -len(names) <= at < len(names):
                return at % len(names)
            raise SheetIndexError(f"no sheet at position {at} in {self.path}, which has "
                                  f"{len(names)} ({_listing(names)})")
        if key in names:
            return names.index(key)
        alike = [i for i, name in enumerate(names) if name.casefold() == key.casefold()]
        if len(alike) == 1:
            return alike[0]
        what = f"{len(alike)} sheets named {key!r} in other letter case" if alike else \
            f"no sheet named {key!r}"
        raise SheetNotFoundError(f"{what} in {self.path} (its sheets: {_listing(names)})")

    def __iter__(self) -> Iterator[Any]:
        """Every worksheet, in workbook order."""
        return iter(self._public())

    def __len__(self) -> int:
        return len(self._public())

    def __repr__(self) -> str:
        return f"<vellum.Workbook {self.path!r} sheets={[s.name for s in self.sheets]!r}>"

    def save(self, path_or_file: str | os.PathLike[str] | IO[bytes], *,
             lxml: bool | None = None, engine: bool = True, formulas_as_values: bool = False) -> None:
        """Write the workbook, with its changes, as an xlsx file at
        `path_or_file` (a path, the one it was read from too, or a binary
        file open for writing). Only a workbook read in full can be saved.
        Every part the save does not change is kept as it was: worksheets
        nobody wrote to, pictures, charts, comments, tables, defined names,
        macros and the rest (`vellum.edit` lists what is written again).
        `lxml` picks the serialiser (by default lxml when it is installed);
        `engine=False` writes the cells with the package's own writer.

        A save to a path is atomic: the file there stays as it was unless
        the whole workbook is saved (see `vellum.save.save_workbook`).
        A workbook read with ``data_only=True`` holds its formulas' values,
        not the formulas, and saving it would replace them in the worksheets
        written again (those that changed): it is refused (ValueError) unless
        `formulas_as_values` is true. A cell holding
        NaN or an infinity (a number such as 1e400 in the file reads as one)
        is refused, naming the cell, unless the workbook's
        `nan_inf_to_errors` is set."""
        self._editable("save it")
        if self._archive.zip.fp is None:
            raise ClosedWorkbookError(f"{self.path} was closed: save the workbook before closing "
                                      "it (what it does not change is copied from the file)")
        if self.data_only and not formulas_as_values:
            raise ValueError(f"{self.path} was read with data_only=True: its formulas were read as "
                             "their last values, and saving would replace each formula with its "
                             "value; pass formulas_as_values=True to save it so")
        from vellum.save import save_workbook
        over_source = self._archive.is_file(path_or_file)
        save_workbook(self, path_or_file, lxml, engine)
        if over_source:
            self._reopen()

    def _reopen(self) -> None:
        """After a save over the file that was read, that file holds what
        the workbook holds: it is read again as the package the next save
        copies from, its worksheets unchanged from it."""
        worksheets = [e.ws for e in self._entries]
        old = self._archive
        self._archive = Archive(old._file)
        old.close()
        self._read_workbook()
        for entry, ws in zip(self._entries, worksheets):
            entry.ws = ws
            if ws is not None:
                ws._entry = entry
        part = self._related("styles")
        self._styles_part = self._archive.member(part) if part else None
        self._styles_xml = self._archive.read(part) if self._styles_part else None
        remember_book(self)

    # -- package parts -----------------------------------------------------

    def part_size(self, part: str) -> int:
        """The size of a part's XML, uncompressed, as the zip declares it."""
        return self._archive.part_size(part)

    def _related(self, kind):
        """The target of the workbook part's first relationship of a kind."""
        for rel_type, target in self._rels.values():
            if rel_type.endswith("/" + kind):
                return target
        return None

    def _read_workbook(self):
        archive = self._archive
        if archive.member("[Content_Types].xml") is None and archive.member("_rels/.rels") is None:
            raise WorkbookError(f"{self.path} is not an xlsx workbook (no package parts)")
        part = "xl/workbook.xml"
        for rel_type, target in archive.relationships("").values():
            if rel_type.endswith("/officeDocument"):
                part = target
                break
        root = archive.tree(part)
        self._workbook_part = archive.member(part)
        self.epoch = WINDOWS_EPOCH
        for pr in children(root, "workbookPr"):
            if pr.get("date1904", "").lower() in ("1", "true"):
                self.epoch = MAC_EPOCH
        self._rels = archive.relationships(part)
        self.sheets = []
        self._entries: list[SheetEntry] = []
        for sheets in children(root, "sheets"):
            for sheet in children(sheets, "sheet"):
                rid = next((v for k, v in sheet.attrib.items() if k.endswith("}id")), None)
                rel_type, target = self._rels.get(rid, ("", None))
                member = archive.member(target) if target else None
                self._entries.append(SheetEntry(dict(sheet.attrib), rid,
                                                rel_type.rpartition("/")[2], member))
                if rel_type.endswith("/worksheet") and member:
                    self.sheets.append(StreamedWorksheet(sheet.get("name", ""), member,
                                                         sheet.get("state", "visible"), self))
                elif rel_type.endswith("/worksheet") or not rel_type:
                    # a damaged file: its other sheets are still read, but
                    # the sheet is not dropped without a word
                    what = f"its part {target} is missing" if target else \
                        f"its relationship {rid} is missing"
                    warnings.warn(f"{self.path}: sheet {sheet.get('name', '')!r} is left out: {what}",
                                  skip_file_prefixes=(os.path.dirname(__file__),))

    @property
    def _descriptors(self) -> dict[str, Worksheet]:
        return {s.part: s for s in self.sheets}

    # -- sheets added, removed, renamed, moved ------------------------------------

    def _editable(self, what: str) -> None:
        if self.streaming:
            raise WorkbookError(f"{self.path} was opened for streaming: read it in full "
                                f"(the default of read_workbook) to {what}")

    def _worksheet(self, key: Any) -> EditableWorksheet:
        """A worksheet of this workbook given as itself, its name or its
        position."""
        if isinstance(key, full.Worksheet):
            if key not in self.worksheets:
                raise KeyError(f"{key.title!r} is not a sheet of this workbook")
            return key
        return self[key]

    def add_sheet(self, name: str, index: int | None = None) -> EditableWorksheet:
        """Add an empty worksheet called `name` (a name spreadsheet
        applications open: see `vellum.newbook.check_sheet_name`) at
        position `index` among the worksheets, by default the end, and
        return it; it takes cells as any worksheet read in full, and
        `append`."""
        from vellum.newbook import NewWorksheet, check_sheet_name
        self._editable("add sheets")
        check_sheet_name(name, [e.name for e in self._entries])
        ws = NewWorksheet(self, name)
        ws._entry = SheetEntry(None, None, "worksheet", None, ws)
        self._entries.append(ws._entry)
        self.worksheets = [e.ws for e in self._entries if e.ws is not None]
        if index is not None:
            self.move_sheet(ws, index)
        return ws

    def __delitem__(self, key: str | int) -> None:
        """``del book[name]`` (or a position): remove that worksheet; its
        part, and the parts only it used (drawings, comments, tables), are
        left out of the next save. The last visible sheet cannot go."""
        self._editable("remove sheets")
        ws = self._worksheet(key)
        others = [e for e in self._entries if e is not ws._entry]
        if not any((e.ws.state if e.ws is not None else (e.attrib or {}).get("state", "visible"))
                   == "visible" for e in others):
            raise ValueError(f"sheet {ws.title!r} is the last visible sheet: a workbook "
                             "keeps one")
        self._entries = others
        self.worksheets = [e.ws for e in self._entries if e.ws is not None]

    def move_sheet(self, sheet: Any, index: int) -> None:
        """Move a worksheet (itself, its name or position) to position
        `index` among the worksheets (negative positions count from the
        end, as for a list's insert); other kinds of sheets (chartsheets)
        keep their places around them."""
        self._editable("move sheets")
        ws = self._worksheet(sheet)
        rest = [e for e in self._entries if e is not ws._entry]
        sheets = [e for e in rest if e.ws is not None]
        if index < 0:
            index = max(len(sheets) + 1 + index, 0)
        at = rest.index(sheets[index]) if index < len(sheets) else len(rest)
        rest.insert(at, ws._entry)
        self._entries = rest
        self.worksheets = [e.ws for e in self._entries if e.ws is not None]

    def _check_title(self, ws: Any, name: str) -> None:
        """ValueError unless `ws` may be renamed `name` (the rules of
        `add_sheet`)."""
        from vellum.newbook import check_sheet_name
        self._editable("rename sheets")
        check_sheet_name(name, [e.name for e in self._entries if e.ws is not ws])

    def _read_styles(self):
        part = self._related("styles")
        found = part is not None and self._archive.member(part) is not None
        self._styles_part = self._archive.member(part) if found else None
        self._styles_xml = self._archive.read(part) if found else None
        # without a styles part, a save writes the one of a new workbook
        styles = Styles(self._archive.tree(part)) if found else Styles.new()
        self.date_formats, self.timedelta_formats = styles.date_formats, styles.timedelta_formats
        self._cell_styles = styles.cell_styles
        self._number_formats = styles.number_formats
        self._alignments, self._protections = styles.alignments, styles.protections
        self._fonts, self._fills, self._borders = styles.fonts, styles.fills, styles.borders

    def _read_shared_strings(self):
        part = self._related("sharedStrings")
        if part is None or self._archive.member(part) is None:
            return []
        try:
            return self._read_string_table(part)
        except (WorkbookError, MemoryError):
            raise
        except Exception as e:
            raise damaged(self.path, part, e) from e

    def _read_string_table(self, part):
        def native():
            with self._archive.open_part(part, STRINGS_LIMIT) as source:
                return _vellum.read_string_table(source, self.helpers)

        def package():
            with self._archive.open_part(part, STRINGS_LIMIT) as source:
                refuse_doctype(source, f"{self.path}: part {part}")
            with self._archive.open_part(part, STRINGS_LIMIT) as source:
                return strings.read_shared_strings(source)

        return native_or_package(native, package, self.engine)

    # -- worksheets --------------------------------------------------------

    def sheet(self, key: str | int | None = None) -> StreamedWorksheet:
        """The streamed worksheet of that name or position (found as
        ``book[key]`` finds it), or the first one; a `WorkbookError` that
        lists the sheets when there is none."""
        if not self.sheets:
            raise WorkbookError(f"{self.path} has no worksheets")
        if key is None:
            return self.sheets[0]
        return self.sheets[self._index(key, self.sheets)]

    def parser(self, formula_and_value: bool = False):
        """A new parser object for one worksheet: the package's settings for
        reading it and the `row_dimensions` that reading fills in; with
        `formula_and_value`, cells read with their formula and the value it
        was saved with."""
        return Parser(shared_strings=self.shared_strings, epoch=self.epoch,
                      data_only=self.data_only and not formula_and_value,
                      formula_and_value=formula_and_value,
                      date_formats=self.date_formats,
                      timedelta_formats=self.timedelta_formats)

    def stream(self, name=None, engine=None):
        """A `SheetStream` over the rows of a worksheet."""
        return SheetStream(self, self.sheet(name), self.engine if engine is None else engine)

    def iter_rows(self, name=None, min_col=1, max_col=None, values_only=True):
        """The rows of a worksheet as tuples of values, or of cells (with the
        package's `Cell` class) when `values_only` is false."""
        stream = self.stream(name)
        try:
            yield from stream.rows(min_col, max_col, values_only, indexed=False)
        finally:
            stream.close()

    def read_sheet(self, name=None, engine=None):
        """(rows, actions, row_dimensions) of a worksheet read in full, rows
        in the raw form ``(idx, [(row, column, value, data_type, style_id),
        ...])``."""
        stream = self.stream(name, engine)
        try:
            rows = []
            while (row := stream.next_raw()) is not None:
                rows.append(row)
            return rows, stream.actions, stream.parser.row_dimensions
        finally:
            stream.close()


def _listing(names: list[str], most: int = 20) -> str:
    """Sheet names with their positions, for a message: "0: 'Data', 1: 'Notes'"."""
    shown = ", ".join(f"{i}: {name!r}" for i, name in enumerate(names[:most]))
    return shown + (f" and {len(names) - most} more" if len(names) > most else "") or "none"


def load_worksheet(workbook: Workbook, sheet: StreamedWorksheet, engine: bool = True,
                   ) -> EditableWorksheet:
    """Read one worksheet of `workbook` in full: by the engine's loader into
    a `CellStore` when the engine has one (and `engine` is true), else, or
    when the engine declines with `NativeFallback`, by the package's own
    reading into a dict, on a fresh worksheet and parser. Either way the
    sheet's other elements and warnings are then replayed in document order.
    A sheet that cannot be read raises `WorkbookError`."""
    try:
        check_root(workbook, sheet)
        # Any error of the engine's reading, not only NativeFallback, has the
        # package read again: the engine raises a helper's or a style
        # lookup's error at the cell that meets it, while the package's
        # reading parses a block ahead and may first meet a fault further
        # on, and the error must always be the package's own.
        return native_or_package(
            lambda: _load(workbook, sheet, _vellum.bind_cells, _vellum.CellStore()),
            lambda: _load(workbook, sheet, full.bind_cells, {}), engine, redo_on=(Exception,))
    except (WorkbookError, MemoryError):
        raise
    except Exception as e:
        raise damaged(workbook.path, sheet.part, e) from e


def _load(workbook, sheet, bind, cells):
    ws = EditableWorksheet(workbook, sheet.name, sheet.state)
    parser = workbook.parser()
    actions = []
    with workbook._archive.open_member(sheet.part) as source:
        bind(source, parser, ws, cells, workbook._cell_styles, Cell, workbook.helpers, actions)
    ws._cells = cells
    ws.row_dimensions = full.RowDimensions(
        ws, {int(row): attrs for row, attrs in parser.row_dimensions.items()})
    full.replay(ws, actions)
    return ws


def open_bytes(data: bytes, engine: bool = True) -> Workbook:
    """A `Workbook` over the bytes of an xlsx file."""
    return Workbook(io.BytesIO(data), engine)


def read_workbook(path_or_file: str | os.PathLike[str] | IO[bytes], *, streaming: bool = False,
                  data_only: bool = False, engine: bool = True) -> Workbook:
    """Open an xlsx (or xlsm) workbook for reading.

    `path_or_file` is a path or a binary file object open for reading
    (seekable). By default every worksheet is read in full at once and
    ``book[name]`` gives an `EditableWorksheet`: cells by coordinate
    (``ws["B2"]``, ``ws.cell(2, 2)``) or by row (`iter_rows`), values that
    can be changed. With ``streaming=True`` sheets are instead streamed from
    the file as their rows are asked for (a `StreamedWorksheet`), in
    little memory whatever their size. With `data_only` a formula cell
    gives the value Excel last computed and saved for it instead of its
    formula.
    `engine=False` reads with the package's own pure-Python reader instead
    of the native engine (slower, same values).

    Raises `WorkbookError` when the file is missing (then also a
    `FileNotFoundError`; a directory, an `IsADirectoryError`), empty, cut
    short, not an xlsx workbook (naming encrypted and old .xls files as
    such), or damaged; the message names the file (and the part). Once the
    workbook is closed, reading what it has not read yet raises
    `ClosedWorkbookError` (a `WorkbookError`, so a `ValueError`).
    """
    return Workbook(path_or_file, engine=engine, data_only=data_only, streaming=streaming)
