"""Serial dates: the native conversions give exactly what the reference
from_excel gives under the Windows, the 1904 and arbitrary epochs, and
decline exactly where it raises."""
import datetime

import pytest
from hypothesis import example, given, strategies as st

import _vellum_testing as t
from vellum.reference.values import from_excel
from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH


def fields(epoch):
    return (epoch.year, epoch.month, epoch.day, epoch.hour, epoch.minute, epoch.second,
            epoch.microsecond, epoch == WINDOWS_EPOCH)


def expected(value, epoch):
    try:
        r = from_excel(value, epoch)
    except (OverflowError, ValueError):
        return None
    return type(r), r


def got(r):
    return None if r is None else (type(r), r)


def native(value, epoch):
    conv = t.from_excel_float if isinstance(value, float) else t.from_excel_int
    return got(conv(fields(epoch), value))


EPOCHS = st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH]) | st.datetimes()
# Serial 9999-12-31 is 2,958,465 from the Windows epoch; 0001-01-01 is -693,593.
INT_SERIALS = (st.integers(-70, 70) | st.integers(-2**63, 2**63 - 1)
               | st.integers(-999_999_999 - 3, -999_999_999 + 3)
               | st.integers(999_999_999 - 3, 999_999_999 + 3)
               | st.integers(2_958_460, 2_958_470) | st.integers(-693_600, -693_585)
               | st.integers(1_000_000, 4_000_000))
# Fractions just below a whole day round up to 86,400,000 ms.
CARRY = st.builds(lambda n, e: n + 1 - e, st.integers(-70, 70),
                  st.floats(1e-13, 5.7e-12))
FLOAT_SERIALS = (st.floats() | st.floats(-2, 62) | CARRY | st.floats(-1e10, 1e10)
                 | st.floats(2_958_460, 2_958_470) | st.floats(-693_600, -693_585))


def test_day_numbers_of_epochs():
    assert t.epoch_fields(fields(WINDOWS_EPOCH)) == (693593, 0, True)
    assert t.epoch_fields(fields(MAC_EPOCH)) == (695055, 0, False)
    assert t.epoch_fields((9999, 12, 31, 23, 59, 59, 999999, False)) == (
        3652058, 86_400_000_000 - 1, False)


@given(st.dates(), st.times())
def test_day_number_is_the_ordinal(d, tm):
    e = datetime.datetime.combine(d, tm)
    assert t.epoch_fields(fields(e))[:2] == (
        d.toordinal() - 1,
        ((tm.hour * 60 + tm.minute) * 60 + tm.second) * 1_000_000 + tm.microsecond)


@pytest.mark.parametrize("epoch", [WINDOWS_EPOCH, MAC_EPOCH])
def test_every_small_serial(epoch):
    for n in range(-70, 71):
        assert native(n, epoch) == expected(n, epoch), n
        assert native(float(n), epoch) == expected(float(n), epoch), n
        assert native(n + 0.5, epoch) == expected(n + 0.5, epoch), n


@given(EPOCHS, INT_SERIALS)
def test_integer_serials(epoch, n):
    assert native(n, epoch) == expected(n, epoch)


@given(EPOCHS, FLOAT_SERIALS)
@example(WINDOWS_EPOCH, -0.0)
@example(WINDOWS_EPOCH, -1e-300)
@example(WINDOWS_EPOCH, 0.9999999999)
@example(WINDOWS_EPOCH, 59.99999999999)
@example(MAC_EPOCH, -5e-324)
def test_float_serials(epoch, x):
    assert native(x, epoch) == expected(x, epoch)


@given(EPOCHS, st.integers(-2**63, 2**63 - 1) | st.integers(-4_000_000, 4_000_000),
       st.integers(0, 86_400_000) | st.integers(-10**12, 10**12))
def test_finish_is_epoch_plus_days_plus_ms(epoch, days, ms):
    try:
        want = epoch + datetime.timedelta(days=days) + datetime.timedelta(milliseconds=ms)
    except OverflowError:
        want = None
    assert t.finish(fields(epoch), days, ms) == want


def test_finish_extremes_of_int64():
    e = fields(WINDOWS_EPOCH)
    for days, ms in [(2**63 - 1, 0), (-2**63, 0), (0, 2**63 - 1), (0, -2**63)]:
        assert t.finish(e, days, ms) is None
