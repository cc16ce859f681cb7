"""Time streaming every value of a generated workbook, file to values.

    bash scripts/devenv.sh bench stream_workbook [--runs N] [--rows N] [--kind K]

For each kind of `workbooks` ("numbers", "strings") it first checks that each
path reads exactly the values the generator wrote, then reports the median of
N runs (at least 5) of:

- zip: zipfile inflating the sheet part alone, the floor of any reader;
- expat: inflating and parsing it with expat calling empty Python handlers,
  the floor of any reader written in Python;
- python: the package's own path (`Workbook(engine=False)`), opening the
  workbook, reading its shared strings and every row as values;
- engine: the same through the native engine, when it has `RowReader`,
  with its ratio against the python path of the same run.
"""
import argparse
import statistics
import sys
import time
import xml.parsers.expat
import zipfile

import workbooks
from vellum import _vellum
from vellum.reference.workbook import Workbook


def read_values(path, engine):
    with Workbook(path, engine=engine) as book:
        return list(book.iter_rows())


def inflate(path):
    with zipfile.ZipFile(path) as z, z.open("xl/worksheets/sheet1.xml") as part:
        while part.read(65536):
            pass


def _ignore(*args):
    pass


def expat_only(path):
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")
    p.buffer_text = True
    p.StartElementHandler = p.EndElementHandler = p.CharacterDataHandler = _ignore
    with zipfile.ZipFile(path) as z, z.open("xl/worksheets/sheet1.xml") as part:
        while data := part.read(65536):
            p.Parse(data, False)
    p.Parse(b"", True)


def check(kind, rows, got, label):
    want = [tuple(workbooks.expected(kind, r, c) for c in range(1, workbooks.COLUMNS + 1))
            for r in range(1, rows + 1)]
    if got != want:
        bad = next(i for i, (a, b) in enumerate(zip(got, want)) if a != b) if len(got) == len(want) else None
        sys.exit(f"{label} read {kind} wrongly (rows {len(got)} of {rows}, first bad row index {bad})")


def median_time(runs, fn, *args):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn(*args)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=workbooks.ROWS)
    ap.add_argument("--kind", choices=workbooks.KINDS, action="append")
    args = ap.parse_args()
    runs = max(args.runs, 5)
    engine = hasattr(_vellum, "RowReader")
    for kind in args.kind or workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        check(kind, args.rows, read_values(path, False), "python path")
        # The engine's turn: checked like the python path, timed in the same run.
        if engine:
            check(kind, args.rows, read_values(path, True), "engine")
        zip_s = median_time(runs, inflate, path)
        expat_s = median_time(runs, expat_only, path)
        python_s = median_time(runs, read_values, path, False)
        cells = args.rows * workbooks.COLUMNS
        line = (f"{kind:8} {args.rows} rows: zip {zip_s:.3f} s, expat {expat_s:.3f} s, "
                f"python {python_s:.3f} s ({cells / python_s / 1e6:.2f} M cells/s)")
        if engine:
            engine_s = median_time(runs, read_values, path, True)
            line += f", engine {engine_s:.3f} s ({python_s / engine_s:.1f}x python)"
        else:
            line += ", engine: no RowReader yet"
        print(line, flush=True)


if __name__ == "__main__":
    main()
