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
            yield props, child.text or ""
        elif name == "AlternateContent" and (branch := _fallback(child)) is not None:
            for t in branch:
                if local(t.tag) == "t":
                    yield props, t.text or ""


def item_pieces(item):
    """(rPr element or None, text) for each piece of text of an item, in order."""
    for child in item:
        name = local(child.tag)
        if name == "t":
            yield None, child.text or ""
        elif name == "r":
            yield from _run_pieces(child)
        elif name == "AlternateContent" and (branch := _fallback(child)) is not None:
            yield from item_pieces(branch)


def item_text(item):
    """The plain text of a string item element."""
    return "".join(text for _, text in item_pieces(item))


def si_value(item):
    """A shared string: the item's text with Excel's escaped underscore
    ("_x005F_" stands for "_") undone."""
    return item_text(item).replace("x005F_", "")


def si_content(snippet, namespaces):
    """The shared string of one ``si`` snippet."""
    return si_value(parse_snippet(snippet, namespaces))


def text_content(snippet, namespaces):
    """The plain text of one ``is`` snippet (an inline string), the escaped
    underscore ("_x005F_", written before text shaped like an escape)
    undone."""
    return item_text(parse_snippet(snippet, namespaces)).replace("_x005F_", "_")


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
