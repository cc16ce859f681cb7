"""Errors a user can catch: a file that cannot be opened is both a
WorkbookError and the OSError Python raises for it; an empty or cut-off
file says so at every length; sheet lookups are KeyError and IndexError
that list the sheets, and find a name in other letter case; a closed
workbook says it is closed; every message names the file."""
import errno
import io
import zipfile

import pytest
import xlsxwriter

import vellum
from vellum.errors import (ClosedWorkbookError, SheetIndexError, SheetNotFoundError, WorkbookError,
                           file_error)

WAYS = [dict(), dict(streaming=True), dict(engine=False)]


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    target = tmp_path_factory.mktemp("errors") / "book.xlsx"
    book = xlsxwriter.Workbook(str(target))
    book.add_worksheet("Data").write_column(0, 0, list(range(3000)))
    book.add_worksheet("Notes").write(0, 0, "note")
    book.close()
    return target


def rewritten(path, target, part, change):
    """The workbook at `path` copied to `target` with one part changed."""
    with zipfile.ZipFile(path) as src, zipfile.ZipFile(target, "w") as out:
        for info in src.infolist():
            data = src.read(info)
            out.writestr(info, change(data) if info.filename == part else data)
    return target


@pytest.mark.parametrize("options", WAYS)
def test_a_file_that_cannot_be_opened_is_also_the_oserror(tmp_path, options):
    missing = tmp_path / "missing.xlsx"
    with pytest.raises(FileNotFoundError) as e:
        vellum.read_workbook(missing, **options)
    assert isinstance(e.value, WorkbookError)
    assert (e.value.errno, e.value.filename, str(e.value)) == (errno.ENOENT, str(missing),
                                                               f"no such file: {missing}")
    with pytest.raises(IsADirectoryError) as e:
        vellum.read_workbook(tmp_path, **options)
    assert isinstance(e.value, WorkbookError) and str(tmp_path) in str(e.value)


def test_each_oserror_of_opening_has_its_kind():
    for error, kind in [(FileNotFoundError(errno.ENOENT, "x"), FileNotFoundError),
                        (IsADirectoryError(errno.EISDIR, "x"), IsADirectoryError),
                        (PermissionError(errno.EACCES, "x"), PermissionError)]:
        found = file_error("f.xlsx", error)
        assert isinstance(found, kind) and isinstance(found, WorkbookError)
        assert "f.xlsx" in str(found) and found.errno == error.errno
    other = file_error("f.xlsx", OSError(errno.EIO, "Input/output error"))
    assert type(other) is WorkbookError and str(other) == "f.xlsx cannot be read (Input/output error)"


def test_empty_and_cut_off_files_say_so(path, tmp_path):
    data = path.read_bytes()
    empty = tmp_path / "empty.xlsx"
    empty.write_bytes(b"")
    with pytest.raises(WorkbookError, match=f"^{empty} is empty \\(0 bytes\\), not an xlsx workbook$"):
        vellum.read_workbook(empty)
    # cut anywhere: the end of the archive is missing, whatever the source
    for cut in range(4, len(data), 97):
        source = io.BytesIO(data[:cut])
        with pytest.raises(WorkbookError, match=f"^<workbook> is truncated: .* after {cut:,} bytes"):
            vellum.read_workbook(source, streaming=True)
    (tmp_path / "text.xlsx").write_text("hello")
    with pytest.raises(WorkbookError, match="text.xlsx is not an xlsx workbook"):
        vellum.read_workbook(tmp_path / "text.xlsx")


@pytest.mark.parametrize("options", WAYS)
def test_sheet_lookups(path, options):
    with vellum.read_workbook(path, **options) as book:
        assert book["notes"].name == book["NOTES"].name == book[-1].name == "Notes"
        with pytest.raises(KeyError) as e:
            book["Nope"]
        assert type(e.value) is SheetNotFoundError and isinstance(e.value, WorkbookError)
        assert str(e.value) == f"no sheet named 'Nope' in {path} (its sheets: 0: 'Data', 1: 'Notes')"
        for at in (2, -3):
            with pytest.raises(IndexError) as e:
                book[at]
            assert type(e.value) is SheetIndexError
            assert str(e.value) == f"no sheet at position {at} in {path}, which has 2 (0: 'Data', 1: 'Notes')"
        with pytest.raises(TypeError, match="by name or position, not by float"):
            book[1.0]
        assert book.sheet("DATA").name == "Data"


def test_a_name_in_other_case_must_be_unambiguous(path, tmp_path):
    names = rewritten(path, tmp_path / "names.xlsx", "xl/workbook.xml",
                      lambda x: x.replace(b'"Data"', b'"data"').replace(b'"Notes"', b'"DATA"'))
    with vellum.read_workbook(names, streaming=True) as book:
        assert book["DATA"].name == "DATA" and book["data"].name == "data"  # the exact name first
        with pytest.raises(SheetNotFoundError, match="^2 sheets named 'Data' in other letter case in "):
            book["Data"]


def test_a_long_list_of_sheets_is_cut_short(tmp_path):
    target = tmp_path / "many.xlsx"
    book = xlsxwriter.Workbook(str(target))
    for i in range(30):
        book.add_worksheet(f"S{i}")
    book.close()
    with vellum.read_workbook(target) as book, pytest.raises(KeyError) as e:
        book["nope"]
    assert str(e.value).endswith("19: 'S19' and 10 more)")


def test_a_closed_workbook_says_so(path):
    message = f"^workbook {path} is closed$"
    book = vellum.read_workbook(path, streaming=True)
    rows = book["Data"].iter_rows(values_only=True)
    assert next(rows) == (0,)
    book.close()
    for engine in (True, False):
        book.engine = engine
        with pytest.raises(ValueError, match=message) as e:
            list(book["Data"].iter_rows())
        assert isinstance(e.value, ClosedWorkbookError)
        with pytest.raises(ValueError, match=message):
            book["Notes"].layout()
    # rows already being read when the workbook closed are read to the end
    assert [r[0] for r in rows] == list(range(1, 3000))
    # a sheet read in full is in memory: it is read after a close as before
    with vellum.read_workbook(path) as book:
        sheet = book["Notes"]
    assert sheet["A1"].value == "note"


@pytest.mark.parametrize("part", ["xl/workbook.xml", "xl/_rels/workbook.xml.rels", "xl/styles.xml",
                                  "xl/sharedStrings.xml", "xl/worksheets/sheet2.xml"])
def test_a_doctype_is_refused_naming_the_file_and_part(path, tmp_path, part):
    target = rewritten(path, tmp_path / "doctype.xlsx", part,
                       lambda x: x.replace(b"?>", b'?><!DOCTYPE w [<!ENTITY a "aaaa">]>', 1))
    for options in WAYS:
        with pytest.raises(WorkbookError) as e:
            with vellum.read_workbook(target, **options) as book:
                list(book["Notes"].iter_rows())
        assert str(e.value).startswith(f"{target}: part {part} ") and "DOCTYPE" in str(e.value)
