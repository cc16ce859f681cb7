"""A workbook's zip archive as parts: what may be opened as one, the OLE
files Excel also writes (encrypted and old binary workbooks) told apart,
parts found by name whatever their case, read within bounds, the
relationships between them, and members as they are stored, for a save to
copy.

The members themselves are inflated by `vellum.zipread`.
"""
from __future__ import annotations

import contextlib
import io
import mmap
import os
import shutil
import xml.parsers.expat
import zipfile
from collections.abc import Callable, Iterator
from typing import IO, Any

from vellum import zipread
from vellum.errors import ClosedWorkbookError, WorkbookError, damaged, file_error
from vellum.package import Rel, read_rels, rels_part, resolve
from vellum.xmlparts import parse_part

# The most that is read of a workbook-level part (the workbook, its
# relationships, the styles) and of the shared strings, uncompressed. Real
# workbooks stay far below; a part beyond is refused with a WorkbookError
# rather than read into memory.
PART_LIMIT = 64 << 20
STRINGS_LIMIT = 512 << 20


# -- what is opened -------------------------------------------------------------

def check_source(source: Any) -> None:
    """TypeError for what is neither a path nor a binary file that can seek,
    which zipfile would otherwise report as an attribute missing or as a
    file that is not a zip archive."""
    if isinstance(source, (str, os.PathLike)):
        return
    what = type(source).__name__
    if isinstance(source, (bytes, bytearray, memoryview)):
        raise TypeError(f"a workbook is read from a path or a binary file, not {what} "
                        "(wrap the bytes in io.BytesIO)")
    if isinstance(source, io.TextIOBase):
        raise TypeError("a workbook is read from a binary file: open it with mode 'rb'")
    if not all(hasattr(source, m) for m in ("read", "seek", "tell")):
        raise TypeError(f"a workbook is read from a path or a binary file, not {what}")
    seekable = getattr(source, "seekable", None)
    if seekable is not None and not seekable():
        raise TypeError("a workbook is read from a file that can seek (zip archives are "
                        "read from their end): read it into io.BytesIO first")


def display_name(path_or_file: Any) -> str:
    """How messages name a source: its path, else its file's name."""
    if isinstance(path_or_file, (str, os.PathLike)):
        return os.fsdecode(path_or_file)
    name = getattr(path_or_file, "name", None)
    return name if isinstance(name, str) else "<workbook>"


OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"


def ole_kind(source: Any) -> str | None:
    """What an OLE compound file holds, judged by the names of its streams
    (kept in UTF-16 in its directory sectors), or None for any other file.
    Excel keeps an encrypted workbook's zip in such a file, as it kept the
    whole of an old binary workbook."""
    try:
        if isinstance(source, (str, os.PathLike)):
            f = open(source, "rb")
        else:
            f = source
            f.seek(0)
        try:
            if f.read(8) != OLE_MAGIC:
                return None
            names = [n.encode("utf-16-le") for n in ("EncryptedPackage", "Workbook", "Book")]
            tail = b""
            while chunk := f.read(1 << 20):
                data = tail + chunk
                for name, kind in zip(names, ("encrypted", "xls", "xls")):
                    if name in data:
                        return kind
                tail = data[-40:]
            return "ole"
        finally:
            if f is not source:
                f.close()
    except (OSError, ValueError):
        return None


_OLE_MESSAGES = {
    "encrypted": "is an encrypted (password-protected) workbook, an OLE compound file; "
                 "save it without a password to read it",
    "xls": "is an old binary Excel workbook (.xls, an OLE compound file), not an xlsx workbook",
    "ole": "is an OLE compound file, not an xlsx workbook",
}


def truncation(source: Any) -> str | None:
    """Why a file that zipfile cannot open is not a workbook, where its
    bytes tell: it is empty, or it begins as a zip archive but lacks the
    record every zip archive ends with (a download or copy cut short)."""
    try:
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as f:
                return _truncation(f)
        return _truncation(source)
    except (OSError, ValueError):
        return None


def _truncation(f: IO[bytes]) -> str | None:
    size = f.seek(0, os.SEEK_END)
    if size == 0:
        return "is empty (0 bytes), not an xlsx workbook"
    f.seek(0)
    if f.read(4) != b"PK\x03\x04":
        return None
    # the end record is the last 22 bytes, before a comment of up to 64 KiB;
    # where it is whole, zipfile's own complaint stands
    f.seek(max(0, size - (22 + 0xFFFF)))
    tail = f.read()
    at = tail.rfind(b"PK\x05\x06")
    if at >= 0 and len(tail) - at >= 22:
        return None
    return (f"is truncated: it begins as a zip archive (as an xlsx workbook does) but its "
            f"end is missing, after {size:,} bytes; it was cut short, perhaps in a download "
            "or copy")


# -- bounded reads ----------------------------------------------------------------

class Bounded(io.RawIOBase):
    """A zip member read through, failing once more than `limit` bytes
    have come out of it."""

    def __init__(self, member: IO[bytes], limit: int, error: Callable[[], Exception]) -> None:
        self._member, self._left, self._error = member, limit, error

    def readable(self):
        return True

    def read(self, n=-1):
        if n is None or n < 0:
            # gathered a block at a time and joined once: a member asked for
            # all it may give at once would inflate a part past the limit
            # whole before the limit is seen
            chunks = []
            while data := self.read(min(self._left + 1, 1 << 20)):
                chunks.append(data)
            return b"".join(chunks)
        data = self._member.read(min(n, self._left + 1))
        self._left -= len(data)
        if self._left < 0:
            raise self._error()
        return data

    def readinto(self, b):
        data = self.read(len(b))
        b[:len(data)] = data
        return len(data)

    def close(self):
        self._member.close()
        super().close()


# -- the archive ------------------------------------------------------------------

class Archive:
    """An open xlsx package: `path` names it in messages, `zip` is its
    `zipfile.ZipFile`. Opening it raises `WorkbookError` for a file that is
    missing (also a FileNotFoundError, see `vellum.errors.file_error`), is
    empty or cut short, or is no zip archive (naming OLE files for what
    they hold), and TypeError for what is no file at all. Once closed, its
    parts raise `ClosedWorkbookError`."""

    def __init__(self, source: str | os.PathLike[str] | IO[bytes]) -> None:
        check_source(source)
        self.path = display_name(source)
        self.closed = False
        try:
            self.zip = zipfile.ZipFile(source)
        except (FileNotFoundError, IsADirectoryError, PermissionError) as e:
            raise file_error(self.path, e) from None
        except (zipfile.BadZipFile, OSError, EOFError, NotImplementedError, ValueError) as e:
            kind = ole_kind(source)
            if kind:
                raise WorkbookError(f"{self.path} {_OLE_MESSAGES[kind]}") from None
            why = truncation(source) if isinstance(e, zipfile.BadZipFile) else None
            raise WorkbookError(f"{self.path} {why or f'is not an xlsx workbook ({e})'}") from None
        # a path lets each member get a file handle of its own
        self._file = source if isinstance(source, (str, os.PathLike)) else None
        self._names = {n.lower(): n for n in self.zip.namelist()}

    def close(self) -> None:
        self.zip.close()
        self.closed = True

    def closed_error(self) -> ClosedWorkbookError:
        """What reading a part of a closed archive raises."""
        return ClosedWorkbookError(f"workbook {self.path} is closed")

    def is_file(self, target: Any) -> bool:
        """Whether `target` (a path or a file) names the file this archive
        was opened from by path."""
        if self._file is None or not isinstance(target, (str, os.PathLike)):
            return False
        try:
            return os.path.samefile(self._file, target)
        except OSError:
            return False

    def member(self, part: str) -> str | None:
        """The zip member name of a part, compared without regard to case as
        some writers differ from their own relationships there."""
        return self._names.get(part.lower())

    def open_member(self, member: str | zipfile.ZipInfo) -> IO[bytes]:
        """A member of the archive (a name or its `ZipInfo`) opened for
        reading, by `vellum.zipread`."""
        if self.closed:
            raise self.closed_error()
        return zipread.open_member(self.zip, member, self._file)

    def part_size(self, part: str) -> int:
        """The size of a part, uncompressed, as the zip declares it (0 for a
        part it lacks)."""
        member = self.member(part)
        return self.zip.getinfo(member).file_size if member else 0

    def open_part(self, part: str, limit: int) -> Bounded:
        """A workbook-level part opened for reading at most `limit` bytes: a
        larger declared size is refused at once, and as declared sizes can
        lie, reading past the limit fails too."""
        if self.closed:
            raise self.closed_error()
        info = self.zip.getinfo(self.member(part))
        if info.file_size > limit:
            raise self._too_large(part, limit)
        return Bounded(self.open_member(info), limit, lambda: self._too_large(part, limit))

    def raw_member(self, part: str, limit: int | None = None) -> Any:
        """What a reader that inflates a part itself (the engine's columnar
        job) reads it from: where its data lies in the archive
        (`zipread.raw_member`), or, for a member only zipfile reads, the
        member opened. A part declared larger than `limit` is refused as
        `open_part` refuses it."""
        info = self.zip.getinfo(self.member(part))
        if limit is not None and info.file_size > limit:
            raise self._too_large(part, limit)
        spec = zipread.raw_member(self.zip, info, self._file)
        return spec if spec is not None else self.open_member(info)

    def _too_large(self, part, limit):
        return WorkbookError(f"{self.path}: part {part} is larger than vellum reads "
                             f"({limit >> 20} MiB): refused as a hostile or damaged file")

    def read(self, part: str) -> bytes:
        """A workbook-level part's bytes (at most `PART_LIMIT`)."""
        if self.member(part) is None:
            raise WorkbookError(f"{self.path} is not an xlsx workbook (no part {part})")
        try:
            with self.open_part(part, PART_LIMIT) as source:
                return source.read()
        except WorkbookError:
            raise
        except Exception as e:  # a broken zip entry: bad CRC, bad deflate data
            raise damaged(self.path, part, e) from e

    def tree(self, part: str) -> Any:
        """A workbook-level part's element tree."""
        try:
            return parse_part(self.read(part), f"{self.path}: part {part}")
        except xml.parsers.expat.ExpatError as e:
            raise WorkbookError(f"{self.path}: {part} is not well-formed XML ({e})") from None

    def rels(self, part: str) -> list[Rel]:
        """Every relationship of a part ("" for the package's own), as
        written, in order; none when it has no relationships part."""
        member = self.member(rels_part(part))
        if member is None:
            return []
        try:
            return read_rels(self.read(member), f"{self.path}: part {member}")
        except xml.parsers.expat.ExpatError as e:
            raise WorkbookError(f"{self.path}: {member} is not well-formed XML ({e})") from None

    def relationships(self, part: str) -> dict[str, tuple[str, str]]:
        """{id: (type, target part)} of a part's internal relationships
        ("" for the package's own)."""
        return {rel.id: (rel.type, resolve(part, rel.target))
                for rel in self.rels(part) if not rel.external}

    @contextlib.contextmanager
    def raw_source(self) -> Iterator[RawSource]:
        """The archive's file for reading members as they are stored (see
        `RawSource`), opened once for a whole save: mapped into memory when
        it is a file of its own, so that a member costs no system call."""
        if self.closed:
            raise self.closed_error()
        if self._file is None:
            f = self.zip.fp
            yield RawSource(f, self.zip._lock, self.zip.metadata_encoding)
            return
        with open(self._file, "rb") as f:
            try:
                mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError):
                yield RawSource(f, contextlib.nullcontext(), self.zip.metadata_encoding)
                return
            source = RawSource(mapped, contextlib.nullcontext(), self.zip.metadata_encoding)
            try:
                yield source
            finally:
                source.release()
                mapped.close()


class RawSource:
    """An archive's file (or its map in memory), from which `chunks` reads a
    member's data as it is stored (deflated, for most), for a save to copy
    without inflating it. A file shared with the archive is read under its
    lock, as zipfile's own members read it."""

    def __init__(self, f: Any, lock: Any, encoding: str | None) -> None:
        self._f, self._lock, self._encoding = f, lock, encoding
        self._view = memoryview(f) if isinstance(f, mmap.mmap) else None

    def copy_all(self, out: IO[bytes]) -> None:
        """Write the whole file to `out`."""
        if self._view is not None:
            out.write(self._view)
            return
        with self._lock:
            self._f.seek(0)
            shutil.copyfileobj(self._f, out, 1 << 20)

    def release(self) -> None:
        """Let go of the map's memory (before the map is closed)."""
        if self._view is not None:
            self._view.release()

    def chunks(self, info: zipfile.ZipInfo, size: int = 1 << 20) -> Iterator[bytes | memoryview]:
        f = self._f
        with self._lock:
            at = zipread.data_offset(f, info, self._encoding)
        left = info.compress_size
        while left:
            if self._view is not None:
                # a slice of the map, released once written
                data: bytes | memoryview = self._view[at:at + min(size, left)]
            else:
                with self._lock:
                    f.seek(at)
                    data = f.read(min(size, left))
            if not data:
                raise zipread.MemberError(f"{info.filename}: truncated member: the archive "
                                          "ends inside it")
            at += len(data)
            left -= len(data)
            yield data
