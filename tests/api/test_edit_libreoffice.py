"""Corpus workbooks read and saved, as a real application shows them:
LibreOffice, headless, converts the original, the workbook saved with no
change, and the workbook saved with every worksheet written again and one
cell changed, every sheet to CSV as shown (number formats applied, formulas
as their values). The first two must agree exactly; the third must agree
except at the changed cell (and the few cells listed below, each with its
reason). Each saved workbook is also read back through our reader.

A handful run here; every corpus workbook the package reads in the test
marked slow. Marked ``libreoffice``: skipped without soffice, failed
instead where VELLUM_REQUIRE_LIBREOFFICE is set (CI)."""
import csv
import pathlib
import shutil
import warnings

import pytest

import vellum
from tests.api.shown import export, sheet_files, sheet_grid

pytestmark = pytest.mark.libreoffice

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
# Defined names, a chartsheet and macros, formulas saved without values,
# the 1904 date system, error values, 17-digit numbers, hyperlinks, a
# Strict workbook, dates typed "d" under the General format.
HANDFUL = ["closedxml__Formulas.xlsx", "phpspreadsheet__issue.3909b.xlsx", "poi__57181.xlsm",
           "poi__DateFormatTests.xlsx", "calamine__date_1904.xlsx", "calamine__errors.xlsx",
           "phpspreadsheet__issue.3654c.xlsx", "sheetjs-test_files__hyperlink_stress_test_2011.xlsx",
           "poi__sample.strict.xlsx", "openspout__sheet_with_dates_and_times.xlsx"]

# Cells a worksheet written again shows otherwise, by design or for want of
# something the package does not keep: {workbook: {sheet: cells}}.
KNOWN = {
    # A formula's saved text holding _x000D_, which LibreOffice does not
    # decode in a formula's value (it does in cells' texts): saved as the
    # carriage return it stands for, and a formula's saved text with a line
    # break is one LibreOffice calculates again (here an unknown function).
    "sheetjs-test_files__comments_stress_test.xlsx": {"Sheet3": {(1, 2), (3, 2)}},
    # A cell holding both <v> and an inline string: LibreOffice shows
    # nothing, the reader the inline text, which is then saved alone.
    "calamine__inlineStr_with_value.xlsx": {"Requirements": {(2, 4)}},
    # Dates typed t="d" under the General format: LibreOffice shows the
    # original's as numbers; saved with a date format they show as dates.
    "openspout__sheet_with_dates_and_times.xlsx": {"Sheet1": {(3, c) for c in range(1, 6)}},
    # Shared formulas are written one formula a cell: LibreOffice
    # recalculates shared formulas when it opens a file but shows the saved
    # value of a plain one, and its results differ from Excel's saved ones.
    "sheetjs-test_files__ErrorTypes.xlsx": {"RawErrors": {(5, 6), (13, 7)}},
    "sheetjs-test_files__LONumbers-2010.xlsx": {
        "Sheet1": {(r, c) for r in (20, 21) for c in range(2, 11)} | {(38, 2)}},
    # Dynamic-array and rich-value cells lose their metadata (cm, vm).
    "sheetjs-test_files__metadata_2019.xlsx": {"Sheet1": {(4, 2), (13, 3)}},
}
MARK = "vellum was here"


def corpus_files():
    if not (CORPUS / "MANIFEST.tsv").exists():
        return []
    with open(CORPUS / "MANIFEST.tsv") as f:
        return [row["file"] for row in csv.DictReader(f, delimiter="\t")]


def values(book):
    """Every worksheet's non-empty values through our reader."""
    return {ws.title: {k: v for k in list(ws._cells) if (v := ws._cells[k].value) not in (None, "")}
            for ws in book}


def prepare(names, out):
    """Each readable workbook of `names` three times in `out`, (original,
    saved with no change, saved written again with the mark): {name:
    (paths, sheet and cell of the mark, values read before)}."""
    out.mkdir(exist_ok=True)
    prepared = {}
    for i, name in enumerate(names):
        source = CORPUS / name
        if not source.exists():
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                book = vellum.read_workbook(source)
            except vellum.WorkbookError:
                continue
        suffix = source.suffix
        paths = [out / f"{i:03d}{kind}{suffix}" for kind in "one"]
        with book:
            shutil.copyfile(source, paths[0])
            book.save(paths[1])
            before = values(book)
            for ws in book:
                ws._changed = True  # written again, as any change would have it
            # the row below the sheet's cells, or below its last value where
            # those reach the last row
            first = book[0]
            last = first.max_row if first.max_row < 2**20 else max(
                (r for r, _ in before[first.title]), default=0)
            mark = (first.title, (last + 1, 1))
            first.cell(*mark[1], MARK)
            book.save(paths[2])
        prepared[name] = (paths, mark, before)
    export([p for paths, _, _ in prepared.values() for p in paths], out)
    return prepared


def check(out, name, paths, mark, before):
    original, unchanged, edited = paths
    for path in (unchanged, edited):
        with vellum.read_workbook(path) as book:
            after = values(book)
        if path == edited:
            assert after[mark[0]].pop(mark[1]) == MARK
        assert after == before, path.name
    names = sheet_files(out, original).keys()
    assert sheet_files(out, unchanged).keys() == names and sheet_files(out, edited).keys() == names
    for sheet in names:
        want = sheet_grid(out, original, sheet)
        assert sheet_grid(out, unchanged, sheet) == want, f"{name} {sheet}, saved with no change"
        got = sheet_grid(out, edited, sheet)
        if sheet == mark[0]:
            assert got.pop(mark[1], None) == MARK, f"{name} {sheet}: the change is not shown"
        differ = {k for k in got.keys() | want.keys() if got.get(k) != want.get(k)}
        assert differ == KNOWN.get(name, {}).get(sheet, set()), \
            f"{name} {sheet}, written again: {sorted(differ)[:5]}"


@pytest.fixture(scope="module")
def handful(tmp_path_factory):
    out = tmp_path_factory.mktemp("edit-libreoffice")
    return out, prepare(HANDFUL, out)


@pytest.mark.parametrize("name", HANDFUL)
def test_saved_workbook_shows_as_the_original(handful, name):
    out, prepared = handful
    if name not in prepared:
        pytest.skip("corpus file missing")
    check(out, name, *prepared[name])


@pytest.mark.slow
def test_every_corpus_workbook_shows_as_the_original(tmp_path):
    names = corpus_files()
    if not names:
        pytest.skip("no corpus")
    prepared = prepare(names, tmp_path)
    failed = []
    for name, args in prepared.items():
        try:
            check(tmp_path, name, *args)
        except AssertionError as e:
            failed.append(f"{name}: {str(e).splitlines()[0]}")
    assert not failed, f"{len(failed)} of {len(prepared)} differ:\n" + "\n".join(failed)


def test_sheets_added_removed_renamed_and_moved_open_so(tmp_path):
    from tests.api.test_edit import many_sheets
    with vellum.read_workbook(many_sheets(tmp_path / "many.xlsx")) as book:
        book.add_sheet("Added", 1).append(["new", 5])
        del book["Two"]
        book["Three"].title = "Drei"
        book.move_sheet("Four", 0)
        book.save(tmp_path / "edited.xlsx")
    export([tmp_path / "edited.xlsx"], tmp_path)
    found = {sheet: sheet_grid(tmp_path, tmp_path / "edited.xlsx", sheet)
             for sheet in sheet_files(tmp_path, tmp_path / "edited.xlsx")}
    assert found.pop("Chart", {}) == {}
    assert found == {"Four": {(1, 1): "Four"}, "One": {(1, 1): "One", (2, 1): "2"},
                     "Added": {(1, 1): "new", (1, 2): "5"}, "Drei": {(1, 1): "Three", (2, 1): "2"}}
