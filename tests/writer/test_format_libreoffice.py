"""A formatted report opened by a real application: one workbook using every
cell format and every layout setting, saved new and saved again after an
edit, converted by LibreOffice (headless) to xlsx and to CSV as shown.
LibreOffice's copy, read back with vellum, has the same formats and
layout; its CSV shows the values through their number formats.

Marked ``libreoffice``: skipped without soffice, failed instead where
VELLUM_REQUIRE_LIBREOFFICE is set (CI)."""
import dataclasses
import datetime
import re

import pytest

import vellum
from tests.api.saving import closed_after, read  # noqa: F401 (a fixture)
from tests.api.shown import export, sheet_grid, soffice
from vellum import Alignment, Border, Fill, Font, Protection, Side

pytestmark = pytest.mark.libreoffice

ROWS = [["region", "amount", "share", "when", "note"],
        ["north", 1200.5, 0.25, datetime.date(2024, 3, 5), "a long note that wraps"],
        ["south", 980, 0.75, datetime.date(2024, 4, 6), "x"]]
HEADER = Font("Arial", 14, bold=True, italic=True, underline="single", strike=True,
              color="C00000")
FORMATS = {
    "A1": {"font": HEADER, "fill": Fill(color="FFFF00")},
    "B1": {"font": HEADER, "border": Border(Side("thin", "FF0000"), Side("double"),
                                            Side("dashed", "00FF00"), Side("thick"))},
    "C1": {"alignment": Alignment("center", "top", wrap_text=True)},
    "E2": {"alignment": Alignment("left", indent=2)},
    "E3": {"alignment": Alignment("right", text_rotation=45, shrink_to_fit=True)},
    "A2": {"protection": Protection(locked=False, hidden=True)},
    "B2": {"number_format": "#,##0.00"}, "B3": {"number_format": '#,##0.000 "kg"'},
    "C2": {"number_format": "0%"}, "C3": {"number_format": "0.0%"},
    "D2": {"number_format": "yyyy-mm-dd"},
}
# and after the edit
EDITS = {"A3": {"font": Font("Courier New", 9, color="0000FF"), "fill": Fill(color="DDEEFF")},
         "D3": {"number_format": "d mmmm yyyy"}}
SHOWN = {"B2": "1,200.50", "B3": "980.000 kg", "C2": "25%", "C3": "75.0%", "D2": "2024-03-05"}
EDITED_SHOWN = {**SHOWN, "D3": "6 April 2024"}
WIDTHS = {1: 20.0, 2: 12.5, 3: 12.5}


def report():
    book = vellum.new_workbook()
    ws = book.add_sheet("Report")
    for row in ROWS:
        ws.append(row)
    for ref, given in FORMATS.items():
        for kind, value in given.items():
            setattr(ws[ref], kind, value)
    ws.set_column("A", width=20)
    ws.set_column("B:C", width=12.5)
    ws.set_column("F", hidden=True)
    ws.set_row(1, height=30)
    ws.set_row(3, hidden=True)
    ws.freeze_panes = "B2"
    ws.merge_cells("A5:C6")
    ws.auto_filter = "A1:E3"
    return book


def streamed_report():
    """The report's layout on a write-only sheet, its rows' layout before
    the rows."""
    book = vellum.new_workbook(write_only=True)
    ws = book.add_sheet("Report")
    ws.set_column("A", width=20)
    ws.set_column("B:C", width=12.5)
    ws.set_column("F", hidden=True)
    ws.set_row(1, height=30)
    ws.set_row(3, hidden=True)
    for row in ROWS:
        ws.append(row)
    ws.freeze_panes = "B2"
    ws.merge_cells("A5:C6")
    ws.auto_filter = "A1:E3"
    return book


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    out = tmp_path_factory.mktemp("formats")
    report().save(out / "new.xlsx")
    streamed_report().save(out / "streamed.xlsx")
    with vellum.read_workbook(out / "new.xlsx") as book:
        ws = book["Report"]
        for ref, given in EDITS.items():
            for kind, value in given.items():
                setattr(ws[ref], kind, value)
        ws.set_column("E", width=30)
        ws.merge_cells("A8:B8")
        book.save(out / "edited.xlsx")
    soffice([out / "new.xlsx", out / "edited.xlsx", out / "streamed.xlsx"], out / "lo", "xlsx")
    export([out / "new.xlsx", out / "edited.xlsx"], out / "shown")
    return out


def opened(path):
    return read(path)["Report"]


def as_set(kind, value):
    """A format as the file it was saved to sets it: LibreOffice writes the
    defaults it shows (general, bottom), gives a solid fill a background
    (which does not show), and escapes literal characters of number formats."""
    if kind == "alignment":
        return dataclasses.replace(
            value, horizontal=None if value.horizontal == "general" else value.horizontal,
            vertical=None if value.vertical == "bottom" else value.vertical)
    if kind == "fill" and value.pattern == "solid":  # the background does not show
        return Fill(color=value.color)
    if kind == "number_format":
        return re.sub(r'[\\"]', "", value)
    return value


@pytest.mark.parametrize("name", ["new", "edited"])
@pytest.mark.parametrize("by", ["vellum", "libreoffice"])
def test_every_format_survives(converted, name, by):
    ws = opened(converted / (f"{name}.xlsx" if by == "vellum" else f"lo/{name}.xlsx"))
    wanted = {**FORMATS, **(EDITS if name == "edited" else {})}
    for ref, given in wanted.items():
        for kind, value in given.items():
            got = getattr(ws[ref], kind)
            if by == "vellum":
                assert got == value, (ref, kind)
            else:
                assert as_set(kind, got) == as_set(kind, value), (ref, kind)
    # an unformatted date still shows as one
    assert ws["D3"].is_date and ws["D3"].value == datetime.datetime(2024, 4, 6)


@pytest.mark.parametrize("name", ["new", "edited", "streamed"])
@pytest.mark.parametrize("by", ["vellum", "libreoffice"])
def test_the_layout_survives(converted, name, by):
    layout = opened(converted / (f"{name}.xlsx" if by == "vellum" else f"lo/{name}.xlsx")).layout()
    widths = {c: (cols.width, cols.hidden) for cols in layout.columns
              for c in range(cols.min, cols.max + 1)}
    wanted = {**WIDTHS, **({5: 30.0} if name == "edited" else {})}
    assert {c: w for c, (w, _) in widths.items() if c in wanted} == wanted
    assert [c for c, (_, hidden) in widths.items() if hidden] == [6]
    assert (layout.row_heights[1], layout.hidden_rows) == (30.0, (3,))
    merged = ["A5:C6"] + (["A8:B8"] if name == "edited" else [])
    assert (layout.frozen, sorted(layout.merged), layout.auto_filter) == ("B2", merged, "A1:E3")


@pytest.mark.parametrize("name", ["new", "edited"])
def test_libreoffice_shows_the_formatted_values(converted, name):
    grid = sheet_grid(converted / "shown", converted / f"{name}.xlsx", "Report")
    shown = EDITED_SHOWN if name == "edited" else SHOWN
    for ref, text in shown.items():
        m = re.fullmatch(r"([A-Z]+)(\d+)", ref)
        assert grid[(int(m[2]), ord(m[1]) - 64)] == text, ref
    assert grid[(1, 1)] == "region" and grid[(3, 1)] == "south"  # hidden rows are exported
