"""The host records: Helpers from the helpers dict (lookup order, the two
name sets), Settings from the parser object (native and non-native epochs,
the optional attribute, integer sets), slot tables, and DT."""
import datetime
import enum
import sys

import pytest

import _vellum_testing as t
from vellum.reference import Cell, Parser, make_helpers
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

KEYS = ["int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601",
        "date_warning", "ArrayFormula", "DataTableFormula", "Translator", "TokenizerError",
        "TranslatorError", "text_content", "rich_inline", "validate_rpr", "text_dangerous",
        "rich_dangerous"]


def full_helpers():
    h = make_helpers()
    for k in ("Translator", "TokenizerError", "TranslatorError"):
        h.setdefault(k, object())
    return h


# --- Helpers ----------------------------------------------------------------

def test_helpers_hold_the_very_objects():
    h = full_helpers()
    h["text_dangerous"] = ["AlternateContent", "x\u00e9"]
    h["rich_dangerous"] = iter(["u"])
    rec = t.helpers_record(h)
    for k in KEYS[:15]:
        assert rec[k] is h[k], k
    assert rec["text_dangerous"] == [b"AlternateContent", "x\u00e9".encode()]
    assert rec["rich_dangerous"] == [b"u"]


@pytest.mark.parametrize("i", range(len(KEYS)))
def test_first_missing_key_in_lookup_order(i):
    h = full_helpers()
    for k in KEYS[i:]:
        del h[k]
    with pytest.raises(TypeError, match=f"^missing helper {KEYS[i]}$"):
        t.helpers_record(h)
    h = full_helpers()
    del h[KEYS[i]]
    with pytest.raises(TypeError, match=f"^missing helper {KEYS[i]}$"):
        t.helpers_record(h)


def test_helpers_dict_kinds():
    class Sub(dict):
        def __missing__(self, key):
            return object()

    rec = t.helpers_record(Sub(full_helpers()))
    assert rec["int"] is int
    short = Sub(full_helpers())
    del short["float"]
    with pytest.raises(TypeError, match="missing helper float"):
        t.helpers_record(short)  # a plain lookup: __missing__ is not consulted
    with pytest.raises(TypeError):
        t.helpers_record(list(full_helpers().items()))


def test_name_set_failures():
    h = full_helpers()
    h["text_dangerous"] = ["r", 3]
    with pytest.raises(TypeError):
        t.helpers_record(h)

    def broken():
        yield "a"
        raise KeyError("from the iterator")

    h = full_helpers()
    h["rich_dangerous"] = broken()
    with pytest.raises(KeyError, match="from the iterator"):
        t.helpers_record(h)
    h = full_helpers()
    h["rich_dangerous"] = 5
    with pytest.raises(TypeError):
        t.helpers_record(h)


# --- Settings ---------------------------------------------------------------

def test_settings_fields():
    strings = ["a", "b"]
    p = Parser(strings, data_only=1, rich_text=[], formula_and_value="yes",
               date_formats={14, True, 22}, timedelta_formats=[46, 46, False])
    p.shared_strings = strings
    s = t.settings_record(p)
    assert s["epoch"] == (693593, 0, True)
    assert s["epoch_obj"] is WINDOWS_EPOCH
    assert s["shared_strings"] is strings and s["shared_count"] == 2
    assert (s["data_only"], s["rich_text"], s["formula_and_value"]) == (True, False, True)
    assert s["date_formats"] == [14, 22]
    assert s["timedelta_formats"] == [46]


class TzSub(datetime.datetime):
    pass


@pytest.mark.parametrize("epoch, want", [
    (MAC_EPOCH, (695055, 0, False)),
    (datetime.datetime(1899, 12, 30), (693593, 0, True)),  # equal, not identical
    (datetime.datetime(1900, 1, 1, 12, 30, 15, 500), (693595, 45015000500, False)),
    (TzSub(1899, 12, 30), None),
    (datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc), None),
    (datetime.date(1899, 12, 30), None),
    ("1899-12-30", None),
])
def test_settings_epochs(epoch, want):
    s = t.settings_record(Parser(epoch=epoch))
    assert s["epoch"] == want
    assert s["epoch_obj"] is epoch


def test_shared_string_count_only_for_exact_lists():
    class L(list):
        pass

    for seq in (("a",), L(["a"]), {"0": "a"}):
        p = Parser()
        p.shared_strings = seq
        s = t.settings_record(p)
        assert s["shared_count"] == 0 and s["shared_strings"] is seq


def test_optional_and_required_attributes():
    class NoFormulaValue:
        epoch = WINDOWS_EPOCH
        shared_strings = []
        data_only = rich_text = False
        date_formats = timedelta_formats = ()

    assert t.settings_record(NoFormulaValue())["formula_and_value"] is False

    class Raising(NoFormulaValue):
        @property
        def formula_and_value(self):
            raise RuntimeError("discarded")

    assert t.settings_record(Raising())["formula_and_value"] is False

    class NoDataOnly(NoFormulaValue):
        def __getattribute__(self, name):
            if name == "data_only":
                raise AttributeError(name)
            return super().__getattribute__(name)

    with pytest.raises(AttributeError):
        t.settings_record(NoDataOnly())


def test_attribute_reads_in_order():
    seen = []

    class Logged(Parser):
        def __getattribute__(self, name):
            seen.append(name)
            return super().__getattribute__(name)

    t.settings_record(Logged())
    assert seen == ["epoch", "formula_and_value", "shared_strings", "shared_strings",
                    "data_only", "rich_text", "epoch", "date_formats", "timedelta_formats"]


def test_integer_set_items():
    class Style(enum.IntEnum):
        DATE = 14

    class Index:
        def __index__(self):
            return 7

    p = Parser()
    p.date_formats = [Style.DATE, Index(), True, 1]
    assert t.settings_record(p)["date_formats"] == [1, 14]
    for bad, exc in ((14.0, TypeError), (2**70, OverflowError), ("14", TypeError)):
        p.date_formats = [bad]
        with pytest.raises(exc):
            t.settings_record(p)


def test_truth_value_errors_propagate():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        t.settings_record(Parser(data_only=Bad()))

    class BadEq(datetime.datetime):
        pass

    # a subclass is not native, so its comparison is never made
    assert t.settings_record(Parser(epoch=BadEq(2000, 1, 1)))["epoch"] is None


# --- SlotClass ----------------------------------------------------------------

ALL_SLOTS = Cell.__slots__


def test_slot_offsets_of_the_cell_class():
    offs = t.slot_offsets(Cell, ALL_SLOTS)
    assert len(set(offs)) == len(ALL_SLOTS)
    assert t.slot_offsets(type("Sub", (Cell,), {"__slots__": ()}), ALL_SLOTS) == offs


def test_slot_errors():
    with pytest.raises(TypeError, match="^value is not a slot$"):
        t.slot_offsets(Cell, ["row", "value"])
    with pytest.raises(AttributeError):
        t.slot_offsets(Cell, ["nothing"])
    # slice.start is a read-only member that may be unset (None), no slot of ours
    with pytest.raises(TypeError, match="^start has unexpected slot type$"):
        t.slot_offsets(slice, ["start"])
    # a slot descriptor borrowed from another class has that class's layout
    Borrowed = type("Borrowed", (), {"row": Cell.row})
    with pytest.raises(TypeError, match="^row is not a slot$"):
        t.slot_offsets(Borrowed, ["row"])


def test_slot_fill_writes_members_without_init():
    ws, value = object(), ["v"]
    before = sys.getrefcount(value)
    c = t.slot_fill(Cell, ["parent", "row", "column", "_value", "data_type"],
                    (ws, 3, 2, value, "s"))
    assert type(c) is Cell
    assert (c.parent, c.row, c.column, c.value, c.data_type) == (ws, 3, 2, value, "s")
    assert c.coordinate == "B3"
    with pytest.raises(AttributeError):
        c._style
    assert sys.getrefcount(value) == before + 1
    del c
    assert sys.getrefcount(value) == before


# --- DT -----------------------------------------------------------------------

def test_dt_strings_are_interned_in_order():
    a, b = t.dt_strings(), t.dt_strings()
    assert a == ("n", "s", "f", "b", "e", "d", "inlineStr")
    for x, y in zip(a, b):
        assert x is y and sys.intern(x) is x
