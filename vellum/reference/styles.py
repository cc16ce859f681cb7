"""Cell styles of the reference host: the style arrays cells carry, the
workbook's indexed list of them, and their reading from the styles part.

Every cell read in full holds its own `StyleArray`, a copy of the workbook's
entry for the cell's style id (``cellXfs``, by position). The engine makes
those copies itself with ``array.array``'s constructor and the class of the
list's entry, so a `StyleArray` keeps no state beyond its nine integers.
"""
from __future__ import annotations

import array
import datetime
import re
import xml.etree.ElementTree as ET
from collections.abc import Iterable
from typing import Any

from vellum.reference.formats import RECORDS
from vellum.reference.strings import MAIN_NS

# The nine fields of a style array, in order. The ids of number formats,
# fonts, fills, borders and cell style records are the styles part's own;
# alignment and protection ids index the workbook's lists of distinct
# alignment and protection attribute sets, where 0 means none given.
STYLE_FIELDS = ("numFmtId", "fontId", "fillId", "borderId", "alignmentId",
                "protectionId", "xfId", "quotePrefix", "pivotButton")

# The number formats every workbook has without declaring them.
BUILTIN_FORMATS = {
    0: "General", 1: "0", 2: "0.00", 3: "#,##0", 4: "#,##0.00",
    9: "0%", 10: "0.00%", 11: "0.00E+00", 12: "# ?/?", 13: "# ??/??",
    14: "mm-dd-yy", 15: "d-mmm-yy", 16: "d-mmm", 17: "mmm-yy",
    18: "h:mm AM/PM", 19: "h:mm:ss AM/PM", 20: "h:mm", 21: "h:mm:ss",
    22: "m/d/yy h:mm", 37: "#,##0 ;(#,##0)", 38: "#,##0 ;[Red](#,##0)",
    39: "#,##0.00;(#,##0.00)", 40: "#,##0.00;[Red](#,##0.00)",
    45: "mm:ss", 46: "[h]:mm:ss", 47: "mmss.0", 48: "##0.0E+0", 49: "@",
}

# Built-in formats that show a date or a time (ids 14-22 and 45-47); 46 is
# the elapsed-time format [h]:mm:ss.
BUILTIN_DATE_FORMATS = frozenset(range(14, 23)) | {45, 46, 47}
BUILTIN_TIMEDELTA_FORMATS = frozenset({46})

_I32 = range(-2**31, 2**31)


class StyleArray(array.array):
    """The style of one cell: nine 32-bit integers (typecode "i") in the
    order of `STYLE_FIELDS`, readable and writable by name.

    ``StyleArray()`` is the default style (all zeros); ``StyleArray(other)``
    copies any nine integers, a style array included."""

    __slots__ = ()

    def __new__(cls, args: Iterable[int] = (0,) * 9) -> StyleArray:
        self = super().__new__(cls, "i", args)
        if len(self) != 9:
            raise ValueError(f"a style array holds 9 integers, not {len(self)}")
        return self

    def __repr__(self) -> str:
        fields = ", ".join(f"{n}={v}" for n, v in zip(STYLE_FIELDS, self))
        return f"StyleArray({fields})"


def _field(index):
    def get(self):
        return self[index]

    def put(self, value):
        self[index] = value

    return property(get, put, doc=f"Item {index} of the style array.")


for _i, _name in enumerate(STYLE_FIELDS):
    setattr(StyleArray, _name, _field(_i))
del _i, _name


def _key(value):
    """What `IndexedList` finds equal values by: arrays, being unhashable,
    by their type code and bytes."""
    if isinstance(value, array.array):
        return (array.array, value.typecode, value.tobytes())
    return value


class IndexedList(list):
    """A list that finds the index of an equal item in constant time.

    `add` gives the index of an equal item already present, or appends a
    copy of an array (so that changing the caller's array later does not
    change the list) and gives its index. Grow it with `add` or `append`
    only: other list mutations leave the index stale."""

    __slots__ = ("_index",)

    def __init__(self, items: Iterable[Any] = ()) -> None:
        super().__init__()
        self._index = {}
        for item in items:
            self.append(item)

    def append(self, item: Any) -> None:
        """Append `item`, even when an equal one is present (style ids are
        positions, so a workbook's repeated entries keep their own)."""
        self._index.setdefault(_key(item), len(self))
        super().append(item)

    def add(self, item: Any) -> int:
        """The index of an item equal to `item`, appending it if there is none."""
        found = self._index.get(_key(item))
        if found is not None:
            return found
        if isinstance(item, array.array):
            item = array.array.__new__(type(item), item.typecode, item)
        self.append(item)
        return len(self) - 1


class CellStyles(IndexedList):
    """The workbook's style arrays, indexed by style id. An empty ``s``
    attribute (a style id of "") names the default style 0, as it does for
    the applications that write it."""

    __slots__ = ()

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, str) and key == "":
            key = 0
        return super().__getitem__(key)


def local(tag: str) -> str:
    """The local name of an element tag written as "{uri}local"."""
    return tag.rpartition("}")[2]


def children(element: Any, name: str) -> list[Any]:
    """The child elements of `element` with that local name."""
    return [e for e in element if local(e.tag) == name]


_LITERALS = re.compile(r'"[^"]*"|\\.|[_*].')
_ELAPSED = re.compile(r"\[(?:h+|m+|s+)\]", re.IGNORECASE)
_BRACKETS = re.compile(r"\[[^\]]*\]")
_DATE_LETTERS = re.compile(r"[dmyhs]", re.IGNORECASE)


def format_kind(code: str) -> str | None:
    """"timedelta", "date" or None for a number format code, judged on its
    first section (the one that shows positive numbers)."""
    section = _LITERALS.sub("", code).split(";", 1)[0]
    if _ELAPSED.search(section):
        return "timedelta"
    if _DATE_LETTERS.search(_BRACKETS.sub("", section)):
        return "date"
    return None


# The built-in number format a date, a time or a duration gets where its
# cell's format shows none: without one it would be saved as a bare serial
# number and read back as a number.
_DATE_FORMAT_OF = ((datetime.datetime, 22), (datetime.date, 14), (datetime.time, 21),
                   (datetime.timedelta, 46))


def date_format_ids(number_formats: dict[int, str]) -> frozenset[int]:
    """The ids of the number formats that show a date, a time or a duration."""
    return frozenset(i for i, code in number_formats.items() if format_kind(code) is not None)


def dated_style(style: Any, value: Any, number_formats: dict[int, str]) -> StyleArray | None:
    """For a date, time or duration `value` in a cell of `style` (None: the
    default style) whose number format shows none, a copy of the style with
    the matching built-in date format; None where nothing is to change."""
    for kind, fmt in _DATE_FORMAT_OF:
        if isinstance(value, kind):
            break
    else:
        return None
    if style is not None and format_kind(number_formats.get(style[0], "General")) is not None:
        return None
    out = StyleArray(style if style is not None else StyleArray())
    out.numFmtId = fmt
    return out


def _number(element, name):
    """An integer attribute as a style array holds it; 0 when absent or
    not a 32-bit integer."""
    try:
        n = int(element.get(name, "0"))
    except ValueError:
        return 0
    return n if n in _I32 else 0


def _flag(element, name):
    return int(element.get(name, "").lower() in ("1", "true"))


# The records of a new workbook's styles part: one font, the two fills
# every file has (none and gray125), one border, the Normal cell style.
DEFAULT_STYLES = (
    '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
    '<fills count="2"><fill><patternFill patternType="none"/></fill>'
    '<fill><patternFill patternType="gray125"/></fill></fills>'
    '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
    '<cellXfs/>'
    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>')


class Styles:
    """What the styles part tells cells: the style arrays (`cell_styles`),
    the number format codes by id (`number_formats`), the fonts, fills and
    borders as format objects (`fonts`, `fills`, `borders`, by record id),
    the distinct alignment and protection attribute sets (`alignments`,
    `protections`, item 0 being none), and the style ids whose format shows
    a date or a duration (`date_formats`, `timedelta_formats`)."""

    def __init__(self, root: Any = None) -> None:
        self.number_formats = dict(BUILTIN_FORMATS)
        self.cell_styles = CellStyles()
        self.alignments = IndexedList([()])
        self.protections = IndexedList([()])
        for container, record, read, _, name in RECORDS:
            found = next(iter(children(root, container)), []) if root is not None else []
            setattr(self, name[1:], IndexedList(read(e) for e in children(found, record)))
        self.date_formats, self.timedelta_formats = set(), set()
        kinds = {i: "date" for i in BUILTIN_DATE_FORMATS}
        kinds.update({i: "timedelta" for i in BUILTIN_TIMEDELTA_FORMATS})
        root = [] if root is None else root
        for numfmts in children(root, "numFmts"):
            for fmt in children(numfmts, "numFmt"):
                try:
                    fmt_id = int(fmt.get("numFmtId", ""))
                except ValueError:
                    continue
                code = fmt.get("formatCode", "")
                kinds[fmt_id] = format_kind(code)
                self.number_formats[fmt_id] = code
        for xfs in children(root, "cellXfs"):
            for xf in children(xfs, "xf"):
                style = self._style(xf)
                kind = kinds.get(style.numFmtId)
                if kind:
                    self.date_formats.add(len(self.cell_styles))
                if kind == "timedelta":
                    self.timedelta_formats.add(len(self.cell_styles))
                self.cell_styles.append(style)
        if not self.cell_styles:
            # a cell without an s attribute has style 0, which must exist
            self.cell_styles.append(StyleArray())

    @classmethod
    def new(cls) -> Styles:
        """The styles of a new workbook (`DEFAULT_STYLES`)."""
        return cls(ET.fromstring(f'<styleSheet xmlns="{MAIN_NS}">{DEFAULT_STYLES}</styleSheet>'))

    def _style(self, xf):
        style = StyleArray()
        for i, name in enumerate(("numFmtId", "fontId", "fillId", "borderId")):
            style[i] = _number(xf, name)
        for name, found in (("alignment", self.alignments), ("protection", self.protections)):
            for child in children(xf, name):
                setattr(style, name + "Id", found.add(tuple(sorted(child.attrib.items()))))
                break
        style.xfId = _number(xf, "xfId")
        style.quotePrefix = _flag(xf, "quotePrefix")
        style.pivotButton = _flag(xf, "pivotButton")
        return style
