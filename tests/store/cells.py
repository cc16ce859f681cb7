"""What the tests of the store share: a style array class, a sequence of
styles of any length, a store loaded through the test-only placement entry,
and the dict of Cell objects the package would have built from the same
cells (the oracle of the loaded-store tests)."""
import array
import datetime
import math

import _vellum_testing as native
from vellum.reference import Parser, make_helpers
from vellum.reference.cell import Cell
from vellum.reference.formula import Translator, column_letters
from vellum.reference.values import from_excel
from vellum.utils.datetime import WINDOWS_EPOCH


class StyleArray(array.array):
    """The workbook's style array: nine ints, copied per cell."""

    __slots__ = ()

    def __new__(cls, args=(0,) * 9):
        return super().__new__(cls, "i", args)


class Styles:
    """cell_styles of `n` entries without holding them: item i is a fresh
    StyleArray that names i. `hook(i)`, when set, runs on every lookup."""

    def __init__(self, n, salt=0):
        self.n, self.salt, self.hook = n, salt, None

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if self.hook:
            self.hook(i)
        if not -self.n <= i < self.n:
            raise IndexError("list index out of range")
        i %= self.n
        return StyleArray((i % 2**31, self.salt, 0, 0, 0, 0, 0, 0, 0))


class Sheet:
    """A worksheet stand-in: the parent of every cell."""


def load(cells, *, store=None, ws=None, styles=None, shared=(), masters=(), epoch=WINDOWS_EPOCH):
    """A test-module store (new unless given) loaded with `cells`."""
    store = native.CellStore() if store is None else store
    ws = Sheet() if ws is None else ws
    styles = Styles(70_000) if styles is None else styles
    parser = Parser(epoch=epoch)
    parser.shared_strings = shared if isinstance(shared, list) else list(shared)
    native.load_cells(store, ws, styles, Cell, parser, make_helpers(), cells, masters)
    return store, ws, styles


def value_of(tagged, row, column, shared, masters, epoch):
    """The value the package gives a cell of the placement entry's tags."""
    tag, v = tagged
    if tag == "ss":
        return shared[v]
    if tag in ("date_int", "date_float"):
        return from_excel(v, epoch)
    if tag == "shared":
        formula, mrow, mcol = masters[v[0]]
        dest = f"{column_letters(v[2])}{v[1]}" if len(v) == 3 else None
        return Translator(formula, f"{column_letters(mcol)}{mrow}").translate_formula(dest)
    return v


def expected(cells, ws, styles, shared=(), masters=(), epoch=WINDOWS_EPOCH):
    """The package's dict of cells: document order, the later of two cells
    at one place winning in the earlier one's position."""
    out = {}
    for row, column, tagged, data_type, style in cells:
        value = value_of(tagged, row, column, shared, masters, epoch)
        arr = None if style is None else StyleArray(styles[style])
        out[(row, column)] = Cell(ws, row, column, value, data_type, style=arr)
    return out


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (datetime.datetime, datetime.time)):
        return a == b and type(a) is type(b)
    return a == b


def assert_same_cells(store, want):
    """`store` holds exactly the cells of `want`, in its order, each the same
    Cell on every access."""
    assert len(store) == len(want)
    keys = list(store)
    assert keys == list(want)
    assert all(type(r) is int and type(c) is int for r, c in keys)
    assert list(reversed(store)) == keys[::-1]
    for key, cell in want.items():
        got = store[key]
        assert type(got) is Cell and store[key] is got
        assert got.parent is cell.parent
        assert (type(got.row), type(got.column)) == (int, int)
        assert (got.row, got.column) == (cell.row, cell.column)
        assert same_value(got._value, cell._value), (key, got._value, cell._value)
        assert got.data_type == cell.data_type
        assert type(got._style) is type(cell._style) and got._style == cell._style
        assert got._style is None or got._style is not cell._style
        assert got._hyperlink is None and got._comment is None
    assert store._stats()[:2] == (len(want), len(want))
