"""Command line: print the rows of xlsx worksheets as CSV or TSV, or write
one as a Parquet or Arrow IPC file.

    vellum FILE.xlsx [--sheet NAME|INDEX] [--all] [--list] [--formulas]
                     [--format csv|tsv] [--row-numbers] [--limit N]
    vellum FILE.xlsx [--sheet NAME|INDEX] --format parquet|arrow -o OUT [--no-header] [--limit N]
    vellum info FILE.xlsx

Parquet and Arrow IPC files hold the sheet as `vellum.read_table` reads it
(typed columns named by the first row, or by letter with `--no-header`),
written by pyarrow, which they need.

`info` prints, for each worksheet, its dimension, visibility, merged ranges,
frozen pane and row count (the last row of the dimension), read without
the cells.

Rows keep their positions (a row missing from the file prints as an empty
line, unless `--row-numbers` starts each printed row with its number).
Problems with the input are reported in one line on standard error with
exit status 2; a failed write with status 1. A reader that stops early
(``| head``) ends the program quietly with status 0.
"""
from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from collections.abc import Sequence
from typing import Any, TextIO

import vellum
from vellum.reference.values import ArrayFormula, DataTableFormula
from vellum.workbook import Workbook, WorkbookError, Worksheet

# A sheet part at least this large (uncompressed) shows a progress bar.
PROGRESS_MIN_BYTES = 2 << 20


def text(value: Any) -> str:
    """How a cell value is printed: formulas by their text, never a repr."""
    if value is None:
        return ""
    if isinstance(value, ArrayFormula):
        return value.text or ""
    if isinstance(value, DataTableFormula):
        args = ",".join(getattr(value, a, "") for a in ("r1", "r2") if getattr(value, a, None))
        return f"=TABLE({args})"
    return str(value)


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


def progress_for(sheet: Worksheet, book: Workbook) -> Progress | None:
    """A bar for this sheet when it is worth one and someone can see it:
    standard error is a terminal and the rows go elsewhere."""
    if not sys.stderr.isatty() or sys.stdout.isatty():
        return None
    size = book.part_size(sheet.part)
    if size < PROGRESS_MIN_BYTES:
        return None
    return Progress(sys.stderr, sheet.name, size)


def print_sheet(book: Workbook, sheet: Worksheet, writer: Any, args: argparse.Namespace) -> None:
    progress = progress_for(sheet, book)
    rows = sheet.iter_rows(values_only=True, row_numbers=True, progress=progress)
    try:
        for count, (number, row) in enumerate(rows):
            if args.limit is not None and count >= args.limit:
                break
            if args.row_numbers:
                if row:
                    writer.writerow([number, *map(text, row)])
            else:
                writer.writerow([text(v) for v in row])
    finally:
        rows.close()
        if progress:
            progress.close()


def list_sheets(book: Workbook) -> None:
    for i, name in enumerate(book.sheet_names):
        mark = f"\t({name.state})" if name.hidden else ""
        print(f"{i}\t{name}{mark}")


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(
        prog="vellum", description="Print the rows of a worksheet of an xlsx workbook as CSV.",
        epilog="Exit status: 0 done, 1 output could not be written, 2 the workbook or sheet "
               "could not be read.")
    ap.add_argument("file", help="an .xlsx or .xlsm file")
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
    ap.add_argument("--format", choices=("csv", "tsv", "parquet", "arrow"), default="csv",
                    help="comma- or tab-separated output (default: csv; cells holding a "
                         "separator, a quote or a line break are quoted), or a table of typed "
                         "columns written with pyarrow to the file -o names, as Parquet or as an "
                         "Arrow IPC file")
    ap.add_argument("-o", "--output", metavar="OUT",
                    help="the file to write (parquet and arrow formats)")
    ap.add_argument("--no-header", action="store_true",
                    help="(parquet, arrow) the first row is data; columns are named by letter")
    ap.add_argument("--row-numbers", action="store_true",
                    help="start each row with its row number and leave out empty rows")
    ap.add_argument("--limit", type=int, metavar="N", help="print at most N rows of each sheet")
    return ap


def pick(book: Workbook, key: str | None) -> Worksheet:
    if key is not None and key not in book.sheet_names and key.lstrip("-").isdigit():
        return book.sheet(int(key))
    return book.sheet(key)


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
    ap.add_argument("file", help="an .xlsx or .xlsm file")
    args = ap.parse_args(argv)
    try:
        with Workbook(args.file) as book:
            print_info(book)
    except WorkbookError as e:
        sys.stdout.flush()
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    return 0


TABLE_FORMATS = ("parquet", "arrow")


def write_table(args: argparse.Namespace) -> int:
    """One sheet as a Parquet or Arrow IPC file: 0, or 2 when the workbook
    cannot be read or pyarrow is not installed."""
    try:
        import pyarrow
        import pyarrow.ipc
        import pyarrow.parquet
    except ImportError:
        print(f"vellum: --format {args.format} needs pyarrow (pip install pyarrow, or Debian's "
              "python3-pyarrow)", file=sys.stderr)
        return 2
    try:
        with Workbook(args.file) as book:
            sheet = book.sheets.index(pick(book, args.sheet))
        table = vellum.read_table(args.file, sheet, header_row=None if args.no_header else 0,
                                  n_rows=args.limit).to_arrow(dictionaries=False)
    except (WorkbookError, ValueError) as e:
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    if args.format == "parquet":
        pyarrow.parquet.write_table(table, args.output)
    else:
        with pyarrow.OSFile(args.output, "wb") as f, pyarrow.ipc.new_file(f, table.schema) as w:
            w.write_table(table)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; the exit status is returned."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if len(argv) >= 2 and argv[0] == "info":
        return info(argv[1:])
    ap = parser()
    args = ap.parse_args(argv)
    if args.limit is not None and args.limit < 0:
        ap.error("--limit must not be negative")
    if args.format in TABLE_FORMATS:
        if not args.output:
            ap.error(f"--format {args.format} writes a file: name it with -o")
        if args.all or args.list or args.formulas or args.row_numbers:
            ap.error(f"--format {args.format} writes one sheet's values: "
                     "--all, --list, --formulas and --row-numbers are for CSV")
        return write_table(args)
    if args.output or args.no_header:
        ap.error("-o and --no-header go with --format parquet or arrow")
    dialect = "excel" if args.format == "csv" else "excel-tab"
    writer = csv.writer(sys.stdout, dialect=dialect, lineterminator="\n")
    try:
        with Workbook(args.file, data_only=not args.formulas) as book:
            if args.list:
                list_sheets(book)
            elif args.all:
                for sheet in book.sheets:
                    print(f"# sheet: {sheet.name}")
                    print_sheet(book, sheet, writer, args)
            else:
                print_sheet(book, pick(book, args.sheet), writer, args)
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
