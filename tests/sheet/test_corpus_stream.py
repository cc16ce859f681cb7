"""Every worksheet of the real-workbook corpus, streamed by the engine and by
the package's own reader: the engine gives exactly the same rows, values,
data types, style ids, warnings, captured elements and row dimensions, or
declines with NativeFallback; it never gives anything else."""
import collections
import csv
import io
import pathlib

import pytest

from vellum import _vellum
from vellum.reference import Parser
from vellum.reference.sheet import SheetReader
from vellum.workbook import Workbook

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"


class Small(io.BytesIO):
    """Reads of a few bytes at a time, so that every buffer boundary of the
    engine's reader is crossed somewhere in the corpus."""

    def read(self, n=-1):
        return super().read(min(n, 97))


def read_all(reader):
    rows = []
    while (row := reader.next_raw()) is not None:
        rows.append(row)
    assert reader.next_raw() is None
    return rows


def typed(rows):
    """Rows with the type of every value, so that 1 == 1.0 == True do not
    hide a difference."""
    return [(idx, [c + (type(c[2]),) for c in cells]) for idx, cells in rows]


def outcome(book, data, reader_cls, source_cls=io.BytesIO):
    parser = book.parser()
    try:
        reader = reader_cls(source_cls(data), parser, book.helpers)
        rows = typed(read_all(reader))
    except Exception as e:  # compared below: the kind of failure matters
        return e
    return rows, reader.actions, parser.row_dimensions


def sheets():
    if not CORPUS.is_dir():
        return []
    with open(CORPUS / "MANIFEST.tsv", newline="") as f:
        return [e["file"] for e in csv.DictReader(f, delimiter="\t")]


def compare(path, counts):
    try:
        book = Workbook(path, engine=False)
    except Exception:
        counts["workbook refused"] += 1
        return
    with book:
        for sheet in book.sheets:
            data = book._zip.read(sheet.part)
            want = outcome(book, data, SheetReader)
            for source in (io.BytesIO, Small):
                got = outcome(book, data, _vellum.RowReader, source)
                if isinstance(got, _vellum.NativeFallback):
                    counts[f"fell back: {got}"] += 1
                    break
                assert not isinstance(got, Exception), f"{sheet}: engine raised {got!r}, python gave {want!r:.200}"
                assert not isinstance(want, Exception), f"{sheet}: python raised {want!r}, engine read it"
                g_rows, g_actions, g_dims = got
                w_rows, w_actions, w_dims = want
                assert len(g_rows) == len(w_rows), sheet
                for g, w in zip(g_rows, w_rows):
                    assert g == w, sheet
                assert g_actions == w_actions, sheet
                assert g_dims == w_dims, sheet
            else:
                counts["native"] += 1


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
def test_every_corpus_sheet_reads_as_the_package_reads_it(capsys):
    counts = collections.Counter()
    for name in sheets():
        compare(CORPUS / name, counts)
    with capsys.disabled():
        print("\ncorpus sheets:", dict(sorted(counts.items())))
    assert counts["native"] > 100
