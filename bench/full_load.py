"""Full ("editable") reading: a whole worksheet from the file into a loaded
worksheet, by the engine (`bind_cells` into a `CellStore`) against the
package's own full reading (a dict of `Cell` objects), and zipfile's
inflating of the sheet part alone, in one run.

Workbooks: (a) numbers and (b) shared strings of the streaming benchmark
(100,000 rows x 10), and (c) 200,000 rows x 5: a repeated label, two
numbers, and two formula columns `=A2*B2`-shaped and `=C2+A2`-shaped with
cached values. Each reading is first checked against the other (same keys,
values, data types, styles); times are medians, memory is the growth of the
resident set of a fresh process holding the loaded worksheet.

    bash scripts/devenv.sh bench full_load [--runs N] [--rows N] [--json PATH]

With `--json PATH` the figures are also written there, for the report.
"""
import argparse
import gc
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import median_seconds, write_json  # noqa: E402
from stream_workbook import _timed, inflate  # noqa: E402
from vellum.workbook import Workbook, load_worksheet  # noqa: E402

FORMULA_ROWS = 200_000


def formulas_path(rows=FORMULA_ROWS):
    """(c): a label, two numbers, two formulas with their cached values."""
    target = workbooks.CACHE / f"formulas-{rows}x5.xlsx"
    if not target.exists():
        import xlsxwriter
        workbooks.CACHE.mkdir(exist_ok=True)
        partial = target.with_suffix(f".{os.getpid()}.tmp")
        book = xlsxwriter.Workbook(str(partial), {"constant_memory": True})
        sheet = book.add_worksheet("data")
        for r in range(rows):
            a, b = r % 97, (r % 13) + 0.5
            sheet.write_string(r, 0, "label")
            sheet.write_number(r, 1, a)
            sheet.write_number(r, 2, b)
            sheet.write_formula(r, 3, f"=B{r + 1}*C{r + 1}", None, a * b)
            sheet.write_formula(r, 4, f"=D{r + 1}+B{r + 1}", None, a * b + a)
        book.close()
        partial.replace(target)
    return target


def load(path, engine):
    with Workbook(path, streaming=True) as book:
        return load_worksheet(book, book.sheets[0], engine)


def timed_load(path, engine):
    """One load, timed alone: the sheet from an earlier run (a worksheet and
    its cells refer to each other) is collected before, not during it."""
    gc.collect()
    return _timed(load, path, engine)


def paired(runs, path):
    """The engine's median time and the median of its ratios to inflating
    the sheet part timed just before each run (both drift together on a
    shared machine)."""
    times, ratios = [], []
    for _ in range(runs):
        zip_s = _timed(inflate, path)
        t = timed_load(path, True)
        times.append(t)
        ratios.append(t / zip_s)
    return statistics.median(times), statistics.median(ratios)


def summary(ws):
    """Every cell, comparable: key, value with type, data type, style."""
    cells = ws._cells
    return [(k, type(c._value).__name__, c._value, c.data_type, None if c._style is None else tuple(c._style))
            for k in cells for c in (cells[k],)]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(path, engine):
    """Resident growth, in a fresh process, of holding the loaded sheet (the
    workbook, with its shared strings, is open before: both readings share
    it)."""
    with Workbook(path, streaming=True) as book:
        gc.collect()
        before = rss()
        ws = load_worksheet(book, book.sheets[0], engine)
        gc.collect()
        grown = rss() - before
        stats = ws._cells._stats() if hasattr(ws._cells, "_stats") else None
        print(grown, len(ws._cells), stats)


def memory(path, engine):
    out = subprocess.run([sys.executable, __file__, "--memory", str(path), str(int(engine))],
                         check=True, capture_output=True, text=True).stdout.split(maxsplit=2)
    return int(out[0]), int(out[1]), out[2].strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=workbooks.ROWS)
    ap.add_argument("--memory", nargs=2, help=argparse.SUPPRESS)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()
    results = []
    if args.memory:
        return memory_child(pathlib.Path(args.memory[0]), args.memory[1] == "1")
    runs = max(args.runs, 5)
    cases = [("(a) numbers", workbooks.path("numbers", args.rows)),
             ("(b) strings", workbooks.path("strings", args.rows)),
             ("(c) formulas", formulas_path(args.rows * 2))]
    for label, path in cases:
        engine_ws, python_ws = load(path, True), load(path, False)
        if type(engine_ws._cells).__name__ != "CellStore":
            sys.exit(f"{label}: the engine declined")
        if summary(engine_ws) != summary(python_ws):
            sys.exit(f"{label}: the engine's cells differ from the package's")
        cells = len(engine_ws._cells)
        del engine_ws, python_ws
        zip_s = median_seconds(lambda: inflate(path), runs)
        python_s = statistics.median(timed_load(path, False) for _ in range(max(3, runs // 2)))
        engine_s, engine_zip = paired(runs, path)
        e_mem, _, stats = memory(path, True)
        p_mem, _, _ = memory(path, False)
        print(f"{label}: {cells} cells; zip {zip_s:.3f} s; python {python_s:.2f} s "
              f"({cells / python_s / 1e3:.0f} k cells/s); engine {engine_s:.3f} s "
              f"({cells / engine_s / 1e6:.2f} M cells/s): {python_s / engine_s:.1f}x python, "
              f"{engine_zip:.2f}x zip (paired)", flush=True)
        print(f"    memory held: engine {e_mem / cells:.1f} B/cell, python {p_mem / cells:.0f} B/cell "
              f"({p_mem / max(e_mem, 1):.1f}x less); store stats (cells, made, templates, text bytes) {stats}",
              flush=True)
        results.append({"workbook": label, "cells": cells, "zip": zip_s, "python": python_s, "engine": engine_s,
                        "engine_vs_zip": engine_zip, "engine_bytes_per_cell": e_mem / cells,
                        "python_bytes_per_cell": p_mem / cells})
    if args.json:
        write_json(args.json, "full_load", {"rows": args.rows, "runs": runs, "results": results})


if __name__ == "__main__":
    main()
