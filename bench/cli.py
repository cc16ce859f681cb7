"""The command line's CSV, in process, against the floor of its job measured
in the same run: the sheet's values streamed and handed to `csv.writer` as
they come (ragged rows, no trimming, no formats: what the command line did
before it printed a rectangle as a spreadsheet writes it).

    bash scripts/devenv.sh bench cli [--runs N] [--rows N] [--json PATH]

For each generated workbook of `workbooks` ("numbers", "strings") it first
checks what `vellum FILE` and `vellum FILE --formatted` print, then reports
the medians of N runs of: the floor, the plain CSV, and `--formatted`
(every cell through `vellum.numfmt`), with their ratios to the floor. Then
the two corpus sheets formatting stretches to A1:XFD1048576 around a few
rows, which print what LibreOffice prints.
"""
import contextlib
import csv
import io
import os
import pathlib
import sys

import workbooks
from common import arguments, median_seconds, write_json
import vellum.__main__ as cli
from vellum.workbook import Workbook

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus" / "xlsx"
STRETCHED = {"calamine__issue_174.xlsx": 2, "phpspreadsheet__issue.3255.xlsx": 15}


def floor(path):
    with Workbook(path) as book, open(os.devnull, "w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        for row in book.sheets[0].iter_rows(values_only=True):
            writer.writerow(["" if v is None else v for v in row])


def printed(path, *flags, out=None):
    """`vellum FILE [flags]` in this process, into `out` (or nowhere)."""
    target = out if out is not None else open(os.devnull, "w")
    with contextlib.redirect_stdout(target):
        assert cli.main([str(path), *flags]) == 0
    if out is None:
        target.close()


def rows_of(path, *flags):
    out = io.StringIO()
    printed(path, *flags, out=out)
    return list(csv.reader(io.StringIO(out.getvalue())))


def check(kind, path, rows):
    plain, shown = rows_of(path), rows_of(path, "--formatted")
    assert len(plain) == len(shown) == rows and {len(r) for r in plain} == {workbooks.COLUMNS}
    for r in (1, rows // 2, rows):
        for c in (1, 2):
            want = workbooks.expected(kind, r, c)
            assert plain[r - 1][c - 1] == (str(want) if kind == "numbers" else want)
            assert shown[r - 1][c - 1] == plain[r - 1][c - 1]


def main():
    ap = arguments(runs=5, rows=workbooks.ROWS)
    args = ap.parse_args()
    results = []
    print(f"medians of {args.runs} runs, in process, output to {os.devnull}")
    for kind in workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        check(kind, path, args.rows)
        cells = args.rows * workbooks.COLUMNS
        base = median_seconds(lambda: floor(path), args.runs)
        plain = median_seconds(lambda: printed(path), args.runs)
        shown = median_seconds(lambda: printed(path, "--formatted"), args.runs)
        print(f"{kind}: {cells:,} cells")
        print(f"  floor (stream + csv.writer): {base:6.3f} s")
        print(f"  vellum FILE:                 {plain:6.3f} s  {plain / base:5.2f}x the floor")
        print(f"  vellum FILE --formatted:     {shown:6.3f} s  {shown / base:5.2f}x the floor")
        results.append({"workbook": kind, "cells": cells, "floor_s": base, "plain_s": plain,
                        "formatted_s": shown, "plain_vs_floor": plain / base,
                        "formatted_vs_floor": shown / base})
    for name, lines in STRETCHED.items():
        path = CORPUS / name
        if not path.exists():
            continue
        assert len(rows_of(path)) == lines
        took = median_seconds(lambda: printed(path), args.runs)
        base = median_seconds(lambda: floor(path), args.runs)
        print(f"{name}: {lines} rows printed of A1:XFD1048576 in {took:.3f} s "
              f"(the floor prints 1,048,576 lines in {base:.3f} s)")
        results.append({"workbook": name, "cells": None, "floor_s": base, "plain_s": took})
    if args.json:
        write_json(args.json, "cli", {"results": results})


if __name__ == "__main__":
    sys.exit(main())
