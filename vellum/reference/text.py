"""String items of the reference host: the text of ``si`` (shared strings)
and ``is`` (inline strings) elements, their run properties, and the rich
form of inline strings.

The model is the one of SpreadsheetML: an item holds a plain ``t`` or runs
``r`` (optional properties ``rPr`` and a ``t``), plus phonetic ``rPh`` and
``phoneticPr`` elements that are not part of the text. Children are
recognised by local name, whatever their namespace. Anything else is
ignored, except markup-compatibility ``AlternateContent``, whose
``Fallback`` branch is read in its place (the names in ``TEXT_DANGEROUS``
and ``RICH_DANGEROUS``: the engine hands items holding them to these
functions). Run properties are checked: an item whose run has invalid
properties (``<sz val="big"/>``) raises ``ValueError`` rather than losing
what the producer meant.

Snippets reach these functions as the raw bytes of one element together
with the (prefix, uri) namespace pairs in scope at it.
"""
import re
import xml.etree.ElementTree as ET
from typing import NamedTuple
from xml.sax.saxutils import quoteattr

# Children of an item, and of a run, that are read rather than ignored.
TEXT_DANGEROUS = frozenset({"AlternateContent"})
RICH_DANGEROUS = frozenset({"AlternateContent"})

_FLAGS = {"1", "0", "true", "false"}
_UNDERLINES = {"single", "double", "singleAccounting", "doubleAccounting", "none"}


def _number(kind):
    def check(val):
        try:
            kind(val)
        except (TypeError, ValueError):
            return False
        return True
    return check


# Run property -> test of its "val" attribute (None when absent).
_RUN_PROPERTIES = {
    **dict.fromkeys(("b", "i", "strike", "outline", "shadow", "condense", "extend"),
                    lambda v: v is None or v in _FLAGS),
    "sz": _number(float),
    "charset": _number(int),
    "family": _number(int),
    "rFont": lambda v: v is not None,
    "u": lambda v: v is None or v in _UNDERLINES,
    "vertAlign": lambda v: v in {"baseline", "superscript", "subscript"},
    "scheme": lambda v: v in {"major", "minor", "none"},
}


# The escape of one UTF-16 code unit in cell text, "_x" four hex digits "_":
# a high and a low surrogate one after the other, or any one unit.
_ESCAPE = re.compile("_x(?:([dD][89abAB][0-9A-Fa-f]{2})__x([dD][c-fC-F][0-9A-Fa-f]{2})|"
                     "([0-9A-Fa-f]{4}))_")


def _unescape(match):
    unit = match.group(3)
    if unit is None:
        high, low = int(match.group(1), 16), int(match.group(2), 16)
        return chr(0x10000 + (high - 0xD800 << 10) + low - 0xDC00)
    code = int(unit, 16)
    # a surrogate alone names no character: kept as written
    return match.group(0) if 0xD800 <= code <= 0xDFFF else chr(code)


def decode_escapes(text):
    """`text` with the escapes spreadsheet files write in cell text decoded:
    ``_xHHHH_`` (four hex digits, either case) is the UTF-16 code unit of
    that value, so "_x000D_" is a carriage return and "_x005F_" an
    underscore, which writers put before text shaped like an escape
    ("_x005F_x000D_" is the text "_x000D_"). Left to right, non-overlapping;
    a high and a low surrogate one after the other are one character, a
    surrogate alone is kept as written, and so is every shape that is not
    quite an escape ("_x41_", "_X000D_")."""
    return _ESCAPE.sub(_unescape, text) if "_x" in text else text


def local(tag):
    """The local name of an element tag ("" for comments and the like)."""
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def parse_snippet(snippet, namespaces):
    """The element of a snippet, parsed with its in-scope namespaces."""
    bound = {p: u for p, u in namespaces if p != "xml"}  # a later binding shadows an earlier
    decls = "".join(f" xmlns:{p}={quoteattr(u)}" if p else f" xmlns={quoteattr(u)}"
                    for p, u in bound.items())
    wrapper = ET.fromstring(b"<snippet" + decls.encode() + b">" + snippet + b"</snippet>")
    return wrapper[0]


def valid_run_properties(rpr):
    """True when every known property of an ``rPr`` element has a valid value."""
    for child in rpr:
        check = _RUN_PROPERTIES.get(local(child.tag))
        if check is not None and not check(child.get("val")):
            return False
    return True


def _fallback(alternate):
    for branch in alternate:
        if local(branch.tag) == "Fallback":
            return branch
    return None


def _run_pieces(run):
    props = None
    for child in run:
        name = local(child.tag)
        if name == "rPr":
            if not valid_run_properties(child):
                raise ValueError("invalid run properties")
            props = child
        elif name == "t":
            yield props, decode_escapes(child.text or "")
        elif name == "AlternateContent" and (branch := _fallback(child)) is not None:
            for t in branch:
                if local(t.tag) == "t":
                    yield props, decode_escapes(t.text or "")


def item_pieces(item):
    """(rPr element or None, text) for each piece of text of an item, in order."""
    for child in item:
        name = local(child.tag)
        if name == "t":
            yield None, decode_escapes(child.text or "")
        elif name == "r":
            yield from _run_pieces(child)
        elif name == "AlternateContent" and (branch := _fallback(child)) is not None:
            yield from item_pieces(branch)


def item_text(item):
    """The plain text of a string item element, each ``t`` with its escapes
    decoded (`decode_escapes`; an escape never spans two of them)."""
    return "".join(text for _, text in item_pieces(item))


def si_value(item):
    """A shared string: the item's text."""
    return item_text(item)


def si_content(snippet, namespaces):
    """The shared string of one ``si`` snippet."""
    return si_value(parse_snippet(snippet, namespaces))


def text_content(snippet, namespaces):
    """The plain text of one ``is`` snippet (an inline string)."""
    return item_text(parse_snippet(snippet, namespaces))


def validate_rpr(snippet, namespaces):
    """True when a run's ``rPr`` snippet holds acceptable properties."""
    return valid_run_properties(parse_snippet(snippet, namespaces))


class TextRun(NamedTuple):
    """One formatted run: its properties as (name, val) pairs, and its text."""
    font: tuple
    text: str


class RichText(tuple):
    """Inline rich text: plain ``str`` pieces and ``TextRun`` pieces in order."""

    def __str__(self):
        return "".join(p if isinstance(p, str) else p.text for p in self)


def rich_inline(snippet, namespaces):
    """The rich text of one ``is`` snippet."""
    pieces = []
    for props, text in item_pieces(parse_snippet(snippet, namespaces)):
        if props is None:
            pieces.append(text)
        else:
            font = tuple((local(c.tag), c.get("val")) for c in props)
            pieces.append(TextRun(font, text))
    return RichText(pieces)
