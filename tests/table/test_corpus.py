"""Every sheet of every corpus workbook read into a table by the engine's
columnar job against the reference (the package's own pure reading of
the sheet's cells, made into columns by `vellum.reference.table`): the same
names, types and values, or the same refusal, or the engine declines with
`NativeFallback`. Each sheet is read with the default options and with
others (no header, error texts, rows skipped and capped, columns chosen).

A table the reference cannot hold in Python (stray formatting stretches one
corpus sheet to every cell of a sheet, 17 billion of them) is compared in
the options that cut it down only."""
import collections
import pathlib
import warnings

import pytest

from vellum import _vellum
from vellum.reference.table import TableRefusal, build_columns
from vellum.table import _TableBook, _cells, _options
from vellum.streaming import check_root
from vellum.workbook import read_workbook

from books import assert_same_table, table_columns
from tests.needs import optional

optional("pyarrow")

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
# The most cells of a table the reference builds as Python lists.
REFERENCE_CELLS = 2_000_000
OPTIONS = [
    {},
    {"header_row": None, "error_cells": "text"},
    {"header_row": 1, "skip_rows": 1, "n_rows": 3, "columns": "B:D,A"},
]


def engine_table(path, index, options):
    with _TableBook(path, True) as book:
        ws = book.sheets[index]
        strings = book.strings_part()
        try:
            check_root(book, ws)
            return _vellum.read_table(book.member(ws.part), book.member(strings) if strings else None,
                                      book.epoch, book.date_formats, book.timedelta_formats,
                                      book.helpers, **options)
        except Exception as e:  # noqa: BLE001 (the outcome is compared)
            return e


def reference_table(path, index, options):
    with read_workbook(path, streaming=True, data_only=True, engine=False) as book:
        try:
            stream = book.stream(index, engine=False)
        except Exception as e:  # noqa: BLE001
            return e
        try:
            return build_columns(_cells(stream), **options)
        except Exception as e:  # noqa: BLE001
            return e
        finally:
            stream.close()


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
def test_every_corpus_sheet_reads_as_the_reference_reads_it():
    counts = collections.Counter()
    for path in sorted(p for p in CORPUS.iterdir() if p.suffix in (".xlsx", ".xlsm")):
        try:
            with read_workbook(path, streaming=True) as book:
                sheets = len(book.sheets)
        except Exception:  # noqa: BLE001
            counts["workbook refused"] += 1
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for index in range(sheets):
                for raw in OPTIONS:
                    options = _options(raw.get("header_row", 0), raw.get("skip_rows", 0),
                                       raw.get("n_rows"), raw.get("columns"), None,
                                       raw.get("error_cells", "null"))
                    where = f"{path.name}[{index}] {raw}"
                    got = engine_table(path, index, options)
                    if isinstance(got, _vellum.TableData) and \
                            got.num_rows * len(got.column_names) > REFERENCE_CELLS:
                        counts["too large for the reference"] += 1
                        continue
                    want = reference_table(path, index, options)
                    if isinstance(got, _vellum.NativeFallback):
                        counts[f"declined: {got}"] += 1
                        continue
                    if isinstance(want, TableRefusal):
                        assert got == str(want), where
                        counts["same refusal"] += 1
                        continue
                    if isinstance(want, Exception):
                        # the package's reading fails: the engine must not
                        # make a table of it (read_table then reads again)
                        assert isinstance(got, Exception), (where, want)
                        counts["both fail"] += 1
                        continue
                    assert not isinstance(got, (Exception, str)), (where, got)
                    assert not isinstance(want, Exception), (where, want)
                    assert_same_table(table_columns(got), want, where)
                    counts["native"] += 1
    print("\ncorpus sheets as tables:", dict(sorted(counts.items())))
    assert counts["native"] > 500
