"""The reference string items and shared-strings reading: the item model
on hand-made snippets, and the whole-part reading of every real workbook
against an independent expat-based reading."""
import pathlib
import xml.etree.ElementTree as ET
import xml.parsers.expat
import zipfile

import pytest

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
    snippet = b"<is><t>a_x005F_</t><r><rPr><b/><sz val='9'/></rPr><t>b</t></r></is>"
    assert tx.text_content(snippet, MAIN) == "a_b"  # the escape of "_" undone
    assert tx.text_content(b"<is><t>_x005F_x0041_ _x005F _x005f_</t></is>", MAIN) == "_x0041_ _x005F _x005f_"
    rich = tx.rich_inline(snippet, MAIN)
    assert rich == ("a_x005F_", tx.TextRun((("b", None), ("sz", "9")), "b"))
    assert str(rich) == "a_x005F_b"


# --- whole parts ----------------------------------------------------------------

SI = (f"{MAIN_NS} si", f"{STRICT_NS} si")


def expat_strings(data):
    """An independent reading: text directly inside t children of si and of
    si/r, up to the t's first child element."""
    out, stack, parts, t_open = [], [], [], [False]

    def start(name, attrs):
        stack.append(name)
        t_open[0] = False
        depth = len(stack)
        local = name.rpartition(" ")[2]
        if local == "t" and depth in (3, 4) and stack[1] in SI and (
                depth == 3 or stack[2].rpartition(" ")[2] == "r"):
            t_open[0] = True

    def end(name):
        if len(stack) == 2 and name in SI:
            out.append("".join(parts).replace("x005F_", ""))
            parts.clear()
        stack.pop()
        t_open[0] = False

    def chars(s):
        if t_open[0]:
            parts.append(s)

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
