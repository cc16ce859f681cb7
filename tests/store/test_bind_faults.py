"""`bind_cells` on damaged or hostile input: each case ends as the loader's
rules say (the package's own exception passing through, or NativeFallback
with its message), holds on to nothing, and the package's own full reading
then reads the sheet (the fallback a NativeFallback leads to)."""
import gc
import io
import sys

import pytest

from vellum import _vellum
from vellum.reference import Cell, Parser, make_helpers
from vellum.reference import worksheet as pure
from vellum.reference.styles import CellStyles, StyleArray

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STYLES = CellStyles(StyleArray([i] * 9) for i in range(4))


def sheet(cells):
    return (f'<worksheet xmlns="{MAIN}"><dimension ref="A1"/><sheetData>{cells}'
            '</sheetData></worksheet>').encode()


class Raising(io.BytesIO):
    """A source whose second read raises."""

    def __init__(self, data):
        super().__init__(data)
        self.calls = 0

    def read(self, n=-1):
        self.calls += 1
        if self.calls == 2:
            raise OSError("disk gone")
        return super().read(min(n, 7))


class BadList(list):
    def append(self, item):
        raise ValueError("no room")


def bad_helpers():
    h = make_helpers()
    def fails(*args):
        raise ZeroDivisionError("helper")
    h["float"] = fails
    return h


ROW = '<row r="1"><c r="A1" s="1"><v>1.5e0x</v></c><c r="B1"><v>2</v></c></row>'
UNKNOWN = "".join(f'<c r="A{i + 1}" t="x{i}"><v>1</v></c>' for i in range(249))
CASES = {
    # name: (document, source class, cell_styles, helpers, actions class, expected exception, message)
    "source raises midway": (sheet(ROW), Raising, STYLES, None, list, OSError, "disk gone"),
    "style id beyond the list": (sheet('<row><c s="4"><v>1</v></c></row>'), io.BytesIO, STYLES, None, list,
                                 IndexError, None),
    "style id beyond a mapping": (sheet('<row><c s="9"><v>1</v></c></row>'), io.BytesIO, {9: STYLES[1]}, None,
                                  list, _vellum.NativeFallback, "style index"),
    "negative style id beyond": (sheet('<row><c s="-5"><v>1</v></c></row>'), io.BytesIO, STYLES, None, list,
                                 IndexError, None),
    "249 unknown data types": (sheet(f'<row r="1">{UNKNOWN}</row>'), io.BytesIO, STYLES, None, list,
                               _vellum.NativeFallback, "too many data types"),
    "helper raises": (sheet(ROW), io.BytesIO, STYLES, bad_helpers, list, ZeroDivisionError, "helper"),
    "actions append raises": (sheet('<row r="1"><c r="A1"><v>1</v></c></row>'), io.BytesIO, STYLES, None, BadList, ValueError, "no room"),
}


@pytest.mark.parametrize("name", CASES)
def test_loader_faults(name):
    doc, source, styles, helpers, actions_cls, exc, message = CASES[name]
    store, ws = _vellum.CellStore(), object()
    before = sys.getrefcount(ws), sys.getrefcount(styles)
    with pytest.raises(exc) as e:
        _vellum.bind_cells(source(doc), Parser(["a"]), ws, store, styles, Cell,
                           (helpers or make_helpers)(), actions_cls())
    if message is not None:
        assert str(e.value) == message
    del e
    store.clear()
    del store
    gc.collect()
    assert (sys.getrefcount(ws), sys.getrefcount(styles)) == before
    # the package's own reading, as a fallback would run it, ends the same
    # way for the package's own exceptions and reads the sheet otherwise
    cells, actions = {}, actions_cls()
    try:
        pure.bind_cells(source(doc), Parser(["a"]), ws, cells, styles, Cell, (helpers or make_helpers)(),
                        actions)
    except Exception as pure_exc:
        assert exc is not _vellum.NativeFallback and type(pure_exc) is exc
    else:
        assert exc is _vellum.NativeFallback and cells


def test_a_store_in_use_is_loaded_afresh():
    doc = sheet('<row r="2"><c r="B2"><v>7</v></c></row>')
    for setup in ("loaded", "dict mode"):
        store = _vellum.CellStore()
        _vellum.bind_cells(io.BytesIO(sheet('<row r="1"><c r="A1" s="2"><v>1</v></c></row>')), Parser(),
                           object(), store, STYLES, Cell, make_helpers(), [])
        if setup == "dict mode":
            store["A1"] = "x"
            assert store._in_dict_mode()
        ws = object()
        actions = []
        _vellum.bind_cells(io.BytesIO(doc), Parser(), ws, store, STYLES, Cell, make_helpers(), actions)
        assert not store._in_dict_mode() and list(store) == [(2, 2)]
        cell = store[2, 2]
        assert (cell.parent, cell.value, tuple(cell._style)) == (ws, 7, tuple(STYLES[0]))
        assert [a[0] for a in actions] == ["element"]
