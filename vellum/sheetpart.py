"""One worksheet part written: its head (the elements before the cells, a
new ``dimension``), its ``sheetData`` by the engine's `SheetWriter` or the
package's writer, and its tail (the elements after the cells, the
``hyperlinks`` of the links set on cells).

The elements a read sheet had besides its cells are written again in
document order, except those that point to another part through a
relationship, as those parts are not saved.
"""
from __future__ import annotations

import shutil
import tempfile
import xml.etree.ElementTree as ET
from typing import IO, Any

from vellum import _vellum
from vellum.errors import native_or_package
from vellum.reference import writer as ref
from vellum.reference.cell import Hyperlink, column_letter
from vellum.xmlparts import (DECL, MAIN_NS, REL_NAMESPACES, REL_NS, captured_element,
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

def write_worksheet(ws: Any, out: IO[bytes], lxml: bool, engine: bool = True) -> list[str]:
    """Write the worksheet part of `ws` (read in full or new) to the binary
    file `out`; the URLs of its external links, by relationship number."""
    forget_written_links(ws)
    out.write(worksheet_head(ws, dimension_ref(ws)))
    write_sheet_data(ws, sink(out, lxml), lxml, engine, out)
    tail, urls = worksheet_tail(ws)
    out.write(tail)
    return urls


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
                     out: IO[bytes] | None = None) -> None:
    """Write a worksheet's ``<sheetData>`` through `write`: by the engine's
    writer, or by the package's when `engine` is false or the engine
    declines. `out`, when given, is the binary file `write` writes to,
    unbuffered: a large sheet's data is then held on disk until the engine
    is done."""
    if engine and getattr(ws, "_pending", None) and not ws.row_dimensions:
        # rows appended to a new sheet, still held as their values
        held = _Held(lxml, out)
        native_or_package(lambda: _write_pending(ws, held, write, lxml),
                          lambda: _write_cells(ws, write, lxml, engine, out), on_decline=held.close)
        return
    _write_cells(ws, write, lxml, engine, out)


def _write_cells(ws: Any, write: Any, lxml: bool, engine: bool, out: IO[bytes] | None) -> None:
    helpers = ref.make_writer_helpers(lxml)
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
    Cell made for most of them; nothing reaches `write` when the engine
    declines."""
    writer = _vellum.SheetWriter(ws, held.append, lxml, ref.make_writer_helpers(lxml))
    for row, values in ws._pending:
        writer.write_values(values, row, ws._make_cell)
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

def _kept(data: bytes, namespaces: list[tuple[str, str]]) -> ET.Element | None:
    """A captured element as an ElementTree element, or None when it points
    to another part (an attribute in the relationships namespace)."""
    element = captured_element(data, namespaces)
    for e in element.iter():
        if any(k.startswith("{" + ns + "}") for k in e.attrib for ns in REL_NAMESPACES):
            return None
    to_transitional(element)
    return element


def _split_elements(ws: Any) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
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
        (head if name in _HEAD else tail).append((name, serialise(element, prefixes)))
    return head, tail


def dimension_ref(ws: Any) -> str:
    """The ``ref`` of the sheet's new ``dimension``: the range its cells span."""
    extent = ws._extent() if hasattr(ws, "_extent") else None
    if extent is None:
        return "A1"
    r0, r1, c0, c1 = extent
    first, last = f"{column_letter(c0)}{r0}", f"{column_letter(c1)}{r1}"
    return first if first == last else f"{first}:{last}"


def worksheet_head(ws: Any, dimension: str) -> bytes:
    """The part up to ``sheetData``: the kept elements that come before it,
    with `dimension` as the ``ref`` of a new ``dimension``."""
    head, _ = _split_elements(ws)
    out = [DECL, f'<worksheet xmlns="{MAIN_NS}" xmlns:r="{REL_NS}">']
    before = [text for name, text in head if name == "sheetPr"]
    after = [text for name, text in head if name != "sheetPr"]
    out += before + [f'<dimension ref="{dimension}"/>'] + after
    return "".join(out).encode()


# Worksheet elements that come after hyperlinks.
_AFTER_LINKS = ("printOptions", "pageMargins", "pageSetup", "headerFooter", "rowBreaks",
                "colBreaks", "customProperties", "cellWatches", "ignoredErrors", "smartTags",
                "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF", "picture",
                "oleObjects", "controls", "webPublishItems", "tableParts", "extLst")


def _hyperlinks(ws: Any) -> tuple[str, list[str]]:
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
        items.append("<hyperlink" + "".join(f' {k}="{escape_attr(v)}"' for k, v in attrs.items()) + "/>")
    return "<hyperlinks>" + "".join(items) + "</hyperlinks>", urls


def worksheet_tail(ws: Any) -> tuple[bytes, list[str]]:
    """The elements after sheetData and the URLs of the sheet's links."""
    _, tail = _split_elements(ws)
    links, urls = _hyperlinks(ws)
    if links:
        tail = [(name, text) for name, text in tail if name != "hyperlinks"]
        at = next((i for i, (name, _) in enumerate(tail) if name in _AFTER_LINKS), len(tail))
        tail.insert(at, ("hyperlinks", links))
    return ("".join(text for _, text in tail) + "</worksheet>").encode(), urls


def forget_written_links(ws: Any) -> None:
    """Drop the links a former save appended, so each save lists each once."""
    ws._hyperlinks[:] = [link for link in ws._hyperlinks if not isinstance(link, Hyperlink)]
