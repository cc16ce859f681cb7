"""A sheet's rows as CSV text, as a spreadsheet writes them: values in
their spreadsheet forms (`text`), or as shown through their number formats
(`CellText`), and the rectangle that pads every row to the sheet's data
width (`Rectangle`), for the command line."""
from __future__ import annotations

import array
import csv
import datetime
import io
import tempfile
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from vellum.numfmt import formatter, shown_code, shows_time
from vellum.reference.styles import format_kind
from vellum.reference.values import ArrayFormula, DataTableFormula
from vellum.utils.datetime import MAC_EPOCH

# The rows of a sheet are held in memory up to this many characters, then
# in a temporary file, until its width is known.
SPOOL_MEMORY = 32 << 20


def text(value: Any) -> str:
    """How a cell value is printed, as a spreadsheet would write it to CSV:
    numbers in their shortest exact form, booleans as TRUE and FALSE, dates
    and times in ISO 8601, durations as hours:minutes:seconds, formulas by
    their text; never a repr."""
    if value is None:
        return ""
    kind = type(value)
    if kind is str:
        return value
    if kind is float:
        return number_text(value)
    if kind is bool:
        return "TRUE" if value else "FALSE"
    if isinstance(value, datetime.datetime):
        return date_text(value, True)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return duration_text(value)
    if isinstance(value, ArrayFormula):
        return value.text or ""
    if isinstance(value, DataTableFormula):
        args = ",".join(getattr(value, a, "") for a in ("r1", "r2") if getattr(value, a, None))
        return f"=TABLE({args})"
    return str(value)


def number_text(value: float) -> str:
    """A float in its shortest exact form, whole numbers without ".0"."""
    if value.is_integer() and abs(value) < 2.0**53:
        return str(int(value))
    return repr(value)


def date_text(value: datetime.datetime, with_time: bool) -> str:
    """"2019-09-02", or with the time "2019-09-02 14:30:00" (fractions of a
    second when there are any)."""
    if not with_time:
        return value.date().isoformat()
    return value.isoformat(" ")


def duration_text(value: datetime.timedelta) -> str:
    """A duration as a spreadsheet's elapsed time shows it: "255:10:10"."""
    sign = "-" if value < datetime.timedelta(0) else ""
    micro = abs(value) // datetime.timedelta(microseconds=1)
    seconds, micro = divmod(micro, 1_000_000)
    out = f"{sign}{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    return out + f".{micro:06d}".rstrip("0") if micro else out


def format_row(values: Sequence[Any]) -> str:
    """A row as tab-separated text (the demo's display)."""
    return "\t".join(text(v) for v in values)



class CellText:
    """The texts of the cells of one workbook's rows: `plain` (values as
    `text` writes them, dates with their time only where the cell's number
    format shows one), or `formatted` through each cell's number format.
    Each style's format is looked up once."""

    def __init__(self, book: Workbook, formatted: bool) -> None:
        self.book = book
        self.date1904 = book.epoch == MAC_EPOCH
        self._codes: dict[Any, str] = {}
        self._with_time: dict[Any, bool | None] = {}
        self._formatters: dict[Any, Any] = {}
        self.row = self.formatted if formatted else self.plain

    def code(self, style_id: Any) -> str:
        code = self._codes.get(style_id)
        if code is None:
            try:
                fmt_id = self.book._cell_styles[style_id][0]
            except (IndexError, TypeError, ValueError):
                fmt_id = 0
            code = shown_code(fmt_id, self.book._number_formats.get(fmt_id))
            self._codes[style_id] = code
        return code

    def plain(self, cells: Sequence[Any]) -> list[str]:
        # the common types inline: a sheet of a million cells spends most
        # of its time here
        return ["" if c is None else v if (t := type(v := c._value)) is str else str(v) if t is int
                else (str(int(v)) if v.is_integer() and -2.0**53 < v < 2.0**53 else repr(v))
                if t is float else self.date(c, v) if t is datetime.datetime else text(v)
                for c in cells]

    def values(self, values: Sequence[Any]) -> list[str]:
        """`plain` for a workbook without date styles, from the values alone."""
        return [v if (t := type(v)) is str else str(v) if t is int
                else (str(int(v)) if v.is_integer() and -2.0**53 < v < 2.0**53 else repr(v))
                if t is float else text(v) if t is not datetime.datetime
                else date_text(v, v.time() != datetime.time()) for v in values]

    def date(self, cell: Any, value: datetime.datetime) -> str:
        """A date with its time where the cell's format shows one; without,
        where it shows a date alone; else with the time unless midnight."""
        style = cell._style_id
        if style not in self._with_time:
            code = self.code(style)
            self._with_time[style] = shows_time(code) if format_kind(code) else None
        with_time = self._with_time[style]
        if with_time is None:
            with_time = value.time() != datetime.time()
        return date_text(value, with_time)

    def formatted(self, cells: Sequence[Any]) -> list[str]:
        get = self._formatters.get
        return ["" if c is None else
                (get(c._style_id) or self.formatter(c._style_id))(v)
                if type(v := c._value) in _FORMATTED and c.data_type not in ("e", "f") else text(v)
                for c in cells]

    def formatter(self, style_id: Any) -> Callable[[Any], str]:
        render = self._formatters[style_id] = formatter(self.code(style_id), date1904=self.date1904)
        return render


_FORMATTED = {int, float, bool, str, datetime.datetime, datetime.date, datetime.time,
              datetime.timedelta}


class Rectangle:
    """Rows printed as a rectangle: each row as wide as the widest. Rows
    come trimmed (to their last value, or with `keep_empty` to their last
    cell) and go to a spool, rows without values only once a later row has
    one (or with `keep_empty`, all); at the end the spool is copied out,
    each row padded with separators. So the output starts once the sheet
    is read, in memory that does not grow with it: past a few megabytes
    the spool is a temporary file. Each row's length in the spool is kept,
    as no character can mark where a row ends: a text may hold any (a NUL
    too, written "_x0000_" in the file)."""

    BATCH = 1024

    def __init__(self, out: TextIO, dialect: str, keep_empty: bool) -> None:
        self.out = out
        self.dialect = dialect
        self.sep = csv.get_dialect(dialect).delimiter
        self.keep_empty = keep_empty
        self.spool: TextIO = io.StringIO()
        self.on_disk = False
        self._writer()
        self.batch: list[list[str]] = []
        self.widths = array.array("L")
        self.lengths = array.array("Q")  # characters of each row in the spool, "\n" included
        self.pending = 0

    def _writer(self) -> None:
        self.writer = csv.writer(self.spool, dialect=self.dialect, lineterminator="\n")

    def add(self, fields: list[str]) -> None:
        """One row (no fields: a row without values)."""
        if not fields:
            self.pending += 1
            return
        if self.pending:
            self._empty_rows()
        # a lone empty field would be written as ""
        self.batch.append(fields if fields != [""] else [])
        self.widths.append(len(fields))
        if len(self.batch) >= self.BATCH:
            self._flush()

    def _empty_rows(self) -> None:
        self.batch.extend([] for _ in range(self.pending))
        self.widths.extend(bytes(self.pending))
        self.pending = 0

    def _flush(self) -> None:
        # writerow gives what the spool's write gave: the characters written
        self.lengths.extend(map(self.writer.writerow, self.batch))
        self.batch.clear()
        if not self.on_disk and self.spool.tell() > SPOOL_MEMORY:
            disk = tempfile.TemporaryFile("w+", encoding="utf-8", newline="")
            disk.write(self.spool.getvalue())
            self.spool, self.on_disk = disk, True
            self._writer()

    def finish(self) -> None:
        if self.keep_empty and self.pending:
            self._empty_rows()
        self._flush()
        width = max(self.widths, default=0)
        spool, out, widths = self.spool, self.out, self.widths
        spool.seek(0)
        if widths.count(width) == len(widths):
            while chunk := spool.read(1 << 20):
                out.write(chunk)
            spool.close()
            return
        # each row without its "\n", and what ends it: the separators that
        # pad it to the width, and the "\n"
        ends = {w: self.sep * (width - max(w, 1)) + "\n" for w in set(widths)}
        pieces: list[str] = []
        text, at, left = "", 0, 0
        for w, n in zip(widths, self.lengths):
            end = at + n
            if end > left:
                out.write("".join(pieces))
                pieces.clear()
                text, at = text[at:] + spool.read(max(1 << 20, n)), 0
                end, left = n, len(text)
            pieces += (text[at:end - 1], ends[w])
            at = end
        out.write("".join(pieces))
        spool.close()
