"""The packager: `save_workbook` writes a workbook read in full or made new
(`vellum.newbook`) as an xlsx package, every part in order, to a path (only
once the whole package has been written) or to a binary file.

A saved workbook holds: the content types, the package and workbook
relationships, the workbook part (sheet names, states, the date system),
the styles part, and one worksheet part per sheet. Cells are written as
numbers, booleans, inline strings, formulas and dates (serial numbers under
a date number format). What a read workbook keeps:

- styles: the styles part read, with its ``cellXfs`` rewritten from the
  workbook's style arrays (the ones read, by position, then any new ones);
  fonts, fills, borders, number formats and the rest as read;
- worksheets: every element the sheet had besides its cells, in document
  order, with a new ``dimension``;
- dates: written as serial numbers (ISO 8601 text with ``t="d"`` when the
  workbook's `iso_dates` is set); a cell is read back as a date only when
  its number format shows one, so values assigned through the worksheet
  get a date format when theirs shows none, while a date cell read from a
  file without one (``t="d"`` under the General format) reads back as its
  serial number. Numbers are written with 16 significant digits, and an
  empty text is written as an empty cell;
- left out: every worksheet element that points to another part through a
  relationship (``r:id``): drawings and charts, pictures, comments'
  ``legacyDrawing``, tables (``tableParts``), controls and OLE objects,
  hyperlinks read with external targets (their ``r:id`` points to the
  sheet's relationships; links set on cells, ``cell.hyperlink = url``, are
  written with relationships of their own); the workbook's defined names,
  external links, shared strings (cells are written inline), themes,
  document properties and every other part that was not listed above.
  Formulas are kept as text, so one that uses a defined name or refers to
  another workbook (``[1]Sheet!A1``) is saved but no longer finds its target.

A text is written as it is: one shaped like the ``_xHHHH_`` escape of the
file format (``"_x0041_"``) reads back decoded ("A"), here as in spreadsheet
applications.
"""
from __future__ import annotations

import os
import shutil
import tempfile
import zipfile
import zlib
from typing import IO, Any

from vellum.newbook import WriteOnlyWorksheet
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


def save_workbook(book: Any, path_or_file: str | os.PathLike[str] | IO[bytes],
                  lxml: bool | None = None, engine: bool = True) -> None:
    """Write `book` (read in full, or made by `new_workbook`) as an xlsx
    file at `path_or_file` (a path or a binary file open for writing).
    `lxml` picks the serialiser of the sheet data (by default lxml when it
    is installed); `engine=False` writes it with the package's own writer.
    A path is written only once the whole workbook has been: a save that
    fails leaves the file there as it was. Sheet names must be ones
    spreadsheet applications open (see `vellum.newbook.check_sheet_name`)."""
    if lxml is None:
        lxml = has_lxml()
    if not isinstance(path_or_file, (str, os.PathLike)):
        _write_package(book, path_or_file, lxml, engine)
        return
    # A save that fails partway (a text no xlsx file can carry, a full disk)
    # must not leave the file it was to replace broken, and saving over the
    # workbook that was read is common. So the package is written to a
    # scratch file first and copied over the target once it is whole;
    # copying, not renaming, keeps the target's permissions, owner and
    # links as writing it in place does.
    with _scratch_beside(path_or_file) as scratch:
        _write_package(book, scratch, lxml, engine)
        scratch.seek(0)
        with open(path_or_file, "wb") as out:
            shutil.copyfileobj(scratch, out, 1 << 20)


def _scratch_beside(path: str | os.PathLike[str]) -> IO[bytes]:
    """An unnamed temporary file in the target's folder (which has room for
    the workbook), else in the temporary folder."""
    try:
        return tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(path)))
    except OSError:
        return tempfile.TemporaryFile()


def _write_package(book: Any, out: IO[bytes], lxml: bool, engine: bool) -> None:
    """Every part of the package, in order; the styles last, as writing the
    sheets may have added style arrays."""
    sheets = list(book.worksheets)
    with _ZipWriter(out, "w", zipfile.ZIP_DEFLATED, compresslevel=COMPRESSLEVEL) as zf:
        zf.writestr("[Content_Types].xml", content_types(len(sheets)))
        zf.writestr("_rels/.rels", relationships([("officeDocument", "xl/workbook.xml")]))
        zf.writestr("xl/workbook.xml", workbook_part(book, sheets))
        targets = [("worksheet", f"worksheets/sheet{i}.xml") for i in range(1, len(sheets) + 1)]
        zf.writestr("xl/_rels/workbook.xml.rels", relationships(targets + [("styles", "styles.xml")]))
        for i, ws in enumerate(sheets, 1):
            with zf.open(f"xl/worksheets/sheet{i}.xml", "w", force_zip64=True) as part:
                if isinstance(ws, WriteOnlyWorksheet):
                    urls = ws._copy_to(part)
                else:
                    urls = write_worksheet(ws, part, lxml, engine)
            if urls:
                zf.writestr(f"xl/worksheets/_rels/sheet{i}.xml.rels",
                            relationships([("hyperlink", url) for url in urls], external=True))
        zf.writestr("xl/styles.xml", styles_part(book))
