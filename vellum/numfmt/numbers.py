"""Numbers through number sections: the General format, digit
placeholders, grouping and scaling, scientific notation and fractions,
each rounded as the applications round (15 significant digits of the
shortest decimal form, half up)."""
from __future__ import annotations

import decimal
import math
from fractions import Fraction

FIGURE_SPACE = "\u2007"
# Beyond this magnitude General shows scientific notation (2**53: every
# integer below it is exact in a double).
GENERAL_MAX = 9007199254740992.0
# Digits a placeholder shows where the number has none: "0" a zero, "?" a
# figure space (the width of a digit), "#" nothing.
FILLER = {"0": "0", "?": FIGURE_SPACE, "#": ""}


# Room for the digits of any double written out in full, and then some.
CONTEXT = decimal.Context(prec=400, rounding=decimal.ROUND_HALF_UP, Emax=999999, Emin=-999999)


def significant(x: float | int) -> decimal.Decimal:
    """`x` to 15 significant digits, the precision applications show, its
    shortest decimal form rounded half up (0.8065977692604065 gives
    0.806597769260407)."""
    if isinstance(x, int) and -10**15 < x < 10**15:
        return decimal.Decimal(x)
    try:
        d = decimal.Decimal(repr(float(x)))
    except OverflowError:  # an integer beyond any double
        d = decimal.Decimal(x)
    if not d.is_finite() or not d:
        return d
    return d.quantize(decimal.Decimal(1).scaleb(d.adjusted() - 14), context=CONTEXT)


def rounded(x: decimal.Decimal, places: int) -> decimal.Decimal:
    return x.quantize(decimal.Decimal(1).scaleb(-places), context=CONTEXT)


def digits_of(x: decimal.Decimal) -> str:
    """A non-negative decimal's digits written out, without exponent."""
    return format(x, "f")


def general(x: float | int) -> str:
    """A number in the General format: integers as they are, anything else
    to 15 significant digits, scientific notation from 2**53 up and for
    small numbers that would need more than 16 decimals (always below
    1e-9)."""
    if isinstance(x, int) and -GENERAL_MAX < x < GENERAL_MAX:
        return str(x)
    try:
        x = float(x)
    except OverflowError:
        return str(x)
    if x == 0 or math.isnan(x) or math.isinf(x):
        return "0" if x == 0 else str(x)
    ax = abs(x)
    if ax < GENERAL_MAX and x.is_integer():
        return str(int(x))
    short = repr(x)
    if "e" not in short and len(short) - 1 - (x < 0) - (ax < 1) <= 15:
        return short  # its shortest form is within the 15 digits shown
    d = significant(x)
    e = d.adjusted()
    digits = "".join(map(str, d.as_tuple().digits)).rstrip("0")
    if ax >= GENERAL_MAX or e <= -10 or (e <= -5 and -e - 1 + len(digits) > 16):
        m = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
        return f"{'-' if x < 0 else ''}{m}E{'+' if e >= 0 else '-'}{abs(e):0{3 if e >= 0 else 2}d}"
    text = digits_of(d)
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def render_number(tokens: list[tuple[str, str]], x: float | int) -> tuple[str, bool]:
    """A non-negative number through the tokens of a number section, and
    whether what shows is zero."""
    kinds = [k for k, _ in tokens]
    percent = kinds.count("%")
    if "/" in kinds:
        return _fraction(tokens, float(significant(x).scaleb(2 * percent)))
    end = kinds.index("E") if "E" in kinds else len(tokens)
    digits = [i for i in range(end) if kinds[i] == "digit"]
    last = digits[-1] if digits else -1
    # commas after the last digit placeholder divide by a thousand each;
    # one between integer placeholders groups the thousands
    scale = sum(1 for i in range(last + 1, end) if kinds[i] == ",")
    point = kinds.index(".") if "." in kinds[:end] else end
    whole_digits = [i for i in digits if i < point]
    grouped = bool(whole_digits) and any(kinds[i] == "," for i in range(whole_digits[0], whole_digits[-1]))
    places = len(digits) - len(whole_digits)
    value = significant(x).scaleb(2 * percent - 3 * scale)
    if "E" in kinds:
        return _scientific(tokens, value, point, end, places)
    value = rounded(value, places)
    whole, _, frac = digits_of(value).partition(".")
    whole = whole.lstrip("0")
    zero = not whole and not frac.strip("0")
    return _fill(tokens[:point], whole, grouped) + _fill_fraction(tokens[point:end], frac), zero


def _shown(kind: str, text: str) -> str:
    """What a token other than a digit placeholder shows in a number."""
    return text if kind in ("lit", "%") else ""


def _fill(tokens: list[tuple[str, str]], digits: str, grouped: bool) -> str:
    """The integer part: `digits` placed in the digit placeholders from the
    right, the first placeholder taking any left over; a placeholder
    without a digit shows "0" (0), a figure space (?) or nothing (#)."""
    slots = [i for i, (k, _) in enumerate(tokens) if k == "digit"]
    parts = [_shown(k, t) for k, t in tokens]
    pos = len(digits)
    count = 0  # digits shown so far, from the right, for the grouping
    for n, i in enumerate(reversed(slots)):
        first = n == len(slots) - 1
        take = digits[:pos] if first else digits[pos - 1:pos] if pos else ""
        pos -= len(take)
        if not take:
            take = FILLER[tokens[i][1]]
            if take == FIGURE_SPACE:
                parts[i] = take
                continue
        out = []
        for d in reversed(take):
            if grouped and count and count % 3 == 0:
                out.append(",")
            out.append(d)
            count += 1
        parts[i] = "".join(reversed(out))
    return "".join(parts)


def _fill_fraction(tokens: list[tuple[str, str]], frac: str) -> str:
    """The decimal point and the fraction's placeholders, left to right;
    trailing zeros show as "0" (0), a figure space (?) or nothing (#), and
    the point goes when nothing follows it."""
    if not tokens:
        return ""
    slots = [i for i, (k, _) in enumerate(tokens) if k == "digit"]
    keep = len(frac.rstrip("0"))
    parts = [_shown(k, t) for k, t in tokens]
    for n, i in enumerate(slots):
        d = frac[n] if n < len(frac) else "0"
        if n < keep:
            parts[i] = d
        else:
            parts[i] = FILLER[tokens[i][1]]
    after = "".join(parts[1:])
    return ("." if after and any(parts[i] for i in slots) else "") + after


def _scientific(tokens: list[tuple[str, str]], value: decimal.Decimal, point: int, end: int,
                places: int) -> tuple[str, bool]:
    """Mantissa and exponent: as many integer digits as the integer part
    has placeholders (all "0"), or the exponent a multiple of their count
    (any "#": engineering notation)."""
    ints = [t for k, t in tokens[:point] if k == "digit"]
    n = max(1, len(ints))
    exp = 0
    if value:
        e10 = value.adjusted()
        exp = (e10 // n) * n if "#" in ints else e10 - (n - 1)
    mant = rounded(value.scaleb(-exp), places)
    if mant >= 10 ** n:  # rounded up to one digit more: 9.99 to 10.0
        exp += n if "#" in ints else 1
        mant = rounded(value.scaleb(-exp), places)
    whole, _, frac = digits_of(mant).partition(".")
    whole = whole.lstrip("0")
    sign_code = tokens[end][1]
    exp_digits = [t for k, t in tokens[end + 1:] if k == "digit"]
    sign = "-" if exp < 0 else "+" if sign_code[1] == "+" else ""
    exp_text = sign_code[0] + sign + str(abs(exp)).rjust(len(exp_digits), "0")
    rest = "".join(_shown(k, t) for k, t in tokens[end + 1:])
    zero = not whole and not frac.strip("0")
    return _fill(tokens[:point], whole, False) + _fill_fraction(tokens[point:end], frac) \
        + exp_text + rest, zero


def _fraction(tokens: list[tuple[str, str]], x: float) -> tuple[str, bool]:
    """``# ?/?``, ``?/8`` and the like: a whole part (when the code has one)
    and the closest fraction with that many denominator digits, or that
    denominator."""
    if not math.isfinite(x):
        return general(x), False
    slash = next(i for i, (k, _) in enumerate(tokens) if k == "/")
    fixed = tokens[slash][1]
    groups, i = [], slash - 1  # the numerator's placeholders, then the whole part's
    while i >= 0 and tokens[i][0] != "digit":
        i -= 1
    num_end = i + 1
    while i >= 0 and tokens[i][0] == "digit":
        i -= 1
    num_start = i + 1
    has_whole = any(k == "digit" for k, _ in tokens[:num_start])
    x = float(x)
    whole = math.floor(x) if has_whole else 0
    rest = x - whole
    den_slots = [t for k, t in tokens[slash + 1:] if k == "digit"]
    if fixed:
        den = int(fixed)
        num = int(rounded(significant(rest * den), 0))
    else:
        num, den = _closest(rest, 10 ** max(1, len(den_slots)) - 1)
    if has_whole and num == den:
        whole, num = whole + 1, 0
    zero = whole == 0 and num == 0
    head = _fill(tokens[:num_start], str(whole) if whole else "", False)
    if has_whole and num == 0:
        # the whole number alone: blanks where the fraction would stand
        if not head.strip(FIGURE_SPACE + " ") and not whole:
            head = _fill(tokens[:num_start], "0", False)
        blank = "".join(FIGURE_SPACE if k == "digit" else " " if k == "/" else t
                        for k, t in tokens[num_start:] if k in ("digit", "lit", "/"))
        return head + blank, zero
    numerator = _fill(tokens[num_start:num_end], str(num), False)
    between = "".join(t for k, t in tokens[num_end:slash] if k == "lit")
    after = tokens[slash + 1:]
    if fixed:
        denominator = fixed + "".join(t for k, t in after if k == "lit")
    else:
        text, slots = str(den), [j for j, (k, _) in enumerate(after) if k == "digit"]
        parts = [t if k == "lit" else "" for k, t in after]
        for n, j in enumerate(slots):
            parts[j] = text[n] if n < len(text) else \
                FILLER[after[j][1]]
        if len(text) > len(slots) and slots:
            parts[slots[-1]] += text[len(slots):]
        denominator = "".join(parts)
    return head + numerator + between + "/" + denominator, zero


def _closest(x: float, max_den: int) -> tuple[int, int]:
    """The fraction num/den closest to `x` (0 <= x < 1 mostly) with den up
    to `max_den`, by the continued fraction of `x`."""
    if x <= 0:
        return 0, 1
    f = Fraction(x).limit_denominator(max_den)
    return f.numerator, f.denominator


