"""The package's reader of zip members against zipfile: every member of the
corpus byte for byte, generated archives of every shape the reader handles
at tiny read sizes, and damaged archives, each refused with its own
message."""
import concurrent.futures
import io
import pathlib
import random
import struct
import sys
import zipfile
import zlib

import pytest
import xlsxwriter
from hypothesis import given, strategies as st

from vellum import zipread
from vellum.workbook import Workbook, WorkbookError

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
READERS = [b for b in ("isal", "zlib") if b in zipread.LIBRARIES]
try:  # the engine's own inflate, through the test-only extension
    from _vellum_testing import inflate_member
    ENGINE = ["engine"]
except ImportError:
    ENGINE = []


def read_all(f, size):
    out = bytearray()
    while chunk := f.read(size):
        assert len(chunk) <= size
        out += chunk
    return bytes(out)


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
@pytest.mark.parametrize("backend", READERS)
def test_corpus_members_read_as_zipfile_reads_them(backend, monkeypatch):
    monkeypatch.setattr(zipread, "BACKEND", backend)
    read = 0
    for path in sorted(CORPUS.glob("*.xlsx")):
        try:
            archive = zipfile.ZipFile(path)
        except zipfile.BadZipFile:
            continue
        with archive:
            for info in archive.infolist():
                with zipread.open_member(archive, info, path) as f:
                    assert read_all(f, 65536) == archive.read(info), (path.name, info.filename)
                read += info.file_size
    assert read > 1 << 20


class Unseekable(io.RawIOBase):
    """A write-only stream: zipfile then follows each member with a data
    descriptor."""

    def __init__(self):
        self.buf = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.buf += b
        return len(b)


@given(payloads=st.lists(st.binary(max_size=3000) | st.text(max_size=2000).map(str.encode), min_size=1, max_size=4),
       method=st.sampled_from([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]),
       descriptor=st.booleans(), zip64=st.booleans(), size=st.sampled_from([1, 2, 3, 7, 4096, 65536]))
def test_generated_archives_at_tiny_read_sizes(payloads, method, descriptor, zip64, size):
    out = Unseekable() if descriptor else io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as z:
        for i, data in enumerate(payloads):
            with z.open(f"part{i}.xml", "w", force_zip64=zip64) as f:
                f.write(data * 5)
    data = bytes(out.buf) if descriptor else out.getvalue()
    archive = zipfile.ZipFile(io.BytesIO(data))
    for backend in READERS:
        zipread.BACKEND = backend
        try:
            for i, info in enumerate(archive.infolist()):
                assert bool(info.flag_bits & 0x8) == descriptor
                with zipread.open_member(archive, info) as f:
                    assert read_all(f, size) == payloads[i] * 5
                    assert f.tell() == info.file_size
        finally:
            zipread.BACKEND = zipread._backend()


@pytest.fixture(scope="module")
def book_bytes(tmp_path_factory):
    path = tmp_path_factory.mktemp("zip") / "book.xlsx"
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet("data")
    for r in range(2000):
        sheet.write_row(r, 0, [r, r * 0.5, f"text {r % 17}"])
    book.close()
    return path.read_bytes()


SHEET = b"xl/worksheets/sheet1.xml"


def patched(data, **fields):
    """The archive with fields of the sheet's local and central headers
    replaced: flags, method, crc, csize, usize (each header's own layout)."""
    data = bytearray(data)
    local = {"flags": (6, "<H"), "method": (8, "<H"), "crc": (14, "<I"), "csize": (18, "<I"), "usize": (22, "<I")}
    central = {"flags": (8, "<H"), "method": (10, "<H"), "crc": (16, "<I"), "csize": (20, "<I"),
               "usize": (24, "<I")}
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        name_len = struct.unpack_from("<H", data, at + 28)[0]
        if data[at + 46:at + 46 + name_len] == SHEET:
            head = struct.unpack_from("<I", data, at + 42)[0]
            for key, value in fields.items():
                struct.pack_into(central[key][1], data, at + central[key][0], value)
                struct.pack_into(local[key][1], data, head + local[key][0], value)
            return bytes(data)
        at = data.find(b"PK\x01\x02", at + 4)
    raise AssertionError("no sheet member")


def sheet_info(data):
    return zipfile.ZipFile(io.BytesIO(data)).getinfo(SHEET.decode())


def stored(data):
    """The archive rewritten with every member stored."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as zin, zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for info in zin.infolist():
            z.writestr(info.filename, zin.read(info))
    return out.getvalue()


DAMAGES = {
    "bad crc": (lambda d: patched(d, crc=sheet_info(d).CRC ^ 1), "bad CRC-32"),
    # zipfile gives no more than the declared size: the CRC then fails
    "size declared smaller": (lambda d: patched(d, usize=sheet_info(d).file_size - 1), "bad CRC-32"),
    "deflate stream cut short": (lambda d: patched(d, csize=sheet_info(d).compress_size // 2), "bad CRC-32"),
    "stored member past the end": (lambda d: patched(stored(d), csize=1 << 24, usize=1 << 24),
                                   "Overlapped entries"),
    # a zip bomb's trick: zipfile refuses data running into the next member
    "entries overlap": (lambda d: patched(d, csize=sheet_info(d).compress_size + 64), "Overlapped entries"),
    "compressed patched data": (lambda d: patched(d, flags=0x20), "flag bit 5"),
    "unsupported method": (lambda d: patched(d, method=9),
                           r"compression method 9 \(\w+\) is not supported"),
    "bad deflate data": (lambda d: d.replace(d[sheet_info(d).header_offset + 80:][:40], bytes(40)),
                         "bad deflate data|bad CRC-32|declared size|ends early"),
}


@pytest.mark.parametrize("damage", DAMAGES)
@pytest.mark.parametrize("backend", READERS + ["zipfile"])
@pytest.mark.parametrize("engine", [True, False])
def test_damaged_members_are_refused_clearly(book_bytes, damage, backend, engine, monkeypatch):
    monkeypatch.setattr(zipread, "BACKEND", backend)
    make, message = DAMAGES[damage]
    data = make(book_bytes)
    with pytest.raises(WorkbookError, match="part xl/worksheets/sheet1.xml is damaged") as e:
        with Workbook(io.BytesIO(data), engine=engine) as book:
            list(book.iter_rows())
    if backend != "zipfile" or damage in ("unsupported method", "entries overlap", "compressed patched data"):
        assert e.match(message)


def members(data, backend, size=65536):
    """Every member's bytes as one reader gives them, or "refused"; the
    reader "engine" is the engine's own inflate (the columnar job's), from
    where `raw_member` finds the data."""
    if backend == "engine":
        try:
            with zipfile.ZipFile(io.BytesIO(data)) as archive:
                out = {}
                for info in archive.infolist():
                    where, start, csize, usize, crc, method = zipread.raw_member(archive, info)
                    out[info.filename] = inflate_member(bytes(where[start:start + csize]), usize, crc,
                                                        method == zipfile.ZIP_DEFLATED)
                return out
        except Exception:  # noqa: BLE001
            return "refused"
    zipread.BACKEND = backend
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            out = {}
            for info in archive.infolist():
                with zipread.open_member(archive, info) as f:
                    out[info.filename] = read_all(f, size)
            return out
    except Exception:  # noqa: BLE001 (any refusal, each reader words its own)
        return "refused"
    finally:
        zipread.BACKEND = zipread._backend()


def bad_stream(data):
    """Whether a deflated member's data, inflated whole, is bad deflate data."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        for info in archive.infolist():
            if info.compress_type == zipfile.ZIP_DEFLATED:
                where, start, csize = zipread.raw_member(archive, info)[:3]
                try:
                    zlib.decompressobj(-15).decompress(bytes(where[start:start + csize]))
                except zlib.error:
                    return True
    return False


def mutations(data):
    """The archive with each header field of every member one off, bytes
    of its data flipped (first, middle, last, and at random), and cut
    short at random points."""
    rnd = random.Random(26)
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        head = struct.unpack_from("<I", data, at + 42)[0]
        for base, offsets in ((at, (16, 20, 24)), (head, (14, 18, 22))):
            for off in offsets:
                value = struct.unpack_from("<I", data, base + off)[0]
                for delta in (-1, 1, -64):
                    changed = bytearray(data)
                    struct.pack_into("<I", changed, base + off, (value + delta) % (1 << 32))
                    yield bytes(changed)
        name_len, extra_len = struct.unpack_from("<HH", data, head + 26)
        start = head + 30 + name_len + extra_len
        size = struct.unpack_from("<I", data, at + 20)[0]
        for k in {0, size // 2, size - 1, *(rnd.randrange(size) for _ in range(4))} if size else ():
            changed = bytearray(data)
            changed[start + k] ^= 1 << rnd.randrange(8)
            yield bytes(changed)
        at = data.find(b"PK\x01\x02", at + 4)
    for _ in range(8):
        yield data[:rnd.randrange(len(data))]


def test_damaged_archives_read_alike_whichever_reader_is_installed(book_bytes):
    """Whether isal is installed, or the engine inflates a member itself,
    must not decide what a workbook holds: on every damage each reader gives
    the very bytes zipfile gives, or all refuse (a declared compressed size one byte short, a declared size one
    byte long: the data, whose CRC holds, as zipfile reads it)."""
    small = io.BytesIO()
    with zipfile.ZipFile(small, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("a.xml", b"<a>" + b"hello world " * 3000 + b"</a>")
        z.writestr("b.xml", bytes(range(256)) * 40, compress_type=zipfile.ZIP_STORED)
        z.writestr("c.xml", b"")
    for data, sizes in ((small.getvalue(), (7, 4095, 65536)), (book_bytes, (65536,))):
        outcomes = {"refused": 0, "read": 0}
        for i, changed in enumerate(mutations(data)):
            size = sizes[i % len(sizes)]  # reads of any size step as zipfile's do
            want = members(changed, "zipfile", size)
            for backend in READERS:
                assert members(changed, backend, size) == want, (backend, size)
            if ENGINE:
                # the engine also refuses bad data in a deflate stream past
                # the declared size, which zipfile inflates only as far as
                # its read reaches (the package then reads the member)
                got = members(changed, "engine", size)
                assert got == want or (got == "refused" and bad_stream(changed)), size
            outcomes["refused" if want == "refused" else "read"] += 1
        assert outcomes["refused"] and outcomes["read"], outcomes


@pytest.mark.parametrize("backend", READERS + ["zipfile"])
def test_two_directory_entries_for_one_member_warn_as_zipfile_warns(backend, monkeypatch):
    monkeypatch.setattr(zipread, "BACKEND", backend)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("a.xml", b"<a/>" * 100)
    data = out.getvalue()
    at = data.find(b"PK\x01\x02")
    entry = data[at:data.find(b"PK\x05\x06")]
    count, size = struct.unpack_from("<HHI", data, len(data) - 14)[1:]
    eocd = bytearray(data[at + len(entry):])
    struct.pack_into("<HHI", eocd, 8, count + 1, count + 1, size + len(entry))
    archive = zipfile.ZipFile(io.BytesIO(data[:at] + entry * 2 + bytes(eocd)))
    with pytest.warns(UserWarning, match="Overlapped entries: 'a.xml'") as seen:
        for info in archive.infolist():
            with zipread.open_member(archive, info) as f:
                assert read_all(f, 7) == b"<a/>" * 100
    assert len(seen) == 1


def test_zip64_members_read_and_damaged_zip64_records_are_refused(book_bytes):
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(book_bytes)) as zin, zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for info in zin.infolist():
            with z.open(info.filename, "w", force_zip64=True) as f:
                f.write(zin.read(info))
    data = out.getvalue()
    rows = [list(Workbook(io.BytesIO(d)).iter_rows()) for d in (book_bytes, data)]
    assert rows[0] == rows[1] and len(rows[0]) == 2000
    # the member's zip64 field in its local header claims sizes it lacks
    cut = patched(data, csize=0xFFFFFFFF, usize=0xFFFFFFFF)
    with pytest.raises(WorkbookError, match="(not an xlsx workbook|is damaged).*(declares|Overlapped entries)"):
        with Workbook(io.BytesIO(cut)) as book:
            list(book.iter_rows())


def test_streams_outlive_their_workbook_and_share_no_position(book_bytes, tmp_path):
    path = tmp_path / "book.xlsx"
    path.write_bytes(book_bytes)
    for source in (path, io.BytesIO(book_bytes)):
        book = Workbook(source)
        a, b = book.iter_rows(), book.iter_rows()
        first = [next(a), next(b), next(a)]
        book.close()
        if source is path:  # its own file handle, as zipfile's members keep
            assert len(list(a)) == 1998
        assert first[0] == first[1] == (0, 0, "text 0")


@pytest.mark.parametrize("backend", READERS)
def test_members_of_one_file_object_read_in_threads_at_once(backend, monkeypatch):
    """Members of an archive opened from a file object share it, seeking
    before each read: the seek and the read must not be split by a thread
    switch, or a member gets another's bytes (which the CRC-32 catches only
    once the rows read from them are handed out)."""
    monkeypatch.setattr(zipread, "BACKEND", backend)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    payloads = {"a": random.Random(1).randbytes(150_000), "b": bytes(range(256)) * 600}
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, data in payloads.items():
            z.writestr(name, data)
    archive = zipfile.ZipFile(io.BytesIO(out.getvalue()))

    def read_often(name):
        for _ in range(100):
            with zipread.open_member(archive, name) as f:
                assert read_all(f, 97) == payloads[name]

    try:
        with concurrent.futures.ThreadPoolExecutor(len(payloads)) as pool:
            list(pool.map(read_often, payloads))
    finally:
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("level", [None, 1, 2, 6])
def test_saved_members_deflated_by_the_picked_compressor_read_back(book_bytes, level):
    from vellum.save import _ZipWriter, deflater
    if level in (1, 2) and zipread.isal_zlib is not None:
        assert type(deflater(level)).__module__.startswith("isal")
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(book_bytes)) as zin, \
            _ZipWriter(out, "w", zipfile.ZIP_DEFLATED, compresslevel=level) as z:
        for info in zin.infolist():
            z.writestr(info.filename, zin.read(info))
    with zipfile.ZipFile(io.BytesIO(book_bytes)) as zin, zipfile.ZipFile(out) as z:
        assert [z.read(n) for n in z.namelist()] == [zin.read(n) for n in zin.namelist()]
