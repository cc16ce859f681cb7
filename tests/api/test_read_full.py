"""Workbooks read in full through the front door: every sheet of the corpus
against its streaming reading (through zipfile and through the package's
own reader of zip members), a written workbook end to end, and the
engine's loader taken or left on `NativeFallback`."""
import datetime
import pathlib
import warnings
import xml.etree.ElementTree as ET
import zipfile

import pytest
import xlsxwriter

import vellum
from tests.reference.full_diff import StubStore, full_cells, streamed_cells
from vellum import _vellum, zipread
from vellum import workbook as wbmod
from vellum.extent import holds_value
from vellum.reference import worksheet as full
from vellum.workbook import Workbook
from vellum.xmlparts import MAIN_NS

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"


def corpus():
    return sorted(p.name for p in CORPUS.glob("*.xlsx")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
@pytest.mark.parametrize("name", corpus())
def test_corpus_full_reading_holds_the_streamed_cells(name, monkeypatch):
    path = CORPUS / name
    try:
        # the package's reading through zipfile, the engine's through the
        # package's own reader of zip members
        monkeypatch.setattr(zipread, "BACKEND", "zipfile")
        with Workbook(path, engine=False) as book:
            want = {s.name: book.read_sheet(s.name) for s in book.sheets}
            styles = book._cell_styles
        monkeypatch.undo()
    except Exception as e:
        monkeypatch.undo()
        with pytest.raises(type(e)):
            vellum.read_workbook(path)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        book = vellum.read_workbook(path)
    with book:
        assert [ws.title for ws in book] == list(want)
        for ws in book:
            rows, actions, dims = want[ws.title]
            # the values' extent, judged by the engine before any Cell exists
            held = [(r, c) for _, cells in rows for r, c, v, _, _ in cells if holds_value(v)]
            assert ws.data_extent == ((min(r for r, _ in held), max(r for r, _ in held),
                                       min(c for _, c in held), max(c for _, c in held))
                                      if held else None)
            assert full_cells(ws._cells, ws) == streamed_cells(rows, styles)
            assert ws.row_dimensions == {int(k): v for k, v in dims.items()}
            assert [a[1:] for a in actions if a[0] == "element"] == ws._elements


@pytest.fixture(scope="module")
def book(tmp_path_factory):
    path = tmp_path_factory.mktemp("full") / "book.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    date = wb.add_format({"num_format": "yyyy-mm-dd"})
    s = wb.add_worksheet("Data")
    s.write_row(0, 0, ["name", 1, 2.5, True])
    s.write_datetime(1, 0, datetime.datetime(2024, 2, 29), date)
    s.write_number(1, 1, 1e10, date)              # no date: a warning, "#VALUE!"
    s.write_formula(2, 0, "=B1*2", None, 2)
    s.write_url(3, 0, "https://example.invalid/", string="link")
    s.set_row(4, 30)
    wb.add_worksheet("Empty")
    wb.close()
    return path


def test_editable_workbook_end_to_end(book):
    with pytest.warns(UserWarning), vellum.read_workbook(book) as wb:
        assert wb.sheet_names == ["Data", "Empty"] and len(wb) == 2
        ws = wb["Data"]
        assert isinstance(ws, vellum.EditableWorksheet) and wb[0] is ws and list(wb)[1] is wb[-1]
        assert ws.parent is wb and ws.dimensions == "A1:D4"
        assert list(ws.iter_rows(max_row=1, values_only=True)) == [("name", 1, 2.5, True)]
        assert (ws["A2"].value, ws["A2"].is_date, ws["A2"].number_format) == (
            datetime.datetime(2024, 2, 29), True, "yyyy-mm-dd")
        assert (ws["B2"].value, ws["B2"].data_type) == ("#VALUE!", "e")
        assert (ws["A3"].value, ws["A3"].data_type) == ("=B1*2", "f")
        assert ws._hyperlinks[0]["ref"] == "A4" and ws.row_dimensions[5]["ht"] == "30"
        assert type(ws["A1"]._style) is vellum.StyleArray and ws["A1"]._style == wb._cell_styles[0]
        ws.cell(2, 3).value = 5
        ws["B2"] = "x"
        assert (ws[2, 2].value, ws[2, 3].value, ws["C2"].data_type) == ("x", 5, "n")
        assert list(wb["Empty"].iter_rows()) == [] and wb.iso_dates is False
    with vellum.read_workbook(book, streaming=True) as wb:
        assert isinstance(wb[0], vellum.Worksheet) and next(wb[0].iter_rows(values_only=True))[0] == "name"


class Loader:
    """An engine stand-in: the package's own loader into a stand-in store,
    declining with `NativeFallback` on the sheets named in `decline`."""

    decline = ()
    calls = []

    def __call__(self, source, parser, ws, store, cell_styles, cell_cls, helpers, actions):
        type(self).calls.append(ws.title)
        full.bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)
        store.ws = ws
        if ws.title in self.decline:
            actions.append(("warn", "half-read"))
            raise _vellum.NativeFallback("unsupported: test")


@pytest.mark.parametrize("decline", [(), ("Data",)])
def test_engine_loader_taken_or_left(book, monkeypatch, decline):
    loader = Loader()
    monkeypatch.setattr(Loader, "decline", decline)
    monkeypatch.setattr(Loader, "calls", [])
    monkeypatch.setattr(_vellum, "bind_cells", loader, raising=False)
    monkeypatch.setattr(_vellum, "CellStore", StubStore, raising=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with vellum.read_workbook(book, engine=False) as pure:
            pass
        with vellum.read_workbook(book) as wb:
            assert type(wbmod.load_worksheet(wb, wb.sheets[0], engine=False)._cells) is dict
    assert Loader.calls == ["Data", "Empty"]
    messages = [str(w.message) for w in caught]
    assert len(messages) == 3 and len(set(messages)) == 1   # the date warning, once a read
    for ws, want in zip(wb, pure):
        native = ws.title not in decline
        assert isinstance(ws._cells, StubStore if native else dict)
        assert full_cells(ws._cells, ws) == full_cells(want._cells, want)
        assert (ws.row_dimensions, ws._elements) == (want.row_dimensions, want._elements)


SHEET = ('<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>'
         '<row r="1"><c r="A1" s="{s}"><v>1</v></c></row>{tail}</sheetData></worksheet>')


@pytest.mark.parametrize("tail", ["", '<row r="2"><c r="A2"><v>2</v></c></row><bad'])
def test_the_error_of_a_damaged_sheet_is_the_packages_own(book, tmp_path, tail):
    # A style id past the styles, alone or before a well-formedness fault:
    # the engine meets the style first, the package's reading may meet the
    # fault first; the front door gives the package's error either way.
    damaged_book = tmp_path / "damaged.xlsx"
    with zipfile.ZipFile(book) as src, zipfile.ZipFile(damaged_book, "w") as out:
        for item in src.infolist():
            data = src.read(item)
            if item.filename == "xl/worksheets/sheet1.xml":
                data = SHEET.format(s=999, tail=tail).encode()
            out.writestr(item, data)
    errors = []
    for engine in (True, False):
        with pytest.raises(vellum.WorkbookError) as e:
            vellum.read_workbook(damaged_book, engine=engine)
        errors.append(str(e.value))
    assert errors[0] == errors[1]
    assert ("IndexError" in errors[0]) == (tail == "")


ODD_URI = 'urn:a&b<c"d\te'
ODD_SHEET = (
    '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
    'xmlns:odd="urn:a&amp;b&lt;c&quot;d&#9;e"><sheetViews><sheetView workbookViewId="0" '
    'odd:v="1"><pane xSplit="1" ySplit="1" topLeftCell="B2" state="frozen"/></sheetView>'
    '</sheetViews><sheetData><row r="1"><c r="A1"><v>1</v></c></row></sheetData>'
    '<hyperlinks><hyperlink ref="A1" location="Data!B2" odd:tip="t"/></hyperlinks></worksheet>')


def test_a_namespace_uri_that_needs_escaping_is_read_laid_out_and_saved(book, tmp_path):
    # Parsed alone, a captured element is wrapped in the namespaces in force
    # around it, whose URIs are attribute values again there: one holding
    # "&", "<", a quote or a tab is well-formed where it was read and must
    # be escaped in the wrapper, whichever of the engine and the package read
    # the sheet, for its links, its layout and its save.
    odd = tmp_path / "odd.xlsx"
    with zipfile.ZipFile(book) as src, zipfile.ZipFile(odd, "w") as out:
        for item in src.infolist():
            data = ODD_SHEET.encode() if item.filename == "xl/worksheets/sheet1.xml" else src.read(item)
            out.writestr(item, data)
    want = [{"ref": "A1", "location": "Data!B2", f"{{{ODD_URI}}}tip": "t"}]
    for engine in (True, False):
        with vellum.read_workbook(odd, engine=engine) as wb:
            assert wb["Data"]._hyperlinks == want
            wb.save(tmp_path / "saved.xlsx", engine=engine)
        with vellum.read_workbook(odd, streaming=True, engine=engine) as wb:
            assert wb["Data"].layout().frozen == "B2"
        with vellum.read_workbook(tmp_path / "saved.xlsx", engine=engine) as again:
            assert again["Data"]._hyperlinks == want
        with zipfile.ZipFile(tmp_path / "saved.xlsx") as saved:
            root = ET.fromstring(saved.read("xl/worksheets/sheet1.xml"))
        assert root.find(f".//{{{MAIN_NS}}}sheetView").get(f"{{{ODD_URI}}}v") == "1"
