"""The columnar job's units against their oracles: the text of a value in
a column of text against Python's str() (every float bit pattern, dates
of every year, times, durations of either sign), and a zip member read
through the engine's own inflate against zlib, with each fault of a
damaged member found (bad deflate data, a wrong CRC-32 or size, data cut
short), on the inflating thread and off it."""
import datetime
import struct
import zlib

import pytest
from hypothesis import given, strategies as st
from tests.needs import optional

_vellum_testing = optional("_vellum_testing")
text_form = _vellum_testing.text_form
inflate_member = _vellum_testing.inflate_member

EPOCH = datetime.datetime(1970, 1, 1)
US = datetime.timedelta(microseconds=1)


@given(st.integers(0, 2**64 - 1))
def test_float_text_is_repr_for_every_bit_pattern(bits):
    x = struct.unpack("<d", struct.pack("<Q", bits))[0]
    assert text_form("float", x) == str(x)


@given(st.floats() | st.sampled_from([1e16, 1e15, 0.0001, 0.00001, 1e22, -0.0, 123456789012345678.0]))
def test_float_text_is_repr(x):
    assert text_form("float", x) == str(x)


@given(st.integers(-2**63, 2**63 - 1))
def test_int_text(n):
    assert text_form("int", n) == str(n)


@given(st.datetimes())
def test_datetime_text(d):
    assert text_form("datetime", (d - EPOCH) // US) == str(d)


@given(st.times())
def test_time_text(t):
    us = ((t.hour * 60 + t.minute) * 60 + t.second) * 1_000_000 + t.microsecond
    assert text_form("time", us) == str(t)


@given(st.timedeltas(min_value=-datetime.timedelta(days=10**8), max_value=datetime.timedelta(days=10**8)))
def test_duration_text(d):
    assert text_form("duration", d // US) == str(d)


def deflated(data, level=6):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


BIG = bytes(range(256)) * 4096 + b"<row/>" * 100_000  # past the size that gets a thread


@given(st.binary(max_size=3000), st.integers(1, 200), st.sampled_from([True, False]),
       st.sampled_from([0, 1, 5, 4096, 70_000]), st.booleans(), st.sampled_from([0, 1, 2]))
def test_member_reads_as_zlib_inflates(piece, times, deflate, keep, big, fed):
    # the reader's live bytes (a token cut by a block's end) travel with it
    # whether it takes the inflating thread's block as its buffer or copies,
    # the thread the source's own, the caller's or none
    data = piece * times + (BIG if big else b"")
    raw = deflated(data, 1) if deflate else data
    assert inflate_member(raw, len(data), zlib.crc32(data), deflate, keep, fed) == data


@pytest.mark.parametrize("data, fed", [(b"<c><v>1</v></c>" * 50, 0), (BIG, 0), (BIG, 1), (BIG, 2)],
                         ids=["small", "threaded", "fed", "unfed"])
def test_member_faults_are_found(data, fed):
    # a member ends where zipfile ends it (the stream's end, its compressed
    # size used up, its declared size given), its CRC-32 then deciding
    raw, crc = deflated(data), zlib.crc32(data)
    assert inflate_member(raw, len(data), crc, True, 0, fed) == data
    assert inflate_member(raw, len(data) + 1, crc, True, 0, fed) == data
    faults = {
        "zip member: bad CRC-32": [(raw, len(data), crc ^ 1, True), (raw, len(data) - 1, crc, True),
                                   (raw[: len(raw) // 2], len(data), crc, True)],
        "zip member: bad deflate data": [(b"\xff" * 64 + raw, len(data), crc, True)],
    }
    for message, cases in faults.items():
        for args in cases:
            with pytest.raises(ValueError, match=message):
                inflate_member(*args, 0, fed)
    with pytest.raises(ValueError, match="bad CRC-32"):
        inflate_member(data, len(data), crc ^ 1, False)
