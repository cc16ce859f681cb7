"""Saves of a workbook that was read, against the same workbook's save with
its large sheet written again, and against copying the file, in one run.

A workbook of a sheet of N cells (numbers, 100,000 rows x 10 by default)
and a small second sheet is written with XlsxWriter and read in full twice:
in one copy a cell of the small sheet is changed, in the other a cell of the
large one, and each is saved again and again, in alternating rounds. The
first save copies the large sheet's part as it is stored and writes the
small one again; the second writes the large one again. Then the corpus's
largest workbook, read in full, is saved with no change (every part copied
as stored) against `shutil.copyfile` of the same file, and against a copy
made as a save to a path is made (a new file flushed to disk and renamed
over the target, the rename flushed too): the flushes alone take longer
than the plain copy. Medians of the rounds; each result is read back and
checked first.

    bash scripts/devenv.sh bench edit [--runs N] [--rows N] [--json PATH]
"""
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
from common import arguments, write_json  # noqa: E402
import vellum  # noqa: E402

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus" / "xlsx"
COLS = 10


def make(path, rows):
    import xlsxwriter
    book = xlsxwriter.Workbook(str(path), {"constant_memory": True})
    large = book.add_worksheet("large")
    for r in range(rows):
        large.write_row(r, 0, [(r * COLS + c) * 0.25 for c in range(COLS)])
    small = book.add_worksheet("small")
    for r in range(10):
        small.write_row(r, 0, [f"small {r}", r, r * 1.5])
    book.close()


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def durable_copy(source, target):
    """A copy made as a save to a path is: a new file beside the target,
    flushed to disk, renamed over it, the rename flushed too."""
    scratch = target.with_name(f".{target.name}.tmp")
    with open(source, "rb") as f, open(scratch, "wb") as out:
        shutil.copyfileobj(f, out, 1 << 20)
        out.flush()
        os.fsync(out.fileno())
    os.replace(scratch, target)
    folder = os.open(target.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def main():
    ap = arguments(runs=5, rows=100_000)
    args = ap.parse_args()
    largest = max(CORPUS.glob("*.xls[xm]"), key=lambda p: p.stat().st_size)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        source = tmp / "two.xlsx"
        make(source, args.rows)
        small_book, large_book = vellum.read_workbook(source), vellum.read_workbook(source)
        corpus_book = vellum.read_workbook(largest)
        small_book["small"]["B2"] = "changed"
        large_book["large"]["B2"] = "changed"
        jobs = {
            "small sheet changed": lambda: small_book.save(tmp / "small.xlsx"),
            "large sheet changed": lambda: large_book.save(tmp / "large.xlsx"),
            "corpus, no change": lambda: corpus_book.save(tmp / "corpus.xlsx"),
            "corpus, file copied": lambda: shutil.copyfile(largest, tmp / "copy.xlsx"),
            "corpus, copied durably": lambda: durable_copy(largest, tmp / "synced.xlsx"),
        }
        for job in jobs.values():
            job()
        # right first: the changes saved, the large sheet copied as stored
        with vellum.read_workbook(tmp / "small.xlsx") as book:
            assert book["small"]["B2"].value == "changed"
            assert book["large"].max_row == args.rows
        with vellum.read_workbook(tmp / "large.xlsx") as book:
            assert book["large"]["B2"].value == "changed"
        with zipfile.ZipFile(source) as a, zipfile.ZipFile(tmp / "small.xlsx") as b:
            assert a.getinfo("xl/worksheets/sheet1.xml").CRC == b.getinfo("xl/worksheets/sheet1.xml").CRC
        with zipfile.ZipFile(largest) as a, zipfile.ZipFile(tmp / "corpus.xlsx") as b:
            assert all(a.read(n) == b.read(n) for n in a.namelist())
        times = {name: [] for name in jobs}
        for _ in range(args.runs):
            for name, job in jobs.items():
                times[name].append(timed(job))
        for book in (small_book, large_book, corpus_book):
            book.close()
    med = {name: statistics.median(t) for name, t in times.items()}
    cells = args.rows * COLS
    print(f"a workbook of {cells:,} cells and a small sheet; {largest.name} "
          f"({largest.stat().st_size:,} bytes); medians of {args.runs} rounds")
    for name, t in med.items():
        print(f"  {name:<22} {t * 1000:9.1f} ms")
    small_ratio = med["small sheet changed"] / med["large sheet changed"]
    copy_ratio = med["corpus, no change"] / med["corpus, file copied"]
    print(f"small sheet changed / large sheet changed: {small_ratio:.3f} (at most 0.1)")
    synced_ratio = med["corpus, no change"] / med["corpus, copied durably"]
    print(f"corpus no-change save / file copy: {copy_ratio:.2f} (within 2); "
          f"/ durable copy: {synced_ratio:.2f}")
    if args.json:
        write_json(args.json, "edit", {
            "cells": cells, "corpus_file": largest.name, "runs": args.runs,
            "results": [{"job": name, "seconds": round(t, 5)} for name, t in med.items()],
            "ratios": {"small_over_large": round(small_ratio, 4), "nochange_over_copy": round(copy_ratio, 3),
                       "nochange_over_durable_copy": round(synced_ratio, 3)}})


if __name__ == "__main__":
    main()
