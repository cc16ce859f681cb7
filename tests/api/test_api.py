"""The public API read end to end, checked against the raw rows of the
package's own reader (`Workbook.read_sheet(engine=False)`)."""
import importlib.metadata
import pathlib

import pytest
import xlsxwriter

import vellum
from vellum.workbook import Workbook

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"


@pytest.fixture(scope="module")
def book(tmp_path_factory):
    path = tmp_path_factory.mktemp("api") / "book.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    s = wb.add_worksheet("Data")
    s.write_row(0, 0, ["name", "n", "double"])
    for r in (2, 3, 7):  # rows 2, 5, 6 and 7 are left out of the file
        s.write_row(r, 0, [f"item {r}", r])
        s.write_formula(r, 2, f"=B{r + 1}*2", None, r * 2)
    s.write_array_formula(9, 0, 9, 0, "{=SUM(B1:B9)}", None, 12)
    hidden = wb.add_worksheet("Hidden")
    hidden.hide()
    hidden.write(4, 3, "far")
    wb.add_worksheet("Empty")
    wb.close()
    return path


def expected_rows(path, name, data_only, min_row=1, max_row=None, min_col=1, max_col=None):
    """The rows `iter_rows(values_only=True, row_numbers=True)` must give,
    built from the reference reader's raw cells."""
    with Workbook(path, engine=False, data_only=data_only) as ref:
        raw, _, _ = ref.read_sheet(name)
    cells = {(c[0], c[1]): c[2] for _, row in raw for c in row}
    last_row = max((r for r, _ in cells), default=0)
    out = []
    for r in range(min_row, min(last_row, max_row or last_row) + 1):
        cols = [c for rr, c in cells if rr == r]
        last = max_col or max(cols, default=0)
        out.append((r, tuple(cells.get((r, c)) for c in range(min_col, last + 1))))
    return out


@pytest.mark.parametrize("engine", [True, False])
@pytest.mark.parametrize("data_only", [False, True])
def test_rows_match_the_reference_reading(book, engine, data_only):
    with vellum.read_workbook(book, engine=engine, data_only=data_only, streaming=True) as wb:
        for ws in wb:
            got = list(ws.iter_rows(values_only=True, row_numbers=True))
            assert got == expected_rows(book, ws.name, data_only)
            cells = list(ws.iter_rows())
            assert [tuple(c and c.value for c in row) for row in cells] == [r for _, r in got]
            assert all(c.row == n for n, (_, row) in enumerate(got, 1) for c in cells[n - 1] if c)
        window = list(wb[0].iter_rows(min_row=3, max_row=8, min_col=2, max_col=3,
                                      values_only=True, row_numbers=True))
        assert window == expected_rows(book, "Data", data_only, 3, 8, 2, 3)
        assert window[2] == (5, (None, None)) and len(window) == 6
        formula = wb[0].iter_rows(min_row=10, values_only=True)
        assert next(formula)[0] == (12 if data_only else vellum.ArrayFormula("A10", "=SUM(B1:B9)"))


@pytest.mark.parametrize("engine", [True, False])
def test_a_row_out_of_order_comes_where_it_stands(book, tmp_path, engine):
    """Rows 1, 2, 5, 3, 6: the gaps before row 5 are filled once, and no
    row after row 3 is said to be empty that is not."""
    import zipfile
    rows = "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c></row>' for r in (1, 2, 5, 3, 6))
    sheet = (f'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
             f'<sheetData>{rows}</sheetData></worksheet>').encode()
    path = tmp_path / "order.xlsx"
    with zipfile.ZipFile(book) as src, zipfile.ZipFile(path, "w") as out:
        for item in src.infolist():
            out.writestr(item, sheet if item.filename == "xl/worksheets/sheet1.xml" else src.read(item))
    with vellum.read_workbook(path, engine=engine, streaming=True) as wb:
        assert list(wb[0].iter_rows(values_only=True)) == [(1,), (2,), (), (), (5,), (3,), (6,)]
        assert list(wb[0].iter_rows(min_row=2, max_col=1, values_only=True, row_numbers=True)) == [
            (2, (2,)), (3, (None,)), (4, (None,)), (5, (5,)), (3, (3,)), (6, (6,))]


def test_workbook_surface(book):
    assert vellum.__version__ == importlib.metadata.version("vellum")
    with vellum.read_workbook(book, streaming=True) as wb:
        assert wb.sheet_names == ["Data", "Hidden", "Empty"]
        assert [n.hidden for n in wb.sheet_names] == [False, True, False]
        assert wb["Hidden"].state == "hidden" and wb[-1].name == "Empty" and len(wb) == 3
        assert [ws.name for ws in wb] == wb.sheet_names
        with pytest.raises(KeyError):
            wb["Nope"]
        with pytest.raises(IndexError):
            wb[3]
        with pytest.raises(ValueError, match="min_row"):
            wb[0].iter_rows(min_row=0)
        assert list(wb["Empty"].iter_rows()) == []
    with open(book, "rb") as f, vellum.read_workbook(f, streaming=True) as wb:
        assert next(wb[1].iter_rows(min_row=5, values_only=True)) == (None, None, None, "far")


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
@pytest.mark.parametrize("name", ["calamine__date_1904.xlsx", "calamine__shared_formula_simple.xlsx",
                                  "exceldatareader__Test10x10000.xlsx"])
def test_corpus_rows_match_the_reference_reading(name):
    with vellum.read_workbook(CORPUS / name, data_only=True, streaming=True) as wb:
        for ws in wb:
            got = list(ws.iter_rows(values_only=True, row_numbers=True))
            assert got == expected_rows(CORPUS / name, ws.name, True)


def readable(obj):
    """The names `dir(obj)` lists whose reading raises."""
    failing = []
    for name in dir(obj):
        try:
            getattr(obj, name)
        except Exception as e:
            failing.append((name, type(e).__name__))
    return failing


@pytest.mark.parametrize("engine", [True, False])
def test_every_name_dir_lists_can_be_read(book, engine):
    """Whatever way a cell or sheet was made, what `dir()` shows can be read:
    a slot the reading left unset is not listed."""
    objects = []
    with vellum.read_workbook(book, engine=engine) as wb:
        ws = wb["Data"]
        objects += [wb, ws, wb.sheet_names[0], ws["A1"], ws["C3"], ws["Z99"], ws.cell(40, 2),
                    next(ws.iter_rows())[0]]
    with vellum.read_workbook(book, engine=engine, streaming=True, data_only=True) as wb:
        objects += [wb, wb["Data"], *next(wb["Data"].iter_rows()), wb["Data"].layout()]
    new = vellum.new_workbook()
    sheet = new.add_sheet("N")
    sheet.append([1, "=A1"])
    objects += [new, sheet, sheet["A1"], sheet["B1"]]
    assert {type(o).__name__: readable(o) for o in objects if readable(o)} == {}
    assert type(objects[1]) is vellum.EditableWorksheet and type(objects[9]) is vellum.StreamedWorksheet
    assert vellum.Worksheet is vellum.StreamedWorksheet  # the old name
