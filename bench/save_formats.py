"""Formatted saves: a sheet of ROWS x 10 numbers under a bold, filled header
row, one font over every column and two number formats taking turns by
column, saved as a new workbook and as a write-only one, against the same
sheet unformatted (the ratio the formats cost) and against XlsxWriter and
libxlsxwriter writing the same formats (default and constant-memory modes),
in one run. Each file is read back and checked first; medians of rounds in
which every contender runs once.

    bash scripts/devenv.sh bench save_formats [--runs N] [--rows N] [--json PATH]
"""
import argparse
import os
import statistics
import sys
import tempfile
import pathlib

sys.path.insert(0, os.path.dirname(__file__))
from common import write_json  # noqa: E402
from save import COLS, build_c, c_seconds, timed, value  # noqa: E402
import vellum  # noqa: E402
from vellum import CellFormat, Fill, Font  # noqa: E402

HEAD = CellFormat(font=Font(bold=True), fill=Fill(color="DDEBF7"))
COLUMN = [CellFormat(font=Font("Arial", 10), number_format=code) for code in ("#,##0.00", "0.0%")]


def save_vellum(path, rows, formatted, write_only):
    book = vellum.new_workbook(write_only=write_only)
    ws = book.add_sheet("data")
    if formatted:
        ws.append(["head"] * COLS, formats=HEAD)
        formats = [COLUMN[c % 2] for c in range(COLS)]
        for r in range(rows):
            ws.append([value("numbers", r, c) for c in range(COLS)], formats=formats)
    else:
        ws.append(["head"] * COLS)
        for r in range(rows):
            ws.append([value("numbers", r, c) for c in range(COLS)])
    book.save(path)


def save_xlsxwriter(path, rows, constant_memory):
    import xlsxwriter
    book = xlsxwriter.Workbook(str(path), {"constant_memory": constant_memory})
    ws = book.add_worksheet("data")
    head = book.add_format({"bold": True, "bg_color": "#DDEBF7"})
    column = [book.add_format({"font_name": "Arial", "font_size": 10, "num_format": code})
              for code in ("#,##0.00", "0.0%")]
    for c in range(COLS):
        ws.write_string(0, c, "head", head)
    for r in range(rows):
        for c in range(COLS):
            ws.write_number(r + 1, c, value("numbers", r, c), column[c % 2])
    book.close()


def check(path, rows, formatted):
    with vellum.read_workbook(path) as book:
        ws = book[0]
        last = ws[rows + 1, COLS]
        assert last.value == value("numbers", rows - 1, COLS - 1), last.value
        if formatted:
            assert ws[1, 1].font.bold and ws[1, 1].fill.color == "FFDDEBF7"
            assert (last.font.name, last.number_format) == ("Arial", COLUMN[(COLS - 1) % 2].number_format)


def contenders(folder, exe, rows):
    found = []
    for formatted in (False, True):
        for write_only in (False, True):
            name = f"vellum{' write_only' if write_only else ''}{'' if formatted else ' unformatted'}"
            path = folder / f"v{int(formatted)}{int(write_only)}.xlsx"
            found.append((name, path, formatted, timed(
                lambda path=path, f=formatted, w=write_only: save_vellum(path, rows, f, w))))
    for cm in (False, True):
        path = folder / f"xw{int(cm)}.xlsx"
        found.append((f"XlsxWriter{' constant_memory' if cm else ''}", path, True,
                      timed(lambda path=path, cm=cm: save_xlsxwriter(path, rows, cm))))
    if exe is not None:
        for cm in (False, True):
            path = folder / f"lxw{int(cm)}.xlsx"
            found.append((f"libxlsxwriter{' constant_memory' if cm else ''}", path, True,
                          lambda path=path, cm=cm: c_seconds(exe, path, "numbers", rows, cm, True)))
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()
    runs = max(args.runs, 3)
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        writers = contenders(folder, build_c(folder), args.rows)
        for _, path, formatted, run in writers:
            run()
            check(path, args.rows, formatted)
        times = {name: [] for name, *_ in writers}
        for _ in range(runs):
            for name, _, _, run in writers:
                times[name].append(run())
        sizes = {name: path.stat().st_size for name, path, _, _ in writers}
    cells = args.rows * COLS
    seconds = {name: statistics.median(t) for name, t in times.items()}
    print(f"formatted save, {cells} cells + a header row, medians of {runs}:")
    results = []
    for name, t in seconds.items():
        base = "vellum write_only" if "constant" in name or "write_only" in name else "vellum"
        results.append({"writer": name, "cells": cells, "seconds": t, "bytes": sizes[name],
                        "vellum_faster": t / seconds[base]})
        print(f"    {name:34} {t:7.3f} s  {sizes[name] / 1e6:6.2f} MB   {base}: "
              f"{t / seconds[base]:5.2f}x faster")
    for mode in ("vellum", "vellum write_only"):
        print(f"    formats cost {mode}: {seconds[mode] / seconds[mode + ' unformatted']:.2f}x "
              f"the unformatted save")
    if args.json:
        write_json(args.json, "save_formats", {"runs": runs, "results": results})


if __name__ == "__main__":
    main()
