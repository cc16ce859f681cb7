"""What the store holds and when it lets go: every reference released by
deletion, replacement, popitem, clear, dict mode and destruction; cycles
through the worksheet and its cells collected; re-entrant calls from code
the store runs refused with the borrow errors, the store left as it was."""
import gc
import sys
import weakref

import pytest

import _vellum_testing as native
from vellum._vellum import CellStore
from vellum.reference import Parser, make_helpers
from vellum.reference.cell import Cell

from tests.store.cells import Sheet, Styles, load

BORROWED = (RuntimeError, ("Already borrowed",))
MUT_BORROWED = (RuntimeError, ("Already mutably borrowed",))


class Value:
    pass


class Strings(list):
    pass


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:
        return (type(e), e.args)


def loaded_with_values():
    """A store whose cells hold Python values (loaded and assigned), the
    weak references to those values, and its loaded keys."""
    values = [Value() for _ in range(4)]
    cells = [(1, 1, ("py", values[0]), "n", 0), (1, 2, ("py", values[1]), "n", None),
             (70_000, 1, ("py", values[2]), "n", 1)]
    store, _, _ = load(cells)
    store[(3, 3)] = values[3]
    return store, [weakref.ref(v) for v in values]


def drop_all(store, way):
    if way == "del":
        for key in list(store):
            del store[key]
    elif way == "replace":
        for key in list(store):
            store[key] = None
    elif way == "popitem":
        while store:
            store.popitem()
    elif way == "clear":
        store.clear()
    elif way == "dict mode, then clear":
        store["A1"] = None
        store.clear()


@pytest.mark.parametrize("way", ["del", "replace", "popitem", "clear", "dict mode, then clear"])
@pytest.mark.parametrize("materialised", [False, True])
def test_each_way_out_releases_the_values(way, materialised):
    store, refs = loaded_with_values()
    cells = [store[k] for k in store] if materialised else []
    counts = [sys.getrefcount(c) for c in cells]
    assert all(r() is not None for r in refs)
    drop_all(store, way)
    # Each Cell is now held by this test only.
    assert [sys.getrefcount(c) for c in cells] == [n - 1 for n in counts]
    del cells
    assert [r() for r in refs] == [None] * 4 and len(store) == (0 if way != "replace" else 4)


def test_destruction_releases_everything():
    ws, styles, value = Sheet(), Styles(3), Value()
    parser = Parser()
    parser.shared_strings = Strings(["shared"])
    dtype = "".join(["x-", "odd"])
    refs = [weakref.ref(o) for o in (ws, styles, value, parser.shared_strings)]
    before = sys.getrefcount(Cell), sys.getrefcount(dtype)
    store = native.CellStore()
    native.load_cells(store, ws, styles, Cell, parser, make_helpers(),
                      [(1, 1, ("py", value), dtype, 0), (1, 2, ("ss", 0), "s", 1)], [])
    del ws, styles, value, parser
    assert [r() is not None for r in refs] == [True] * 4
    assert store[(1, 2)]._value == "shared" and store[(1, 1)].data_type is dtype
    store.clear()
    assert refs[0]() is not None  # clear keeps the worksheet and the styles
    del store
    assert [r() for r in refs] == [None] * 4
    assert (sys.getrefcount(Cell), sys.getrefcount(dtype)) == before


def test_cycles_through_worksheet_cells_and_iterators_are_collected():
    store, ws, _ = load([(1, 1, ("int", 1), "n", 0), (2, 1, ("int", 2), "n", 0)])
    ws.cells = store
    ws.kept = [store[k] for k in store]
    store[(9, 9)] = iter(store)
    store[(9, 10)] = store
    refs = weakref.ref(ws), weakref.ref(store)
    del store, ws
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_reentrant_calls_from_cell_styles():
    store, _, styles = load([(1, 1, ("int", 1), "n", 0), (1, 2, ("int", 2), "n", 1)])
    for call, err in [(lambda: store[(1, 2)], BORROWED), (lambda: len(store), MUT_BORROWED),
                      (lambda: (1, 1) in store, MUT_BORROWED), (lambda: list(store), MUT_BORROWED)]:
        seen = []
        styles.hook = lambda i: seen.append(outcome(call)) or seen[-1][0] == "ok" or call()
        assert outcome(lambda: store[(1, 1)]) == err and seen == [err]
        assert store._stats()[:2] == (2, 0)
    styles.hook = None
    assert store[(1, 1)]._value == 1 and store._stats()[:2] == (2, 1)


class Item:
    """A key item that a dict takes for `n`, running `hook` in __hash__ or
    __eq__."""

    def __init__(self, n, on_hash=None, on_eq=None):
        self.n, self.on_hash, self.on_eq = n, on_hash, on_eq

    def __int__(self):
        return self.n

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return hash(self.n)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self.n == other


def test_reentrant_calls_from_key_hash_and_eq():
    store = CellStore()
    store[(1, 1)] = "one"
    write = lambda: store.__setitem__((2, 2), "x")  # noqa: E731
    # __hash__: its error is the operation's.
    assert outcome(lambda: store[(Item(1, on_hash=lambda: len(store)), 1)]) == MUT_BORROWED
    assert outcome(lambda: (Item(1, on_hash=write), 1) in store) == BORROWED
    assert outcome(lambda: (Item(1, on_hash=lambda: len(store)), 1) in store) == ("ok", True)
    # __eq__: its error (here the refused clear) means "no such key".
    key = (Item(1, on_eq=store.clear), 1)
    assert outcome(lambda: store[key]) == (KeyError, (key,))
    assert outcome(lambda: store.get(key, "dflt")) == ("ok", "dflt")
    assert list(store) == [(1, 1)] and store[(1, 1)] == "one"


def test_reentrant_calls_while_loading():
    class EqStr(str):
        def __eq__(self, other):
            return len(store) >= 0 and str.__eq__(self, other)

        __hash__ = str.__hash__

    class Lookup(list):
        def __getitem__(self, i):
            store[(1, 1)] = 0
            return "never"

    store = native.CellStore()
    cells = [(1, 1, ("int", 1), "x", 0), (1, 2, ("int", 2), EqStr("y"), 0)]
    assert outcome(lambda: load(cells, store=store)) == MUT_BORROWED
    load([(1, 1, ("ss", 0), "s", 0)], store=store, shared=Lookup(["a"]))
    assert outcome(lambda: store[(1, 1)]) == BORROWED
    assert store._stats()[:2] == (1, 0)


def test_released_values_may_use_the_store():
    """A value's __del__ runs once the store is free again."""
    seen = []

    class Watcher:
        def __del__(self):
            seen.append(outcome(lambda: (len(store), list(store))))

    store = CellStore()
    store[(1, 1)], store[(1, 2)] = Watcher(), Watcher()
    del store[(1, 1)]
    store[(1, 2)] = None
    store[(1, 3)] = Watcher()
    store.clear()
    assert seen == [("ok", (1, [(1, 2)])), ("ok", (1, [(1, 2)])), ("ok", (0, []))]
