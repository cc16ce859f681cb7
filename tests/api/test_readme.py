"""The README's examples run as a user would run them, against workbooks of
the names they use, and print what the README says they print."""
import contextlib
import datetime
import io
import os
import pathlib
import re
import subprocess
import sys

import pytest
import xlsxwriter

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    where = tmp_path_factory.mktemp("readme")
    book = xlsxwriter.Workbook(str(where / "sales.xlsx"))
    q1 = book.add_worksheet("Q1")
    q1.merge_range("A1:D1", "Sales")
    q1.freeze_panes(1, 0)
    date = book.add_format({"num_format": "yyyy-mm-dd"})
    for r in range(1, 120):
        q1.write_row(r, 0, ["north", 120, 3.5])
        q1.write_datetime(r, 3, datetime.datetime(2026, 1, 2), date)
    book.add_worksheet("Q2")
    book.add_worksheet("Notes").hide()
    book.close()
    book = xlsxwriter.Workbook(str(where / "huge.xlsx"), {"constant_memory": True})
    data = book.add_worksheet("Data")
    for r in range(3000):
        data.write_row(r, 0, [r, f"row {r}"])
    book.close()
    return where


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(folder, index, monkeypatch):
    code = BLOCKS[index].replace("10_000_000", "1_000")  # the write-only example, shorter
    needs = "dask.dataframe" if "vellum.dask" in code else "pandas" if "pandas" in code else None
    if needs and ("LD_PRELOAD" in os.environ or
                  subprocess.run([sys.executable, "-c", f"import {needs}"]).returncode):
        pytest.skip(f"{needs} is not installed, or its libraries would meet the sanitizer's runtime")
    monkeypatch.chdir(folder)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, f"README block {index}", "exec"), {"path": "sales.xlsx"})
    if "print(book.sheet_names)" in code:
        assert out.getvalue().startswith("['Q1', 'Q2', 'Notes']\nA1:D120\n")


def test_readme_info_example(folder):
    shown = re.search(r"\$ vellum info sales.xlsx\n(.*?)\n\n", README.read_text(), re.S).group(1)
    out = subprocess.run([sys.executable, "-m", "vellum", "info", "sales.xlsx"], cwd=folder,
                         capture_output=True, text=True, timeout=120).stdout
    assert out.startswith("\n".join(line[4:] for line in shown.splitlines()) + "\n")
