"""Time the engine of this checkout ("new") against another build ("old") in
one run.

    bash bench/ab_prepare.sh COMMIT        # on the host: builds .scratch/old
    bash scripts/devenv.sh bench ab [--runs N] [--repeat N] [--rows N] [--strings N]

Jobs: `stream_workbook`'s whole job (file to values, rows kept and rows
dropped as read) and `next_raw` on both kinds of workbook, and
`read_string_table` on `shared_strings`' part, the files written once for
both. Each side drives its own commit's `stream_workbook` timing functions
(the old one's are copied into .scratch/old), written for its own package.
Then, through the public API both commits share, on both kinds of workbook:
`load`, the whole workbook read in full (`read_workbook`); `save`, such a
workbook with every sheet marked changed, saved to memory (the load not
timed); and `write_only`, the same rows appended to a write-only workbook
and saved to memory (the rows made before timing).
Every timing is taken in a fresh process, so the two extension modules never
meet: both run the system python3.14 with PYTHONPATH, the old side on
.scratch/old, the new one on a copy of this checkout's package and built
engine (.scratch/new, staged afresh each run), so that the sides differ
in their code alone. A process times its job --repeat times after one warm-up
and reports the median.

For each of N runs (at least 7) both sides time each job one after the
other, the side going first alternating; reported are each side's median and
the median of the runs' new/old ratios (and the lowest and highest of
them, the spread): on a shared machine the speed of the
two drifts together, and pairs keep the ratio honest. Before timing, each side
reads every value back against the generator (the saved files too, read
again), and the two must agree on the raw rows, the string table and the
bytes of every sheet part they save.
"""
import argparse
import hashlib
import io
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

import workbooks

HERE = pathlib.Path(__file__).resolve().parent
OLD = HERE.parent / ".scratch" / "old"
NEW = HERE.parent / ".scratch" / "new"
JOBS = [(kind, what) for kind in workbooks.KINDS for what in ("kept", "dropped", "next_raw")]
JOBS.append(("strings", "shared_strings"))
WHOLE = ("load", "save", "write_only")
JOBS += [(kind, what) for what in WHOLE for kind in workbooks.KINDS]


def strings_part(n):
    """shared_strings' generated part, written once for both sides."""
    target = workbooks.CACHE / f"sst-{n}.xml"
    if not target.exists():
        from shared_strings import make_part

        workbooks.CACHE.mkdir(exist_ok=True)
        partial = target.with_suffix(f".{os.getpid()}.tmp")
        partial.write_bytes(make_part(n))
        partial.replace(target)
    return target


# --- inside a worker process -------------------------------------------------

def loaded(source):
    """The workbook read in full, every sheet marked changed, so that a save
    writes each one again rather than copying it as read."""
    import vellum

    book = vellum.read_workbook(source)
    for ws in book.worksheets:
        cell = ws.cell(1, 1)
        cell.value = cell.value
    return book


def generated_rows(kind, rows):
    return [[workbooks.expected(kind, r, c) for c in range(1, workbooks.COLUMNS + 1)] for r in range(1, rows + 1)]


def write_only(rows):
    import vellum

    book = vellum.new_workbook(write_only=True)
    ws = book.add_sheet("data")
    for row in rows:
        ws.append(row)
    out = io.BytesIO()
    book.save(out)
    return out


def whole_job(kind, what, source, rows):
    """A callable running one of the whole-workbook jobs once and giving
    the seconds it took (the set-up of a save, its load, left out)."""
    import gc

    import vellum

    def timed(fn, *args):
        gc.collect()
        t = time.perf_counter()
        fn(*args)
        return time.perf_counter() - t

    if what == "load":
        return lambda: timed(lambda: vellum.read_workbook(source).close())
    if what == "save":
        def save():
            with loaded(source) as book:
                return timed(book.save, io.BytesIO())
        return save
    data = generated_rows(kind, rows)
    return lambda: timed(write_only, data)


def job_function(kind, what, source):
    """A callable running the job once, on the file `source`."""
    import stream_workbook as sw

    if what == "kept":
        return lambda: sw.read_values(source, True)
    if what == "dropped":
        return lambda: sw.stream_values(source, True)
    if what == "next_raw":
        data = sw.sheet_bytes(source)
        with sw.Workbook(source, engine=False) as book:
            parser, helpers = book.parser(), book.helpers
        return lambda: sw.engine_raw(data, parser, helpers)
    from vellum import _vellum
    from vellum.reference import make_helpers

    data, helpers = pathlib.Path(source).read_bytes(), make_helpers()
    return lambda: _vellum.read_string_table(io.BytesIO(data), helpers)


def digest(value):
    return hashlib.sha256(repr(value).encode()).hexdigest()


def sheet_digests(data):
    """The digest of each worksheet part of a saved file."""
    import zipfile

    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return {n: hashlib.sha256(z.read(n)).hexdigest() for n in sorted(z.namelist()) if "worksheets/" in n}


def check_whole(kind, rows, source):
    """The whole-workbook jobs' results: values read in full, and the
    saves, each read again, against the generator; the saved sheets'
    digests for the other side to match."""
    import stream_workbook as sw
    import vellum

    def values(src):
        with vellum.read_workbook(src) as book:
            return [tuple(c.value for c in row) for row in book.worksheets[0].iter_rows()]

    sw.check(kind, rows, values(source), "read_workbook")
    with loaded(source) as book:
        saved = io.BytesIO()
        book.save(saved)
    made = write_only(generated_rows(kind, rows))
    out = {}
    for what, data in (("save", saved.getvalue()), ("write_only", made.getvalue())):
        sw.check(kind, rows, values(io.BytesIO(data)), f"{what} read again")
        out[what] = sheet_digests(data)
    return out


def check(rows, books, part):
    """What a side read, checked against the generator where it can be and
    reduced to digests otherwise, for the other side to match."""
    import stream_workbook as sw
    from vellum import _vellum
    from vellum.reference import make_helpers

    out = {"module": f"{_vellum.__file__}, timed by {sw.__file__}"}
    for kind, source in books.items():
        sw.check(kind, rows, sw.read_values(source, True), f"engine at {_vellum.__file__}")
        out[kind] = digest(sw.raw_rows(source, sw.sheet_bytes(source)))
        out[f"{kind} saved"] = check_whole(kind, rows, source)
    data = pathlib.Path(part).read_bytes()
    out["shared_strings"] = digest(_vellum.read_string_table(io.BytesIO(data), make_helpers()))
    return out


def worker(request):
    sys.path.insert(0, request["bench"])
    if request["job"] == "check":
        return check(request["rows"], request["books"], request["part"])
    if request["job"] in WHOLE:
        fn = whole_job(request["kind"], request["job"], request["source"], request["rows"])
        fn()
        return statistics.median(fn() for _ in range(request["repeat"]))
    fn = job_function(request["kind"], request["job"], request["source"])
    fn()
    times = []
    for _ in range(request["repeat"]):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


# --- the driver ------------------------------------------------------------

def stage_new():
    """This checkout's package with its built engine beside it, laid out as
    the old side is: the two sides then run the same way (one interpreter,
    no editable-install finder), and differ in their code alone. Run side by
    side, the venv's editable install and such a copy of the very same
    binary timed strings/next_raw 3-5% apart."""
    from vellum import _vellum  # (re)builds the editable install first

    shutil.rmtree(NEW, ignore_errors=True)
    shutil.copytree(HERE.parent / "vellum", NEW / "vellum", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(_vellum.__file__, NEW / "vellum")
    return NEW


def sides():
    if not (OLD / "vellum").is_dir():
        sys.exit(f"no old build in {OLD}: run bash bench/ab_prepare.sh COMMIT on the host first")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    system = shutil.which("python3.14", path="/usr/bin:/usr/local/bin") or sys.exit("no system python3.14")
    return {"old": ([system, "-s"], dict(env, PYTHONPATH=str(OLD)), OLD / "bench"),
            "new": ([system, "-s"], dict(env, PYTHONPATH=str(stage_new())), HERE)}


def run(side, request):
    cmd, env, bench = side
    request = dict(request, bench=str(bench))
    done = subprocess.run([*cmd, __file__, "--worker", json.dumps(request)],
                          env=env, capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"worker {' '.join(cmd)} failed on {request}:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--rows", type=int, default=workbooks.ROWS)
    ap.add_argument("--strings", type=int, default=1_000_000)
    ap.add_argument("--only", nargs="+", metavar="JOB",
                    help="time only these jobs, named as the table names them with a slash ('strings/next_raw')")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return
    runs = max(args.runs, 7)
    both = sides()
    books = {kind: str(workbooks.path(kind, args.rows)) for kind in workbooks.KINDS}
    part = str(strings_part(args.strings))

    checked = {name: run(side, {"job": "check", "rows": args.rows, "books": books, "part": part})
               for name, side in both.items()}
    for name, got in checked.items():
        print(f"{name}: {got.pop('module')}")
    if checked["old"] != checked["new"]:
        sys.exit(f"old and new read differently: {checked}")
    commit = (OLD / "COMMIT").read_text().strip() if (OLD / "COMMIT").exists() else "?"
    print(f"old commit {commit}; {args.rows} rows x {workbooks.COLUMNS} columns, {args.strings:,} strings; "
          f"medians of {runs} runs, each the median of {args.repeat} timings in a fresh process")
    print(f"{'job':28} {'old s':>8} {'new s':>8} {'new/old':>8} {'lowest':>8} {'highest':>8}", flush=True)
    for kind, what in JOBS:
        label = what if what == "shared_strings" else f"{kind} {what}"
        if args.only and label.replace(" ", "/") not in args.only:
            continue
        times = {"old": [], "new": []}
        for i in range(runs):
            order = ("old", "new") if i % 2 == 0 else ("new", "old")
            for name in order:
                times[name].append(run(both[name], {"job": what, "kind": kind, "repeat": args.repeat,
                                                    "rows": args.rows,
                                                    "source": part if what == "shared_strings" else books[kind]}))
        ratios = [n / o for o, n in zip(times["old"], times["new"])]
        ratio = statistics.median(ratios)
        print(f"{label:28} {statistics.median(times['old']):8.3f} {statistics.median(times['new']):8.3f} "
              f"{ratio:8.3f} {min(ratios):8.3f} {max(ratios):8.3f}", flush=True)


if __name__ == "__main__":
    main()
