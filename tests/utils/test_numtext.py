"""%.16g number text against Python's own '%.16g' formatting, the exact
number text the writers use against the package's, and the fast A1
coordinate path against the reference coordinate_to_tuple."""
import itertools
import os
import random
import struct

import pytest
from hypothesis import example, given, strategies as st

import _vellum_testing as t
from vellum.reference.values import coordinate_to_tuple
from vellum.reference.writer import float_text

BITS = st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0])
# Near-ties: 17 significant digits ending in 5 and exactly representable.
TIES = [1234567890123456.5, 0.5, 2.5e-5, 9007199254740993.0 - 1, 1.0000000000000002]


@pytest.mark.parametrize("x, text", [
    (0.1, "0.1"), (1 / 3, "0.3333333333333333"), (1e16, "1e+16"), (123456789.0, "123456789"),
    (1e-5, "1e-05"), (0.0001, "0.0001"), (-0.0, "-0"), (0.0, "0"), (2.5e-308, "2.5e-308"),
    (1.5e16, "1.5e+16"), (1.2345e100, "1.2345e+100"), (123456789012345.6, "123456789012345.6"),
    (5e-324, "4.940656458412465e-324"), (1.7976931348623157e308, "1.797693134862316e+308"),
    (9999999999999999.0, "1e+16"), (0.00001234, "1.234e-05"), (3.0, "3"), (-42.0, "-42"),
    (9007199254740991.0, "9007199254740991"), (9007199254740992.0, "9007199254740992"),
])
def test_table(x, text):
    assert t.format_g16(x) == text


WHOLE = st.integers(-2**54, 2**54).map(float)


@given(BITS | WHOLE | st.floats(allow_nan=False, allow_infinity=False))
@example(1234567890123456.5)
def test_random_doubles(x):
    if x == x and abs(x) != float("inf"):
        assert t.format_g16(x) == "%.16g" % x


def test_many_random_bit_patterns():
    """The soak run (HYPOTHESIS_PROFILE=soak, or VELLUM_SOAK=N for N doubles)
    checks millions; CI twenty thousand."""
    rng = random.Random(1604)
    soak = os.environ.get("VELLUM_SOAK", "")
    count = int(soak) if soak.isdigit() else 20000
    if os.environ.get("HYPOTHESIS_PROFILE") == "soak" and not soak.isdigit():
        count = 5_000_000
    for x in TIES:
        assert t.format_g16(x) == "%.16g" % x
    for _ in range(count):
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if x - x == 0:
            assert t.format_g16(x) == "%.16g" % x, x.hex()


@pytest.mark.parametrize("x, text", [
    (1.9104973077774101, "1.9104973077774101"), (0.1, "0.1"), (1 / 3, "0.3333333333333333"),
    (2 / 3, "0.6666666666666666"), (1e-5 / 3, "3.3333333333333337e-06"),
    (1.2345678901234568e16, "1.2345678901234568e+16"), (123456789012345.67, "123456789012345.67"),
    (5e-324, "4.940656458412465e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (-0.0, "-0"), (0.30000000000000004, "0.30000000000000004"), (1e23, "9.999999999999999e+22"),
])
def test_exact_table(x, text):
    assert t.format_exact(x) == text == float_text(x)


@given(BITS | WHOLE | st.floats(allow_nan=False, allow_infinity=False))
def test_exact_reads_back_and_keeps_every_g16_that_does(x):
    """The same bytes as %.16g wherever those read back as x; else the
    shortest text that does, the same as the package's."""
    if x == x and abs(x) != float("inf"):
        text = t.format_exact(x)
        assert float(text) == x and text == float_text(x)
        if float("%.16g" % x) == x:
            assert text == "%.16g" % x
        else:
            assert len(text.lstrip("-").split("e")[0].replace(".", "").strip("0")) <= 17


def test_non_finite_is_refused_by_the_glue():
    with pytest.raises(ValueError):
        t.format_g16(float("inf"))


def model(text):
    """The fast path's own rules, written out plainly."""
    letters = len(text) - len(text.lstrip("ABCDEFGHIJKLMNOPQRSTUVWXYZ"))
    digits = text[letters:]
    if not 1 <= letters <= 3 or not 1 <= len(digits) <= 9 or digits[0] == "0":
        return None
    if not all(c in "0123456789" for c in digits):
        return None
    col = 0
    for c in text[:letters]:
        col = col * 26 + ord(c) - 64
    if int(digits) > 1048576 or col > 16384:  # beyond the sheet: XFD1048576
        return None
    return int(digits), col


@pytest.mark.parametrize("text, want", [
    ("A1", (1, 1)), ("XFD1048576", (1048576, 16384)), ("XFE1", None), ("A1048577", None),
    ("ZZZ1", None), ("AA10", (10, 27)), ("A999999999", None),
    ("AAAA1", None), ("A0", None), ("a1", None), ("$A$1", None), ("A1234567890", None),
    ("", None), ("A", None), ("1", None), ("A01", None), (" A1", None), ("A1 ", None),
    ("A\u0661", None), ("A1\x00", None),
])
def test_coordinate_table(text, want):
    assert t.fast_coordinate(text) == want


def test_coordinates_over_a_small_alphabet():
    for n in range(1, 5):
        for chars in itertools.product("AZa$019 ", repeat=n):
            text = "".join(chars)
            got = t.fast_coordinate(text)
            assert got == model(text), text
            if got is not None:
                assert got == coordinate_to_tuple(text)


@given(st.from_regex(r"[A-Z]{1,3}[1-9][0-9]{0,8}", fullmatch=True) | st.text(st.characters(exclude_categories=["Cs"]), max_size=14))
def test_coordinates_agree_with_the_reference(text):
    got = t.fast_coordinate(text)
    assert got == model(text)
    if got is not None:
        assert got == coordinate_to_tuple(text)
