"""find_dimension over a worksheet part of 1,000,000 numeric cells without a
dimension element (so the whole sheet is read), against expat with
namespace processing parsing the same bytes from memory, in the same run.

    bash scripts/devenv.sh bench find_dimension [--runs N]
"""
import argparse
import io
import xml.parsers.expat

from common import median_seconds
from vellum._vellum import find_dimension

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
COLS = "ABCDEFGHIJ"


def sheet(rows, dimension=b""):
    parts = [b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n',
             b'<worksheet xmlns="%s" xmlns:r="http://schemas.openxmlformats.org/'
             b'officeDocument/2006/relationships"><sheetViews><sheetView workbookViewId="0"/>'
             b'</sheetViews><sheetFormatPr defaultRowHeight="15"/><sheetData>' % MAIN.encode()]
    for r in range(1, rows + 1):
        cells = []
        for i, col in enumerate(COLS):
            value = b"%d" % (r * 10 + i) if i % 2 == 0 else b"%d.%d" % (r, i * 37 + 1)
            cells.append(b'<c r="%s%d" t="n"><v>%s</v></c>' % (col.encode(), r, value))
        parts.append(b'<row r="%d" spans="1:10">%s</row>' % (r, b"".join(cells)))
    parts.append(dimension + b'</sheetData><pageMargins left="0.7" right="0.7" top="0.75" '
                 b'bottom="0.75" header="0.3" footer="0.3"/></worksheet>')
    return b"".join(parts)


def expat_parse(data):
    p = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    p.Parse(data, True)



def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--rows", type=int, default=100_000)
    args = ap.parse_args()
    data = sheet(args.rows)
    # right first: no dimension -> None; one at the end of sheetData is found
    assert find_dimension(io.BytesIO(data)) is None
    tail = sheet(50, b'<dimension ref="A1:J50"/>')
    assert find_dimension(io.BytesIO(tail)) == (b'<dimension ref="A1:J50"/>',
                                                [("", MAIN), ("r", "http://schemas.openxmlformats.org/officeDocument/2006/relationships")])
    expat_parse(data)
    mb = len(data) / 1e6
    ours = median_seconds(lambda: find_dimension(io.BytesIO(data)), args.runs)
    theirs = median_seconds(lambda: expat_parse(data), args.runs)
    print(f"sheet: {mb:.1f} MB, {args.rows * len(COLS):,} cells; medians of {args.runs} runs")
    print(f"find_dimension: {mb / ours:8.1f} MB/s  ({ours * 1000:.1f} ms)")
    print(f"expat (ns):     {mb / theirs:8.1f} MB/s  ({theirs * 1000:.1f} ms)")
    print(f"ratio:          {theirs / ours:8.2f}x expat")


if __name__ == "__main__":
    main()
