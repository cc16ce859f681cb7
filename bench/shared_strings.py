"""read_string_table against the reference pure-Python reading of the same
shared-strings part: 1,000,000 plain strings, half of them repeats.

    bash scripts/devenv.sh bench shared_strings [--strings N] [--runs R]
"""
import argparse
import io
import random

from common import median_seconds
import vellum._vellum as engine
from vellum.reference import make_helpers
from vellum.reference.strings import read_shared_strings

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def make_part(n, seed=1):
    rnd = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "Straße", "東京", "x & y", "total"]
    pool = [f"{rnd.choice(words)} {i}" for i in range(1000)]
    items = []
    for i in range(n):
        text = pool[rnd.randrange(1000)] if i % 2 else f"{rnd.choice(words)} unique {i}"
        items.append("<si><t>" + text.replace("&", "&amp;") + "</t></si>")
    head = f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<sst xmlns="{MAIN}" count="{n}" uniqueCount="{n}">'
    return (head + "".join(items) + "</sst>").encode()



def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--strings", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    data = make_part(args.strings)
    helpers = make_helpers()
    native = lambda: engine.read_string_table(io.BytesIO(data), helpers)  # noqa: E731
    python = lambda: read_shared_strings(data)  # noqa: E731
    assert native() == python(), "results differ"
    tn, tp = median_seconds(native, args.runs), median_seconds(python, args.runs)
    mb = len(data) / 1e6
    print(f"part: {mb:.1f} MB, {args.strings:,} strings, medians of {args.runs} runs")
    print(f"engine:      {tn:.3f} s  {mb / tn:7.1f} MB/s  {args.strings / tn / 1e6:6.2f} M strings/s")
    print(f"pure Python: {tp:.3f} s  {mb / tp:7.1f} MB/s  {args.strings / tp / 1e6:6.2f} M strings/s")
    print(f"ratio: {tp / tn:.1f}x")


if __name__ == "__main__":
    main()
