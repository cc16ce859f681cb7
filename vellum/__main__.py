"""Command line: print the rows of a worksheet of an xlsx file.

    python -m vellum FILE.xlsx [--sheet NAME] [--limit N] [--list]

Each row is printed as its values separated by tabs (an empty cell prints as
nothing). Problems with the input are reported in one line on standard error
with exit status 2 (bad file or sheet) or 1 (a sheet that cannot be read).
"""
import argparse
import sys

from vellum.workbook import Workbook, WorkbookError


def format_row(values):
    return "\t".join("" if v is None else str(v) for v in values)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python -m vellum",
                                 description="Print the rows of a worksheet.")
    ap.add_argument("file", help="an .xlsx or .xlsm file")
    ap.add_argument("--sheet", help="the worksheet's name (default: the first one)")
    ap.add_argument("--limit", type=int, metavar="N", help="print at most N rows")
    ap.add_argument("--list", action="store_true", help="list the worksheets and stop")
    args = ap.parse_args(argv)
    if args.limit is not None and args.limit < 0:
        ap.error("--limit must not be negative")
    try:
        with Workbook(args.file) as book:
            if args.list:
                for sheet in book.sheets:
                    print(sheet.name)
                return 0
            sheet = book.sheet(args.sheet)
            rows = book.iter_rows(sheet.name)
            try:
                for n, values in enumerate(rows):
                    if args.limit is not None and n >= args.limit:
                        break
                    print(format_row(values))
            finally:
                rows.close()
    except WorkbookError as e:
        print(f"vellum: {e}", file=sys.stderr)
        return 2
    except Exception as e:  # a damaged part: say what went wrong, in one line
        print(f"vellum: cannot read {args.file}: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # the reader of our output went away (e.g. `| head`): not an error
        sys.stdout = None
        status = 0
    sys.exit(status)
