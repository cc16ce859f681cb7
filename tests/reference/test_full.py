"""Full reading in pure Python: generated worksheets of every cell shape
read in full against the streaming reading of the same part (and against the
engine's loader, once it has one); the worksheet over a dict, over a
stand-in store with only the engine store's operations, and over the
engine's store; style arrays and the workbook's style list."""
import array
import datetime
import io
import warnings
import xml.etree.ElementTree as ET

import hypothesis.strategies as st
import pytest
from hypothesis import given

from full_diff import (DATES, STYLES, StubStore, full_cells, read_full, read_streamed,
                       streamed_cells)
from vellum import _vellum
from vellum.reference import Parser, make_helpers
from vellum.reference.cell import Cell
from vellum.reference.styles import BUILTIN_FORMATS, CellStyles, IndexedList, StyleArray, Styles
from vellum.reference.worksheet import EditableWorksheet, bind_cells, replay

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ENGINE = getattr(_vellum, "bind_cells", None) and getattr(_vellum, "CellStore", None)

# --- generated worksheets ---------------------------------------------------

NUMBERS = st.one_of(st.integers(-10 ** 20, 10 ** 20).map(str),
                    st.floats(allow_nan=False, allow_infinity=False).map(repr),
                    st.sampled_from(["0", "007", "-0.0", "1e3", "60", "0.25", "2958465", "1e10"]))
SHAPES = {
    "number": lambda d: f"<v>{d(NUMBERS)}</v>",
    "date by style": lambda d: f"<v>{d(NUMBERS)}</v>",
    "shared string": lambda d: f'<v>{d(st.sampled_from(["0", "1", "2", "-1"]))}</v>',
    "inline string": lambda d: f"<is><t>{d(st.sampled_from(['x', ' y ', '&amp;', '']))}</t></is>",
    "boolean": lambda d: f"<v>{d(st.sampled_from(['0', '1', '2']))}</v>",
    "error": lambda d: f"<v>{d(st.sampled_from(['#N/A', '#DIV/0!']))}</v>",
    "text": lambda d: f"<v>{d(st.sampled_from(['t', '']))}</v>",
    "formula": lambda d: "<f>A1+1</f><v>2</v>",
    "shared master": lambda d: '<f t="shared" si="0" ref="A1:C9">A1*2</f><v>4</v>',
    "shared child": lambda d: '<f t="shared" si="0"/><v>6</v>',
    "array formula": lambda d: '<f t="array" ref="A1:A2">SUM(B1:B2)</f><v>1</v>',
    "empty": lambda d: "",
}
TYPES = {"shared string": "s", "inline string": "inlineStr", "boolean": "b", "error": "e",
         "text": "str"}


@st.composite
def cell(draw):
    shape = draw(st.sampled_from(sorted(SHAPES)))
    attrs = []
    r = draw(st.sampled_from([None, "A1", "B1", "C2", "B3", "AA9"]))  # repeats, and no r
    if r is not None:
        attrs.append(f'r="{r}"')
    s = "3" if shape == "date by style" else draw(st.sampled_from([None, "0", "1", "4", "", "-1"]))
    if s is not None:
        attrs.append(f's="{s}"')
    if shape in TYPES:
        attrs.append(f't="{TYPES[shape]}"')
    return "<c" + "".join(" " + a for a in attrs) + ">" + SHAPES[shape](draw) + "</c>"


@st.composite
def worksheet(draw):
    parts = []
    for _ in range(draw(st.integers(0, 5))):
        if draw(st.integers(0, 4)) == 0:
            parts.append('<mergeCell ref="A1:B2"/>')
        r = draw(st.sampled_from([None, "1", "2", "5"]))
        attrs = "" if r is None else f' r="{r}"'
        if draw(st.booleans()):
            attrs += f' ht="{draw(st.integers(1, 40))}"'
        parts.append(f"<row{attrs}>{''.join(draw(st.lists(cell(), max_size=5)))}</row>")
    before = draw(st.sampled_from(["", "<dimension ref='A1'/>"]))
    # a namespace in scope of the captured hyperlinks, its URI holding what
    # an attribute value must escape
    uri = draw(st.sampled_from(["urn:n", "urn:a&amp;b", "urn:&lt;&quot;&gt;&#9;&#10;'"]))
    return (f'<worksheet xmlns="{MAIN}" xmlns:n="{uri}">{before}<sheetData>{"".join(parts)}'
            '</sheetData><hyperlinks><hyperlink ref="A1" location="B2" n:tip="t"/></hyperlinks>'
            '</worksheet>').encode()


def replayed_links(actions):
    ws = EditableWorksheet(None, "S")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        replay(ws, actions)
    return ws._hyperlinks


@given(worksheet(), st.booleans())
def test_full_reading_holds_the_streamed_cells(doc, data_only):
    want = read_streamed(doc, data_only=data_only, **DATES)
    got = read_full(doc, data_only=data_only, **DATES)
    if isinstance(want, Exception):
        assert (type(got), str(got)) == (type(want), str(want))
        return
    rows, actions, dims = want
    ws, got_actions, got_dims = got
    assert full_cells(ws._cells, ws) == streamed_cells(rows)
    assert (got_actions, got_dims) == (actions, dims)
    # the links replayed from the captured element are the ones expat reads
    # in the whole document
    links = [dict(e.attrib) for e in ET.fromstring(doc).iter(f"{{{MAIN}}}hyperlink")]
    assert replayed_links(got_actions) == links
    if ENGINE:
        engine = read_full(doc, _vellum.CellStore(), _vellum.bind_cells, data_only=data_only, **DATES)
        if not isinstance(engine, _vellum.NativeFallback):
            ws, engine_actions, engine_dims = engine
            assert full_cells(ws._cells, ws) == streamed_cells(rows)
            assert (engine_actions, engine_dims) == (actions, dims)
            assert replayed_links(engine_actions) == links


def test_loading_faults_are_the_lookups_own():
    doc = (f'<worksheet xmlns="{MAIN}"><sheetData><row><c s="16"><v>1</v></c></row>'
           '</sheetData></worksheet>').encode()
    assert isinstance(read_full(doc), IndexError)
    ws, _, _ = read_full(doc.replace(b'"16"', b'"-16"'))
    assert list(ws._cells[1, 1]._style) == list(STYLES[0])
    ws, _, _ = read_full(doc.replace(b'"16"', b'""'))       # an empty s is style 0
    assert list(ws._cells[1, 1]._style) == list(STYLES[0])
    cells = {(9, 9): "left over"}
    read_full(doc.replace(b'"16"', b'"2"'), cells)
    assert list(cells) == [(1, 1)]


# --- the worksheet over each kind of mapping --------------------------------

BOOK = (f'<worksheet xmlns="{MAIN}"><sheetData>'
        '<row r="2"><c r="B2"><v>1</v></c><c r="D2" s="3"><v>60</v></c></row>'
        '<row r="4" ht="30"><c r="C4" t="s"><v>1</v></c></row>'
        '</sheetData></worksheet>').encode()


def loaded(kind):
    """The worksheet of `BOOK` read in full, its cells in a mapping of `kind`."""
    if kind == "dict":
        ws, _, _ = read_full(BOOK, **DATES)
    elif kind == "stub":
        store = StubStore()
        ws, _, _ = read_full(BOOK, store, **DATES)
        store.ws = ws
    else:
        if not ENGINE:
            pytest.skip("the engine has no full-mode loader yet")
        ws, _, _ = read_full(BOOK, _vellum.CellStore(), _vellum.bind_cells, **DATES)
    return ws


def shape(rows):
    return [tuple((c.row, c.column, c.value, c.data_type) for c in row) for row in rows]


@pytest.mark.parametrize("kind", ["dict", "stub", "engine"])
def test_worksheet_over_any_mapping(kind):
    ws = loaded(kind)
    assert (ws.min_row, ws.max_row, ws.min_column, ws.max_column) == (2, 4, 2, 4)
    assert ws.dimensions == "B2:D4"
    assert ws["B2"] is ws[2, 2] is ws.cell(2, 2) and ws["B2"].value == 1
    assert list(ws.iter_rows(min_row=2, max_row=2, values_only=True)) == [
        (None, 1, None, datetime.datetime(1900, 2, 28))]
    assert ws["D2"].is_date and ws["D2"].number_format == "#,##0"  # read as a date all the same
    rows = list(ws.iter_rows())
    assert len(rows) == 4 and shape(rows[3:]) == [((4, 1, None, "n"), (4, 2, None, "n"), (4, 3, "b", "s"),
                                (4, 4, None, "n"))]
    assert ws.dimensions == "A1:D4" and len(ws._cells) == 16  # iteration created the gaps
    created = ws[1, 1]
    assert (created.value, created.data_type, created._style, created.parent) == (None, "n", None, ws)
    assert [c.value for c in ws["B2:C2"][0]] == [1, None]
    ws["C2"] = "x"
    ws.cell(6, 7).value = 2.5
    ws[7, 1] = "=A1*2"
    assert [(c.value, c.data_type) for c in (ws["C2"], ws["G6"], ws["A7"])] == [
        ("x", "s"), (2.5, "n"), ("=A1*2", "f")]
    assert ws.dimensions == "A1:G7"
    if kind == "stub":
        assert ws._cells.row_calls > 0
    with pytest.raises(ValueError, match="row"):
        ws.cell(0, 1)
    with pytest.raises(ValueError, match="max_col"):
        list(ws.iter_rows(max_col=2 ** 32))


# Values in B1:C2 only: empty texts of each kind, a cell-less row, and
# styled empty cells out to the last column stretch the sheet around them.
STRETCHED = (f'<worksheet xmlns="{MAIN}"><sheetData>'
             '<row r="1"><c r="A1" t="inlineStr"><is><t></t></is></c><c r="B1"><v>1</v></c></row>'
             '<row r="2"><c r="C2" t="inlineStr"><is><t>x</t></is></c><c r="D2" s="1"/></row>'
             '<row r="4"><c r="E4" t="str"><v></v></c></row><row r="6" ht="30"/>'
             '<row r="9"><c r="XFD9" s="2"/></row>'
             '</sheetData></worksheet>').encode()


@pytest.mark.parametrize("kind", ["dict", "stub", "engine"])
def test_data_extent_leaves_out_what_formatting_stretches(kind):
    if kind == "engine" and not ENGINE:
        pytest.skip("the engine has no full-mode loader yet")
    cells = {"dict": None, "stub": StubStore(), "engine": ENGINE and _vellum.CellStore()}[kind]
    bind = _vellum.bind_cells if kind == "engine" else bind_cells
    ws, _, _ = read_full(STRETCHED, cells, bind)
    assert ws.dimensions == "A1:XFD9" and len(ws._cells) == 6
    assert ws.data_extent == (1, 2, 2, 3) and ws.data_dimensions == "B1:C2"
    rows = list(ws.iter_rows(max_col=4, values_only=True))
    assert rows[:2] == [("", 1, None, None), (None, None, "x", None)] and len(rows) == 9
    assert len(ws._cells) == 6  # values alone created nothing
    ws["B1"].value = None  # a value taken away, and one given, are seen
    ws.cell(7, 2, "late")
    assert ws.data_extent == (2, 7, 2, 3)
    list(ws.iter_rows(max_row=2, max_col=4))  # cells are still created
    assert len(ws._cells) == 11 and ws.data_extent == (2, 7, 2, 3)


def test_empty_worksheet():
    ws = EditableWorksheet(None, "Empty")
    assert list(ws.iter_rows()) == [] and ws.dimensions == "A1:A1" and not ws._cells
    assert list(ws.iter_rows(max_row=2, max_col=1, values_only=True)) == [(None,), (None,)]
    assert ws.dimensions == "A1:A1" and not ws._cells  # values alone create no cells
    assert ws.data_extent is None and ws.data_dimensions == "A1:A1"


def test_replay_keeps_elements_and_warns_in_order():
    ws = EditableWorksheet(None, "S")
    links = (b'<hyperlinks><hyperlink ref="A1" r:id="rId1"/><x:hyperlink ref="B1" location="C1"/>'
             b'</hyperlinks>')
    ns = [("", MAIN), ("r", "urn:r"), ("x", MAIN)]
    actions = [("element", b"<dimension ref='A1'/>", ns[:1]), ("warn", "first"),
               ("element", links, ns), ("warn", "second")]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        replay(ws, actions)
    assert [str(w.message) for w in caught] == ["first", "second"]
    assert [e[0] for e in ws._elements] == [actions[0][1], links]
    assert ws._hyperlinks == [{"ref": "A1", "{urn:r}id": "rId1"}, {"ref": "B1", "location": "C1"}]


# --- style arrays -------------------------------------------------------------

def test_style_array_and_the_style_list():
    style = StyleArray([1, 2, 3, 4, 5, 6, 7, 8, 9])
    assert (style.numFmtId, style.borderId, style.xfId, style.pivotButton) == (1, 4, 7, 9)
    copy = StyleArray(style)
    assert copy == style and copy is not style and type(copy) is StyleArray
    made = array.array.__new__(StyleArray, "i", style)  # how the engine copies one
    assert type(made) is StyleArray and made == style and made.fontId == 2
    assert not hasattr(made, "__dict__")
    with pytest.raises(ValueError, match="9 integers"):
        StyleArray([1, 2])
    styles = CellStyles([StyleArray(), style, StyleArray()])  # ids are positions: repeats stay
    assert len(styles) == 3 and styles.add(StyleArray()) == 0 and styles.add(copy) == 1
    new = StyleArray([0] * 8 + [1])
    assert styles.add(new) == 3 and styles[3] is not new
    new.xfId = 5
    assert styles[3].xfId == 0 and styles.add(new) == 4
    assert styles[""] is styles[0] and styles[-1] == new
    assert isinstance(styles, list) and IndexedList(["a", "b"]).add("b") == 1


def test_styles_part():
    root = ET.fromstring(
        f'<styleSheet xmlns="{MAIN}"><numFmts><numFmt numFmtId="164" formatCode="yy-mm"/>'
        '<numFmt numFmtId="165" formatCode="[h]:mm"/></numFmts><cellXfs>'
        '<xf numFmtId="0" fontId="2"/><xf numFmtId="164" quotePrefix="1">'
        '<alignment horizontal="center"/></xf><xf numFmtId="165"><alignment horizontal="center"/>'
        '<protection locked="0"/></xf><xf numFmtId="x" fillId="99999999999"/></cellXfs></styleSheet>')
    styles = Styles(root)
    assert [list(s) for s in styles.cell_styles] == [
        [0, 2, 0, 0, 0, 0, 0, 0, 0], [164, 0, 0, 0, 1, 0, 0, 1, 0], [165, 0, 0, 0, 1, 1, 0, 0, 0],
        [0] * 9]
    assert (styles.date_formats, styles.timedelta_formats) == ({1, 2}, {2})
    assert styles.number_formats[164] == "yy-mm" and styles.number_formats[14] == "mm-dd-yy"
    assert list(Styles().cell_styles) == [StyleArray()]  # style 0 always exists


def test_cell_reads_its_format_through_the_workbook():
    class Book:
        _number_formats = {**BUILTIN_FORMATS, 164: "0.00", 165: "d mmm"}
        _cell_styles = CellStyles([StyleArray()])

    ws = EditableWorksheet(Book(), "S")
    cell = ws.cell(1, 1, 3)
    assert (cell.number_format, cell.is_date, cell.style_id) == ("General", False, 0)
    for fmt, is_date in ((165, True), (164, False), (14, True)):
        cell._style = StyleArray([fmt] + [0] * 8)
        assert cell.is_date is is_date
    assert cell.style_id == 1 and Book._cell_styles[1] == cell._style
    cell.value = None
    assert cell.data_type == "n" and Cell(None, 1, 1, data_type="d").is_date
    with pytest.raises(TypeError, match="cannot hold"):
        cell.value = object()


def test_pure_loader_reads_from_any_source():
    class Pieces(io.BytesIO):
        def read(self, n=-1):
            return super().read(min(n, 3))

    ws = EditableWorksheet(None, "S")
    cells, actions = {}, []
    bind_cells(Pieces(BOOK), Parser(["a", "b"]), ws, cells, STYLES, Cell, make_helpers(), actions)
    assert [c.value for c in cells.values()] == [1, 60, "b"] and actions == []
