"""Where the time of the whole streaming job goes: `stream_workbook`'s job
(file to every value, rows dropped as read, engine and the package's zip
reader) under cProfile, the functions that took most time of their own.
The engine's parsing shows as the reader's `next_row`, inflating as the
decompressor's `decompress` and `crc32`; `stream_workbook` times the same
parts apart (open, inflate, rows from memory) without the profiler's cost.

    bash scripts/devenv.sh bench profile_stream [--rows N] [--top N]
"""
import argparse
import cProfile
import io
import os
import pstats
import sys

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from stream_workbook import stream_values  # noqa: E402
from vellum import zipread  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=workbooks.ROWS)
    ap.add_argument("--top", type=int, default=10)
    args = ap.parse_args()
    for kind in workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        stream_values(path, True)
        profile = cProfile.Profile()
        profile.runcall(stream_values, path, True)
        out = io.StringIO()
        stats = pstats.Stats(profile, stream=out)
        stats.sort_stats("tottime").print_stats(args.top)
        body = out.getvalue()
        print(f"{kind}: {args.rows * workbooks.COLUMNS} cells, members by {zipread.BACKEND}, "
              f"{stats.total_tt:.3f} s under the profiler")
        print(body[body.index("ncalls"):].rstrip(), flush=True)


if __name__ == "__main__":
    main()
