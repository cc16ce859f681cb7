"""read_table, file to an Arrow table, against zipfile's inflate of the
sheet part alone and against the rows of `read_workbook(streaming=True)`
made into a table by pyarrow and by pandas, in one run:

- floats: 1,000,000 cells (100,000 rows x 10) of full-precision random
  floats, written by XlsxWriter;
- strings: the shared-strings workbook of `workbooks` (its string table,
  read into the table's dictionary, included).

Each round runs every job once, zipfile's inflate right before the
engine's so that the ratio holds on a shared machine; times are medians of
the rounds. The job runs on two threads and zipfile's inflate on one, so
each round also times two of zipfile's inflates at once against one: the
ratio is given again over the rounds in which the machine ran them on two
whole cores. Then the peak memory of reading a 10,000,000-cell floats sheet
(a fresh process; its resident peak growth against the table's own
buffers), and two threads reading two workbooks at once against one after
the other (the job lets the interpreter go). Then where the time goes, on
both CPUs and on one: each piece of the job alone (ISA-L's inflate of the
sheet part, opening the workbook with its string table, the parse and
the columns from a copy of the workbook whose members are stored, the
whole job, pyarrow's import of the batches), its wall and CPU time (every
thread's) against zipfile's.

    bash scripts/devenv.sh bench table [--runs N] [--rows N] [--json PATH]

Every table is checked against the values the generator wrote before
anything is timed.
"""
import os
import random
import resource
import statistics
import subprocess
import sys
import threading
import time
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import arguments, write_json  # noqa: E402

import vellum  # noqa: E402
from vellum import zipread  # noqa: E402

PART = "xl/worksheets/sheet1.xml"
MEMORY_ROWS = 1_000_000  # x 10 columns


def floats_path(rows):
    """The floats workbook of `rows` rows, written once and cached."""
    workbooks.CACHE.mkdir(exist_ok=True)
    target = workbooks.CACHE / f"floats-{rows}x{workbooks.COLUMNS}.xlsx"
    if not target.exists():
        import xlsxwriter
        partial = target.with_suffix(f".{os.getpid()}.tmp")
        rnd = random.Random(rows)
        book = xlsxwriter.Workbook(str(partial), {"constant_memory": True})
        sheet = book.add_worksheet("data")
        for r in range(rows):
            for c in range(workbooks.COLUMNS):
                sheet.write_number(r, c, rnd.random())
        book.close()
        partial.replace(target)
    return target


def check(kind, path, rows):
    import pyarrow as pa
    t = pa.table(vellum.read_table(path, header_row=None))
    assert t.num_rows == rows and t.num_columns == workbooks.COLUMNS, (t.num_rows, t.num_columns)
    if kind == "floats":
        rnd = random.Random(rows)
        first = [rnd.random() for _ in range(workbooks.COLUMNS)]
        # XlsxWriter writes 16 significant digits
        assert [float(f"{v:.16G}") for v in first] == [t.column(c)[0].as_py() for c in range(10)]
    else:
        assert t.column(1)[2].as_py() == workbooks.expected(kind, 3, 2)


def zip_inflate(path):
    with zipfile.ZipFile(path) as z, z.open(PART) as f:
        while f.read(1 << 16):
            pass


def to_arrow(path):
    import pyarrow as pa
    return pa.table(vellum.read_table(path, header_row=None))


def rows_of(path):
    with vellum.read_workbook(path, streaming=True) as book:
        return list(book[0].iter_rows(values_only=True))


def rows_to_pyarrow(path):
    import pyarrow as pa
    rows = rows_of(path)
    names = [f"c{i}" for i in range(len(rows[0]))]
    return pa.Table.from_pylist([dict(zip(names, r)) for r in rows])


def rows_to_pandas(path):
    import pandas as pd
    rows = rows_of(path)
    return pd.DataFrame(rows, columns=[f"c{i}" for i in range(len(rows[0]))])


def timed(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t


def two_at_once(path):
    """Two of zipfile's inflates on two threads at once (zlib lets the
    interpreter go): on two whole cores, as long as one."""
    threads = [threading.Thread(target=zip_inflate, args=(path,)) for _ in range(2)]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return time.perf_counter() - t


# A round whose two inflates at once took less than this many times one
# had the machine's second core at (nearly) full speed. On a virtual
# machine it often has not: then every job on two threads slows (the CPU
# time of its threads grows with it) while zipfile's, on one, does not, and
# the ratio measures the host rather than the job.
TWO_CORES = 1.15


def jobs(kind, path, runs, slow_runs):
    """Medians of paired rounds: zipfile, the table, the rows made tables;
    and each round's probe of the second core."""
    times = {"zip": [], "table": [], "rows_pyarrow": [], "rows_pandas": []}
    probes = []
    for i in range(runs):
        times["zip"].append(timed(zip_inflate, path))
        times["table"].append(timed(to_arrow, path))
        probes.append(two_at_once(path) / times["zip"][-1])
        if i < slow_runs:
            times["rows_pyarrow"].append(timed(rows_to_pyarrow, path))
            times["rows_pandas"].append(timed(rows_to_pandas, path))
    med = {k: statistics.median(v) for k, v in times.items()}
    ratios = [t / z for t, z in zip(times["table"], times["zip"])]
    whole = [r for r, p in zip(ratios, probes) if p < TWO_CORES]
    with zipfile.ZipFile(path) as z:
        mb = z.getinfo(PART).file_size / 1e6
    return {"workbook": kind, "cells": None, "mb": mb, **med,
            "table_vs_zip": statistics.median(ratios), "table_vs_zip_best": min(ratios),
            "two_cores_rounds": len(whole), "two_cores_below": TWO_CORES,
            "table_vs_zip_two_cores": statistics.median(whole) if whole else None,
            "two_at_once": statistics.median(probes),
            "rows_pyarrow_vs_table": med["rows_pyarrow"] / med["table"],
            "rows_pandas_vs_table": med["rows_pandas"] / med["table"]}


def stored_copy(path):
    """The workbook with every member stored: read_table of it is the job
    without its inflate (the data still copied and its CRC-32 checked)."""
    target = path.with_name(path.stem + "-stored.xlsx")
    if not target.exists():
        partial = target.with_suffix(f".{os.getpid()}.tmp")
        with zipfile.ZipFile(path) as z, zipfile.ZipFile(partial, "w", zipfile.ZIP_STORED) as w:
            for info in z.infolist():
                w.writestr(info.filename, z.read(info))
        partial.replace(target)
    return target


def split(path, runs):
    """{piece: (wall, cpu)} medians: each piece of read_table alone."""
    from isal import isal_zlib
    import pyarrow as pa
    with zipfile.ZipFile(path) as z:
        where, start, size = zipread.raw_member(z, z.getinfo(PART), path)[:3]
    with open(where, "rb") as f:
        f.seek(start)
        raw = f.read(size)

    def isal_inflate():
        d = isal_zlib.decompressobj(-15)
        for i in range(0, len(raw), 1 << 18):
            d.decompress(raw[i:i + (1 << 18)])
    stored = stored_copy(path)
    table = vellum.read_table(path, header_row=None)
    pieces = {"zip": lambda: zip_inflate(path), "isal_inflate": isal_inflate,
              "open_and_strings": lambda: vellum.read_table(path, header_row=None, n_rows=1),
              "parse_stored": lambda: vellum.read_table(stored, header_row=None),
              "read_table": lambda: vellum.read_table(path, header_row=None),
              "pyarrow_import": lambda: pa.table(table)}
    times = {k: ([], []) for k in pieces}
    for _ in range(runs):
        for k, fn in pieces.items():
            c, t = time.process_time(), time.perf_counter()
            fn()
            times[k][0].append(time.perf_counter() - t)
            times[k][1].append(time.process_time() - c)
    return {k: (statistics.median(w), statistics.median(c)) for k, (w, c) in times.items()}


def split_both(paths, runs):
    """The pieces of each workbook on every CPU, then on one."""
    out = []
    cpus = os.sched_getaffinity(0)
    try:
        for cores in (len(cpus), 1):
            os.sched_setaffinity(0, cpus if cores > 1 else {min(cpus)})
            for kind, path in paths.items():
                pieces = split(path, runs)
                out.append({"workbook": kind, "cores": cores, **{k: v[0] for k, v in pieces.items()},
                            **{f"{k}_cpu": v[1] for k, v in pieces.items()}})
                z, zc = pieces["zip"]
                print(f"{kind}, {cores} CPU{'s' if cores > 1 else ''}: zipfile {z * 1e3:.1f} ms wall, "
                      f"{zc * 1e3:.1f} ms CPU; as multiples of it, wall (CPU of every thread):")
                print("    " + ", ".join(f"{k} {w / z:.2f}x ({c / zc:.2f}x)" for k, (w, c) in pieces.items()
                                         if k != "zip"))
    finally:
        os.sched_setaffinity(0, cpus)
    return out


def peak_memory(path):
    """(peak resident growth, the table's bytes) of reading `path` in a
    fresh process: the peak is reset once the workbook's module is loaded."""
    code = ("import sys, vellum\n"
            "def field(name):\n"
            "    for line in open('/proc/self/status'):\n"
            "        if line.startswith(name): return int(line.split()[1]) * 1024\n"
            "vellum.read_table(sys.argv[1], n_rows=10, header_row=None)\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "before = field('VmRSS')\n"
            "t = vellum.read_table(sys.argv[1], header_row=None)\n"
            "print(field('VmHWM') - before, t._data.nbytes, t.num_rows)\n")
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    growth, nbytes, rows = map(int, out.stdout.split())
    return growth, nbytes, rows


def threads(paths, runs):
    """(one after the other, two threads at once): medians of reading both."""
    def both_serial():
        for p in paths:
            to_arrow(p)

    def both_threads():
        ts = [threading.Thread(target=to_arrow, args=(p,)) for p in paths]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    serial, parallel = [], []
    for _ in range(runs):
        serial.append(timed(both_serial))
        parallel.append(timed(both_threads))
    return statistics.median(serial), statistics.median(parallel)


def main():
    ap = arguments(runs=15, rows=workbooks.ROWS)
    ap.add_argument("--slow-runs", type=int, default=3, help="rounds that also run the rows made tables")
    ap.add_argument("--memory-rows", type=int, default=MEMORY_ROWS)
    args = ap.parse_args()
    paths = {"floats": floats_path(args.rows), "strings": workbooks.path("strings", args.rows)}
    results = []
    for kind, path in paths.items():
        check(kind, path, args.rows)
        to_arrow(path)  # warm
        r = jobs(kind, path, args.runs, args.slow_runs)
        r["cells"] = args.rows * workbooks.COLUMNS
        results.append(r)
        print(f"{kind}: {r['cells']:,} cells, {r['mb']:.1f} MB of sheet XML, medians of {args.runs} rounds")
        print(f"  zipfile inflate of the sheet part  {r['zip'] * 1e3:8.1f} ms")
        print(f"  read_table to a pyarrow Table      {r['table'] * 1e3:8.1f} ms   {r['table_vs_zip']:.2f}x zipfile "
              f"(best round {r['table_vs_zip_best']:.2f}x)")
        whole = r["table_vs_zip_two_cores"]
        print(f"    in the {r['two_cores_rounds']} of {args.runs} rounds with two whole cores (two inflates at once "
              f"< {TWO_CORES}x one; median {r['two_at_once']:.2f}x): "
              + (f"{whole:.2f}x zipfile" if whole is not None else "none"))
        print(f"  streamed rows -> Table.from_pylist {r['rows_pyarrow'] * 1e3:8.1f} ms   "
              f"{r['rows_pyarrow_vs_table']:.1f}x read_table")
        print(f"  streamed rows -> pandas.DataFrame  {r['rows_pandas'] * 1e3:8.1f} ms   "
              f"{r['rows_pandas_vs_table']:.1f}x read_table")
    serial, parallel = threads([paths["floats"], paths["strings"]], max(3, args.runs // 2))
    print(f"two workbooks (floats, strings): one after the other {serial * 1e3:.1f} ms, two threads at once "
          f"{parallel * 1e3:.1f} ms ({serial / parallel:.2f}x on {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f})")
    print(f"where the time goes (load average {os.getloadavg()[0]:.1f}):")
    pieces = split_both(paths, args.runs)
    big = floats_path(args.memory_rows)
    growth, nbytes, rows = peak_memory(big)
    ok = "within" if growth <= nbytes + (64 << 20) else "BEYOND"
    print(f"memory: {rows * workbooks.COLUMNS:,} cells: peak resident growth {growth / 1e6:.1f} MB, the table "
          f"{nbytes / 1e6:.1f} MB: {ok} the table + 64 MB ({(growth - nbytes) / 1e6:+.1f} MB)")
    print(f"(resident peak of this process {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e3:.0f} MB)")
    if args.json:
        write_json(args.json, "table", {
            "results": results,
            "threads": {"serial": serial, "parallel": parallel, "cpus": os.cpu_count()}, "split": pieces,
            "memory": {"cells": rows * workbooks.COLUMNS, "peak_growth": growth, "table_bytes": nbytes}})


if __name__ == "__main__":
    main()
