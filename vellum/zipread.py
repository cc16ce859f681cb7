"""Reading the members of a workbook's zip archive, inflated by ISA-L when
it is installed.

Inflating the sheet part is about half the time of streaming a sheet, and
ISA-L's inflate (the `isal` package, `isal.isal_zlib`) runs at about three
times zlib's speed, so the package reads members itself: `ZipFile` still
reads the central directory (names, sizes, CRCs, zip64), and `open_member`
reads a member's local header and inflates its raw deflate stream from the
archive in pieces, so that memory stays bounded whatever the member's size.
The CRC-32 and the size are checked at the end, as zipfile checks them.

Without the library, members are read by `ZipFile.open` itself. The
environment variable ``VELLUM_ZIP`` picks the reader: ``isal`` (the
default when it is installed), ``zlib`` (this reader over the standard
library's zlib, slower than zipfile and kept for tests) or ``zipfile``;
`BACKEND` holds the choice.
"""
from __future__ import annotations

import contextlib
import io
import os
import struct
import warnings
import zipfile
import zlib

try:
    from isal import isal_zlib
except ImportError:  # the package is optional: zipfile reads members then
    isal_zlib = None

LIBRARIES = {"zlib": zlib}
if isal_zlib is not None:
    LIBRARIES["isal"] = isal_zlib


def _backend():
    wanted = os.environ.get("VELLUM_ZIP", "")
    if wanted in LIBRARIES or wanted == "zipfile":
        return wanted
    return "isal" if isal_zlib is not None else "zipfile"


BACKEND = _backend()

# The least a step of reading takes from the archive and inflates, as
# zipfile's own reader (ZipExtFile.MIN_READ_SIZE).
MIN_READ = 4096
# Compressed bytes handed to the inflater at a time (see MemberReader).
IN_CHUNK = 1 << 14
LOCAL_HEADER = struct.Struct("<4sHHHHHIIIHH")
LOCAL_MAGIC = b"PK\x03\x04"
STORED, DEFLATED = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
# Flag bits of members left to zipfile: encrypted (0x01), compressed patched
# data (0x20), strong encryption (0x40).
ZIPFILE_FLAGS = 0x61
# Methods zipfile reads that no workbook writer uses: left to it.
ZIPFILE_ONLY = {zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA, getattr(zipfile, "ZIP_ZSTANDARD", zipfile.ZIP_LZMA)}


class MemberError(zipfile.BadZipFile):
    """A member that cannot be read: damaged, truncated or of another size
    than the archive declares."""


def open_member(archive: zipfile.ZipFile, info: zipfile.ZipInfo | str,
                path: str | os.PathLike[str] | None = None) -> io.RawIOBase:
    """A binary file reading one member of `archive`, uncompressed. With a
    `path` (the archive's file) the member gets a file handle of its own, so
    that it can still be read after the archive is closed, as with zipfile;
    without one it shares the archive's file object, seeking before each
    read. Members neither stored nor deflated, encrypted or of patched
    data, are left to zipfile."""
    if not isinstance(info, zipfile.ZipInfo):
        info = archive.getinfo(info)
    method = info.compress_type
    if method not in (STORED, DEFLATED) and method not in ZIPFILE_ONLY:
        raise MemberError(f"{info.filename}: compression method {method} "
                          f"({zipfile.compressor_names.get(method, 'unknown')}) is not supported")
    library = LIBRARIES.get(BACKEND)
    if library is None or info.flag_bits & ZIPFILE_FLAGS or method not in (STORED, DEFLATED):
        return archive.open(info)
    if archive.fp is None:
        raise ValueError("I/O operation on a closed archive")
    own = path is not None
    f = open(path, "rb") if own else archive.fp
    # A shared file is seeked before each read: other members, read by this
    # reader or by zipfile, in other threads too, take the archive's lock
    # around their seek and read, as zipfile's own members do.
    lock = contextlib.nullcontext() if own else archive._lock
    try:
        with lock:
            start = data_offset(f, info, archive.metadata_encoding)
    except BaseException:
        if own:
            f.close()
        raise
    return MemberReader(f, own, info, start, library, lock)


def raw_member(archive: zipfile.ZipFile, info: zipfile.ZipInfo | str,
               path: str | os.PathLike[str] | None = None) -> tuple | None:
    """Where a member's data lies, for a reader that inflates it itself
    (the engine's columnar job): ``(where, offset, compressed size, size,
    CRC-32, method)``, `where` being the archive's `path`, or the bytes
    holding the data (the buffer of an `io.BytesIO` archive, else the
    member's compressed bytes read into memory). The local header is
    checked as `open_member` checks it. None for a member only zipfile reads
    (encrypted, patched data, a method other than stored or deflated)."""
    if not isinstance(info, zipfile.ZipInfo):
        info = archive.getinfo(info)
    if info.flag_bits & ZIPFILE_FLAGS or info.compress_type not in (STORED, DEFLATED):
        return None
    if archive.fp is None:
        raise ValueError("I/O operation on a closed archive")
    f = archive.fp
    with archive._lock:
        start = data_offset(f, info, archive.metadata_encoding)
        if path is not None:
            where = os.fspath(path)
        elif isinstance(f, io.BytesIO):
            where = f.getbuffer()
        else:
            f.seek(start)
            where = f.read(info.compress_size)
            start = 0
    return where, start, info.compress_size, info.file_size, info.CRC, info.compress_type


def data_offset(f, info, encoding=None):
    """Where the member's data starts, after its local header, checked as
    `ZipFile.open` checks it: the header must name the member, and the data
    must end before the next member's header starts. Entries that overlap
    are the trick of zip bombs that reuse one deflate stream many times;
    refusing them keeps what a damaged archive gives the same whichever
    reader inflates it."""
    f.seek(info.header_offset)
    head = f.read(LOCAL_HEADER.size)
    if len(head) < LOCAL_HEADER.size:
        raise MemberError(f"{info.filename}: truncated local header")
    fields = LOCAL_HEADER.unpack(head)
    if fields[0] != LOCAL_MAGIC:
        raise MemberError(f"{info.filename}: bad magic number of the local header")
    flags, name_len, extra_len = fields[3], fields[9], fields[10]
    name = f.read(name_len)
    if name.decode("utf-8" if flags & 0x800 else encoding or "cp437") != info.orig_filename:
        raise MemberError(f"{info.filename}: the local header names another member ({name!r})")
    start = info.header_offset + LOCAL_HEADER.size + name_len + extra_len
    # Where the next member's header or the central directory starts, as
    # zipfile worked it out when it read the directory.
    end = getattr(info, "_end_offset", None)
    if end is not None and start + info.compress_size > end:
        message = f"Overlapped entries: {info.orig_filename!r} (possible zip bomb)"
        if end != info.header_offset:
            raise MemberError(message)
        # Two directory entries for one header: zipfile warns and reads it.
        warnings.warn(message, skip_file_prefixes=(os.path.dirname(__file__),))
    return start


class MemberReader(io.RawIOBase):
    """One member inflated (or copied, when stored) from the archive, `read`
    and `readinto` giving at most the size asked for.

    A damaged member reads exactly as `ZipFile.open` reads it, so that what
    a workbook gives never depends on which reader is installed: a read
    gathers what it asks for step by step as zipfile's does (each step
    inflating at least `MIN_READ` bytes), nothing past the declared size is
    given, the member ends where its deflate stream ends or, when the
    declared compressed size runs out first, with what the inflater still
    holds; and the CRC-32 of what was given is checked against the central
    directory's at the end. Whatever comes out has the CRC the archive
    declares.

    Where zipfile hands a step's whole input to the inflater at once, this
    reader feeds the same bytes in pieces of at most `IN_CHUNK` until the
    step's output is full or its input used up (`_owed` counts the bytes
    zipfile would have read by now but that are still in the archive):
    the inflater then stops at the very same byte, while what it leaves of
    its input, which it copies on every call, stays small."""

    def __init__(self, f, own, info, start, library, lock):
        self._f, self._own, self._info, self._lib, self._lock = f, own, info, library, lock
        self._next, self._left = start, info.compress_size
        self._inflate = library.decompressobj(-15) if info.compress_type == DEFLATED else None
        self._owed = 0
        self._pending = b""  # inflated by the last step beyond what its read asked for
        self._crc, self._pos, self._done = 0, 0, False

    def readable(self):
        return True

    def tell(self):
        return self._pos - len(self._pending)

    def read(self, n=-1):
        if n is None or n < 0:
            return b"".join(iter(lambda: self.read(1 << 20), b""))
        out = [self._pending[:n]]
        self._pending = self._pending[n:]
        got = len(out[0])
        while got < n and not self._done:
            data = self._step(n - got)
            if len(data) > n - got:
                self._pending = data[n - got:]
                data = data[:n - got]
            out.append(data)
            got += len(data)
        return out[-1] if len(out) == 2 and not out[0] else b"".join(out)

    def _step(self, n):
        """One step of zipfile's reading: up to max(n, MIN_READ) bytes."""
        if self._inflate is None:
            data = self._raw(min(max(n, MIN_READ), self._left))
            end = not self._left
        else:
            data, end = self._inflated(n)
        data = data[:self._info.file_size - self._pos]
        self._pos += len(data)
        self._crc = self._lib.crc32(data, self._crc)
        if end or self._pos >= self._info.file_size:
            self._done = True
            if self._crc != self._info.CRC:
                raise self._error("bad CRC-32: its data is damaged")
        return data

    def _inflated(self, n):
        """(output, ended) of one step on a deflated member."""
        inflate = self._inflate
        held = len(inflate.unconsumed_tail) + self._owed
        if n > held:  # zipfile reads what the step lacks, at least MIN_READ
            self._owed += min(max(n - held, MIN_READ), self._left - self._owed)
        want, got, out = max(n, MIN_READ), 0, []
        try:
            while got < want and not inflate.eof:
                data = inflate.unconsumed_tail
                if not data:
                    if not self._owed:
                        break
                    data = self._raw(min(IN_CHUNK, self._owed))
                    self._owed -= len(data)
                piece = inflate.decompress(data, want - got)
                out.append(piece)
                got += len(piece)
            # the stream's end, or the declared compressed size used up
            # first: the member ends with what the inflater holds
            end = inflate.eof or not self._left and not inflate.unconsumed_tail
            if end:
                out.append(inflate.flush())
        except self._lib.error as e:
            raise self._error(f"bad deflate data ({e})") from None
        return out[0] if len(out) == 1 else b"".join(out), end

    def _raw(self, n):
        """The next `n` bytes of the member's data in the archive."""
        if n <= 0:
            return b""
        f = self._f
        with self._lock:
            if f.closed:
                raise ValueError("I/O operation on a closed archive")
            f.seek(self._next)
            data = f.read(n)
        self._next += len(data)
        self._left -= len(data)
        if not data:
            raise self._error("truncated member: the archive ends inside it")
        return data

    def _error(self, what):
        return MemberError(f"{self._info.filename}: {what}")

    def readinto(self, b):
        data = self.read(len(b))
        b[:len(data)] = data
        return len(data)

    def close(self):
        if self._own and not self._f.closed:
            self._f.close()
        super().close()
