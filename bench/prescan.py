"""prescan_sheet over a worksheet part of 1,000,000 numeric cells from
memory, against expat parsing the same bytes without handlers and against
find_dimension, in the same run:

- no rows and no corners: the walk only looks for '<' (target: 5x expat);
- want_rows=True on the same sheet with a height on every row, so that
  every row tag is read and reported (target: 2x expat).

    bash scripts/devenv.sh bench prescan [--runs N]
"""
import argparse
import io
import xml.parsers.expat

from common import median_seconds
from find_dimension import sheet
from vellum._vellum import find_dimension, prescan_sheet
from vellum.reference import make_helpers
from vellum.reference.prescan import prescan_sheet as pure_prescan

HELPERS = make_helpers()


def expat_parse(data):
    xml.parsers.expat.ParserCreate().Parse(data, True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--rows", type=int, default=100_000)
    args = ap.parse_args()
    plain = sheet(args.rows)
    tall = plain.replace(b' spans="1:10">', b' spans="1:10" ht="20" customHeight="1">')
    # right first: the package's own scan gives the same dicts
    small = sheet(200).replace(b' spans="1:10">', b' spans="1:10" ht="20" customHeight="1">')
    for want_rows, corners in ((False, None), (True, None), (True, [(7, 3), (200, 10)])):
        assert prescan_sheet(io.BytesIO(small), want_rows, corners, HELPERS) == \
            pure_prescan(io.BytesIO(small), want_rows, corners, HELPERS)
    got = prescan_sheet(io.BytesIO(tall), True, None, HELPERS)
    assert len(got["rows"]) == args.rows and got["rows"][-1][0] == args.rows
    assert [e[0][:12] for e in got["head"]] == [b"<sheetViews>", b"<sheetFormat"]

    mb = len(plain) / 1e6
    times = {
        "prescan, no rows": median_seconds(lambda: prescan_sheet(io.BytesIO(plain), False, None, HELPERS), args.runs),
        "prescan, want_rows": median_seconds(lambda: prescan_sheet(io.BytesIO(tall), True, None, HELPERS), args.runs),
        "find_dimension": median_seconds(lambda: find_dimension(io.BytesIO(plain)), args.runs),
        "expat, no rows": median_seconds(lambda: expat_parse(plain), args.runs),
        "expat, tall rows": median_seconds(lambda: expat_parse(tall), args.runs),
    }
    sizes = {"prescan, want_rows": len(tall) / 1e6, "expat, tall rows": len(tall) / 1e6}
    print(f"sheet: {mb:.1f} MB ({len(tall) / 1e6:.1f} MB with heights), {args.rows * 10:,} cells; "
          f"medians of {args.runs} runs")
    for name, t in times.items():
        print(f"{name + ':':22s}{sizes.get(name, mb) / t:8.1f} MB/s  ({t * 1000:.1f} ms)")
    print(f"no rows:   {times['expat, no rows'] / times['prescan, no rows']:6.2f}x expat, "
          f"{times['find_dimension'] / times['prescan, no rows']:6.2f}x find_dimension")
    print(f"want_rows: {times['expat, tall rows'] / times['prescan, want_rows']:6.2f}x expat")


if __name__ == "__main__":
    main()
