"""Time streaming every value of a generated workbook, file to values.

    bash scripts/devenv.sh bench stream_workbook [--runs N] [--rows N] [--kind K]

For each kind of `workbooks` ("numbers", "strings") it first checks that each
path reads exactly the values the generator wrote (and that the engine's raw
rows equal the package's), then reports the median of N runs (at least 5) of:

- zip: zipfile inflating the sheet part alone, the floor of any reader;
- expat: inflating and parsing it with expat calling empty Python handlers,
  the floor of any reader written in Python;
- python: the package's own path (`Workbook(engine=False)`), opening the
  workbook, reading its shared strings and every row as values;
- engine: the same through the native engine, with its ratios against the
  python path and against zip (the median ratio of runs each paired with a
  zip run just before it); then both paths again with each row dropped once
  seen instead of kept in a list;
- raw: `RowReader.next_raw` over the sheet's bytes in memory, against expat
  parsing the same bytes (same 64 KiB reads) with no handlers at all;
- layers: the rows-dropped job again with members read by zipfile instead
  of the package's reader (`vellum.zipread`), and where its time goes:
  opening the workbook (with its shared strings), inflating the sheet part
  by the package's reader, and the engine's rows from the part's bytes in
  memory;
- floor: the least any reader could take on this interpreter and zip
  layer: the package's inflate of the sheet part, plus CPython making the
  values alone (each row's tuple of fresh ints and floats, unpacked by
  `struct` from binary records; for shared strings, the table's texts split
  out of one string, and each row's tuple of them), with its ratio to zip.
  Whatever a reader spends beyond it is parsing.

With `--warm` the whole run is repeated in a process on the C allocator
with trimming off (`common.WARM_ENV`), so memory freed by one run serves
the next: the same jobs without this machine's price for fresh pages. With
`--json PATH` the figures are also written there, for the report.
"""
import argparse
import io
import statistics
import struct
import sys
import time
import xml.parsers.expat
import zipfile

import workbooks
from common import rerun_warm, write_json
from vellum import _vellum, zipread
from vellum.workbook import Workbook


def read_values(path, engine):
    with Workbook(path, engine=engine) as book:
        return list(book.iter_rows())


def stream_values(path, engine):
    """Every row as values, each dropped once seen: no list of a million
    values for the allocator and the garbage collector to grow."""
    with Workbook(path, engine=engine) as book:
        for _ in book.iter_rows():
            pass


def inflate(path):
    with zipfile.ZipFile(path) as z, z.open("xl/worksheets/sheet1.xml") as part:
        while part.read(65536):
            pass


def open_only(path):
    with Workbook(path):
        pass


def inflate_vellum(path):
    with zipfile.ZipFile(path) as z, zipread.open_member(z, "xl/worksheets/sheet1.xml", path) as part:
        while part.read(65536):
            pass


def rows_in_memory(book, data):
    """The engine's rows as values from the sheet's bytes in memory, in a
    workbook already open: the job without opening and inflating."""
    stream = book.stream()
    stream.close()
    stream._source = io.BytesIO(data)
    stream._reader = _vellum.RowReader(stream._source, stream.parser, book.helpers)
    for _ in stream.rows(indexed=False):
        pass


def value_floor(kind, rows):
    """The function that makes the values of `kind` the least costly way
    CPython has, and its input: what no reader can do without."""
    values = [workbooks.expected(kind, r, c) for r in range(1, rows + 1)
              for c in range(1, workbooks.COLUMNS + 1)]
    if kind == "numbers":
        record = struct.Struct("<" + "dq" * (workbooks.COLUMNS // 2))
        packed = b"".join(record.pack(*values[i:i + workbooks.COLUMNS])
                          for i in range(0, len(values), workbooks.COLUMNS))

        def make():
            for _ in record.iter_unpack(packed):
                pass
        return make
    table = list(dict.fromkeys(values))
    joined = "\n".join(table)
    index = {text: i for i, text in enumerate(table)}
    cells = [index[v] for v in values]

    def make():
        texts = joined.split("\n")
        for _ in zip(*[map(texts.__getitem__, cells)] * workbooks.COLUMNS):
            pass
    return make


def with_backend(backend, fn, *args):
    saved, zipread.BACKEND = zipread.BACKEND, backend
    try:
        return fn(*args)
    finally:
        zipread.BACKEND = saved


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


def paired(runs, fn, path, *args):
    """The median time of fn(path, *args), and the median of its ratios to
    inflating the sheet part timed just before each run: on a shared machine
    the speed of both drifts together, and pairs keep the ratio honest."""
    times, ratios = [], []
    for _ in range(runs):
        zip_s = _timed(inflate, path)
        t = _timed(fn, path, *args)
        times.append(t)
        ratios.append(t / zip_s)
    return statistics.median(times), statistics.median(ratios)


def sheet_bytes(path):
    with zipfile.ZipFile(path) as z:
        return z.read("xl/worksheets/sheet1.xml")


def raw_rows(path, data):
    with Workbook(path, engine=False) as book:
        reader = _vellum.RowReader(io.BytesIO(data), book.parser(), book.helpers)
        rows = []
        while (row := reader.next_raw()) is not None:
            rows.append(row)
        return rows


def python_raw_rows(path):
    with Workbook(path, engine=False) as book:
        return book.read_sheet()[0]


def engine_raw(data, parser, helpers):
    reader = _vellum.RowReader(io.BytesIO(data), parser, helpers)
    while reader.next_raw() is not None:
        pass


def expat_bare(data):
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")
    source = io.BytesIO(data)
    while chunk := source.read(65536):
        p.Parse(chunk, False)
    p.Parse(b"", True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=workbooks.ROWS)
    ap.add_argument("--kind", choices=workbooks.KINDS, action="append")
    ap.add_argument("--json", help="also write the figures to this file")
    ap.add_argument("--warm", action="store_true", help="run on memory the process holds")
    args = ap.parse_args()
    if args.warm and rerun_warm():
        print("warm: C allocator with trimming off, memory freed by one run serves the next", flush=True)
    results = []
    runs = max(args.runs, 5)
    engine = hasattr(_vellum, "RowReader")
    for kind in args.kind or workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        data = sheet_bytes(path)
        mb = len(data) / 1e6
        check(kind, args.rows, read_values(path, False), "python path")
        # The engine's turn: checked like the python path, timed in the same run.
        if engine:
            check(kind, args.rows, read_values(path, True), "engine")
            if raw_rows(path, data) != python_raw_rows(path):
                sys.exit(f"engine's raw rows of {kind} differ from the python path's")
        zip_s = median_time(runs, inflate, path)
        expat_s = median_time(runs, expat_only, path)
        python_s = median_time(runs, read_values, path, False)
        cells = args.rows * workbooks.COLUMNS
        print(f"{kind:8} {args.rows} rows, {cells} cells, sheet part {mb:.1f} MB", flush=True)
        print(f"  zip    {zip_s:.3f} s    expat+handlers {expat_s:.3f} s    "
              f"python {python_s:.3f} s ({cells / python_s / 1e6:.2f} M cells/s)", flush=True)
        figures = {"workbook": kind, "rows": args.rows, "cells": cells, "mb": mb, "zip": zip_s,
                   "expat_handlers": expat_s, "python": python_s}
        results.append(figures)
        if not engine:
            print("  engine: no RowReader yet")
            continue
        engine_s, engine_zip = paired(runs, read_values, path, True)
        print(f"  engine {engine_s:.3f} s ({cells / engine_s / 1e6:.2f} M cells/s, {mb / engine_s:.0f} MB/s): "
              f"{python_s / engine_s:.1f}x python, {engine_zip:.2f}x zip", flush=True)
        python_stream_s = median_time(runs, stream_values, path, False)
        engine_stream_s, stream_zip = paired(runs, stream_values, path, True)
        print(f"  rows dropped as read: python {python_stream_s:.3f} s, engine {engine_stream_s:.3f} s "
              f"({cells / engine_stream_s / 1e6:.2f} M cells/s): {python_stream_s / engine_stream_s:.1f}x python, "
              f"{stream_zip:.2f}x zip", flush=True)
        with Workbook(path, engine=False) as book:
            raw_s = statistics.median(
                _timed(engine_raw, data, book.parser(), book.helpers) for _ in range(runs))
        bare_s = median_time(runs, expat_bare, data)
        print(f"  raw    next_raw {raw_s:.3f} s ({mb / raw_s:.0f} MB/s, {cells / raw_s / 1e6:.2f} M cells/s), "
              f"expat bare {bare_s:.3f} s ({mb / bare_s:.0f} MB/s): {bare_s / raw_s:.2f}x expat", flush=True)
        zipfile_s, zipfile_zip = paired(
            runs, lambda p: with_backend("zipfile", stream_values, p, True), path)
        open_s = median_time(runs, open_only, path)
        member_s = median_time(runs, inflate_vellum, path)
        with Workbook(path) as book:
            memory_s = median_time(runs, rows_in_memory, book, data)
        print(f"  layers rows dropped, members by zipfile {zipfile_s:.3f} s ({zipfile_zip:.2f}x zip), "
              f"by {zipread.BACKEND} {engine_stream_s:.3f} s ({stream_zip:.2f}x zip); split: open {open_s:.3f} s, "
              f"inflate ({zipread.BACKEND}) {member_s:.3f} s, rows from memory {memory_s:.3f} s", flush=True)
        values_s = median_time(runs, value_floor(kind, args.rows))
        floor_s = member_s + values_s
        print(f"  floor  inflate ({zipread.BACKEND}) {member_s:.3f} s + making the values {values_s:.3f} s "
              f"= {floor_s:.3f} s ({floor_s / zip_s:.2f}x zip): the engine spends {engine_stream_s - floor_s:.3f} s "
              f"beyond it", flush=True)
        figures.update(engine_kept=engine_s, engine_kept_vs_zip=engine_zip, python_dropped=python_stream_s,
                       engine=engine_stream_s, engine_vs_zip=stream_zip, raw=raw_s, expat_bare=bare_s,
                       engine_zipfile=zipfile_s, engine_zipfile_vs_zip=zipfile_zip, open=open_s,
                       inflate_member=member_s, rows_in_memory=memory_s, values_floor=values_s,
                       floor=floor_s, floor_vs_zip=floor_s / zip_s)
    if args.json:
        write_json(args.json, "stream_workbook", {"runs": runs, "backend": zipread.BACKEND, "warm": args.warm,
                                                  "results": results})


def _timed(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t


if __name__ == "__main__":
    main()
