"""Serial-date conversion and %.16g number text: the engine's conversions
(through the test-only extension, one call per list) against the reference
host's from_excel and Python's '%.16g' formatting, on the same inputs.

    bash scripts/devenv.sh bench dates_numtext [N]
"""
import os
import pathlib
import random
import statistics
import struct
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / os.environ.get("VELLUM_BUILD_DIR", "build/release")))
sys.path.insert(0, str(ROOT))

import vellum._vellum  # noqa: E402,F401  (rebuilds an editable install)
import _vellum_testing as t  # noqa: E402
from vellum.reference.values import from_excel  # noqa: E402
from vellum.utils.datetime import WINDOWS_EPOCH  # noqa: E402

RUNS = 7


def median_time(fn, arg):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def reference_dates(serials):
    return [from_excel(x, WINDOWS_EPOCH) for x in serials]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    rng = random.Random(7)
    serials = [rng.uniform(0, 80_000) for _ in range(n)]
    doubles = []
    while len(doubles) < n:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if x - x == 0:
            doubles.append(x)
    cell_numbers = [round(rng.uniform(-1e6, 1e6), rng.randrange(0, 6)) for _ in range(n)]
    epoch = (1899, 12, 30, 0, 0, 0, 0, True)

    def native_dates(xs):
        return t.from_excel_many(epoch, xs)

    def python_g16(xs):
        return ["%.16g" % x for x in xs]

    assert native_dates(serials) == reference_dates(serials)
    assert t.format_g16_many(doubles) == python_g16(doubles)
    assert t.format_g16_many(cell_numbers) == python_g16(cell_numbers)

    for name, native, python, data in [
        ("serial dates -> datetime", native_dates, reference_dates, serials),
        ("%.16g, random bit patterns", t.format_g16_many, python_g16, doubles),
        ("%.16g, cell-like numbers", t.format_g16_many, python_g16, cell_numbers),
    ]:
        a, b = median_time(native, data), median_time(python, data)
        print(f"{name:26s} engine {a * 1e9 / n:7.1f} ns/value  python {b * 1e9 / n:7.1f} "
              f"ns/value  ratio {b / a:5.1f}x  (n={n}, median of {RUNS})")


if __name__ == "__main__":
    main()
