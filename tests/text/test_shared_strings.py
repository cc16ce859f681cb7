"""read_string_table: plain items natively, rich items through si_content,
the rPr verdict cache, and agreement with the reference reading on
generated tables and on the shared strings of real workbooks."""
import io
import pathlib
import xml.etree.ElementTree as ET
import zipfile

import pytest
from hypothesis import given, strategies as st

import vellum._vellum as engine
from vellum.reference import make_helpers
from vellum.reference.strings import read_shared_strings

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus" / "xlsx"


class Chunked(io.RawIOBase):
    """A source whose reads return at most `size` bytes."""

    def __init__(self, data, size):
        self.data, self.size, self.at = data, size, 0

    def read(self, n=-1):
        out = self.data[self.at:self.at + min(n, self.size)]
        self.at += len(out)
        return out


def sst(*items, attrs=""):
    return f'<sst xmlns="{MAIN}"{attrs}>{"".join(items)}</sst>'.encode()


def table(doc, helpers=None, chunk=65536):
    return engine.read_string_table(Chunked(doc, chunk), helpers or make_helpers())


def recording_helpers():
    calls = {"si_content": [], "validate_rpr": []}
    h = make_helpers()
    si, vr = h["si_content"], h["validate_rpr"]

    def si_content(snippet, namespaces):
        calls["si_content"].append((snippet, namespaces))
        return si(snippet, namespaces)

    def validate_rpr(snippet, namespaces):
        calls["validate_rpr"].append((snippet, namespaces))
        return vr(snippet, namespaces)
    h.update(si_content=si_content, validate_rpr=validate_rpr)
    return h, calls


@pytest.mark.parametrize("items, expected", [
    (["<si><t>abc</t></si>"], ["abc"]),
    (["<si><r><t>a</t></r><r><rPr><b/></rPr><t>b</t></r></si>"], ["ab"]),
    (["<si><t>a</t><rPh sb='0' eb='1'><t>x</t></rPh><phoneticPr fontId='1'/></si>"], ["a"]),
    (["<si><t/></si>", "<si/>", "<si></si>"], ["", "", ""]),
    (["<si><t>a_x005F_b</t></si>", "<si><t>x005F_x005F_</t></si>"], ["a_b", "x005F_"]),
    (["<si><t>_x000D__xd83d__xDE00__xD83D_</t></si>", "<si><t>_x00</t><t>41_</t></si>"],
     ["\r\U0001F600_xD83D_", "_x0041_"]),
    (["<si><t>a<!--c-->b<x/>c</t></si>"], ["ab"]),
    (["<si><t>x&amp;y&#x41;\r\nz</t></si>", "<si><t><![CDATA[<&amp;>]]></t></si>"],
     ["x&yA\nz", "<&amp;>"]),
    (["<si>ignored<t>a</t>tail</si>", "<si><other>q</other><t>b</t></si>"], ["a", "b"]),
])
def test_plain_items(items, expected):
    assert table(sst(*items)) == expected


def test_rich_items_go_to_si_content_with_exact_bytes_and_namespaces():
    bad_run = "<si><r><rPr><sz val='big'/></rPr><t>b</t></r></si>"
    attr = '<si a="1"><t>q</t></si>'
    doc = sst("<si><t>p</t></si>", bad_run, attr, attrs=' xmlns:r="urn:r"')
    h, calls = recording_helpers()
    with pytest.raises(ValueError):  # the reference refuses invalid run properties
        table(doc, h)
    assert [c[0] for c in calls["si_content"]] == [bad_run.encode()]
    assert calls["si_content"][0][1] == [("", MAIN), ("r", "urn:r")]

    h["si_content"] = lambda b, ns: ("host", b)
    assert table(sst(attr, "<si><t>z</t></si>"), h) == [("host", attr.encode()), "z"]


def test_rpr_verdict_is_asked_once_per_distinct_text():
    run = "<r><rPr><b/><sz val='11'/></rPr><t>{}</t></r>"
    doc = sst(*(f"<si>{run.format(i)}{run.format('x')}</si>" for i in range(50)),
              "<si><r><rPr><i/></rPr><t>y</t></r></si>")
    h, calls = recording_helpers()
    assert table(doc, h, chunk=7) == [f"{i}x" for i in range(50)] + ["y"]
    assert [c[0] for c in calls["validate_rpr"]] == [b"<rPr><b/><sz val='11'/></rPr>", b"<rPr><i/></rPr>"]
    assert calls["validate_rpr"][0][1] == [("", MAIN)]
    assert calls["si_content"] == []


def test_dangerous_children_hand_the_item_to_the_host():
    h = make_helpers()
    h["text_dangerous"] = ["extra"]
    h["rich_dangerous"] = ["odd"]
    h["si_content"] = lambda b, ns: b
    doc = sst("<si><extra/><t>a</t></si>", "<si><r><odd/><t>b</t></r></si>",
              "<si><r><extra/><t>c</t></r></si>", "<si><rPh><extra/></rPh><t>d</t></si>")
    assert table(doc, h) == [b"<si><extra/><t>a</t></si>", b"<si><r><odd/><t>b</t></r></si>", "c", "d"]


@pytest.mark.parametrize("doc, message", [
    (sst("<x><si><t>a</t></si></x>"), "unsupported: nested si"),
    (sst("<si><r><si/></r></si>"), "unsupported: nested element handled by dispatcher"),
    (sst("<si><t><si/></t></si>"), "unsupported: nested element handled by dispatcher"),
    (sst("<si><t>a</t>").replace(b"</sst>", b""), "malformed: unclosed element"),
    (b"", "malformed: no element found"),
])
def test_refusals(doc, message):
    with pytest.raises(engine.NativeFallback) as e:
        table(doc)
    assert str(e.value) == message


def test_si_outside_the_main_namespace_is_passed_over():
    doc = sst('<p:si xmlns:p="urn:other"><t>x</t></p:si>', "<si><t>y</t></si>")
    assert table(doc) == ["y"]


def test_argument_and_helper_errors():
    with pytest.raises(TypeError, match="argument 'helpers' must be dict"):
        engine.read_string_table(io.BytesIO(sst()), [])
    h = make_helpers()
    del h["validate_rpr"], h["rich_dangerous"]
    with pytest.raises(TypeError, match="^missing helper validate_rpr$"):
        table(sst(), h)


def test_host_exceptions_pass_through_unchanged():
    boom = KeyError("boom")

    def raising(*_):
        raise boom
    h = make_helpers()
    h["si_content"] = raising
    with pytest.raises(KeyError) as e:
        table(sst('<si a="1"/>'), h)
    assert e.value is boom
    h = make_helpers()
    h["validate_rpr"] = raising
    with pytest.raises(KeyError):
        table(sst("<si><r><rPr/><t>a</t></r></si>"), h)


plain_texts = st.text(st.characters(codec="utf-8", exclude_categories=["Cs"],
                                    exclude_characters="\x00\ufffe\uffff\r"), max_size=12).map(
    lambda s: "".join(c for c in s if c in "\t\n" or ord(c) >= 0x20))
# The text escapes, valid and not: either case, surrogates alone and paired,
# the escaped underscore before another escape, cut-off forms; some of them
# all ASCII, which the plain path copies without decoding UTF-8.
escapes = st.one_of(st.integers(0, 0xFFFF).map(lambda u: f"_x{u:04x}_"),
                    st.integers(0xD700, 0xE000).map(lambda u: f"_x{u:04X}_"),
                    st.sampled_from(["_x005F_", "_x005F_x000D_", "_xD83D__xDE00_", "_x000D",
                                     "_x41_", "_X0041_", "x005F_", "_x", "_"]))
texts = st.one_of(plain_texts, st.lists(st.one_of(escapes, plain_texts), max_size=5).map("".join))


def escape(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


item = st.one_of(
    texts.map(lambda t: f"<si><t>{escape(t)}</t></si>"),
    st.lists(st.tuples(st.sampled_from(["", "<rPr><b/></rPr>", "<rPr><sz val='9'/></rPr>",
                                        "<rPr><u val='wavy'/></rPr>"]), texts), max_size=3).map(
        lambda runs: "<si>" + "".join(f"<r>{p}<t>{escape(t)}</t></r>" for p, t in runs) + "</si>"),
    st.sampled_from(["<si/>", "<si><t/></si>", "<si><t>x_x005F_y</t><rPh><t>p</t></rPh></si>",
                     '<si><t xml:space="preserve"> a </t></si>']),
)


@given(st.lists(item, max_size=20), st.sampled_from([1, 3, 64, 65536]))
def test_agrees_with_the_reference_reading(items, chunk):
    doc = sst(*items)
    try:
        expected = read_shared_strings(doc)
    except ValueError:  # invalid run properties: the host's own error either way
        with pytest.raises(ValueError):
            table(doc, chunk=chunk)
        return
    assert table(doc, chunk=chunk) == expected


SST_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"


def shared_strings_part(z):
    types = ET.fromstring(z.read("[Content_Types].xml"))
    for o in types:
        if o.get("ContentType") == SST_TYPE:
            name = o.get("PartName", "").lstrip("/")
            if name in z.namelist():
                return name
    return None


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
def test_real_workbooks():
    counts = {"equal": 0, "fell back": {}, "no table": 0}
    for path in sorted(CORPUS.glob("*.xls[xm]")):
        with zipfile.ZipFile(path) as z:
            part = shared_strings_part(z)
            if part is None:
                counts["no table"] += 1
                continue
            data = z.read(part)
        try:
            got = engine.read_string_table(io.BytesIO(data), make_helpers())
        except engine.NativeFallback as e:
            counts["fell back"][str(e)] = counts["fell back"].get(str(e), 0) + 1
            continue
        assert got == read_shared_strings(data), path.name
        counts["equal"] += 1
    print(counts)
    assert counts["equal"] > 50


@pytest.mark.parametrize("text, message", [
    (b"a\xc3(b", "malformed: invalid utf-8"),
    (b"\xed\xa0\x80", "malformed: invalid utf-8"),          # an encoded surrogate
    (b"\xc0\xaf", "malformed: invalid utf-8"),              # overlong
    (b"x\xef\xbf\xbe", "malformed: invalid character"),     # U+FFFE
    (b"\x01", "malformed: invalid character"),
    (b"a]]>b", "malformed: ]]> in text"),
    (b"a&b", "malformed: bad reference"),
])
def test_bad_text_in_plain_items_gets_the_reader_error(text, message):
    doc = sst("<si><t>ok</t></si>").replace(b"</sst>", b"<si><t>" + text + b"</t></si></sst>")
    for chunk in (1, 65536):
        with pytest.raises(engine.NativeFallback) as e:
            table(doc, chunk=chunk)
        assert str(e.value) == message
