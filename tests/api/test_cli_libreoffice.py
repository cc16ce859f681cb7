"""`vellum FILE` against LibreOffice's CSV export of the same sheets: the
stretched sheets trimmed to what it prints, and `--formatted` cell by cell
against its export "as shown" (see `shown`). One soffice run for a handful
of workbooks rich in number formats; the whole corpus is the slow test.

Marked ``libreoffice``: skipped without soffice, failed instead where
VELLUM_REQUIRE_LIBREOFFICE is set (CI)."""
import csv
import os
import sys

import pytest

from tests.api import shown

pytestmark = [pytest.mark.libreoffice,
              pytest.mark.skipif(not shown.CORPUS.is_dir(), reason="no corpus beside the checkout")]

# Styled empty cells and cell-less rows out to XFD1048576 around a few rows.
STRETCHED = ["calamine__issue_174.xlsx", "phpspreadsheet__issue.3255.xlsx"]
# Every kind of format code (sections, conditions, fractions, scientific,
# [h], A/P, colours), dates of the 1904 system, the system's long date and
# time ([$-F800], [$-F400]), built-in formats, clock times a hair before
# the minute, elapsed minutes (HH[M]).
FORMATS = ["sheetjs-test_files__number_format.xlsm", "poi__DateFormatTests.xlsx", "exceljs__1904.xlsx",
           "poi__57181.xlsm", "sheetjs-test_files__LONumbers.xlsx", "phpspreadsheet__issue.3654c.xlsx"]


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    folder = tmp_path_factory.mktemp("shown")
    shown.export([shown.CORPUS / n for n in STRETCHED + FORMATS], folder)
    return folder


@pytest.mark.parametrize("name", STRETCHED)
def test_stretched_sheet_prints_what_libreoffice_prints(exported, name):
    path = shown.CORPUS / name
    with open(exported / f"{path.stem}-Sheet1.csv", newline="", encoding="utf-8") as f:
        theirs = list(csv.reader(f))
    # field for field, the empty ones too: the same rectangle
    assert shown.ours(path, 0) == theirs
    assert shown.ours(path, 0, "--formatted") == theirs
    assert len(shown.ours(path, 0, "--keep-empty", "--limit", "20")) == 20


def test_formatted_cells_are_those_libreoffice_shows(exported):
    found = shown.Agreement()
    for name in STRETCHED + FORMATS:
        found.add(shown.compare(shown.CORPUS / name, exported))
    print(found)
    assert not found.unread and found.total > 7000
    assert found.differ == []


@pytest.mark.slow
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "") or hasattr(sys, "gettotalrefcount"),
                    reason="renders in Python: the release run covers it")
def test_corpus_formatted_agrees_with_libreoffice(tmp_path):
    found = shown.agreement(shown.corpus(), tmp_path)
    print(found)
    assert found.equal / found.total >= 0.995
