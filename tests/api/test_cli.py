"""The command line and the demo, run as a user runs them."""
import subprocess
import sys

import pytest
import xlsxwriter


def run(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def book(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "book.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    a = wb.add_worksheet("A")
    for r in range(5):
        a.write_row(r, 0, [r, f"t{r}"])
    wb.add_worksheet("B b").write(1, 1, 2.5)
    wb.close()
    return path


def test_prints_rows(book):
    out = run("-m", "vellum", str(book), "--limit", "2")
    assert (out.returncode, out.stdout, out.stderr) == (0, "0\tt0\n1\tt1\n", "")
    out = run("-m", "vellum", str(book), "--sheet", "B b")
    assert out.stdout == "\t2.5\n"
    assert run("-m", "vellum", str(book), "--list").stdout == "A\nB b\n"


@pytest.mark.parametrize("make, args, message", [
    (None, ["missing.xlsx"], "no such file: missing.xlsx"),
    ("text", [], "is not an xlsx workbook"),
    ("book", ["--sheet", "C"], "no sheet named 'C'"),
])
def test_user_errors_are_one_line(book, tmp_path, make, args, message):
    if make == "text":
        path = tmp_path / "notes.xlsx"
        path.write_text("plain text")
        args = [str(path)]
    elif make == "book":
        args = [str(book)] + args
    out = run("-m", "vellum", *args)
    assert out.returncode == 2
    assert message in out.stderr and "Traceback" not in out.stderr
    assert out.stderr.count("\n") == 1


def test_demo_generates_and_streams():
    out = run("-m", "vellum.demo", "--rows", "500")
    assert out.returncode == 0, out.stderr
    assert "orders: 500 rows" in out.stdout and "rows/s" in out.stdout
