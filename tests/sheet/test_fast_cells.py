"""The engine reads plain cells straight from its buffer when the main
namespace is the default one, and through reader events otherwise. The same
cells written with a prefix for the main namespace take the event path, so
the two readings of one generated sheet must agree with each other and with
the package's own reader, whatever the text of the cells."""
import io

import hypothesis.strategies as st
import pytest
from hypothesis import given

from row_diff import Chunks
from vellum import _vellum
from vellum.reference import Parser, make_helpers
from vellum.reference.sheet import SheetReader

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def settings():
    return dict(shared_strings=["a", "b", "c"], date_formats={3}, timedelta_formats={4})


def outcome(reader_cls, doc, size=65536, **extra):
    parser = Parser(**settings(), **extra)
    reader = reader_cls(Chunks(doc, size), parser, make_helpers())
    rows = []
    try:
        while (row := reader.next_raw()) is not None:
            rows.append([(idx, [c + (type(c[2]),) for c in cells]) for idx, cells in [row]][0])
    except Exception as e:
        return type(e).__name__
    return rows, reader.actions, parser.row_dimensions


def prefixed(cells_xml):
    """The same cells with the main namespace on the prefix x."""
    import re
    return re.sub(r"<(/?)([a-z]+)([ />])", r"<\1x:\2\3", cells_xml)


def document(rows_xml, prefix=False):
    if prefix:
        return (f'<x:worksheet xmlns:x="{MAIN}"><x:sheetData>{prefixed(rows_xml)}'
                f'</x:sheetData></x:worksheet>').encode()
    return f'<worksheet xmlns="{MAIN}"><sheetData>{rows_xml}</sheetData></worksheet>'.encode()


def agree(rows_xml, sizes=(65536, 7), **extra):
    """Both paths of the engine give the package's result, or both decline."""
    want = outcome(SheetReader, document(rows_xml), **extra)
    for prefix in (False, True):
        for size in sizes:
            got = outcome(_vellum.RowReader, document(rows_xml, prefix), size, **extra)
            if got == "NativeFallback":
                continue
            if isinstance(want, str):
                assert False, f"python raised {want}, engine gave {got!r:.300}"
            assert got == want, (prefix, size)


# Texts that the byte-level path must either read exactly or leave to events.
TEXTS = st.one_of(
    st.sampled_from(["1", "007", "-3", "1.5", "1e3", "-0", "2", "3", " 5", "1_0", "x", "A1*2",
                     "-", ".", "-.", "1.", ".5", "-0.0", "123456789012345678", "1234567890123456789",
                     "9007199254740993.5", "1.0000000000000000000000001", "5 ", "+2",
                     "1\r\n2", "a&amp;b", "&#x41;", "caf\u00e9", "\t7\n", "&lt;", "1>0",
                     "\ufffd", "99999999999999999999", "0.1e-400", "inf", "]]>"]),
    st.text(st.characters(exclude_categories=["Cs", "Cc"], exclude_characters="<&\ufffe\uffff")
            | st.sampled_from("\t\n\r"), max_size=6))


def attr(name, value):
    return "" if value is None else f' {name}="{value}"'


@st.composite
def cells(draw):
    r = draw(st.sampled_from([None, "A1", "B1", "C7", "", "a1", "XFD1048576", "ZZZ999999999", "AAAA1",
                              "A01", "A1234567890", "B", "12", "$A$1", "A1 "]))
    s = draw(st.sampled_from([None, "0", "3", "4", "", "1_2", "-1", "03", "9" * 19]))
    t = draw(st.sampled_from([None, "n", "s", "b", "e", "str", "d", "inlineStr", "weird", "", "S"]))
    kids = ""
    if draw(st.booleans()):
        kind = draw(st.sampled_from([None, "shared", "array"]))
        si = "0" if kind == "shared" else None
        ftext = draw(st.sampled_from(["", "A1*2", "SUM(A1:B2)", "B$1+$C2"]))
        kids += f"<f{attr('t', kind)}{attr('si', si)}>{ftext}</f>" if ftext else f"<f{attr('t', kind)}{attr('si', si)}/>"
    if draw(st.booleans()):
        text = draw(TEXTS)
        kids += f"<v>{text}</v>" if text else draw(st.sampled_from(["<v/>", "<v></v>"]))
    # the attributes in any order, some with more than one space before them
    attrs = draw(st.permutations([attr("r", r), attr("s", s), attr("t", t)]))
    head = "<c" + "".join(a.replace(" ", draw(st.sampled_from([" ", "  "])), 1) for a in attrs)
    spacing = draw(st.sampled_from(["", " ", "\n  "]))
    return f"{head}/>" if not kids else f"{head}>{spacing}{kids}{spacing}</c>"


@given(st.lists(st.lists(cells(), max_size=5), min_size=1, max_size=4), st.booleans())
def test_both_paths_read_generated_cells_as_the_package_does(rows, formula_and_value):
    rows_xml = "".join(f"<row>{''.join(r)}</row>" for r in rows)
    agree(rows_xml, formula_and_value=formula_and_value)


@pytest.mark.parametrize("cell", [
    '<c r="A1"><v>1</v></c>',
    '<c r="A1" s="3"><v>60.5</v></c>',
    '<c r="A1" t="s"><v>2</v></c>',
    '<c r="A1"><f>SUM(B1:B2)</f><v>3</v></c>',
    '<c r="A1"><f t="shared" si="0" ref="A1:A2">B1</f></c><c r="A2"><f t="shared" si="0"/></c>',
    '<c r="A1"><f t="dataTable" ref="A1:B2" dt2D="1"/></c>',
    '<c r="A1"><v>1</v><v>2</v></c>',
    '<c r="A1" t="str"><v>1\r2</v><f>A1\r\n+1</f></c>',
    '<c r="A1" t="str"><v>a\r\nb\rc</v></c>',
    '<c r="A1" t="e"><v>\t#N/A\n</v></c>',
    '<c r="A1"><v>1<!-- c --></v></c>',
    '<c r="A1"><v><![CDATA[5]]></v></c>',
    '<c r="A1"><v >1</v ></c >',
    '<c r="A1" xmlns:o="urn:o"><v>1</v></c>',
    '<c r="A1"><o:v xmlns:o="urn:o">1</o:v><v>2</v></c>',
    '<c r="A1" t="inlineStr"><is><t>x</t></is></c>',
    '<c r="A1"><v>\u00e9\u4e2d</v></c>',
    '<c r=\'A1\'><v>1</v></c>',
    '<cx r="A1"><v>1</v></cx>',
    '<c r="A1"><vv>1</vv><v>2</v></c>',
])
def test_shapes_at_the_edge_of_the_byte_path(cell):
    agree(f"<row>{cell}</row>", sizes=(65536, 1, 2, 3, 7, 64))


def test_invalid_text_is_refused_on_both_paths():
    # U+FFFE is not an XML character; a lone continuation byte is not UTF-8
    for bad in (b"\xef\xbf\xbe", b"\x80", b"\x01"):
        doc = document("<row><c><v>1</v></c></row>").replace(b"<v>1", b"<v>1" + bad)
        for d in (doc, doc.replace(b"<worksheet xmlns=", b"<worksheet xmlns:x=")):
            with pytest.raises(_vellum.NativeFallback, match="malformed"):
                outcome_raise(d)


def outcome_raise(doc):
    reader = _vellum.RowReader(io.BytesIO(doc), Parser(), make_helpers())
    while reader.next_raw() is not None:
        pass


@pytest.mark.parametrize("text", ["1.", ".5", "1.e5", "-.5e-3", "+1.5", "1e-400", "1e400", "-0.0",
                                  "00.10", "1E+2", "9" * 400 + ".0", "0x1p3", "1_0.5", "nan",
                                  # more than 2^53 in 18 digits: one division would round twice
                                  "44667375401.9253275", "337.83147282794969", "1483838.32790285744"])
def test_number_texts_are_the_floats_python_makes(text):
    agree(f'<row><c r="A1"><v>{text}</v></c><c r="B1" s="3"><v>{text}</v></c><c><v>{text}</v></c></row>')


@st.composite
def decimal_texts(draw):
    digits = st.text("0123456789", max_size=22)
    whole, frac = draw(digits), draw(digits)
    text = draw(st.sampled_from(["", "-", "+"])) + whole
    if draw(st.booleans()) or not whole:
        text += "." + frac
    if draw(st.booleans()):
        text += draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "-", "+"]))
        text += str(draw(st.integers(0, 400)))
    return text


@given(st.lists(decimal_texts(), min_size=1, max_size=8))
def test_decimal_texts_are_the_floats_python_makes(texts):
    # within 2^53 and 10^22 the engine divides or multiplies once; past them,
    # or with more digits, it converts in full: either way float()'s value
    # with and without a reference: the two shapes take different byte paths
    cells = "".join(f"<c><v>{t}</v></c><c r=\"{'ABCDEFGH'[i]}2\"><v>{t}</v></c>"
                    for i, t in enumerate(texts))
    agree("<row>" + cells + "</row>", sizes=(65536,))


@pytest.mark.parametrize("row", [
    '<row r="1">', '<row r="1" spans="1:3">', '<row spans="1:2" r="2">', '<row  r="3" >',
    '<row r="4" ht="20" customHeight="1">', '<row r="5" spans="a&amp;b">', '<row r="06">',
    '<row r="-1">', '<row r="">', '<row r="1" r="2">', '<row r="1" spans="1" spans="2">',
    '<row r="1"\t>', "<row r='1'>", '<row r="1" xmlns:o="urn:o" o:x="1">', '<row r="x">',
    '<row r="1" spans="\u00e9">', '<row r="99999999999999999999">', '<row>',
])
@pytest.mark.parametrize("end", ["</row>", "</row >", "</rowx>"])
def test_row_tags_at_the_edge_of_the_byte_path(row, end):
    # the byte path takes `r` and `spans` only; the rest, and every end tag
    # that is not exactly the row's, are the events' (or an error on both)
    rows = f'{row}<c r="A1"><v>1</v></c>{end}<row r="9"/>{row}{end}'
    agree(rows, sizes=(65536, 1, 5, 64))
