"""The command line and the demo, run as a user runs them."""
import csv
import datetime
import importlib.util
import io
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest
import xlsxwriter
from hypothesis import given, strategies as st

import vellum.__main__ as cli
from terminal import stderr_on_terminal

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")


def run(*args, **kw):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120, **kw)


@pytest.fixture(scope="module")
def book(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "book.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    a = wb.add_worksheet("A")
    for r in range(5):
        a.write_row(r, 0, [r, f"t{r}"])
    a.write_row(6, 0, ["a,b", "two\nlines", 'say "hi"', "tab\there"])
    a.write_formula(7, 0, "=A2+1", None, 2)
    a.write_array_formula(7, 1, 7, 1, "{=SUM(A1:A5)}", None, 10)
    b = wb.add_worksheet("B b")
    b.write(1, 1, 2.5)
    b.hide()
    wb.add_worksheet("3").write(0, 0, "named three")
    wb.close()
    return path


def parsed(out, delimiter=","):
    return list(csv.reader(io.StringIO(out), delimiter=delimiter))


def test_prints_rows_in_place(book):
    out = run("-m", "vellum", str(book))
    assert (out.returncode, out.stderr) == (0, "")
    rows = parsed(out.stdout)
    # a rectangle as wide as the widest row
    assert rows[:5] == [[str(r), f"t{r}", "", ""] for r in range(5)]
    assert rows[5] == [""] * 4 and rows[6] == ["a,b", "two\nlines", 'say "hi"', "tab\there"]
    assert rows[7] == ["2", "10", "", ""] and len(rows) == 8  # cached values by default
    out = run("-m", "vellum", str(book), "--formulas", "--format", "tsv", "--row-numbers", "--limit", "8")
    rows = parsed(out.stdout, "\t")
    assert [r[0] for r in rows] == ["1", "2", "3", "4", "5", "7", "8"] and {len(r) for r in rows} == {5}
    assert rows[-1] == ["8", "=A2+1", "=SUM(A1:A5)", "", ""]
    assert rows[-2][1:] == ["a,b", "two\nlines", 'say "hi"', "tab\there"]
    assert run("-m", "vellum", str(book), "--sheet", "B b").stdout == ",\n,2.5\n"
    assert run("-m", "vellum", str(book), "--sheet", "1").stdout == ",\n,2.5\n"
    assert run("-m", "vellum", str(book), "--sheet", "3").stdout == "named three\n"  # a name first
    assert run("-m", "vellum", str(book), "--list").stdout == "0\tA\n1\tB b\t(hidden)\n2\t3\n"
    out = run("-m", "vellum", str(book), "--all", "--limit", "1").stdout
    # the first row of "B b" holds no value: nothing of it is printed
    assert out == "# sheet: A\n0,t0\n# sheet: B b\n# sheet: 3\nnamed three\n"


@pytest.fixture(scope="module")
def typed(tmp_path_factory):
    """Every kind of value in its format, a ragged row, and styled empty
    cells past the values, as applications leave them."""
    path = tmp_path_factory.mktemp("cli") / "typed.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    s = wb.add_worksheet("T")
    day, when = datetime.datetime(2019, 9, 2), datetime.datetime(2019, 9, 2, 14, 30)
    for col, (value, code) in enumerate([(day, "yyyy-mm-dd"), (when, "d-mmm-yy"), (when, "yyyy-mm-dd hh:mm"),
                                         (datetime.time(14, 30), "hh:mm:ss"),
                                         (datetime.timedelta(days=10, seconds=54610), "[h]:mm:ss"),
                                         (1234.5, "#,##0.00"), (0.25, "0%")]):
        s.write(0, col, value, wb.add_format({"num_format": code}))
    s.write_row(1, 0, [True, False, 0.1, 2.0, 1e20, -0.0, "text", 7])
    s.write(3, 9, "far")
    grey = wb.add_format({"bg_color": "#cccccc"})
    s.write_blank(5, 20, None, grey)
    s.write_blank(40, 2, None, grey)
    wb.close()
    return path


def test_values_as_a_spreadsheet_writes_them(typed):
    rows = parsed(run("-m", "vellum", str(typed)).stdout)
    assert rows[0][:7] == ["2019-09-02", "2019-09-02", "2019-09-02 14:30:00", "14:30:00", "255:10:10",
                           "1234.5", "0.25"]
    assert rows[1][:8] == ["TRUE", "FALSE", "0.1", "2", "1e+20", "0", "text", "7"]
    # trimmed to the last value (J4), every row as wide
    assert len(rows) == 4 and {len(r) for r in rows} == {10} and rows[3][9] == "far"
    rows = parsed(run("-m", "vellum", str(typed), "--formatted").stdout)
    assert rows[0][:7] == ["2019-09-02", "2-Sep-19", "2019-09-02 14:30", "14:30:00", "255:10:10",
                           "1,234.50", "25%"]
    assert rows[1][:8] == ["TRUE", "FALSE", "0.1", "2", "1E+020", "0", "text", "7"]
    rows = parsed(run("-m", "vellum", str(typed), "--keep-empty").stdout)
    assert len(rows) == 41 and {len(r) for r in rows} == {21}  # out to the styled empty cells
    # pandas, which refuses ragged rows, takes it as it is (in a process of
    # its own, without the sanitizer's runtime, which its libraries are not
    # built for)
    if importlib.util.find_spec("pandas") is None:
        pytest.skip("pandas is not installed")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    shape = subprocess.run([sys.executable, "-c", "import pandas, sys; "
                            "print(*pandas.read_csv(sys.stdin, header=None).shape)"],
                           input=run("-m", "vellum", str(typed)).stdout, capture_output=True, text=True,
                           env=env, timeout=120)
    assert shape.stdout == "4 10\n", shape.stderr


@given(st.lists(st.lists(st.text(st.sampled_from('a,"\n\r\t\x00_é'), max_size=4), max_size=4),
                max_size=12),
       st.booleans(), st.sampled_from([1 << 30, 16]))
def test_rectangle_holds_any_text(rows, keep_empty, spool_memory):
    """Whatever a row's texts hold (a NUL, line breaks, quotes), the output
    reads back as the rows, each padded to the widest, through the spool in
    memory or on disk."""
    out = io.StringIO()
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr("vellum.csvrows.SPOOL_MEMORY", spool_memory)
        table = cli.Rectangle(out, "excel", keep_empty)
        table.BATCH = 3
        for row in rows:
            table.add(row)
        table.finish()
    kept = rows if keep_empty else rows[:max((i + 1 for i, r in enumerate(rows) if r), default=0)]
    width = max(map(len, kept), default=0)
    want = [r + [""] * (width - len(r)) for r in kept]
    # an empty line is how a row of one empty field reads back
    assert [r or [""] for r in csv.reader(io.StringIO(out.getvalue()))] == [r or [""] for r in want]


def test_console_script_and_version(book):
    script = shutil.which("vellum", path=os.path.dirname(sys.executable))
    assert script, "the vellum console script is not installed"
    out = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    import vellum
    assert out.stdout == f"vellum {vellum.__version__}\n"
    assert subprocess.run([script, str(book), "--limit", "1"], capture_output=True,
                          text=True, timeout=60).stdout == "0,t0\n"


def rewritten(src, dst, part, change):
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            data = zin.read(info)
            zout.writestr(info, change(data) if info.filename == part else data)
    return dst


def ole(path, stream_name):
    """The start of an OLE compound file with one directory entry."""
    path.write_bytes(bytes.fromhex("d0cf11e0a1b11ae1") + bytes(504) + stream_name.encode("utf-16-le") + bytes(64))
    return path


@pytest.mark.parametrize("make, message", [
    (lambda d, b: d / "missing.xlsx", "no such file: "),
    (lambda d, b: (d / "notes.xlsx").write_text("plain text") and d / "notes.xlsx", "is not an xlsx workbook"),
    (lambda d, b: ole(d / "locked.xlsx", "EncryptedPackage"), "is an encrypted (password-protected) workbook"),
    (lambda d, b: ole(d / "old.xls", "Workbook"), "is an old binary Excel workbook (.xls"),
    (lambda d, b: rewritten(b, d / "cut.xlsx", "xl/worksheets/sheet1.xml", lambda x: x[:len(x) // 2]),
     "part xl/worksheets/sheet1.xml is damaged (ExpatError"),
    (lambda d, b: rewritten(b, d / "ref.xlsx", "xl/worksheets/sheet1.xml", lambda x: x.replace(b'r="A2"', b'r="2A"')),
     "part xl/worksheets/sheet1.xml is damaged (ValueError"),
    (lambda d, b: CORPUS / "exceljs__invalid-xml.xlsx", "part xl/worksheets/sheet1.xml is damaged"),
    (lambda d, b: CORPUS / "poi__poc-xmlbomb.xlsx", "DOCTYPE"),
])
def test_bad_input_is_one_line(book, tmp_path, make, message):
    path = make(tmp_path, book)
    if not path.parent.exists():
        pytest.skip("no corpus beside the checkout")
    out = run("-m", "vellum", str(path))
    assert out.returncode == 2, out.stderr
    assert message in out.stderr and "Traceback" not in out.stderr
    assert out.stderr.count("\n") == 1


def test_unknown_sheet(book):
    out = run("-m", "vellum", str(book), "--sheet", "C")
    assert out.returncode == 2 and "no sheet named 'C'" in out.stderr and "0: 'A'" in out.stderr
    assert run("-m", "vellum", str(book), "--sheet", "b B").stdout == ",\n,2.5\n"  # in any case


def test_standard_input_and_info(book):
    """`vellum -` reads the workbook from standard input, as `vellum info -`
    does; `info` is in the help."""
    data = book.read_bytes()
    out = run("-m", "vellum", "-", "--sheet", "B b", input=data.decode("latin-1"), encoding="latin-1")
    assert (out.returncode, out.stdout) == (0, ",\n,2.5\n")
    out = run("-m", "vellum", "info", "-", input=data.decode("latin-1"), encoding="latin-1")
    assert out.returncode == 0 and out.stdout.startswith("0\tA\n\tstate: visible\n")
    for given, message in [(b"", "vellum: <stdin> is empty (0 bytes), not an xlsx workbook\n"),
                           (data[:100], "vellum: <stdin> is truncated: it begins as a zip archive")]:
        out = run("-m", "vellum", "-", input=given.decode("latin-1"), encoding="latin-1")
        assert out.returncode == 2 and out.stderr.startswith(message)
    assert "vellum info FILE" in run("-m", "vellum", "--help").stdout
    out = run("-m", "vellum", "info")
    assert out.returncode == 2 and "required: file" in out.stderr


@needs_corpus
def test_output_ends_early_or_fails():
    big = CORPUS / "exceldatareader__Test10x10000.xlsx"
    proc = subprocess.Popen([sys.executable, "-m", "vellum", str(big)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    assert proc.stdout.readline() == b"col1,col2,col3,col4,col5,col6,col7,col8,col9,col10\n"
    proc.stdout.close()  # as `| head -1` does
    assert (proc.wait(timeout=60), proc.stderr.read()) == (0, b"")
    proc.stderr.close()
    with open("/dev/full", "w") as full:
        out = subprocess.run([sys.executable, "-m", "vellum", str(big)], stdout=full,
                             stderr=subprocess.PIPE, text=True, timeout=60)
    assert out.returncode == 1 and out.stderr == "vellum: write error: No space left on device\n"


def test_progress_bar_only_on_a_terminal(tmp_path):
    path = tmp_path / "large.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    sheet = wb.add_worksheet("large")
    for r in range(25_000):
        sheet.write_row(r, 0, [r, r * 0.5, r + 1, r + 2, r + 3, r + 4])
    wb.close()
    with open(tmp_path / "out.csv", "w") as out:
        status, seen = stderr_on_terminal([sys.executable, "-m", "vellum", str(path)], stdout=out, timeout=60)
    assert status == 0
    assert b"large [" in seen and seen.endswith(b"\r\x1b[K")
    assert (tmp_path / "out.csv").read_text().count("\n") == 25_000
    out = run("-m", "vellum", str(path), "--limit", "3")  # stderr a pipe: no bar
    assert out.stderr == ""


def test_demo_generates_and_streams():
    out = run("-m", "vellum.demo", "--rows", "500")
    assert out.returncode == 0, out.stderr
    assert "orders: 500 rows" in out.stdout and "rows/s" in out.stdout


@pytest.mark.parametrize("part", ["xl/workbook.xml", "xl/sharedStrings.xml", "xl/_rels/workbook.xml.rels"])
def test_a_huge_workbook_part_is_refused_in_bounded_memory(book, tmp_path, part):
    """A few hundred KB of zip holding a part of spaces far past the limit."""
    from vellum import archive
    size = (archive.STRINGS_LIMIT if part.endswith("sharedStrings.xml") else archive.PART_LIMIT) + (1 << 20)
    hostile = tmp_path / "hostile.xlsx"
    with zipfile.ZipFile(book) as zin, zipfile.ZipFile(hostile, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            if info.filename != part:
                zout.writestr(info, zin.read(info))
        with zout.open(part, "w", force_zip64=True) as big:
            head = zin.read(part) if part in zin.namelist() else b"<sst/>"
            big.write(head[:head.index(b">") + 1])
            spaces = b" " * (1 << 20)
            for _ in range(size >> 20):
                big.write(spaces)
    # The peak (VmHWM, not ru_maxrss, which keeps that of the forked test
    # process) that reading adds to the one of starting up, which the
    # sanitizer build alone puts near 100 MB.
    code = ("import pathlib, re, sys, vellum.__main__ as m\n"
            "peak = lambda: int(re.search(r'VmHWM:\\s*(\\d+)', pathlib.Path('/proc/self/status').read_text())[1])\n"
            "start = peak(); status = m.main(sys.argv[1:])\n"
            "print(peak() - start, file=sys.stderr); sys.exit(status)")
    out = run("-c", code, str(hostile))
    message, added_kib = out.stderr.splitlines()
    assert out.returncode == 2 and f"part {part} is larger than vellum reads" in message
    assert int(added_kib) < 32 << 10
