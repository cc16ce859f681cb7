"""A loaded store against the dict of Cell objects the package would have
built from the same cells: every value kind, in and out of order, repeated
cells, wide columns, 32-bit edges, style ids at the record's limit; then the
row walk, long runs of removals, and the loader's refusals."""
import pytest
from hypothesis import given, strategies as st

import _vellum_testing as native
from vellum.extent import cells_extent
from vellum.reference.cell import Cell

from tests.store.cells import Sheet, StyleArray, Styles, assert_same_cells, expected, load

# The test module's own NativeFallback (its copy of the engine makes one).
NativeFallback = Exception

SHARED = ["alpha", "beta", "", "γάμμα"]
MASTERS = [("=B2*2+$A$1", 2, 2), ("=SUM(C3:C9)", 3, 3)]
TEXTS = ["", "x", "same text", "ünïcødé ✓", "=A1+B1"]
DTYPES = ["n", "s", "f", "b", "e", "d", "inlineStr", "str", "odd"]
EDGE_INTS = [0, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, -(2**63)]
COLUMNS = st.one_of(st.integers(0, 6), st.sampled_from([65_535, 65_536, 70_000, 2**32 - 1]))
ROWS = st.one_of(st.integers(0, 6), st.just(2**32 - 1))


@st.composite
def a_cell(draw):
    row, column = draw(ROWS), draw(COLUMNS)
    dtype = draw(st.sampled_from(DTYPES))
    kind = draw(st.sampled_from(
        ["none", "int", "float", "bool", "ss", "str", "formula", "shared", "date_int", "date_float", "py"]))
    if kind == "none":
        value = None
    elif kind == "int":
        value = draw(st.one_of(st.sampled_from(EDGE_INTS), st.integers(-(2**63), 2**63 - 1)))
    elif kind == "float":
        value = draw(st.floats())
    elif kind == "bool":
        value = draw(st.booleans())
    elif kind == "ss":
        value = draw(st.integers(0, len(SHARED) - 1))
    elif kind == "str":
        value = draw(st.one_of(st.sampled_from(TEXTS), st.text(max_size=12)))
    elif kind == "formula":
        # Alike in shape down a column: the second one becomes a template.
        kind, dtype = "str", "f"
        value = draw(st.sampled_from([f"=A{row + 1}*2", f"=$A$1+B{row + 2}", "=LOG10(A1)", "=1+2"]))
    elif kind == "shared":
        master = draw(st.integers(0, len(MASTERS) - 1))
        if draw(st.booleans()):
            value = (master,)
        elif row >= 3 and 3 <= column <= 18_278 and draw(st.booleans()):
            value = (master, row, column)
        else:
            value = (master, draw(st.integers(3, 50)), draw(st.integers(3, 50)))
    elif kind == "date_int":
        value = draw(st.one_of(st.sampled_from([0, 1, 59, 60, 61]), st.integers(-600_000, 2_900_000)))
    elif kind == "date_float":
        value = draw(st.floats(-600_000, 2_900_000))
    else:
        value = object()
    style = draw(st.one_of(st.none(), st.integers(0, 3), st.sampled_from([65_534, 65_535, 69_999, -1])))
    return (row, column, (kind, value), dtype, style)


@given(st.lists(a_cell(), max_size=40))
def test_loaded_store_is_the_packages_dict(cells):
    store, ws, styles = load(cells, shared=SHARED, masters=MASTERS)
    want = expected(cells, ws, styles, SHARED, MASTERS)
    assert store._stats()[:2] == (len(want), 0)
    # the extent of the values is the package's, judged on the dict of
    # Cells, and without making a Cell
    assert store._value_bounds() == cells_extent(want)
    assert store._stats()[:2] == (len(want), 0)
    assert_same_cells(store, want)
    assert store._value_bounds() == cells_extent(want)  # and over the Cells made
    rows = [r for r, _ in want]
    cols = [c for _, c in want]
    assert store._bounds() == ((min(rows), max(rows), min(cols), max(cols)) if want else None)


def test_long_and_repeated_texts():
    longest, too_long = "a" * 0xFFFFFF, "b" * (0xFFFFFF + 1)
    cells = [(1, c, ("str", "shared text"), "s", 0) for c in range(1, 1001)]
    cells += [(2, 1, ("str", longest), "s", None), (2, 2, ("str", too_long), "s", None)]
    store, ws, styles = load(cells)
    # The repeated text is kept once; the over-long one as a str of its own.
    assert store._stats()[3] == len("shared text") + len(longest)
    assert_same_cells(store, expected(cells, ws, styles))


def test_formulas_of_one_shape_share_a_template():
    cells = [(r, 3, ("str", f"=A{r}+B{r}"), "f", 0) for r in range(1, 6)]
    cells += [(r, 4, ("str", f"=$A$1*B{r}"), "f", 0) for r in range(1, 4)]
    store, ws, styles = load(cells)
    assert store._stats()[2:] == (2, len("=A1+B1") + len("=$A$1*B1"))
    assert_same_cells(store, expected(cells, ws, styles))


def test_each_load_starts_afresh():
    """Styles, extra data types and templates of an earlier load are not
    reused by a later one with other styles."""
    first = [(1, 1, ("int", 1), "x-first", 1), (1, 2, ("str", "=A1*2"), "f", 1),
             (2, 2, ("str", "=A2*2"), "f", 1)]
    store, ws, _ = load(first, styles=Styles(4, salt=1))
    assert [store[k]._style[1] for k in store] == [1, 1, 1]
    second = [(1, 1, ("int", 2), "x-second", 1), (5, 1, ("str", "=$C$3-9"), "f", 1),
              (6, 1, ("str", "=$C$3-9"), "f", 1)]
    styles = Styles(4, salt=2)
    store, ws, _ = load(second, store=store, ws=ws, styles=styles)
    assert_same_cells(store, expected(second, ws, styles))


def test_loader_refusals():
    for cell, error in [
        ((1, 1, ("none", None), "n", 4), (NativeFallback, "style index")),
        ((1, 1, ("none", None), "n", -5), (NativeFallback, "style index")),
        ((1, 1, ("none", None), "n", "1"), (NativeFallback, "unusual style id")),
        ((1, 2**32, ("none", None), "n", 0), (NativeFallback, "coordinate out of range")),
        ((-1, 1, ("none", None), "n", 0), (NativeFallback, "coordinate out of range")),
    ]:
        with pytest.raises(error[0]) as e:
            load([cell], styles=_Loose([StyleArray()] * 4))
        assert (type(e.value).__name__, str(e.value)) == ("NativeFallback", error[1])
    with pytest.raises(IndexError):
        load([(1, 1, ("none", None), "n", 4)], styles=[StyleArray()] * 4)
    many = [(1, c, ("none", None), f"t{c}", 0) for c in range(1, 250)]
    load(many[:248])
    with pytest.raises(NativeFallback, match="^too many data types$") as e:
        load(many)
    assert type(e.value).__name__ == "NativeFallback"


class _Loose(list):
    """A style list that answers any index, as a careless sequence would."""

    def __getitem__(self, i):
        return StyleArray()


def test_row_walk():
    store, ws, styles = load([(5, 2, ("int", 7), "n", 0), (6, 1, ("int", 8), "n", 0)])
    cells, created = store._row(5, 1, 3, False)
    assert created and [(c.row, c.column, c._value, c.data_type, c._style) for c in cells] == [
        (5, 1, None, "n", None), (5, 2, 7, "n", StyleArray((0, 0, 0, 0, 0, 0, 0, 0, 0))), (5, 3, None, "n", None)]
    again, created = store._row(5, 1, 3, False)
    assert not created and all(a is b for a, b in zip(again, cells))
    assert store._row(5, 4, 3, False) == ((), False)
    assert store._row(6, 1, 2, True) == ((8, None), False)  # values alone create nothing
    assert list(store) == [(5, 2), (6, 1), (5, 1), (5, 3)]


def test_many_removals_keep_order():
    """Enough removals to rebuild the overflow area, checked against a dict."""
    store = native.CellStore()
    model = {}
    for i in range(5000):
        store[(i % 97, i)] = model[(i % 97, i)] = i
    for i in range(0, 5000, 3):
        del store[(i % 97, i)], model[(i % 97, i)]
    for i in range(1, 5000, 3):
        del store[(i % 97, i)], model[(i % 97, i)]
        if i % 300 == 1:
            store[(0, i)] = model[(0, i)] = -i
            assert list(store) == list(model)
    assert list(store) == list(model) and [store[k] for k in model] == list(model.values())


def _parser_helpers():
    from vellum.reference import Parser, make_helpers
    return Parser(), make_helpers()


def test_store_from_another_module_is_refused():
    from vellum._vellum import CellStore
    with pytest.raises(TypeError, match="expected a CellStore"):
        native.load_cells(CellStore(), Sheet(), [], Cell, *_parser_helpers(), [])
