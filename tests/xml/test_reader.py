"""The pull reader: every message of its table, events and decoding, the
fast attribute scan, the word-at-a-time kernels, read sizes and capture."""
import pytest

import _vellum_testing as T
from _vellum_testing import NativeFallback

READS = (1, 7, 65536)

# One document per message, each reaching exactly that message.
MESSAGES = [
    ("unsupported", "utf-16", b"\xff\xfe<\x00a\x00/\x00>\x00"),
    ("unsupported", "utf-16", b"<\x00a\x00/\x00>\x00"),
    ("unsupported", "xml version", b"<?xml version='1.1'?><a/>"),
    ("unsupported", "encoding", b"<?xml version='1.0' encoding='latin-1'?><a/>"),
    ("unsupported", "encoding", b"<?xml version='1.0' encoding=''?><a/>"),
    ("unsupported", "doctype", b"<!DOCTYPE a><a/>"),
    ("unsupported", "non-ascii name", "<\u00e9/>".encode()),
    ("unsupported", "non-ascii name", "<a b\u00e9='1'/>".encode()),
    ("unsupported", "non-ascii name", "<a><?p\u00e9 x?></a>".encode()),
    ("malformed", "unclosed decl", b"<?xml version='1.0'"),
    ("malformed", "bad decl", b"<?xml encoding='utf-8' version='1.0'?><a/>"),
    ("malformed", "bad decl", b"<?xml?><a/>"),
    ("malformed", "bad decl", b"<?xml version='1.0'encoding='utf-8'?><a/>"),
    ("malformed", "bad decl", b"<?xml version='1.0' standalone='yes' encoding='utf-8'?><a/>"),
    ("malformed", "bad standalone", b"<?xml version='1.0' standalone='maybe'?><a/>"),
    ("malformed", "no element found", b""),
    ("malformed", "no element found", b"  <!-- c -->\n"),
    ("malformed", "unclosed element", b"<a>"),
    ("malformed", "junk outside root", b"<a></a>x"),
    ("malformed", "junk outside root", b"x<a/>"),
    ("malformed", "junk after document element", b"<a></a><b/>"),
    ("malformed", "]]> in text", b"<a>x]]>y</a>"),
    ("malformed", "unclosed token", b"<a><"),
    ("malformed", "unclosed pi", b"<a><?pi x"),
    ("malformed", "bad pi", b"<a><?1x?></a>"),
    ("malformed", "bad pi", b"<a><?pi&x?></a>"),
    ("malformed", "misplaced xml declaration", b"\n<?xml version='1.0'?><a/>"),
    ("malformed", "misplaced xml declaration", b"<?xml version='1.0'?><?XML x?><a/>"),
    ("malformed", "colon in pi target", b"<a><?a:b?></a>"),
    ("malformed", "bad markup declaration", b"<a><!x></a>"),
    ("malformed", "bad markup declaration", b"<a><!-"),
    ("malformed", "unclosed comment", b"<a><!-- x"),
    ("malformed", "-- in comment", b"<a><!-- x -- y --></a>"),
    ("malformed", "-- in comment", b"<a><!-- x ---></a>"),
    ("malformed", "cdata outside root", b"<![CDATA[x]]><a/>"),
    ("malformed", "unclosed cdata", b"<a><![CDATA[x"),
    ("malformed", "unclosed tag", b"<a x='1'"),
    ("malformed", "unclosed tag", b"<a x='>"),
    ("malformed", "expected name", b"<>"),
    ("malformed", "expected name", b"<a></>"),
    ("malformed", "bad name", b"<1a/>"),
    ("malformed", "bad name", b"<a -x='1'/>"),
    ("malformed", "bad qname", b"<a:/>"),
    ("malformed", "bad qname", b"<:a/>"),
    ("malformed", "bad qname", b"<a:b:c/>"),
    ("malformed", "bad qname", b"<a:1/>"),
    ("malformed", "missing whitespace between attributes", b"<a x='1'y='2'/>"),
    ("malformed", "expected =", b"<a x/>"),
    ("malformed", "expected quote", b"<a x=1/>"),
    ("malformed", "< in attribute", b"<a x='<'/>"),
    ("malformed", "duplicate attribute", b"<a x='1' x='2'/>"),
    ("malformed", "duplicate attribute",
     b"<a xmlns:p='u' xmlns:q='u' p:x='1' q:x='2'/>"),
    ("malformed", "duplicate attribute",
     b"<a " + b" ".join(b"x%d='1'" % i for i in range(40)) + b" x7='2'/>"),
    ("malformed", "xml prefix", b"<a xmlns:xml='u'/>"),
    ("malformed", "xmlns prefix", b"<a xmlns:xmlns='u'/>"),
    ("malformed", "reserved namespace", b"<a xmlns:p='http://www.w3.org/XML/1998/namespace'/>"),
    ("malformed", "reserved namespace", b"<a xmlns='http://www.w3.org/2000/xmlns/'/>"),
    ("malformed", "empty prefixed namespace", b"<a xmlns:p=''/>"),
    ("malformed", "unbound prefix", b"<p:a/>"),
    ("malformed", "unbound prefix", b"<a p:x='1'/>"),
    ("malformed", "unbound prefix", b"<a><b xmlns:p='u'/><p:c/></a>"),
    ("malformed", "unclosed end tag", b"<a></a"),
    ("malformed", "bad end tag", b"<a></a x>"),
    ("malformed", "mismatched tag", b"<a><b></a>"),
    ("malformed", "mismatched tag", b"<a/></a>"),
    ("malformed", "invalid character", b"<a>\x01</a>"),
    ("malformed", "invalid character", b"<a x='\x0b'/>"),
    ("malformed", "invalid character", b"<a>\xef\xbf\xbe</a>"),
    ("malformed", "invalid character", b"<a><!-- \xef\xbf\xbf --></a>"),
    ("malformed", "invalid utf-8", b"<a>\xc3\x28</a>"),
    ("malformed", "invalid utf-8", b"<a>\xc0\xaf</a>"),
    ("malformed", "invalid utf-8", b"<a>\xed\xa0\x80</a>"),
    ("malformed", "invalid utf-8", b"<a>\xf4\x90\x80\x80</a>"),
    ("malformed", "invalid utf-8", b"<a><![CDATA[\xe2\x82]]></a>"),
    ("malformed", "bad reference", b"<a>a & b</a>"),
    ("malformed", "undefined entity", b"<a>&nbsp;</a>"),
    ("malformed", "undefined entity", b"<a x='&;'/>"),
    ("malformed", "bad char ref", b"<a>&#12345678901;</a>"),
    ("malformed", "bad char ref", b"<a>&#x;</a>"),
    ("malformed", "bad char ref", b"<a>&#X41;</a>"),
    ("malformed", "bad char ref", b"<a>&#4294967296;</a>"),
    ("malformed", "invalid char ref", b"<a>&#0;</a>"),
    ("malformed", "invalid char ref", b"<a>&#xD800;</a>"),
    ("malformed", "invalid char ref", b"<a>&#x110000;</a>"),
    ("malformed", "} in namespace uri", b"<a xmlns:x='urn:a}b'/>"),
    ("malformed", "} in namespace uri", b"<a xmlns='&#125;'/>"),
]

# Not reachable: the end of a start tag is found by skipping quoted
# stretches, so every value that opens inside the tag also closes there.
UNREACHABLE = {"unterminated attribute"}


def failure(data, read):
    with pytest.raises(NativeFallback) as e:
        T.xml_events(data, read)
    return str(e.value)


@pytest.mark.parametrize("kind, message, data", MESSAGES)
def test_message(kind, message, data):
    assert {failure(data, n) for n in READS} == {f"{kind}: {message}"}


def test_message_table_is_covered():
    table = T.xml_messages()
    assert len(table) == len(set(table))
    assert set(table) == {(k, m) for k, m, _ in MESSAGES} | {
        ("malformed", m) for m in UNREACHABLE}


def events(data):
    """Events at every read size, which must agree."""
    runs = [T.xml_events(data, n) for n in READS]
    assert runs[0] == runs[1] == runs[2]
    return runs[0]


MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
XML = "http://www.w3.org/XML/1998/namespace"


def test_document_start_and_prolog():
    plain = events(b"<a/>")
    assert plain == [("empty", "", "a", {}, [], 1), ("end", "", "a", 0), ("eof",)]
    assert events(b"\xef\xbb\xbf<a/>") == plain
    assert events(b"<?xml version='1.0' encoding='UTF-8'?><a/>") == plain
    assert events(b'<?xml version="1.0" standalone="no" ?>\n<a/>') == plain
    assert events(b"<?xml-stylesheet href='a'?><!-- c --> <a/> <?pi?>\n") == plain
    assert events(b"<?xml\tversion='1.0'?><a/>") == plain


def test_text_decoding():
    def texts(data):
        return [e[1] for e in events(data) if e[0] == "text"]
    assert texts(b"<a>&#x10FFFF;</a>") == ["\U0010ffff"]
    assert texts(b"<a>x&#13;y</a>") == ["x\ry"]
    assert texts(b"<a>x\r\ny\rz</a>") == ["x\ny\nz"]
    assert texts(b"<a><![CDATA[&amp;<\r\n]]></a>") == ["&amp;<\n"]
    assert texts(b"<a>&lt;&gt;&amp;&apos;&quot;&#65;&#x42;&#0000000000067;</a>") == ["<>&'\"ABC"]
    assert texts("<a>\u00e9\u4e2d\U0001f600</a>".encode()) == ["\u00e9\u4e2d\U0001f600"]
    assert texts(b"<a>x<!--c-->y<?p?>z</a>") == ["x", "y", "z"]


def test_attribute_decoding():
    (start, *_rest) = events(b"<a x='\t\r\n&#9;' y=\"&#10;\r\" z='a\nb'/>")
    assert start[3] == {"x": "  \t", "y": "\n ", "z": "a b"}


def test_namespaces():
    ev = events(b"<a xmlns:p='1' xmlns='d' xml:space='preserve'>"
                b"<p:b xmlns:p='2' p:x='v'><c xmlns=''/></p:b><p:d/></a>")
    starts = [e for e in ev if e[0] in ("start", "empty")]
    assert starts[0][1:5] == ("d", "a", {"{%s}space" % XML: "preserve"}, [("p", "1"), ("", "d")])
    assert starts[1][1:5] == ("2", "b", {"{2}x": "v"}, [("p", "2"), ("", "d")])
    assert starts[2][1:5] == ("", "c", {}, [("p", "2"), ("", "")])
    assert starts[3][1:5] == ("1", "d", {}, [("p", "1"), ("", "d")])
    assert ("end", "2", "b", 1) in ev
    assert events(b"<a xmlns=''/>")[0][1] == ""
    assert events(b"<a xmlns:xml='%s'/>" % XML.encode())[0][4] == [("xml", XML)]
    assert events(b"<a xmlns:p='&amp;x'><p:b/></a>")[1][1] == "&x"


def test_deep_and_wide_input_stays_linear():
    depth = 20000
    doc = b"<a xmlns:p='u'>" + b"<b xmlns:q='v'>" * depth + b"<p:c/>" + b"</b>" * depth + b"</a>"
    assert events(doc)[-2] == ("end", "", "a", 0)
    wide = b"<a " + b" ".join(b"p:x%d='1'" % i for i in range(20000)) + b" xmlns:p='u'/>"
    assert len(T.xml_events(wide, 65536)[0][3]) == 20000


@pytest.mark.parametrize("tag, fast", [
    (b'<c r="A1" t="n">', ("start", 16, [("r", "A1"), ("t", "n")])),
    (b'<c  r="A1"   t="n"  />', ("empty", 22, [("r", "A1"), ("t", "n")])),
    (b'<c>', ("start", 3, [])),
    (b"<c r='A1' t='n'>", None),
    (b'<c r="A1"\nt="n">', None),
    (b'<c r="A1"t="n">', None),
    (b'<c r="A1', None),
    (b'<c r = "A1">', None),
    (b'<c r="A&amp;1">', None),
    (b'<c xmlns="u">', None),
    (b'<c x:r="A1" xmlns:x="u">', None),
    (b'<c ' + b' '.join(b'a%s="1"' % bytes([97 + i]) for i in range(9)) + b'>', None),
    (b'<c ' + b' '.join(b'a%s="1"' % bytes([97 + i]) for i in range(8)) + b'>',
     ("start", 59, [("a" + chr(97 + i), "1") for i in range(8)])),
    ('<c r="\u00e9">'.encode(), None),
])
def test_fast_attrs(tag, fast):
    assert T.xml_fast_attrs(tag) == fast
    # whenever it handles a tag, it agrees with the general path
    if fast:
        start = T.xml_events(tag + b"</c>" if fast[0] == "start" else tag, 7)[0]
        assert start[0] == fast[0] and start[3] == dict(fast[2])


def test_swar_kernels_match_scalar_twins():
    alphabet = b'<>"\'&]\r\t\x00\x1f\x7f\x80\xffa '
    data = bytes(alphabet[(i * 7 + i // 5) % len(alphabet)] for i in range(70))
    assert T.swar_mismatches(data) == 0
    assert T.swar_mismatches(b"a" * 40) == 0
    # digit runs of every length, next to the bytes either side of '0'-'9'
    digits = b"".join(b"%d" % (i * 7919) + bytes([b]) for i, b in enumerate(b"/:\x00\xff\xfa.<" * 3))
    assert T.swar_mismatches(digits + b"98765432109876543210") == 0


def test_capture_is_the_input_unchanged():
    doc = b"<r><x a='1'>t<!--c--></x><y/><x>&amp;<![CDATA[ ]]></x></r>"
    for n in READS:
        got, _, _ = T.xml_capture(doc, n, 2)
        assert got == [b"<x a='1'>t<!--c--></x>", b"<y/>", b"<x>&amp;<![CDATA[ ]]></x>"]


def test_capture_survives_compaction():
    filler = b"<f a='1'>text</f>" * 20000                    # about 340 KB before
    element = b"<x>" + b"<i v='2'/>" * 15000 + b"</x>"       # about 150 KB captured
    doc = b"<r>" + filler + element + filler + b"</r>"
    for n in (7, 4096, 65536):
        got, dropped, biggest = T.xml_capture(doc, n, 2)
        assert got[20000] == element
        assert dropped > len(filler)              # dead bytes were dropped ...
        assert biggest < 2 * len(element) + 4 * 65536  # ... and the buffer stayed small
