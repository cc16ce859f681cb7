"""One worksheet part written: its head (the root element, the elements
before the cells, a new ``dimension``), its ``sheetData`` by the engine's
`SheetWriter` or the package's writer, and its tail (the elements after the
cells, the ``hyperlinks`` with the links set on cells).

The elements a read sheet had besides its cells are written again in
document order, those that point to other parts included: a save keeps the
sheet's relationships and the parts they name. `Frame` says how a part is
framed: the root element as read (its namespaces and attributes), the main
namespace (Strict workbooks keep theirs), and where new relationship ids
come from.
"""
from __future__ import annotations

import heapq
import shutil
import tempfile
import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import IO, Any, NamedTuple

from vellum import _vellum
from vellum.errors import native_or_package
from vellum.package import Rel, new_ids
from vellum.reference import writer as ref
from vellum.reference.cell import Hyperlink, column_letter
from vellum.xmlparts import (DECL, MAIN_NS, REL_NAMESPACES, REL_NS, STRICT_NS, captured_element,
                             escape_attr, serialise, to_transitional)

# Elements that come before sheetData in a worksheet.
_HEAD = ("sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols")


def has_lxml() -> bool:
    """Whether lxml is there to serialise in lxml mode."""
    try:
        import lxml.etree  # noqa: F401
    except ImportError:
        return False
    return True


# -- the whole part -------------------------------------------------------------

class Frame(NamedTuple):
    """How a worksheet part is framed: the start tag of its root element,
    the main namespace of its elements (transitional, or Strict's), the
    namespace of relationship ids, the source of ids for new relationships,
    and the values its formulas were saved with (see
    `vellum.reference.writer.make_writer_helpers`)."""

    root: str
    ns: str
    rel_ns: str
    new_id: Callable[[], str]
    formula_values: dict[tuple[int, int], tuple[Any, str | None, str]] | None = None


def new_frame(strict: bool = False) -> Frame:
    """The frame of a new worksheet part."""
    ns, rel_ns = (STRICT_NS, REL_NAMESPACES[1]) if strict else (MAIN_NS, REL_NS)
    return Frame(f'<worksheet xmlns="{ns}" xmlns:r="{rel_ns}">', ns, rel_ns, new_ids(()))


def write_worksheet(ws: Any, out: IO[bytes], lxml: bool, engine: bool = True,
                    frame: Frame | None = None) -> list[Rel]:
    """Write the worksheet part of `ws` (read in full or new) to the binary
    file `out`; the relationships its new external links need."""
    frame = frame or new_frame()
    forget_written_links(ws)
    out.write(worksheet_head(ws, dimension_ref(ws), frame))
    write_sheet_data(ws, sink(out, lxml), lxml, engine, out, frame.formula_values)
    tail, rels = worksheet_tail(ws, frame)
    out.write(tail)
    return rels


# -- sheet data -------------------------------------------------------------------

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
                     out: IO[bytes] | None = None, formula_values: Any = None) -> None:
    """Write a worksheet's ``<sheetData>`` through `write`: by the engine's
    writer, or by the package's when `engine` is false or the engine
    declines. `out`, when given, is the binary file `write` writes to,
    unbuffered: a large sheet's data is then held on disk until the engine
    is done. `formula_values` are the formulas' saved values."""
    if engine and getattr(ws, "_pending", None):
        # rows appended to a new sheet, still held as their values
        held = _Held(lxml, out)
        native_or_package(lambda: _write_pending(ws, held, write, lxml),
                          lambda: _write_cells(ws, write, lxml, engine, out, None),
                          on_decline=held.close)
        return
    _write_cells(ws, write, lxml, engine, out, formula_values)


def _write_cells(ws: Any, write: Any, lxml: bool, engine: bool, out: IO[bytes] | None,
                 formula_values: Any) -> None:
    helpers = ref.make_writer_helpers(lxml, ws.parent, formula_values)
    held = _Held(lxml, out)
    links, comments = len(ws._hyperlinks), len(getattr(ws, "_comments", ()))

    def native():
        _vellum.SheetWriter(ws, held.append, lxml, helpers).write_sheet_data(lambda: ref.rows(ws))
        held.send(write)

    def undo():
        # declined midway: the links and comments of the cells written so
        # far are recorded again by the package's writer
        held.close()
        del ws._hyperlinks[links:]
        if hasattr(ws, "_comments"):
            del ws._comments[comments:]

    def package():
        ref.SheetWriter(ws, write, lxml, helpers).write_sheet_data(lambda: ref.rows(ws))

    native_or_package(native, package, engine, on_decline=undo)


def _write_pending(ws: Any, held: _Held, write: Any, lxml: bool) -> None:
    """Write the rows a new worksheet holds as appended values, with no
    Cell made for most of them, and in their places the rows that have
    only attributes (a height, hidden); nothing reaches `write` when the
    engine declines."""
    writer = _vellum.SheetWriter(ws, held.append, lxml, ref.make_writer_helpers(lxml, ws.parent))
    bare = sorted(set(ws.row_dimensions).difference(row for row, _, _ in ws._pending))
    for row, values, styled in heapq.merge(ws._pending, [(row, [], None) for row in bare],
                                           key=lambda item: item[0]):
        if styled is None:
            writer.write_values(values, row, ws._make_cell)
            continue
        styles = styled[0]
        writer.write_values(values, row, lambda r, c, v: ws._make_cell(r, c, v, styles[c - 1]),
                            styled[1])
    writer.flush()
    write(b"<sheetData>" if lxml else "<sheetData>")
    held.send(write)
    write(b"</sheetData>" if lxml else "</sheetData>")


def sink(out: IO[bytes], lxml: bool) -> Any:
    """`write` for the sheet writer: bytes as they are, text as UTF-8."""
    if lxml:
        return out.write
    return lambda text: out.write(text.encode("utf-8", "surrogatepass"))


# -- the elements around the cells ---------------------------------------------------

def _split_elements(ws: Any, ns: str) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """(head, tail) texts of a read sheet's elements, in the namespace `ns`,
    the dimension left out (a new one is written)."""
    head, tail = [], []
    for data, namespaces in getattr(ws, "_elements", ()):
        element = captured_element(data, namespaces)
        if ns == MAIN_NS:
            to_transitional(element)
        name = element.tag.rpartition("}")[2]
        if name == "dimension":
            continue
        prefixes = {uri: prefix for prefix, uri in namespaces if prefix}
        (head if name in _HEAD else tail).append((name, serialise(element, prefixes, default=ns)))
    return head, tail


def dimension_ref(ws: Any) -> str:
    """The ``ref`` of the sheet's new ``dimension``: the range its cells span."""
    extent = ws._extent() if hasattr(ws, "_extent") else None
    if extent is None:
        return "A1"
    r0, r1, c0, c1 = extent
    first, last = f"{column_letter(c0)}{r0}", f"{column_letter(c1)}{r1}"
    return first if first == last else f"{first}:{last}"


def worksheet_head(ws: Any, dimension: str, frame: Frame | None = None) -> bytes:
    """The part up to ``sheetData``: the root element, the elements that
    come before the cells, with `dimension` as the ``ref`` of a new
    ``dimension``."""
    frame = frame or new_frame()
    head, _ = _split_elements(ws, frame.ns)
    out = [DECL, frame.root]
    before = [text for name, text in head if name == "sheetPr"]
    after = [text for name, text in head if name != "sheetPr"]
    out += before + [f'<dimension ref="{dimension}"/>'] + after
    return "".join(out).encode()


# Worksheet elements that come after hyperlinks.
_AFTER_LINKS = ("printOptions", "pageMargins", "pageSetup", "headerFooter", "rowBreaks",
                "colBreaks", "customProperties", "cellWatches", "ignoredErrors", "smartTags",
                "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture",
                "oleObjects", "controls", "webPublishItems", "tableParts", "extLst")


def _hyperlinks(ws: Any, frame: Frame) -> tuple[str, list[Rel]]:
    """The ``hyperlinks`` element of the links read and of those the cells'
    writing appended to ``ws._hyperlinks``, and the relationships of the
    new external ones (a link read keeps its relationship, which the save
    keeps; a new link on a cell that had one read replaces it)."""
    new = [link for link in ws._hyperlinks if isinstance(link, Hyperlink)]
    if not new:
        return "", []
    replaced = {link.ref for link in new}
    root = ET.Element(f"{{{frame.ns}}}hyperlinks")
    rels = []
    for link in ws._hyperlinks:
        if isinstance(link, Hyperlink):
            if link.target.startswith("#"):
                attrs = {"ref": link.ref, "location": link.target[1:]}
            else:
                rels.append(Rel(frame.new_id(), frame.rel_ns + "/hyperlink", link.target, True))
                attrs = {"ref": link.ref, f"{{{frame.rel_ns}}}id": rels[-1].id}
        elif link.get("ref") in replaced:
            continue
        else:
            attrs = link
        ET.SubElement(root, f"{{{frame.ns}}}hyperlink", {k: ref.safe_string(str(v))
                                                        for k, v in attrs.items()})
    return serialise(root, {frame.rel_ns: "r"}, default=frame.ns), rels


def worksheet_tail(ws: Any, frame: Frame | None = None) -> tuple[bytes, list[Rel]]:
    """The elements after sheetData, and the relationships of the sheet's
    new external links."""
    frame = frame or new_frame()
    _, tail = _split_elements(ws, frame.ns)
    links, rels = _hyperlinks(ws, frame)
    if links:
        tail = [(name, text) for name, text in tail if name != "hyperlinks"]
        at = next((i for i, (name, _) in enumerate(tail) if name in _AFTER_LINKS), len(tail))
        tail.insert(at, ("hyperlinks", links))
    end = frame.root[1:].split(None, 1)[0].rstrip(">")
    return ("".join(text for _, text in tail) + f"</{end}>").encode(), rels


def forget_written_links(ws: Any) -> None:
    """Drop the links a former save appended, so each save lists each once."""
    ws._hyperlinks[:] = [link for link in ws._hyperlinks if not isinstance(link, Hyperlink)]
