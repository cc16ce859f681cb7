"""Opening workbooks and streaming their sheets: workbooks written with
XlsxWriter whose contents are known, the real files of the corpus, and the
switch from the engine to the package's reader."""
import csv
import io
import datetime
import pathlib
import zipfile

import pytest
import xlsxwriter

import vellum
from vellum import _vellum
from vellum import workbook as wb
from vellum.reference.sheet import SheetReader
from vellum.workbook import Workbook, WorkbookError, format_kind
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "corpus" / "xlsx"


def write_book(path, date_1904=False):
    book = xlsxwriter.Workbook(str(path), {"date_1904": date_1904})
    fmt = {name: book.add_format({"num_format": code}) for name, code in [
        ("date", "yyyy-mm-dd"), ("time", "hh:mm:ss"), ("elapsed", "[h]:mm"),
        ("quoted", '0.00 "days"'), ("money", "#,##0.00"), ("builtin", 14)]}
    s = book.add_worksheet("First")
    s.write_row(0, 0, ["text", 42, 2.5, True, None, "tail"])
    s.write_datetime(1, 0, datetime.datetime(2024, 2, 29, 6, 30), fmt["date"])
    s.write_datetime(1, 1, datetime.time(18, 0), fmt["time"])
    s.write_number(1, 2, 1.5, fmt["elapsed"])
    s.write_number(1, 3, 3, fmt["quoted"])
    s.write_number(1, 4, 1234.5, fmt["money"])
    s.write_datetime(1, 5, datetime.date(1999, 12, 31), fmt["builtin"])
    s.write_formula(3, 0, "=B1*2", None, 84)
    s.write_array_formula(3, 1, 4, 1, "{=A1:A2}")
    s.merge_range("C5:D5", "merged")
    s.write_url(5, 0, "https://example.invalid/", string="link")
    s.set_row(6, 30)
    s.write_string(6, 0, "tall")
    second = book.add_worksheet("Second sheet")
    for r in range(300):
        second.write_row(r, 0, [r, f"row {r}", f"shared {r % 7}"])
    chart = book.add_chart({"type": "line"})
    chart.add_series({"values": "='Second sheet'!$A$1:$A$5"})
    book.add_chartsheet("Chart").set_chart(chart)  # not a worksheet
    book.add_worksheet("Empty")
    book.close()
    return path


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    folder = tmp_path_factory.mktemp("books")
    return {epoch: write_book(folder / f"{epoch}.xlsx", epoch == "1904") for epoch in ("1900", "1904")}


def test_sheets_epoch_and_date_styles(books):
    with Workbook(books["1900"]) as book:
        assert [s.name for s in book.sheets] == ["First", "Second sheet", "Empty"]
        assert book.epoch == WINDOWS_EPOCH
        assert len(book.date_formats) == 4 and len(book.timedelta_formats) == 1
        assert book.timedelta_formats < book.date_formats
    with Workbook(books["1904"]) as book:
        assert book.epoch == MAC_EPOCH


@pytest.mark.parametrize("epoch", ["1900", "1904"])
def test_values_are_those_written(books, epoch):
    with Workbook(books[epoch]) as book:
        rows = list(book.iter_rows("First"))
        assert rows[0] == ("text", 42, 2.5, True, None, "tail")
        assert rows[1] == (datetime.datetime(2024, 2, 29, 6, 30), datetime.time(18, 0),
                           datetime.timedelta(hours=36), 3, 1234.5, datetime.datetime(1999, 12, 31))
        assert rows[2][:2] == ("=B1*2", rows[2][1])
        assert rows[2][1].text == "=A1:A2" and rows[2][1].ref == "B4:B5"
        assert rows[4][0] == "link" and rows[5] == ("tall",)
        second = list(book.iter_rows("Second sheet", min_col=2, max_col=4))
        assert second == [(f"row {r}", f"shared {r % 7}", None) for r in range(300)]
        assert list(book.iter_rows("Empty")) == []


def test_raw_rows_actions_and_row_dimensions(books):
    with Workbook(books["1900"]) as book:
        rows, actions, dims = book.read_sheet("First")
    assert [idx for idx, _ in rows] == [1, 2, 4, 5, 6, 7]
    assert rows[1][1][0][2:] == (datetime.datetime(2024, 2, 29, 6, 30), "d", 1)
    tags = [a[1].split(b" ")[0].split(b">")[0] for a in actions]
    assert tags == [b"<dimension", b"<sheetViews", b"<sheetFormatPr", b"<mergeCells",
                    b"<hyperlinks", b"<pageMargins"]
    assert dims["7"]["ht"] == "30"


@pytest.mark.parametrize("code, kind", [
    ("yyyy-mm-dd", "date"), ("d/m/yy h:mm", "date"), ("mmm", "date"), ("h:mm AM/PM", "date"),
    ("[h]:mm:ss", "timedelta"), ("[mm]:ss", "timedelta"), ("[ss].0", "timedelta"),
    ("0.00", None), ("General", None), ('0 "days"', None), ("#,##0 \\m", None),
    ("[Red]0.00", None), ("[$-409]mmmm d", "date"), ("0;[Red]dd", None), ("@", None),
    ("0.0E+00", None), ("_(* #,##0_)", None),
])
def test_format_kind(code, kind):
    assert format_kind(code) == kind


def test_user_errors(tmp_path):
    with pytest.raises(WorkbookError, match="no such file"):
        Workbook(tmp_path / "missing.xlsx")
    (tmp_path / "text.xlsx").write_text("hello")
    with pytest.raises(WorkbookError, match="not an xlsx workbook"):
        Workbook(tmp_path / "text.xlsx")
    with zipfile.ZipFile(tmp_path / "other.zip", "w") as z:
        z.writestr("a.txt", "a")
    with pytest.raises(WorkbookError, match="not an xlsx workbook"):
        Workbook(tmp_path / "other.zip")
    with pytest.raises(WorkbookError, match="a directory"):
        Workbook(tmp_path)
    data = (tmp_path / "other.zip").read_bytes()
    at = data.find(b"PK\x01\x02") + 6  # the version needed to extract the member
    with pytest.raises(WorkbookError, match="not an xlsx workbook.*zip file version"):
        Workbook(io.BytesIO(data[:at] + b"\xff" + data[at + 1:]))
    unseekable = io.BufferedReader(io.BytesIO(data))
    unseekable.seekable = lambda: False
    with open(tmp_path / "text.xlsx") as text:
        for source, message in [(data, "wrap the bytes in io.BytesIO"), (3, "not int"),
                                (text, "mode 'rb'"), (unseekable, "can seek")]:
            with pytest.raises(TypeError, match=message):
                Workbook(source)


def test_a_part_is_read_whole_from_thousands_of_pieces():
    """A member read gives what one piece of compressed input inflates to,
    so a poorly compressed part comes in thousands of pieces: read whole,
    and refused once past the limit."""
    from vellum.archive import Bounded

    class Pieces(io.RawIOBase):
        def __init__(self, size):
            self.left = size

        def readable(self):
            return True

        def read(self, n=-1):
            k = min(1024, self.left, n)
            self.left -= k
            return b"x" * k

    def too_large():
        return WorkbookError("too large")

    assert Bounded(Pieces(4 << 20), 4 << 20, too_large).read() == b"x" * (4 << 20)
    with pytest.raises(WorkbookError, match="too large"):
        Bounded(Pieces((4 << 20) + 1), 4 << 20, too_large).read()


def test_a_sheet_whose_part_is_missing_is_left_out_with_a_warning(tmp_path):
    path = tmp_path / "two.xlsx"
    book = xlsxwriter.Workbook(str(path))
    book.add_worksheet("kept").write(0, 0, "here")
    book.add_worksheet("lost").write(0, 0, "gone")
    book.close()
    for drop, message in [("xl/worksheets/sheet2.xml", "its part xl/worksheets/sheet2.xml is missing"),
                          ("xl/_rels/workbook.xml.rels", "its relationship rId[12] is missing")]:
        damaged = tmp_path / "damaged.xlsx"
        with zipfile.ZipFile(path) as src, zipfile.ZipFile(damaged, "w") as out:
            for info in src.infolist():
                data = src.read(info)
                if info.filename != drop:
                    out.writestr(info, data)
        with pytest.warns(UserWarning, match="sheet '(lost|kept)' is left out: " + message):
            with vellum.read_workbook(damaged, streaming=True) as again:
                names = again.sheet_names
        assert names == (["kept"] if "sheet2" in drop else [])


def test_unknown_sheet(books):
    with Workbook(books["1900"]) as book, pytest.raises(WorkbookError, match="'First'"):
        book.sheet("Nope")


def test_doctype_in_a_part_is_refused(tmp_path, books):
    data = zipfile.ZipFile(books["1900"]).read("xl/workbook.xml")
    bomb = data.replace(b"?>", b'?><!DOCTYPE w [<!ENTITY a "aaaa">]>', 1)
    path = tmp_path / "bomb.xlsx"
    with zipfile.ZipFile(books["1900"]) as src, zipfile.ZipFile(path, "w") as dst:
        for info in src.infolist():
            dst.writestr(info, bomb if info.filename == "xl/workbook.xml" else src.read(info))
    with pytest.raises(WorkbookError, match="DOCTYPE"):
        Workbook(path)


class StumblingReader:
    """An engine stand-in: the package's reader that gives up after a while."""

    fail_after = 0
    made = 0

    def __init__(self, source, parser, helpers):
        type(self).made += 1
        self.inner = SheetReader(source, parser, helpers)
        self.actions = self.inner.actions
        self.rows = 0

    def next_raw(self):
        if self.rows == self.fail_after:
            raise _vellum.NativeFallback("unsupported: test")
        self.rows += 1
        return self.inner.next_raw()

    def next_row(self, *args):
        if self.rows == self.fail_after:
            raise _vellum.NativeFallback("unsupported: test")
        self.rows += 1
        return self.inner.next_row(*args)


@pytest.mark.parametrize("fail_after", [0, 1, 150, 10_000])
def test_engine_fallback_gives_one_uninterrupted_sequence(books, monkeypatch, fail_after):
    monkeypatch.setattr(_vellum, "RowReader", StumblingReader, raising=False)
    monkeypatch.setattr(StumblingReader, "fail_after", fail_after)
    monkeypatch.setattr(StumblingReader, "made", 0)
    with Workbook(books["1900"], engine=False) as book:
        want_raw, want_actions, _ = book.read_sheet("Second sheet")
        want = list(book.iter_rows("Second sheet"))
    with Workbook(books["1900"]) as book:
        stream = book.stream("Second sheet")
        raw = []
        while (row := stream.next_raw()) is not None:
            raw.append(row)
        assert (raw, stream.actions) == (want_raw, want_actions)
        assert stream.native == (fail_after > 300)
        assert list(book.iter_rows("Second sheet")) == want
    assert StumblingReader.made == 2


def corpus_files():
    if not CORPUS.is_dir():
        return []
    with open(CORPUS / "MANIFEST.tsv", newline="") as f:
        return [pytest.param(e, id=e["file"]) for e in csv.DictReader(f, delimiter="\t")]


# Files whose parts a reader must refuse: they are not well-formed, or their
# shared strings declare entities.
REFUSED = {
    "exceljs__invalid-xml.xlsx": "syntax error",
    "openspout__one_sheet_with_invalid_xml_characters.xlsx": "not well-formed",
    "openspout__attack_billion_laughs.xlsx": "DOCTYPE",
    "poi__poc-xmlbomb.xlsx": "DOCTYPE",
}


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
@pytest.mark.parametrize("entry", corpus_files())
def test_corpus_every_sheet_streams(entry):
    name = entry["file"]
    path = CORPUS / name
    if name in REFUSED:
        with pytest.raises(Exception, match=REFUSED[name]):
            with Workbook(path, engine=False) as book:
                for sheet in book.sheets:
                    book.read_sheet(sheet.name)
        return
    with Workbook(path, engine=False) as book:
        with Workbook(path) as native:  # the engine's string table, where it has one
            assert native.shared_strings == book.shared_strings
        assert book.sheets or "chartsheet" in entry["note"]
        cells = 0
        for sheet in book.sheets:
            rows, actions, _ = book.read_sheet(sheet.name)
            for idx, row in rows:
                assert all(isinstance(c[0], int) and isinstance(c[1], int) for c in row)
                cells += len(row)
            for action in actions:
                if action[0] == "element":
                    _, data, namespaces = action
                    assert data.startswith(b"<") and data.endswith(b">")
                    assert all(isinstance(p, str) and isinstance(u, str) for p, u in namespaces)
                else:
                    assert action[0] == "warn" and isinstance(action[1], str)
        assert (cells > 0) == (" cells=0 " not in entry["note"])  # Strict sheets too


def test_corpus_known_files():
    if not CORPUS.is_dir():
        pytest.skip("no corpus beside the checkout")
    with Workbook(CORPUS / "calamine__date_1904.xlsx", engine=False) as book:
        assert book.epoch == MAC_EPOCH
        values = [v for row in book.iter_rows() for v in row]
        assert datetime.datetime(2021, 1, 1) in values
        assert datetime.timedelta(days=10, hours=15, minutes=10, seconds=10) in values
    with Workbook(CORPUS / "calamine__empty_shared_string.xlsx", engine=False) as book:
        assert book.shared_strings[1] == ""
        assert list(book.iter_rows()) == [("abc",), ("",)]
    with Workbook(CORPUS / "exceldatareader__Test10x10000.xlsx", engine=False) as book:
        rows = list(book.iter_rows())
        assert len(rows) == 10000 and rows[1] == tuple(f"1x{c}" for c in range(1, 11))
    with Workbook(CORPUS / "calamine__shared_formula_simple.xlsx", engine=False) as book:
        formulas = [v for row in book.iter_rows() for v in row if isinstance(v, str)]
        assert len(formulas) == 3 and len(set(formulas)) == 3


def test_workbook_from_bytes(books):
    with wb.open_bytes(pathlib.Path(books["1900"]).read_bytes()) as book:
        assert len(list(book.iter_rows("Second sheet"))) == 300


def test_append_goes_after_the_last_row_with_cells():
    ws = vellum.new_workbook().add_sheet("S")
    ws.append([1, None, 3])
    ws.append([])
    ws.cell(7, 2, "x")
    ws.cell(5, 1)  # an empty cell made below the last row moves nothing
    ws.append(["after"])
    assert [(k, ws._cells[k].value) for k in sorted(ws._cells)] == [
        ((1, 1), 1), ((1, 3), 3), ((5, 1), None), ((7, 2), "x"), ((8, 1), "after")]
