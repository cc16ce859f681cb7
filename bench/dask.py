"""vellum.dask.read_sheets scaling: the same 40 workbooks (the numbers
workbook of `workbooks`, hard-linked under 40 names) reduced to their
column sums, in one run:

- loop: a plain loop, read_table on each workbook made a pandas frame and
  summed, no Dask;
- synchronous: read_sheets on Dask's synchronous scheduler (the graph's
  own cost, one thread);
- threads 1, threads 2: Dask's threaded scheduler with one and two
  threads (the columnar job lets the interpreter go while it inflates and
  parses, so two threads should read nearly twice as fast);
- processes 1, processes 2: a `distributed.LocalCluster` of one and two
  worker processes of one thread each, on the loopback interface, started
  before the timing.

The meta is taken once before the timing (it costs one workbook's read);
each round runs every job once and times are medians of the rounds (the
best rounds too: on a shared machine they show what the jobs do when
given the cores). The per-workbook overhead is a job's time less the
loop's, over 40.

    bash scripts/devenv.sh bench dask [--runs N] [--rows N] [--books N] [--json PATH]

Every job's sums are checked against the values the generator wrote before
anything is timed.
"""
import os
import statistics
import sys
import tempfile
import time

# This file bears Dask's name: its folder goes last on the path, so that
# "import dask" finds Dask and "import workbooks" still finds ours.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != HERE] + [HERE]

import workbooks  # noqa: E402
from common import arguments, write_json  # noqa: E402

BOOKS = 40


def loop_sums(paths):
    import pandas as pd

    import vellum
    total = None
    for p in paths:
        frame = vellum.read_table(p, header_row=None).to_arrow(dictionaries=False).to_pandas(types_mapper=pd.ArrowDtype)
        sums = frame.sum()
        total = sums if total is None else total + sums
    return total


def expected_sums(rows, books):
    """The column sums the generator's values give, times the books."""
    return [books * sum(workbooks.expected("numbers", r, c) for r in range(1, rows + 1))
            for c in range(1, workbooks.COLUMNS + 1)]


def check(name, sums, want):
    got = [float(v) for v in sums]
    if any(abs(g - w) > 1e-9 * abs(w) for g, w in zip(got, want)) or len(got) != len(want):
        raise SystemExit(f"{name}: sums {got[:3]}... differ from the generator's {want[:3]}...")


def main():
    ap = arguments(5, 50_000)
    ap.add_argument("--books", type=int, default=BOOKS)
    args = ap.parse_args()
    runs = max(args.runs, 5)

    import dask
    import dask.dataframe  # noqa: F401  (imported before the meta read is timed)
    from distributed import Client, LocalCluster

    import vellum.dask

    source = workbooks.path("numbers", args.rows)
    folder = tempfile.mkdtemp(prefix="vellum-dask-")
    paths = []
    for i in range(args.books):
        paths.append(os.path.join(folder, f"book-{i:03d}.xlsx"))
        os.link(source, paths[-1])
    t = time.perf_counter()
    meta = vellum.dask.read_sheets(paths[:1], header_row=None)._meta
    meta_seconds = time.perf_counter() - t
    want = expected_sums(args.rows, args.books)

    def on_dask(**config):
        def job():
            with dask.config.set(**config):
                return vellum.dask.read_sheets(paths, meta=meta, header_row=None).sum().compute()
        return job

    jobs = {"loop": lambda: loop_sums(paths),
            "synchronous": on_dask(scheduler="synchronous"),
            "threads 1": on_dask(scheduler="threads", num_workers=1),
            "threads 2": on_dask(scheduler="threads", num_workers=2)}
    clusters = []
    try:
        for n in (1, 2):
            cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                                   dashboard_address=None, silence_logs=50)
            client = Client(cluster, set_as_default=False)
            clusters.append((client, cluster))
            jobs[f"processes {n}"] = on_dask(scheduler=client)
        for name, job in jobs.items():
            check(name, job(), want)
        # every job once per round, so that the machine's drift falls on all
        times = {name: [] for name in jobs}
        for _ in range(runs):
            for name, job in jobs.items():
                t = time.perf_counter()
                job()
                times[name].append(time.perf_counter() - t)
    finally:
        for client, cluster in clusters:
            client.close()
            cluster.close()
        for p in paths:
            os.unlink(p)
        os.rmdir(folder)
    load = os.getloadavg()[0]
    loop = statistics.median(times["loop"])
    cells = args.books * args.rows * workbooks.COLUMNS
    results = []
    print(f"{args.books} workbooks of {args.rows:,} rows x {workbooks.COLUMNS} ({cells:,} cells), "
          f"{os.cpu_count()} CPUs (load average {load:.1f}); the meta read: {meta_seconds * 1e3:.0f} ms")
    best_loop = min(times["loop"])
    for name, ts in times.items():
        t, best = statistics.median(ts), min(ts)
        r = {"job": name, "seconds": t, "speedup_vs_loop": loop / t,
             "overhead_ms_per_book": (t - loop) / args.books * 1e3,
             "best_seconds": best, "best_speedup_vs_loop": best_loop / best}
        results.append(r)
        print(f"{name:>12}: {t:.3f} s, {cells / t / 1e6:.1f} M cells/s, {loop / t:.2f}x the loop's speed, "
              f"{r['overhead_ms_per_book']:+.1f} ms a workbook against it; best {best:.3f} s, "
              f"{best_loop / best:.2f}x the loop's best", flush=True)
    if args.json:
        write_json(args.json, "dask", {"runs": runs, "books": args.books, "rows": args.rows, "cells": cells,
                                       "cpus": os.cpu_count(), "load": load, "meta_seconds": meta_seconds,
                                       "results": results})


if __name__ == "__main__":
    main()
