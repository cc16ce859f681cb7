"""py_strip against str.strip, over every code point."""
import sys

import _vellum_testing as native


def test_every_code_point_alone_and_around_text():
    for cp in range(sys.maxunicode + 1):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        for s in (c, c + "x" + c, "x" + c + c, c + c + "x", c + "\u3000x\xa0" + c):
            assert native.py_strip(s) == s.strip(), hex(cp)


def test_runs_of_mixed_widths():
    ws = " \t\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000\x1c"
    s = ws + "a\u200bb" + ws[::-1]
    assert native.py_strip(s) == "a\u200bb"
    assert native.py_strip(ws) == ""
    assert native.py_strip("") == ""
