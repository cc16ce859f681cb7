"""The benchmark report: every benchmark of `bench/` run once, in this
process's environment, and one Markdown page with PNG plots of the figures.

    bash scripts/devenv.sh bench report [--quick] [--out DIR] [--only NAME ...]

Each benchmark that takes `--json PATH` writes its figures there; the
report plots the ones it knows (inflate, deflate, stream_workbook,
full_load, scaling, save, write_sheet, table, dask) and shows every other JSON file's `results` as a table,
so a new benchmark that writes one is picked up as it is. The printed
output of every benchmark is kept beside the report and shown in it.
`--quick` runs each at a small size (the report then says so); `ab`, which
needs an older build prepared first, is left out.

The report goes to `bench/report/` (`report.md`, the plots, and `data/`
with each benchmark's JSON and printed output).
"""
import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

from matplotlib.ticker import FuncFormatter, LogLocator

HERE = pathlib.Path(__file__).resolve().parent
NOT_BENCHES = {"common", "workbooks", "report", "ab"}
# Smaller sizes for --quick; the full sizes are each benchmark's defaults.
QUICK = {"stream_workbook": ["--rows", "20000"], "full_load": ["--rows", "20000"],
         "inflate": ["--rows", "20000"], "deflate": ["--rows", "20000"],
         "scaling": ["--rows", "1000", "10000", "100000"], "cell_store": ["--rows", "20000"],
         "find_dimension": ["--rows", "20000"], "prescan": ["--rows", "20000"],
         "shared_strings": ["--strings", "100000"], "profile_stream": ["--rows", "20000"],
         "save": ["--rows", "20000", "--write-only-cells", "1000000"], "write_sheet": ["--rows", "20000"],
         "save_formats": ["--rows", "20000"],
         "table": ["--rows", "20000", "--memory-rows", "100000"], "dask": ["--rows", "5000"]}
COLORS = {"zip": "#7f7f7f", "inflate": "#bcbd22", "floor": "#dbdb8d", "expat": "#9467bd", "python": "#d62728",
          "engine (zipfile)": "#ff7f0e", "engine": "#1f77b4", "full": "#2ca02c",
          "save": "#17becf", "save write_only": "#8c564b",
          "XlsxWriter": "#e377c2", "libxlsxwriter": "#9467bd"}
# The writers of `save`: its name, its colour, and the vellum mode it is set
# against (write-only against the constant-memory modes).
WRITERS = {"vellum": ("engine", None), "vellum write_only": ("save write_only", None),
           "vellum pure path": ("python", "vellum"),
           "XlsxWriter": ("XlsxWriter", "vellum"), "XlsxWriter constant_memory": ("XlsxWriter", "vellum write_only"),
           "libxlsxwriter": ("libxlsxwriter", "vellum"),
           "libxlsxwriter constant_memory": ("libxlsxwriter", "vellum write_only")}


def benches(only):
    names = sorted(p.stem for p in HERE.glob("*.py") if p.stem not in NOT_BENCHES and not p.stem.startswith("_"))
    return [n for n in names if not only or n in only]


def run(name, quick, data):
    """Run one benchmark: (seconds, its printed output, its JSON or None)."""
    source = (HERE / f"{name}.py").read_text()
    json_path = data / f"{name}.json"
    json_path.unlink(missing_ok=True)
    cmd = [sys.executable, str(HERE / f"{name}.py")] + (QUICK.get(name, []) if quick else [])
    if "--json" in source:
        cmd += ["--json", str(json_path)]
    print(f"report: {name} ...", flush=True)
    t = time.perf_counter()
    out = subprocess.run(cmd, capture_output=True, text=True)
    took = time.perf_counter() - t
    text = out.stdout + (f"\n[exit status {out.returncode}]\n{out.stderr[-2000:]}" if out.returncode else "")
    (data / f"{name}.txt").write_text(text)
    figures = json.loads(json_path.read_text()) if out.returncode == 0 and json_path.exists() else None
    return took, text, figures


# -- plots ----------------------------------------------------------------------------

def _plt():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"figure.dpi": 110, "font.size": 9, "axes.spines.top": False,
                         "axes.spines.right": False})
    return plt


def label(ax, xlabel, ylabel, title, log="", legend=False):
    if legend:
        ax.legend(frameon=False, fontsize=7)
    if "x" in log:
        ax.set_xscale("log")
    if "y" in log:
        ax.set_yscale("log")
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_title(title)


def plain_ticks(axis, subs=(1.0,)):
    """Log-scale tick labels as plain numbers (0.1, 1, 10), not powers of
    ten; `subs` (1, 2, 5) labels 0.2, 0.5 and so on too, for short ranges."""
    axis.set_major_locator(LogLocator(subs=subs))
    axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))


def level_labels(ax, points, chosen=None):
    """Each (x, y, level) point labelled with its level, alternately above
    and below it, so that neighbouring levels (isal 1 and 2) stay apart;
    the `chosen` level in bold, marked as the one used."""
    for i, (x, y, level) in enumerate(points):
        ax.annotate(level + (" (used)" if level == chosen else ""), (x, y), fontsize=7,
                    xytext=(4, 3 if i % 2 == 0 else -9), textcoords="offset points",
                    fontweight="bold" if level == chosen else "normal")


def save_figure(plt, fig, path):
    if not fig.get_layout_engine():
        fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def plot_stream(fig_path, stream, full):
    """Each job's time as a multiple of zipfile's inflating the same part."""
    plt = _plt()
    rows = stream["results"]
    fig, axes = plt.subplots(1, len(rows), figsize=(5.2 * len(rows), 3.4), squeeze=False)
    for ax, r in zip(axes[0], rows):
        jobs = [("zipfile inflate", r["zip"], "zip"), (f"{stream['backend']} inflate", r.get("inflate_member"), "inflate"),
                (f"floor: {stream['backend']} inflate + values", r.get("floor"), "floor"),
                ("engine, zipfile members", r.get("engine_zipfile"), "engine (zipfile)"),
                (f"engine, {stream['backend']} members", r.get("engine"), "engine"),
                ("expat + empty handlers", r["expat_handlers"], "expat"), ("python path", r["python"], "python")]
        f = next((x for x in (full or {}).get("results", []) if x["workbook"].endswith(r["workbook"])), None)
        if f:
            jobs.insert(5, ("engine, full load", f["engine"], "full"))
        jobs = [j for j in jobs if j[1]]
        ratios = [t / r["zip"] for _, t, _ in jobs]
        y = range(len(jobs))
        ax.barh(y, ratios, color=[COLORS[k] for _, _, k in jobs])
        ax.set_yticks(list(y), [j[0] for j in jobs])
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.axvline(1, color="black", lw=0.8, ls="--")
        for i, (ratio, (_, t, _)) in enumerate(zip(ratios, jobs)):
            rate = r["cells"] / t / 1e6
            ax.text(ratio * 1.08, i, f"{ratio:.2f}x  ({rate:.{1 if rate >= 1 else 2}f} M cells/s)", va="center",
                    fontsize=8)
        ax.set_xlim(min(ratios) / 1.5, max(ratios) * 40)
        plain_ticks(ax.xaxis)
        ax.set_xlabel("time / zipfile's inflate of the sheet part (log)")
        ax.set_title(f"{r['workbook']}: {r['cells']:,} cells, {r['mb']:.0f} MB of XML")
    fig.suptitle("Streaming every value, file to values (rows dropped as read)")
    save_figure(plt, fig, fig_path)


def plot_table(fig_path, table):
    """read_table and the streamed rows made tables, as multiples of
    zipfile's inflate of the sheet part."""
    plt = _plt()
    rows = table["results"]
    fig, axes = plt.subplots(1, len(rows), figsize=(5.2 * len(rows), 2.8), squeeze=False)
    for ax, r in zip(axes[0], rows):
        jobs = [("zipfile inflate", r["zip"], "zip"), ("read_table -> pyarrow", r["table"], "engine"),
                ("rows -> Table.from_pylist", r["rows_pyarrow"], "python"),
                ("rows -> pandas.DataFrame", r["rows_pandas"], "python")]
        ratios = [t / r["zip"] for _, t, _ in jobs]
        y = range(len(jobs))
        ax.barh(y, ratios, color=[COLORS[k] for _, _, k in jobs])
        ax.set_yticks(list(y), [j[0] for j in jobs])
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.axvline(1, color="black", lw=0.8, ls="--")
        for i, (ratio, (_, t, _)) in enumerate(zip(ratios, jobs)):
            ax.text(ratio * 1.08, i, f"{ratio:.2f}x  ({r['cells'] / t / 1e6:.1f} M cells/s)", va="center",
                    fontsize=8)
        ax.set_xlim(min(ratios) / 1.5, max(ratios) * 20)
        plain_ticks(ax.xaxis)
        ax.set_xlabel("time / zipfile's inflate of the sheet part (log)")
        ax.set_title(f"{r['workbook']}: {r['cells']:,} cells, {r['mb']:.0f} MB of XML")
    fig.suptitle("A sheet into a table of typed columns, file to a pyarrow Table")
    save_figure(plt, fig, fig_path)


def plot_inflate(fig_path, inflate, deflate):
    plt = _plt()
    fig, axes = plt.subplots(1, 2 if deflate else 1, figsize=(11 if deflate else 5.5, 3.4), squeeze=False)
    ax = axes[0][0]
    kinds = sorted({r["workbook"] for r in inflate["results"]})
    libs = list(dict.fromkeys(r["library"] for r in inflate["results"]))
    width = 0.8 / len(kinds)
    for k, kind in enumerate(kinds):
        speeds = {r["library"]: r["mb_per_s"] for r in inflate["results"] if r["workbook"] == kind}
        ax.bar([i + k * width for i in range(len(libs))], [speeds.get(lib, 0) for lib in libs], width, label=kind)
    ax.set_xticks([i + width * (len(kinds) - 1) / 2 for i in range(len(libs))], libs, rotation=20)
    ax.set_ylabel("MB/s of XML out")
    ax.set_title("Inflating the sheet part")
    ax.legend(frameon=False)
    if deflate:
        ax = axes[0][1]
        for kind, marker in zip(sorted({r["workbook"] for r in deflate["results"]}), "os^"):
            for lib, color in (("zlib", "#ff7f0e"), ("isal", "#1f77b4")):
                pts = [r for r in deflate["results"] if r["workbook"] == kind and r["library"] == lib]
                ax.plot([r["mb_per_s"] for r in pts], [r["bytes"] / 1e6 for r in pts], marker=marker,
                        color=color, label=f"{lib}, {kind}")
                level_labels(ax, [(r["mb_per_s"], r["bytes"] / 1e6, str(r["level"])) for r in pts])
        label(ax, "MB/s of XML in (log)", "compressed MB", "Deflating it, by level (labels)", "x", legend=True)
        plain_ticks(ax.xaxis, (1.0, 2.0, 5.0))
    save_figure(plt, fig, fig_path)


def plot_scaling(fig_path, scaling):
    plt = _plt()
    rows = scaling["results"]
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 3.6))
    series = [("zip", "zipfile inflate", "zip"), ("stream_zipfile", "engine stream, zipfile members", "engine (zipfile)"),
              ("stream", f"engine stream, {scaling['backend']} members", "engine"), ("full", "engine full load", "full"),
              ("python", "python path stream", "python"), ("save", "save (new workbook)", "save"),
              ("save_write_only", "save, write-only", "save write_only")]
    for key, name, color in series:
        pts = [(r["cells"], r[key]) for r in rows if key in r]
        if not pts:
            continue
        a.plot(*zip(*pts), marker="o", label=name, color=COLORS[color])
        if key != "zip":
            b.plot([c for c, _ in pts], [c / t / 1e6 for c, t in pts], marker="o", label=name, color=COLORS[color])
    label(a, "cells in the sheet (log)", "seconds, median (log)", "Time against sheet size", "xy")
    label(b, "cells in the sheet (log)", "M cells/s", "Throughput against sheet size", "x")
    for ax in (a, b):
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v / 1e6:g}M" if v >= 1e6 else f"{v / 1e3:g}k"))
    plain_ticks(a.yaxis)
    # one legend under both panels, clear of the lines
    fig.legend(*a.get_legend_handles_labels(), frameon=False, fontsize=8, loc="lower center", ncol=4)
    fig.tight_layout(rect=(0, 0.14, 1, 1))
    save_figure(plt, fig, fig_path)


def plot_dask(fig_path, dask):
    """Each scheduler's speed as a multiple of the plain loop's."""
    plt = _plt()
    rows = dask["results"]
    fig, ax = plt.subplots(figsize=(6, 2.8))
    y = range(len(rows))
    ax.barh(y, [r["speedup_vs_loop"] for r in rows],
            color=[COLORS["zip"] if r["job"] == "loop" else COLORS["engine"] for r in rows])
    ax.set_yticks(list(y), [r["job"] for r in rows])
    ax.invert_yaxis()
    ax.axvline(1.0, color="black", linewidth=0.6)
    label(ax, "speed, as a multiple of a plain loop of read_table", "",
          f"{dask['books']} workbooks, {dask['cells']:,} cells, {dask['cpus']} CPUs (load {dask.get('load', 0):.1f}), "
          "medians")
    save_figure(plt, fig, fig_path)


def plot_memory(fig_path, full):
    plt = _plt()
    rows = full["results"]
    fig, ax = plt.subplots(figsize=(5.5, 3.3))
    y = range(len(rows))
    ax.barh([i - 0.2 for i in y], [r["engine_bytes_per_cell"] for r in rows], 0.4, label="engine (CellStore)",
            color=COLORS["engine"])
    ax.barh([i + 0.2 for i in y], [r["python_bytes_per_cell"] for r in rows], 0.4, label="python (dict of Cells)",
            color=COLORS["python"])
    ax.set_yticks(list(y), [r["workbook"] for r in rows])
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("bytes held per cell, read in full (log)")
    for i, r in enumerate(rows):
        ax.text(r["engine_bytes_per_cell"] * 1.1, i - 0.2, f"{r['engine_bytes_per_cell']:.1f}", va="center", fontsize=8)
        ax.text(r["python_bytes_per_cell"] * 1.1, i + 0.2, f"{r['python_bytes_per_cell']:.0f}", va="center", fontsize=8)
    ax.set_xlim(1, max(r["python_bytes_per_cell"] for r in rows) * 4)
    plain_ticks(ax.xaxis)
    ax.legend(frameon=False, fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.22), ncol=2)
    save_figure(plt, fig, fig_path)


def _save_panel(ax, rows):
    """One kind's whole saves: M cells/s per writer, each anchor's time as a
    multiple of the vellum mode it is set against."""
    seconds = {r["writer"]: r["seconds"] for r in rows}
    rates = [r["cells"] / r["seconds"] / 1e6 for r in rows]
    y = range(len(rows))
    ax.barh(y, rates, color=[COLORS[WRITERS.get(r["writer"], ("zip", None))[0]] for r in rows])
    ax.set_yticks(list(y), [r["writer"] for r in rows])
    ax.invert_yaxis()
    ax.set_xscale("log")
    for i, (rate, r) in enumerate(zip(rates, rows)):
        against = WRITERS.get(r["writer"], (None, None))[1]
        versus = f", {against} {r['seconds'] / seconds[against]:.1f}x faster" if against in seconds else ""
        ax.text(rate * 1.05, i, f"{rate:.2f} M cells/s, {r['bytes'] / 1e6:.2f} MB{versus}", va="center", fontsize=7.5)
    ax.set_xlim(min(rates) / 1.3, max(rates) * 8)
    plain_ticks(ax.xaxis, (1.0, 2.0, 5.0))
    ax.set_xlabel("M cells/s: workbook made, filled and written to a file (log)")
    ax.set_title(f"save, {rows[0]['kind']}: {rows[0]['cells']:,} cells")


def _sheet_writer_panel(ax, rows):
    """The engine's <sheetData> writer against the package's, per workbook
    and serialiser."""
    y = range(len(rows))
    for offset, key, name, color in ((-0.2, "engine", "engine SheetWriter", "engine"),
                                     (0.2, "python", "package's writer", "python")):
        rates = [r["cells"] / r[key] / 1e6 for r in rows]
        ax.barh([i + offset for i in y], rates, 0.4, label=name, color=COLORS[color])
        for i, (rate, r) in enumerate(zip(rates, rows)):
            note = f"{rate:.2f}" + (f"  ({r['ratio']:.0f}x)" if key == "engine" else "")
            ax.text(rate * 1.08, i + offset, note, va="center", fontsize=7)
    ax.set_yticks(list(y), [f"{r['kind']}, {r['mode']}" for r in rows])
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlim(min(r["cells"] / r["python"] for r in rows) / 2e6,
                max(r["cells"] / r["engine"] for r in rows) / 1e6 * 8)
    plain_ticks(ax.xaxis)
    ax.set_xlabel("M cells/s: a loaded sheet's <sheetData>, to a counting sink (log)")
    ax.set_title(f"Sheet data alone, {rows[0]['cells']:,} cells (engine's lead in brackets)")
    ax.legend(frameon=False, fontsize=7, loc="lower right")


def _deflate_panel(ax, save):
    """The sheet XML of vellum's file deflated alone by zlib, per level,
    beside the whole save's time."""
    for kind, color in (("numbers", "#1f77b4"), ("strings", "#ff7f0e")):
        pts = [d for d in save["deflate"] if d["kind"] == kind]
        whole = next(r["seconds"] for r in save["results"] if r["kind"] == kind and r["writer"] == "vellum")
        ax.plot([d["seconds"] * 1e3 for d in pts], [d["bytes"] / 1e6 for d in pts], marker="o", color=color,
                label=f"{kind} ({pts[0]['xml_bytes'] / 1e6:.1f} MB of XML)")
        level_labels(ax, [(d["seconds"] * 1e3, d["bytes"] / 1e6, str(d["level"])) for d in pts],
                     str(save["level"]))
        ax.axvline(whole * 1e3, color=color, lw=0.8, ls=":")
    ax.plot([], [], color="black", lw=0.8, ls=":", label="vellum's whole save")
    label(ax, "ms to deflate the sheet XML (log)", "compressed MB",
          "The sheet XML deflated alone, by zlib level", "x")
    plain_ticks(ax.xaxis, (1.0, 2.0, 5.0))
    ax.legend(frameon=False, fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=3)


def plot_writers(fig_path, saved, sheet):
    """Whole saves, one kind a row across the page; below them the
    sheet-data writer alone and the deflate levels side by side."""
    plt = _plt()
    kinds = list(dict.fromkeys(r["kind"] for r in saved["results"])) if saved else []
    panels = {k: lambda ax, k=k: _save_panel(ax, [r for r in saved["results"] if r["kind"] == k]) for k in kinds}
    bottom = {}
    if sheet:
        bottom["sheet"] = lambda ax: _sheet_writer_panel(ax, sheet["results"])
    if saved and saved.get("deflate"):
        bottom["deflate"] = lambda ax: _deflate_panel(ax, saved)
    layout = [[k, k] for k in kinds] + ([list(bottom) * (2 // len(bottom))] if bottom else [])
    fig, axes = plt.subplot_mosaic(layout, figsize=(11, 3.3 * len(layout)),
                                   height_ratios=[2.6] * len(kinds) + ([3.6] if bottom else []))
    for name, draw in {**panels, **bottom}.items():
        draw(axes[name])
    save_figure(plt, fig, fig_path)


# -- the page -------------------------------------------------------------------------

def table(results):
    """A Markdown table of a list of flat dicts, numbers rounded."""
    keys = list(dict.fromkeys(k for r in results for k in r))

    def cell(v):
        if isinstance(v, float):
            return f"{v:.4g}"
        return "" if v is None else str(v)
    lines = ["| " + " | ".join(keys) + " |", "|" + "---|" * len(keys)]
    lines += ["| " + " | ".join(cell(r.get(k)) for k in keys) + " |" for r in results]
    return "\n".join(lines)


def summary(figures):
    out = []
    s, f = figures.get("stream_workbook"), figures.get("full_load")
    if s:
        out.append("| workbook | engine stream / zipfile inflate | with zipfile members | engine vs python | "
                   "open | inflate | rows from memory | floor / zipfile inflate |")
        out.append("|---|---|---|---|---|---|---|---|")
        for r in s["results"]:
            if "engine" in r:
                out.append(f"| {r['workbook']} | **{r['engine_vs_zip']:.2f}x** | {r['engine_zipfile_vs_zip']:.2f}x | "
                           f"{r['python_dropped'] / r['engine']:.0f}x faster | {r['open'] * 1e3:.1f} ms | "
                           f"{r['inflate_member'] * 1e3:.1f} ms | {r['rows_in_memory'] * 1e3:.1f} ms | "
                           f"{r.get('floor_vs_zip', float('nan')):.2f}x |")
    if f:
        out.append("")
        out.append("| full load | cells | engine / zipfile inflate | engine vs python | B/cell engine | B/cell python |")
        out.append("|---|---|---|---|---|---|")
        for r in f["results"]:
            out.append(f"| {r['workbook']} | {r['cells']:,} | **{r['engine_vs_zip']:.2f}x** | "
                       f"{r['python'] / r['engine']:.0f}x faster | {r['engine_bytes_per_cell']:.1f} | "
                       f"{r['python_bytes_per_cell']:.0f} |")
    out += _writers_summary(figures.get("save"), figures.get("write_sheet"))
    out += _table_summary(figures.get("table"))
    out += _dask_summary(figures.get("dask"))
    out += _edit_summary(figures.get("edit"))
    return "\n".join(out)


def _dask_summary(dask):
    """read_sheets on each scheduler against a plain loop of read_table."""
    if not dask:
        return []
    out = ["", f"| read_sheets, {dask['books']} workbooks, {dask['cells']:,} cells, {dask['cpus']} CPUs "
           f"(load {dask.get('load', 0):.1f}) | time | "
           "speed-up over the loop | overhead a workbook | best round | its speed-up |",
           "|---|---|---|---|---|---|"]
    for r in dask["results"]:
        out.append(f"| {r['job']} | {r['seconds']:.2f} s | **{r['speedup_vs_loop']:.2f}x** | "
                   f"{r['overhead_ms_per_book']:+.1f} ms | {r['best_seconds']:.2f} s | "
                   f"{r['best_speedup_vs_loop']:.2f}x |")
    return out


def _edit_summary(edit):
    """Saves of a read workbook: one cell of a small sheet against one of a
    large sheet, and a no-change save against copying the file."""
    if not edit:
        return []
    r = edit["ratios"]
    return ["", f"Saving a read workbook of {edit['cells']:,} cells and a small sheet: one cell of the small "
            f"sheet changed, **{r['small_over_large']:.3f}x** the time with one of the large sheet changed. "
            f"A no-change save of {edit['corpus_file']}: **{r['nochange_over_copy']:.2f}x** the time of "
            f"copying the file, {r.get('nochange_over_durable_copy', float('nan')):.2f}x that of a copy "
            "flushed to disk as the save is."]


def _table_summary(table):
    """read_table against zipfile's inflate and the streamed rows made
    tables; its peak memory against the table's own size."""
    if not table:
        return []
    out = ["", "| read_table, file to a pyarrow Table | cells | read_table | / zipfile inflate | "
           "/ zipfile inflate, rounds on two whole cores | "
           "rows -> pyarrow / read_table | rows -> pandas / read_table |", "|---|---|---|---|---|---|---|"]
    for r in table["results"]:
        whole = r.get("table_vs_zip_two_cores")
        two = (f"**{whole:.2f}x** ({r['two_cores_rounds']} rounds)" if whole is not None else "no such round") \
            if "two_cores_rounds" in r else ""
        out.append(f"| {r['workbook']} | {r['cells']:,} | {r['table'] * 1e3:.1f} ms | **{r['table_vs_zip']:.2f}x** | "
                   f"{two} | {r['rows_pyarrow_vs_table']:.1f}x | {r['rows_pandas_vs_table']:.1f}x |")
    below = next((r["two_cores_below"] for r in table["results"] if "two_cores_below" in r), None)
    if below:
        out += ["", "read_table runs on two threads, zipfile's inflate on one: a round counts as on two whole "
                f"cores when two of zipfile's inflates at once took less than {below}x one (on a virtual machine "
                "the second core is often slower, and every job on two threads with it)."]
    m, th = table.get("memory"), table.get("threads")
    if m:
        out += ["", f"read_table, {m['cells']:,} cells: peak resident growth {m['peak_growth'] / 1e6:.1f} MB, "
                f"the table's own buffers {m['table_bytes'] / 1e6:.1f} MB "
                f"({(m['peak_growth'] - m['table_bytes']) / 1e6:+.1f} MB beyond them; the bound is +64 MB)."]
    if th:
        out += ["", f"Two workbooks read by two threads at once: {th['serial'] / th['parallel']:.2f}x the speed "
                f"of one after the other ({th['cpus']} CPUs)."]
    pieces = {"isal_inflate": "ISA-L inflate", "open_and_strings": "open + string table",
              "parse_stored": "parse + columns + strings, stored members", "read_table": "whole job",
              "pyarrow_import": "pyarrow import"}
    if table.get("split"):
        out += ["", "| where read_table's time goes (each piece alone, / zipfile's inflate: wall, and CPU of every "
                "thread) | CPUs | " + " | ".join(pieces.values()) + " |", "|---|---|" + "---|" * len(pieces)]
        for r in table["split"]:
            out.append(f"| {r['workbook']} | {r['cores']} | " + " | ".join(
                f"{r[k] / r['zip']:.2f}x ({r[k + '_cpu'] / r['zip_cpu']:.2f}x)" for k in pieces) + " |")
    return out


def _writers_summary(saved, sheet):
    """Vellum's saves against each anchor (time ratios, file sizes) and the
    sheet-data writer against the package's."""
    out = []
    if saved:
        anchors = [w for w in WRITERS if WRITERS[w][1] and any(r["writer"] == w for r in saved["results"])]
        out += ["", "| whole save | cells | vellum | write_only | "
                + " | ".join(f"{w} / {WRITERS[w][1]}" for w in anchors) + " |",
                "|---|---|---|---|" + "---|" * len(anchors)]
        for kind in dict.fromkeys(r["kind"] for r in saved["results"]):
            by = {r["writer"]: r for r in saved["results"] if r["kind"] == kind}
            v, wo = by["vellum"], by["vellum write_only"]

            def versus(w):
                r, mine = by[w], by[WRITERS[w][1]]
                return f"**{r['seconds'] / mine['seconds']:.1f}x** time, {r['bytes'] / mine['bytes']:.2f}x size"
            out.append(f"| {kind} | {v['cells']:,} | {v['seconds']:.3f} s, {v['bytes'] / 1e6:.2f} MB | "
                       f"{wo['seconds']:.3f} s, {wo['bytes'] / 1e6:.2f} MB | "
                       + " | ".join(versus(w) for w in anchors) + " |")
        out += ["", "Each anchor's time and file size as multiples of the vellum mode it is set against "
                "(the default save, or write-only against constant_memory), medians of rounds that ran every "
                "writer once."]
        wo = saved.get("write_only")
        if wo:
            out += ["", f"Write-only, numbers and strings: {wo['cells']:,} cells appended and saved in "
                    f"{wo['seconds']:.1f} s ({wo['cells'] / wo['seconds'] / 1e6:.2f} M cells/s), "
                    f"{wo['bytes'] / 1e6:.1f} MB; peak resident growth {wo['peak_growth'] / 1e6:.1f} MB."]
    if sheet:
        out += ["", "| sheet data written | serialiser | cells | engine | ns/cell | package's writer "
                "| engine faster |", "|---|---|---|---|---|---|---|"]
        for r in sheet["results"]:
            out.append(f"| {r['kind']} | {r['mode']} | {r['cells']:,} | {r['engine'] * 1e3:.1f} ms | "
                       f"{r['engine'] / r['cells'] * 1e9:.0f} | {r['python'] * 1e3:.0f} ms | **{r['ratio']:.0f}x** |")
    return out


def write_report(out, quick, figures, texts, took):
    plots = []
    if "stream_workbook" in figures:
        plot_stream(out / "stream.png", figures["stream_workbook"], figures.get("full_load"))
        plots.append(("Whole jobs against zipfile's inflate, the pure path and expat", "stream.png"))
    if "inflate" in figures:
        plot_inflate(out / "zip.png", figures["inflate"], figures.get("deflate"))
        plots.append(("Inflate and deflate, per library", "zip.png"))
    if "save" in figures or "write_sheet" in figures:
        plot_writers(out / "writers.png", figures.get("save"), figures.get("write_sheet"))
        plots.append(("Writers: whole saves against XlsxWriter and libxlsxwriter, the sheet-data writer, deflate",
                      "writers.png"))
    if "table" in figures:
        plot_table(out / "table.png", figures["table"])
        plots.append(("A sheet into a table of typed columns (read_table)", "table.png"))
    if "scaling" in figures:
        plot_scaling(out / "scaling.png", figures["scaling"])
        plots.append(("Time against sheet size", "scaling.png"))
    if "dask" in figures:
        plot_dask(out / "dask.png", figures["dask"])
        plots.append(("Many workbooks on Dask (read_sheets), per scheduler", "dask.png"))
    if "full_load" in figures:
        plot_memory(out / "memory.png", figures["full_load"])
        plots.append(("Memory per cell, read in full", "memory.png"))
    any_json = next(iter(figures.values()), {})
    lines = [f"# vellum benchmark report{' (quick)' if quick else ''}", "",
             f"{time.strftime('%Y-%m-%d %H:%M')}, Python {platform.python_version()}, {os.cpu_count()} CPUs, "
             f"zip members read by `{any_json.get('zip_backend', '?')}`. "
             + ("Quick mode: small sheets (20,000 rows, scaling up to 1 M cells, a write-only save of 1 M "
                "cells); the figures are noisier and per-file costs weigh more. " if quick else "")
             + "Times are medians of at least 5 runs; ratios are taken against jobs measured in the same run "
             "(on a shared machine with about 10 microseconds per freshly touched page, absolute times drift)."
             + (" Benchmark run times: " + ", ".join(f"{n} {t:.0f} s" for n, t in took.items()) + "." if took else ""),
             ""]
    if summary(figures):
        lines += ["## Summary", "", summary(figures), ""]
    for title, name in plots:
        lines += [f"## {title}", "", f"![{title}]({name})", ""]
    lines += ["## Every benchmark's figures", ""]
    for name, text in texts.items():
        lines += [f"### {name}", ""]
        if name in figures and isinstance(figures[name].get("results"), list):
            lines += [table(figures[name]["results"]), ""]
        lines += ["```", text.rstrip(), "```", ""]
    (out / "report.md").write_text("\n".join(lines))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small sizes, a few minutes in all")
    ap.add_argument("--out", default=str(HERE / "report"))
    ap.add_argument("--only", nargs="+", help="run only these benchmarks (the others' figures "
                    "are taken from the data folder)")
    ap.add_argument("--replot", action="store_true", help="rebuild the page from the data folder, run nothing")
    args = ap.parse_args()
    out = pathlib.Path(args.out)
    data = out / "data"
    data.mkdir(parents=True, exist_ok=True)
    figures, texts, took = {}, {}, {}
    chosen = set(benches(args.only))
    for name in benches(None):
        # with --only, the others' figures come from their last full run
        if args.replot or name not in chosen:
            if not (data / f"{name}.txt").exists():
                continue
            texts[name] = (data / f"{name}.txt").read_text()
            if (data / f"{name}.json").exists():
                figures[name] = json.loads((data / f"{name}.json").read_text())
            continue
        took[name], texts[name], fig = run(name, args.quick, data)
        if fig is not None:
            figures[name] = fig
    took_path = data / "took.json"
    if took_path.exists():
        took = {**json.loads(took_path.read_text()), **took}
    if not args.replot:
        took_path.write_text(json.dumps(took))
    write_report(out, args.quick, figures, texts, took)
    print(f"report: {out / 'report.md'}")


if __name__ == "__main__":
    main()
