"""The package's use of the pre-scan: `Worksheet.layout()` with the engine,
without it, and falling back from it; `vellum info FILE`."""
import subprocess
import sys
import zipfile

import pytest
import xlsxwriter

from vellum.layout import Columns
from vellum.workbook import Workbook


@pytest.fixture(scope="module")
def book(tmp_path_factory):
    path = tmp_path_factory.mktemp("layout") / "book.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    a = wb.add_worksheet("Data")
    a.merge_range("A1:C1", "title")
    a.merge_range("B3:B5", "side")
    a.set_column("A:A", 20)
    a.set_column("D:E", 5, None, {"hidden": True})
    a.freeze_panes(1, 2)
    a.set_row(1, 30)
    a.set_row(6, 12.75)
    for r in range(2, 9):
        a.write(r, 3, r)
    b = wb.add_worksheet("Hidden")
    b.hide()
    wb.add_worksheet("Empty")
    wb.close()
    # the same workbook with a comment in the first sheet's cell data, which
    # the engine declines and the package reads
    with zipfile.ZipFile(path) as z:
        parts = {n: z.read(n) for n in z.namelist()}
    parts["xl/worksheets/sheet1.xml"] = parts["xl/worksheets/sheet1.xml"].replace(
        b"<sheetData>", b"<sheetData><!-- rows follow -->")
    commented = path.with_name("commented.xlsx")
    with zipfile.ZipFile(commented, "w") as z:
        for n, data in parts.items():
            z.writestr(n, data)
    return path, commented


def test_layout_with_and_without_the_engine(book):
    path, commented = book
    layouts = []
    for p, engine in ((path, True), (path, False), (commented, True)):
        with Workbook(p, engine=engine) as wb:
            layouts.append([s.layout() for s in wb.sheets])
    assert layouts[0] == layouts[1] == layouts[2]
    data, hidden, empty = layouts[0]
    assert data.dimension == "A1:E9" and data.max_row == 9
    assert data.merged == ["A1:C1", "B3:B5"]
    assert data.columns == [Columns(1, 1, pytest.approx(20.7109375), False),
                            Columns(4, 5, pytest.approx(5.7109375), True)]
    assert data.frozen == "C2"
    assert [v.get("workbookViewId") for v in data.views] == ["0"]
    assert data.row_heights == {2: 30.0, 7: 12.75}
    assert (empty.dimension, empty.merged, empty.frozen, empty.row_heights) == ("A1", [], None, {})


def test_info_command(book):
    path, _ = book
    out = subprocess.run([sys.executable, "-m", "vellum", "info", str(path)],
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout.splitlines()[:6] == [
        "0\tData", "\tstate: visible", "\tdimension: A1:E9", "\trows: 9",
        "\tmerged: A1:C1 B3:B5", "\tfrozen: C2"]
    assert "1\tHidden\n\tstate: hidden\n" in out.stdout
    out = subprocess.run([sys.executable, "-m", "vellum", "info", str(path) + ".missing"],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 2 and out.stderr.startswith("vellum: no such file")
