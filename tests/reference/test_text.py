"""The reference string items and shared-strings reading: the item model
on hand-made snippets, the text escapes against an independent decoding
(generated texts, and the forms LibreOffice was probed with), and the
whole-part reading of every real workbook against an independent
expat-based reading."""
import pathlib
import xml.etree.ElementTree as ET
import xml.parsers.expat
import zipfile

import pytest
from hypothesis import given, strategies as st

from vellum.reference import text as tx
from vellum.reference.strings import MAIN_NS, STRICT_NS, read_shared_strings

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus" / "xlsx"
MAIN = [("", MAIN_NS)]
MC = 'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006"'


@pytest.mark.parametrize("snippet, want", [
    (b"<si><t>abc</t></si>", "abc"),
    (b"<si><r><t>a</t></r><r><rPr><b/></rPr><t>b</t></r></si>", "ab"),
    (b"<si><t>a</t><rPh sb='0' eb='1'><t>x</t></rPh><phoneticPr fontId='1'/></si>", "a"),
    (b"<si><t/></si>", ""), (b"<si/>", ""),
    (b"<si><t>a_x005F_b</t></si>", "a_b"),
    (b"<si><t>ax005F_b_x000d_</t></si>", "ax005F_b\r"),
    (b"<si><t>_x00</t><r><t>41_</t></r><t>_x0041_</t></si>", "_x0041_A"),  # each t alone
    (b"<si><t>a<!--c-->b<x/>c</t></si>", "ab"),
    (b"<si>lost<t>kept</t>lost<r>lost<t>too</t></r></si>", "kepttoo"),
    (b"<si count='1'><t>attributes are ignored</t></si>", "attributes are ignored"),
    (b"<si><r><t>x</t><t>y</t></r><u><t>ignored</t></u></si>", "xy"),
    (b"<si " + MC.encode() + b"><mc:AlternateContent><mc:Choice Requires='x'><t>new</t>"
     b"</mc:Choice><mc:Fallback><t>old</t><r><t>!</t></r></mc:Fallback></mc:AlternateContent></si>",
     "old!"),
])
def test_si_content(snippet, want):
    assert tx.si_content(snippet, MAIN) == want


def test_prefixed_snippets_resolve_through_the_namespace_list():
    ns = [("x", MAIN_NS), ("xml", "http://www.w3.org/XML/1998/namespace")]
    assert tx.si_content(b"<x:si><x:r><x:rPr><x:b val='1'/></x:rPr><x:t>a</x:t></x:r></x:si>", ns) == "a"
    assert tx.validate_rpr(b"<x:rPr><x:sz val='11'/><x:u/></x:rPr>", ns)


@pytest.mark.parametrize("rpr, ok", [
    (b"<rPr><b/><i val='0'/><sz val='10.5'/><rFont val='Arial'/><family val='2'/></rPr>", True),
    (b"<rPr><color rgb='FF000000'/><vertAlign val='superscript'/><unknown/></rPr>", True),
    (b"<rPr><sz val='big'/></rPr>", False),
    (b"<rPr><b val='yes'/></rPr>", False),
    (b"<rPr><rFont/></rPr>", False),
    (b"<rPr><u val='wavy'/></rPr>", False),
])
def test_validate_rpr(rpr, ok):
    assert tx.validate_rpr(rpr, MAIN) is ok


def test_invalid_run_properties_raise():
    with pytest.raises(ValueError):
        tx.si_content(b"<si><r><rPr><sz val='big'/></rPr><t>a</t></r></si>", MAIN)


def test_inline_text_and_rich_text():
    snippet = b"<is><t>a_x005F_</t><r><rPr><b/><sz val='9'/></rPr><t>b_x000D_</t></r></is>"
    assert tx.text_content(snippet, MAIN) == "a_b\r"
    rich = tx.rich_inline(snippet, MAIN)
    assert rich == ("a_", tx.TextRun((("b", None), ("sz", "9")), "b\r"))
    assert str(rich) == "a_b\r"


# --- text escapes ----------------------------------------------------------------

HEX = "0123456789abcdefABCDEF"


def decode_oracle(text):
    """An independent decoding of the ``_xHHHH_`` escapes: the text cut into
    escapes (as UTF-16 code units) and characters, then each run of units
    put through the UTF-16 codec pair by pair; a unit that makes no
    character alone stays as it was written."""
    pieces, i = [], 0
    while i < len(text):
        w = text[i:i + 7]
        if len(w) == 7 and w[:2] == "_x" and w[6] == "_" and all(c in HEX for c in w[2:6]):
            pieces.append((int(w[2:6], 16), w))
            i += 7
        else:
            pieces.append((None, text[i]))
            i += 1
    out, i = [], 0
    while i < len(pieces):
        unit, written = pieces[i]
        nxt = pieces[i + 1][0] if i + 1 < len(pieces) else None
        if unit is None:
            out.append(written)
        elif nxt is not None and 0xD800 <= unit < 0xDC00 <= nxt < 0xE000:
            out.append((unit.to_bytes(2, "little") + nxt.to_bytes(2, "little")).decode("utf-16-le"))
            i += 1
        else:
            try:
                out.append(unit.to_bytes(2, "little").decode("utf-16-le"))
            except UnicodeDecodeError:
                out.append(written)
        i += 1
    return "".join(out)


# How LibreOffice (Calc 26.8) reads each form in shared and inline strings and
# in a formula's text result, probed with hand-made files; where it keeps a
# lone surrogate (and then loses the rest of the text on export), the text
# is kept as written.
PROBED = [
    ("a_x000D_b", "a\rb"), ("a_x000d_b", "a\rb"), ("a_X000D_b", "a_X000D_b"), ("_x0041_", "A"),
    ("_xD83D__xDE00_", "\U0001F600"), ("_xd83d__xde00_", "\U0001F600"),
    ("a_xD83D_b", "a_xD83D_b"), ("a_xDE00_b", "a_xDE00_b"), ("_xDE00__xD83D_", "_xDE00__xD83D_"),
    ("_x005F_x0041_", "_x0041_"), ("a_x005F_b", "a_b"), ("a_x005f_b", "a_b"), ("_x005F__x005F_", "__"),
    ("a_x0041", "a_x0041"), ("a_x41_b", "a_x41_b"), ("_x00411_", "_x00411_"), ("__x0041_", "_A"),
    ("_x0041__x0042_", "AB"), ("ax005F_b", "ax005F_b"), ("_x00e9_", "\u00e9"),
    ("a_x0000_b", "a\x00b"), ("a_x0001_b", "a\x01b"), ("a_xFFFF_b", "a\uffffb"),
    ("a_x00G1_b", "a_x00G1_b"), ("a_x 041_b", "a_x 041_b"), ("_x+041_", "_x+041_"),
]


@pytest.mark.parametrize("text, want", PROBED)
def test_escapes_as_libreoffice_reads_them(text, want):
    assert tx.decode_escapes(text) == want == decode_oracle(text)


# Texts dense in escapes and near-escapes: every form the decoder must tell
# apart, cut and joined anywhere.
ESCAPE_PIECES = st.one_of(
    st.integers(0, 0xFFFF).map(lambda u: f"_x{u:04X}_"),
    st.integers(0, 0xFFFF).map(lambda u: f"_x{u:04x}_"),
    st.sampled_from(["_xD83D_", "_xdbff_", "_xDC00_", "_xDE00_", "_x005F_", "_x000D_", "_X0041_",
                     "_x", "_", "x", "0", "D", "_x00", "41_", "_x005F", "\u00e9", "\U0001F600"]),
    st.text(max_size=3))


@given(st.lists(ESCAPE_PIECES, max_size=12).map("".join))
def test_escapes_against_an_independent_decoding(text):
    assert tx.decode_escapes(text) == decode_oracle(text)


# --- whole parts ----------------------------------------------------------------

SI = (f"{MAIN_NS} si", f"{STRICT_NS} si")


def expat_strings(data):
    """An independent reading: text directly inside t children of si and of
    si/r, up to the t's first child element, each t's escapes decoded."""
    out, stack, parts, t_open = [], [], [], [False]

    def start(name, attrs):
        stack.append(name)
        t_open[0] = False
        depth = len(stack)
        local = name.rpartition(" ")[2]
        if local == "t" and depth in (3, 4) and stack[1] in SI and (
                depth == 3 or stack[2].rpartition(" ")[2] == "r"):
            t_open[0] = True
            parts.append([])

    def end(name):
        if len(stack) == 2 and name in SI:
            out.append("".join(decode_oracle("".join(t)) for t in parts))  # each t alone
            parts.clear()
        stack.pop()
        t_open[0] = False

    def chars(s):
        if t_open[0]:
            parts[-1].append(s)

    p = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    p.StartElementHandler, p.EndElementHandler, p.CharacterDataHandler = start, end, chars
    p.Parse(data, True)
    return out


def shared_string_parts():
    for path in sorted(CORPUS.glob("*.xls[xm]")):
        with zipfile.ZipFile(path) as z:
            for name in z.namelist():
                if name.lower().endswith("sharedstrings.xml"):
                    yield pytest.param(z.read(name), id=f"{path.name}:{name}")


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the repository")
@pytest.mark.parametrize("data", list(shared_string_parts()))
def test_corpus_parts_agree_with_expat(data):
    try:
        got = read_shared_strings(data)
    except ET.ParseError:  # entity bombs: both parsers refuse them
        with pytest.raises(xml.parsers.expat.ExpatError):
            expat_strings(data)
        return
    assert got == expat_strings(data)
