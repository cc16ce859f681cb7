"""Command line: print the rows of xlsx worksheets as CSV or TSV, or write
one as a Parquet or Arrow IPC file.

    vellum FILE.xlsx [--sheet NAME|INDEX] [--all] [--list] [--formulas]
                     [--formatted] [--keep-empty] [--format csv|tsv]
                     [--row-numbers] [--limit N]
    vellum FILE.xlsx [--sheet NAME|INDEX] --format parquet|arrow -o OUT [--no-header] [--limit N]
    vellum FILES... --format parquet|arrow -o DIR [--jobs N] [--sheet ...] [--no-header] [--limit N]
    vellum info FILE.xlsx

Parquet and Arrow IPC files hold the sheet as `vellum.read_table` reads it
(typed columns named by the first row, or by letter with `--no-header`),
written by pyarrow, which they need. Several workbooks (or an -o that is a
directory) are written into the directory -o names, each as its name with
the format's suffix; `--jobs N` converts N at once, on a local cluster of
worker processes when `distributed` is installed (see `vellum.convert`),
with a progress bar on a terminal. A workbook that cannot be read is named
on standard error and the others are converted all the same (exit
status 2).

FILE `-` reads the workbook from standard input.

`info` prints, for each worksheet, its dimension, visibility, merged ranges,
frozen pane and row count (the last row of the dimension), read without
the cells.

The CSV is a rectangle from A1 to the sheet's last value: each row padded
to the widest, rows keep their positions (a row without values prints as
separators alone, unless `--row-numbers` starts each printed row with its
number and leaves those out), and the empty rows and columns that
formatting adds at the sheet's end are left out (`--keep-empty` keeps
them). Values are printed as a spreadsheet writes them to CSV: numbers in
their shortest exact form, booleans as TRUE and FALSE, dates in ISO 8601
(the date alone where the cell's format shows no time), durations as
hours:minutes:seconds; with `--formatted`, every cell as the spreadsheet
shows it, through its number format (`vellum.numfmt`).
Problems with the input are reported in one line on standard error with
exit status 2; a failed write with status 1. A reader that stops early
(``| head``) ends the program quietly with status 0.
"""
from __future__ import annotations

import argparse
import array
import csv
import datetime
import io
import os
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import vellum
from vellum import convert
from vellum.convert import pick
from vellum.extent import row_width
from vellum.numfmt import formatter, shown_code, shows_time
from vellum.reference.styles import format_kind
from vellum.reference.values import ArrayFormula, DataTableFormula
from vellum.utils.datetime import MAC_EPOCH
from vellum.streaming import StreamedWorksheet
from vellum.workbook import Workbook, WorkbookError

# A sheet part at least this large (uncompressed) shows a progress bar.
PROGRESS_MIN_BYTES = 2 << 20
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


class Progress:
    """A bar on standard error while a large sheet is read: a few lines of
    our own, drawn at most ten times a second and erased at the end."""

    def __init__(self, stream: TextIO, label: str, total: int) -> None:
        self.stream, self.label, self.total = stream, label, total
        self.last = 0.0

    def __call__(self, done: int) -> None:
        now = time.monotonic()
        if now - self.last < 0.1:
            return
        self.last = now
        share = min(done / self.total, 1.0) if self.total else 1.0
        bar = "#" * int(share * 30)
        self.stream.write(f"\r{self.label} [{bar:<30}] {share:4.0%}")
        self.stream.flush()

    def close(self) -> None:
        if self.last:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def progress_for(sheet: StreamedWorksheet, book: Workbook) -> Progress | None:
    """A bar for this sheet when it is worth one and someone can see it:
    standard error is a terminal and the rows go elsewhere."""
    if not sys.stderr.isatty() or sys.stdout.isatty():
        return None
    size = book.part_size(sheet.part)
    if size < PROGRESS_MIN_BYTES:
        return None
    return Progress(sys.stderr, sheet.name, size)


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


def print_sheet(book: Workbook, sheet: StreamedWorksheet, args: argparse.Namespace) -> None:
    progress = progress_for(sheet, book)
    dialect = "excel" if args.format == "csv" else "excel-tab"
    table = Rectangle(sys.stdout, dialect, args.keep_empty)
    # Values alone, unless formats matter: every cell's, or the date styles'
    # (a workbook without any has no date the format shows without a time).
    values_only = not args.formatted and not book.date_formats
    cell_text = CellText(book, args.formatted)
    texts = cell_text.values if values_only else cell_text.row
    # the whole sheet without numbers or progress takes the reader's fast path
    fast = not (args.row_numbers or progress)
    rows = sheet.iter_rows(values_only=values_only) if fast else \
        sheet.iter_rows(values_only=values_only, row_numbers=True, progress=progress)
    try:
        for count, (number, row) in enumerate(enumerate(rows, 1) if fast else rows):
            if args.limit is not None and count >= args.limit:
                break
            if not row:
                width = 0
            elif args.keep_empty:
                width = len(row)
            else:
                last = row[-1] if values_only or row[-1] is None else row[-1]._value
                if last is not None and last != "":
                    width = len(row)
                else:
                    width = row_width(row if values_only else
                                      [None if c is None else c._value for c in row])
            fields = texts(row[:width]) if width else []
            if args.row_numbers:
                if width:
                    table.add([str(number), *fields])
            else:
                table.add(fields)
    finally:
        rows.close()
        if progress:
            progress.close()
    table.finish()


def list_sheets(book: Workbook) -> None:
    for i, name in enumerate(book.sheet_names):
        mark = f"\t({name.state})" if name.hidden else ""
        print(f"{i}\t{name}{mark}")


def source_of(file: str) -> str | io.BytesIO:
    """The workbook `file` names: a path, or for "-" standard input, read
    whole (a zip archive is read from its end) and named "<stdin>"."""
    if file != "-":
        return file
    data = io.BytesIO(sys.stdin.buffer.read())
    data.name = "<stdin>"
    return data


FILE_HELP = "an .xlsx or .xlsm file, or - to read one from standard input"


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="vellum", description="Print the rows of a worksheet of an xlsx workbook as CSV. "
        "`vellum info FILE` prints each worksheet's layout instead (see `vellum info --help`).",
        epilog="Exit status: 0 done, 1 output could not be written, 2 the workbook or sheet "
               "could not be read.")
    ap.add_argument("file", nargs="+", metavar="FILE",
                    help=FILE_HELP + " (several with --format parquet or arrow)")
    ap.add_argument("--version", action="version", version=f"vellum {vellum.__version__}")
    which = ap.add_mutually_exclusive_group()
    which.add_argument("--sheet", metavar="NAME|INDEX",
                       help="the worksheet, by name or by position from 0 (default: the first)")
    which.add_argument("--all", action="store_true",
                       help="print every worksheet, each after a line '# sheet: NAME'")
    which.add_argument("--list", action="store_true",
                       help="list the worksheets (position, name, and hidden ones marked) and stop")
    ap.add_argument("--formulas", action="store_true",
                    help="print formulas as text instead of their last saved values")
    ap.add_argument("--formatted", action="store_true",
                    help="print each cell as a spreadsheet shows it, through its number format "
                         "(\"1,234.50\", \"15-Mar-23\", \"25%%\"); by default numbers are printed "
                         "in full, dates in ISO 8601 and booleans as TRUE and FALSE")
    ap.add_argument("--keep-empty", action="store_true",
                    help="keep the rows and columns without values at the end of the sheet "
                         "(cells formatting stretches it to), which are left out by default")
    ap.add_argument("--format", choices=("csv", "tsv", "parquet", "arrow"), default="csv",
                    help="comma- or tab-separated output (default: csv; cells holding a "
                         "separator, a quote or a line break are quoted), or a table of typed "
                         "columns written with pyarrow to the file -o names, as Parquet or as an "
                         "Arrow IPC file")
    ap.add_argument("-o", "--output", metavar="OUT",
                    help="the file to write (parquet and arrow formats), or the directory to "
                         "write each of several workbooks to")
    ap.add_argument("--jobs", type=int, default=1, metavar="N",
                    help="(parquet, arrow) convert N workbooks at once, on a local cluster "
                         "when distributed is installed (default: 1)")
    ap.add_argument("--no-header", action="store_true",
                    help="(parquet, arrow) the first row is data; columns are named by letter")
    ap.add_argument("--row-numbers", action="store_true",
                    help="start each row with its row number and leave out empty rows")
    ap.add_argument("--limit", type=int, metavar="N", help="print at most N rows of each sheet")
    return ap


def print_info(book: Workbook) -> None:
    for i, sheet in enumerate(book.sheets):
        layout = sheet.layout()
        rows = layout.max_row
        print(f"{i}\t{sheet.name}")
        print(f"\tstate: {sheet.state}")
        print(f"\tdimension: {layout.dimension or 'none'}")
        print(f"\trows: {rows if rows is not None else 'unknown (no dimension)'}")
        print(f"\tmerged: {' '.join(layout.merged) or 'none'}")
        print(f"\tfrozen: {layout.frozen or 'none'}")


def info(argv: Sequence[str]) -> int:
    """`vellum info FILE`: each worksheet's layout, read without its cells."""
    ap = argparse.ArgumentParser(prog="vellum info",
                                 description="Print the layout of each worksheet of an xlsx workbook.")
    ap.add_argument("file", help=FILE_HELP)
    args = ap.parse_args(argv)
    try:
        with Workbook(source_of(args.file)) as book:
            print_info(book)
    except WorkbookError as e:
        sys.stdout.flush()
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    return 0


TABLE_FORMATS = tuple(convert.FORMATS)


def write_table(args: argparse.Namespace) -> int:
    """Sheets as Parquet or Arrow IPC files: 0, or 2 when a workbook
    cannot be read or pyarrow is not installed."""
    try:
        convert.pyarrow_modules()
    except ImportError:
        print(f"vellum: --format {args.format} needs pyarrow (pip install pyarrow, or Debian's "
              "python3-pyarrow)", file=sys.stderr)
        return 2
    options = {"sheet": args.sheet, "header": not args.no_header, "limit": args.limit}
    if len(args.file) > 1 or os.path.isdir(args.output):
        return write_tables(args, options)
    try:
        convert.convert(source_of(args.file[0]), args.output, args.format, **options)
    except (WorkbookError, ValueError) as e:
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    return 0


def write_tables(args: argparse.Namespace, options: dict[str, Any]) -> int:
    """Each workbook into the directory -o names, `--jobs` at once."""
    if "-" in args.file:
        print("vellum: - (standard input) is one workbook alone", file=sys.stderr)
        return 2
    failed = 0
    progress = Progress(sys.stderr, "converting", len(args.file)) if sys.stderr.isatty() else None
    try:
        done = convert.convert_many(args.file, args.output, args.format, args.jobs, **options)
        for count, (file, error) in enumerate(done, 1):
            if error is not None:
                failed += 1
                if progress:
                    progress.close()
                print(f"vellum: {error}" if file in error else f"vellum: {file}: {error}", file=sys.stderr)
            if progress:
                progress(count)
    except (ValueError, OSError) as e:
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    finally:
        if progress:
            progress.close()
    return 2 if failed else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; the exit status is returned."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] == "info":  # a file called "info" is ./info
        return info(argv[1:])
    ap = parser()
    args = ap.parse_args(argv)
    if args.limit is not None and args.limit < 0:
        ap.error("--limit must not be negative")
    if args.format in TABLE_FORMATS:
        if not args.output:
            ap.error(f"--format {args.format} writes a file: name it with -o")
        if args.jobs < 1:
            ap.error("--jobs must be at least 1")
        if args.all or args.list or args.formulas or args.row_numbers or args.formatted or args.keep_empty:
            ap.error(f"--format {args.format} writes one sheet's values: --all, --list, --formulas, "
                     "--row-numbers, --formatted and --keep-empty are for CSV")
        return write_table(args)
    if args.output or args.no_header or args.jobs != 1 or len(args.file) > 1:
        ap.error("-o, --no-header, --jobs and several files go with --format parquet or arrow")
    try:
        with Workbook(source_of(args.file[0]), data_only=not args.formulas) as book:
            if args.formatted:
                # the number formats render dates and durations from the
                # serial numbers themselves
                book.date_formats, book.timedelta_formats = set(), set()
            if args.list:
                list_sheets(book)
            elif args.all:
                for sheet in book.sheets:
                    print(f"# sheet: {sheet.name}")
                    print_sheet(book, sheet, args)
            else:
                print_sheet(book, pick(book, args.sheet), args)
    except WorkbookError as e:
        sys.stdout.flush()
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    return 0


def run() -> None:
    """The console script: `main`, with output errors handled as a
    command-line tool handles them."""
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # the reader of our output went away (e.g. `| head`): not an error;
        # stdout is pointed at nothing so that the exit flush stays quiet
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 0
    except OSError as e:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        print(f"vellum: write error: {e.strerror or e}", file=sys.stderr)
        status = 1
    sys.exit(status)


if __name__ == "__main__":
    run()
