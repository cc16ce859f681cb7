"""Sheet layout set and read back: column widths and hidden columns against
a model of every column, row heights and hidden rows, the frozen pane,
merges and the autofilter; in new workbooks and in ones XlsxWriter wrote,
read back in full and streamed, with the worksheet's element order kept."""
from __future__ import annotations

import io
import xml.etree.ElementTree as ET
import zipfile

import pytest
import xlsxwriter
from hypothesis import given, settings, strategies as st

import vellum
from tests.api.saving import closed_after, parts, read, saved  # noqa: F401 (a fixture)
from vellum.reference.cell import column_letter
from vellum.reference.sheetlayout import ORDER


def per_column(layout):
    """{column: (width, hidden)} of a layout's col elements."""
    return {c: (cols.width, cols.hidden) for cols in layout.columns
            for c in range(cols.min, cols.max + 1)}


def element_order(data, sheet="xl/worksheets/sheet1.xml"):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        names = [e.tag.rpartition("}")[2] for e in ET.fromstring(z.read(sheet))]
    assert names == sorted(names, key=ORDER.index), names


column_calls = st.lists(st.tuples(st.integers(1, 12), st.integers(0, 3),
                                  st.none() | st.sampled_from([0, 8.5, 20, 255]), st.booleans()),
                        max_size=8)
row_calls = st.lists(st.tuples(st.integers(1, 30), st.none() | st.sampled_from([0, 12.75, 409]),
                               st.booleans()), max_size=8)


@settings(max_examples=60)
@given(columns=column_calls, rows=row_calls, frozen=st.sampled_from([None, "A2", "C1", "B3"]),
       write_only=st.booleans())
def test_layout_calls_against_a_model_of_every_row_and_column(columns, rows, frozen, write_only):
    # A write-only sheet takes a row's layout before the row: its cells
    # come last; a new sheet's first.
    book = vellum.new_workbook(write_only=write_only)
    ws = book.add_sheet("S")
    if not write_only:
        ws.append([1, 2, 3])
    model, heights, hidden = {}, {}, set()
    for first, more, width, hide in columns:
        ws.set_column((first, first + more), width=width, hidden=hide)
        for c in range(first, first + more + 1):
            model[c] = (float(width) if width is not None else model.get(c, (None,))[0], hide)
    for row, height, hide in rows:
        ws.set_row(row, height=height, hidden=hide)
        heights.update({row: float(height)} if height is not None else {})
        (hidden.add if hide else hidden.discard)(row)
    ws.freeze_panes = frozen
    ws.merge_cells("D5:E6")
    ws.auto_filter = "A1:C4"
    if write_only:
        ws.append([1, 2, 3])
        with pytest.raises(ValueError, match="before the row is appended"):
            ws.set_row(1, height=5)
    data = saved(book)
    if not write_only:
        assert parts(saved(book, engine=False)) == parts(data)
    element_order(data)
    with read(data, streaming=True) as streamed:
        seen = [ws.layout(), read(data)["S"].layout(), streamed["S"].layout()]
    for layout in seen:
        assert per_column(layout) == model
        assert layout.row_heights == heights and set(layout.hidden_rows) == hidden
        assert (layout.frozen, layout.merged, layout.auto_filter) == (frozen, ["D5:E6"], "A1:C4")


@pytest.mark.parametrize("call, error", [
    (lambda ws: ws.set_column("B", width=-1), ValueError),
    (lambda ws: ws.set_column("B:?", width=3), ValueError),
    (lambda ws: ws.set_column(0, width=3), ValueError),
    (lambda ws: ws.set_row(1, height=410), ValueError),
    (lambda ws: ws.set_row(0, height=10), ValueError),
    (lambda ws: ws.row_dimensions.__setitem__(1, {"ht": 30}), TypeError),
    (lambda ws: ws.row_dimensions.update({2: {"hidden": True}}), TypeError),
    (lambda ws: ws.merge_cells("A1:A1"), ValueError),
    (lambda ws: ws.merge_cells("B2:C3"), ValueError),  # overlaps A1:B2
    (lambda ws: setattr(ws, "freeze_panes", "A0"), ValueError),
    (lambda ws: setattr(ws, "auto_filter", "A1"), ValueError),
])
def test_bad_layout_fails_when_set_and_the_sheet_saves_as_before(call, error):
    book = vellum.new_workbook()
    ws = book.add_sheet("S")
    ws.merge_cells("A1:B2")
    before = saved(book)
    with pytest.raises(error):
        call(ws)
    assert parts(saved(book)) == parts(before)


def test_an_edited_sheet_keeps_its_layout_and_other_elements(tmp_path):
    path = tmp_path / "x.xlsx"
    xb = xlsxwriter.Workbook(str(path))
    xs = xb.add_worksheet("S")
    bold = xb.add_format({"bold": True})
    xs.set_column("B:F", 15, bold)
    xs.set_row(2, 25)
    xs.merge_range("A10:B11", "merged")
    xs.freeze_panes(1, 0)
    xs.autofilter("A1:C5")
    xs.set_landscape()
    xs.write_row(0, 0, ["a", "b", "c"])
    xb.close()
    book = read(path.read_bytes())
    ws = book["S"]
    ws.set_column("C:D", width=4, hidden=True)
    ws.set_row(3, hidden=True)  # keeps the height XlsxWriter gave it
    ws.merge_cells("D10:E10")
    ws.freeze_panes = "B2"
    data = saved(book)
    element_order(data)
    layout = read(data)["S"].layout()
    wide = (15.7109375, False)  # XlsxWriter's 15 characters with its padding
    assert per_column(layout) == {2: wide, 3: (4.0, True), 4: (4.0, True), 5: wide, 6: wide}
    assert (layout.row_heights[3], layout.hidden_rows) == (25.0, (3,))
    assert (layout.merged, layout.frozen, layout.auto_filter) == (["A10:B11", "D10:E10"], "B2",
                                                                 "A1:C5")
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").decode()
    # the columns split keep their format; the page setup stays
    assert sheet.count('style="1"') == 3 and 'orientation="landscape"' in sheet
    ws.unmerge_cells("A10:B11")
    ws.auto_filter = None
    layout = read(saved(book))["S"].layout()
    assert (layout.merged, layout.auto_filter) == (["D10:E10"], None)


rects = st.tuples(st.integers(1, 300), st.integers(1, 8), st.integers(0, 40), st.integers(0, 3)) \
    .map(lambda t: (t[0], t[1], t[0] + (t[2] if t[2] < 30 else t[2] * 1000), t[1] + t[3]))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(rects, st.integers(0, 9)), max_size=40))
def test_merges_against_every_pair(steps):
    # Each merge is checked against every range merged before, by brute
    # force; an unmerge or a save between them must not lose track.
    book = vellum.new_workbook()
    ws = book.add_sheet("S")
    merged = []
    for (r0, c0, r1, c1), op in steps:
        ref = f"{column_letter(c0)}{r0}:{column_letter(c1)}{r1}"
        if op == 0 and merged:
            ws.unmerge_cells(merged.pop(len(merged) // 2)[0])
            continue
        single = (r0, c0) == (r1, c1)
        clash = any(a0 <= r1 and r0 <= a1 and b0 <= c1 and c0 <= b1 for _, (a0, b0, a1, b1) in merged)
        if single or clash:
            with pytest.raises(ValueError):
                ws.merge_cells(ref)
        else:
            ws.merge_cells(ref)
            merged.append((ref, (r0, c0, r1, c1)))
        if op == 1:
            assert ws.merged_cells == [ref for ref, _ in merged]
    assert read(saved(book))["S"].layout().merged == [ref for ref, _ in merged]
