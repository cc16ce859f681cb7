"""Rows of plain values are made as the collector would leave them after its
first pass: untracked, since they cannot be part of a cycle. Anything that
may hold a reference back (a cell, a package object) keeps its row tracked."""
import gc
import io

from vellum import _vellum
from vellum.reference import Cell, Parser, make_helpers

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
ROWS = ('<row><c><v>1</v></c><c t="str"><v>x</v></c><c/><c t="b"><v>1</v></c><c s="3"><v>2</v></c></row>'
        '<row><c r="A2"><f t="array" ref="A2">1</f></c></row>'
        '<row><c r="B3"><v>2.5</v></c></row>')
DOC = f'<worksheet xmlns="{MAIN}"><sheetData>{ROWS}</sheetData></worksheet>'.encode()


def rows(values_only):
    r = _vellum.RowReader(io.BytesIO(DOC), Parser(date_formats={3}), make_helpers())
    out = []
    while (row := r.next_row("ws", 1, None, values_only, Cell, None)) is not None:
        out.append(row)
    return out


def test_rows_of_values_are_untracked_and_the_rest_tracked():
    plain, array, sparse = rows(True)
    assert not gc.is_tracked(plain) and not gc.is_tracked(plain[1])
    assert not gc.is_tracked(sparse[1]) and sparse[1] == (None, 2.5)
    # the array formula is a package object: it and its row stay tracked
    assert gc.is_tracked(array[1]) and gc.is_tracked(array)
    for row in rows(False):
        assert gc.is_tracked(row[1]) or row[1] == ()


def test_untracked_rows_still_compare_and_live_as_tuples():
    got = rows(True)
    gc.collect()
    assert [r[0] for r in got] == [1, 2, 3]
    assert got[0][1][:4] == (1, "x", None, True)
