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

# Compressed bytes read from the archive at a time. Each read is inflated in
# pieces of the size asked for, and what a piece leaves of the input is
# copied once more, so a read near the size of one piece's input keeps the
# copies small.
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
            start = _data_offset(f, info, archive.metadata_encoding)
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
        start = _data_offset(f, info, archive.metadata_encoding)
        if path is not None:
            where = os.fspath(path)
        elif isinstance(f, io.BytesIO):
            where = f.getbuffer()
        else:
            f.seek(start)
            where = f.read(info.compress_size)
            start = 0
    return where, start, info.compress_size, info.file_size, info.CRC, info.compress_type


def _data_offset(f, info, encoding=None):
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
    and `readinto` giving at most the size asked for. The data's CRC-32 and
    size are checked against the central directory when its end is read; a
    member that produces more than its declared size fails at once."""

    def __init__(self, f, own, info, start, library, lock):
        self._f, self._own, self._info, self._lib, self._lock = f, own, info, library, lock
        self._next, self._left = start, info.compress_size
        self._inflate = library.decompressobj(-15) if info.compress_type == DEFLATED else None
        self._tail = b""
        self._crc, self._pos, self._done = 0, 0, False

    def readable(self):
        return True

    def tell(self):
        return self._pos

    def read(self, n=-1):
        if n is None or n < 0:
            return b"".join(iter(lambda: self.read(1 << 20), b""))
        if self._done or n == 0:
            return b""
        if self._inflate is None:
            out = self._raw(min(n, self._left))
            if len(out) < min(n, self._left):
                raise self._error("truncated member: the archive ends inside it")
        else:
            out = self._inflated(n)
        if out:
            self._crc = self._lib.crc32(out, self._crc)
            self._pos += len(out)
            if self._pos > self._info.file_size:
                raise self._error(f"more data than its declared size ({self._info.file_size} bytes)")
        if not out or self._inflate is None and not self._left:
            self._finish()
        return out

    def _inflated(self, n):
        d = self._inflate
        while not d.eof:
            data = self._tail or self._raw(min(IN_CHUNK, self._left))
            try:
                out = d.decompress(data, n)
            except self._lib.error as e:
                raise self._error(f"bad deflate data ({e})") from None
            self._tail = d.unconsumed_tail
            if out or d.eof:
                return out
            if not data:
                raise self._error("truncated member: its deflate stream ends early")
        return b""

    def _raw(self, n):
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

    def _finish(self):
        self._done = True
        info = self._info
        if self._pos != info.file_size:
            raise self._error(f"{self._pos} bytes, not {info.file_size} as the archive declares")
        if self._crc != info.CRC:
            raise self._error("bad CRC-32: its data is damaged")

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
