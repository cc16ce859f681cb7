"""New workbooks opened by a real application: LibreOffice, headless,
converts each (every value type, both serialiser modes) to CSV, every sheet,
formulas as their text, and every cell must show what was written; each is
also read back through our reader. Workbooks that were read and saved again
are `tests/api/test_edit_libreoffice.py`'s.

Marked ``libreoffice``: skipped without soffice, failed instead where
VELLUM_REQUIRE_LIBREOFFICE is set (CI)."""
import datetime
import decimal
import math

import pytest

import vellum
from fuzz.targets import resave_book
from tests.api.shown import export, sheet_grid
from vellum.reference.styles import StyleArray

pytestmark = pytest.mark.libreoffice
# LibreOffice's CSV of raw values and formulas as their text, every sheet
RAW = "csv:Text - txt - csv (StarCalc):44,34,76,1,,1033,false,true,false,true,false,-1"

WHEN = datetime.datetime(1999, 12, 31, 23, 59, 58)
ROWS = [
    [1, -2.5, 1e300, 1.2345678901234567e-300, 0.1, 2**53, -0.0, 123456789012.25],
    [True, False, "héllo 中文 😀", "tab\there", "line\nfeed", "cr\rhere", "crlf\r\n",
     'q"&<>\'', "  pad  ", "_x0041_", "a]]>b"],
    [datetime.date(2024, 2, 29), datetime.time(13, 45, 30), WHEN, datetime.date(1900, 3, 1),
     datetime.timedelta(days=1, hours=2, minutes=3)],
    ["=1+2", "=SUM(A1:B1)", '="a"&"b"', "=A1*2"],
]
# NaN and infinities, saved as error values on request, and what they show
NONFINITE = [float("nan"), float("inf"), float("-inf"), decimal.Decimal("NaN"), decimal.Decimal("-Infinity")]
ERRORS = ["#NUM!", "#DIV/0!", "#DIV/0!", "#NUM!", "#DIV/0!"]
# A sheet read as it is: dates typed "d" (ISO 8601 text) under the General
# format and under a date format
ISO_DATES = ('<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>'
             '<row r="1"><c r="A1" t="d"><v>2020-01-02T03:04:05</v></c><c r="B1" t="d" s="1">'
             '<v>2020-01-02</v></c><c r="C1" t="d"><v>13:45:30</v></c><c r="D1"><v>2.5</v></c></row>'
             '</sheetData></worksheet>')


def new_book(lxml):
    """A new workbook with every value type, a styled cell, hyperlinks and
    a second sheet."""
    book = vellum.new_workbook(lxml=lxml)
    ws = book.add_sheet("Values")
    for row in ROWS:
        ws.append(row)
    ws.cell(5, 1, "site").hyperlink = "https://example.org/?a=1&b=2"
    ws.cell(5, 2, "back").hyperlink = "#Values!A1"
    styled = ws.cell(5, 3, 7.25)
    style = StyleArray()
    style.fontId, style.numFmtId = 0, 2  # "0.00"
    styled._style = style
    book.add_sheet("Zwei & drei").append(["x", 2, None, "y"])
    book.nan_inf_to_errors = True
    ws.cell(6, 1, NONFINITE[0])
    ws.append(NONFINITE[1:])
    return book


def new_values():
    values = {(r, c): v for r, row in enumerate(ROWS, 1) for c, v in enumerate(row, 1)}
    values.update({(5, 1): "site", (5, 2): "back", (5, 3): 7.25, (6, 1): ERRORS[0]})
    values.update({(7, c): v for c, v in enumerate(ERRORS[1:], 1)})
    return [values, {(1, 1): "x", (1, 2): 2, (1, 4): "y"}]


def write_only_book(lxml):
    """A write-only workbook: the same rows, streamed, and the error values."""
    book = vellum.new_workbook(write_only=True, lxml=lxml, nan_inf_to_errors=True)
    ws = book.add_sheet("Values")
    for row in ROWS + [NONFINITE]:
        ws.append(row)
    return book


def write_only_values():
    values = {(r, c): v for r, row in enumerate(ROWS, 1) for c, v in enumerate(row, 1)}
    values.update({(len(ROWS) + 1, c): v for c, v in enumerate(ERRORS, 1)})
    return [values]


def read_as(value):
    """What our reader gives for a value written: dates as date-times at
    midnight."""
    if type(value) is datetime.date:
        return datetime.datetime.combine(value, datetime.time())
    return value


def ours(path):
    """Every sheet's non-empty values through our reader, with its name."""
    with vellum.read_workbook(path) as book:
        return [(str(ws.title), {k: read_as(v) for k in list(ws._cells)
                                 if (v := ws._cells[k].value) not in (None, "")})
                for ws in book]


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """Both modes written, then one LibreOffice run over them: (folder,
    {label: saved path})."""
    out = tmp_path_factory.mktemp("libreoffice")
    files = {}
    for lxml in (False, True):
        path = out / f"new-{'lxml' if lxml else 'std'}.xlsx"
        new_book(lxml).save(path)
        files[path.stem] = path
        path = out / f"write-only-{'lxml' if lxml else 'std'}.xlsx"
        write_only_book(lxml).save(path)
        files[path.stem] = path
    export(files.values(), out, RAW)
    # a sheet read as it is and written again, both as LibreOffice shows them
    original = out / "iso-dates.xlsx"
    original.write_bytes(resave_book(ISO_DATES))
    with vellum.read_workbook(original) as book:
        book[0]["D1"] = 2.5  # written again, not copied
        book.save(out / "saved-iso-dates.xlsx")
    export([original, out / "saved-iso-dates.xlsx"], out / "shown")
    return out, files


def matches(text, value):
    """Whether LibreOffice's raw text of a cell shows `value`: numbers to
    its 15 significant digits, dates and times in its en-US formats."""
    if isinstance(value, bool):
        return text in (f"={value}()".upper(), str(value).upper())
    if value in ERRORS:
        return text in (value, "=" + value)
    if isinstance(value, (int, float)):
        return math.isclose(float(text.rstrip("%")) / (100 if text.endswith("%") else 1),
                            value, rel_tol=5e-15, abs_tol=1e-300)
    if isinstance(value, datetime.timedelta):
        h, m, s = text.split(":")
        return datetime.timedelta(hours=int(h), minutes=int(m), seconds=int(s)) == value
    for kind, fmt in ((datetime.datetime, "%m/%d/%Y %H:%M:%S"), (datetime.date, "%m/%d/%Y"),
                      (datetime.time, "%I:%M:%S %p")):
        if isinstance(value, kind):
            got = datetime.datetime.strptime(text, fmt)
            return (got if kind is datetime.datetime else
                    got.date() if kind is datetime.date else got.time()) == value
    # a line break is one paragraph end to LibreOffice, however it was written
    return text == value.replace("\r\n", "\n")


@pytest.mark.parametrize("kind", ["new", "write-only"])
@pytest.mark.parametrize("mode", ["std", "lxml"])
def test_new_workbook_opens_with_its_values(converted, kind, mode):
    out, files = converted
    path = files[f"{kind}-{mode}"]
    sheets = new_values() if kind == "new" else write_only_values()
    want = [{k: v for k, v in sheet.items() if v != ""} for sheet in sheets]
    read = ours(path)
    assert [name for name, _ in read] == ["Values", "Zwei & drei"][:len(want)]
    assert [values for _, values in read] == [{k: read_as(v) for k, v in sheet.items()}
                                              for sheet in want]
    for (name, _), values in zip(read, want):
        cells = sheet_grid(out, path, name)
        assert cells.keys() == values.keys(), name
        wrong = {k: (cells[k], v) for k, v in values.items()
                 if not matches(cells[k], v)}
        assert not wrong, f"LibreOffice shows otherwise in {name}: {wrong}"


def test_dates_read_without_a_date_format_show_as_dates(converted):
    # LibreOffice shows a date typed "d" under General as its serial number;
    # saved, it has a date format and shows as the date it reads back as
    out, _ = converted
    saved = sheet_grid(out / "shown", "saved-iso-dates.xlsx", "S")
    before = sheet_grid(out / "shown", "iso-dates.xlsx", "S")
    assert float(before.pop((1, 1))) == pytest.approx(43832.1278356482)
    assert saved.pop((1, 1)) == "1/2/2020 3:04"
    assert saved == before
