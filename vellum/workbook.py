"""Opening an xlsx workbook and reading its worksheets, streamed or in full
(the package side of reading: it drives the engine and falls back to
`vellum.reference`).

`Workbook(path)` reads what every sheet needs before its rows can be read:
the list of worksheets (from the workbook part and its relationships), the
date system, the styles (the style arrays of ``cellXfs`` and the style ids
whose number formats show dates or durations), and the shared strings.
`Workbook.stream(name)` then reads one worksheet a row at a time with the
engine's `RowReader`; `load_worksheet` reads one in full with the engine's
`bind_cells` into a `CellStore`. Each falls back to the package's own
reading (`SheetReader`, `vellum.reference.worksheet.bind_cells`) when the
engine is missing or raises `NativeFallback`.

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
import os
import posixpath
import warnings
import xml.etree.ElementTree as ET
import xml.parsers.expat
import zipfile
from collections.abc import Callable, Iterator
from typing import IO, Any

from vellum import _vellum, zipread
from vellum.layout import Layout, layout_of, prescan
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from vellum.reference import Cell, Parser, make_helpers
from vellum.reference.sheet import MAIN_NS, STRICT_NS, SheetReader
from vellum.reference import strings, worksheet as full
from vellum.reference.styles import (  # noqa: F401  (format_kind: part of this module's surface)
    BUILTIN_DATE_FORMATS, BUILTIN_TIMEDELTA_FORMATS, Styles, children, format_kind, local)

NativeFallback = _vellum.NativeFallback
# A worksheet read in full: cells in any order, editable.
EditableWorksheet = full.Worksheet

# The most that is read of a workbook-level part (the workbook, its
# relationships, the styles) and of the shared strings, uncompressed. Real
# workbooks stay far below; a part beyond is refused with a WorkbookError
# rather than read into memory.
PART_LIMIT = 64 << 20
STRINGS_LIMIT = 512 << 20


class _Bounded(io.RawIOBase):
    """A zip member read through, failing once more than `limit` bytes
    have come out of it."""

    def __init__(self, member, limit, error):
        self._member, self._left, self._error = member, limit, error

    def readable(self):
        return True

    def read(self, n=-1):
        if n is None or n < 0:
            # the member gives what one piece of its input inflates to, so
            # the whole is gathered in a loop and joined once
            chunks = []
            while data := self.read(self._left + 1):
                chunks.append(data)
            return b"".join(chunks)
        data = self._member.read(min(n, self._left + 1))
        self._left -= len(data)
        if self._left < 0:
            raise self._error()
        return data

    def readinto(self, b):
        data = self.read(len(b))
        b[:len(data)] = data
        return len(data)

    def close(self):
        self._member.close()
        super().close()


class WorkbookError(ValueError):
    """The file is missing, is not an xlsx workbook, lacks a sheet, or a part
    of it is damaged (the message names the part)."""


def damaged(path, part, error):
    """The `WorkbookError` for a part that cannot be read."""
    return WorkbookError(f"{path}: part {part} is damaged ({type(error).__name__}: {error})")


def parse_part(data):
    """The element tree of a small XML part; a DOCTYPE is refused, so that
    no entity declared in a workbook is ever expanded."""
    builder = ET.TreeBuilder()
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")

    def start(name, attrs):
        builder.start(_clark(name), {_clark(k): v for k, v in attrs.items()})

    def doctype(*args):
        raise WorkbookError("a workbook part contains a DOCTYPE declaration")

    p.StartElementHandler = start
    p.EndElementHandler = lambda name: builder.end(_clark(name))
    p.CharacterDataHandler = builder.data
    p.StartDoctypeDeclHandler = doctype
    p.Parse(data, True)
    return builder.close()


class _Prolog(Exception):
    """The root element was reached: the prolog is over."""


def refuse_doctype(source, part):
    """Read a part up to its root element, refusing a DOCTYPE declaration,
    before a reader that might expand the entities it declares sees it."""
    p = xml.parsers.expat.ParserCreate()

    def root(*args):
        raise _Prolog

    def doctype(*args):
        raise WorkbookError(f"{part} contains a DOCTYPE declaration")

    p.StartElementHandler = root
    p.StartDoctypeDeclHandler = doctype
    try:
        while data := source.read(4096):
            p.Parse(data, False)
    except _Prolog:
        pass


def root_name(source, window=1 << 20):
    """The expanded name ("uri}local") of a part's root element, or None
    when it is not within the first `window` bytes."""
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")
    found = []

    def root(name, attrs):
        found.append(name)
        raise _Prolog

    p.StartElementHandler = root
    try:
        while window > 0 and (data := source.read(4096)):
            window -= len(data)
            p.Parse(data, False)
        if window > 0:
            p.Parse(b"", True)
    except _Prolog:
        pass
    return found[0] if found else None


def _clark(name):
    return "{" + name if "}" in name else name


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


class Worksheet:
    """A worksheet of an open `Workbook`: its `name`, its `state` ("visible",
    "hidden" or "veryHidden"), the zip member `part` of its XML, and its rows
    through `iter_rows`."""

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
            return layout_of(prescan(lambda: book._open_member(self.part), book.helpers, book.engine))
        except (WorkbookError, MemoryError):
            raise
        except Exception as e:
            raise damaged(book.path, self.part, e) from e

    def __repr__(self) -> str:
        return f"Worksheet({self.name!r}, {self.part!r})"


OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"


def _ole_kind(source) -> str | None:
    """What an OLE compound file holds, judged by the names of its streams
    (kept in UTF-16 in its directory sectors), or None for any other file.
    Excel keeps an encrypted workbook's zip in such a file, as it kept the
    whole of an old binary workbook."""
    try:
        if isinstance(source, (str, os.PathLike)):
            f = open(source, "rb")
        else:
            f = source
            f.seek(0)
        try:
            if f.read(8) != OLE_MAGIC:
                return None
            names = [n.encode("utf-16-le") for n in ("EncryptedPackage", "Workbook", "Book")]
            tail = b""
            while chunk := f.read(1 << 20):
                data = tail + chunk
                for name, kind in zip(names, ("encrypted", "xls", "xls")):
                    if name in data:
                        return kind
                tail = data[-40:]
            return "ole"
        finally:
            if f is not source:
                f.close()
    except (OSError, ValueError):
        return None


_OLE_MESSAGES = {
    "encrypted": "is an encrypted (password-protected) workbook, an OLE compound file; "
                 "save it without a password to read it",
    "xls": "is an old binary Excel workbook (.xls, an OLE compound file), not an xlsx workbook",
    "ole": "is an OLE compound file, not an xlsx workbook",
}


def _display_name(path_or_file) -> str:
    if isinstance(path_or_file, (str, os.PathLike)):
        return os.fsdecode(path_or_file)
    name = getattr(path_or_file, "name", None)
    return name if isinstance(name, str) else "<workbook>"


def _check_source(source) -> None:
    """TypeError for what is neither a path nor a binary file that can seek,
    which zipfile would otherwise report as an attribute missing or as a
    file that is not a zip archive."""
    if isinstance(source, (str, os.PathLike)):
        return
    what = type(source).__name__
    if isinstance(source, (bytes, bytearray, memoryview)):
        raise TypeError(f"a workbook is read from a path or a binary file, not {what} "
                        "(wrap the bytes in io.BytesIO)")
    if isinstance(source, io.TextIOBase):
        raise TypeError("a workbook is read from a binary file: open it with mode 'rb'")
    if not all(hasattr(source, m) for m in ("read", "seek", "tell")):
        raise TypeError(f"a workbook is read from a path or a binary file, not {what}")
    seekable = getattr(source, "seekable", None)
    if seekable is not None and not seekable():
        raise TypeError("a workbook is read from a file that can seek (zip archives are "
                        "read from their end): read it into io.BytesIO first")


class Workbook:
    """An open xlsx workbook (see the module docstring). Use it as a context
    manager or call `close()`.

    Streamed (the default of this class), ``book[name]`` and ``book[index]``
    give a `Worksheet` whose rows are read from the file as they are asked
    for. Read in full (``streaming=False``), every worksheet is loaded when
    the workbook is opened and they give an `EditableWorksheet` instead,
    whose cells can be read in any order and changed. Iterating gives every
    worksheet in order, and `sheet_names` their names (each a `SheetName`
    that tells whether the sheet is hidden). Chartsheets and dialog sheets
    are not worksheets and are left out; so is, with a warning, a worksheet
    whose part the file lacks.

    Read in full, the workbook also holds what its cells refer to: the
    style arrays by style id (`_cell_styles`), the number format codes by
    id (`_number_formats`), the date system (`epoch`) and `iso_dates`."""

    sheets: list[Worksheet]
    worksheets: list[EditableWorksheet]
    shared_strings: list[Any]

    def __init__(self, path: str | os.PathLike[str] | IO[bytes], engine: bool = True,
                 data_only: bool = False, streaming: bool = True) -> None:
        _check_source(path)
        self.path = _display_name(path)
        self.engine = engine
        self.data_only = data_only
        self.streaming = streaming
        self.iso_dates = False
        self.worksheets = []
        self.helpers = make_helpers()
        try:
            self._zip = zipfile.ZipFile(path)
            self._file = path if isinstance(path, (str, os.PathLike)) else None
        except FileNotFoundError:
            raise WorkbookError(f"no such file: {self.path}") from None
        except IsADirectoryError:
            raise WorkbookError(f"{self.path} is a directory") from None
        except (zipfile.BadZipFile, OSError, EOFError, NotImplementedError, ValueError) as e:
            kind = _ole_kind(path)
            if kind:
                raise WorkbookError(f"{self.path} {_OLE_MESSAGES[kind]}") from None
            raise WorkbookError(f"{self.path} is not an xlsx workbook ({e})") from None
        try:
            self._names = {n.lower(): n for n in self._zip.namelist()}
            self._read_workbook()
            self._read_styles()
            self.shared_strings = self._read_shared_strings()
            if not streaming:
                self.worksheets = [load_worksheet(self, sheet, engine) for sheet in self.sheets]
        except Exception:
            self._zip.close()
            raise

    def __enter__(self) -> Workbook:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Close the file; the rows of its sheets can no longer be read."""
        self._zip.close()

    @property
    def sheet_names(self) -> list[SheetName]:
        """The worksheets' names in workbook order; ``name.hidden`` and
        ``name.state`` tell which are hidden."""
        return [SheetName(s.name, s.state) for s in self.sheets]

    def _public(self) -> list[Any]:
        return self.sheets if self.streaming else self.worksheets

    def __getitem__(self, key: str | int) -> Any:
        """The worksheet of that name (KeyError if none) or at that position
        (IndexError if none; negative positions count from the end): a
        `Worksheet` when streamed, an `EditableWorksheet` when read in full."""
        sheets = self._public()
        if isinstance(key, int):
            return sheets[key]
        for sheet in sheets:
            if sheet.name == key:
                return sheet
        raise KeyError(key)

    def __iter__(self) -> Iterator[Any]:
        """Every worksheet, in workbook order."""
        return iter(self._public())

    def __len__(self) -> int:
        return len(self.sheets)

    def __repr__(self) -> str:
        return f"<vellum.Workbook {self.path!r} sheets={[s.name for s in self.sheets]!r}>"

    def save(self, path_or_file: str | os.PathLike[str] | IO[bytes], *,
             lxml: bool | None = None, engine: bool = True) -> None:
        """Write the workbook, with the changes made to its cells, as an
        xlsx file at `path_or_file` (a path or a binary file open for
        writing). Only a workbook read in full can be saved; what a saved
        workbook keeps of the one read is listed in `vellum.save`. `lxml`
        picks the serialiser (by default lxml when it is installed);
        `engine=False` writes the cells with the package's own writer."""
        if self.streaming:
            raise WorkbookError(f"{self.path} was opened for streaming: read it in full "
                                "(the default of read_workbook) to save it")
        from vellum.save import save_workbook
        save_workbook(self, path_or_file, lxml, engine)

    # -- package parts -----------------------------------------------------

    def _member(self, part):
        """The zip member name of a part, compared without regard to case as
        some writers differ from their own relationships there."""
        return self._names.get(part.lower())

    def _open_member(self, member):
        """A member of the archive (a name or its `ZipInfo`) opened for
        reading, by `vellum.zipread`."""
        return zipread.open_member(self._zip, member, self._file)

    def _read(self, part):
        member = self._member(part)
        if member is None:
            raise WorkbookError(f"{self.path} is not an xlsx workbook (no part {part})")
        try:
            with self._open_part(part, PART_LIMIT) as source:
                return source.read()
        except WorkbookError:
            raise
        except Exception as e:  # a broken zip entry: bad CRC, bad deflate data
            raise damaged(self.path, part, e) from e

    def _open_part(self, part, limit):
        """A workbook-level part opened for reading at most `limit` bytes: a
        larger declared size is refused at once, and as declared sizes can
        lie, reading past the limit fails too."""
        info = self._zip.getinfo(self._member(part))
        if info.file_size > limit:
            raise self._too_large(part, limit)
        return _Bounded(self._open_member(info), limit, lambda: self._too_large(part, limit))

    def _too_large(self, part, limit):
        return WorkbookError(f"{self.path}: part {part} is larger than vellum reads "
                             f"({limit >> 20} MiB): refused as a hostile or damaged file")

    def _tree(self, part):
        try:
            return parse_part(self._read(part))
        except xml.parsers.expat.ExpatError as e:
            raise WorkbookError(f"{self.path}: {part} is not well-formed XML ({e})") from None

    def part_size(self, part: str) -> int:
        """The size of a part's XML, uncompressed, as the zip declares it."""
        member = self._member(part)
        return self._zip.getinfo(member).file_size if member else 0

    def _relationships(self, part):
        """{id: (type, target part)} of a part's internal relationships."""
        folder, name = posixpath.split(part)
        rels = posixpath.join(folder, "_rels", name + ".rels")
        if self._member(rels) is None:
            return {}
        out = {}
        for rel in self._tree(rels):
            if local(rel.tag) != "Relationship" or rel.get("TargetMode") == "External":
                continue
            target = rel.get("Target", "")
            if target.startswith("/"):
                target = target[1:]
            else:
                target = posixpath.normpath(posixpath.join(folder, target))
            out[rel.get("Id")] = (rel.get("Type", ""), target)
        return out

    def _related(self, kind):
        """The target of the workbook part's first relationship of a kind."""
        for rel_type, target in self._rels.values():
            if rel_type.endswith("/" + kind):
                return target
        return None

    def _read_workbook(self):
        if self._member("[Content_Types].xml") is None and self._member("_rels/.rels") is None:
            raise WorkbookError(f"{self.path} is not an xlsx workbook (no package parts)")
        part = "xl/workbook.xml"
        for rel_type, target in self._relationships("").values():
            if rel_type.endswith("/officeDocument"):
                part = target
                break
        root = self._tree(part)
        self.epoch = WINDOWS_EPOCH
        for pr in children(root, "workbookPr"):
            if pr.get("date1904", "").lower() in ("1", "true"):
                self.epoch = MAC_EPOCH
        self._rels = self._relationships(part)
        self.sheets = []
        for sheets in children(root, "sheets"):
            for sheet in children(sheets, "sheet"):
                rid = next((v for k, v in sheet.attrib.items() if k.endswith("}id")), None)
                rel_type, target = self._rels.get(rid, ("", None))
                if rel_type.endswith("/worksheet") and self._member(target):
                    self.sheets.append(Worksheet(sheet.get("name", ""), self._member(target),
                                                 sheet.get("state", "visible"), self))
                elif rel_type.endswith("/worksheet") or not rel_type:
                    # a damaged file: its other sheets are still read, but
                    # the sheet is not dropped without a word
                    what = f"its part {target} is missing" if target else \
                        f"its relationship {rid} is missing"
                    warnings.warn(f"{self.path}: sheet {sheet.get('name', '')!r} is left out: {what}",
                                  skip_file_prefixes=(os.path.dirname(__file__),))

    def _read_styles(self):
        part = self._related("styles")
        found = part is not None and self._member(part) is not None
        self._styles_xml = self._read(part) if found else None
        styles = Styles(self._tree(part) if found else None)
        self.date_formats, self.timedelta_formats = styles.date_formats, styles.timedelta_formats
        self._cell_styles = styles.cell_styles
        self._number_formats = styles.number_formats
        self._alignments, self._protections = styles.alignments, styles.protections

    def _read_shared_strings(self):
        part = self._related("sharedStrings")
        if part is None or self._member(part) is None:
            return []
        try:
            return self._read_string_table(part)
        except (WorkbookError, MemoryError):
            raise
        except Exception as e:
            raise damaged(self.path, part, e) from e

    def _read_string_table(self, part):
        native = getattr(_vellum, "read_string_table", None)
        if self.engine and native is not None:
            with self._open_part(part, STRINGS_LIMIT) as source:
                try:
                    return native(source, self.helpers)
                except NativeFallback:
                    pass
        with self._open_part(part, STRINGS_LIMIT) as source:
            refuse_doctype(source, part)
        with self._open_part(part, STRINGS_LIMIT) as source:
            return strings.read_shared_strings(source)

    # -- worksheets --------------------------------------------------------

    def sheet(self, key: str | int | None = None) -> Worksheet:
        """The worksheet of that name or position, or the first one; a
        `WorkbookError` that lists the sheets when there is none."""
        if not self.sheets:
            raise WorkbookError(f"{self.path} has no worksheets")
        if key is None:
            return self.sheets[0]
        try:
            return self[key]
        except (KeyError, IndexError):
            pass
        names = ", ".join(f"{i}: {s.name!r}" for i, s in enumerate(self.sheets))
        what = f"sheet {key}" if isinstance(key, int) else f"sheet named {key!r}"
        raise WorkbookError(f"no {what} in {self.path} (its sheets: {names})") from None

    def parser(self):
        """A new parser object for one worksheet: the package's settings for
        reading it and the `row_dimensions` that reading fills in."""
        return Parser(shared_strings=self.shared_strings, epoch=self.epoch,
                      data_only=self.data_only,
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


def check_root(workbook, sheet):
    """Refuse a sheet part whose root element is in neither main namespace."""
    with workbook._open_member(sheet.part) as source:
        root = root_name(source)
    namespace = root.rpartition("}")[0] if root else MAIN_NS
    if namespace not in (MAIN_NS, STRICT_NS):
        raise WorkbookError(
            f"{workbook.path}: part {sheet.part} is not a worksheet vellum can read "
            f"(its root element is {root.replace('}', ' ')})")


def load_worksheet(workbook: Workbook, sheet: Worksheet, engine: bool = True,
                   ) -> EditableWorksheet:
    """Read one worksheet of `workbook` in full: by the engine's loader into
    a `CellStore` when the engine has one (and `engine` is true), else, or
    when the engine declines with `NativeFallback`, by the package's own
    reading into a dict, on a fresh worksheet and parser. Either way the
    sheet's other elements and warnings are then replayed in document order.
    A sheet that cannot be read raises `WorkbookError`."""
    try:
        check_root(workbook, sheet)
        bind = getattr(_vellum, "bind_cells", None)
        store_cls = getattr(_vellum, "CellStore", None)
        if engine and bind is not None and store_cls is not None:
            try:
                return _load(workbook, sheet, bind, store_cls())
            except NativeFallback:
                pass
            except MemoryError:
                raise
            except Exception:
                # The engine raises a helper's or a style lookup's error at
                # the cell that meets it, while the package's reading parses
                # a block ahead and may first meet a fault further on. Read
                # again so that the error is always the package's own.
                pass
        return _load(workbook, sheet, full.bind_cells, {})
    except (WorkbookError, MemoryError):
        raise
    except Exception as e:
        raise damaged(workbook.path, sheet.part, e) from e


def _load(workbook, sheet, bind, cells):
    ws = EditableWorksheet(workbook, sheet.name, sheet.state)
    parser = workbook.parser()
    actions = []
    with workbook._open_member(sheet.part) as source:
        bind(source, parser, ws, cells, workbook._cell_styles, Cell, workbook.helpers, actions)
    ws._cells = cells
    ws.row_dimensions = {int(row): attrs for row, attrs in parser.row_dimensions.items()}
    full.replay(ws, actions)
    return ws


class SheetStream:
    """One worksheet read a row at a time, by the engine when it is there.

    If the engine raises `NativeFallback`, the sheet is read again from its
    start by `SheetReader`, the rows already handed out are passed over, and
    reading carries on: the caller sees one uninterrupted sequence of rows.
    `actions` and `parser` always refer to the reader currently in use; after
    a fallback they hold what the package's reader found, from the start of
    the sheet."""

    def __init__(self, workbook, sheet, engine=True):
        self.workbook, self.sheet = workbook, sheet
        self._delivered = 0
        self._source = None
        native = getattr(_vellum, "RowReader", None)
        self.native = bool(engine and native is not None)
        try:
            check_root(workbook, sheet)
            if self.native:
                try:
                    self._open(native)
                    return
                except NativeFallback:
                    self.native = False
            self._open(SheetReader)
        except Exception as e:
            raise self._damaged(e) from e

    def _open(self, reader_cls):
        self.close()
        self._source = self.workbook._open_member(self.sheet.part)
        self.parser = self.workbook.parser()
        self._reader = reader_cls(self._source, self.parser, self.workbook.helpers)

    @property
    def actions(self):
        return self._reader.actions

    def _fall_back(self):
        self.native = False
        try:
            self._open(SheetReader)
            for _ in range(self._delivered):
                self._reader.next_raw()
        except Exception as e:
            raise self._damaged(e) from e

    def _damaged(self, error):
        """The `WorkbookError` that reports a failure of reading this sheet's
        part: broken XML or compression, or content no cell can hold."""
        if isinstance(error, (WorkbookError, MemoryError)):
            return error
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
        filled = {"parent", "row", "column", "_value", "data_type", "_style_id"}
        if self.parser.formula_and_value:
            filled |= {"formula", "cached_value"}
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
    the file as their rows are asked for (a `Worksheet`), in little memory
    whatever their size. With `data_only` a formula cell gives the value
    Excel last computed and saved for it instead of its formula.
    `engine=False` reads with the package's own pure-Python reader instead
    of the native engine (slower, same values).

    Raises `WorkbookError` when the file is missing, is not an xlsx
    workbook (naming encrypted and old .xls files as such), or is damaged.
    """
    return Workbook(path_or_file, engine=engine, data_only=data_only, streaming=streaming)
