"""Saving a workbook that was read: which parts of its package are copied as
they are stored, which are written again, and which are left out.

Everything vellum does not change is kept, byte for byte and without being
inflated: pictures, drawings, charts, comments, tables, pivot tables, external
links, themes, document properties, custom XML, macros, and parts vellum does
not know, with their relationships and content types. Written again are only:

- a worksheet that changed since it was read (see `sheet_changed`), and every
  added one; an unchanged worksheet is copied as it was read. A worksheet
  written again keeps its root element, its elements besides the cells (those
  pointing to other parts included, as its relationships are kept), and the
  values its formulas were saved with, while they hold the formula read;
- the workbook part, where the sheets were added, removed, renamed, moved or
  shown or hidden, or a worksheet was written again: it keeps its defined
  names (those scoped to a removed sheet go, the others follow their sheet),
  views, calculation settings, pivot caches, external references and
  extensions, and is marked to be calculated when opened, as formulas may now
  hold stale values;
- the relationships of the workbook and of a worksheet with new links, the
  content types, and the document properties' list of sheet titles, where
  their content changed; the styles part where styles were added.

Left out: the calculation chain once a worksheet is written again or removed
(applications rebuild it), and the parts of a removed sheet that nothing else
uses.
"""
from __future__ import annotations

import datetime
import posixpath
import re
from typing import Any, NamedTuple

from vellum.package import (CONTENT_TYPES, ContentTypes, Rel, new_ids, reachable, rels_part,
                            rels_xml, relative, resolve)
from vellum.parts import edited_app_part, edited_workbook_part, styles_part
from vellum.reference.cell import Hyperlink
from vellum.reference.writer import number_text, to_excel
from vellum.sheetpart import Frame, write_worksheet
from vellum.errors import WorkbookError
from vellum.streaming import SheetStream
from vellum.xmlparts import MAIN_NS, REL_NAMESPACES, REL_NS, STRICT_NS, escape_attr, root_start

WORKSHEET_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"
STYLES_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"
ERRORS = frozenset(("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                    "#GETTING_DATA", "#SPILL!", "#CALC!", "#FIELD!", "#BLOCKED!", "#CONNECT!",
                    "#BUSY!", "#UNKNOWN!"))


# -- what changed since the workbook was read ---------------------------------------

class ReadState(NamedTuple):
    """What a worksheet held when it was read, beyond its cells' values."""

    cells: Any
    rows: Any
    elements: tuple[Any, ...]
    links: list[dict[str, str]]


def remember(ws: Any) -> None:
    """Note `ws` as it was read: a save copies its part while
    `sheet_changed` finds nothing."""
    ws._read = ReadState(ws._cells, ws.row_dimensions, tuple(ws._elements),
                         [dict(link) for link in ws._hyperlinks if not isinstance(link, Hyperlink)])
    ws.__dict__.pop("_changed", None)


def sheet_changed(ws: Any) -> bool:
    """Whether `ws` changed since it was read: a value, a link or a style
    written through a cell or the worksheet (``ws._changed``, set by
    `vellum.reference.cell.changed`), a cell deleted, a row's attributes set
    or removed, its elements or read links changed."""
    read = getattr(ws, "_read", None)
    if read is None or ws._changed:
        return True
    links = [link for link in ws._hyperlinks if not isinstance(link, Hyperlink)]
    return (ws._cells is not read.cells or ws.row_dimensions is not read.rows
            or tuple(ws._elements) != read.elements or links != read.links)


class BookState(NamedTuple):
    """What a workbook held when it was read: its sheets in order, with
    their names and states, the number of its cell styles, its number
    formats and the numbers of its fonts, fills and borders."""

    entries: list[Any]
    names: list[str]
    states: list[str]
    styles: int
    formats: dict[int, str]
    records: tuple[int, ...] = ()


def remember_book(book: Any) -> None:
    """Note `book` and its worksheets as they were read."""
    book._read_state = BookState(list(book._entries), [e.name for e in book._entries],
                                 [_state(e) for e in book._entries], len(book._cell_styles),
                                 dict(book._number_formats), _records(book))
    for ws in book.worksheets:
        remember(ws)


def _state(entry: Any) -> str:
    return entry.ws.state if entry.ws is not None else (entry.attrib or {}).get("state", "visible")


# -- the values formulas were saved with ---------------------------------------------

def formula_values(book: Any, entry: Any) -> dict[tuple[int, int], tuple[Any, str | None, str]]:
    """{(row, column): (formula, t, text)} of a worksheet's formulas as its
    part holds them: each formula with the value it was saved with (the
    ``<v>`` text, the cell's ``t``, None for a number). Formulas saved
    without one are left out, and so are all of them when the saved values
    cannot be read (a ``<v>`` of a number that is none): the formulas are
    then saved without values, to be calculated when the file is opened,
    rather than the workbook refused."""
    if book.data_only or entry.part is None or not _has_formulas(book._archive, entry.part):
        return {}
    out = {}
    stream = SheetStream(book, _Part(entry.part), book.engine, formula_and_value=True)
    try:
        for _, row in stream.rows(values_only=False):
            for cell in row:
                if cell is not None and cell.formula is not None:
                    found = _saved_text(cell.cached_value, book.epoch)
                    if found is not None:
                        out[(cell.row, cell.column)] = (cell.formula, *found)
    except WorkbookError:
        return {}
    finally:
        stream.close()
    return out


# The start tag of a formula element, with or without a prefix ("<f>", "<f t=",
# "<x:f>"); "<font" and "<fill" are not.
_FORMULA = re.compile(rb"<(?:[A-Za-z_][\w.-]*:)?f[\s/>]")


def _has_formulas(archive: Any, part: str) -> bool:
    """Whether a sheet part holds a formula, found in its bytes, a good deal
    faster than reading its cells (which only a sheet with formulas needs)."""
    tail = b""
    with archive.open_member(part) as source:
        while data := source.read(1 << 20):
            if _FORMULA.search(tail + data[:64]) or _FORMULA.search(data):
                return True
            tail = data[-64:]
    return False


class _Part(NamedTuple):
    """The little of a streamed sheet that `SheetStream` reads."""

    part: str


def _saved_text(value: Any, epoch: datetime.datetime) -> tuple[str | None, str] | None:
    """(t, text) of a formula's saved value as read."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "b", "1" if value else "0"
    if isinstance(value, (int, float)):
        return None, number_text(value)
    if isinstance(value, (datetime.date, datetime.time, datetime.timedelta)):
        return None, number_text(to_excel(value, epoch))
    if isinstance(value, str):
        return ("e" if value in ERRORS else "str"), value
    return None


# -- the frame of a worksheet written again ---------------------------------------------

def read_frame(book: Any, part: str, rels: list[Rel], strict: bool) -> Frame:
    """How the part of a worksheet written again is framed: its root
    element as read (namespaces and attributes), in its own namespace."""
    with book._archive.open_member(part) as source:
        found = root_start(source, f"{book.path}: part {part}")
    tag, attrib, decls = found or ("", {}, [])
    ns = tag.rpartition("}")[0]
    if ns not in (MAIN_NS, STRICT_NS):
        ns = STRICT_NS if strict else MAIN_NS
    rel_ns = REL_NAMESPACES[1] if ns == STRICT_NS else REL_NS
    prefixes = {uri: prefix for prefix, uri in decls if prefix}
    root = [f'<worksheet xmlns="{ns}"']
    root += [f' xmlns:{p}="{escape_attr(uri)}"' for p, uri in decls if p]
    for key, value in attrib.items():
        uri, _, local = key[1:].partition("}") if key.startswith("{") else ("", "", key)
        if not uri or uri in prefixes:
            root.append(f' {prefixes[uri] + ":" if uri else ""}{local}="{escape_attr(value)}"')
    return Frame("".join(root) + ">", ns, rel_ns, new_ids(r.id for r in rels))


# -- the package ----------------------------------------------------------------------

def unchanged(book: Any) -> bool:
    """Whether a save of `book` would write nothing again: the file read
    is then the file to save, byte for byte."""
    return _Plan(book).unchanged


def save_read_workbook(book: Any, zf: Any, lxml: bool, engine: bool) -> None:
    """Write `book`, read in full, as a package to the zip writer `zf`
    (`vellum.save`'s, which copies members as they are stored)."""
    plan = _Plan(book)
    with book._archive.raw_source() as raw:
        plan.write(zf, raw, lxml, engine)


class _Plan:
    """What a save of a read workbook writes, worked out before a byte is."""

    def __init__(self, book: Any) -> None:
        self.book = book
        archive, state, entries = book._archive, book._read_state, book._entries
        self.removed = [e for e in state.entries if e not in entries]
        self.rewritten = {id(e) for e in entries
                          if e.ws is not None and (e.part is None or sheet_changed(e.ws))}
        names = [e.name for e in entries]
        listed = (entries != state.entries or names != state.names
                  or [_state(e) for e in entries] != state.states)
        self._relationships()
        self._parts()
        self.book_xml = None
        if listed or self.rewritten or self.removed:
            self.book_xml = _workbook_xml(book, state, self.added, self.rel_ns,
                                          bool(self.rewritten or self.removed))
        self.app_part, self.app_xml = (_app_xml(archive, state, entries)
                                       if names != state.names else (None, None))
        self.unchanged = not (self.rewritten or self.removed or self.new_rels or self.book_xml
                              or self.app_xml or self.types_changed)

    def _relationships(self) -> None:
        """The workbook's relationships: removed sheets and a stale
        calculation chain go, added sheets (and the styles, where the
        workbook had none) come, with new parts and ids."""
        book = self.book
        archive, wb = book._archive, book._workbook_part
        wb_rels = archive.rels(wb)
        next_id = new_ids(r.id for r in wb_rels)
        self.dropped_ids = {e.rid for e in self.removed}
        if self.rewritten or self.removed:
            self.dropped_ids |= {r.id for r in wb_rels if r.type.endswith("/calcChain")}
        self.strict = any(r.type.startswith(REL_NAMESPACES[1]) for r in wb_rels)
        self.rel_ns = REL_NAMESPACES[1] if self.strict else REL_NS
        sheet_type = next((r.type for r in wb_rels if r.type.endswith("/worksheet")),
                          self.rel_ns + "/worksheet")
        taken = {name.lower() for name in archive.zip.namelist()}
        folder = next((posixpath.dirname(e.part) for e in book._read_state.entries
                       if e.kind == "worksheet" and e.part),
                      posixpath.join(posixpath.dirname(wb), "worksheets"))
        self.added: dict[int, tuple[str, str]] = {}
        self.new_rels = []
        for e in book._entries:
            if e.ws is not None and e.part is None:
                n = 1
                while posixpath.join(folder, f"sheet{n}.xml").lower() in taken:
                    n += 1
                part = posixpath.join(folder, f"sheet{n}.xml")
                taken.add(part.lower())
                self.added[id(e)] = (part, next_id())
                self.new_rels.append(Rel(self.added[id(e)][1], sheet_type, relative(wb, part)))
        self.styles = book._styles_part
        if self.styles is None and self.rewritten:
            self.styles = posixpath.join(posixpath.dirname(wb), "styles.xml")
            self.new_rels.append(Rel(next_id(), self.rel_ns + "/styles", relative(wb, self.styles)))
        self.wb_rels = [r for r in wb_rels if r.id not in self.dropped_ids] + self.new_rels

    def _parts(self) -> None:
        """The members nothing reaches once relationships went, and the
        content types."""
        book = self.book
        archive, wb = book._archive, book._workbook_part
        self.gone: set[str] = set()
        if self.dropped_ids:
            def rels_of(part):
                return self.wb_rels if part == wb else archive.rels(part)
            self.gone = reachable(archive.rels, archive.member) - reachable(rels_of, archive.member)
            self.gone |= {m for p in self.gone if (m := archive.member(rels_part(p))) is not None}
        member = archive.member(CONTENT_TYPES)
        self.types = ContentTypes.parse(archive.read(member) if member else None)
        for part in self.gone:
            self.types.drop(part)
        for part, _ in self.added.values():
            self.types.set(part, WORKSHEET_TYPE)
        if self.styles is not None and self.styles != book._styles_part:
            self.types.set(self.styles, STYLES_TYPE)
        self.types_changed = bool(self.gone or self.added or self.styles != book._styles_part)

    def write(self, zf: Any, raw: Any, lxml: bool, engine: bool) -> None:
        """Members in the order of the package read, the content types
        first; worksheets written again in their places, each followed by
        its relationships; added sheets, then the styles, last."""
        book = self.book
        archive = book._archive
        sheets = {e.part: e for e in book._entries if id(e) in self.rewritten and e.part}
        skip = self.gone | {archive.member(rels_part(p)) for p in sheets}
        types = archive.member(CONTENT_TYPES)
        wb_rels = archive.member(rels_part(book._workbook_part))
        if self.types_changed or types is None:
            zf.writestr(CONTENT_TYPES, self.types.xml())
        else:
            zf.write_raw(raw, archive.zip.getinfo(types))
        written = {
            book._workbook_part: self.book_xml,
            wb_rels: rels_xml(self.wb_rels) if self.dropped_ids or self.new_rels else None,
            self.app_part: self.app_xml}
        for info in archive.zip.infolist():
            name = info.filename
            if name in skip or name == types or (name == book._styles_part and self.rewritten):
                continue
            if name in sheets:
                _write_sheet(book, zf, raw, sheets[name], name, lxml, engine, self.strict)
            elif written.get(name) is not None:
                zf.writestr(name, written[name])
            else:
                zf.write_raw(raw, info)
        if wb_rels is None and self.new_rels:
            zf.writestr(rels_part(book._workbook_part), rels_xml(self.wb_rels))
        for e in book._entries:
            if id(e) in self.added:
                _write_sheet(book, zf, raw, e, self.added[id(e)][0], lxml, engine, self.strict)
        if self.rewritten:
            if _styles_changed(book, book._read_state) or book._styles_part is None:
                zf.writestr(self.styles, styles_part(book, book._read_state.styles))
            else:
                zf.write_raw(raw, archive.zip.getinfo(self.styles))


def _records(book: Any) -> tuple[int, ...]:
    return tuple(len(getattr(book, name, ())) for name in ("_fonts", "_fills", "_borders"))


def _styles_changed(book: Any, state: BookState) -> bool:
    return (len(book._cell_styles) != state.styles or book._number_formats != state.formats
            or _records(book) != state.records)


def _write_sheet(book: Any, zf: Any, raw: Any, entry: Any, part: str, lxml: bool, engine: bool,
                 strict: bool) -> None:
    """A worksheet part written again (or anew), then its relationships:
    those read, and those of its new links."""
    archive = book._archive
    rels = archive.rels(entry.part) if entry.part else []
    if entry.part:
        frame = read_frame(book, entry.part, rels, strict)
        frame = frame._replace(formula_values=formula_values(book, entry))
    else:
        ns, rel_ns = (STRICT_NS, REL_NAMESPACES[1]) if strict else (MAIN_NS, REL_NS)
        frame = Frame(f'<worksheet xmlns="{ns}" xmlns:r="{rel_ns}">', ns, rel_ns, new_ids(()))
    with zf.open(part, "w", force_zip64=True) as out:
        links = write_worksheet(entry.ws, out, lxml, engine, frame)
    member = archive.member(rels_part(entry.part)) if entry.part else None
    if links:
        zf.writestr(rels_part(part), rels_xml(rels + links))
    elif member is not None:
        zf.write_raw(raw, archive.zip.getinfo(member))


def _workbook_xml(book: Any, state: BookState, added: dict[int, tuple[str, str]], rel_ns: str,
                  recalc: bool) -> bytes:
    """The workbook part with the sheets as they are now."""
    entries = book._entries
    ids = [int(a["sheetId"]) for e in state.entries if (a := e.attrib) and
           a.get("sheetId", "").isdigit()]
    next_sheet = max(ids, default=0) + 1
    sheets = []
    for e in entries:
        if e.attrib is None:
            attrs = {"name": e.name, "sheetId": str(next_sheet), f"{{{rel_ns}}}id": added[id(e)][1]}
            next_sheet += 1
        else:
            attrs = dict(e.attrib)
            attrs["name"] = e.name
        if e.ws is not None:
            attrs.pop("state", None)
            if e.ws.state != "visible":
                attrs["state"] = e.ws.state
        sheets.append(attrs)
    moved = {i: (entries.index(e) if e in entries else None)
             for i, e in enumerate(state.entries)}
    return edited_workbook_part(book._archive.read(book._workbook_part), sheets, moved, recalc)


def _app_xml(archive: Any, state: BookState, entries: list[Any]) -> tuple[str | None, bytes | None]:
    """The application properties part and its text with the worksheets'
    titles as they are now, where it lists the ones read."""
    part = next((p for rel in archive.rels("") if rel.type.endswith("/extended-properties")
                 and (p := archive.member(resolve("", rel.target)))), None)
    if part is None:
        return None, None
    old = [name for e, name in zip(state.entries, state.names) if e.kind == "worksheet"]
    new = [e.name for e in entries if e.kind == "worksheet"]
    return part, edited_app_part(archive.read(part), old, new)
