"""The command line's `--formatted` CSV against LibreOffice's own export of
the same workbooks "as shown" (each cell through its number format), cell
by cell: shared by the tests and runnable to see every difference:

    bash scripts/devenv.sh run .venv/bin/python tests/api/shown.py [NAME ...]
"""
import contextlib
import csv
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import warnings
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field

import vellum.__main__ as cli
from vellum.reference.values import ArrayFormula, DataTableFormula, coordinate_to_tuple
from vellum.workbook import Workbook

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
# The filter's tokens: comma, double quote, UTF-8, from line 1, no column
# types, en-US, quoted fields not as text, special numbers detected, cell
# contents saved as shown (the ninth), formulas not as text, spaces kept,
# every sheet to a file of its own (the twelfth, -1; "stem-Sheet.csv").
CSV_FILTER = "csv:Text - txt - csv (StarCalc):44,34,76,1,,1033,false,true,true,false,false,-1"


def corpus():
    return sorted(p.name for p in CORPUS.glob("*.xls[xm]")) if CORPUS.is_dir() else []


def export(paths, out, csv_filter=CSV_FILTER):
    """Every sheet of every workbook of `paths` as shown (or through
    another `csv_filter`), into `out`, as "stem-Sheet.csv": soffice runs of
    a few workbooks each, and a workbook that came out with no sheet is
    exported again alone, as a long run now and then stops partway
    (AssertionError if it still has none). A workbook's stem must be no
    other's followed by "-"."""
    paths = [pathlib.Path(p) for p in paths]

    def run(batch):
        soffice(batch, out, csv_filter)

    def missing():
        return [p for p in paths if not sheet_files(out, p)]

    for i in range(0, len(paths), EXPORT_BATCH):
        run(paths[i:i + EXPORT_BATCH])
    for path in missing():
        run([path])
    assert not missing(), f"LibreOffice exported nothing of {[p.name for p in missing()]}"


def soffice(paths, out, target):
    """Convert the workbooks `paths` into the folder `out` with LibreOffice,
    headless, to `target` ("xlsx", or a CSV filter)."""
    # LibreOffice is not ours to sanitize: under the sanitizer run the
    # preloaded runtimes and their options would abort it
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    subprocess.run([shutil.which("soffice"), f"-env:UserInstallation=file://{out}/profile",
                    "--headless", "--convert-to", target, "--outdir", str(out),
                    *map(str, paths)], capture_output=True, timeout=1800, env=env)


# Workbooks a soffice run exports.
EXPORT_BATCH = 20


def sheet_files(out, path):
    """{sheet name: CSV file} of what `export` made of one workbook."""
    stem = pathlib.Path(path).stem
    pattern = "".join(f"[{c}]" if c in "*?[" else c for c in stem) + "-*.csv"
    return {f.name[len(stem) + 1:-4]: f for f in pathlib.Path(out).glob(pattern)}


def sheet_grid(out, path, sheet):
    """`grid` of one exported sheet."""
    with open(pathlib.Path(out) / f"{pathlib.Path(path).stem}-{sheet}.csv", newline="",
              encoding="utf-8") as f:
        return grid(csv.reader(f))


def grid(rows):
    """{(row, column): text} of the non-empty fields of parsed CSV rows."""
    return {(r, c): t for r, row in enumerate(rows, 1) for c, t in enumerate(row, 1) if t != ""}


def ours(path, sheet, *flags):
    """The rows `vellum FILE --sheet N [flags]` prints, or None when it
    reports the sheet as unreadable (damaged)."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()), \
            warnings.catch_warnings():
        warnings.simplefilter("ignore")
        status = cli.main([str(path), "--sheet", str(sheet), *flags])
    return list(csv.reader(io.StringIO(out.getvalue()))) if status == 0 else None


def _cells_of(ref):
    """The (row, column) cells of an A1 range such as "B2:D4"."""
    first, _, last = ref.partition(":")
    (r0, c0), (r1, c1) = coordinate_to_tuple(first), coordinate_to_tuple(last or first)
    return {(r, c) for r in range(r0, r1 + 1) for c in range(c0, c1 + 1)}


def computed_cells(book, sheet):
    """The cells of a sheet whose values LibreOffice computes itself rather
    than show as saved: formulas, the ranges array formulas and data tables
    fill, and pivot tables."""
    found = set()
    for row in sheet.iter_rows():
        for c in row:
            if c is None:
                continue
            value = c._value
            if isinstance(value, ArrayFormula) and value.ref:
                found |= _cells_of(value.ref)
            elif isinstance(value, DataTableFormula) and getattr(value, "ref", None):
                found |= _cells_of(value.ref)
            if c.data_type == "f" or isinstance(value, (ArrayFormula, DataTableFormula)):
                found.add((c.row, c.column))
    archive = book._archive
    for kind, target in archive.relationships(sheet.part).values():
        if kind.endswith("/pivotTable") and archive.member(target):
            for el in ET.fromstring(archive.read(target)).iter():
                if el.tag.endswith("}location") and el.get("ref"):
                    found |= _cells_of(el.get("ref"))
                    # the page fields, a row each above the table and a gap
                    pages = int(el.get("rowPageCount", "0"))
                    r0, c0 = coordinate_to_tuple(el.get("ref").partition(":")[0])
                    found |= {(r, c) for r in range(r0 - pages - 1, r0 - 1) for c in (c0, c0 + 1)}
    return found


@dataclass
class Agreement:
    """Cells of the sheets both read: equal, and different (with the texts
    of both), apart from the cells LibreOffice computes (formulas, array
    and data-table ranges, pivot tables), which are counted on their own."""

    equal: int = 0
    differ: list = field(default_factory=list)
    formulas_equal: int = 0
    formulas_differ: int = 0
    computed_differ: list = field(default_factory=list)
    sheets: int = 0
    unread: list = field(default_factory=list)

    @property
    def total(self):
        return self.equal + len(self.differ)

    def add(self, other):
        self.equal += other.equal
        self.differ += other.differ
        self.formulas_equal += other.formulas_equal
        self.formulas_differ += other.formulas_differ
        self.computed_differ += other.computed_differ
        self.sheets += other.sheets
        self.unread += other.unread

    def __str__(self):
        share = self.equal / self.total if self.total else 1.0
        return (f"{self.sheets} sheets, {self.total} cells: {self.equal} equal ({share:.4%}), "
                f"{len(self.differ)} different; computed cells: {self.formulas_equal} equal, "
                f"{self.formulas_differ} different; not read by both: {len(self.unread)}")


def compare(path, exported):
    """The agreement of every worksheet of one workbook."""
    found = Agreement()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Workbook(path, data_only=False) as book:
                names = [s.name for s in book.sheets]
                computed = [computed_cells(book, s) for s in book.sheets]
    except Exception:
        found.unread.append((path.name, None))
        return found
    for index, name in enumerate(names):
        target = exported / f"{path.stem}-{name}.csv"
        if not target.exists():
            found.unread.append((path.name, name))
            continue
        rows = ours(path, index, "--formatted")
        if rows is None:
            found.unread.append((path.name, name))
            continue
        with open(target, newline="", encoding="utf-8") as f:
            theirs = grid(csv.reader(f))
        mine = grid(rows)
        formulas = computed[index]
        found.sheets += 1
        for key in sorted(mine.keys() | theirs.keys()):
            a, b = mine.get(key, ""), theirs.get(key, "")
            if key in formulas:
                found.formulas_equal += a == b
                found.formulas_differ += a != b
                if a != b:
                    found.computed_differ.append((path.name, name, key, a, b))
            elif a == b:
                found.equal += 1
            else:
                found.differ.append((path.name, name, key, a, b))
    return found


def agreement(names, folder):
    """Export `names` of the corpus with LibreOffice into `folder` and
    compare them all."""
    paths = [CORPUS / n for n in names]
    export(paths, folder)
    total = Agreement()
    for path in paths:
        total.add(compare(path, folder))
    return total


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        result = agreement(sys.argv[1:] or corpus(), pathlib.Path(tmp))
    for kind, found in (("computed", result.computed_differ), ("value", result.differ)):
        for name, sheet, key, a, b in found:
            print(f"{kind}\t{name}\t{sheet}\t{key}\tours {a!r}\tLibreOffice {b!r}")
    print(result)
