"""Shared by the benchmarks: the median wall time of repeated runs, and
the JSON file a benchmark writes with `--json PATH` for the report."""
import argparse
import json
import os
import platform
import statistics
import sys
import time

# On fresh memory every benchmark that keeps much of it pays the kernel for
# each page it touches; on a virtual machine that costs about 10 us a 4 KiB
# page, 100 times a bare metal fault, and can dwarf the work itself. A warm
# run puts the process on the C allocator with trimming off, so that memory
# freed by one run is held for the next: the work without the machine's
# page-fault price in it.
WARM_ENV = {"PYTHONMALLOC": "malloc", "MALLOC_TRIM_THRESHOLD_": str(1 << 40),
            "MALLOC_MMAP_THRESHOLD_": str(1 << 25)}


def rerun_warm():
    """Run this benchmark again in a warm process (see WARM_ENV), unless
    this is that process; returns whether it is."""
    if os.environ.get("PYTHONMALLOC") == "malloc":
        return True
    os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, **WARM_ENV})


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
