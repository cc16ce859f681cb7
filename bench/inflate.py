"""Inflate speed of the benchmark workbooks' sheet parts, per library, in
one run:

- zipfile: `ZipFile.open(...).read(65536)` to the end, zlib underneath (the
  floor the other benchmarks measure against);
- zlib, isal: a raw deflate stream fed from the archive in 64 KiB reads,
  each read inflated in pieces of at most 64 KiB (bounded memory), CRC-32
  of the output computed by the same library;
- isal-whole: the whole compressed member inflated in one call, to a new
  bytes object of the member's size;
- libdeflate-whole: the same into a buffer kept from run to run, so that
  no page is freshly touched (libdeflate has no streaming interface; it is
  reached through ctypes here, to measure it, not to use it);
- vellum: the package's member reader (`vellum.zipread`) with the library
  it picked, read(65536) to the end.

    bash scripts/devenv.sh bench inflate [--runs N] [--rows N] [--json PATH]

Each result is first checked against zipfile's bytes; times are medians.
"""
import ctypes
import ctypes.util
import os
import struct
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(__file__))
import workbooks  # noqa: E402
from common import arguments, median_seconds, write_json  # noqa: E402
from vellum import zipread  # noqa: E402

try:
    from isal import isal_zlib
except ImportError:
    isal_zlib = None

PART = "xl/worksheets/sheet1.xml"
CHUNK = 1 << 16


def member_bytes(path):
    """(compressed bytes, where they start, uncompressed size, CRC-32) of
    the sheet part."""
    with zipfile.ZipFile(path) as z, open(path, "rb") as f:
        info = z.getinfo(PART)
        f.seek(info.header_offset)
        name_len, extra_len = struct.unpack("<HH", f.read(30)[26:30])
        start = info.header_offset + 30 + name_len + extra_len
        f.seek(start)
        return f.read(info.compress_size), start, info.file_size, info.CRC


def by_zipfile(path):
    with zipfile.ZipFile(path) as z, z.open(PART) as part:
        while part.read(CHUNK):
            pass


def streamed(lib):
    def run(path, offset, size):
        d = lib.decompressobj(-15)
        crc, out = 0, 0
        with open(path, "rb") as f:
            f.seek(offset)
            left = size
            while left:
                data = f.read(min(CHUNK, left))
                left -= len(data)
                while data:
                    piece = d.decompress(data, CHUNK)
                    crc = lib.crc32(piece, crc)
                    out += len(piece)
                    data = d.unconsumed_tail
        return out, crc
    return run


def by_vellum(path):
    with zipfile.ZipFile(path) as z, zipread.open_member(z, z.getinfo(PART)) as part:
        while part.read(CHUNK):
            pass


class LibDeflate:
    """The two calls of libdeflate that a whole-buffer inflate needs."""

    def __init__(self):
        name = ctypes.util.find_library("deflate")
        if name is None:
            raise OSError("no libdeflate")
        lib = ctypes.CDLL(name)
        lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
        lib.libdeflate_deflate_decompress.argtypes = [
            ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t,
            ctypes.POINTER(ctypes.c_size_t)]
        lib.libdeflate_crc32.restype = ctypes.c_uint32
        lib.libdeflate_crc32.argtypes = [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_size_t]
        self.lib, self.d = lib, lib.libdeflate_alloc_decompressor()

    def inflate(self, data, out):
        """Inflate into `out` (a bytearray of the member's size, reused, so
        that its pages are not freshly touched): (size, CRC-32)."""
        got = ctypes.c_size_t()
        buf = (ctypes.c_char * len(out)).from_buffer(out)
        if self.lib.libdeflate_deflate_decompress(self.d, data, len(data), buf, len(out), ctypes.byref(got)):
            raise ValueError("libdeflate: bad deflate data")
        return got.value, self.lib.libdeflate_crc32(0, buf, got.value)


def main():
    args = arguments(7, workbooks.ROWS).parse_args()
    runs = max(args.runs, 5)
    try:
        libdeflate = LibDeflate()
    except OSError:
        libdeflate = None
    results = []
    print(f"vellum's member reader uses {zipread.BACKEND}", flush=True)
    for kind in workbooks.KINDS:
        path = workbooks.path(kind, args.rows)
        comp, offset, size, crc = member_bytes(path)
        with zipfile.ZipFile(path) as z:
            want = z.read(PART)
        cases = {"zipfile": lambda: by_zipfile(path),
                 "zlib": lambda: streamed(zlib)(path, offset, len(comp)),
                 "vellum": lambda: by_vellum(path)}
        if isal_zlib is not None:
            cases["isal"] = lambda: streamed(isal_zlib)(path, offset, len(comp))
            cases["isal-whole"] = lambda: isal_zlib.decompress(comp, -15, size)
        if libdeflate is not None:
            out = bytearray(size)
            cases["libdeflate-whole"] = lambda: libdeflate.inflate(comp, out)
        checks = {"zlib": (size, crc), "isal": (size, crc), "libdeflate-whole": (size, crc)}
        for name, fn in cases.items():
            got = fn()
            if name in checks and got != checks[name] or name == "isal-whole" and got != want:
                sys.exit(f"{name} inflated the {kind} sheet wrongly")
        with zipfile.ZipFile(path) as z, zipread.open_member(z, z.getinfo(PART)) as part:
            if part.read() != want:
                sys.exit(f"vellum's member reader inflated the {kind} sheet wrongly")
        times = {name: median_seconds(fn, runs) for name, fn in cases.items()}
        mb = size / 1e6
        print(f"{kind:8} sheet part {mb:.1f} MB ({len(comp) / 1e6:.1f} MB compressed)", flush=True)
        for name, t in times.items():
            print(f"  {name:17} {t * 1e3:7.1f} ms  {mb / t:6.0f} MB/s  "
                  f"{times['zipfile'] / t:5.2f}x zipfile", flush=True)
            results.append({"workbook": kind, "library": name, "seconds": t, "mb": mb,
                            "mb_per_s": mb / t, "vs_zipfile": times["zipfile"] / t})
    if args.json:
        write_json(args.json, "inflate", {"rows": args.rows, "runs": runs,
                                          "backend": zipread.BACKEND, "results": results})


if __name__ == "__main__":
    main()
