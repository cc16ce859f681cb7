"""Strict workbooks read with the values of their transitional twins: twins
made by renaming the namespaces of XlsxWriter workbooks, and the Strict
files of the corpus."""
import csv
import io
import pathlib
import zipfile

import pytest

import vellum
from vellum import _vellum
from vellum.reference import Parser, make_helpers
from vellum.reference.sheet import SheetReader
from vellum.workbook import Workbook, WorkbookError

from test_workbook import write_book

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"

TO_STRICT = [
    (b"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
     b"http://purl.oclc.org/ooxml/spreadsheetml/main"),
    # the r: namespace and every relationship type under it
    (b"http://schemas.openxmlformats.org/officeDocument/2006/relationships",
     b"http://purl.oclc.org/ooxml/officeDocument/relationships"),
]


def strict_twin(src, dst):
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            data = zin.read(info)
            for old, new in TO_STRICT:
                data = data.replace(old, new)
            zout.writestr(info, data)
    return dst


@pytest.fixture(scope="module")
def twins(tmp_path_factory):
    folder = tmp_path_factory.mktemp("strict")
    plain = write_book(folder / "plain.xlsx")
    return plain, strict_twin(plain, folder / "strict.xlsx")


def as_strict(actions):
    out = []
    for action in actions:
        if action[0] == "element":
            data, namespaces = action[1], action[2]
            for old, new in TO_STRICT:
                data = data.replace(old, new)
                namespaces = [(p, u.replace(old.decode(), new.decode())) for p, u in namespaces]
            action = ("element", data, namespaces)
        out.append(action)
    return out


def test_pure_path_reads_the_strict_twin_alike(twins):
    plain, strict = twins
    with Workbook(plain, engine=False) as a, Workbook(strict, engine=False) as b:
        assert b.sheet_names == a.sheet_names and b.epoch == a.epoch
        assert (b.date_formats, b.shared_strings) == (a.date_formats, a.shared_strings)
        for name in a.sheet_names:
            rows, actions, dims = a.read_sheet(name)
            assert b.read_sheet(name) == (rows, as_strict(actions), dims)


@pytest.mark.parametrize("data_only", [False, True])
def test_api_reads_the_strict_twin_alike(twins, data_only):
    plain, strict = twins
    with vellum.read_workbook(plain, data_only=data_only) as a, \
            vellum.read_workbook(strict, data_only=data_only) as b:
        for ws in a:
            assert list(b[ws.name].iter_rows(values_only=True)) == list(ws.iter_rows(values_only=True))


def test_engine_reads_strict_sheets_as_the_pure_path(twins):
    _, strict = twins
    with Workbook(strict, engine=False) as book:
        for sheet in book.sheets:
            data = book._archive.zip.read(sheet.part)
            native = _vellum.RowReader(io.BytesIO(data), book.parser(), book.helpers)
            pure = SheetReader(io.BytesIO(data), book.parser(), book.helpers)
            got, want = [], []
            while (row := native.next_raw()) is not None:
                got.append(row)
            while (row := pure.next_raw()) is not None:
                want.append(row)
            assert (got, native.actions) == (want, pure.actions)
            assert want or sheet.name == "Empty"


def strict_corpus():
    if not CORPUS.is_dir():
        return []
    with open(CORPUS / "MANIFEST.tsv", newline="") as f:
        return [pytest.param(e, id=e["file"]) for e in csv.DictReader(f, delimiter="\t")
                if " strict " in e["note"] + " "]


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
@pytest.mark.parametrize("entry", strict_corpus())
def test_strict_corpus_files_are_read(entry):
    path = CORPUS / entry["file"]
    cells = int(entry["note"].split(" cells=")[1].split()[0])
    with vellum.read_workbook(path, engine=False) as pure, vellum.read_workbook(path) as book:
        got = 0
        for ws in pure:
            rows = list(ws.iter_rows(values_only=True))
            assert list(book[ws.name].iter_rows(values_only=True)) == rows
            got += sum(v is not None for row in rows for v in row)
        assert got > 0 and got <= cells


def test_a_sheet_in_no_known_namespace_is_an_error(twins, tmp_path):
    plain, _ = twins
    odd = tmp_path / "odd.xlsx"
    with zipfile.ZipFile(plain) as zin, zipfile.ZipFile(odd, "w") as zout:
        for info in zin.infolist():
            data = zin.read(info)
            if info.filename.startswith("xl/worksheets/"):
                data = data.replace(TO_STRICT[0][0], b"urn:example:other")
            zout.writestr(info, data)
    with vellum.read_workbook(odd, streaming=True) as book, \
            pytest.raises(WorkbookError, match="urn:example:other worksheet"):
        list(book[0].iter_rows())
    with pytest.raises(WorkbookError, match="urn:example:other worksheet"):
        vellum.read_workbook(odd)
