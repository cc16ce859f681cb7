"""CellStore against a plain dict, driven by the same operations in the same
order: every result and every exception (type and arguments) must agree.

Where the store differs from a dict on purpose, the model follows the rule:
- an unhashable key fails in native mode with the error of hash() itself
  (a dict words it its own way);
- loaded cells are Cells made on first access: the model holds a Lazy
  placeholder until the store first hands the cell out, then that very Cell;
- an iterator of the native store, forwards or reversed, notices any change
  of the key set at its next step (not only a change of size), judged by
  the native count, and stays failed; once run out it stays so, as a
  dict's does; an iterator made in dict mode is the dict's own, and
  leaving dict mode (clear) drops that dict rather than emptying it.
Loaded cells iterate before later ones in the order they were placed, which
for the package's dict is insertion order: the model's dict is filled so."""
import _vellum_testing as native
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from vellum._vellum import CellStore
from vellum.reference import Parser, make_helpers
from vellum.reference.cell import Cell

from tests.store.cells import Sheet, Styles


class TupleSub(tuple):
    pass


EXACT = [(r, c) for r in range(3) for c in range(3)] + [(2**32 - 1, 5), (7, 70_000)]
EQUIVALENT = [(1.0, 2), (True, 1), (2, 1.0), TupleSub((1, 1)), TupleSub((7, 70_000))]
FOREIGN = ["A1", (1, 2, 3), (-1, 2), (2**32, 1), (1.5, 2), [1, 2]]
KEYS = st.sampled_from(EXACT + EQUIVALENT + FOREIGN)
SIZE_MSG = "dictionary changed size during iteration"
KEYS_MSG = "dictionary keys changed during iteration"


class Lazy:
    """A loaded cell not yet handed out: its value is known, its Cell not."""

    def __init__(self, value):
        self.value = value


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:
        return (type(e), e.args)


def as_int_key(k):
    return (int(k[0]), int(k[1]))


class StoreAgainstDict(RuleBasedStateMachine):
    @initialize(loaded=st.none() | st.lists(st.tuples(st.integers(0, 2), st.integers(0, 3), st.integers(-(2**63), 2**63 - 1)),
                                            max_size=8))
    def start(self, loaded):
        self.model = {}
        if loaded is None:
            self.store = CellStore()
        else:
            self.store = native.CellStore()
            cells = [(r, c, ("int", v), "n", 0) for r, c, v in loaded]
            native.load_cells(self.store, Sheet(), Styles(1), Cell, Parser(), make_helpers(), cells)
            for r, c, v in loaded:
                self.model[(r, c)] = Lazy(v)
        self.dict_mode = False
        self.version = 0  # moves whenever the store's set of keys may have
        self.iters = []   # ("native", it, keys, pos, version, len) or ("dict", it, model_it)

    # The native count, which a native iterator compares with its own.
    def native_len(self):
        return 0 if self.dict_mode else len(self.model)

    def observe(self, key, got):
        want = self.model[key]
        if isinstance(want, Lazy):
            assert type(got) is Cell and (got.row, got.column) == key and got._value == want.value
            self.model[key] = got
        else:
            assert got is want

    def check(self, key, store_fn, model_fn):
        got = outcome(store_fn)
        want = outcome(lambda: hash(key)) if not self.dict_mode else ("ok",)
        if want[0] == "ok":
            want = outcome(model_fn)
        if got[0] == "ok" and want[0] == "ok":
            return got[1], want[1]
        assert got == want
        return None

    def change_keys(self):
        self.version += 1

    # --- Operations

    @rule(key=KEYS, value=st.sampled_from([None, 0, "v"]) | st.builds(object))
    def assign(self, key, value):
        def on_store():
            self.store[key] = value

        if outcome(lambda: hash(key))[0] != "ok":
            self.check(key, on_store, lambda: self.model.__setitem__(key, value))
            return
        if not self.dict_mode and key in FOREIGN:
            # Dict mode: every cell moves to a new dict under an int tuple.
            self.model = {as_int_key(k): v for k, v in self.model.items()}
            self.dict_mode = True
            self.change_keys()
        elif key not in self.model:
            self.change_keys()
        on_store()
        self.model[key] = value

    @rule(key=KEYS)
    def getitem(self, key):
        pair = self.check(key, lambda: self.store[key], lambda: self.model[key])
        if pair:
            self.observe(key, pair[0])

    @rule(key=KEYS, default=st.sampled_from([None, "default"]))
    def get(self, key, default):
        pair = self.check(key, lambda: self.store.get(key, default), lambda: self.model.get(key, default))
        if pair and (key in self.model):
            self.observe(key, pair[0])
        elif pair:
            assert pair[0] is default

    @rule(key=KEYS)
    def contains(self, key):
        pair = self.check(key, lambda: key in self.store, lambda: key in self.model)
        if pair:
            assert pair[0] == pair[1]

    @rule(key=KEYS)
    def delete(self, key):
        def on_store():
            del self.store[key]

        def on_model():
            del self.model[key]

        if self.check(key, on_store, on_model):
            self.change_keys()

    @rule()
    def popitem(self):
        pair = self.check((), self.store.popitem, self.model.popitem)
        if pair:
            (key, cell), (want_key, want) = pair
            assert key == want_key
            if isinstance(want, Lazy):
                assert type(cell) is Cell and cell._value == want.value and (cell.row, cell.column) == key
            else:
                assert cell is want
            self.change_keys()

    @rule()
    def clear(self):
        assert self.store.clear() is None
        self.model = {}  # a new dict: iterators over the old one go on
        self.dict_mode = False
        self.change_keys()

    @rule()
    def whole_iterations(self):
        assert list(self.store) == list(self.model)
        assert list(reversed(self.store)) == list(reversed(self.model))

    @precondition(lambda self: len(self.iters) < 4)
    @rule(reverse=st.booleans())
    def new_iterator(self, reverse):
        make = reversed if reverse else iter
        it = make(self.store)
        if self.dict_mode:
            self.iters.append(["dict", it, make(self.model)])
        else:
            self.iters.append(["native", it, list(make(self.model)), 0, self.version, len(self.model)])

    @precondition(lambda self: self.iters)
    @rule(which=st.integers(0, 3), steps=st.integers(1, 3))
    def step_iterator(self, which, steps):
        entry = self.iters[which % len(self.iters)]
        for _ in range(steps):
            if entry[0] == "dict":
                got, want = outcome(lambda: next(entry[1])), outcome(lambda: next(entry[2]))
                assert got == want
                continue
            _, it, keys, pos, version, length = entry
            got = outcome(lambda: next(it))
            if pos > len(keys):  # ran out before
                assert got == (StopIteration, ())
            elif version != self.version:
                msg = SIZE_MSG if self.native_len() != length else KEYS_MSG
                assert got == (RuntimeError, (msg,))
            elif pos == len(keys):
                assert got == (StopIteration, ())
                entry[3] += 1
            else:
                assert got == ("ok", keys[pos]) and type(got[1][0]) is int
                entry[3] += 1

    @invariant()
    def same_size_and_mode(self):
        if hasattr(self, "store"):
            assert len(self.store) == len(self.model)
            assert self.store._in_dict_mode() == self.dict_mode
            if not self.dict_mode and self.model:
                rows = [k[0] for k in self.model]
                cols = [k[1] for k in self.model]
                assert self.store._bounds() == (min(rows), max(rows), min(cols), max(cols))


TestStoreAgainstDict = StoreAgainstDict.TestCase
