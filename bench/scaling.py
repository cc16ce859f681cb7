"""How time grows with the size of a sheet: the numbers workbook of
`workbooks` at 10 columns and a range of row counts, each job's median
time per size, in one run (each round runs every job once):

- zip: zipfile inflating the sheet part alone;
- stream: the engine streaming every value, rows dropped as read (members
  by the package's reader), and the same with members read by zipfile;
- full: the engine reading the sheet in full;
- python: the package's own streaming, up to `--python-max` rows (at
  about 0.2 M cells/s it would take minutes beyond);
- save, save_write_only: a whole save of a new workbook of the same size
  (the numbers of `save`), by default and write-only.

    bash scripts/devenv.sh bench scaling [--rows N ...] [--runs N] [--json PATH]

The default sizes run from 10 thousand to 10 million cells; the largest
workbook takes a minute or two to write on first use.
"""
import argparse
import os
import pathlib
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import write_json  # noqa: E402
from full_load import timed_load  # noqa: E402
from save import save_vellum  # noqa: E402
from stream_workbook import _timed, inflate, stream_values, with_backend  # noqa: E402
from vellum import zipread  # noqa: E402

SIZES = [1_000, 10_000, 100_000, 1_000_000]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, nargs="+", default=SIZES)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--python-max", type=int, default=100_000)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()
    runs = max(args.runs, 5)
    results = []
    out = pathlib.Path(tempfile.mkdtemp()) / "saved.xlsx"
    for rows in args.rows:
        path = workbooks.path("numbers", rows)
        cells = rows * workbooks.COLUMNS
        jobs = {"zip": lambda: inflate(path), "stream": lambda: stream_values(path, True),
                "stream_zipfile": lambda: with_backend("zipfile", stream_values, path, True),
                "full": lambda: timed_load(path, True)}
        if rows <= args.python_max:
            jobs["python"] = lambda: stream_values(path, False)
        jobs["save"] = lambda: save_vellum(out, "numbers", rows)
        jobs["save_write_only"] = lambda: save_vellum(out, "numbers", rows, write_only=True)
        # every job once per round, so that the machine's drift falls on all
        times = {name: [] for name in jobs}
        for _ in range(runs):
            for name, fn in jobs.items():
                times[name].append(_timed(fn) if name != "full" else fn())
        r = {"rows": rows, "cells": cells, **{name: statistics.median(t) for name, t in times.items()}}
        results.append(r)
        print(f"{cells:>10} cells: zip {r['zip']:.4f} s, stream {r['stream']:.4f} s "
              f"({cells / r['stream'] / 1e6:.2f} M cells/s, {r['stream'] / r['zip']:.2f}x zip), "
              f"stream (zipfile members) {r['stream_zipfile']:.4f} s, full {r['full']:.4f} s"
              + (f", python {r['python']:.3f} s" if "python" in r else "")
              + f"; save {r['save']:.4f} s, write-only {r['save_write_only']:.4f} s", flush=True)
    out.unlink(missing_ok=True)
    out.parent.rmdir()
    if args.json:
        write_json(args.json, "scaling", {"runs": runs, "backend": zipread.BACKEND, "results": results})


if __name__ == "__main__":
    main()
