"""Dates, times and durations through date sections: the calendar and the
clock of a serial number, elapsed time, and the date codes' texts in the
en-US locale."""
from __future__ import annotations

import datetime
import decimal
import math
from typing import Any

from vellum.numfmt.numbers import CONTEXT, digits_of, rounded, significant

# Serial day 0 of the 1900 and the 1904 date systems, counted without the
# 1900 system's leap day that never was, as LibreOffice counts.
EPOCHS = (datetime.datetime(1899, 12, 30), datetime.datetime(1904, 1, 1))
# Beyond any date of the years 1 to 9999, of either system.
MAX_SERIAL = 3_000_000
_MONTHS = ("January", "February", "March", "April", "May", "June", "July", "August",
           "September", "October", "November", "December")
_DAYS = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday")


def serial_of(value: Any, date1904: bool) -> float | None:
    """A date, time or duration as the serial number a cell holds."""
    if isinstance(value, datetime.timedelta):
        return value / datetime.timedelta(days=1)
    if isinstance(value, datetime.time):
        return (value.hour * 3600 + value.minute * 60 + value.second
                + value.microsecond / 1e6) / 86400
    if isinstance(value, datetime.date):
        if not isinstance(value, datetime.datetime):
            value = datetime.datetime.combine(value, datetime.time())
        return (value.replace(tzinfo=None) - EPOCHS[date1904]) / datetime.timedelta(days=1)
    return None


def render_date(tokens: list[tuple[str, str]], x: float, date1904: bool) -> str | None:
    """A serial number through a date section, or None when it is no date
    datetime can hold (nor a duration a double can count in seconds)."""
    if not math.isfinite(x * 86400) or (abs(x) > MAX_SERIAL and not any(k == "elapsed" for k, _ in tokens)):
        return None
    places = max((len(t) for k, t in tokens if k == "frac"), default=0)
    elapsed = [t for k, t in tokens if k == "elapsed"]
    clock12 = any(k == "date" and t.lower() in ("am/pm", "a/p") for k, t in tokens)
    minute_at = minute_runs(tokens)
    if elapsed:
        total = rounded(significant(abs(x) * 86400), places)
        secs = int(total)
        frac = digits_of(total).partition(".")[2]
        day, time = None, secs
        sign = "-" if x < 0 and total else ""
    else:
        sign = ""
        secs, frac = _clock(x, places)
        # the calendar reads the serial rounded to the millisecond, apart
        # from the clock: 0.999999999 shows 1899-12-31 23:59:59
        try:
            day = EPOCHS[date1904] + datetime.timedelta(days=round(x * 86_400_000) // 86_400_000)
        except OverflowError:
            return None
        time = secs
    hour, minute, second = time // 3600, time // 60 % 60, time % 60
    if elapsed and elapsed[0][0] != "h":
        # the elapsed minutes or seconds hold the whole time: above them, nothing
        hour = 0
        minute = minute if elapsed[0][0] == "m" else 0
    out = []
    for i, (k, t) in enumerate(tokens):
        if k == "lit":
            out.append(t)
        elif k == "frac":
            out.append("." + frac[:len(t)].ljust(len(t), "0"))
        elif k == "elapsed":
            unit = t[0]
            big = {"h": time // 3600, "m": time // 60, "s": time}[unit]
            if unit == elapsed[0][0] and unit in "hms":
                out.append(str(big).rjust(len(t), "0"))
            else:
                out.append(str({"h": hour, "m": minute, "s": second}[unit]).rjust(len(t), "0"))
        else:
            out.append(_date_part(t, i in minute_at, day, hour, minute, second, clock12, elapsed))
    return sign + "".join(out)


def _round(x: float, places: int) -> float:
    """`x` rounded half away from zero at `places` decimals, judged on its
    shortest decimal form (2.675 to 2.68)."""
    return float(decimal.Decimal(repr(x)).quantize(decimal.Decimal(1).scaleb(-places), context=CONTEXT))


def _clock(x: float, places: int) -> tuple[int, str]:
    """The time of day of a serial as whole seconds and the digits of the
    fraction shown. The day's fraction is rounded to the precision the
    serial's digits leave (nanoseconds for a time alone, fewer the more
    digits the day takes), then cut, not rounded, to the second: a clock
    shows the second it has reached; a fraction of a second shown is
    rounded, but never up into the next second."""
    t = x - math.floor(float(significant(x)))
    if t <= 0 or t >= 1:
        return 0, "0" * places
    ax = abs(x)
    digits = 9 if ax < 1 else min(9, max(2, 10 - math.ceil(math.log10(ax))))
    seconds = min(_round(t * 86400, digits), 86399.999999999)
    whole = int(seconds)
    part = seconds - whole
    if not places:
        return whole, ""
    shown = _round(part, places)
    if shown >= 1:
        shown = math.trunc(part * 10**places) / 10**places
    return whole, f"{shown:.{places}f}"[2:]


def minute_runs(tokens: list[tuple[str, str]]) -> set[int]:
    """The positions of the m runs that are minutes: right after an hour or
    right before a second (literals between do not count)."""
    codes = [(i, t.lower()) for i, (k, t) in enumerate(tokens) if k in ("date", "elapsed")]
    found = set()
    for n, (i, t) in enumerate(codes):
        if t[0] != "m" or len(t) > 2:
            continue
        before = codes[n - 1][1] if n else ""
        after = codes[n + 1][1] if n + 1 < len(codes) else ""
        if before[:1] == "h" or after[:1] == "s":
            found.add(i)
    return found


def _date_part(t: str, minute: bool, day: datetime.datetime | None, hour: int, minutes: int,
               second: int, clock12: bool, elapsed: list[str]) -> str:
    """The text of one date code (a run such as "yyyy", "mmm", "AM/PM")."""
    low = t.lower()
    c, n = low[0], len(low)
    if low == "am/pm":
        return "AM" if hour % 24 < 12 else "PM"
    if low == "a/p":
        return "a" if hour % 24 < 12 else "p"
    if c == "h":
        h = hour % 24 if not elapsed else hour
        if clock12:
            h = h % 12 or 12
        return str(h).rjust(min(n, 2), "0")
    if c == "s":
        return str(second).rjust(min(n, 2), "0")
    if c == "m" and minute:
        return str(minutes).rjust(n, "0")
    if day is None:
        return t
    if c == "y":
        return str(day.year % 100).rjust(2, "0") if n <= 2 else str(day.year).rjust(4, "0")
    if c == "e":
        return str(day.year)
    if c == "m":
        if n == 1:
            return str(day.month)
        if n == 2:
            return str(day.month).rjust(2, "0")
        name = _MONTHS[day.month - 1]
        return name[:3] if n == 3 else name[0] if n == 5 else name
    if c == "d":
        if n == 1:
            return str(day.day)
        if n == 2:
            return str(day.day).rjust(2, "0")
        name = _DAYS[day.weekday()]
        return name[:3] if n == 3 else name
    return t
