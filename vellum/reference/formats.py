"""Cell formats as values: `Font`, `Fill`, `Border` with its `Side`s,
`Alignment` and `Protection`, immutable and hashable, so that one is built
once and assigned to many cells, and equal ones share one record of the
styles part.

A workbook keeps its fonts, fills and borders in indexed lists of these
objects (position = the record's id in the styles part, records read first,
in order, then the ones added); alignments and protections, which are
written inside each cell format, as their attribute sets. Every value is
checked when an object is built, so a bad one fails where it is set,
never at save. Reading a record the objects cannot represent in full (a
theme colour, a gradient fill) gives what they can, and a save writes the
record read as it was.
"""
from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field, fields
from typing import Any

from vellum.reference.values import ILLEGAL_XML

_HEX = re.compile(r"[0-9A-Fa-f]{6}(?:[0-9A-Fa-f]{2})?")


def _color(value: Any, what: str = "colour") -> str | None:
    """A colour as its eight uppercase hexadecimal digits (alpha, red,
    green, blue): "FF0000" gives "FFFF0000"; None stays None."""
    if value is None:
        return None
    if not isinstance(value, str) or not _HEX.fullmatch(value):
        raise ValueError(f"a {what} is an RGB text of 6 or 8 hexadecimal digits "
                         f"(RRGGBB or AARRGGBB), not {value!r}")
    value = value.upper()
    return value if len(value) == 8 else "FF" + value


def _choice(value: Any, allowed: tuple[str, ...], what: str) -> Any:
    if value is not None and value not in allowed:
        raise ValueError(f"{what} is one of {', '.join(allowed)} or None, not {value!r}")
    return value


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} is True or False, not {value!r}")
    return value


def _whole(value: Any, low: int, high: int, what: str, also: tuple[int, ...] = ()) -> int:
    if type(value) is not int or not (low <= value <= high or value in also):
        extra = "".join(f" or {a}" for a in also)
        raise ValueError(f"{what} is an int from {low} to {high}{extra}, not {value!r}")
    return value


def _set(obj: Any, name: str, value: Any) -> None:
    object.__setattr__(obj, name, value)


def _lenient(cls: type, values: dict[str, Any]) -> Any:
    """`cls` built from what a file gave, each value it refuses left at its
    default: a file read is never refused for an odd format."""
    try:
        return cls(**values)
    except (TypeError, ValueError):
        pass
    kept = {}
    for name, value in values.items():
        try:
            cls(**{name: value})
        except (TypeError, ValueError):
            continue
        kept[name] = value
    return cls(**kept)


UNDERLINES = ("single", "double", "singleAccounting", "doubleAccounting")


@dataclass(frozen=True, slots=True)
class Font:
    """A font: `name`, `size` in points (1 to 409), `bold`, `italic`,
    `underline` (None, "single", "double", "singleAccounting" or
    "doubleAccounting"), `strike` and `color` (RGB, "RRGGBB" or "AARRGGBB";
    None: the application's automatic colour)."""

    name: str = "Calibri"
    size: float = 11.0
    bold: bool = False
    italic: bool = False
    underline: str | None = None
    strike: bool = False
    color: str | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not 1 <= len(self.name) <= 31:
            raise ValueError(f"a font name is a text of 1 to 31 characters, not {self.name!r}")
        if isinstance(self.size, bool) or not isinstance(self.size, (int, float)) \
                or not 1 <= self.size <= 409:
            raise ValueError(f"a font size is a number of points from 1 to 409, not {self.size!r}")
        _set(self, "size", float(self.size))
        for name in ("bold", "italic", "strike"):
            _flag(getattr(self, name), f"a font's {name}")
        _choice(self.underline, UNDERLINES, "a font's underline")
        _set(self, "color", _color(self.color, "font colour"))


PATTERNS = ("none", "solid", "mediumGray", "darkGray", "lightGray", "darkHorizontal",
            "darkVertical", "darkDown", "darkUp", "darkGrid", "darkTrellis", "lightHorizontal",
            "lightVertical", "lightDown", "lightUp", "lightGrid", "lightTrellis", "gray125",
            "gray0625")


@dataclass(frozen=True, slots=True)
class Fill:
    """A cell's background: a `pattern` ("solid", "gray125", ... or "none")
    drawn in `color` over `background`. ``Fill(color="FFFF00")`` is a solid
    yellow fill: without a pattern, a fill with a colour is solid and one
    without is none."""

    pattern: str | None = None
    color: str | None = None
    background: str | None = None

    def __post_init__(self) -> None:
        _set(self, "color", _color(self.color, "fill colour"))
        _set(self, "background", _color(self.background, "fill background colour"))
        if self.pattern is None:
            _set(self, "pattern", "solid" if self.color is not None else "none")
        _choice(self.pattern, PATTERNS, "a fill pattern")


BORDER_STYLES = ("thin", "medium", "dashed", "dotted", "thick", "double", "hair",
                 "mediumDashed", "dashDot", "mediumDashDot", "dashDotDot", "mediumDashDotDot",
                 "slantDashDot")


@dataclass(frozen=True, slots=True)
class Side:
    """One side of a cell's border: its `style` ("thin", "medium", "thick",
    "double", "dashed", ...; None: no line) and `color` (RGB)."""

    style: str | None = None
    color: str | None = None

    def __post_init__(self) -> None:
        _choice(self.style, BORDER_STYLES, "a border style")
        _set(self, "color", _color(self.color, "border colour"))


_SIDES = ("left", "right", "top", "bottom")


@dataclass(frozen=True, slots=True)
class Border:
    """A cell's border: its `left`, `right`, `top` and `bottom` sides.
    ``Border.all("thin")`` draws all four alike."""

    left: Side = field(default_factory=Side)
    right: Side = field(default_factory=Side)
    top: Side = field(default_factory=Side)
    bottom: Side = field(default_factory=Side)

    def __post_init__(self) -> None:
        for name in _SIDES:
            if not isinstance(getattr(self, name), Side):
                raise TypeError(f"a border's {name} is a Side, not {getattr(self, name)!r}")

    @classmethod
    def all(cls, style: str | None, color: str | None = None) -> Border:
        """A border of four equal sides."""
        side = Side(style, color)
        return cls(side, side, side, side)


HORIZONTAL = ("general", "left", "center", "right", "fill", "justify", "centerContinuous",
              "distributed")
VERTICAL = ("top", "center", "bottom", "justify", "distributed")


@dataclass(frozen=True, slots=True)
class Alignment:
    """How a cell's content sits in it: `horizontal` ("left", "center",
    "right", ...), `vertical` ("top", "center", "bottom", ...), `wrap_text`,
    `shrink_to_fit`, `indent` (0 to 250) and `text_rotation` (degrees, 0 to
    180, or 255 for text set vertically)."""

    horizontal: str | None = None
    vertical: str | None = None
    wrap_text: bool = False
    shrink_to_fit: bool = False
    indent: int = 0
    text_rotation: int = 0

    def __post_init__(self) -> None:
        _choice(self.horizontal, HORIZONTAL, "a horizontal alignment")
        _choice(self.vertical, VERTICAL, "a vertical alignment")
        _flag(self.wrap_text, "wrap_text")
        _flag(self.shrink_to_fit, "shrink_to_fit")
        _whole(self.indent, 0, 250, "an indent")
        _whole(self.text_rotation, 0, 180, "a text rotation", (255,))


@dataclass(frozen=True, slots=True)
class Protection:
    """Whether a cell is `locked` and its formula `hidden` when the sheet
    is protected."""

    locked: bool = True
    hidden: bool = False

    def __post_init__(self) -> None:
        _flag(self.locked, "locked")
        _flag(self.hidden, "hidden")


@dataclass(frozen=True, slots=True)
class CellFormat:
    """Formats to give cells together, as rows are appended
    (``ws.append(values, formats=...)``): any of a `font`, `fill`,
    `border`, `alignment`, `protection` and `number_format` (a format
    code); None leaves that one as the cell has it."""

    font: Font | None = None
    fill: Fill | None = None
    border: Border | None = None
    alignment: Alignment | None = None
    protection: Protection | None = None
    number_format: str | None = None

    def __post_init__(self) -> None:
        for name, (_, _, cls, _) in KINDS.items():
            value = getattr(self, name)
            if value is not None and not isinstance(value, cls):
                raise TypeError(f"a cell format's {name} is a {cls.__name__}, not {value!r}")
        if self.number_format is not None:
            check_format_code(self.number_format)


# -- alignments and protections as the attribute sets of a cell format --------------

_ALIGNMENT_ATTRS = (("horizontal", "horizontal"), ("vertical", "vertical"),
                    ("wrap_text", "wrapText"), ("shrink_to_fit", "shrinkToFit"),
                    ("indent", "indent"), ("text_rotation", "textRotation"))
_PROTECTION_ATTRS = (("locked", "locked"), ("hidden", "hidden"))


def attrs_of(value: Alignment | Protection) -> tuple[tuple[str, str], ...]:
    """The attributes of an ``alignment`` or ``protection`` element, sorted
    as the workbook's lists hold them; () for the defaults."""
    names = _ALIGNMENT_ATTRS if isinstance(value, Alignment) else _PROTECTION_ATTRS
    out = []
    for f, (attr, xml) in zip(fields(value), names):
        v = getattr(value, attr)
        if v == f.default:
            continue
        out.append((xml, ("1" if v else "0") if isinstance(v, bool) else str(v)))
    return tuple(sorted(out))


def _bool_text(text: str) -> bool | None:
    low = text.strip().lower()
    return True if low in ("1", "true") else False if low in ("0", "false") else None


def from_attrs(cls: type, attrs: Any) -> Any:
    """An `Alignment` or `Protection` from the attributes read (unknown
    ones left out, odd values left at their defaults)."""
    names = dict((xml, attr) for attr, xml in
                 (_ALIGNMENT_ATTRS if cls is Alignment else _PROTECTION_ATTRS))
    defaults = {f.name: f.default for f in fields(cls)}
    values = {}
    for xml, text in attrs:
        attr = names.get(xml.rpartition("}")[2])
        if attr is None:
            continue
        if isinstance(defaults[attr], bool):
            values[attr] = _bool_text(text)
        elif isinstance(defaults[attr], int):
            values[attr] = int(text) if text.strip().isdigit() else None
        else:
            values[attr] = text
    return _lenient(cls, values)


# -- fonts, fills and borders as records of the styles part --------------------------

def _local(element: ET.Element) -> str:
    return element.tag.rpartition("}")[2]


def _rgb(element: ET.Element | None) -> str | None:
    """The RGB colour of a colour element; None for a theme or an indexed
    colour, which these objects do not represent."""
    rgb = None if element is None else element.get("rgb")
    return rgb if rgb is not None and _HEX.fullmatch(rgb) else None


def _on(element: ET.Element) -> bool:
    return _bool_text(element.get("val", "1")) is not False


def font_from(element: ET.Element) -> Font:
    """The `Font` of a ``font`` record."""
    values: dict[str, Any] = {}
    for child in element:
        name, val = _local(child), child.get("val")
        if name in ("b", "i", "strike"):
            values[{"b": "bold", "i": "italic"}.get(name, name)] = _on(child)
        elif name == "u":
            values["underline"] = None if val == "none" else (val or "single")
        elif name == "sz" and val is not None:
            try:
                values["size"] = float(val)
            except ValueError:
                pass
        elif name == "name" and val is not None:
            values["name"] = val
        elif name == "color":
            values["color"] = _rgb(child)
    return _lenient(Font, values)


def fill_from(element: ET.Element) -> Fill:
    """The `Fill` of a ``fill`` record; a gradient reads as no fill."""
    for pattern in element:
        if _local(pattern) != "patternFill":
            continue
        colors = {_local(c): _rgb(c) for c in pattern}
        return _lenient(Fill, {"pattern": pattern.get("patternType", "none"),
                               "color": colors.get("fgColor"),
                               "background": colors.get("bgColor")})
    return Fill()


def border_from(element: ET.Element) -> Border:
    """The `Border` of a ``border`` record (its left/start, right/end, top
    and bottom)."""
    sides = {}
    for child in element:
        name = {"start": "left", "end": "right"}.get(_local(child), _local(child))
        if name in _SIDES and name not in sides:
            color = next((c for c in child if _local(c) == "color"), None)
            sides[name] = _lenient(Side, {"style": child.get("style"), "color": _rgb(color)})
    return Border(**sides)


def _sub(parent: ET.Element, ns: str, name: str, **attrs: str) -> ET.Element:
    return ET.SubElement(parent, f"{{{ns}}}{name}", attrs)


def font_element(font: Font, ns: str) -> ET.Element:
    """The ``font`` record of `font`."""
    out = ET.Element(f"{{{ns}}}font")
    for on, tag in ((font.bold, "b"), (font.italic, "i"), (font.strike, "strike")):
        if on:
            _sub(out, ns, tag)
    if font.underline is not None:
        _sub(out, ns, "u", **({} if font.underline == "single" else {"val": font.underline}))
    _sub(out, ns, "sz", val=f"{font.size:g}")
    if font.color is not None:
        _sub(out, ns, "color", rgb=font.color)
    _sub(out, ns, "name", val=font.name)
    return out


def fill_element(fill: Fill, ns: str) -> ET.Element:
    """The ``fill`` record of `fill`."""
    out = ET.Element(f"{{{ns}}}fill")
    pattern = _sub(out, ns, "patternFill", patternType=fill.pattern)
    if fill.color is not None:
        _sub(pattern, ns, "fgColor", rgb=fill.color)
    if fill.background is not None:
        _sub(pattern, ns, "bgColor", rgb=fill.background)
    return out


def border_element(border: Border, ns: str) -> ET.Element:
    """The ``border`` record of `border`."""
    out = ET.Element(f"{{{ns}}}border")
    for name in _SIDES + ("diagonal",):
        side = getattr(border, name, Side())
        element = _sub(out, ns, name, **({} if side.style is None else {"style": side.style}))
        if side.color is not None:
            _sub(element, ns, "color", rgb=side.color)
    return out


# What each kind of format is in a workbook: its place in a style array,
# its list on the workbook, its class, and whether that list holds the
# objects (fonts, fills, borders) or their attribute sets.
KINDS = {"font": (1, "_fonts", Font, True), "fill": (2, "_fills", Fill, True),
         "border": (3, "_borders", Border, True), "alignment": (4, "_alignments", Alignment, False),
         "protection": (5, "_protections", Protection, False)}

# Records of the styles part: (container, record, reader, writer, list).
RECORDS = (("fonts", "font", font_from, font_element, "_fonts"),
           ("fills", "fill", fill_from, fill_element, "_fills"),
           ("borders", "border", border_from, border_element, "_borders"))


def check_format_code(code: Any) -> str:
    """`code` when it can be a number format code: a text of 1 to 255
    characters XML can carry."""
    if not isinstance(code, str):
        raise TypeError(f"a number format is a format code text such as '0.00', not {code!r}")
    if not 1 <= len(code) <= 255 or ILLEGAL_XML.search(code):
        raise ValueError(f"a number format code has 1 to 255 characters XML can carry: {code!r}")
    return code


def format_id(formats: dict[int, str], code: Any) -> int:
    """The id of number format `code` in `formats` (id -> code), added
    there with the next free custom id (164 on) when it is missing."""
    check_format_code(code)
    for i, known in formats.items():
        if known == code:
            return i
    fmt_id = max(163, max(formats, default=0)) + 1
    formats[fmt_id] = code
    return fmt_id
