"""The packager: `save_workbook` writes a workbook read in full or made new
(`vellum.newbook`) as an xlsx package, every part in order, to a path (only
once the whole package has been written) or to a binary file.

A workbook that was read keeps everything a save does not change, byte for
byte: `vellum.edit` says which parts are copied as they are stored (without
inflating them), which are written again (changed worksheets, and the
workbook-level parts that list sheets, parts and styles) and which are left
out (the calculation chain once a worksheet is written again). A new
workbook's package holds the content types, the package and workbook
relationships, the workbook part (sheet names, states, the date system), the
styles part and one worksheet part per sheet.

Cells are written as numbers (the shortest text that reads back as the same
number, %.16g where that does), booleans, inline strings, formulas (with the
value they were saved with, while unchanged) and dates (serial numbers under
a date number format, which a date gets where its cell's format shows none;
ISO 8601 text with ``t="d"`` when the workbook's `iso_dates` is set); an
empty text is written as an empty cell, and a text shaped like the format's
``_xHHHH_`` escape is written with its underscore escaped (``_x005F_``), so
that applications show the text itself. NaN and infinities are refused
unless the workbook's `nan_inf_to_errors` is set, which writes them as the
error values #NUM! and #DIV/0!.
"""
from __future__ import annotations

import os
import stat
import warnings
import zipfile
import zlib
from typing import IO, Any

from vellum.archive import RawSource
from vellum.edit import save_read_workbook, unchanged
from vellum.newbook import WriteOnlyWorksheet
from vellum.package import rels_xml
from vellum.parts import content_types, relationships, styles_part, workbook_part
from vellum.sheetpart import has_lxml, write_worksheet
from vellum.zipread import isal_zlib

# Deflate level of every part. Deflating is most of a whole save: on a
# million-cell sheet (bench/save.py) level 3 deflates 2.6-3.3 times faster
# than zlib's usual 6, for files 3% (strings) to 11% (numbers) larger, still
# within 6-15% of XlsxWriter's; levels 1 and 2 are faster again but 30-45%
# larger.
COMPRESSLEVEL = 3


def deflater(level: int | None) -> Any:
    """The raw deflate compressor of a member written at zlib's `level`:
    ISA-L's fastest level where it beats zlib at that level in both time
    and size (about thirty times faster than zlib 1 on sheet XML, and
    smaller), else zlib's own."""
    if level is None:
        level = zlib.Z_DEFAULT_COMPRESSION
    if isal_zlib is not None and 1 <= level <= 2:
        return isal_zlib.compressobj(1, zlib.DEFLATED, -15)
    return zlib.compressobj(level, zlib.DEFLATED, -15)


class _ZipWriter(zipfile.ZipFile):
    """zipfile's writer with its deflate compressor picked by `deflater`
    (zipfile makes the compressor of each member it writes in
    `_open_to_write`; where that changes, its own is kept)."""

    def _open_to_write(self, zinfo, force_zip64=False):
        out = super()._open_to_write(zinfo, force_zip64)
        if zinfo.compress_type == zipfile.ZIP_DEFLATED and hasattr(out, "_compressor"):
            out._compressor = deflater(zinfo.compress_level)
        return out

    def write_raw(self, source: RawSource, info: zipfile.ZipInfo) -> None:
        """Copy a member of an archive (read from its `source`) as it is
        stored: its compressed data, CRC and sizes as they are (zip64 where
        the sizes need it), neither inflated nor deflated again."""
        zinfo = zipfile.ZipInfo(info.filename, info.date_time)
        zinfo.compress_type = info.compress_type
        zinfo.CRC, zinfo.compress_size, zinfo.file_size = info.CRC, info.compress_size, info.file_size
        # the sizes go in the local header: no data descriptor follows
        zinfo.flag_bits = info.flag_bits & ~zipfile._MASK_USE_DATA_DESCRIPTOR
        zinfo.external_attr = info.external_attr
        zinfo.internal_attr = info.internal_attr
        zinfo.create_system = info.create_system
        zip64 = max(info.file_size, info.compress_size) > zipfile.ZIP64_LIMIT
        with self._lock:
            if self._writing:
                raise ValueError("a member is being written")
            # a seek would flush the output's buffer: members follow each other
            if self._seekable and self.fp.tell() != self.start_dir:
                self.fp.seek(self.start_dir)
            zinfo.header_offset = self.fp.tell()
            self._writecheck(zinfo)
            self._didModify = True
            self.fp.write(zinfo.FileHeader(zip64))
            for chunk in source.chunks(info):
                self.fp.write(chunk)
            self.start_dir = self.fp.tell()
            self.filelist.append(zinfo)
            self.NameToInfo[zinfo.filename] = zinfo


def save_workbook(book: Any, path_or_file: str | os.PathLike[str] | IO[bytes],
                  lxml: bool | None = None, engine: bool = True) -> None:
    """Write `book` (read in full, or made by `new_workbook`) as an xlsx
    file at `path_or_file` (a path or a binary file open for writing).
    `lxml` picks the serialiser of the sheet data (by default lxml when it
    is installed); `engine=False` writes it with the package's own writer.
    Sheet names must be ones spreadsheet applications open (see
    `vellum.newbook.check_sheet_name`).

    A save to a path is atomic: the package is written to a temporary file
    in the target's folder, flushed to disk, given the target's mode (and,
    where permitted, its owner), and renamed over the target in one step.
    Whatever stops it (an error, a full disk, Ctrl-C), the path holds the
    old file or the new one, never a part of either, and no temporary file
    is left. A symbolic link is followed: the file it points to is
    replaced, the link kept. A file with other hard links is replaced under
    this name only: its other names keep the old workbook (a warning says
    so), as a rename cannot change the file they share without the risk of
    leaving it half written."""
    if lxml is None:
        lxml = has_lxml()
    if not isinstance(path_or_file, (str, os.PathLike)):
        _write_package(book, path_or_file, lxml, engine)
        return
    target = os.path.realpath(path_or_file)
    try:
        old: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and old.st_nlink > 1:
        warnings.warn(f"{os.fsdecode(path_or_file)} has {old.st_nlink - 1} other hard link(s), which "
                      "keep the old workbook: the save replaces the file under this name only",
                      stacklevel=3)
    fd, scratch = _create_beside(target)
    try:
        with open(fd, "wb") as out:
            _write_package(book, out, lxml, engine)
            out.flush()
            if old is not None:
                _take_over(out.fileno(), old)
            os.fsync(out.fileno())
        os.replace(scratch, target)
    except BaseException:
        try:
            os.unlink(scratch)
        except FileNotFoundError:  # replaced already
            pass
        raise
    _sync_folder(target)


def _create_beside(target: str) -> tuple[int, str]:
    """A new file in `target`'s folder, open for writing, with the mode
    a new file gets there (the process's umask applied)."""
    folder, name = os.path.split(target)
    for _ in range(100):
        scratch = os.path.join(folder, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            return os.open(scratch, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0),
                           0o666), scratch
        except FileExistsError:
            continue
    raise FileExistsError(f"no free name for a temporary file in {folder}")


def _take_over(fd: int, old: os.stat_result) -> None:
    """Give the new file the old one's owner and group where this process
    may (only the superuser gives a file away; its owner may give it a
    group he is in), then its mode (a change of owner clears set-id bits)."""
    mine = os.fstat(fd)
    if (mine.st_uid, mine.st_gid) != (old.st_uid, old.st_gid):
        for uid in (old.st_uid, -1):
            try:
                os.fchown(fd, uid, old.st_gid)
                break
            except PermissionError:
                continue
    os.fchmod(fd, stat.S_IMODE(old.st_mode))


def _sync_folder(target: str) -> None:
    """Flush the rename to disk (where the platform opens folders)."""
    try:
        fd = os.open(os.path.dirname(target) or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _write_package(book: Any, out: IO[bytes], lxml: bool, engine: bool) -> None:
    """Every part of the package, in order: a workbook that was read as
    `vellum.edit` keeps it (the file read, as it is, when nothing changed),
    a new one whole."""
    if getattr(book, "_archive", None) is not None and unchanged(book):
        with book._archive.raw_source() as raw:
            raw.copy_all(out)
        return
    with _ZipWriter(out, "w", zipfile.ZIP_DEFLATED, compresslevel=COMPRESSLEVEL) as zf:
        if getattr(book, "_archive", None) is not None:
            save_read_workbook(book, zf, lxml, engine)
        else:
            _write_new(book, zf, lxml, engine)


def _write_new(book: Any, zf: _ZipWriter, lxml: bool, engine: bool) -> None:
    """A new workbook's parts, in order; the styles last, as writing the
    sheets may have added style arrays."""
    sheets = list(book.worksheets)
    zf.writestr("[Content_Types].xml", content_types(len(sheets)))
    zf.writestr("_rels/.rels", relationships([("officeDocument", "xl/workbook.xml")]))
    zf.writestr("xl/workbook.xml", workbook_part(book, sheets))
    targets = [("worksheet", f"worksheets/sheet{i}.xml") for i in range(1, len(sheets) + 1)]
    zf.writestr("xl/_rels/workbook.xml.rels", relationships(targets + [("styles", "styles.xml")]))
    for i, ws in enumerate(sheets, 1):
        with zf.open(f"xl/worksheets/sheet{i}.xml", "w", force_zip64=True) as part:
            if isinstance(ws, WriteOnlyWorksheet):
                rels = ws._copy_to(part)
            else:
                rels = write_worksheet(ws, part, lxml, engine)
        if rels:
            zf.writestr(f"xl/worksheets/_rels/sheet{i}.xml.rels", rels_xml(rels))
    zf.writestr("xl/styles.xml", styles_part(book))
