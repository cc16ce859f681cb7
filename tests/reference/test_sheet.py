"""The package's own sheet reader: rows, cell values and captured elements,
checked against hand-written worksheets, expat's own tree and reads of every
size."""
import io
import re
import xml.etree.ElementTree as ET

import pytest

from vellum.reference import Parser, make_helpers
from vellum.reference.cell import Cell
from vellum.reference.sheet import SheetReader
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = f'<worksheet xmlns="{MAIN}" xmlns:r="urn:r">'


class Chunks(io.BytesIO):
    """A source that returns at most `size` bytes a call."""

    def __init__(self, data, size):
        super().__init__(data)
        self.size = size

    def read(self, n=-1):
        return super().read(min(n, self.size))


def sheet(cells="", before="", after="", head=HEAD):
    return f'{head}{before}<sheetData>{cells}</sheetData>{after}</worksheet>'.encode()


def read(doc, size=65536, parser=None, **settings):
    """(rows, actions, row_dimensions) of a worksheet document."""
    parser = parser or Parser(**settings)
    reader = SheetReader(Chunks(doc, size), parser, make_helpers())
    rows = []
    while (row := reader.next_raw()) is not None:
        rows.append(row)
    assert reader.next_raw() is None
    return rows, reader.actions, parser.row_dimensions


def cell(xml, **settings):
    """(value, data_type, style_id) of the only cell of a one-row sheet."""
    rows, _, _ = read(sheet(f'<row r="1">{xml}</row>'), **settings)
    [(_, [(_, _, value, data_type, style_id)])] = rows
    return value, data_type, style_id


@pytest.mark.parametrize("xml, expected", [
    ('<c r="B2"><v>007</v></c>', (7, "n", 0)),
    ('<c><v>1e3</v></c>', (1000.0, "n", 0)),
    ('<c><v>1_000</v></c>', (1000, "n", 0)),
    ('<c><v>-2.5</v></c>', (-2.5, "n", 0)),
    ('<c t="n"><v></v></c>', (None, "n", 0)),
    ('<c t="s"><v>1</v></c>', ("b", "s", 0)),
    ('<c t="s"><v>-1</v></c>', ("c", "s", 0)),
    ('<c t="b"><v>-0</v></c>', (False, "b", 0)),
    ('<c t="b"><v>2</v></c>', (True, "b", 0)),
    ('<c t="str"><v>x</v></c>', ("x", "s", 0)),
    ('<c t="str"/>', (None, "str", 0)),
    # "f" names no type: a formula is an f element, and a text typed "f"
    # would be saved as a formula without its first character
    ('<c t="f"><v>#N/A</v></c>', ("#N/A", "s", 0)),
    ('<c t="e"><v>#N/A</v></c>', ("#N/A", "e", 0)),
    ('<c t="weird"><v>x</v></c>', ("x", "weird", 0)),
    ('<c t="weird"/>', (None, "weird", 0)),
    ('<c t="inlineStr"><v>1</v></c>', (None, "inlineStr", 0)),
    ('<c t="inlineStr"><is><t>in</t></is><v>1</v></c>', ("in", "s", 0)),
    ('<c t="s"><is><t>in</t></is><v>0</v></c>', ("a", "s", 0)),
    ('<c s=""><v>1</v></c>', (1, "n", "")),
    ('<c s="12"><v>1</v></c>', (1, "n", 12)),
    ('<c s="1_2"/>', (None, "n", 12)),
    ('<c><v>1</v><v>2</v></c>', (1, "n", 0)),
    ('<c><v xmlns="urn:x">2</v></c>', (None, "n", 0)),
    ('<c><v>1<x/>2</v></c>', (1, "n", 0)),
    ('<c><v>1<!--c-->2<![CDATA[3]]></v></c>', (123, "n", 0)),
    ('<c><v> 5 </v></c>', (5, "n", 0)),
])
def test_cell_values(xml, expected):
    assert cell(xml, shared_strings=["a", "b", "c"]) == expected


def test_cell_value_errors_are_the_helpers_own():
    with pytest.raises(ValueError):
        cell("<c><v>x</v></c>")
    with pytest.raises(IndexError):
        cell('<c t="s"><v>3</v></c>', shared_strings=["a"])
    with pytest.raises(ValueError):
        cell('<c s="x"/>')


@pytest.mark.parametrize("xml, epoch, expected", [
    ('<c s="3"><v>60</v></c>', WINDOWS_EPOCH, "1900-02-28 00:00:00"),
    ('<c s="3"><v>61.5</v></c>', WINDOWS_EPOCH, "1900-03-01 12:00:00"),
    ('<c s="3"><v>0.5</v></c>', WINDOWS_EPOCH, "12:00:00"),
    ('<c s="3"><v>1</v></c>', MAC_EPOCH, "1904-01-02 00:00:00"),
    ('<c s="4"><v>1.5</v></c>', WINDOWS_EPOCH, "1 day, 12:00:00"),
])
def test_dates_and_durations(xml, epoch, expected):
    value, data_type, _ = cell(xml, epoch=epoch, date_formats={3, 4}, timedelta_formats={4})
    assert (str(value), data_type) == (expected, "d")


def test_date_out_of_range_warns_in_document_order():
    cells = ('<row r="1"><c r="A1" s="3"><v>3000000</v></c></row>'
             '<mergeCells/>'
             '<row r="2"><c s="3"><v>1e10</v></c><c s="3"><v>5</v></c></row>')
    rows, actions, _ = read(sheet(cells), date_formats={3})
    assert [c[2:4] for _, r in rows for c in r][:2] == [("#VALUE!", "e"), ("#VALUE!", "e")]
    assert rows[1][1][1][3] == "d"
    kinds = [a[0] for a in actions]
    assert kinds == ["warn", "element", "warn"]
    assert actions[0][1].startswith("Cell A1 ") and actions[2][1].startswith("A cell ")


def test_formulas():
    cells = ('<row r="1"><c r="A1"><f>SUM(A1:A2)</f><v>3</v></c>'
             '<c r="B1"><f t="shared" si="0" ref="B1:B3">A1*2</f><v>2</v></c>'
             '<c r="C1"><f t="array" ref="C1:C2">A1:A2*2</f></c>'
             '<c r="D1"><f/></c></row>'
             '<row r="2"><c r="B2"><f t="shared" si="0"/></c>'
             '<c><f t="shared" si="0">ignored</f></c></row>')
    doc = sheet(cells)
    rows, _, _ = read(doc)
    values = [c[2] for _, r in rows for c in r]
    assert values[:2] == ["=SUM(A1:A2)", "=A1*2"]
    assert (values[2].ref, values[2].text) == ("C1:C2", "=A1:A2*2")
    # a child without r is not moved; its own text is never read
    assert values[3:] == ["=", "=A2*2", "=A1*2"]
    assert {c[3] for _, r in rows for c in r} == {"f"}
    rows, _, _ = read(doc, data_only=True)
    assert [c[2:4] for c in rows[0][1]] == [(3, "n"), (2, "n"), (None, "n"), (None, "n")]


def test_shared_formula_without_text_registers_no_master():
    cells = ('<row r="1"><c r="A1"><f t="shared" si="7"/></c>'
             '<c r="B1"><f t="shared" si="7">A1+1</f></c>'
             '<c r="C1"><f t="shared" si="7"/></c>'
             '<c r="D1"><f t="shared">X1</f></c><c r="D2"><f t="shared"/></c></row>')
    rows, _, _ = read(sheet(cells))
    assert [c[2] for c in rows[0][1]] == ["=", "=A1+1", "=B1+1", "=X1", "=X2"]


def test_data_table_formula_gets_every_attribute():
    xml = '<c r="A1"><f t="dataTable" ref="A1:B2" dt2D="1" r1="C1"/></c>'
    value, data_type, _ = cell(xml)
    assert data_type == "f"
    assert value.attrs == {"t": "dataTable", "ref": "A1:B2", "dt2D": "1", "r1": "C1"}


def test_formula_and_value_keeps_the_cached_value():
    doc = sheet('<row r="1"><c r="A1" s="3"><f>NOW()</f><v>1e10</v></c><c r="B1"><v>4</v></c></row>')
    parser = Parser(date_formats={3})
    parser.formula_and_value = True
    reader = SheetReader(io.BytesIO(doc), parser, make_helpers())
    _, (a, b) = reader.next_row("ws", 1, None, False, Cell, None)
    assert (a.formula, a.cached_value, a._value, a.data_type) == ("=NOW()", "#VALUE!", "=NOW()", "f")
    assert (b.formula, b.cached_value, b._value) == (None, 4, 4)
    assert reader.actions == []  # no warning for a cached value


def test_rows_numbers_and_dimensions():
    cells = ('<row><c/></row><row r="5" spans="1:2"/><row ht="20" r="007" x:y="1" xmlns:x="urn:x"/>'
             '<row/><row r="3"><c/><c r="C9"/><c/></row><row r="4" x:y="2" xmlns:x="urn:x"/>')
    rows, _, dims = read(sheet(cells))
    assert [(idx, [c[:2] for c in r]) for idx, r in rows] == [
        (1, [(1, 1)]), (5, []), (7, []), (8, []), (3, [(3, 1), (9, 3), (3, 4)]), (4, [])]
    assert dims == {"7": {"ht": "20", "r": "007", "{urn:x}y": "1"}}


@pytest.mark.parametrize("cells, error", [
    ('<row r="0"/>', "Invalid row index (0)"),
    ('<row r="-3"><c r="A1"/></row>', "Invalid row index (-3)"),
    ('<row r="1048576"/><row/>', "Invalid row index (1048577)"),
    ('<row r="1"><c r="XFD1"/><c/></row>', "Invalid column index (16385)"),
    ('<row r="1"><c r="XFE1"/></row>', "Invalid cell coordinates (XFE1)"),
])
def test_rows_and_cells_beyond_the_sheet_are_refused(cells, error):
    # what a save could not write as read (row 0 as "A0"), nor another
    # application open
    with pytest.raises(ValueError, match=re.escape(error)):
        read(sheet(cells))


def test_row_index_helper_decides_odd_row_numbers():
    with pytest.raises(ValueError):
        read(sheet('<row r="4.5"/>'))
    assert read(sheet('<row r=" 4"/><row r="1e1"/>'))[0] == [(4, []), (10, [])]


def test_any_root_and_structure():
    doc = (b'<?xml version="1.0"?><!-- c --><anything xmlns="' + MAIN.encode() + b'" xmlns:o="urn:o">'
           b'<dimension ref="A1"/><sheetData/><o:sheetData><row r="1"><c/></row></o:sheetData>'
           b'<sheetData><o:x/><row r="2"/><mergeCells count="0"/></sheetData><cols><col min="1"/></cols>'
           b'</anything>')
    rows, actions, _ = read(doc)
    assert rows == [(2, [])]
    assert [a[1] for a in actions] == [
        b'<dimension ref="A1"/>', b'<o:sheetData><row r="1"><c/></row></o:sheetData>',
        b"<o:x/>", b'<mergeCells count="0"/>', b'<cols><col min="1"/></cols>']
    assert actions[0][2] == [("", MAIN), ("o", "urn:o")]


def test_prefixed_main_namespace_is_read():
    doc = (b'<x:worksheet xmlns:x="' + MAIN.encode() + b'"><x:sheetData><x:row r="2">'
           b'<x:c r="A2" t="inlineStr"><x:is><x:t>t</x:t></x:is></x:c><x:c><x:v>1</x:v></x:c>'
           b'</x:row></x:sheetData></x:worksheet>')
    assert read(doc)[0] == [(2, [(2, 1, "t", "s", 0), (2, 2, 1, "n", 0)])]


def test_namespaces_in_scope_around_a_capture():
    # a prefix declared again further in keeps its outer place, takes the inner uri;
    # the captured element's own declarations stay inside its bytes
    doc = (f'<worksheet xmlns="{MAIN}" xmlns:a="urn:1" xmlns:b="urn:2"><sheetData xmlns:a="urn:3" xmlns:c="urn:4">'
           '<extra xmlns:d="urn:5"/></sheetData></worksheet>').encode()
    _, [(_, data, ns)], _ = read(doc)
    assert data == b'<extra xmlns:d="urn:5"/>'
    assert ns == [("", MAIN), ("a", "urn:3"), ("b", "urn:2"), ("c", "urn:4")]
    doc = b'<w xmlns="urn:w"><p xmlns=""/></w>'
    assert read(doc)[1] == [("element", b'<p xmlns=""/>', [("", "urn:w")])]


def test_dispatch_elements_inside_rows_are_handed_back():
    cells = ('<row r="1"><c r="A1"><v>1</v><extLst><ext/></extLst></c><col min="1"/>'
             '<c><v>2</v></c></row>')
    rows, actions, _ = read(sheet(cells))
    assert rows == [(1, [(1, 1, 1, "n", 0), (1, 2, None, "n", 0), (1, 3, 2, "n", 0)])]
    assert [a[1] for a in actions] == [b"<extLst><ext/></extLst>", b'<col min="1"/>']


def test_inline_strings_go_to_the_package_helpers(monkeypatch):
    seen = []
    helpers = make_helpers()
    helpers["text_content"] = lambda data, ns: seen.append(("text", data, ns)) or "T"
    helpers["rich_inline"] = lambda data, ns: seen.append(("rich", data, ns)) or "R"
    doc = sheet('<row r="1"><c r="A1" t="inlineStr"><is a=">"><t>x&amp;</t></is><is><t>2</t></is></c>'
                '<c t="inlineStr"><is/></c></row>')
    for rich in (False, True):
        reader = SheetReader(Chunks(doc, 3), Parser(rich_text=rich), helpers)
        assert [c[2] for c in reader.next_raw()[1]] == (["R", "R"] if rich else ["T", "T"])
    ns = [("", MAIN), ("r", "urn:r")]
    assert seen[:2] == [("text", b'<is a=">"><t>x&amp;</t></is>', ns), ("text", b"<is/>", ns)]


def test_doctype_is_refused():
    with pytest.raises(ValueError, match="DOCTYPE"):
        read(b'<!DOCTYPE w [<!ENTITY e "x">]><w/>')


def test_malformed_xml_raises():
    with pytest.raises(Exception):
        read(sheet('<row><c><v>1</c></row>'))


def test_source_must_give_bytes():
    class Text:
        def read(self, n):
            return "<w/>"
    with pytest.raises(TypeError, match="'str' object is not an instance of 'bytes'"):
        SheetReader(Text(), Parser(), make_helpers()).next_raw()


BIG = sheet(
    "".join(f'<row r="{r}" ht="{r}"><c r="A{r}" s="1"><v>{r}.5</v></c><c t="s"><v>0</v></c>'
            f'<c t="inlineStr"><is><t>i{r}</t></is></c></row>'
            + (f'<extra n="{r}">{"x" * (r * 37 % 3000)}</extra>' if r % 50 == 0 else "")
            for r in range(1, 1500)),
    before='<sheetViews><sheetView a="&gt;"/></sheetViews>' + "<!-- " + "y" * 70000 + " -->",
    after='<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>')


@pytest.mark.parametrize("size", [1, 2, 3, 7, 4096, 65536, 1 << 30])
def test_reads_of_every_size_give_the_same_result(size):
    want = read(BIG, 65536, shared_strings=["s"], date_formats={1})
    assert read(BIG, size, shared_strings=["s"], date_formats={1}) == want


def test_captures_are_source_bytes_that_parse_to_the_original_elements():
    """Each capture, wrapped in its namespaces, parses to the element the
    standard library finds at that place."""
    rows, actions, _ = read(BIG, 1000, shared_strings=["s"])
    root = ET.fromstring(BIG)
    originals = [e for e in root if e.tag != f"{{{MAIN}}}sheetData"]
    originals[1:1] = [e for e in root.find(f"{{{MAIN}}}sheetData") if e.tag != f"{{{MAIN}}}row"]
    assert len(actions) == len(originals) == 31
    position = 0
    for (kind, data, ns), original in zip(actions, originals):
        position = BIG.index(data, position)
        decl = " ".join(f'xmlns{":" + p if p else ""}="{u}"' for p, u in ns)
        element = ET.fromstring(f"<wrap {decl}>".encode() + data + b"</wrap>")[0]
        assert ET.tostring(element) == ET.tostring(original)
    assert len(rows) == 1499 and rows[-1][1][2][2] == "i1499"


def test_next_row_shapes():
    doc = sheet('<row r="1"><c r="B1"><v>2</v></c><c r="B1"><v>3</v></c><c r="D1"><v>4</v></c></row>'
                '<row r="2"/><row r="3"/><row r="4"><c r="A4"><v>1</v></c></row>'
                '<row r="5"><c r="D5"><v>4</v></c><c r="B5"><v>2</v></c></row>')
    reader = SheetReader(io.BytesIO(doc), Parser(), make_helpers())
    assert reader.next_row(None, 2, None, True, Cell, None) == (1, (3, None, 4))
    assert reader.next_row(None, 1, None, True, Cell, None) == (2, ())
    assert reader.next_row(None, 1, 3, True, Cell, "-") == (3, ("-", "-", "-"))
    assert reader.next_row(None, 3, 2, True, Cell, "-") == (4, ())
    # the row ends at its last cell in document order
    assert reader.next_row(None, 1, None, True, Cell, None) == (5, (None, 2))
    assert reader.next_row(None, 1, None, True, Cell, None) is None


def test_next_row_cells():
    doc = sheet('<row r="1"><c r="B1" s="2" t="str"><v>x</v></c></row>')
    reader = SheetReader(io.BytesIO(doc), Parser(), make_helpers())
    with pytest.raises(TypeError):
        reader.next_row("ws", 1, None, False, Cell, None, "parent")
    idx, (empty, c) = reader.next_row("ws", 1, None, False, Cell, "EMPTY", [])
    assert (idx, empty, type(c)) == (1, "EMPTY", Cell)
    assert (c.parent, c.row, c.column, c.value, c.data_type, c._style_id) == ("ws", 1, 2, "x", "s", 2)


@pytest.mark.parametrize("encoding, bom", [
    ("utf-16-le", b"\xff\xfe"), ("utf-16-be", b"\xfe\xff"), ("utf-16-le", b""),
    ("latin-1", b""), ("utf-8", b"\xef\xbb\xbf")])
@pytest.mark.parametrize("size", [1, 65536])
def test_other_encodings_give_utf8_captures(encoding, bom, size):
    text = sheet('<row r="1"><c t="inlineStr"><is><t>caf\u00e9</t></is></c></row>',
                 before='<sheetPr codeName="\u00e9t\u00e9"/>').decode()
    declared = f'<?xml version="1.0" encoding="{encoding}"?>'
    want = read((declared + text).encode("utf-8").replace(encoding.encode(), b"utf-8"))
    got = read(bom + (declared + text).encode(encoding), size)
    assert got == want
    assert got[1][0][1] == '<sheetPr codeName="\u00e9t\u00e9"/>'.encode()
