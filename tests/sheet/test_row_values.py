"""What the streaming row reader makes of each cell and row, against the
package's own streaming reader (the oracle, through `row_diff`): values and
their types, shared strings, style ids, the cells of a row, row numbers and
dimensions, dates and durations with their warnings, the four kinds of
formulas, and the shapes `next_row` gives for its arguments. The engine gives
exactly the package's result, or declines where a table says so; every
document is read at several read sizes."""
import datetime
from xml.sax.saxutils import escape

import pytest

from row_diff import (BARE, DATES, STRINGS, WRAPPED, RowReader, agree, exact, int_error, norm,
                      one_row, reader, readers, sheet)
from vellum.reference import Cell
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

pytestmark = pytest.mark.skipif(RowReader is None, reason="the engine has no RowReader yet")

SAME = None  # the engine must give the package's result, without declining


def outcome(doc, expected, **settings):
    """Check one document against an expectation of the tables below."""
    if expected is SAME:
        return exact(doc, **settings)
    ref, eng = agree(doc, **settings)
    assert eng.fallback == expected
    return ref, eng


# --- cell values --------------------------------------------------------

@pytest.mark.parametrize("xml, expected", [
    # numbers: up to 18 digits natively, everything else as the package's int/float
    ('<c r="B2"><v>007</v></c>', SAME),
    ("<c><v>-0</v></c>", SAME),
    ("<c><v>123456789012345678</v></c>", SAME),
    ("<c><v>-123456789012345678</v></c>", SAME),
    ("<c><v>1234567890123456789</v></c>", SAME),
    ("<c><v>-9223372036854775809</v></c>", SAME),
    ("<c><v>123456789012345678901234567890</v></c>", SAME),
    ("<c><v>1_000</v></c>", SAME),
    ("<c><v>+5</v></c>", SAME),
    ("<c><v> 5 </v></c>", SAME),
    ("<c><v>\u0661\u0662</v></c>", SAME),   # the package's int reads other digits
    ("<c><v>&#49;&#x32;</v></c>", SAME),
    ("<c><v>1<!--x-->2<![CDATA[3]]></v></c>", SAME),
    ("<c><v>1<x/>2</v></c>", SAME),         # the text ends at the first child
    ("<c><v></v></c>", SAME),
    ("<c><v/></c>", SAME),
    ("<c><v>x</v></c>", int_error("x")),
    ("<c><v>0x10</v></c>", int_error("0x10")),
    ("<c><v>nan</v></c>", int_error("nan")),
    ("<c><v>1e3</v></c>", SAME),
    ("<c><v>1E-3</v></c>", SAME),
    ("<c><v>-2.5</v></c>", SAME),
    ("<c><v>-0.0</v></c>", SAME),
    ("<c><v>.5</v></c>", SAME),
    ("<c><v>5.</v></c>", SAME),
    ("<c><v>+.5e+2</v></c>", SAME),
    ("<c><v>0.1</v></c>", SAME),
    ("<c><v>2.2250738585072011e-308</v></c>", SAME),
    ("<c><v>4.9406564584124654e-324</v></c>", SAME),
    ("<c><v>2.4703282292062328e-324</v></c>", SAME),
    ("<c><v>9007199254740993.0</v></c>", SAME),  # halfway: ties to even
    ("<c><v>1.7976931348623158e308</v></c>", SAME),
    ("<c><v>1e400</v></c>", SAME),
    ("<c><v>1e5_0</v></c>", SAME),
    ("<c><v>1.5 </v></c>", SAME),
    ("<c><v>Infinity.</v></c>", f"{WRAPPED}ValueError: could not convert string to float: 'Infinity.'"),
    ("<c><v>e</v></c>", f"{WRAPPED}ValueError: could not convert string to float: 'e'"),
    ("<c><v>1.2.3</v></c>", f"{WRAPPED}ValueError: could not convert string to float: '1.2.3'"),
    # shared strings: indexes in range natively, the rest through the package's lookup
    ('<c t="s"><v>0</v></c>', SAME),
    ('<c t="s"><v>2</v></c>', SAME),
    ('<c t="s"><v>02</v></c>', SAME),
    ('<c t="s"><v>-1</v></c>', SAME),
    ('<c t="s"><v>-3</v></c>', SAME),
    ('<c t="s"><v> 1</v></c>', SAME),
    ('<c t="s"><v></v></c>', SAME),
    ('<c t="s"><v>3</v></c>', f"{WRAPPED}IndexError: list index out of range"),
    ('<c t="s"><v>-4</v></c>', f"{WRAPPED}IndexError: list index out of range"),
    ('<c t="s"><v>99999999999999999999</v></c>',
     f"{WRAPPED}IndexError: cannot fit 'int' into an index-sized integer"),
    ('<c t="s"><v>1.0</v></c>', int_error("1.0")),
    # booleans
    ('<c t="b"><v>-0</v></c>', SAME),
    ('<c t="b"><v>2</v></c>', SAME),
    ('<c t="b"><v>0</v></c>', SAME),
    ('<c t="b"><v>00000000000000000000000</v></c>', SAME),
    ('<c t="b"><v> 1</v></c>', SAME),
    ('<c t="b"/>', SAME),
    ('<c t="b"><v>true</v></c>', int_error("true")),
    # other types
    ('<c t="str"><v>x</v></c>', SAME),
    ('<c t="str"/>', SAME),
    ('<c t="str"><v> a&amp;b\u00e9\r\n</v></c>', SAME),
    ('<c t="e"><v>#N/A</v></c>', SAME),
    ('<c t="e"/>', SAME),
    ('<c t="f"><v>1</v></c>', SAME),
    ('<c t="n"><v></v></c>', SAME),
    ('<c t="d"/>', SAME),
    ('<c t="weird"><v>x</v></c>', SAME),
    ('<c t="weird"/>', SAME),
    ('<c t=""><v>x</v></c>', SAME),
    ('<c t="N"><v>1</v></c>', SAME),
    ('<c t="d"><v>2020-02-29T13:14:15.5</v></c>', SAME),
    ('<c t="d"><v>2020-02-29</v></c>', SAME),
    ('<c t="d"><v>13:14:15Z</v></c>', SAME),
    ('<c t="d"><v>2020-02-30</v></c>', f"{WRAPPED}ValueError: day 30 must be in range 1..29 for month 2 in year 2020"),
    # inline strings
    ('<c t="inlineStr"><v>1</v></c>', SAME),
    ('<c t="inlineStr"/>', SAME),
    ('<c t="inlineStr"><is><t>in</t></is><v>1</v></c>', SAME),
    ('<c t="inlineStr"><is><t>a&lt;</t><r><t>b</t></r><rPh><t>x</t></rPh></is></c>', SAME),
    ('<c t="inlineStr"><is><t xml:space="preserve"> a_x005F_b\r</t></is></c>', SAME),
    ('<c t="inlineStr"><is><t>_x00</t><r><t>41_</t></r><t>_x0041__xD83D_</t></is></c>', SAME),
    ('<c t="str"><f>A1</f><v>a_x000D__x000a__xd83d__xDE00__x005F_x0041_</v></c>', SAME),
    ('<c t="e"><v>_x0041_</v></c>', SAME),
    ('<c t="inlineStr"><is><r><rPr><b/><sz val="11"/></rPr><t>b</t></r></is></c>', SAME),
    ('<c t="inlineStr"><is><r><rPr><sz val="big"/></rPr><t>b</t></r></is></c>',
     f"{WRAPPED}ValueError: invalid run properties"),
    ('<c t="inlineStr"><is a="1"><t>q</t></is></c>', SAME),
    ('<c t="inlineStr"><is/></c>', SAME),
    ('<c t="inlineStr"><is><t>1</t></is><is><t>2</t></is></c>', SAME),
    ('<c t="s"><is><t>in</t></is><v>0</v></c>', SAME),
    ('<c><is><t>in</t></is></c>', SAME),
    # elements that are not a cell's first v, f or is are passed over
    ("<c><v>1</v><v>2</v></c>", SAME),
    ('<c><v xmlns="urn:x">2</v></c>', SAME),
    ("<c><x><v>2</v></x><v>3</v></c>", SAME),
    ('<c xmlns:q="urn:q"><q:v>2</q:v><v>3</v></c>', SAME),
])
def test_cell_values(xml, expected):
    outcome(one_row(xml), expected, **STRINGS)


@pytest.mark.parametrize("xml", [
    '<c t="inlineStr"><is><t>plain</t></is></c>',
    '<c t="inlineStr"><is><r><rPr><b/></rPr><t>b</t></r><t>c</t></is></c>',
    '<c t="inlineStr"/>',
    '<c t="s"><is><t>x</t></is><v>1</v></c>',
])
def test_rich_text_inline_strings(xml):
    exact(one_row(xml), rich_text=True, **STRINGS)


def test_invalid_run_properties_message_is_the_packages():
    # the wrapped message above must name the package's own ValueError
    ref, _ = agree(one_row('<c t="inlineStr"><is><r><rPr><sz val="big"/></rPr></r></is></c>'))
    assert ref.error[1] == "ValueError"


@pytest.mark.parametrize("xml, expected", [
    ("<c/>", SAME),
    ('<c s=""/>', SAME),
    ('<c s="0"><v>1</v></c>', SAME),
    ('<c s="12"/>', SAME),
    ('<c s="007"/>', SAME),
    ('<c s="-4"/>', SAME),
    ('<c s="1_2"/>', SAME),
    ('<c s=" 7 "/>', SAME),
    ('<c s="123456789012345678"/>', SAME),
    ('<c s="99999999999999999999999"/>', SAME),
    ('<c s="-99999999999999999999999"/>', SAME),
    ('<c s="1e3"/>', int_error("1e3")),
    ('<c s="x"/>', int_error("x")),
])
def test_style_ids(xml, expected):
    outcome(one_row(xml), expected)


@pytest.mark.parametrize("cells, expected", [
    ('<c r="A1"/><c/><c r="C1"/><c/>', SAME),
    ('<c r="b2"/><c r="$C$3"/><c r="A01"/><c/>', SAME),
    ('<c r="ZZZ1"/><c/>', SAME),
    ('<c r=""/><c r=""/>', SAME),
    ('<c r="A1048577"/>', SAME),
    ('<c r="A0"/>', f"{WRAPPED}ValueError: Invalid cell coordinates (A0)"),
    ('<c r="AAAA1"/>', f"{WRAPPED}ValueError: Invalid cell coordinates (AAAA1)"),
    ('<c r="1A"/>', f"{WRAPPED}ValueError: Invalid cell coordinates (1A)"),
    ('<c r="B 2"/>', f"{WRAPPED}ValueError: Invalid cell coordinates (B 2)"),
    # every element child of a row is a cell
    ('<x/><c><v>1</v></c><q:c xmlns:q="urn:q"><v>2</v></q:c>', SAME),
    ('<col xmlns="urn:o"/><c/>', SAME),
    ('<row xmlns="urn:o"><v>4</v></row>', SAME),
    ("text<!--c--><?pi x?><c/>", SAME),
    # elements the package's loop dispatches wherever they occur
    ('<c/><col min="1"/>', "unsupported: dispatch tag inside row"),
    ("<row/>", "unsupported: dispatch tag inside row"),
    ("<mergeCells/>", "unsupported: dispatch tag inside row"),
    ('<c><v>1</v><extLst><ext/></extLst></c>', "unsupported: dispatch tag inside cell"),
    ('<c><hyperlinks/></c>', "unsupported: dispatch tag inside cell"),
    ('<c><x><sheetPr/></x></c>', "unsupported: nested element handled by dispatcher"),
    ('<c><v>1<col/></v></c>', "unsupported: nested element handled by dispatcher"),
])
def test_cells_of_a_row(cells, expected):
    outcome(one_row(cells), expected)


class Strings(list):
    """Shared strings that are not exactly a list: every lookup is the package's."""

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("no 1")
        return super().__getitem__(i)


def test_shared_strings_that_are_not_a_list():
    doc = one_row('<c t="s"><v>0</v></c><c t="s"><v>-1</v></c><c t="s"><v>02</v></c>')
    assert agree(doc, shared_strings=("a", "b", "c"))[1].exc is None
    assert agree(doc, shared_strings=Strings("abc"))[1].exc is None
    doc = one_row('<c t="s"><v>0</v></c><c t="s"><v>1</v></c>')
    assert agree(doc, shared_strings=Strings("abc"))[1].fallback == f"{WRAPPED}KeyError: 'no 1'"


# --- rows --------------------------------------------------------------

@pytest.mark.parametrize("rows, expected", [
    ('<row><c/></row><row r="5"/><row/><row r="007"><c/></row>', SAME),
    ('<row r="-3"><c/><c r="C9"/><c/></row><row/>', SAME),
    ('<row r="0"/><row r="-0"/><row r="000000000000000001"/>', SAME),
    ('<row r="4.0"/><row r=" 4"/><row r="1e1"/><row r="+2"/><row r="1_0"/>', SAME),
    ('<row r="999999999999999999"/><row/>', SAME),
    ('<row r="9223372036854775806"/><row/>', SAME),
    ('<row r="9223372036854775807"/><row/>', "unsupported: row index"),
    ('<row r="4.5"/>', f"{WRAPPED}ValueError: Invalid row index (4.5)"),
    ('<row r=""/>', f"{WRAPPED}ValueError: could not convert string to float: ''"),
    ('<row r="x"/>', f"{WRAPPED}ValueError: could not convert string to float: 'x'"),
    ('<row r="3"/><row r="3"><c/></row>', SAME),
    ('<row r="2"><c r="A7"/><c/></row><row><c/></row>', SAME),
])
def test_row_numbers(rows, expected):
    outcome(sheet(rows), expected)


def test_row_numbers_beyond_64_bits_are_declined():
    doc = sheet('<row r="1"/><row r="99999999999999999999"><c/></row>')
    ref, eng = agree(doc)
    assert ref.rows[1][1][0] == ("int", 99999999999999999999)
    assert eng.fallback == "unsupported: row number beyond 64 bits"


@pytest.mark.parametrize("rows", [
    '<row r="1" spans="1:2"/><row spans="1:3"><c/></row>',
    '<row r="2" ht="20" customHeight="1" spans="1:2"><c/></row>',
    '<row ht="&lt;&#x41;"/><row/><row hidden="1" r="5"/>',
    '<row r="7" x:y="1" xmlns:x="urn:x"/><row r="8" x:y="1" xmlns:x="urn:x" ht="3"/>',
    '<row r="-3" ht="1"/><row r="3" ht="2"/><row r="-3" ht="9"/>',
    '<row r="4.0" ht="1"/><row r="0" s="2"/>',
    '<row r="1" r:id="x"/><row r="2" xml:lang="en"/>',
    '<row r="&#50;" ht="\u00e9\U0001F600"/><row ht="a\tb\r\nc&#9;d&#10;e&#13;"/>',
    '<row r="3" ht=\'"\' customFormat="&quot;&apos;&lt;&gt;&amp;"/>',
])
def test_row_dimensions(rows):
    exact(sheet(rows))


def test_row_dimensions_stay_when_a_later_cell_fails():
    doc = sheet('<row r="1" ht="1"/><row r="2" ht="2"><c><v>x</v></c></row>')
    _, eng = agree(doc)
    assert eng.fallback == int_error("x")
    assert dict(eng.dims[1])[("str", "2")] == ("dict", (
        (("str", "r"), ("str", "2")), (("str", "ht"), ("str", "2"))))


# --- dates --------------------------------------------------------------

@pytest.mark.parametrize("v", [
    "0", "0.0", "0.5", "-0.25", "1", "59", "60", "61", "61.5", "0.9999999999",
    "0.99999999999999", "1.5", "2958465", "2958465.99999", "-693593", "44000.123456789",
    "1_0", "1e3", "-1", "3000000", "2958466", "1e10", "-700000", "1e400", "-1e400",
    "99999999999999999999999", "1000000000", "-1000000000"])
@pytest.mark.parametrize("epoch", [WINDOWS_EPOCH, MAC_EPOCH, datetime.datetime(2000, 1, 1, 6, 30)])
@pytest.mark.parametrize("style", ["3", "4"])
def test_dates_and_durations(v, epoch, style):
    exact(one_row(f'<c r="A1" s="{style}"><v>{v}</v></c><c s="{style}"><v>{v}</v></c>'),
          epoch=epoch, **DATES)


class Epoch(datetime.datetime):
    pass


@pytest.mark.parametrize("epoch", [Epoch(1899, 12, 30), WINDOWS_EPOCH.replace(tzinfo=datetime.UTC),
                                   datetime.date(1904, 1, 1)])
def test_epochs_the_engine_leaves_to_the_package(epoch):
    rows = "".join(f'<row><c s="3"><v>{v}</v></c></row>' for v in ("1", "0.5", "60", "1e10"))
    exact(sheet(rows), epoch=epoch, **DATES)


def test_date_style_ids_are_matched_as_integers():
    cells = '<c s="3.0"><v>1</v></c>'  # the package's int refuses "3.0"
    assert agree(one_row(cells), **DATES)[1].fallback == int_error("3.0")
    exact(one_row('<c s="03"><v>1</v></c><c s=""><v>1</v></c><c s="1_4"><v>2</v></c>'),
          date_formats={3, 14})


def test_date_warnings_in_document_order():
    rows = ('<row r="1"><c r="A1" s="3"><v>3000000</v></c></row>'
            '<mergeCells/>'
            '<row r="2"><c s="3"><v>1e10</v></c><c s="3"><v>5</v></c></row>'
            '<x/><row r="3"><c r="" s="3"><v>-1e400</v></c></row>')
    ref, _ = exact(sheet(rows, before="<sheetViews/>", after="<tail/>"), **DATES)
    assert [a[1][0][1] for a in ref.actions[1]] == [
        "element", "warn", "element", "warn", "element", "warn", "element"]


def test_a_cached_value_gives_no_warning():
    doc = sheet('<row><c r="A1" s="3"><f>NOW()</f><v>1e10</v></c></row>', head=BARE)
    r = reader(doc, date_formats={3}, formula_and_value=True)
    _, (cell,) = r.next_row("ws", 1, None, False, Cell, None)
    assert (cell.formula, cell.cached_value, cell.data_type) == ("=NOW()", "#VALUE!", "f")
    assert r.actions == []


# --- formulas -------------------------------------------------------------

FORMULAS = ('<row r="1"><c r="A1"><f>SUM(A1:A2)</f><v>3</v></c>'
            '<c r="B1"><f t="shared" si="0" ref="B1:B3">A1*2</f><v>2</v></c>'
            '<c r="C1"><f t="array" ref="C1:C2">A1:A2*2</f><v>4</v></c>'
            '<c r="D1"><f t="array">1</f></c>'
            '<c r="E1"><f/></c><c r="F1" s="3"><f>NOW()</f><v>1e10</v></c>'
            '<c r="G1"><f t="dataTable" ref="G1:H2" dt2D="1" r1="A1" x:q="z" xmlns:x="urn:x"/><v>1</v></c>'
            '<c r="H1" t="str"><f t="other">"a"</f><v>a</v></c>'
            '<c r="I1" t="b"><f>TRUE()</f><v>1</v></c></row>'
            '<row r="2"><c r="B2"><f t="shared" si="0"/><v>4</v></c>'
            '<c><f t="shared" si="0">ignored</f></c><c r="B3"><f t="shared" si="0">x</f></c></row>')


@pytest.mark.parametrize("settings", [
    {}, {"data_only": True}, {"formula_and_value": True},
    {"formula_and_value": True, "data_only": True}])
@pytest.mark.parametrize("cells", [False, True])
def test_formulas(settings, cells):
    exact(sheet(FORMULAS), cells=cells, **settings, **DATES)


@pytest.mark.parametrize("rows, expected", [
    # a master without text registers nothing; the next one with text becomes the master
    ('<row r="1"><c r="A1"><f t="shared" si="7"/></c><c r="B1"><f t="shared" si="7">A1+1</f></c>'
     '<c r="C1"><f t="shared" si="7"/></c></row>', SAME),
    # masters without si, children without r, children before any master
    ('<row r="1"><c r="D1"><f t="shared">X1</f></c><c r="D2"><f t="shared"/></c>'
     '<c><f t="shared"/></c><c r="E5"><f t="shared" si="9"/></c></row>', SAME),
    ('<row r="3"><c><f t="shared" si="0">A1+$B$2+C$3+$D4</f></c><c r="F9"><f t="shared" si="0"/></c>'
     '<c r="AA1000"><f t="shared" si="0"/></c></row>', SAME),
    ('<row r="1"><c r="B2"><f t="shared" si="1">SUM(A1:A3)&amp;"x"</f></c>'
     '<c r="C3"><f t="shared" si="1"/></c><c r="b3"><f t="shared" si="1"/></c></row>', SAME),
    ('<row r="1"><c r="B2"><f t="shared" si="0">Sheet2!A1+\'My Sheet\'!B2:C3+A:A+1:1</f></c>'
     '<c r="D5"><f t="shared" si="0"/></c></row>', SAME),
    ('<row r="1"><c r="B2"><f t="shared" si="0">A1*2</f></c><c r="B1"><f t="shared" si="0"/></c></row>',
     f"{WRAPPED}TranslatorError: Formula out of range"),
    ('<row r="1"><c r="B2"><f t="shared" si="0">A1*2</f></c><c r="A2"><f t="shared" si="0"/></c></row>',
     f"{WRAPPED}TranslatorError: Formula out of range"),
    ('<row r="1"><c r="B2"><f t="shared" si="0">$A$1*2</f></c><c r="A1"><f t="shared" si="0"/></c></row>',
     SAME),
    ('<row r="1"><c r="XFD1"><f t="shared" si="0">ZZY1+1</f></c><c r="XFE1"><f t="shared" si="0"/></c></row>',
     SAME),
    ('<row r="1"><c r="ZZY1"><f t="shared" si="0">ZZZ1+1</f></c><c r="ZZZ1"><f t="shared" si="0"/></c></row>',
     f"{WRAPPED}TranslatorError: Formula out of range"),
])
def test_shared_formulas(rows, expected):
    outcome(sheet(rows), expected)


def test_shared_master_with_an_empty_r():
    # the package takes an empty r as "no move", and builds its own translator
    # for such a master: so does the engine
    for cells in ('<c r=""><f t="shared" si="0">A1</f></c><c r="B3"><f t="shared" si="0"/></c>',
                  '<c r="A1"><f t="shared" si="0">A1</f></c><c r=""><f t="shared" si="0"/></c>'):
        ref, eng = agree(one_row(cells))
        assert ref.error is None and eng.exc is None


@pytest.mark.parametrize("text", ['SUM((A1)', '"abc', "{1,2", "A1)", "#REF", "[x", "SUM(A1,,)"])
def test_formula_tokenizer_errors_are_the_packages(text):
    # a malformed master: either both read it or the engine wraps the package's own error
    doc = one_row(f'<c r="A1"><f t="shared" si="0">{text}</f></c><c r="A2"><f t="shared" si="0"/></c>')
    ref, eng = agree(doc)
    if ref.error is not None:
        assert eng.fallback == f"{WRAPPED}{ref.error[1]}: {ref.error[2]}"


@pytest.mark.parametrize("text", [
    "A1+$B$2+C$3+$D4", "SUM(A1:B2)*A:A+3:3+$C:$C+$5:$5", "LOG10(A1)+ATAN2(B1,C1)+SIN(X1)",
    '"A1"&A1&"B""2"', "Sheet2!A1+'My Sheet'!B2:C3+Sheet1:Sheet3!A1", "[1]Sheet1!A1+'[2]S'!B2",
    "1E5+E5+1.5E-3+.5", "TRUE+FALSE+#REF!+#N/A+#DIV/0!", "{1,2;3,A1}+A1", "A1 B1,C1",
    "Table1[Col]+Table1[[#This Row],[B]]+A1", "name1+_x+A1B2+AB12345", "a1+$b$1+xfd1048576",
    "-A1%+(+B1)^2&C1<>D1>=E1", "IF(A1>0,A1,-A1)", "XFD1+A1048576", "ZZZ1+A1", "A1:A1048576",
])
def test_shared_formula_texts(text):
    master = f'<c r="C3"><f t="shared" si="0">{escape(text)}</f></c>'
    failed = 0
    for dest in ["C4", "D3", "E10", "C3", "B3", "C2", "A1", "XFD1048576", ""]:
        child = f'<c r="{dest}"><f t="shared" si="0"/></c>' if dest else '<c><f t="shared" si="0"/></c>'
        ref, _ = outcome_any(one_row(master + child))
        failed += ref.error is not None
    assert failed <= 6  # most destinations keep every reference on the sheet


def outcome_any(doc, **settings):
    """Both read it alike, or both fail and the engine wraps the package's error."""
    ref, eng = agree(doc, **settings)
    if ref.error is None:
        assert eng.exc is None, eng.fallback
    elif eng.fallback is not None and not eng.fallback.startswith(WRAPPED):
        assert ref.exc.__class__.__module__ == "xml.parsers.expat"
    return ref, eng


def test_formulas_are_not_read_with_data_only():
    doc = one_row('<c r="B2"><f t="shared" si="0">A1*2</f></c><c r="B1"><f t="shared" si="0"/><v>1</v></c>'
                  '<c><f t="dataTable" bad="1"/><v>x</v></c>')
    assert agree(doc, data_only=True)[1].fallback == int_error("x")
    exact(one_row('<c r="B2"><f t="shared" si="0">A1*2</f></c><c r="B1"><f t="shared" si="0"/><v>1</v></c>'),
          data_only=True)


# --- next_row: the shapes of a row and the arguments that choose them ------

def drain(reader, *args):
    out = []
    while (row := reader.next_row(*args)) is not None:
        out.append(norm(row))
    return out


SHAPES = sheet(
    '<row r="1"><c r="B1"><v>2</v></c><c r="B1"><v>3</v></c><c r="D1" s="2"><v>4</v></c></row>'
    '<row r="2"/><row r="3"></row><row r="4"><c r="A4" t="s"><v>1</v></c></row>'
    '<row r="5"><c r="D5"><v>4</v></c><c r="B5"><f>B4</f><v>2</v></c></row>'
    '<row r="6"><c r="A7"/><c/><c r="E2" t="inlineStr"><is><t>x</t></is></c></row>'
    '<row r="7"><c r="ZZZ7" t="b"><v>1</v></c></row>')


@pytest.mark.parametrize("min_col, max_col", [
    (1, None), (2, None), (1, 0), (2, 0), (1, 3), (3, 2), (4, 4), (0, None), (0, 2),
    (5, 10), (-2, 1), (18278, None), (18279, None), (1, -1), (2, True)])
@pytest.mark.parametrize("values_only", [True, False])
@pytest.mark.parametrize("formula_and_value", [False, True])
def test_next_row_shapes(min_col, max_col, values_only, formula_and_value):
    ref, eng = readers(SHAPES, formula_and_value=formula_and_value)
    args = ("ws", min_col, max_col, values_only, Cell, "FILL")
    assert drain(eng, *args) == drain(ref, *args)
    assert eng.next_row(*args) is None and eng.next_raw() is None


def test_next_row_extra_none():
    ref, eng = readers(SHAPES)
    for extra in (["_hyperlink"], ("_comment", "_style"), [], None, ["formula", "_hyperlink"]):
        args = ("ws", 1, None, False, Cell, None, extra)
        assert norm(eng.next_row(*args)) == norm(ref.next_row(*args))


@pytest.mark.parametrize("extra", ["_hyperlink", ["_comment", 3], [b"_comment"], {"_comment"}, 7])
def test_next_row_extra_none_must_be_a_sequence_of_str(extra):
    ref, eng = readers(SHAPES)
    for reader in (ref, eng):
        with pytest.raises(TypeError):
            reader.next_row("ws", 1, None, False, Cell, None, extra)
    # the refused call consumed no row
    args = ("ws", 1, None, True, Cell, None)
    assert norm(eng.next_row(*args)) == norm(ref.next_row(*args))


def test_next_row_argument_types():
    _, eng = readers(SHAPES)
    for args in [("ws", 1, None, 1, Cell, None), ("ws", "1", None, True, Cell, None),
                 ("ws", 1, "3", True, Cell, None), ("ws", 1, None, False, "Cell", None)]:
        with pytest.raises(TypeError):
            eng.next_row(*args)
    assert eng.next_row("ws", 1, None, True, Cell, None)[0] == 1


# --- values outlive their parser ------------------------------------------

def test_values_converted_after_the_parser_is_gone():
    # The parser hands its value context over (shared strings, epoch, data
    # types, shared-formula masters); converting with it once the parser is
    # destroyed, over bytes in memory, gives exactly the rows `next_raw` gives.
    import _vellum_testing as native
    from row_diff import raw_rows
    from vellum.reference import Parser, make_helpers
    doc = sheet('<row r="1"><c r="A1" t="s"><v>1</v></c><c r="B1" s="3"><v>40000.5</v></c>'
                '<c r="C1"><f t="shared" si="0" ref="C1:C3">A1&amp;B$1</f><v>x</v></c>'
                '<c r="D1" t="b"><v>1</v></c><c r="E1" t="e"><v>#N/A</v></c></row>'
                '<row r="2"><c r="C2"><f t="shared" si="0"/></c><c r="D2" t="str"><v>s</v></c>'
                '<c r="E2" s="7"><v>-2.5e3</v></c></row><row r="3"><c r="C3"><f t="shared" si="0"/></c></row>')
    settings = dict(shared_strings=["a", "b"], date_formats={3})
    expected = raw_rows(reader(doc, **settings))
    for chunk in (1, 7, 65536):
        got = native.sheet_from_memory(doc, chunk, Parser(**settings), make_helpers())
        assert norm(got) == norm([(idx, [tuple(c) for c in cells]) for idx, cells in expected])
