"""Differential tests against expat with namespace processing, over
generated documents, well-formed and subtly broken.

The reader is stricter than expat (it declines DOCTYPE, non-ASCII names,
other versions and encodings, and refuses some well-formed documents), so
the property is one-sided: whenever the reader accepts, expat accepts and
both see the same elements, attributes, namespaces and text; and
find_dimension returns the bytes and namespaces the document holds.

Longer run: HYPOTHESIS_PROFILE=soak bash scripts/devenv.sh test tests/xml/test_expat.py
"""
import xml.parsers.expat

from hypothesis import given, strategies as st

import _vellum_testing as T
from vellum._vellum import NativeFallback as PublicFallback, find_dimension

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
XML_URI = "http://www.w3.org/XML/1998/namespace"
XMLNS_URI = "http://www.w3.org/2000/xmlns/"

# Each pool: what a well-formed document may hold, then what breaks it (or
# what the reader declines). A document is drawn either clean or broken; a
# broken one takes from the second half now and then and may be mutated.
NAMES = (["a", "b", "c", "dimension", "sheetData", "x:dimension", "p:a", "q:b", "_u",
          "a-b.c9", "x:sheetData", "dimension"],
         ["1a", "a:", ":a", "a:b:c", "x:1", "\u00e9", "a\u00e9", "-a", "xmlns:a", ".b", "z:a"])
ATTR_NAMES = (["r", "t", "s", "ref", "p:r", "q:t", "xml:space", "x:ref", "r1", "p:t"],
              ["z:r", "1", "a:", "\u00e9"])
URIS = ([MAIN, "u", "v", "a&amp;b", "a b", "u&#10;", "&lt;x&gt;", "u\u00e9"],
        ["", XML_URI, XMLNS_URI, "&bad;", "a<b", "a}b", "a&#125;"])
PREFIXES = (["p", "q", "x", ""], ["xml", "xmlns"])
VALUES = (["1", "", "a b", "&amp;", "&#9;", "\t", "\r\n", "\r", "\n", "\u00e9", "&#10;",
           "&#xD;", ">", "A1:C3", "]]>", "&#x1F600;"],
          ["<", "&x;", "'", '"', "\x01", "&", "&#0;"])
TEXTS = (["t", " ", "\n", "\r\n", "\r", "\t", "&amp;", "&lt;", "&gt;", "&apos;", "&quot;",
          "&#65;", "&#x10FFFF;", "]]", "]", ">", "\u00e9", "\u4e2d", "\U0001f600",
          "<!-- c -->", "<!---->", "<!-- - -->", "<![CDATA[x&amp;<]]>", "<![CDATA[]]>",
          "<![CDATA[\r\n]]]>", "<?pi data?>", "<?pi?>", "<?xml-x y?>", "&#13;"],
         ["&#0;", "&#xD800;", "&#12345678901;", "&#xFFFE;", "&bogus;", "&", "& ", "&#;", "]]>",
          "\x01", "\x7f", "\x0b", "\ufffe", "\uffff", "<!-- a -- b -->", "<!--->",
          "<?xml x?>", "<?a:b?>", "<?1?>", "<?p\u00e9?>", "<!DOCTYPE x>", "<!x>", "<", "</>"])
RAW_BYTES = [b"\xc0\xaf", b"\xed\xa0\x80", b"\xc3\x28", b"\xf4\x90\x80\x80", b"\xe2\x82",
             b"\x80", b"\xff", b"\xef\xbf\xbe"]
SPACES = ([" ", "  ", "\t", "\n", "\r\n"], [""])
EQUALS = (["=", " = ", "\t=\n"], ["", "=="])
PROLOG = (["", "<?xml version='1.0'?>", '<?xml version="1.0" encoding="UTF-8"?>',
           "<?xml version='1.0' encoding='utf-8' standalone='yes'?>", "<?xml  version = '1.0' ?>",
           "<?xml version='1.0' standalone='no'?>\n"],
          ["<?xml version='1.1'?>", "<?xml encoding='utf-8'?>",
           "<?xml version='1.0' encoding='latin-1'?>", "<?xml version='1.0' standalone='maybe'?>",
           "<?xml version='1.0'encoding='utf-8'?>", "<?xml version=\"1.0'?>", "\n<?xml version='1.0'?>"])
MISC = (["", " ", "\n", "<!-- p -->", "<?pi x?>"], ["x", "<b/>", "<![CDATA[]]>", "\x00", "&amp;"])
ROOT = "<worksheet xmlns='%s' xmlns:x='%s' xmlns:p='u' xmlns:q='v'>" % (MAIN, MAIN)
MUTATIONS = b"<>&;'\"=/:! \n\x00\x80\xc3?-]"


def enc(s):
    return s.encode("utf-8", "surrogatepass")


def pick(draw, pool, bad):
    good, broken = pool
    return draw(st.sampled_from(broken if bad and draw(st.integers(0, 6)) == 0 else good))


@st.composite
def attributes(draw, bad):
    names = draw(st.lists(st.sampled_from(ATTR_NAMES[0]), max_size=4, unique=True))
    if bad and draw(st.integers(0, 3)) == 0:
        names.append(draw(st.sampled_from(ATTR_NAMES[0] + ATTR_NAMES[1])))
    if draw(st.integers(0, 3)) == 0:
        prefix = pick(draw, PREFIXES, bad)
        uri = pick(draw, URIS, bad) if prefix else draw(st.sampled_from(URIS[0] + [""]))
        names.insert(draw(st.integers(0, len(names))), ("xmlns:" + prefix if prefix else "xmlns", uri))
    out = []
    for name in names:
        name, value = name if isinstance(name, tuple) else (name, pick(draw, VALUES, bad))
        q = draw(st.sampled_from("'\""))
        if q in value:
            q = "'" if q == '"' else '"'
        out.append(pick(draw, SPACES, bad) + name + pick(draw, EQUALS, bad) + q + value + q)
    return enc("".join(out))


@st.composite
def element(draw, bad, depth=0):
    name = pick(draw, NAMES, bad)
    head = b"<" + enc(name) + draw(attributes(bad)) + enc(draw(st.sampled_from(["", "", " ", "\n"])))
    if depth >= 4 or draw(st.integers(0, 3)) == 0:
        return head + b"/>"
    parts = []
    for _ in range(draw(st.integers(0, 4))):
        kind = draw(st.integers(0, 9))
        if kind < 4:
            parts.append(draw(element(bad, depth + 1)))
        elif kind < 9 or not bad:
            parts.append(enc(pick(draw, TEXTS, bad)))
        else:
            parts.append(draw(st.sampled_from(RAW_BYTES)))
    close = pick(draw, NAMES, bad) if bad and draw(st.integers(0, 9)) == 0 else name
    end_space = enc(draw(st.sampled_from(["", "", " ", "\t"])))
    return head + b">" + b"".join(parts) + b"</" + enc(close) + end_space + b">"


@st.composite
def document(draw):
    bad = draw(st.booleans())
    bom = b"\xef\xbb\xbf" if draw(st.integers(0, 9)) == 0 else b""
    prolog = enc(pick(draw, PROLOG, bad)) + enc(draw(st.sampled_from(MISC[0])))
    root = ROOT if draw(st.integers(0, 3)) else "<worksheet xmlns:p='u' xmlns:q='v' xmlns:x='w'>"
    body = b"".join(draw(st.lists(element(bad, 1), max_size=4)))
    doc = bom + prolog + enc(root) + body + b"</worksheet>" + enc(pick(draw, MISC, bad))
    for _ in range(draw(st.sampled_from([0, 1, 1, 2])) if bad else 0):
        at = draw(st.integers(0, len(doc)))
        op = draw(st.integers(0, 2))
        byte = bytes([draw(st.sampled_from(MUTATIONS))])
        doc = doc[:at] + (b"" if op == 0 else byte) + doc[at + (op != 1):]
    return doc


class Expat:
    """The event stream of expat with namespace processing, in the reader's
    terms, with what find_dimension should return."""

    def __init__(self, data):
        self.data = data
        self.events, self.scope, self.pending = [], [], 0
        self.text, self.dimension = None, None
        self.dim_state = "look"  # look -> capture -> done
        # the package's separator: expat refuses URIs holding it, as the reader does
        p = self.p = xml.parsers.expat.ParserCreate(namespace_separator="}")
        p.StartElementHandler, p.EndElementHandler = self.start, self.end
        p.CharacterDataHandler = self.chars
        p.StartNamespaceDeclHandler, p.EndNamespaceDeclHandler = self.decl, self.undecl
        p.Parse(data, True)

    @staticmethod
    def split(name):
        uri, _, local = name.rpartition("}")
        return uri, local

    @staticmethod
    def in_scope(scope):
        d = {}
        for prefix, uri in scope:
            d[prefix] = uri
        return list(d.items())

    def flush(self):
        if self.text is not None:
            self.events.append(("text", self.text))
            self.text = None

    def decl(self, prefix, uri):
        self.scope.append((prefix or "", uri or ""))
        self.pending += 1

    def undecl(self, prefix):
        prefix = prefix or ""
        for i in range(len(self.scope) - 1, -1, -1):
            if self.scope[i][0] == prefix:
                del self.scope[i]
                break

    def start(self, name, attrs):
        self.flush()
        uri, local = self.split(name)
        keys = {}
        for k, v in attrs.items():
            au, al = self.split(k)
            keys["{%s}%s" % (au, al) if au else al] = v
        parent = self.in_scope(self.scope[:len(self.scope) - self.pending])
        self.pending = 0
        self.events.append(("start", uri, local, keys, self.in_scope(self.scope)))
        main = uri == MAIN and local in ("dimension", "sheetData")
        if self.dim_state == "look" and uri == MAIN and local == "dimension":
            self.dim_state, self.dim_at, self.dim_depth = "capture", self.p.CurrentByteIndex, 0
            self.dim_ns = parent
        elif self.dim_state == "capture" and main:
            self.dim_state, self.dimension = "done", "nested"
        if self.dim_state == "capture":
            self.dim_depth += 1

    def end(self, name):
        self.flush()
        uri, local = self.split(name)
        self.events.append(("end", uri, local))
        if self.dim_state == "look" and uri == MAIN and local == "sheetData":
            self.dim_state = "done"
        elif self.dim_state == "capture":
            self.dim_depth -= 1
            if self.dim_depth == 0:
                self.dim_state = "done"
                self.dimension = (self.data[self.dim_at:self.tag_end(self.p.CurrentByteIndex)],
                                  self.dim_ns)

    def tag_end(self, at):
        i, quote = self.dim_at, None  # the end of the start tag ...
        while True:
            c = self.data[i:i + 1]
            if quote:
                quote = None if c == quote else quote
            elif c in (b"'", b'"'):
                quote = c
            elif c == b">":
                break
            i += 1
        if self.data[i - 1:i] == b"/":
            return i + 1
        return self.data.index(b">", at) + 1  # ... or of the end tag at `at`

    def chars(self, s):
        self.text = (self.text or "") + s


def reader_events(data, chunk):
    try:
        raw = T.xml_events(data, chunk)
    except T.NativeFallback as e:
        assert str(e).startswith(("malformed: ", "unsupported: "))
        return None
    out, text = [], None
    for ev in raw:
        if ev[0] == "text":
            text = (text or "") + ev[1]
            continue
        if text == "":
            text = None  # an empty CDATA section: expat reports no data
        if text is not None:
            out.append(("text", text))
            text = None
        if ev[0] in ("start", "empty"):
            out.append(("start",) + ev[1:5])
        elif ev[0] == "end":
            out.append(ev[:3])
    return out


class Reads:
    def __init__(self, data, sizes):
        self.data, self.sizes, self.at, self.k = data, sizes, 0, 0

    def read(self, n):
        size = self.sizes[self.k % len(self.sizes)]
        self.k += 1
        chunk = self.data[self.at:self.at + min(n, size)]
        self.at += len(chunk)
        return chunk


@given(document(), st.sampled_from([1, 2, 3, 7, 13, 64, 65536]),
       st.lists(st.integers(1, 40), min_size=1, max_size=5))
def test_reader_accepts_only_what_expat_accepts(data, chunk, sizes):
    ours = reader_events(data, chunk)
    if ours is None:
        return
    try:
        theirs = Expat(data)
    except xml.parsers.expat.ExpatError as e:
        raise AssertionError(f"reader accepted what expat rejects: {e}")
    assert ours == theirs.events
    try:
        dim = find_dimension(Reads(data, sizes))
    except PublicFallback as e:
        assert str(e) == "unsupported: nested element handled by dispatcher"
        assert theirs.dimension == "nested"
        return
    assert theirs.dimension != "nested"
    assert dim == theirs.dimension
