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
import io
import os
import sys
import time
from collections.abc import Sequence
from typing import Any, TextIO

import vellum
from vellum import convert
from vellum.convert import pick
from vellum.csvrows import CellText, Rectangle
from vellum.extent import row_width
from vellum.streaming import StreamedWorksheet
from vellum.workbook import Workbook, WorkbookError

# A sheet part at least this large (uncompressed) shows a progress bar.
PROGRESS_MIN_BYTES = 2 << 20


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
