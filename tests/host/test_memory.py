"""Memory running out inside the engine is MemoryError, at every entry
point, and leaves behind objects in order: a store that failed to load is
empty and usable, a reader goes on failing the same way, a writer's output
holds whole rows only, a store that failed to take a cell holds exactly
those it took.

Each job runs in a fresh interpreter whose address space is capped a few
MiB above what it holds once the input is built, at several caps, so that
the failure strikes at different places. A process that aborts (as an
unhandled C++ allocation failure would) fails the test. The sanitizer
build reserves far more address space than any cap: skipped there."""
import json
import os
import subprocess
import sys

import pytest

from tests.needs import optional

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
pytestmark = pytest.mark.skipif(SANITIZED, reason="ASan cannot run under an address-space cap")

# What each job does once its input is built and the cap is set; it prints
# one JSON line: whether MemoryError struck, and the checks on the objects
# left behind.
PRELUDE = r"""
import io, json, resource, sys
from vellum import _vellum
from vellum.reference import Cell, Parser, make_helpers
from vellum.reference.styles import CellStyles, StyleArray
from vellum.reference import writer as ref

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"

def sheet(rows, cells, pad=""):
    row = "".join(f'<c t="inlineStr"><is><t>text {{i}} {{j}}{pad}</t></is></c>' for j in range(cells))
    body = "".join(f'<row r="{i + 1}">' + row.replace("{i}", str(i)) + "</row>" for i in range(rows))
    return f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData></worksheet>'.encode()

def cap(extra_mib):
    # room set aside to give back once memory ran out, for what follows
    global BALLAST
    BALLAST = bytearray(8 << 20)
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) << 10
    # the soft limit only, so that uncap() can lift it again
    resource.setrlimit(resource.RLIMIT_AS, (size + int(extra_mib * (1 << 20)), resource.getrlimit(resource.RLIMIT_AS)[1]))

def uncap():
    global BALLAST
    BALLAST = None
    resource.setrlimit(resource.RLIMIT_AS, (resource.getrlimit(resource.RLIMIT_AS)[1],) * 2)

def report(failed, **checks):
    print(json.dumps({"memory_error": failed, **checks}))
"""

JOBS = {
    # bind_cells: a store that fails to load is emptied, and stays usable
    "bind_cells": r"""
data = sheet(3000, 60)
store = _vellum.CellStore()
cap(EXTRA)
try:
    _vellum.bind_cells(io.BytesIO(data), Parser(), None, store, CellStyles([StyleArray()]), Cell,
                       make_helpers(), [])
    failed = False
except MemoryError:
    failed = True
uncap()
keys = list(store)
report(failed, consistent=len(keys) == len(store) == len(set(keys)),
       empty_after_failure=not failed or len(store) == 0, bounds=store._bounds() is None or bool(keys))
""",
    # RowReader: a reader that ran out goes on raising, and hands out no row
    # (rows of 16 MB of text: the engine's own row buffer runs out)
    "row_reader": r"""
data = sheet(3, 16000, "x" * 1000)
reader = _vellum.RowReader(io.BytesIO(data), Parser(), make_helpers())
rows = []
cap(EXTRA)
try:
    while (row := reader.next_raw()) is not None:
        rows.append(row)
    failed = False
except MemoryError:
    failed = True
uncap()
again = None
if failed:
    try:
        reader.next_raw()
        again = "row"
    except MemoryError:
        again = "MemoryError"
    except Exception as e:
        again = type(e).__name__
report(failed, in_order=[r[0] for r in rows] == list(range(1, len(rows) + 1)),
       sticky=not failed or again == "MemoryError")
""",
    "read_string_table": r"""
items = "".join(f"<si><t>shared text number {i}</t></si>" for i in range(400000))
data = f'<sst xmlns="{MAIN}">{items}</sst>'.encode()
cap(EXTRA)
try:
    table = _vellum.read_string_table(io.BytesIO(data), make_helpers())
    failed = False
except MemoryError:
    failed = True
report(failed)
""",
    "prescan_sheet": r"""
body = "".join(f'<row r="{i}" ht="{i % 90}" customHeight="1"/>' for i in range(1, 400000))
data = f'<worksheet xmlns="{MAIN}"><sheetData>{body}</sheetData></worksheet>'.encode()
cap(EXTRA)
try:
    _vellum.prescan_sheet(io.BytesIO(data), True, None, make_helpers())
    failed = False
except MemoryError:
    failed = True
report(failed)
""",
    # SheetWriter: rows whose writing failed leave nothing in the output
    "sheet_writer": r"""
class Book:
    epoch = __import__("vellum.utils.datetime", fromlist=["x"]).WINDOWS_EPOCH
    iso_dates = False
    _cell_styles = CellStyles([StyleArray()])
class Sheet:
    parent = Book()
    _hyperlinks = []
    row_dimensions = {}
out = []
writer = _vellum.SheetWriter(Sheet(), out.append, False, ref.make_writer_helpers(False))
values = [f"value {j}" * 40 for j in range(200)]
written = 0
cap(EXTRA)
failed = False
try:
    for row in range(1, 5000):
        writer.write_values(values, row, None)
        written = row
except MemoryError:
    failed = True
uncap()
writer.flush()
text = "".join(out)
report(failed, whole_rows=text.count("<row ") == text.count("</row>") == written)
""",
    # CellStore: each assignment is made whole or not at all
    "cell_store": r"""
store = _vellum.CellStore()
taken = 0
cap(EXTRA)
failed = False
try:
    for i in range(10_000_000):
        store[(i // 1000 + 1, i % 1000 + 1)] = i
        taken += 1
except MemoryError:
    failed = True
uncap()
keys = list(store)
# the count's own int may be what fails, just after an assignment was made
n = len(store)
report(failed, consistent=n - taken in (0, 1) and keys == [(i // 1000 + 1, i % 1000 + 1) for i in range(n)],
       values=all(store[k] == (k[0] - 1) * 1000 + k[1] - 1 for k in keys[-3:]))
""",
    # read_table: memory running out on the job's threads (the inflater's,
    # the string table's) or the calling one is MemoryError, never the
    # package's reading again; a read without the cap gives the whole table
    "read_table": r"""
import vellum, vellum.table, pyarrow as pa
def no_package(*args):
    raise AssertionError("the engine declined: the package read the sheet")
reading = vellum.table._by_package
vellum.table._by_package = no_package
vellum.read_table(BOOK.replace("table.xlsx", "small.xlsx"))  # every module and type loaded
cap(EXTRA)
try:
    got = vellum.read_table(BOOK)
    failed = False
except MemoryError:
    failed = True
uncap()
vellum.table._by_package = reading
again = vellum.read_table(BOOK)
plain = again.to_arrow(dictionaries=False)
report(failed, whole=plain.equals(vellum.read_table(BOOK, engine=False).to_arrow(dictionaries=False)),
       rows=again.num_rows == ROWS, dictionary=pa.types.is_dictionary(again.to_arrow().schema.field("text").type))
""",
}

# read_table's workbook: shared strings (most of them distinct, so that the
# string table is large), integers, floats and dates
TABLE_ROWS = 100_000


def write_table_books(folder):
    """table.xlsx (its string table the largest thing read), and a smaller
    workbook of the same kinds beside it, read first so that the big one's
    reading needs memory of its own while the job's threads start as at any
    other time (their stacks kept by the C library once made)."""
    import xlsxwriter
    for name, rows in (("table.xlsx", TABLE_ROWS), ("small.xlsx", TABLE_ROWS // 5)):
        book = xlsxwriter.Workbook(str(folder / name))  # (shared strings: not in constant_memory mode)
        sheet = book.add_worksheet()
        date = book.add_format({"num_format": "yyyy-mm-dd"})
        sheet.write_row(0, 0, ["text", "int", "float", "date"])
        for r in range(1, rows + 1):
            sheet.write_string(r, 0, f"text of row {r} " + "x" * 80)
            sheet.write_number(r, 1, r)
            sheet.write_number(r, 2, r / 7)
            sheet.write_number(r, 3, 40000 + r % 3000, date)
        book.close()
    return folder / "table.xlsx"


@pytest.fixture(scope="module")
def table_book(tmp_path_factory):
    optional("xlsxwriter")
    optional("pyarrow")
    return write_table_books(tmp_path_factory.mktemp("memory"))


def run(job, extra_mib, book=None):
    code = PRELUDE + JOBS[job].replace("EXTRA", str(extra_mib))
    code = code.replace("BOOK", repr(str(book))).replace("ROWS", str(TABLE_ROWS))
    # one malloc arena: a thread's own arena reserves its address space ahead
    # of use, where the cap would not see what the job then allocates
    env = {**os.environ, "MALLOC_ARENA_MAX": "1"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, f"{job} under +{extra_mib} MiB ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("job", sorted(JOBS))
def test_memory_error_leaves_objects_in_order(job, request):
    book = request.getfixturevalue("table_book") if job == "read_table" else None
    struck = 0
    # where the failure strikes moves with the cap in small steps (a load
    # emptied after one failure was left half-filled after another); the
    # table job, slower, at a few
    caps = (2, 6, 24) if job == "read_table" else [n / 2 for n in range(2, 17)] + [24]
    for extra in caps:
        result = run(job, extra, book)
        struck += result.pop("memory_error")
        assert all(result.values()), (job, extra, result)
    # the caps are low enough for the job to run out at least once
    assert struck, job
