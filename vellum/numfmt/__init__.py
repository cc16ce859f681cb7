"""Number formats: a cell's value as a spreadsheet displays it.

    >>> format_value(1234.5, "#,##0.00")
    '1,234.50'
    >>> format_value(45000.75, "dddd, mmmm d, yyyy h:mm AM/PM")
    'Wednesday, March 15, 2023 6:00 PM'

`format_value(value, code)` renders a number, a date, a time, a duration,
a boolean or a text through a number format code the way a spreadsheet
application shows the cell (in the en-US locale): sections and conditions
(``0.00;(0.00);"zero";@``, ``[>=1000]...``), date and time codes (y, m, d,
h, s, AM/PM, fractional seconds), elapsed time (``[h]:mm:ss``), fractions
(``# ?/?``, ``# ??/16``), percent, scientific and engineering notation,
thousands separators and scaling commas, text (``@``), literals (quoted,
escaped with a backslash, ``_x`` spacing) and currency tags (``[$€-407]``).
Colours and locale tags are ignored; fill characters (``*x``) take no room.

Where applications differ, this follows LibreOffice, which the test suite
compares it with: the General format shows up to 15 significant digits and
switches to scientific notation for very large and very small numbers; a
``?`` placeholder pads with a figure space (U+2007); a clock time shows the
seconds it has reached (10:30:02.998 is 10:30:02) while elapsed time and
fractions of a second are rounded; dates count from 1899-12-30 (1904-01-01
in the 1904 date system) without the 1900 leap-year quirk of old.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from vellum.numfmt.codes import compiled
from vellum.numfmt.dates import minute_runs, serial_of
from vellum.numfmt.numbers import FIGURE_SPACE, GENERAL_MAX, general
from vellum.reference.styles import BUILTIN_FORMATS

__all__ = ["BUILTIN_SHOWN", "FIGURE_SPACE", "format_value", "formatter", "general", "shown_code",
           "shows_time"]


# The built-in formats (by numFmtId) as they show in the en-US locale,
# where that is not the code the standard lists: the short date of 14 and
# 22 is the locale's, 5 to 8 and 41 to 44 are its currency and accounting
# formats, which the standard leaves to the locale; 47 is listed as "mmss.0".
BUILTIN_SHOWN = {
    5: '"$"#,##0_);("$"#,##0)', 6: '"$"#,##0_);[Red]("$"#,##0)',
    7: '"$"#,##0.00_);("$"#,##0.00)', 8: '"$"#,##0.00_);[Red]("$"#,##0.00)',
    14: "m/d/yyyy", 22: "m/d/yyyy h:mm",
    39: "#,##0.00_);(#,##0.00)", 40: "#,##0.00_);[Red](#,##0.00)",
    41: '_(* #,##0_);_(* (#,##0);_(* "-"_);_(@_)',
    42: '_("$"* #,##0_);_("$"* (#,##0);_("$"* "-"_);_(@_)',
    43: '_(* #,##0.00_);_(* (#,##0.00);_(* "-"??_);_(@_)',
    44: '_("$"* #,##0.00_);_("$"* (#,##0.00);_("$"* "-"??_);_(@_)',
    47: "mm:ss.0",
}


def shown_code(fmt_id: int, code: str | None) -> str:
    """The code a cell of number format `fmt_id` is shown through, given
    the `code` its workbook has for that id (None: none): a built-in one as
    the en-US locale shows it (`BUILTIN_SHOWN`), otherwise `code`, or
    General."""
    if fmt_id in BUILTIN_SHOWN and (code is None or code == BUILTIN_FORMATS.get(fmt_id)):
        return BUILTIN_SHOWN[fmt_id]
    return "General" if code is None else code


def format_value(value: Any, code: str = "General", *, date1904: bool = False) -> str:
    """The text a spreadsheet shows for `value` in a cell formatted with
    `code` (see the module's docstring). Numbers (int, float), dates and
    times (``datetime``, ``date``, ``time``, ``timedelta``, as serial
    numbers of the 1900 date system or, with `date1904`, of the 1904 one),
    booleans and texts are rendered; None gives ""; anything else its
    ``str``. A date outside the years 1 to 9999 is shown as its number."""
    if value is None:
        return ""
    fmt = compiled(code)
    if isinstance(value, str):
        return fmt.text(value)
    if isinstance(value, bool):
        if fmt.general:
            return "TRUE" if value else "FALSE"
        return fmt.number(int(value), date1904)
    if isinstance(value, (int, float)):
        return fmt.number(value, date1904)
    serial = serial_of(value, date1904)
    if serial is None:
        return str(value)
    return fmt.number(serial, date1904)


def formatter(code: str, *, date1904: bool = False) -> Callable[[Any], str]:
    """``format_value`` with the code and date system bound, for rendering
    many values of one format: General is rendered without the way round
    through its sections."""
    fmt = compiled(code)
    if fmt.code_is_general:
        return _general_value
    return lambda value: format_value(value, code, date1904=date1904)


def _general_value(value: Any) -> str:
    kind = type(value)
    if kind is str:
        return value
    if kind is float:
        if -GENERAL_MAX < value < GENERAL_MAX and value.is_integer():
            return str(int(value))
        return general(value)
    if kind is int and -GENERAL_MAX < value < GENERAL_MAX:
        return str(value)
    return format_value(value)


def shows_time(code: str) -> bool:
    """Whether the number format `code` shows a time of day or a duration
    for positive numbers (hours, minutes, seconds, AM/PM, elapsed time):
    "yyyy-mm-dd h:mm" does, "d-mmm-yy" does not."""
    sec = compiled(code).sections[0]
    if sec.kind != "date":
        return False
    minutes = minute_runs(sec.tokens)
    return any(k in ("elapsed", "frac") or (k == "date" and (t[0].lower() in "hsa" or i in minutes))
               for i, (k, t) in enumerate(sec.tokens))


