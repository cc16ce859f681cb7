"""Shared by the benchmarks: the median wall time of repeated runs."""
import statistics
import time


def median_seconds(fn, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)
