"""Cell formats: fonts, fills, borders, alignments, protections and number
formats set on cells, saved as deduplicated records and read back equal;
files written by XlsxWriter read as it formatted them; the records of a
workbook read kept as they were when formats are added."""
from __future__ import annotations

import datetime
import io
import pathlib
import xml.etree.ElementTree as ET
import zipfile

import pytest
import xlsxwriter
from hypothesis import given, settings, strategies as st

import vellum
from tests.api.saving import closed_after, parts, read, saved  # noqa: F401 (a fixture)
from vellum import Alignment, Border, CellFormat, Fill, Font, Protection, Side

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
KINDS = ("font", "fill", "border", "alignment", "protection", "number_format")


def shape(element):
    """An element as (local name, attributes, children), namespaces aside."""
    return (element.tag.rpartition("}")[2], sorted(element.attrib.items()),
            [shape(child) for child in element])


def records(data, name):
    """The shapes of the styles part's `name` records, in order."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        styles = next(n for n in z.namelist() if n.endswith("styles.xml"))
        root = ET.fromstring(z.read(styles))
    return [shape(e) for group in root if group.tag.endswith("}" + name + "s")
            for e in group]


@pytest.mark.parametrize("make, error", [
    (lambda: Font(color="red"), ValueError), (lambda: Font(size=0), ValueError),
    (lambda: Font(bold=1), TypeError), (lambda: Font(underline="wavy"), ValueError),
    (lambda: Fill(pattern="dots"), ValueError), (lambda: Fill(color="12345"), ValueError),
    (lambda: Side("extra thick"), ValueError), (lambda: Border(left="thin"), TypeError),
    (lambda: Alignment(horizontal="middle"), ValueError), (lambda: Alignment(indent=-1), ValueError),
    (lambda: Alignment(text_rotation=200), ValueError), (lambda: Protection(locked="no"), TypeError),
])
def test_bad_values_fail_when_built(make, error):
    with pytest.raises(error):
        make()


def test_bad_assignments_fail_when_set_and_leave_the_cell():
    ws = vellum.new_workbook().add_sheet("S")
    cell = ws.cell(1, 1, 5)
    for kind, bad in (("font", Fill()), ("border", "thin"), ("number_format", 7),
                      ("number_format", ""), ("number_format", "0\x00")):
        with pytest.raises((TypeError, ValueError)):
            setattr(cell, kind, bad)
    assert cell._style is None


colors = st.none() | st.from_regex(r"[0-9A-F]{6}", fullmatch=True).map(lambda c: "FF" + c)
fonts = st.builds(Font, name=st.sampled_from(["Calibri", "Arial", "Courier New"]),
                  size=st.sampled_from([8, 11, 14.5]), bold=st.booleans(), italic=st.booleans(),
                  underline=st.sampled_from([None, "single", "double"]), strike=st.booleans(),
                  color=colors)
fills = st.builds(Fill, pattern=st.sampled_from([None, "solid", "gray125", "darkGrid"]),
                  color=colors, background=colors)
sides = st.builds(Side, style=st.sampled_from([None, "thin", "thick", "dashed", "double"]),
                  color=colors)
borders = st.builds(Border, left=sides, right=sides, top=sides, bottom=sides)
alignments = st.builds(Alignment, horizontal=st.sampled_from([None, "left", "center", "right"]),
                       vertical=st.sampled_from([None, "top", "center"]), wrap_text=st.booleans(),
                       shrink_to_fit=st.booleans(), indent=st.integers(0, 3),
                       text_rotation=st.sampled_from([0, 45, 90, 255]))
protections = st.builds(Protection, locked=st.booleans(), hidden=st.booleans())
number_formats = st.sampled_from(["General", "0.00", "#,##0", "0.0%", '#,##0.000 "kg"',
                                  "yyyy-mm-dd", "[Red]0;[Blue]-0"])
FORMATS = dict(zip(KINDS, (fonts, fills, borders, alignments, protections, number_formats)))
formats = st.fixed_dictionaries({}, optional=FORMATS)
styled_cells = st.dictionaries(st.tuples(st.integers(1, 6), st.integers(1, 4)), formats,
                               max_size=12)


def apply(ws, cells):
    for (row, column), given in cells.items():
        cell = ws.cell(row, column, row * 10 + column)
        for kind, value in given.items():
            setattr(cell, kind, value)


def expected(cells, before=None):
    out = dict(before or {})
    for key, given in cells.items():
        out[key] = {**out.get(key, {}), **given}
    return out


def check_formats(ws, cells):
    defaults = dict(zip(KINDS, (Font(), Fill(), Border(), Alignment(), Protection(), "General")))
    for (row, column), given in cells.items():
        cell = ws.cell(row, column)
        assert {k: getattr(cell, k) for k in KINDS} == {**defaults, **given}, cell.coordinate


@settings(max_examples=60)
@given(first=styled_cells, then=styled_cells)
def test_random_formats_read_back_equal_and_deduplicated(first, then):
    book = vellum.new_workbook()
    apply(book.add_sheet("S"), first)
    data = saved(book)
    assert parts(saved(book, engine=False)) == parts(data)  # both writers, the same style ids
    fonts_used = {Font()} | {f["font"] for f in first.values() if "font" in f}
    assert len(records(data, "font")) == len(fonts_used)
    back = read(data)
    check_formats(back["S"], expected(first))
    # read in full, more formats added: the records read stay, in order
    apply(back["S"], then)
    again = saved(back)
    assert parts(saved(back, engine=False)) == parts(again)
    for name in ("font", "fill", "border"):
        assert records(again, name)[:len(records(data, name))] == records(data, name)
    check_formats(read(again)["S"], expected(then, expected(first)))


cell_formats = st.builds(CellFormat, **{k: st.none() | v for k, v in FORMATS.items()})
appended = st.lists(st.tuples(
    st.lists(st.none() | st.integers(0, 9) | st.sampled_from(["a", "b c"]), max_size=4),
    st.none() | cell_formats | st.lists(st.none() | cell_formats, max_size=5)), max_size=5)


def cells_read(data):
    ws = read(data)["S"]
    return {(c.row, c.column): (c.value, *(getattr(c, k) for k in KINDS))
            for row in ws.iter_rows() for c in row}


@settings(max_examples=40)
@given(rows=appended)
def test_appended_rows_take_formats_as_cells_given_them_one_by_one(rows):
    oracle = vellum.new_workbook()
    ws = oracle.add_sheet("S")
    for r, (values, formats) in enumerate(rows, 1):
        each = [formats] * len(values) if isinstance(formats, CellFormat) else list(formats or ())
        for c, (value, fmt) in enumerate(zip(values + [None] * len(each), each + [None] * len(values)), 1):
            if value is not None or fmt is not None:
                cell = ws.cell(r, c, value)
                for kind in KINDS:
                    if fmt is not None and getattr(fmt, kind) is not None:
                        setattr(cell, kind, getattr(fmt, kind))
    want = cells_read(saved(oracle))
    for write_only in (False, True):
        book = vellum.new_workbook(write_only=write_only)
        sheet = book.add_sheet("S")
        for values, formats in rows:
            sheet.append(values, formats=formats)
        assert cells_read(saved(book)) == want


def test_a_date_gets_a_date_format_and_keeps_its_other_formats():
    book = vellum.new_workbook()
    ws = book.add_sheet("S")
    ws["A1"].font = Font(bold=True)
    ws["A1"].number_format = "0.00"
    ws["A1"] = datetime.date(2024, 3, 5)
    cell = read(saved(book))["S"]["A1"]
    assert cell.value == datetime.datetime(2024, 3, 5) and cell.font == Font(bold=True)
    assert cell.is_date


def test_formats_written_by_xlsxwriter_read_as_set(tmp_path):
    path = tmp_path / "x.xlsx"
    xb = xlsxwriter.Workbook(str(path))
    xs = xb.add_worksheet("S")
    xs.write(0, 0, 1.5, xb.add_format({
        "bold": True, "italic": True, "font_name": "Arial", "font_size": 13,
        "font_color": "#1F497D", "underline": 2, "bg_color": "#FFFF00", "border": 2,
        "border_color": "#FF0000", "align": "center", "valign": "top", "text_wrap": True,
        "rotation": 45, "num_format": "0.000", "locked": False, "hidden": True}))
    xs.write(1, 0, 2, xb.add_format({"pattern": 17, "fg_color": "#00FF00", "indent": 2,
                                     "shrink": True, "font_strikeout": True}))
    xb.close()
    ws = read(path)["S"]
    a1, a2 = ws["A1"], ws["A2"]
    assert a1.font == Font("Arial", 13, bold=True, italic=True, underline="double",
                           color="1F497D")
    assert a1.fill == Fill("solid", "FFFF00")
    assert a1.border == Border.all("medium", "FF0000")
    assert a1.alignment == Alignment("center", "top", wrap_text=True, text_rotation=45)
    assert (a1.number_format, a1.protection) == ("0.000", Protection(False, True))
    assert a2.fill.pattern == "gray125" and a2.fill.color == "FF00FF00"
    assert a2.alignment == Alignment("left", indent=2, shrink_to_fit=True) and a2.font.strike


STYLED = ["closedxml__Formulas.xlsx", "poi__sample.strict.xlsx",
          "sheetjs-test_files__comments_stress_test.xlsx"]


@pytest.mark.parametrize("name", STYLED)
def test_a_read_workbook_keeps_every_cells_formats_when_formats_are_added(name):
    if not (CORPUS / name).exists():
        pytest.skip("corpus file missing")
    data = (CORPUS / name).read_bytes()
    book = read(data)
    ws = book.worksheets[0]
    at = (ws.max_row + 1, 1)
    ws.cell(*at)  # unstyled: the workbook's first records, not the defaults of the objects
    before = {(c.row, c.column): {k: getattr(c, k) for k in KINDS}
              for row in ws.iter_rows() for c in row}
    new = {"font": Font("Georgia", 17, bold=True, color="00AA00"), "fill": Fill(color="FFEEDD"),
           "number_format": '0.0 "m"'}
    apply(ws, {at: new})
    out = saved(book)
    for kind in ("font", "fill", "border"):
        assert records(out, kind)[:len(records(data, kind))] == records(data, kind)
    check_formats(read(out).worksheets[0], expected({at: new}, before))
