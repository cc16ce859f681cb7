"""The cell store with 1,000,000 loaded cells, shaped like a numbers sheet
(small ints and floats in turn) and like a strings sheet (shared-string
indices), against the dict of Cell objects the package builds itself,
measured in the same run:

- bytes per cell: the store's own accounting, checked against the growth of
  the process's resident memory; the dict of Cells by resident memory too;
- first access of every cell (Cells made on demand) against building the
  same Cells in Python, on fresh memory and again on memory the process
  already holds (see `warm`);
- item access of an already made Cell against a dict lookup;
- full key iteration against iterating the dict.

The store is filled through the test-only entry that places cells as the
loader does (no XML is parsed). Results are checked first.

    bash scripts/devenv.sh bench cell_store [--rows N] [--cols C] [--runs R]
"""
import argparse
import array
import gc
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "build" / "release"), str(ROOT)]

import vellum._vellum  # noqa: E402,F401  (an editable install rebuilds on import)
import _vellum_testing as native  # noqa: E402
from common import median_seconds, rerun_warm  # noqa: E402
from vellum.extent import cells_extent  # noqa: E402
from vellum.reference import Parser, make_helpers  # noqa: E402
from vellum.reference.cell import Cell  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


class StyleArray(array.array):
    __slots__ = ()

    def __new__(cls, args=(0,) * 9):
        return super().__new__(cls, "i", args)


class Sheet:
    pass


def minor_faults():
    with open("/proc/self/stat") as f:
        return int(f.read().rsplit(") ", 1)[1].split()[7])


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Bench:
    def __init__(self, rows, cols, shape):
        self.rows, self.cols, self.shape = rows, cols, shape
        self.n = rows * cols
        self.ws = Sheet()
        self.styles = [StyleArray((1, 2, 3, 4, 5, 6, 7, 8, 9))]
        self.parser = Parser([f"shared text {i}" for i in range(1000)])
        self.helpers = make_helpers()
        self.keys = [(r, c) for r in range(1, rows + 1) for c in range(1, cols + 1)]

    def store(self):
        s = native.CellStore()
        native.fill_store(s, self.ws, self.styles, Cell, self.parser, self.helpers, self.rows, self.cols,
                          self.shape)
        return s

    # The same cells as fill_store places them, built the package's way.
    def python_cells(self):
        ws, cols, style = self.ws, self.cols, self.styles[0]
        strings = self.parser.shared_strings
        out = {}
        for r in range(1, self.rows + 1):
            for c in range(1, cols + 1):
                if self.shape == "strings":
                    value, dtype = strings[(r * cols + c) % 1000], "s"
                elif c % 2:
                    value, dtype = (r * cols + c) % 1000, "n"
                else:
                    value, dtype = r + c / 8.0, "n"
                out[(r, c)] = Cell(ws, r, c, value, dtype, style=StyleArray(style))
        return out


def same_cell(a, b):
    return (a.parent is b.parent and (a.row, a.column, a._value, a.data_type) == (b.row, b.column, b._value, b.data_type)
            and type(a._style) is type(b._style) and a._style == b._style)


def run(b, runs):
    # Memory first, in a process that has not yet freed anything large.
    gc.collect()
    before = rss()
    store = b.store()
    grown = rss() - before
    counted = native.store_bytes(store)
    gc.collect()
    before = rss()
    cells = b.python_cells()
    dict_bytes = rss() - before

    # Right first: every key in order, every cell the same.
    assert list(store) == list(cells) == b.keys
    assert all(same_cell(store[k], cells[k]) for k in b.keys)
    assert store._stats()[:2] == (b.n, b.n)

    keys = b.keys

    # First access the way a worksheet's rows reach the cells (`_row`, which
    # pauses the collector while it makes a row of Cells), and one key at a
    # time.
    def first_by_rows():
        s = b.store()
        cols = b.cols
        return median_seconds(lambda: [s._row(r, 1, cols, False) for r in range(1, b.rows + 1)], 1)

    def first_by_key():
        s = b.store()
        return median_seconds(lambda: [s[k] for k in keys], 1)

    f0 = minor_faults()
    t_first = sorted(first_by_rows() for _ in range(runs))[runs // 2]
    faults = (minor_faults() - f0) / runs
    t_first_key = sorted(first_by_key() for _ in range(runs))[runs // 2]
    t_build = median_seconds(b.python_cells, runs)

    def access(m):
        def go():
            for k in keys:
                m[k]
        return go

    def iterate(m):
        def go():
            for _ in m:
                pass
        return go

    # The extent of the values (what the command line trims to), judged
    # on a store whose cells are not made yet, against the dict's.
    fresh = b.store()
    assert fresh._value_bounds() == cells_extent(cells) == fresh._bounds() == (1, b.rows, 1, b.cols)
    t_values = median_seconds(fresh._value_bounds, runs)
    t_bounds = median_seconds(fresh._bounds, runs)
    t_dict_values = median_seconds(lambda: cells_extent(cells), runs)

    t_get, t_dict_get = median_seconds(access(store), runs), median_seconds(access(cells), runs)
    t_iter, t_dict_iter = median_seconds(iterate(store), runs), median_seconds(iterate(cells), runs)

    n = b.n
    print(f"{b.shape} sheet: {n:,} cells ({b.rows:,} rows x {b.cols}), medians of {runs} runs")
    print(f"  bytes per cell: store {counted / n:5.1f} counted, {grown / n:5.1f} by RSS; "
          f"dict of Cells {dict_bytes / n:5.1f} by RSS ({dict_bytes / max(grown, 1):.0f}x)")
    print(f"  first access of every cell, row by row: {t_first:.3f} s; building the Cells in Python: "
          f"{t_build:.3f} s -> {t_build / t_first:.1f}x faster (key by key: {t_first_key:.3f} s, "
          f"{t_build / t_first_key:.1f}x); {faults:,.0f} page faults a pass")
    print(f"  item access (made Cell): {t_get * 1e9 / n:5.1f} ns; dict: {t_dict_get * 1e9 / n:5.1f} ns "
          f"-> {t_get / t_dict_get:.2f}x")
    print(f"  key iteration: {t_iter * 1e9 / n:5.1f} ns; dict: {t_dict_iter * 1e9 / n:5.1f} ns "
          f"-> {t_iter / t_dict_iter:.2f}x")
    print(f"  extent of the values: {t_values * 1e3:.2f} ms (extent of the cells {t_bounds * 1e3:.2f} ms); "
          f"dict of Cells: {t_dict_values * 1e3:.1f} ms -> {t_dict_values / t_values:.0f}x")


# Both sides of first access keep the same objects (a Cell, its own style
# array, the value), about 300 bytes a cell, so on fresh memory both pay the
# kernel for every page they touch (see common.WARM_ENV). This run provisions
# the memory once untimed and then times the same passes on memory the
# process already holds.
def warm(b, runs):
    def engine():
        s = b.store()
        t = time.perf_counter()
        for r in range(1, b.rows + 1):
            s._row(r, 1, b.cols, False)
        return time.perf_counter() - t

    def python():
        t = time.perf_counter()
        b.python_cells()
        return time.perf_counter() - t

    engine(), python()  # provision the memory, untimed
    for label, collector in (("", True), (", collector off on both sides", False)):
        if not collector:
            gc.disable()
        f0 = minor_faults()
        t_engine = sorted(engine() for _ in range(runs))[runs // 2]
        t_python = sorted(python() for _ in range(runs))[runs // 2]
        faults = (minor_faults() - f0) / (2 * runs)
        gc.enable()
        print(f"  first access on memory the process holds (C allocator{label}, {faults:,.0f} page faults a pass): "
              f"{t_engine:.3f} s; building the Cells in Python: {t_python:.3f} s -> {t_python / t_engine:.1f}x faster")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--cols", type=int, default=10)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--shape", choices=["numbers", "strings", "both"], default="both")
    ap.add_argument("--warm", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.warm:
        rerun_warm()
    if args.shape != "both":
        (warm if args.warm else run)(Bench(args.rows, args.cols, args.shape), args.runs)
        return
    # Each shape in a process of its own: memory freed by one would hide
    # the growth of the next.
    for shape in ("numbers", "strings"):
        cmd = [sys.executable, __file__, "--rows", str(args.rows), "--cols", str(args.cols),
               "--runs", str(args.runs), "--shape", shape]
        subprocess.run(cmd, check=True)
        subprocess.run(cmd + ["--warm"], check=True)


if __name__ == "__main__":
    main()
