"""The Python objects the streaming row reader makes and holds: cells filled
through their slots without their constructor (and refused when a slot is
missing), rows of plain values left untracked by the collector, cycles
through the reader collected, no reference kept or lost, and the values of
rows discarded by an error released. The oracles are the slot layout of the
cell class, `gc`, weak references and reference counts."""
import gc
import sys
import weakref

import pytest

from row_diff import (BARE, Chunks, NativeFallback, RowReader, reader, readers, sheet)
from vellum.reference import Cell, Parser, make_helpers

pytestmark = pytest.mark.skipif(RowReader is None, reason="the engine has no RowReader yet")


# --- cells filled through their slots ------------------------------------

class NoInit(Cell):
    """Cells are made without calling the constructor or __new__."""
    __slots__ = ()

    def __new__(cls, *args):
        raise AssertionError("__new__ called")

    def __init__(self, *args):
        raise AssertionError("__init__ called")


class Reordered:
    """The same slot names at other offsets than Cell's."""
    __slots__ = ("x", "_style_id", "data_type", "_value", "column", "row", "parent")


class PropertyParent(Cell):
    __slots__ = ()
    parent = property(lambda self: None)


def test_cells_are_filled_through_their_slots():
    doc = sheet("".join(f'<row r="{r}"><c r="C{r}" s="{r}" t="str"><v>v{r}</v></c><c/></row>'
                        for r in (1000000, 1000001, 1000002, 1000003)))
    _, eng = readers(doc)
    for cls in (NoInit, Reordered, NoInit, Cell):
        extra = [] if cls is Reordered else ["_hyperlink"]
        idx, (a, b, c, d) = eng.next_row("ws", 1, None, False, cls, "E", extra)
        assert (a, b) == ("E", "E") and type(c) is type(d) is cls
        assert (c.parent, c.row, c.column, c._value, c.data_type, c._style_id) == ("ws", idx, 3, f"v{idx}", "s", idx)
        assert (d.row, d.column, d._value, d.data_type, d._style_id) == (idx, 4, None, "n", 0)
        assert c.row is d.row, "one int object per row"
        if extra:
            assert c._hyperlink is None
            for unset in ("formula", "cached_value", "_style", "_comment"):
                assert not hasattr(c, unset)
        else:
            assert not hasattr(c, "x")


class NotSlots(Cell):
    __slots__ = ()
    nothing = None


class NoFormula:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "cached_value")
    formula = None


def test_cell_classes_without_the_slots():
    # a failed call may use up its row, as the package's would: every row has cells
    full = sheet("".join(f'<row r="{r}"><c><v>{r}</v></c></row>' for r in range(1, 9)))
    _, eng = readers(full)
    with pytest.raises(TypeError, match="^parent is not a slot$"):
        eng.next_row("ws", 1, None, False, PropertyParent, None)
    with pytest.raises(TypeError, match="^nothing is not a slot$"):
        eng.next_row("ws", 1, None, False, NotSlots, None, ["nothing"])
    _, eng = readers(full, formula_and_value=True)
    with pytest.raises(TypeError, match="^formula is not a slot$"):
        eng.next_row("ws", 1, None, False, NoFormula, None)
    # values alone need no slots
    assert eng.next_row("ws", 1, None, True, NoFormula, None)[0] in (1, 2)


# --- rows the collector need not track -----------------------------------

ROWS = ('<row><c><v>1</v></c><c t="str"><v>x</v></c><c/><c t="b"><v>1</v></c><c s="3"><v>2</v></c></row>'
        '<row><c r="A2"><f t="array" ref="A2">1</f></c></row>'
        '<row><c r="B3"><v>2.5</v></c></row>')
DOC = sheet(ROWS, head=BARE)


def rows(values_only):
    r = reader(DOC, date_formats={3})
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


# --- cycles and references -----------------------------------------------

class Holder:
    def __init__(self, *refs):
        self.refs = refs

    def __call__(self, *args, **kwargs):
        return Holder(*self.refs)


@pytest.mark.parametrize("where", ["source", "row_dimensions", "shared_strings", "helper", "actions",
                                   "queued value", "cell class"])
def test_cycles_through_the_reader_are_collected(where):
    class Marker:
        pass

    class Cls(Cell):
        __slots__ = ()

    doc = sheet('<row r="1"><c r="A1"><v>1</v></c></row>'
                '<row r="2"><c r="A2"><f t="array" ref="A2">1</f></c></row>')
    marker, source, parser, helpers, holder = Marker(), Chunks(doc), Parser(["s"]), make_helpers(), Holder()
    probe = weakref.ref(marker)
    helpers["validate_rpr"] = helpers["ArrayFormula"] = holder
    reader = RowReader(source, parser, helpers)
    link = (reader, marker)
    if where == "source":
        source.link = link
    elif where == "row_dimensions":
        parser.row_dimensions["x"] = link
    elif where == "shared_strings":
        parser.shared_strings.append(link)
    elif where in ("helper", "queued value"):
        holder.refs = link
    elif where == "actions":
        reader.actions.append(link)
    else:
        Cls.link = link
    assert reader.next_row("ws", 1, None, False, Cls, None)[0] == 1
    if where == "queued value":
        holder.refs = ()  # only the value of the row still waiting holds the cycle now
    del reader, link, marker, source, parser, helpers, Cls, holder
    gc.collect()
    assert probe() is None


def test_no_reference_is_kept_or_lost():
    text, ws, filler = "".join(["sha", "red"]), object(), object()
    doc = sheet("".join(f'<row r="{r}"><c t="s"><v>0</v></c><c r="D{r}" t="str"><v>x</v></c></row>'
                        for r in range(1, 300)))
    parser = Parser([text])
    before = [sys.getrefcount(o) for o in (text, ws, filler, Cell, parser.shared_strings)]
    for values_only in (True, False, None):
        reader = RowReader(Chunks(doc, 1000), parser, make_helpers())
        while True:
            row = (reader.next_raw() if values_only is None
                   else reader.next_row(ws, 1, 6, values_only, Cell, filler, ["_comment"]))
            if row is None:
                break
        del reader, row
    gc.collect()
    assert [sys.getrefcount(o) for o in (text, ws, filler, Cell, parser.shared_strings)] == before


def test_rows_discarded_by_an_error_release_their_values():
    made = []

    def array_formula(**kwargs):
        made.append(Holder())
        return made[-1]

    helpers = make_helpers()
    helpers["ArrayFormula"] = array_formula
    doc = sheet("".join(f'<row><c r="A{r}"><f t="array">1</f></c></row>' for r in range(1, 50))
                + '<row><c><v>x</v></c></row>')
    reader = RowReader(Chunks(doc), Parser(), helpers)
    with pytest.raises(NativeFallback):
        reader.next_raw()
    probes = [weakref.ref(h) for h in made]
    del made[:], reader
    assert len(probes) == 49 and all(p() is None for p in probes)
