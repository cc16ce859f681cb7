"""The engine's row path alone: `RowReader.next_row` for values, called as
`SheetStream.rows` calls it, over each benchmark sheet's bytes in memory
(io.BytesIO, 64 KiB reads), with no inflating and no opening of the
workbook; beside it, in the same run, expat parsing the same bytes in the
same reads with no handlers at all (the floor of any reader of the XML).

    bash scripts/devenv.sh bench rows [--runs N] [--rows N] [--kind K] [--json PATH]

Each kind of `workbooks` is first read once and checked against the values
the generator wrote; then the two jobs are timed round by round (so each
median sees the same load), medians of at least 7 rounds, and reported as
ns per cell and MB/s of sheet XML. Rows are dropped as read: a job that
kept them would be timing the page faults of a million new objects. Each
reader is made before its timing starts.
"""
import io
import os
import sys
import statistics
import time
import xml.parsers.expat
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import arguments, write_json  # noqa: E402
from vellum import _vellum  # noqa: E402
from vellum.reference import Cell  # noqa: E402
from vellum.workbook import Workbook  # noqa: E402

PART = "xl/worksheets/sheet1.xml"
CHUNK = 1 << 16


def sheet_bytes(path):
    with zipfile.ZipFile(path) as z:
        return z.read(PART)


def row_job(book, data):
    """A function that makes a new reader of `data` (and the package's parser
    object for it: it copies the shared strings, which is no part of the row
    path) and returns a function that reads every row of it as values, each
    dropped once seen, or returns them when asked."""
    stream = book.stream()
    stream.close()
    args = stream._row_args(1, None, True, Cell)

    def prepare():
        fetch = _vellum.RowReader(io.BytesIO(data), book.parser(), book.helpers).next_row

        def run(keep=False):
            if keep:
                rows = []
                while (row := fetch(*args)) is not None:
                    rows.append(row[1])
                return rows
            while fetch(*args) is not None:
                pass
        return run
    return prepare


def expat_bare(data):
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")
    source = io.BytesIO(data)
    while chunk := source.read(CHUNK):
        p.Parse(chunk, False)
    p.Parse(b"", True)


def check(kind, rows, got):
    for r, row in enumerate(got, 1):
        want = tuple(workbooks.expected(kind, r, c) for c in range(1, workbooks.COLUMNS + 1))
        if row != want or any(type(a) is not type(b) for a, b in zip(row, want)):
            sys.exit(f"next_row read row {r} of {kind} wrongly: {row!r}, want {want!r}")
    if len(got) != rows:
        sys.exit(f"next_row read {len(got)} rows of {kind}, want {rows}")


def timed(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t


def main():
    ap = arguments(runs=9, rows=workbooks.ROWS)
    ap.add_argument("--kind", choices=workbooks.KINDS, action="append")
    args = ap.parse_args()
    runs = max(args.runs, 7)
    results = []
    for kind in args.kind or workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        data = sheet_bytes(path)
        cells = args.rows * workbooks.COLUMNS
        mb = len(data) / 1e6
        with Workbook(path) as book:
            job = row_job(book, data)
            check(kind, args.rows, job()(keep=True))
            engine, expat = [], []
            for _ in range(runs):
                engine.append(timed(job()))
                expat.append(timed(expat_bare, data))
        engine_s, expat_s = statistics.median(engine), statistics.median(expat)
        print(f"{kind:8} {cells} cells, sheet part {mb:.1f} MB, medians of {runs}", flush=True)
        print(f"  next_row   {engine_s * 1e3:7.1f} ms  {engine_s / cells * 1e9:6.1f} ns/cell  "
              f"{mb / engine_s:6.0f} MB/s", flush=True)
        print(f"  expat bare {expat_s * 1e3:7.1f} ms  {expat_s / cells * 1e9:6.1f} ns/cell  "
              f"{mb / expat_s:6.0f} MB/s   next_row/expat {engine_s / expat_s:.2f}", flush=True)
        results.append({"workbook": kind, "rows": args.rows, "cells": cells, "mb": mb,
                        "next_row": engine_s, "expat_bare": expat_s,
                        "next_row_ns_per_cell": engine_s / cells * 1e9})
    if args.json:
        write_json(args.json, "rows", {"runs": runs, "results": results})


if __name__ == "__main__":
    main()
