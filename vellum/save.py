"""Writing workbooks: `save_workbook` for a workbook read in full or made
new, and `new_workbook` with its worksheets (editable, or write-only ones
that stream appended rows to a temporary file so memory stays flat).

A saved workbook holds: the content types, the package and workbook
relationships, the workbook part (sheet names, states, the date system),
the styles part, and one worksheet part per sheet. Cells are written as
numbers, booleans, inline strings, formulas and dates (serial numbers under
a date number format). What a read workbook keeps:

- styles: the styles part read, with its ``cellXfs`` rewritten from the
  workbook's style arrays (the ones read, by position, then any new ones);
  fonts, fills, borders, number formats and the rest as read;
- worksheets: every element the sheet had besides its cells, in document
  order, with a new ``dimension``;
- dates: written as serial numbers (ISO 8601 text with ``t="d"`` when the
  workbook's `iso_dates` is set); a cell is read back as a date only when
  its number format shows one, so values assigned through the worksheet
  get a date format when theirs shows none, while a date cell read from a
  file without one (``t="d"`` under the General format) reads back as its
  serial number. Numbers are written with 16 significant digits, and an
  empty text is written as an empty cell;
- left out: every worksheet element that points to another part through a
  relationship (``r:id``): drawings and charts, pictures, comments'
  ``legacyDrawing``, tables (``tableParts``), controls and OLE objects,
  hyperlinks read with external targets (their ``r:id`` points to the
  sheet's relationships; links set on cells, ``cell.hyperlink = url``, are
  written with relationships of their own); the workbook's defined names,
  external links, shared strings (cells are written inline), themes,
  document properties and every other part that was not listed above.
  Formulas are kept as text, so one that uses a defined name or refers to
  another workbook (``[1]Sheet!A1``) is saved but no longer finds its target.

A text is written as it is: one shaped like the ``_xHHHH_`` escape of the
file format (``"_x0041_"``) reads back unchanged here, but spreadsheet
applications decode it (LibreOffice shows "A").
"""
from __future__ import annotations

import os
import shutil
import tempfile
import xml.etree.ElementTree as ET
import zipfile
import zlib
from collections.abc import Iterable, Mapping
from typing import IO, Any

from vellum import _vellum
from vellum.zipread import isal_zlib
from vellum.reference.cell import Cell, Hyperlink, blank_cell, column_letter
from vellum.reference.sheet import MAIN_NS, STRICT_NS
from vellum.reference.styles import BUILTIN_FORMATS, CellStyles, IndexedList, StyleArray
from vellum.reference.worksheet import MAX_INDEX, Worksheet as EditableWorksheet, date_style
from vellum.reference import writer as ref
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
_REL_NAMESPACES = (REL_NS, "http://purl.oclc.org/ooxml/officeDocument/relationships")
_PKG_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
_REL_TYPE = REL_NS + "/"
_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml."
_DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
# Deflate level of every part. Deflating is most of a whole save: on a
# million-cell sheet (bench/save.py) level 3 deflates 2.6-3.3 times faster
# than zlib's usual 6, for files 3% (strings) to 11% (numbers) larger, still
# within 6-15% of XlsxWriter's; levels 1 and 2 are faster again but 30-45%
# larger.
COMPRESSLEVEL = 3
# Elements that come before sheetData in a worksheet.
_HEAD = ("sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols")


def has_lxml() -> bool:
    """Whether lxml is there to serialise in lxml mode."""
    try:
        import lxml.etree  # noqa: F401
    except ImportError:
        return False
    return True


_ATTR_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
                               "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"})
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})


def _esc(text: str) -> str:
    """An attribute value's text: tabs and line breaks as character
    references, as a parser would read them back as spaces otherwise;
    ValueError for a character no xlsx file can carry."""
    return ref.safe_string(str(text)).translate(_ATTR_ESCAPES)


# -- sheet data ---------------------------------------------------------------

# What the engine has written of a sheet is held back until it has written
# all of it, as it may decline partway and the package's writer then starts
# over. Held in memory, a sheet of ten million cells would take some 400 MB
# on top of its cells; past this many bytes it is held in a temporary file.
HOLD_IN_MEMORY = 16 << 20


class _Held:
    """Chunks of sheet data held back: in a list, then, once they pass
    `HOLD_IN_MEMORY` bytes and there is a binary file `out` to copy them to
    in the end, encoded in a temporary file."""

    def __init__(self, lxml: bool, out: IO[bytes] | None) -> None:
        self.lxml, self.out = lxml, out
        self.chunks: list[Any] = []
        self.size = 0
        self.file: IO[bytes] | None = None

    def append(self, chunk: Any) -> None:
        if self.file is not None:
            self.file.write(chunk if self.lxml else chunk.encode("utf-8", "surrogatepass"))
            return
        self.chunks.append(chunk)
        self.size += len(chunk)
        if self.size > HOLD_IN_MEMORY and self.out is not None:
            self.file = tempfile.TemporaryFile()
            chunks, self.chunks = self.chunks, []
            for held in chunks:
                self.append(held)

    def send(self, write: Any) -> None:
        """Write what is held through `write` (or, from the temporary
        file, straight to `out`, which `write` writes to)."""
        if self.file is None:
            for chunk in self.chunks:
                write(chunk)
            return
        self.file.seek(0)
        shutil.copyfileobj(self.file, self.out, 1 << 20)
        self.close()

    def close(self) -> None:
        self.chunks = []
        if self.file is not None:
            self.file.close()


def write_sheet_data(ws: Any, write: Any, lxml: bool, engine: bool = True,
                     out: IO[bytes] | None = None) -> None:
    """Write a worksheet's ``<sheetData>`` through `write`: by the engine's
    writer when it has one, else (or when it declines) by the package's.
    `out`, when given, is the binary file `write` writes to, unbuffered:
    a large sheet's data is then held on disk until the engine is done."""
    native = getattr(_vellum, "SheetWriter", None) if engine else None
    if native is not None and getattr(ws, "_pending", None) and not ws.row_dimensions:
        if _write_pending(ws, native, write, lxml, out):
            return
    if native is not None:
        held = _Held(lxml, out)
        links, comments = len(ws._hyperlinks), len(getattr(ws, "_comments", ()))
        try:
            native(ws, held.append, lxml, ref.make_writer_helpers(lxml)).write_sheet_data(
                lambda: ref.rows(ws))
        except _vellum.NativeFallback:
            held.close()
            # declined midway: the links and comments of the cells written
            # so far are recorded again by the package's writer
            del ws._hyperlinks[links:]
            if hasattr(ws, "_comments"):
                del ws._comments[comments:]
        else:
            held.send(write)
            return
    ref.SheetWriter(ws, write, lxml, ref.make_writer_helpers(lxml)).write_sheet_data(
        lambda: ref.rows(ws))


def _write_pending(ws: NewWorksheet, native: Any, write: Any, lxml: bool,
                   out: IO[bytes] | None) -> bool:
    """Write the rows a new worksheet holds as appended values, with no
    Cell made for most of them; False when the engine declines (nothing
    written then)."""
    held = _Held(lxml, out)
    writer = native(ws, held.append, lxml, ref.make_writer_helpers(lxml))
    try:
        for row, values in ws._pending:
            writer.write_values(values, row, ws._make_cell)
        writer.flush()
    except _vellum.NativeFallback:
        held.close()
        return False
    write(b"<sheetData>" if lxml else "<sheetData>")
    held.send(write)
    write(b"</sheetData>" if lxml else "</sheetData>")
    return True


def _sink(out: IO[bytes], lxml: bool):
    """`write` for the sheet writer: bytes as they are, text as UTF-8."""
    if lxml:
        return out.write
    return lambda text: out.write(text.encode("utf-8", "surrogatepass"))


# -- kept worksheet elements ----------------------------------------------------

def _to_transitional(element):
    for e in element.iter():
        if isinstance(e.tag, str) and e.tag.startswith("{" + STRICT_NS + "}"):
            e.tag = "{" + MAIN_NS + "}" + e.tag[len(STRICT_NS) + 2:]


def _kept(data: bytes, namespaces: list[tuple[str, str]]):
    """A captured element as an ElementTree element, or None when it points
    to another part (an attribute in the relationships namespace)."""
    declared = "".join(f' xmlns{":" + p if p else ""}="{_esc(u)}"' for p, u in namespaces)
    scope = ET.fromstring(b"<scope" + declared.encode() + b">" + data + b"</scope>")
    element = scope[0]
    for e in element.iter():
        if any(k.startswith("{" + ns + "}") for k in e.attrib for ns in _REL_NAMESPACES):
            return None
    _to_transitional(element)
    return element


_XML_NS = "http://www.w3.org/XML/1998/namespace"


def prefixes_of(data: bytes) -> dict[str, str]:
    """{uri: prefix} of the prefixed namespaces a document declares."""
    parser = ET.XMLPullParser(events=("start-ns",))
    parser.feed(data)
    parser.close()
    return {uri: prefix for _, (prefix, uri) in parser.read_events() if prefix}


def _serialise(element, prefixes: dict[str, str], root: bool = False) -> str:
    """An element as markup with the main namespace as the default one and
    the other namespaces under the prefixes they were read with (markup
    compatibility names prefixes in attribute values), declared on it; a
    `root` element declares the main namespace too."""
    prefixes = dict(prefixes)
    used: dict[str, str] = {}

    def qname(name):
        if name[:1] != "{":
            return name
        uri, _, local_name = name[1:].partition("}")
        if uri == MAIN_NS:
            return local_name
        if uri == _XML_NS:
            return "xml:" + local_name
        prefix = used[uri] = prefixes.setdefault(uri, f"ns{len(prefixes)}")
        return f"{prefix}:{local_name}"

    def walk(e, out):
        tag = qname(e.tag)
        out.append("<" + tag + "".join(f' {qname(k)}="{str(v).translate(_ATTR_ESCAPES)}"'
                                       for k, v in e.items()))
        if len(e) or e.text:
            out.append(">" + (e.text or "").translate(_TEXT_ESCAPES))
            for child in e:
                walk(child, out)
                out.append((child.tail or "").translate(_TEXT_ESCAPES))
            out.append(f"</{tag}>")
        else:
            out.append("/>")

    out: list[str] = []
    walk(element, out)
    declared = f' xmlns="{MAIN_NS}"' if root else ""
    declared += "".join(f' xmlns:{p}="{_esc(uri)}"' for uri, p in sorted(used.items()))
    name = qname(element.tag)
    return out[0][:len(name) + 1] + declared + "".join(out)[len(name) + 1:]


def _split_elements(ws):
    """(head, tail) texts of a read sheet's kept elements, the dimension
    left out (a new one is written)."""
    head, tail = [], []
    for data, namespaces in getattr(ws, "_elements", ()):
        element = _kept(data, namespaces)
        if element is None:
            continue
        name = element.tag.rpartition("}")[2]
        if name == "dimension":
            continue
        prefixes = {uri: prefix for prefix, uri in namespaces if prefix}
        (head if name in _HEAD else tail).append((name, _serialise(element, prefixes)))
    return head, tail


def _dimension(ws) -> str:
    extent = ws._extent() if hasattr(ws, "_extent") else None
    if extent is None:
        return "A1"
    r0, r1, c0, c1 = extent
    first, last = f"{column_letter(c0)}{r0}", f"{column_letter(c1)}{r1}"
    return first if first == last else f"{first}:{last}"


def _worksheet_head(ws, dimension: str) -> bytes:
    head, _ = _split_elements(ws)
    out = [_DECL, f'<worksheet xmlns="{MAIN_NS}" xmlns:r="{REL_NS}">']
    before = [text for name, text in head if name == "sheetPr"]
    after = [text for name, text in head if name != "sheetPr"]
    out += before + [f'<dimension ref="{dimension}"/>'] + after
    return "".join(out).encode()


# Worksheet elements that come after hyperlinks.
_AFTER_LINKS = ("printOptions", "pageMargins", "pageSetup", "headerFooter", "rowBreaks",
                "colBreaks", "customProperties", "cellWatches", "ignoredErrors", "smartTags",
                "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture",
                "oleObjects", "controls", "webPublishItems", "tableParts", "extLst")


def _hyperlinks(ws) -> tuple[str, list[str]]:
    """The ``hyperlinks`` element of the links the cells' writing appended
    to ``ws._hyperlinks`` together with the links read that need no other
    part, and the URLs of the external ones, by relationship number."""
    new = [link for link in ws._hyperlinks if isinstance(link, Hyperlink)]
    if not new:
        return "", []
    items, urls = [], []
    for link in ws._hyperlinks:
        if isinstance(link, Hyperlink):
            if link.target.startswith("#"):
                attrs = {"ref": link.ref, "location": link.target[1:]}
            else:
                urls.append(link.target)
                attrs = {"ref": link.ref, "r:id": f"rId{len(urls)}"}
        elif any(k.startswith("{") for k in link):
            continue  # read with a relationship to a part not carried over
        else:
            attrs = link
        items.append("<hyperlink" + "".join(f' {k}="{_esc(v)}"' for k, v in attrs.items()) + "/>")
    return "<hyperlinks>" + "".join(items) + "</hyperlinks>", urls


def _worksheet_tail(ws) -> tuple[bytes, list[str]]:
    """The elements after sheetData and the URLs of the sheet's links."""
    _, tail = _split_elements(ws)
    links, urls = _hyperlinks(ws)
    if links:
        tail = [(name, text) for name, text in tail if name != "hyperlinks"]
        at = next((i for i, (name, _) in enumerate(tail) if name in _AFTER_LINKS), len(tail))
        tail.insert(at, ("hyperlinks", links))
    return ("".join(text for _, text in tail) + "</worksheet>").encode(), urls


def _sheet_rels(urls: list[str]) -> str:
    items = "".join(f'<Relationship Id="rId{i}" Type="{_REL_TYPE}hyperlink" '
                    f'Target="{_esc(url)}" TargetMode="External"/>'
                    for i, url in enumerate(urls, 1))
    return _DECL + f'<Relationships xmlns="{_PKG_REL_NS}">' + items + "</Relationships>"


def _forget_written_links(ws) -> None:
    """Drop the links a former save appended, so each save lists each once."""
    ws._hyperlinks[:] = [link for link in ws._hyperlinks if not isinstance(link, Hyperlink)]


# -- workbook-level parts ---------------------------------------------------------

def _content_types(sheet_count: int) -> str:
    sheets = "".join(
        f'<Override PartName="/xl/worksheets/sheet{i}.xml" ContentType="{_CT}worksheet+xml"/>'
        for i in range(1, sheet_count + 1))
    return (_DECL + '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" '
            'ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            f'<Override PartName="/xl/workbook.xml" ContentType="{_CT}sheet.main+xml"/>'
            f'<Override PartName="/xl/styles.xml" ContentType="{_CT}styles+xml"/>'
            + sheets + "</Types>")


def _rels(targets: Iterable[tuple[str, str]]) -> str:
    items = "".join(f'<Relationship Id="rId{i}" Type="{_REL_TYPE}{kind}" Target="{target}"/>'
                    for i, (kind, target) in enumerate(targets, 1))
    return _DECL + f'<Relationships xmlns="{_PKG_REL_NS}">' + items + "</Relationships>"


def _workbook_part(book, sheets) -> str:
    pr = '<workbookPr date1904="1"/>' if book.epoch == MAC_EPOCH else "<workbookPr/>"
    items = "".join(
        f'<sheet name="{_esc(ws.title)}" sheetId="{i}"'
        + ("" if ws.state == "visible" else f' state="{_esc(ws.state)}"')
        + f' r:id="rId{i}"/>' for i, ws in enumerate(sheets, 1))
    return (_DECL + f'<workbook xmlns="{MAIN_NS}" xmlns:r="{REL_NS}">' + pr
            + "<bookViews><workbookView/></bookViews><sheets>" + items + "</sheets></workbook>")


_DEFAULT_STYLES = (
    '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
    '<fills count="2"><fill><patternFill patternType="none"/></fill>'
    '<fill><patternFill patternType="gray125"/></fill></fills>'
    '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
    '<cellXfs/>'
    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>')


def _xf(style, alignments, protections):
    """One ``xf`` element of ``cellXfs`` from a style array."""
    xf = ET.Element(f"{{{MAIN_NS}}}xf")
    for name, value, apply in (("numFmtId", style[0], "applyNumberFormat"),
                               ("fontId", style[1], "applyFont"),
                               ("fillId", style[2], "applyFill"),
                               ("borderId", style[3], "applyBorder")):
        xf.set(name, str(value))
        if value:
            xf.set(apply, "1")
    xf.set("xfId", str(style[6]))
    if style[7]:
        xf.set("quotePrefix", "1")
    if style[8]:
        xf.set("pivotButton", "1")
    for index, table, name in ((style[4], alignments, "alignment"),
                               (style[5], protections, "protection")):
        if index and index < len(table):
            xf.set("applyAlignment" if name == "alignment" else "applyProtection", "1")
            ET.SubElement(xf, f"{{{MAIN_NS}}}{name}", dict(table[index]))
    return xf


def _styles_part(book) -> str:
    """The styles part: the one read with its cellXfs and number formats
    rewritten, or a minimal one for a new workbook."""
    source = getattr(book, "_styles_xml", None)
    root = ET.fromstring(source) if source else ET.fromstring(
        f'<styleSheet xmlns="{MAIN_NS}">{_DEFAULT_STYLES}</styleSheet>')
    _to_transitional(root)
    kept = [c for c in root if c.tag.rpartition("}")[2] not in ("numFmts", "cellXfs")]
    names = [c.tag.rpartition("}")[2] for c in root]
    # cellXfs goes where it stood, else after the styles it refers to
    position = (len([n for n in names[:names.index("cellXfs")] if n != "numFmts"])
                if "cellXfs" in names else len(kept))
    for child in list(root):
        root.remove(child)
    root.extend(kept)
    custom = {i: code for i, code in book._number_formats.items()
              if BUILTIN_FORMATS.get(i) != code}
    xfs = ET.Element(f"{{{MAIN_NS}}}cellXfs", count=str(len(book._cell_styles)))
    for style in book._cell_styles:
        xfs.append(_xf(style, book._alignments, book._protections))
    root.insert(position, xfs)
    if custom:
        formats = ET.Element(f"{{{MAIN_NS}}}numFmts", count=str(len(custom)))
        for i, code in sorted(custom.items()):
            ET.SubElement(formats, f"{{{MAIN_NS}}}numFmt", numFmtId=str(i), formatCode=code)
        root.insert(0, formats)
    return _DECL + _serialise(root, prefixes_of(source) if source else {}, root=True)


# -- the whole package ---------------------------------------------------------------

def deflater(level: int | None) -> Any:
    """The raw deflate compressor of a member written at zlib's `level`:
    ISA-L's fastest level where it beats zlib at that level in both time
    and size (about thirty times faster than zlib 1 on sheet XML, and
    smaller), else zlib's own."""
    if level is None:
        level = zlib.Z_DEFAULT_COMPRESSION
    if isal_zlib is not None and 1 <= level <= 2:
        return isal_zlib.compressobj(1, zlib.DEFLATED, -15)
    return zlib.compressobj(level, zlib.DEFLATED, -15)


class _ZipWriter(zipfile.ZipFile):
    """zipfile's writer with its deflate compressor picked by `deflater`
    (zipfile makes the compressor of each member it writes in
    `_open_to_write`; where that changes, its own is kept)."""

    def _open_to_write(self, zinfo, force_zip64=False):
        out = super()._open_to_write(zinfo, force_zip64)
        if zinfo.compress_type == zipfile.ZIP_DEFLATED and hasattr(out, "_compressor"):
            out._compressor = deflater(zinfo.compress_level)
        return out


def save_workbook(book: Any, path_or_file: str | os.PathLike[str] | IO[bytes],
                  lxml: bool | None = None, engine: bool = True) -> None:
    """Write `book` (read in full, or made by `new_workbook`) as an xlsx
    file at `path_or_file` (a path or a binary file open for writing).
    `lxml` picks the serialiser of the sheet data (by default lxml when it
    is installed); `engine=False` writes it with the package's own writer.
    A path is written only once the whole workbook has been: a save that
    fails leaves the file there as it was. Sheet names must be ones
    spreadsheet applications open (see `check_sheet_name`)."""
    if lxml is None:
        lxml = has_lxml()
    if not isinstance(path_or_file, (str, os.PathLike)):
        _write_package(book, path_or_file, lxml, engine)
        return
    # A save that fails partway (a text no xlsx file can carry, a full disk)
    # must not leave the file it was to replace broken, and saving over the
    # workbook that was read is common. So the package is written to a
    # scratch file first and copied over the target once it is whole;
    # copying, not renaming, keeps the target's permissions, owner and
    # links as writing it in place does.
    with _scratch_beside(path_or_file) as scratch:
        _write_package(book, scratch, lxml, engine)
        scratch.seek(0)
        with open(path_or_file, "wb") as out:
            shutil.copyfileobj(scratch, out, 1 << 20)


def _scratch_beside(path: str | os.PathLike[str]) -> IO[bytes]:
    """An unnamed temporary file in the target's folder (which has room for
    the workbook), else in the temporary folder."""
    try:
        return tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(path)))
    except OSError:
        return tempfile.TemporaryFile()


def _write_package(book: Any, out: IO[bytes], lxml: bool, engine: bool) -> None:
    sheets = list(book.worksheets)
    with _ZipWriter(out, "w", zipfile.ZIP_DEFLATED, compresslevel=COMPRESSLEVEL) as zf:
        zf.writestr("[Content_Types].xml", _content_types(len(sheets)))
        zf.writestr("_rels/.rels", _rels([("officeDocument", "xl/workbook.xml")]))
        zf.writestr("xl/workbook.xml", _workbook_part(book, sheets))
        targets = [("worksheet", f"worksheets/sheet{i}.xml") for i in range(1, len(sheets) + 1)]
        zf.writestr("xl/_rels/workbook.xml.rels", _rels(targets + [("styles", "styles.xml")]))
        for i, ws in enumerate(sheets, 1):
            with zf.open(f"xl/worksheets/sheet{i}.xml", "w", force_zip64=True) as out:
                if isinstance(ws, WriteOnlyWorksheet):
                    urls = ws._copy_to(out)
                else:
                    _forget_written_links(ws)
                    out.write(_worksheet_head(ws, _dimension(ws)))
                    write_sheet_data(ws, _sink(out, lxml), lxml, engine, out)
                    tail, urls = _worksheet_tail(ws)
                    out.write(tail)
            if urls:
                zf.writestr(f"xl/worksheets/_rels/sheet{i}.xml.rels", _sheet_rels(urls))
        # styles last: writing the sheets may have added style arrays
        zf.writestr("xl/styles.xml", _styles_part(book))


# -- new workbooks ------------------------------------------------------------------------

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
        write = _sink(self._file, self._lxml)
        native = getattr(_vellum, "SheetWriter", None)
        cls = native if native is not None else ref.SheetWriter
        self._writer = cls(self, write, self._lxml, ref.make_writer_helpers(self._lxml))

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
        out.write(_worksheet_head(self, dimension))
        out.write(b"<sheetData>")
        self._file.seek(0)
        shutil.copyfileobj(self._file, out, 1 << 20)
        out.write(b"</sheetData>")
        tail, urls = _worksheet_tail(self)
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
