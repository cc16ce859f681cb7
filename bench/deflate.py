"""Deflate speed and size of the benchmark workbooks' sheet parts, per
library and level, in one run: zlib (what zipfile writes with; `save` used
level 6) against ISA-L (`isal.isal_zlib`, levels 0 to 3), each fed 64 KiB
writes as zipfile's writer feeds it, CRC-32 included. Each output is first
inflated back and compared.

    bash scripts/devenv.sh bench deflate [--runs N] [--rows N] [--json PATH]
"""
import os
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import arguments, median_seconds, write_json  # noqa: E402

try:
    from isal import isal_zlib
except ImportError:
    isal_zlib = None

CHUNK = 1 << 16
LEVELS = [("zlib", zlib, level) for level in (1, 3, 6)]
if isal_zlib is not None:
    LEVELS += [("isal", isal_zlib, level) for level in (0, 1, 2, 3)]


def deflate(lib, level, data):
    c = lib.compressobj(level, zlib.DEFLATED, -15)
    out, crc = [], 0
    for i in range(0, len(data), CHUNK):
        piece = data[i:i + CHUNK]
        crc = lib.crc32(piece, crc)
        out.append(c.compress(piece))
    out.append(c.flush())
    return b"".join(out)


def main():
    args = arguments(5, workbooks.ROWS).parse_args()
    runs = max(args.runs, 5)
    results = []
    for kind in workbooks.KINDS:
        with zipfile.ZipFile(workbooks.path(kind, args.rows)) as z:
            data = z.read("xl/worksheets/sheet1.xml")
        mb = len(data) / 1e6
        print(f"{kind:8} sheet part {mb:.1f} MB", flush=True)
        base = None
        for name, lib, level in LEVELS:
            packed = deflate(lib, level, data)
            if zlib.decompress(packed, -15) != data:
                sys.exit(f"{name} level {level} deflated the {kind} sheet wrongly")
            t = median_seconds(lambda: deflate(lib, level, data), runs)
            if (name, level) == ("zlib", 6):
                base = (t, len(packed))
            results.append({"workbook": kind, "library": name, "level": level, "seconds": t,
                            "mb_per_s": mb / t, "bytes": len(packed), "ratio": len(data) / len(packed)})
        for r in results:
            if r["workbook"] == kind:
                r["vs_zlib6_time"], r["vs_zlib6_size"] = r["seconds"] / base[0], r["bytes"] / base[1]
                print(f"  {r['library']:5} level {r['level']}  {r['seconds'] * 1e3:7.1f} ms "
                      f"{r['mb_per_s']:6.0f} MB/s  {r['bytes'] / 1e6:6.2f} MB ({r['ratio']:4.1f}:1)  "
                      f"time {r['vs_zlib6_time']:.2f}x, size {r['vs_zlib6_size']:.2f}x zlib 6", flush=True)
    if args.json:
        write_json(args.json, "deflate", {"rows": args.rows, "runs": runs, "results": results})


if __name__ == "__main__":
    main()
