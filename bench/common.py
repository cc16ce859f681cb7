"""Shared by the benchmarks: the median wall time of repeated runs, and
the JSON file a benchmark writes with `--json PATH` for the report."""
import argparse
import json
import platform
import statistics
import time


def median_seconds(fn, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def write_json(path, bench, figures):
    """Write one benchmark's figures, with what they were measured on, for
    `bench/report.py`."""
    from vellum import zipread
    record = {"bench": bench, "python": platform.python_version(), "zip_backend": zipread.BACKEND,
              "time": time.strftime("%Y-%m-%d %H:%M:%S"), **figures}
    with open(path, "w") as f:
        json.dump(record, f, indent=1)


def arguments(runs, rows):
    """The parser of a benchmark's usual options: --runs, --rows, --json."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=runs)
    ap.add_argument("--rows", type=int, default=rows)
    ap.add_argument("--json", help="also write the figures to this file")
    return ap
