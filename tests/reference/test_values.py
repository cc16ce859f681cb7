"""The reference value helpers on hand-checked cases: they are the oracle
the engine is compared with, so each expectation here is worked out with
plain datetime arithmetic or by hand."""
import datetime as dt

import pytest

from vellum.reference import values as v
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

W, DAY = WINDOWS_EPOCH, dt.timedelta(days=1)


@pytest.mark.parametrize("serial, want", [
    (1, W + 2 * DAY),                           # 1900-01-01: adjusted to 2 days
    (59, dt.datetime(1900, 2, 28)),
    (60, dt.datetime(1900, 2, 28)),             # the phantom 1900-02-29, not adjusted
    (61, dt.datetime(1900, 3, 1)),
    (0, dt.time(0, 0)), (0.0, dt.time(0, 0)), (-0.0, dt.time(0, 0)),
    (0.5, dt.time(12, 0)),
    (0.75 + 1 / 86400, dt.time(18, 0, 1)),
    (1.5, W + 2 * DAY + dt.timedelta(hours=12)),
    (-0.25, W - DAY + dt.timedelta(hours=18)),  # divmod gives day -1, fraction 0.75
    (0.9999999999, W + 2 * DAY),                # 86,400,000 ms: carried into the next day
    (2958465, dt.datetime(9999, 12, 31)),
    (-693593, dt.datetime(1, 1, 1)),
])
def test_from_excel_windows(serial, want):
    got = v.from_excel(serial, W)
    assert type(got) is type(want) and got == want


def test_from_excel_1904_and_other_epochs():
    assert v.from_excel(1, MAC_EPOCH) == dt.datetime(1904, 1, 2)
    assert v.from_excel(59, MAC_EPOCH) == MAC_EPOCH + 59 * DAY  # no leap-year rule
    noon = dt.datetime(2000, 1, 1, 12)
    assert v.from_excel(0.5, noon) == dt.time(12, 0)
    assert v.from_excel(1.5, noon) == dt.datetime(2000, 1, 3)


@pytest.mark.parametrize("serial", [3_000_000, 1e10, -693594, 10**30, 2958466])
def test_from_excel_out_of_range_raises_overflow(serial):
    with pytest.raises(OverflowError):
        v.from_excel(serial, W)


@pytest.mark.parametrize("serial", [float("nan"), float("inf"), float("-inf")])
def test_from_excel_non_finite(serial):
    with pytest.raises((ValueError, OverflowError)):
        v.from_excel(serial, W)


def test_from_excel_durations_and_none():
    assert v.from_excel(1.5, W, timedelta=True) == dt.timedelta(days=1, hours=12)
    assert v.from_excel(30, W, timedelta=True) == dt.timedelta(days=30)
    assert v.from_excel(None, W) is None


@pytest.mark.parametrize("text, want", [
    ("A1", (1, 1)), ("$b$3", (3, 2)), ("xfd1048576", (1048576, 16384)), ("A01", (1, 1)),
    ("B$12", (12, 2)), ("A1048576", (1048576, 1)),
])
def test_coordinate_to_tuple(text, want):
    assert v.coordinate_to_tuple(text) == want


@pytest.mark.parametrize("text", ["A0", "AAAA1", "1A", "", " A1", "A1 ", "A", "A\u0661",
                                  "XFE1", "ZZZ1", "A1048577", "a00000001048577"])
def test_coordinate_to_tuple_refuses(text):
    with pytest.raises(ValueError):
        v.coordinate_to_tuple(text)


def test_row_index():
    assert [v.row_index(x) for x in ("4.0", "1e1", " 4", "+7", "007", "1048576")] == [4, 10, 4, 7, 7, 1048576]
    for bad in ("4.5", "", "x", "0", "-3", "0.0", "1048577", "1e7"):
        with pytest.raises(ValueError):
            v.row_index(bad)


def test_from_iso8601():
    assert v.from_ISO8601("2024-01-02") == dt.datetime(2024, 1, 2)
    assert v.from_ISO8601("2024-01-02T03:04:05.5Z") == dt.datetime(2024, 1, 2, 3, 4, 5, 500000)
    assert v.from_ISO8601("12:30:00") == dt.time(12, 30)
    with pytest.raises(ValueError):
        v.from_ISO8601("yesterday")


def test_formula_objects_and_warning():
    assert v.ArrayFormula(ref="A1:A3", text="=B1") == v.ArrayFormula("A1:A3", "=B1")
    table = v.DataTableFormula(ref="B2:C3", t="dataTable", r1="A1")
    assert (table.ref, table.r1, table.attrs["t"]) == ("B2:C3", "A1", "dataTable")
    with pytest.raises(AttributeError):
        table.r2
    assert "B7" in v.date_warning("B7", 1e10) and "1e10" not in v.date_warning(None, 3)
