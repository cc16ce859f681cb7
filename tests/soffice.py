"""LibreOffice, headless, as the oracle of what a saved workbook shows: it
converts workbooks to CSV, every sheet to its own file, and the tests
compare those files cell by cell.

Two filters: `SHOWN` exports each cell's value as the sheet shows it (its
number format applied, a formula's value); `RAW` exports raw values and
formulas as their text. Files go to soffice in batches, and one that
produced nothing is converted again alone, as a long run now and then
stops partway."""
import csv
import os
import pathlib
import shutil
import subprocess

# separator, quote, UTF-8, from line 1, -, en-US, -, detect numbers, then
# "as shown" and "formulas", spaces kept, every sheet to its own file
SHOWN = "csv:Text - txt - csv (StarCalc):44,34,76,1,,1033,false,true,true,false,false,-1"
RAW = "csv:Text - txt - csv (StarCalc):44,34,76,1,,1033,false,true,false,true,false,-1"
BATCH = 20


def _run(paths, out, csv_filter):
    soffice = shutil.which("soffice")
    # LibreOffice is not ours to sanitize: under the sanitizer run the
    # preloaded runtimes and their options would abort it
    env = {k: v for k, v in os.environ.items()
           if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    subprocess.run([soffice, f"-env:UserInstallation=file://{out / 'profile'}", "--headless",
                    "--convert-to", csv_filter, "--outdir", str(out / "csv"), *map(str, paths)],
                   capture_output=True, timeout=900, env=env)


def convert(paths, out, csv_filter=SHOWN):
    """Convert every workbook of `paths` to CSV files in ``out / "csv"``;
    AssertionError naming those LibreOffice wrote nothing for."""
    out = pathlib.Path(out)
    paths = [pathlib.Path(p) for p in paths]

    def missing():
        return [p for p in paths if not any((out / "csv").glob(f"{glob_escape(p.stem)}-*.csv"))]

    for i in range(0, len(paths), BATCH):
        _run(paths[i:i + BATCH], out, csv_filter)
    for path in missing():
        _run([path], out, csv_filter)
    assert not missing(), f"LibreOffice converted none of {[p.name for p in missing()]}"


def glob_escape(text):
    return "".join(f"[{c}]" if c in "*?[" else c for c in text)


def sheets(out, path):
    """The names of the sheets LibreOffice wrote a CSV file for, by the
    workbook's `path` (whose name must be no other's followed by "-")."""
    stem = pathlib.Path(path).stem
    return sorted(p.name[len(stem) + 1:-4]
                  for p in (pathlib.Path(out) / "csv").glob(f"{glob_escape(stem)}-*.csv"))


def shown(out, path, sheet):
    """{(row, column): text} of one sheet's non-empty cells as LibreOffice
    exported them."""
    target = pathlib.Path(out) / "csv" / f"{pathlib.Path(path).stem}-{sheet}.csv"
    assert target.exists(), f"LibreOffice wrote no {target.name}"
    with open(target, newline="", encoding="utf-8") as f:
        return {(r, c): text for r, row in enumerate(csv.reader(f), 1)
                for c, text in enumerate(row, 1) if text != ""}
