"""Writing a loaded worksheet's <sheetData>: the engine's SheetWriter
straight from the cell store against the package's own writer, in both
serialisers, in one run.

Workbooks: the numbers and the shared-strings workbooks of the streaming
benchmark (100,000 rows x 10 = 1,000,000 cells), each loaded in full by the
engine. The two writers' outputs are first checked to be equal byte for
byte; then each is timed writing to a sink that only counts (medians).
The engine writes from a store of its own (the package's writer creates
every Cell, which would change what the engine's later runs read), and
the output goes nowhere, so page faults of a growing file stay out of it.

    bash scripts/devenv.sh bench write_sheet [--runs N] [--rows N] [--json PATH]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import arguments, median_seconds, write_json  # noqa: E402
from vellum import _vellum  # noqa: E402
from vellum.reference import writer as ref  # noqa: E402
from vellum.workbook import Workbook, load_worksheet  # noqa: E402


def load(path):
    with Workbook(path, streaming=True) as book:
        return load_worksheet(book, book.sheets[0], True)


def write(cls, ws, lxml, sink):
    cls(ws, sink, lxml, ref.make_writer_helpers(lxml)).write_sheet_data(lambda: ref.rows(ws))


def collected(cls, ws, lxml):
    out = []
    write(cls, ws, lxml, out.append)
    return (b"" if lxml else "").join(out)


def main():
    args = arguments(5, workbooks.ROWS).parse_args()
    results = []
    for kind in workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        for lxml in (False, True):
            mode = "lxml" if lxml else "standard"
            fast, slow = load(path), load(path)
            assert isinstance(fast._cells, _vellum.CellStore)
            if collected(_vellum.SheetWriter, fast, lxml) != collected(ref.SheetWriter, slow, lxml):
                raise SystemExit(f"{kind}/{mode}: the writers disagree")
            fast = load(path)  # untouched by the check above
            size = [0]

            def sink(chunk):
                size[0] += len(chunk)
            engine_s = median_seconds(lambda: write(_vellum.SheetWriter, fast, lxml, sink), args.runs)
            python_s = median_seconds(lambda: write(ref.SheetWriter, slow, lxml, sink), args.runs)
            cells = args.rows * workbooks.COLUMNS
            print(f"{kind:8} {mode:8}: {cells} cells; engine {engine_s:.3f} s "
                  f"({engine_s / cells * 1e9:.0f} ns/cell), python {python_s:.2f} s; "
                  f"ratio {python_s / engine_s:.1f}x", flush=True)
            results.append({"kind": kind, "mode": mode, "cells": cells, "engine": engine_s, "python": python_s,
                            "ratio": python_s / engine_s, "bytes": size[0] // (2 * args.runs)})
            del fast, slow
    if args.json:
        write_json(args.json, "write_sheet", {"runs": args.runs, "results": results})


if __name__ == "__main__":
    main()
