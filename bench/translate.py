"""Shared-formula translation: one master compiled once, then N translations
to successive destination rows, native against the reference translator in
the same run. Native is timed twice: the engine's own loop (translate_into
into one reused buffer, as the cell store does) and one Python call per
translation (includes the call and str creation).

    bash scripts/devenv.sh bench translate [N] [RUNS]
"""
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "build" / "release"), str(ROOT)]

import vellum._vellum  # noqa: E402,F401  (an editable install rebuilds on import)
import _vellum_testing as native  # noqa: E402
from vellum.reference.formula import (TokenizerError, Translator,  # noqa: E402
                                      TranslatorError, column_letters)

MASTER = "=IF(Sheet1!$A2>0,SUM(B2:D2)*$E$1,VLOOKUP(A2,'Data sheet'!$A:$C,3,FALSE))+C$1"
ORIGIN = (2, 6)  # F2


def outcome(fn):
    try:
        return fn()
    except TranslatorError as e:
        return "TranslatorError", str(e)


def median_time(fn, runs):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rows = range(ORIGIN[0], ORIGIN[0] + n)
    ref = Translator(MASTER, f"F{ORIGIN[0]}")
    nat = native.formula_compile(MASTER, *ORIGIN, (TokenizerError, TranslatorError))
    dests = [f"F{r}" for r in rows]

    # Right first: every destination of the run, and a few columns over.
    for r in rows[:: max(1, n // 1000)]:
        for c in (1, 6, 300):
            assert outcome(lambda: nat.translate((r, c))) == outcome(
                lambda: ref.translate_formula(f"{column_letters(c)}{r}")), (r, c)
    total = sum(len(ref.translate_formula(d)) for d in dests[:1000])
    assert nat.translate_run(ORIGIN[0], ORIGIN[1], 1000) == total

    t_ref = median_time(lambda: [ref.translate_formula(d) for d in dests], runs)
    t_loop = median_time(lambda: nat.translate_run(ORIGIN[0], ORIGIN[1], n), runs)
    t_call = median_time(lambda: [nat.translate((r, 6)) for r in rows], runs)

    print(f"master: {MASTER}")
    print(f"{n} translations, median of {runs} runs")
    for name, t in [("reference", t_ref), ("native, engine loop", t_loop),
                    ("native, one Python call each", t_call)]:
        print(f"  {name:30s} {t:8.3f} s  {n / t:14,.0f} /s  x{t_ref / t:8.1f}")


if __name__ == "__main__":
    main()
