"""The engine's SheetWriter against the package's own writer, byte for byte
in both serialisers: every corpus sheet from its cell store, the same cells
as a plain dict, the package's grouping (foreign keys, a store in dict
mode, odd row-dimension keys), write-only rows, and generated cells of every
kind, including the ones the engine declines to the package's write_cell."""
import csv
import datetime
import decimal
import io
import pathlib
import zipfile

import pytest
from hypothesis import given, strategies as st

import vellum
from vellum import _vellum
from vellum.reference import writer as ref
from vellum.reference.cell import Cell, Hyperlink
from vellum.reference.styles import StyleArray

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
MODES = [False, True]
native = pytest.mark.skipif(not hasattr(_vellum, "SheetWriter"), reason="no native writer")


def outcome(cls, ws, lxml, job, saved=None):
    """(bytes or text written, links added) of one writer, or the type of
    the exception it raised; `saved` are the formulas' saved values."""
    out = []
    links = len(ws._hyperlinks)
    try:
        job(cls(ws, out.append, lxml, ref.make_writer_helpers(lxml, ws.parent, saved)))
    except Exception as e:  # the two must fail alike
        return type(e)
    return (b"" if lxml else "").join(out), ws._hyperlinks[links:]


def sheet_data(ws):
    return lambda w: w.write_sheet_data(lambda: ref.rows(ws))


def same(ws, lxml, job=None, saved=None):
    job = job or sheet_data(ws)
    got = outcome(_vellum.SheetWriter, ws, lxml, job, saved)
    assert got == outcome(ref.SheetWriter, ws, lxml, job, saved)
    return got


def corpus_files():
    if not (CORPUS / "MANIFEST.tsv").exists():
        return []
    with open(CORPUS / "MANIFEST.tsv") as f:
        return [row["file"] for row in csv.DictReader(f, delimiter="\t")]


def load(name):
    try:
        return vellum.read_workbook(CORPUS / name)
    except vellum.WorkbookError:
        return None


@native
@pytest.mark.parametrize("name", corpus_files() or [pytest.param("", marks=pytest.mark.skip("no corpus"))])
def test_corpus_sheets_store_dict_and_fallback(name):
    """Each sheet loaded afresh per mode (writing materialises cells): the
    store path first, then the same cells as a dict, then with a foreign
    key and a string row-dimension key, which take the package's grouping."""
    for lxml in MODES:
        book = load(name)
        if book is None:
            pytest.skip("not a workbook the package reads")
        with book:
            for ws in book:
                if isinstance(ws._cells, _vellum.CellStore):
                    same(ws, lxml)
                ws._cells = {k: ws._cells[k] for k in list(ws._cells)}
                same(ws, lxml)
                if ws._cells:
                    key, cell = next(iter(ws._cells.items()))
                    ws._cells["A1"] = ws._cells.pop(key)
                    same(ws, lxml)


# -- generated cells --------------------------------------------------------

class StrSub(str):
    pass


texts = st.text(st.characters(codec="utf-8"), max_size=8) | st.text(max_size=6) | st.sampled_from(
    ["", " ", "  ", " a", "a ", "=", "=A1", '"', "&", "<", ">", "\r", "a\r\nb", "\t", "\x0b", "\x00",
     "\ud800", "é\u4e2d\U0001f600", "\ufffe", "=é", "_x000D_", "a_x00e9__x005F_", "__x1234_x",
     "_xABCD", "_xabcd_"])
values = st.one_of(
    st.none(), st.booleans(), texts,
    st.integers(-2**64, 2**64) | st.sampled_from([2**53, 2**53 + 1, -2**53 - 1, 2**63, -2**63]),
    st.floats() | st.sampled_from([-0.0, 1e16, 1e15, 0.1, 3.0, 1.9104973077774101, 5e-324,
                                   1.2345678901234568e16, 2**60]),
    st.datetimes(datetime.datetime(1899, 12, 1), datetime.datetime(2200, 1, 1)),
    st.times(), st.dates(datetime.date(1900, 1, 1)), st.timedeltas(),
    st.decimals(allow_nan=False, places=3), texts.map(StrSub))
data_types = st.sampled_from(["n", "s", "f", "b", "e", "d", "str", "inlineStr", "&<"])
# number formats 14, 22, 46 and the custom 164 show dates, 0 to 3 do not
styles = st.one_of(st.none(), st.tuples(
    st.sampled_from([0, 1, 2, 3, 14, 22, 46, 164]),
    st.lists(st.integers(0, 3), min_size=8, max_size=8)).map(lambda s: StyleArray([s[0], *s[1]])))
links = st.sampled_from([None, None, "https://example.org/?a=1&b=2", "#Sheet!A1"])
comments = st.sampled_from([None, None, "", "note"])
# the value a formula was saved with: for this formula or another
saved_values = st.none() | st.tuples(st.booleans(), st.sampled_from([None, "str", "b", "e"]),
                                     texts | st.sampled_from(["1", "0.5", "#N/A"]))
cell_specs = st.dictionaries(
    st.tuples(st.integers(1, 6), st.integers(1, 30) | st.sampled_from([16384, 16385, 18279])),
    st.tuples(values, st.none() | data_types, styles, links, comments, saved_values), max_size=12)
row_dims = st.dictionaries(st.integers(1, 8), st.dictionaries(
    st.sampled_from(["ht", "r", "hidden", "spans", "{http://x.test/ac}dyDescent", "{http://y.test}z",
                     "{http://www.w3.org/XML/1998/namespace}space"]),
    st.text(st.characters(codec="utf-8", blacklist_categories=("Cc",)), max_size=4) | st.just("a\t\r\né"),
    max_size=3), max_size=3)


def make_sheet(specs, dims):
    book = vellum.new_workbook()
    ws = book.add_sheet("Sheet")
    book._cell_styles.extend([StyleArray([i] * 9) for i in range(1, 4)])
    book._number_formats[164] = "yyyy\\-mm\\-dd"
    for (row, column), (value, data_type, style, link, comment, _) in specs.items():
        cell = Cell(ws, row, column, value)
        cell.data_type = data_type or "n"
        cell._style = style
        cell._hyperlink = Hyperlink(f"A{row}", link) if link else None
        cell._comment = comment
        ws._cells[(row, column)] = cell
    ws.row_dimensions.update(dims)
    return ws


def saved_of(specs):
    """The formulas' saved values of generated cells: for the cell's own
    formula, or for another, which must not be written."""
    return {key: (value if own else "=other", t, text)
            for key, (value, *_, found) in specs.items() if found is not None
            for own, t, text in [found]}


@native
@given(cell_specs, row_dims)
def test_generated_cells_every_path(specs, dims):
    saved = saved_of(specs)
    for lxml in MODES:
        ws = make_sheet(specs, dims)
        same(ws, lxml)  # dict path
        same(ws, lxml, saved=saved)
        by_row = {}
        for cell in sorted(ws._cells.values(), key=lambda c: (c.row, c.column)):
            by_row.setdefault(cell.row, []).append(cell)

        def rows(w):
            for row, cells in by_row.items():
                w.write_row(cells, row)
            w.flush()
        same(ws, lxml, rows)
        ws._cells[("x", 1)] = Cell(ws, 9, 2, "foreign")  # the package's grouping
        same(ws, lxml)


plain = st.one_of(st.none(), st.booleans(), texts, st.integers(-2**64, 2**64), st.floats())


def saved_parts(rows, lxml, engine, look):
    """Every part of a new workbook the rows were appended to (or the error
    of its save); with `look` its cells are made before the save."""
    book = vellum.new_workbook(lxml=lxml)
    ws = book.add_sheet("S")
    try:
        for items in rows:
            ws.append(iter(items))
    except ValueError as e:  # a value no file can hold: refused alike, when appended
        return type(e)
    if look:
        assert ws.max_row == max([r for r, items in enumerate(rows, 1)
                                  if any(v is not None for v in items)], default=1)
        len(ws._cells)
    out = io.BytesIO()
    book.save(out, engine=engine)
    with zipfile.ZipFile(out) as z:
        return {name: z.read(name) for name in z.namelist()}


@native
@given(st.lists(st.lists(plain, max_size=6) | st.lists(values, max_size=4), max_size=5))
def test_appended_values_written_as_their_cells(rows):
    for lxml in MODES:
        ws = make_sheet({}, {})

        def job(w):
            for row, items in enumerate(rows, 1):
                assert w.write_values(items, row, ws._make_cell) == max(
                    [c for c, v in enumerate(items, 1) if v is not None], default=0)
            w.flush()
        same(ws, lxml, job)
        made = saved_parts(rows, lxml, False, True)
        assert saved_parts(rows, lxml, True, False) == made
        assert saved_parts(rows, lxml, False, False) == made


@native
@given(rows=st.lists(st.lists(values, max_size=5), max_size=4), chosen=st.lists(styles, max_size=6))
def test_appended_values_with_styles_written_as_their_cells(rows, chosen):
    """Values written under the s texts they come with, as the cells
    make_cell gives them (which the package's writer writes) are."""
    for lxml in MODES:
        ws = make_sheet({}, {})
        texts = tuple(None if s is None or not any(s) else str(ws.parent._cell_styles.add(s))
                      for s in chosen)

        def make(r, c, v):
            return ws._make_cell(r, c, v, chosen[c - 1] if c <= len(chosen) else None)

        def job(w):
            for row, items in enumerate(rows, 1):
                w.write_values(items, row, make, texts)
            w.flush()
        same(ws, lxml, job)


@native
def test_style_texts_are_checked():
    ws = make_sheet({}, {})
    out = []
    w = _vellum.SheetWriter(ws, out.append, False, ref.make_writer_helpers(False))
    with pytest.raises(TypeError):
        w.write_values([1], 1, ws._make_cell, ["1"])
    for bad in ('1" x="', "", "-1", 3):
        with pytest.raises(_vellum.NativeFallback):
            w.write_values([1, 2], 1, ws._make_cell, (None, bad))
    w.write_values([1, 2], 1, ws._make_cell, ("2", None))
    w.flush()
    assert "".join(out) == '<row r="1"><c r="A1" s="2" t="n"><v>1</v></c><c r="B1" t="n"><v>2</v></c></row>'


@native
@pytest.mark.parametrize("lxml", MODES)
def test_store_path_forms(lxml):
    """Cells a loaded store holds in every form: assigned values, a styled
    empty cell, a date at the 1900 leap-year edge, a row that only has
    dimensions; a cell beyond XFD and a text with a form feed, refused
    alike; then the same store in dict mode."""
    name = "calamine__date_1904.xlsx"
    if not (CORPUS / name).exists():
        pytest.skip("corpus file missing")
    book = load(name)
    with book:
        ws = book.worksheets[0] if hasattr(book, "worksheets") else next(iter(book))
        cells = ws._cells
        ws.cell(41, 1, datetime.datetime(1900, 2, 28, 12))
        ws.cell(41, 3, datetime.time(12))
        ws.cell(42, 1)._style = StyleArray([0, 1, 0, 0, 0, 0, 0, 0, 0])
        ws.cell(43, 16384, 5)
        ws.row_dimensions[45] = {"ht": "20"}
        same(ws, lxml)
        # what no file can hold, past the checks of cell(): refused alike
        cells[(44, 16385)] = Cell(ws, 44, 16385, 5)  # beyond XFD
        assert same(ws, lxml) is ValueError
        del cells[(44, 16385)]
        ws.cell(40, 2)._value = "a\ud800b"  # declined, materialised, refused
        assert same(ws, lxml) is ValueError
        ws.cell(40, 2)._value = None
        cells[("odd",)] = Cell(ws, 50, 1, 1)  # dict mode
        assert cells._in_dict_mode()
        same(ws, lxml)
        with pytest.raises(ValueError):
            ws.row_dimensions["7"] = {}  # refused when set; the writer still declines it
        dict.__setitem__(ws.row_dimensions, "7", {})
        with pytest.raises(_vellum.NativeFallback):
            ws._cells = _vellum.CellStore()
            _vellum.SheetWriter(ws, [].append, lxml, ref.make_writer_helpers(lxml)).write_sheet_data(list)


@native
@pytest.mark.parametrize("lxml", MODES)
def test_write_row_edges(lxml):
    """A failed row leaves nothing behind; rows go out only at 1 MiB or on
    flush; a write that raises keeps the buffer for the next flush; a
    helper that calls back into the writer finds it borrowed."""
    ws = make_sheet({}, {5: {"ht": "a\té"}})
    out, calls = [], []

    def write(chunk):
        calls.append(chunk)
        if len(calls) == 1:
            raise OSError("disk full")
        out.append(chunk)

    w = _vellum.SheetWriter(ws, write, lxml, ref.make_writer_helpers(lxml))
    w.write_row([Cell(ws, 1, 1, "ok", "s")], True)
    with pytest.raises(ValueError):
        w.write_row([Cell(ws, 2, 1, "fine", "s"), Cell(ws, 2, 2, "bad\ud800", "s")], 2)
    w.write_row([], 5)
    with pytest.raises(TypeError):
        w.write_row([], "3")
    assert calls == []
    with pytest.raises(OSError):
        w.flush()
    w.flush()
    text = out[0] if lxml else out[0].encode()
    ht = b'ht="a&#9;&#233;"' if lxml else 'ht="a&#09;\u00e9"'.encode()
    assert text == (b'<row r="1"><c r="A1" t="inlineStr"><is><t>ok</t></is></c></row><row r="5" '
                    + ht + b'></row>')

    helpers = ref.make_writer_helpers(lxml)
    helpers["add_comment"] = lambda ws, cell: w2.flush()
    w2 = _vellum.SheetWriter(ws, out.append, lxml, helpers)
    noted = Cell(ws, 1, 1, 1)
    noted._comment = "x"
    with pytest.raises(RuntimeError, match="Already borrowed"):
        w2.write_row([noted], 1)


@native
@pytest.mark.parametrize("lxml", MODES)
def test_a_row_whose_hand_over_fails_is_left_out(lxml):
    """The row that fills the buffer is handed over with it; when `write`
    raises, that row is taken back (its caller saw it fail and may write it
    again), and what came before goes out with the next flush: the same in
    both writers."""
    def run(cls):
        ws = make_sheet({}, {})
        out, fail = [], [True]

        def write(chunk):
            if fail.pop() if fail else False:
                raise OSError("disk full")
            out.append(chunk if lxml else chunk.encode())

        def make_cell(row, column, value):
            cell = Cell(ws, row, column)
            cell.value = value
            return cell

        w = cls(ws, write, lxml, ref.make_writer_helpers(lxml))
        row = 1
        with pytest.raises(OSError):
            while True:
                w.write_values(["x" * 1000] * 20, row, make_cell)
                row += 1
        w.write_values(["again"], row, make_cell)
        w.flush()
        return row, b"".join(out)

    (row, got), want = run(_vellum.SheetWriter), run(ref.SheetWriter)
    assert (row, got) == want
    assert got.count(f'<row r="{row}">'.encode()) == 1 and got.count(b"<row ") == row
    assert got.endswith(b"again</t></is></c></row>")


@native
def test_construction_checks():
    ws = make_sheet({}, {})
    helpers = ref.make_writer_helpers(False)
    with pytest.raises(TypeError):
        _vellum.SheetWriter(ws, print, 1, helpers)
    del helpers["safe_string"]
    with pytest.raises(TypeError, match="missing helper safe_string"):
        _vellum.SheetWriter(ws, print, False, helpers)


@native
@pytest.mark.filterwarnings("ignore:Cell A1:UserWarning")
@pytest.mark.parametrize("lxml", MODES)
@pytest.mark.parametrize("iso", [False, True])
def test_stored_dates_around_the_leap_year_rule(tmp_path, lxml, iso):
    """Serial dates read into the store are written as serials computed
    natively (or as the package writes the cell with iso_dates), equal to the
    package's conversion at the 1900 leap-year edge and beyond the calendar."""
    import xlsxwriter
    path = tmp_path / "dates.xlsx"
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet()
    fmt = book.add_format({"num_format": "yyyy-mm-dd hh:mm:ss"})
    serials = [0, 0.5, 1, 59, 59.5, 60, 60.25, 61, 61.999999, 45000.1234567, -1, -0.5,
               2958465.99999, 2958466, 1e12]
    for row, serial in enumerate(serials):
        sheet.write_number(row, 0, serial, fmt)
    book.close()
    with vellum.read_workbook(path) as loaded:
        ws = next(iter(loaded))
        ws.parent.iso_dates = iso
        assert isinstance(ws._cells, _vellum.CellStore)
        same(ws, lxml)
