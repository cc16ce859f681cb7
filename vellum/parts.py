"""The workbook-level parts a save writes: for a new workbook the content
types, the package's and the workbook's relationships (and a worksheet's,
for its links) and the workbook part; for a workbook that was read, its
workbook part and its document properties' sheet titles edited where its
sheets changed; for both, the styles part.
"""
from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Iterable
from typing import Any

from vellum.package import Rel, rels_xml
from vellum.reference.formats import RECORDS
from vellum.reference.styles import BUILTIN_FORMATS, DEFAULT_STYLES, children
from vellum.utils.datetime import MAC_EPOCH
from vellum.xmlparts import (DECL, MAIN_NS, REL_NS, escape_attr, parse_part, prefixes_of,
                             serialise)

_REL_TYPE = REL_NS + "/"
_CT = "application/vnd.openxmlformats-officedocument.spreadsheetml."


def content_types(sheet_count: int) -> str:
    """The content types of the parts a save writes, for `sheet_count` sheets."""
    sheets = "".join(
        f'<Override PartName="/xl/worksheets/sheet{i}.xml" ContentType="{_CT}worksheet+xml"/>'
        for i in range(1, sheet_count + 1))
    return (DECL + '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" '
            'ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            f'<Override PartName="/xl/workbook.xml" ContentType="{_CT}sheet.main+xml"/>'
            f'<Override PartName="/xl/styles.xml" ContentType="{_CT}styles+xml"/>'
            + sheets + "</Types>")


def relationships(targets: Iterable[tuple[str, str]]) -> bytes:
    """A relationships part: one relationship of each (kind, target), with
    ids rId1, rId2, ... in order."""
    return rels_xml(Rel(f"rId{i}", _REL_TYPE + kind, target)
                    for i, (kind, target) in enumerate(targets, 1))


def workbook_part(book: Any, sheets: list[Any]) -> str:
    """The workbook part: the date system and the sheets, in order, each
    with the relationship id rId<position>."""
    pr = '<workbookPr date1904="1"/>' if book.epoch == MAC_EPOCH else "<workbookPr/>"
    items = "".join(
        f'<sheet name="{escape_attr(ws.title)}" sheetId="{i}"'
        + ("" if ws.state == "visible" else f' state="{escape_attr(ws.state)}"')
        + f' r:id="rId{i}"/>' for i, ws in enumerate(sheets, 1))
    return (DECL + f'<workbook xmlns="{MAIN_NS}" xmlns:r="{REL_NS}">' + pr
            + "<bookViews><workbookView/></bookViews><sheets>" + items + "</sheets></workbook>")


def _xf(style: Any, alignments: Any, protections: Any) -> ET.Element:
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


def styles_part(book: Any, read: int = 0) -> str:
    """The styles part: the one read with its cell formats (``cellXfs``)
    and number formats written again, or a minimal one for a new workbook.
    The first `read` cell formats, those the workbook was read with, are
    kept as they were, those added since made from their style arrays;
    the fonts, fills and borders read are kept, those added since appended."""
    source = getattr(book, "_styles_xml", None)
    root = ET.fromstring(source) if source else ET.fromstring(
        f'<styleSheet xmlns="{MAIN_NS}">{DEFAULT_STYLES}</styleSheet>')
    ns = _namespace(root)
    names = [c.tag.rpartition("}")[2] for c in root]
    read_xfs = [xf for xfs in children(root, "cellXfs") for xf in children(xfs, "xf")][:read]
    kept = [c for c in root if c.tag.rpartition("}")[2] not in ("numFmts", "cellXfs")]
    # cellXfs goes where it stood, else after the styles it refers to
    position = (len([n for n in names[:names.index("cellXfs")] if n != "numFmts"])
                if "cellXfs" in names else len(kept))
    for child in list(root):
        root.remove(child)
    root.extend(kept)
    custom = {i: code for i, code in book._number_formats.items()
              if BUILTIN_FORMATS.get(i) != code}
    xfs = ET.Element(f"{{{ns}}}cellXfs", count=str(len(book._cell_styles)))
    for i, style in enumerate(book._cell_styles):
        xfs.append(read_xfs[i] if i < len(read_xfs) else
                   _xf(style, book._alignments, book._protections))
    root.insert(position, xfs)
    _append_records(root, book, ns)
    if custom:
        formats = ET.Element(f"{{{ns}}}numFmts", count=str(len(custom)))
        for i, code in sorted(custom.items()):
            ET.SubElement(formats, f"{{{ns}}}numFmt", numFmtId=str(i), formatCode=code)
        root.insert(0, formats)
    if ns != MAIN_NS:
        for e in root.iter():
            if isinstance(e.tag, str) and e.tag.startswith(f"{{{MAIN_NS}}}"):
                e.tag = f"{{{ns}}}" + e.tag[len(MAIN_NS) + 2:]
    return DECL + serialise(root, prefixes_of(source) if source else {}, root=True, default=ns)


# The records a cell format refers to, in the order the styles part has them.
_ORDER = ("numFmts", "fonts", "fills", "borders", "cellStyleXfs", "cellXfs")


def _append_records(root: ET.Element, book: Any, ns: str) -> None:
    """Append to the fonts, fills and borders of `root` (those read, in
    their first container, which the workbook's lists begin with) the ones
    the workbook's lists hold beyond them."""
    for container, record, _, element_of, name in RECORDS:
        table = getattr(book, name, ())
        found = next(iter(children(root, container)), None)
        have = len(children(found, record)) if found is not None else 0
        if len(table) <= have:
            continue
        if found is None:
            names = [c.tag.rpartition("}")[2] for c in root]
            before = _ORDER[:_ORDER.index(container)]
            at = max((i + 1 for i, n in enumerate(names) if n in before), default=0)
            found = ET.Element(f"{{{ns}}}{container}")
            root.insert(at, found)
        for item in table[have:]:
            found.append(element_of(item, ns))
        found.set("count", str(len(table)))


def _namespace(root: ET.Element) -> str:
    return root.tag[1:].partition("}")[0] if root.tag.startswith("{") else ""


# -- a workbook that was read -------------------------------------------------------

# The children of a workbook part that may come before calcPr, in order.
_BEFORE_CALC = ("fileVersion", "fileSharing", "workbookPr", "workbookProtection", "bookViews",
                "sheets", "functionGroups", "externalReferences", "definedNames")


def edited_workbook_part(data: bytes, sheets: list[dict[str, str]],
                         moved: dict[int, int | None], recalc: bool) -> bytes:
    """The workbook part read (`data`) with its sheets now `sheets` (each
    ``sheet`` element's attributes, in order), the sheet positions that
    defined names (``localSheetId``) and the workbook's views name moved as
    `moved` says (old position to new, None for a sheet removed: its names
    go), and with `recalc`, marked to be calculated in full when opened.
    Everything else is kept as read."""
    root = parse_part(data)
    ns = _namespace(root)
    for element in children(root, "sheets"):
        for child in list(element):
            element.remove(child)
        for attrs in sheets:
            ET.SubElement(element, f"{{{ns}}}sheet", attrs)
    for names in children(root, "definedNames"):
        for name in list(children(names, "definedName")):
            local = name.get("localSheetId")
            if local is None or not local.strip().isdigit():
                continue
            at = moved.get(int(local), int(local))
            if at is None:
                names.remove(name)
            else:
                name.set("localSheetId", str(at))
    last = max(len(sheets) - 1, 0)
    for views in children(root, "bookViews"):
        for view in children(views, "workbookView"):
            # the active sheet stays active where it went; the first tab
            # shown stays where it was
            active, first = view.get("activeTab"), view.get("firstSheet")
            if active is not None and active.strip().isdigit():
                view.set("activeTab", str(min(moved.get(int(active), int(active)) or 0, last)))
            if first is not None and first.strip().isdigit():
                view.set("firstSheet", str(min(int(first), last)))
    if recalc:
        calc = next(iter(children(root, "calcPr")), None)
        if calc is None:
            tags = [c.tag.rpartition("}")[2] for c in root]
            at = max((i + 1 for i, t in enumerate(tags) if t in _BEFORE_CALC), default=len(tags))
            calc = ET.Element(f"{{{ns}}}calcPr")
            root.insert(at, calc)
        calc.set("fullCalcOnLoad", "1")
    return (DECL + serialise(root, prefixes_of(data), root=True, default=ns)).encode()


def edited_app_part(data: bytes, old: list[str], new: list[str]) -> bytes | None:
    """The document properties' application part (``docProps/app.xml``)
    with the titles of the worksheets, listed there as `old` (in order),
    now `new`; None where it does not list them so (it is then kept)."""
    try:
        root = parse_part(data)
    except Exception:
        return None
    pairs = [v for h in children(root, "HeadingPairs") for vec in children(h, "vector")
             for v in vec]
    titles = [vec for t in children(root, "TitlesOfParts") for vec in children(t, "vector")]
    if len(titles) != 1 or len(pairs) % 2:
        return None
    vector = titles[0]
    items = list(vector)
    start = 0
    for name, count in zip(pairs[::2], pairs[1::2]):
        counts = [c for c in count if c.tag.rpartition("}")[2] in ("i4", "int")]
        if not counts or not (counts[0].text or "").strip().isdigit():
            return None
        n = int(counts[0].text)
        group = items[start:start + n]
        if [item.text or "" for item in group] == old and old:
            tag = group[0].tag
            for item in group:
                vector.remove(item)
            at = start
            for title in new:
                element = ET.Element(tag)
                element.text = title
                vector.insert(at, element)
                at += 1
            counts[0].text = str(len(new))
            vector.set("size", str(len(vector)))
            return (DECL + serialise(root, prefixes_of(data), root=True,
                                     default=_namespace(root))).encode()
        start += n
    return None
