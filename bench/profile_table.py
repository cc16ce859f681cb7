"""Where read_table spends its time: a sampling profile (SIGPROF every
100 microseconds of CPU, over every thread) of repeated reads of one
workbook, by function (addr2line on the engine's shared object), the
functions that take at least half a percent.

    bash scripts/devenv.sh bench profile_table [WORKBOOK] [--runs N]

Needs the test-only extension of the build directory (its profiler).
"""
import argparse
import collections
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402

import vellum  # noqa: E402


def regions():
    out = []
    for line in open("/proc/self/maps"):
        parts = line.split()
        if len(parts) >= 6 and "x" in parts[1]:
            lo, hi = (int(x, 16) for x in parts[0].split("-"))
            out.append((lo, hi, int(parts[2], 16), parts[5]))
    return out


def symbolize(addresses):
    maps = regions()
    by_file = collections.defaultdict(list)
    names = {}
    for a in set(addresses):
        for lo, hi, off, path in maps:
            if lo <= a < hi:
                by_file[path].append((a, a - lo + off))
                break
        else:
            names[a] = "?"
    for path, pairs in by_file.items():
        if not path.endswith(".so") and ".so." not in path:
            for a, _ in pairs:
                names[a] = os.path.basename(path)
            continue
        out = subprocess.run(["addr2line", "-f", "-C", "-e", path, *(hex(o) for _, o in pairs)],
                             capture_output=True, text=True).stdout.splitlines()
        for (a, _), fn in zip(pairs, out[0::2]):
            names[a] = f"{fn[:90]} [{os.path.basename(path)}]" if fn != "??" else os.path.basename(path)
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("workbook", nargs="?", default=str(workbooks.path("strings")))
    ap.add_argument("--runs", type=int, default=10)
    args = ap.parse_args()
    build = os.environ.get("VELLUM_BUILD_DIR", "build/release")
    sys.path.insert(0, build)
    import _vellum_testing as t

    vellum.read_table(args.workbook, header_row=None)
    t.profile_start(100)
    for _ in range(args.runs):
        vellum.read_table(args.workbook, header_row=None)
    samples = t.profile_stop()
    names = symbolize(samples)
    counts = collections.Counter(names[a] for a in samples)
    total = sum(counts.values())
    print(f"{args.workbook}: {total} samples over {args.runs} reads")
    for name, n in counts.most_common(40):
        if n / total < 0.005:
            break
        print(f"{100 * n / total:6.1f}%  {name}")


if __name__ == "__main__":
    main()
