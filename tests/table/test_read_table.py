"""read_table as users meet it: the Table and its consumers, the options
and their errors, the package's reading where the engine declines, damaged
parts, streams released early, the interpreter let go while a sheet is
read, and the command line's Parquet and Arrow files. The values
themselves are the differential tests' (test_corpus, test_generated)."""
import ctypes
import datetime
import io
import subprocess
import sys
import threading
import time
import zipfile

import pytest
import xlsxwriter

import vellum
from vellum import _vellum

import books
from tests.needs import optional

pa = optional("pyarrow")


def xlsx(tmp_path, rows, name="t.xlsx", **options):
    path = tmp_path / name
    wb = xlsxwriter.Workbook(str(path), options)
    ws = wb.add_worksheet("Data")
    date = wb.add_format({"num_format": "yyyy-mm-dd"})
    for r, row in enumerate(rows):
        for c, v in enumerate(row):
            if isinstance(v, datetime.datetime):
                ws.write_datetime(r, c, v, date)
            elif v is not None:
                ws.write(r, c, v)
    wb.close()
    return path


ROWS = [["n", "x", "when", "n"], [1, "a", datetime.datetime(2024, 1, 2), True],
        [2.5, "b", datetime.datetime(2024, 1, 3), False], [None, "a", None, True]]


def test_table_and_its_consumers(tmp_path):
    t = vellum.read_table(xlsx(tmp_path, ROWS))
    assert (t.num_rows, len(t), t.column_names) == (3, 3, ["n", "x", "when", "n.1"])
    assert t.column_types == ["float64", "string", "timestamp[us]", "bool"]
    assert repr(t).startswith("<vellum.Table 3 rows x 4 columns (n: float64, x: string")
    arrow = t.to_arrow()
    assert arrow.schema == t.schema and pa.types.is_dictionary(arrow.schema.field("x").type)
    assert arrow.to_pydict() == {"n": [1.0, 2.5, None], "x": ["a", "b", "a"],
                                 "when": [datetime.datetime(2024, 1, 2), datetime.datetime(2024, 1, 3), None],
                                 "n.1": [True, False, True]}
    # handed over without a copy: pyarrow's buffers are the table's own
    again = pa.table(t)
    assert again.column(0).chunk(0).buffers()[1].address == arrow.column(0).chunk(0).buffers()[1].address
    df = t.to_pandas()
    assert list(df["x"]) == ["a", "b", "a"] and df["x"].dtype == object
    assert str(df["when"].dtype).startswith("datetime64")
    assert pa.RecordBatchReader.from_stream(t).read_all().equals(arrow)


def test_options(tmp_path):
    path = xlsx(tmp_path, ROWS)
    t = vellum.read_table(path, "Data", header_row=None, skip_rows=1, n_rows=2, columns="D,A:B")
    assert t.column_names == ["D", "A", "B"]
    assert t.to_arrow().to_pydict() == {"D": [True, False], "A": [1.0, 2.5], "B": ["a", "b"]}
    t = vellum.read_table(path, 0, columns=["x", "n.1"], dtypes={"n.1": str, "x": "str"})
    assert t.to_arrow(dictionaries=False).to_pydict() == {"x": ["a", "b", "a"], "n.1": ["True", "False", "True"]}
    assert vellum.read_table(path, columns=[2]).column_names == ["when"]
    assert vellum.read_table(path, dtypes={"n": pa.float64()}).column_types[0] == "float64"
    with pytest.raises(ValueError, match=r"column 'x' cannot be float64: cell B2 holds a string"):
        vellum.read_table(path, dtypes={"x": "float"})
    with pytest.raises(ValueError, match="no column named 'nope'"):
        vellum.read_table(path, columns=["nope"])
    for bad in ({"columns": "amount"}, {"columns": "C:A"}, {"columns": [0, 0]}, {"header_row": -1},
                {"n_rows": 1.5}, {"error_cells": "drop"}, {"dtypes": {"n": "decimal"}}):
        with pytest.raises(ValueError):
            vellum.read_table(path, **bad)
    with pytest.raises(TypeError):
        vellum.read_table(path, columns=[0, "n"])
    with pytest.raises(vellum.WorkbookError, match="no sheet named 'Q9'"):
        vellum.read_table(path, "Q9")


def test_error_cells_and_dates_out_of_range():
    sheet = ('<row r="1"><c r="A1" t="e"><v>#N/A</v></c><c r="B1" s="1"><v>1e10</v></c>'
             '<c r="C1"><v>4</v></c></row>')
    data = books.workbook(sheet)
    with pytest.warns(UserWarning, match="1 date-formatted cell"):
        t = vellum.read_table(io.BytesIO(data), header_row=None)
    assert t.to_arrow().to_pydict() == {"A": [None], "B": [None], "C": [4]}
    with pytest.warns(UserWarning):
        t = vellum.read_table(io.BytesIO(data), header_row=None, error_cells="text")
    assert t.to_arrow().to_pydict() == {"A": ["#N/A"], "B": ["#VALUE!"], "C": [4]}


def test_the_package_reads_what_the_engine_declines():
    # two cells at one place: the package keeps the later, the engine
    # declines such a sheet; a row beyond the largest sheet is damage
    twice = books.workbook('<row r="1"><c r="A1"><v>1</v></c></row><row r="2"><c r="A2"><v>2</v></c></row>'
                           '<row r="3"><c r="A2"><v>3</v></c></row>')
    t = vellum.read_table(io.BytesIO(twice), header_row=None)
    assert t.to_arrow().to_pydict() == {"A": [1, 3]}
    beyond = books.workbook('<row r="2000000"><c r="A2000000"><v>1</v></c></row>')
    with pytest.raises(vellum.WorkbookError, match="is damaged .*row index"):
        vellum.read_table(io.BytesIO(beyond))


def test_values_only_the_package_reads():
    # rich shared strings (their run properties judged by the package) and
    # ISO dates are read again with the interpreter; invalid run properties
    # make the string table damaged, as the package reads it
    rich = '<si><r><rPr><b/></rPr><t>bo</t></r><r><t>ld</t></r></si><si><t>plain</t></si>'
    sheet = ('<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="d"><v>2024-01-31T12:00:00</v></c></row>'
             '<row r="2"><c r="A2" t="s"><v>1</v></c><c r="B2" t="inlineStr"><is><r><rPr><i/></rPr>'
             '<t>it</t></r></is></c></row>')
    t = vellum.read_table(io.BytesIO(books.workbook(sheet, items=rich)), header_row=None)
    # a date and a text in one column: text, the date as str() writes it
    assert t.to_arrow(False).to_pydict() == {"A": ["bold", "plain"], "B": ["2024-01-31 12:00:00", "it"]}
    assert t.column_types == ["string", "string"]
    bad = rich.replace("<b/>", '<sz val="big"/>')
    with pytest.raises(vellum.WorkbookError, match="part xl/sharedStrings.xml is damaged"):
        vellum.read_table(io.BytesIO(books.workbook(sheet, items=bad)))


def damage(data, part, how):
    src, out = zipfile.ZipFile(io.BytesIO(data)), io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for info in src.infolist():
            body = src.read(info)
            if info.filename == part:
                body = how(body)
            z.writestr(info, body)
    return out.getvalue()


def test_damaged_parts_raise_the_packages_error_naming_the_part(tmp_path):
    rows = "".join(f'<row r="{r}"><c r="A{r}" t="s"><v>{r % 3}</v></c></row>' for r in range(1, 2000))
    data = books.workbook(rows, ["a", "b", "c"])
    # malformed XML mid-sheet
    cut = damage(data, "xl/worksheets/sheet1.xml", lambda b: b.replace(b'<row r="1500">', b'<row r="1500"'))
    with pytest.raises(vellum.WorkbookError, match="part xl/worksheets/sheet1.xml is damaged"):
        vellum.read_table(io.BytesIO(cut))
    # a bad CRC-32 in the sheet, and in the string table: the member is
    # damaged, whatever parses
    for part in ("xl/worksheets/sheet1.xml", "xl/sharedStrings.xml"):
        z = zipfile.ZipFile(io.BytesIO(data))
        info = z.getinfo(part)
        raw = bytearray(data)
        at = raw.rfind(info.CRC.to_bytes(4, "little"))  # the central directory's, which counts
        raw[at] ^= 1
        path = tmp_path / "bad.xlsx"
        path.write_bytes(raw)
        with pytest.raises(vellum.WorkbookError, match=f"part {part} is damaged .*CRC"):
            vellum.read_table(path)
        with pytest.raises(vellum.WorkbookError, match=f"part {part} is damaged"):
            vellum.read_table(io.BytesIO(bytes(raw)))


def test_a_reading_cut_short_lets_the_sheets_inflating_go():
    # The string table's thread also inflates the sheet: a reading that
    # ends early (n_rows, damage mid-sheet) must stop it, not leave it
    # waiting for room in a ring nobody empties. Watched, so that a fault
    # fails here instead of hanging the run.
    rows = "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="s"><v>{r % 3}</v></c></row>'
                   for r in range(1, 150_000))
    data = books.workbook(rows, ["a", "b", "c"])
    cut = damage(data, "xl/worksheets/sheet1.xml", lambda b: b.replace(b'<row r="140000">', b'<row r="140000"'))
    got = []

    def read():
        got.append(vellum.read_table(io.BytesIO(data), header_row=None, n_rows=2).to_arrow().to_pydict())
        with pytest.raises(vellum.WorkbookError, match="part xl/worksheets/sheet1.xml is damaged"):
            vellum.read_table(io.BytesIO(cut))
        got.append(vellum.read_table(io.BytesIO(data), header_row=None).num_rows)

    watched = threading.Thread(target=read, daemon=True)
    watched.start()
    watched.join(300)
    assert not watched.is_alive(), "read_table did not return"
    assert got == [{"A": [1, 2], "B": ["b", "c"]}, 149_999]


class ArrowArrayStream(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.c_void_p), ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
                       ("dictionary", ctypes.c_void_p),
                       ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
                       ("private_data", ctypes.c_void_p)]
ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.c_void_p),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.c_void_p),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p)]


def take_stream(capsule):
    """Move the stream out of its capsule, as a consumer does."""
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    src = ArrowArrayStream.from_address(get(capsule, b"arrow_array_stream"))
    mine = ArrowArrayStream()
    ctypes.memmove(ctypes.addressof(mine), ctypes.addressof(src), ctypes.sizeof(mine))
    src.release = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))()  # moved: null
    return mine


def test_streams_released_early_free_everything():
    rows = "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="s"><v>0</v></c></row>'
                   for r in range(1, 150_000))
    t = vellum.read_table(io.BytesIO(books.workbook(rows, ["x"])), header_row=None)
    assert t._data.num_batches == 3
    # a consumer that takes one batch, moves a child out of it, releases
    # them in another order than they came, and the stream before its end
    stream = take_stream(t.__arrow_c_stream__())
    batch = ArrowArray()
    assert stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0 and batch.length == 65536
    child = ArrowArray()
    ctypes.memmove(ctypes.addressof(child), ctypes.addressof(batch.children[1].contents), ctypes.sizeof(child))
    batch.children[1].contents.release = type(child.release)()
    stream.release(ctypes.byref(stream))
    batch.release(ctypes.byref(batch))
    assert child.length == 65536 and child.dictionary
    child.release(ctypes.byref(child))
    # capsules never taken are released with them; pyarrow's reader dropped midway
    t.__arrow_c_stream__(), t.__arrow_c_schema__()
    reader = pa.RecordBatchReader.from_stream(t)
    first = reader.read_next_batch()
    del reader
    assert first.column(0).to_pylist()[:3] == [1, 2, 3]
    assert t.to_arrow().num_rows == 149_999


def test_the_interpreter_runs_other_threads_while_a_sheet_is_read(tmp_path):
    rows = [[r * 0.5 + c for c in range(10)] for r in range(60_000)]
    path = xlsx(tmp_path, rows, "big.xlsx", constant_memory=True)
    vellum.read_table(path, header_row=None)  # warm
    ticks, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    other = threading.Thread(target=count)
    other.start()
    try:
        calls = []
        for _ in range(3):
            start = time.perf_counter()
            vellum.read_table(path, header_row=None)
            calls.append((start, time.perf_counter()))
    finally:
        stop.set()
        other.join()
    # held, the interpreter would let the other thread run between calls only
    inside = sum(1 for t0 in ticks for a, b in calls if a + 0.1 * (b - a) < t0 < b - 0.1 * (b - a))
    assert inside > 100, (inside, [b - a for a, b in calls])


def test_command_line_writes_parquet_and_arrow(tmp_path):
    path = xlsx(tmp_path, ROWS)
    pq = tmp_path / "out.parquet"
    run = lambda *a: subprocess.run([sys.executable, "-m", "vellum", str(path), *a],  # noqa: E731
                                    capture_output=True, text=True, timeout=120)
    out = run("--sheet", "Data", "--format", "parquet", "-o", str(pq))
    assert (out.returncode, out.stderr) == (0, "")
    import pyarrow.parquet
    assert pyarrow.parquet.read_table(pq).to_pydict() == vellum.read_table(path).to_arrow(False).to_pydict()
    arrow = tmp_path / "out.arrow"
    assert run("--format", "arrow", "-o", str(arrow), "--no-header", "--limit", "2").returncode == 0
    with pa.OSFile(str(arrow)) as f:
        got = pa.ipc.open_file(f).read_all()
    assert got.column_names == ["A", "B", "C", "D"] and got.num_rows == 2
    assert "needs pyarrow" in subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['pyarrow'] = None; import vellum.__main__ as m; "
         f"sys.exit(m.main([{str(path)!r}, '--format', 'parquet', '-o', {str(pq)!r}]))"],
        capture_output=True, text=True).stderr
    assert run("--format", "parquet").returncode == 2  # no -o
    assert "no sheet" in run("--sheet", "9", "--format", "arrow", "-o", str(arrow)).stderr
