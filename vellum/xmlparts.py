"""Small XML both ways: the workbook-level parts read safely, the escapes of
what the package writes, and elements captured from a worksheet (bytes with
the namespaces in force around them) parsed and written again.

Worksheets themselves are read by the engine or `vellum.reference.sheet` and
their cells written by `vellum.reference.writer`'s escaper or the engine's;
everything else the package reads or writes as XML goes through here.
"""
from __future__ import annotations

import xml.etree.ElementTree as ET
import xml.parsers.expat
from typing import IO

from vellum.errors import WorkbookError
from vellum.reference.sheet import MAIN_NS, STRICT_NS
from vellum.reference.writer import safe_string

__all__ = ["MAIN_NS", "STRICT_NS", "REL_NS", "REL_NAMESPACES", "PKG_REL_NS", "XML_NS", "DECL",
           "parse_part", "refuse_doctype", "root_name", "escape_attr", "in_scope",
           "captured_element", "prefixes_of", "serialise", "to_transitional"]

REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
# The relationships namespace of transitional and of strict workbooks.
REL_NAMESPACES = (REL_NS, "http://purl.oclc.org/ooxml/officeDocument/relationships")
PKG_REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
XML_NS = "http://www.w3.org/XML/1998/namespace"
DECL = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


# -- reading ------------------------------------------------------------------

def parse_part(data: bytes, name: str = "a workbook part") -> ET.Element:
    """The element tree of a small XML part; a DOCTYPE is refused (the
    message says `name`), so that no entity declared in a workbook is ever
    expanded."""
    builder = ET.TreeBuilder()
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")

    def start(name, attrs):
        builder.start(_clark(name), {_clark(k): v for k, v in attrs.items()})

    def doctype(*args):
        raise doctype_refused(name)

    p.StartElementHandler = start
    p.EndElementHandler = lambda name: builder.end(_clark(name))
    p.CharacterDataHandler = builder.data
    p.StartDoctypeDeclHandler = doctype
    p.Parse(data, True)
    return builder.close()


class _Prolog(Exception):
    """The root element was reached: the prolog is over."""


def doctype_refused(name: str) -> WorkbookError:
    """The error for a DOCTYPE in the part `name` ("FILE: part PART")."""
    return WorkbookError(f"{name} contains a DOCTYPE declaration, which no workbook part "
                         "holds: refused, as its entities could expand without bound")


def refuse_doctype(source: IO[bytes], part: str) -> None:
    """Read a part up to its root element, refusing a DOCTYPE declaration,
    before a reader that might expand the entities it declares sees it;
    `part` names it in the message ("FILE: part PART")."""
    p = xml.parsers.expat.ParserCreate()

    def root(*args):
        raise _Prolog

    def doctype(*args):
        raise doctype_refused(part)

    p.StartElementHandler = root
    p.StartDoctypeDeclHandler = doctype
    try:
        while data := source.read(4096):
            p.Parse(data, False)
    except _Prolog:
        pass


def root_name(source: IO[bytes], window: int = 1 << 20) -> str | None:
    """The expanded name ("uri}local") of a part's root element, or None
    when it is not within the first `window` bytes."""
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")
    found = []

    def root(name, attrs):
        found.append(name)
        raise _Prolog

    p.StartElementHandler = root
    try:
        while window > 0 and (data := source.read(4096)):
            window -= len(data)
            p.Parse(data, False)
        if window > 0:
            p.Parse(b"", True)
    except _Prolog:
        pass
    return found[0] if found else None


def _clark(name):
    return "{" + name if "}" in name else name


# -- escapes ------------------------------------------------------------------

_ATTR_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
                               "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"})
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})


def escape_attr(text: str) -> str:
    """An attribute value's text: tabs and line breaks as character
    references, as a parser would read them back as spaces otherwise;
    ValueError for a character no xlsx file can carry."""
    return safe_string(str(text)).translate(_ATTR_ESCAPES)


# -- captured elements ----------------------------------------------------------

def in_scope(data: bytes, namespaces: list[tuple[str, str]]) -> bytes:
    """A captured element inside a ``scope`` element that declares the
    namespaces (prefix, uri) in force around it where it was read, so that
    it parses alone. The URIs are attribute values again here and escaped
    as such: one holding "&" or "<" is well-formed where it was read."""
    declared = "".join(f' xmlns{":" + p if p else ""}="{escape_attr(u)}"' for p, u in namespaces)
    return b"<scope" + declared.encode() + b">" + data + b"</scope>"


def captured_element(data: bytes, namespaces: list[tuple[str, str]]) -> ET.Element:
    """A captured element parsed with the namespaces in force around it."""
    return ET.fromstring(in_scope(data, namespaces))[0]


# -- writing elements again -------------------------------------------------------

def prefixes_of(data: bytes) -> dict[str, str]:
    """{uri: prefix} of the prefixed namespaces a document declares."""
    parser = ET.XMLPullParser(events=("start-ns",))
    parser.feed(data)
    parser.close()
    return {uri: prefix for _, (prefix, uri) in parser.read_events() if prefix}


def to_transitional(element: ET.Element) -> None:
    """Move `element` and its descendants from the strict main namespace to
    the transitional one, which is the one the package writes."""
    for e in element.iter():
        if isinstance(e.tag, str) and e.tag.startswith("{" + STRICT_NS + "}"):
            e.tag = "{" + MAIN_NS + "}" + e.tag[len(STRICT_NS) + 2:]


def serialise(element: ET.Element, prefixes: dict[str, str], root: bool = False) -> str:
    """An element as markup with the main namespace as the default one and
    the other namespaces under the prefixes they were read with (markup
    compatibility names prefixes in attribute values), declared on it; a
    `root` element declares the main namespace too. Its texts were parsed
    from XML, so they hold no character XML cannot carry and are only
    escaped."""
    prefixes = dict(prefixes)
    used: dict[str, str] = {}

    def qname(name):
        if name[:1] != "{":
            return name
        uri, _, local_name = name[1:].partition("}")
        if uri == MAIN_NS:
            return local_name
        if uri == XML_NS:
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
    declared += "".join(f' xmlns:{p}="{escape_attr(uri)}"' for uri, p in sorted(used.items()))
    name = qname(element.tag)
    return out[0][:len(name) + 1] + declared + "".join(out)[len(name) + 1:]
