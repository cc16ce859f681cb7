"""A whole save of a new workbook (made, filled and written to a file),
vellum against XlsxWriter (default and constant_memory) and libxlsxwriter
(default and constant_memory, bench/save_libxlsxwriter.c built here with cc
through pkg-config), and vellum's own pure path (`save(engine=False)`), in
one run: 100,000 rows x 10 of numbers, then of strings (10,000 distinct
texts). Medians of at least 5 rounds (each contender once a round), file
sizes.

Deflating the worksheet part is most of a whole save, so the sheet XML of
vellum's file is deflated alone at every zlib level (time and size) to show
what `vellum.save.COMPRESSLEVEL` trades. Then write-only: N cells appended
through `new_workbook(write_only=True)` and saved, in a fresh process, with
the growth of its peak resident set (VmHWM) over the set-up.

    bash scripts/devenv.sh bench save [--runs N] [--rows N] [--write-only-cells N] [--json PATH]
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from common import median_seconds, write_json  # noqa: E402
import vellum  # noqa: E402
import vellum.save  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
COLS = 10


def value(kind, r, c):
    """The cell values, the same as the C program's."""
    return f"text {(r * 7 + c) % 10000}" if kind == "strings" else (r * COLS + c) * 0.25


def rows_of(kind, rows):
    for r in range(rows):
        yield [value(kind, r, c) for c in range(COLS)]


def save_vellum(path, kind, rows, write_only=False, engine=True):
    book = vellum.new_workbook(write_only=write_only)
    ws = book.add_sheet("data")
    for row in rows_of(kind, rows):
        ws.append(row)
    book.save(path, engine=engine)


def save_xlsxwriter(path, kind, rows, constant_memory):
    import xlsxwriter
    book = xlsxwriter.Workbook(str(path), {"constant_memory": constant_memory})
    ws = book.add_worksheet("data")
    write = ws.write_string if kind == "strings" else ws.write_number
    for r, row in enumerate(rows_of(kind, rows)):
        for c, v in enumerate(row):
            write(r, c, v)
    book.close()


def build_c(folder):
    """The C program, or None where libxlsxwriter or cc is missing."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "xlsxwriter"],
                           capture_output=True, text=True)
    # Debian's xlsxwriter.pc requires minizip's, which only its -dev ships
    libs = flags.stdout.split() if flags.returncode == 0 else ["-lxlsxwriter"]
    exe = folder / "save_libxlsxwriter"
    done = subprocess.run([cc, "-O2", "-o", str(exe), str(HERE / "save_libxlsxwriter.c"), *libs],
                          capture_output=True, text=True)
    if done.returncode != 0:
        print("libxlsxwriter: not built:", done.stderr.strip().splitlines()[-1:], flush=True)
        return None
    return exe


def c_seconds(exe, path, kind, rows, constant_memory, formats=False):
    """One run of the C program, by its own timing (process start and exit
    left out)."""
    args = [str(exe), str(path), str(rows), str(COLS), kind] + (["cm"] if constant_memory else []) \
        + (["formats"] if formats else [])
    return float(subprocess.run(args, check=True, capture_output=True, text=True).stdout)


def check_vellum(path, kind, rows):
    with vellum.read_workbook(path) as book:
        ws = book[0]
        assert len(ws._cells) == rows * COLS, len(ws._cells)
        assert ws[rows, COLS].value == value(kind, rows - 1, COLS - 1)


def deflate_levels(path, runs):
    """(level, seconds, bytes) of the sheet part deflated alone at each level."""
    data = zipfile.ZipFile(path).read("xl/worksheets/sheet1.xml")
    out = []
    for level in (1, 2, 3, 4, 5, 6, 9):
        def deflate():
            z = zlib.compressobj(level, zlib.DEFLATED, -15)
            return len(z.compress(data)) + len(z.flush())
        out.append((level, median_seconds(deflate, max(3, runs // 2)), deflate()))
    return len(data), out


def vmhwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def write_only_child(cells, path):
    """In a fresh process: peak growth of appending `cells` cells and saving."""
    book = vellum.new_workbook(write_only=True)
    ws = book.add_sheet("data")
    ws.append([value("numbers", 0, c) for c in range(COLS)])  # writer and buffers made
    before = vmhwm()
    t = time.perf_counter()
    for r in range(1, cells // COLS):
        ws.append([(r * COLS + c) * 0.25 if c % 2 else f"text {(r * 7 + c) % 10000}"
                   for c in range(COLS)])
    book.save(path)
    print(vmhwm() - before, time.perf_counter() - t, os.path.getsize(path))


def timed(fn):
    def go():
        t = time.perf_counter()
        fn()
        return time.perf_counter() - t
    return go


def contenders(folder, exe, kind, rows):
    """(name, file, timed run) of every writer of `kind`, vellum's first;
    write-only is the mode to set against the constant-memory ones."""
    out = folder / f"{kind}.xlsx"
    wo = folder / f"{kind}-wo.xlsx"
    pure = folder / f"{kind}-pure.xlsx"
    found = [("vellum", out, timed(lambda: save_vellum(out, kind, rows))),
             ("vellum write_only", wo, timed(lambda: save_vellum(wo, kind, rows, write_only=True))),
             ("vellum pure path", pure, timed(lambda: save_vellum(pure, kind, rows, engine=False)))]
    for cm in (False, True):
        path = folder / f"{kind}-xw{int(cm)}.xlsx"
        found.append((f"XlsxWriter{' constant_memory' if cm else ''}", path,
                      timed(lambda path=path, cm=cm: save_xlsxwriter(path, kind, rows, cm))))
    if exe is not None:
        for cm in (False, True):
            path = folder / f"{kind}-lxw{int(cm)}.xlsx"
            found.append((f"libxlsxwriter{' constant_memory' if cm else ''}", path,
                          lambda path=path, cm=cm: c_seconds(exe, path, kind, rows, cm)))
    return found


def save_kind(folder, exe, kind, rows, runs):
    """Every writer's whole save of `kind`, checked first, then timed round
    by round: the rows of the JSON file, and the sheet XML's deflate levels."""
    writers = contenders(folder, exe, kind, rows)
    for name, path, run in writers[:3]:
        run()
        check_vellum(path, kind, rows)
    # Round by round, every contender once a round: the machine's load
    # drifts, and each median must see the same drift.
    times = {name: [] for name, _, _ in writers}
    for _ in range(runs):
        for name, _, run in writers:
            times[name].append(run())
    cells = rows * COLS
    results = [{"kind": kind, "writer": name, "cells": cells, "seconds": statistics.median(times[name]),
                "bytes": path.stat().st_size} for name, path, _ in writers]
    vt, vsize = results[0]["seconds"], results[0]["bytes"]
    print(f"({kind}) whole save, {cells} cells:", flush=True)
    for r in results:
        r["m_cells_per_s"] = cells / r["seconds"] / 1e6
        r["vellum_faster"] = r["seconds"] / vt
        print(f"    {r['writer']:32} {r['seconds']:7.3f} s  {r['bytes'] / 1e6:6.2f} MB   vellum: "
              f"{r['vellum_faster']:5.2f}x faster, {vsize / r['bytes']:5.2f}x the size", flush=True)
    raw, levels = deflate_levels(writers[0][1], runs)
    print(f"    sheet XML {raw / 1e6:.1f} MB deflated alone, by level (s, MB):", flush=True)
    print("    " + "  ".join(f"{lv}: {t:.3f} {size / 1e6:.2f}" for lv, t, size in levels), flush=True)
    return results, [{"kind": kind, "level": lv, "seconds": t, "bytes": size, "xml_bytes": raw}
                     for lv, t, size in levels]


def write_only(folder, cells):
    """The write-only save of `cells` cells in a fresh process."""
    path = folder / "write-only.xlsx"
    grown, t, size = subprocess.run(
        [sys.executable, __file__, "--child", str(cells), str(path)],
        check=True, capture_output=True, text=True).stdout.split()
    print(f"write-only: {cells} cells (numbers and strings) appended and "
          f"saved in {float(t):.1f} s, {int(size) / 1e6:.1f} MB; peak resident growth "
          f"{int(grown) / 1e6:.1f} MB", flush=True)
    return {"cells": cells, "seconds": float(t), "bytes": int(size), "peak_growth": int(grown)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--write-only-cells", type=int, default=10_000_000)
    ap.add_argument("--json", help="also write the figures to this file")
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return write_only_child(int(args.child[0]), args.child[1])
    runs = max(args.runs, 5)
    engine = "native" if getattr(vellum._vellum, "SheetWriter", None) else "reference (Python)"
    print(f"vellum sheet writer: {engine}; deflate level {vellum.save.COMPRESSLEVEL}; "
          f"{args.rows} rows x {COLS}", flush=True)
    results, levels, wo = [], [], None
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        exe = build_c(folder)
        for kind in ("numbers", "strings"):
            found, by_level = save_kind(folder, exe, kind, args.rows, runs)
            results += found
            levels += by_level
        if args.write_only_cells:
            wo = write_only(folder, args.write_only_cells)
    if args.json:
        write_json(args.json, "save", {"runs": runs, "engine": engine, "level": vellum.save.COMPRESSLEVEL,
                                       "results": results, "deflate": levels, "write_only": wo})


if __name__ == "__main__":
    main()
