"""The workbook-level parts a save writes: the content types, the package's
and the workbook's relationships (and a worksheet's, for its links), the
workbook part and the styles part.
"""
from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Iterable
from typing import Any

from vellum.reference.styles import BUILTIN_FORMATS
from vellum.utils.datetime import MAC_EPOCH
from vellum.xmlparts import (DECL, MAIN_NS, PKG_REL_NS, REL_NS, escape_attr, prefixes_of,
                             serialise, to_transitional)

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


def relationships(targets: Iterable[tuple[str, str]], external: bool = False) -> str:
    """A relationships part: one relationship of each (kind, target), with
    ids rId1, rId2, ... in order; `external` ones point outside the package
    (a link's URL)."""
    mode = ' TargetMode="External"' if external else ""
    items = "".join(f'<Relationship Id="rId{i}" Type="{_REL_TYPE}{kind}" '
                    f'Target="{escape_attr(target)}"{mode}/>'
                    for i, (kind, target) in enumerate(targets, 1))
    return DECL + f'<Relationships xmlns="{PKG_REL_NS}">' + items + "</Relationships>"


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


_DEFAULT_STYLES = (
    '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
    '<fills count="2"><fill><patternFill patternType="none"/></fill>'
    '<fill><patternFill patternType="gray125"/></fill></fills>'
    '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
    '<cellXfs/>'
    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>')


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


def styles_part(book: Any) -> str:
    """The styles part: the one read with its cellXfs and number formats
    rewritten, or a minimal one for a new workbook."""
    source = getattr(book, "_styles_xml", None)
    root = ET.fromstring(source) if source else ET.fromstring(
        f'<styleSheet xmlns="{MAIN_NS}">{_DEFAULT_STYLES}</styleSheet>')
    to_transitional(root)
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
    return DECL + serialise(root, prefixes_of(source) if source else {}, root=True)
