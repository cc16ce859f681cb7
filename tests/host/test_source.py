"""The byte source: read(65536) by vectorcall, bytes only, end of input on
b'' alone, and the compaction rule of the input buffer."""
import pytest

from _vellum_testing import SourceBuffer


class Chunks:
    """A file-like object serving prepared results, recording its calls."""

    def __init__(self, *results):
        self.results = list(results)
        self.calls = []

    def read(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        r = self.results.pop(0) if self.results else b""
        if isinstance(r, BaseException):
            raise r
        return r


def drain(buf):
    while buf.more():
        pass
    return buf.data()


def test_read_call_shape_and_short_reads():
    f = Chunks(b"a", b"bc", b"d" * 10)
    b = SourceBuffer(f)
    assert drain(b) == b"abc" + b"d" * 10
    assert all(c == ((65536,), {}) for c in f.calls)
    assert len(f.calls) == 4  # three chunks, then b''


def test_no_read_after_end_of_input():
    f = Chunks(b"x")
    b = SourceBuffer(f)
    assert b.more() and not b.more()
    n = len(f.calls)
    assert not b.more() and not b.more()
    assert len(f.calls) == n


def test_bytes_subclass_accepted():
    class B(bytes):
        pass
    assert drain(SourceBuffer(Chunks(B(b"<a/>")))) == b"<a/>"


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("value, name", [
    ("<a/>", "str"),
    (bytearray(b"<a/>"), "bytearray"),
    (memoryview(b"<a/>"), "memoryview"),
    (None, "NoneType"),
    (Outer.Inner(), "Outer.Inner"),
])
def test_non_bytes_refused_with_exact_message(value, name):
    b = SourceBuffer(Chunks(value))
    with pytest.raises(TypeError) as e:
        b.more()
    assert str(e.value) == f"'{name}' object is not an instance of 'bytes'"
    assert type(e.value) is TypeError


def test_exception_from_read_is_the_same_object():
    err = OSError(5, "disk on fire")
    b = SourceBuffer(Chunks(b"<a>", err))
    assert b.more()
    with pytest.raises(OSError) as e:
        b.more()
    assert e.value is err
    assert e.value.__traceback__ is not None


def test_missing_read_method_raises_attribute_error():
    with pytest.raises(AttributeError):
        SourceBuffer(object()).more()


K = 65536


def test_compaction_moves_consumed_prefix_and_offsets():
    data = bytes(range(256)) * 1024  # 256 KiB
    f = Chunks(*[data[i:i + K] for i in range(0, len(data), K)])
    b = SourceBuffer(f)
    b.more(); b.more()                      # 128 KiB buffered
    b.consume(K)                            # exactly half consumed, 65536 > 65535
    b.set_tags(K - 10, K + 5)
    b.more()                                # compacts before appending
    s = b.state()
    assert s["dropped"] == K and s["pos"] == 0
    assert s["tag_start"] == 0 and s["tag_end"] == 5   # saturating at 0
    assert s["size"] == 2 * K
    assert b.data() == data[K:3 * K]


def test_nothing_moves_below_the_threshold():
    data = b"x" * (4 * K)
    b = SourceBuffer(Chunks(*[data[i:i + K] for i in range(0, len(data), K)]))
    b.more()
    b.consume(K - 1)                        # 65535 consumed: not more than 65535
    b.more()
    assert b.state()["dropped"] == 0 and b.state()["size"] == 2 * K
    b.consume(2)                            # 65537 of 131072: at least half
    b.more()
    assert b.state()["dropped"] == K + 1


def test_nothing_moves_when_consumed_is_less_than_half():
    data = b"y" * (6 * K)
    b = SourceBuffer(Chunks(*[data[i:i + K] for i in range(0, len(data), K)]))
    for _ in range(3):
        b.more()
    b.consume(K + 100)                      # 65636 of 196608 bytes: under half
    b.more()
    assert b.state()["dropped"] == 0


def test_capture_keeps_its_bytes():
    data = bytes(i % 251 for i in range(8 * K))
    b = SourceBuffer(Chunks(*[data[i:i + K] for i in range(0, len(data), K)]))
    b.more()
    b.consume(100)
    b.begin_capture(100)
    for _ in range(5):
        b.consume(b.state()["size"] - b.state()["pos"])
        b.more()
    s = b.state()
    assert s["dropped"] == 0 and s["capture_start"] == 100
    b.consume(s["size"] - s["pos"])
    assert b.end_capture() == data[100:6 * K]
    b.more()                                # capture over: the prefix may go now
    assert b.state()["dropped"] == 6 * K and b.state()["pos"] == 0


def test_capture_start_moves_with_compaction():
    data = b"z" * (4 * K)
    b = SourceBuffer(Chunks(*[data[i:i + K] for i in range(0, len(data), K)]))
    b.more(); b.more()
    b.consume(K + 50)
    b.begin_capture(K + 10)                 # capture started before the read position
    b.more()
    s = b.state()
    assert s["dropped"] == K + 10 and s["capture_start"] == 0 and s["pos"] == 40
