"""Benchmark workbooks, made with XlsxWriter and cached in the temp folder.

`path(kind)` gives the file of one kind, writing it on first use:

- "numbers": 100,000 rows x 10 columns, integers in even columns and floats
  in odd ones;
- "strings": the same shape of shared strings, half of them from a pool of
  1,000 texts and half unique.

`expected(kind, row, column)` is the value the generator wrote at a 1-based
cell, so a benchmark can check what it read before it times anything.
"""
import os
import pathlib
import tempfile

ROWS = 100_000
COLUMNS = 10
POOL = 1_000
KINDS = ("numbers", "strings")
CACHE = pathlib.Path(tempfile.gettempdir()) / "vellum-bench"


def expected(kind, row, column):
    n = (row - 1) * COLUMNS + column
    if kind == "numbers":
        return n if column % 2 == 0 else n + 0.25
    if column % 2 == 0:
        return f"pool text {n % POOL}"
    return f"unique text {n}"


def write(kind, target, rows=ROWS):
    """Write a workbook of `kind` with `rows` rows to `target`."""
    import xlsxwriter

    options = {"constant_memory": True} if kind == "numbers" else {}
    book = xlsxwriter.Workbook(str(target), options)
    sheet = book.add_worksheet("data")
    put = sheet.write_number if kind == "numbers" else sheet.write_string
    for r in range(rows):
        for c in range(COLUMNS):
            put(r, c, expected(kind, r + 1, c + 1))
    book.close()


def path(kind, rows=ROWS):
    """The cached workbook of `kind`, written first if it is not there."""
    if kind not in KINDS:
        raise ValueError(f"unknown workbook kind {kind!r}; kinds: {', '.join(KINDS)}")
    CACHE.mkdir(exist_ok=True)
    target = CACHE / f"{kind}-{rows}x{COLUMNS}.xlsx"
    if not target.exists():
        partial = target.with_suffix(f".{os.getpid()}.tmp")
        write(kind, partial, rows)
        partial.replace(target)
    return target
