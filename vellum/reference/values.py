"""Value helpers of the reference host: the conversions the engine hands to
the package whenever a cell holds a form it does not decide itself.

Each function is the plain-Python behaviour the engine must agree with
wherever it decides natively; the engine's tests compare against them.
"""
import datetime
import re

from vellum.utils.datetime import WINDOWS_EPOCH

# Characters XML 1.0 cannot carry, lone surrogates included.
ILLEGAL_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
# Those of them a cell's text still carries, as the format's own escape
# "_xHHHH_" (readers decode it); a lone surrogate is no character, and
# "_xD83D_" alone reads back as those seven characters.
ESCAPED_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")
LONE_SURROGATE = re.compile("[\ud800-\udfff]")

MS_PER_DAY = 86_400_000


def _time_of_day(ms):
    return datetime.time(ms // 3_600_000, ms // 60_000 % 60, ms // 1000 % 60, ms % 1000 * 1000)


def from_excel(value, epoch=WINDOWS_EPOCH, timedelta=False):
    """A serial date number as a ``datetime`` (or a ``time`` for serials in
    [0, 1)), counted in days from ``epoch`` and rounded to the millisecond.

    With the Windows epoch the serials 1 to 59 count from one day later: the
    1900 date system numbers a 29 February 1900 that never existed (serial
    60), so 59 and 60 both give 1900-02-28. Out-of-range serials raise what
    Python's datetime arithmetic raises (``OverflowError``; ``ValueError``
    for NaN and the infinities).

    ``timedelta=True`` (cells with a duration format) gives the serial as a
    ``datetime.timedelta`` of that many days, rounded to the millisecond,
    without any calendar adjustment.
    """
    if value is None:
        return None
    day, fraction = divmod(value, 1)
    ms = round(fraction * 86400 * 1000)
    if timedelta:
        return datetime.timedelta(days=day) + datetime.timedelta(milliseconds=ms)
    if 0 <= value < 1 and ms < MS_PER_DAY:
        return _time_of_day(ms)
    if 0 < value < 60 and epoch == WINDOWS_EPOCH:
        day += 1
    return epoch + datetime.timedelta(days=day) + datetime.timedelta(milliseconds=ms)


# A worksheet's bounds, "XFD1048576": no spreadsheet application opens a
# cell beyond them. Reading refuses a cell or row past them (the part is
# damaged) and no cell can be set there, so whatever is read can be saved.
MAX_ROW = 1_048_576
MAX_COLUMN = 16_384

_COORDINATE = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)")


def column_index(letters):
    """Column letters as a number: "A" is 1, "Z" 26, "AA" 27, "ZZZ" 18,278."""
    n = 0
    for c in letters.upper():
        n = n * 26 + ord(c) - 64
    return n


def coordinate_to_tuple(coordinate):
    """An A1 reference as (row, column). Absolute markers ("$B$3") and lower
    case ("b3") are accepted as a user writes them, as are leading zeros in
    the row; anything else, or a cell beyond "XFD1048576", raises
    ``ValueError``."""
    m = _COORDINATE.fullmatch(coordinate)
    if not m or not 1 <= int(m[2]) <= MAX_ROW or column_index(m[1]) > MAX_COLUMN:
        raise ValueError(f"Invalid cell coordinates ({coordinate})")
    return int(m[2]), column_index(m[1])


def check_cell(row, column):
    """(row, column) of a cell a worksheet can hold: ints within "XFD1048576",
    the last cell spreadsheet applications open; ValueError naming the cell
    otherwise."""
    if type(row) is int and type(column) is int and 1 <= row <= MAX_ROW and 1 <= column <= MAX_COLUMN:
        return row, column
    if type(row) is not int or type(column) is not int:
        raise ValueError(f"a cell's row and column are ints, not ({row!r}, {column!r})")
    raise ValueError(f"no cell at row {row}, column {column}: a worksheet has rows 1 to {MAX_ROW:,} "
                     f"and columns 1 to {MAX_COLUMN:,} (A to XFD)")


def next_index(index, limit, what):
    """The row or column after `index` (for a row or cell without a
    reference); ValueError past the sheet's last (`limit`)."""
    if index >= limit:
        raise ValueError(f"Invalid {what} index ({index + 1}): a sheet has {limit} {what}s")
    return index + 1


def row_index(text):
    """The row number of a ``row`` element's ``r`` text. Integral decimal
    forms such as "4.0" or "1e1" are accepted as the number they denote;
    anything else, or a row outside 1 to 1,048,576, raises ``ValueError``."""
    try:
        row = int(text)
    except ValueError:
        number = float(text)
        if not number.is_integer():
            raise ValueError(f"Invalid row index ({text})") from None
        row = int(number)
    if not 1 <= row <= MAX_ROW:
        raise ValueError(f"Invalid row index ({text})")
    return row


def from_ISO8601(formatted_string):
    """The value of a cell of type "d": ISO 8601 text as a ``datetime``
    (date-only text gives midnight of that day) or, for a time of day
    without a date, a ``time``. A trailing "Z" is dropped, giving a naive
    value as every other cell date is. Other text raises ``ValueError``."""
    text = formatted_string.strip()
    if text.endswith(("Z", "z")):
        text = text[:-1]
    if ":" in text and "-" not in text.partition("T")[0]:
        return datetime.time.fromisoformat(text.removeprefix("T"))
    return datetime.datetime.fromisoformat(text)


def date_warning(coordinate, value):
    """The warning text for a date-formatted cell whose serial number is no
    valid date; ``coordinate`` is the cell's ``r`` text or None."""
    where = f"Cell {coordinate}" if coordinate is not None else "A cell"
    return (f"{where} is marked as a date but the serial value {value} is outside "
            "the limits for dates. The cell will be treated as an error.")


class ArrayFormula:
    """An array formula: the range it fills and its text ("=..." form)."""

    __slots__ = ("ref", "text")

    def __init__(self, ref, text=None):
        self.ref = ref
        self.text = text

    def __eq__(self, other):
        if not isinstance(other, ArrayFormula):
            return NotImplemented
        return (self.ref, self.text) == (other.ref, other.text)

    __hash__ = None

    def __repr__(self):
        return f"ArrayFormula(ref={self.ref!r}, text={self.text!r})"


class DataTableFormula:
    """A data-table formula, holding the ``f`` element's attributes as given
    (all as text, keyed by attribute name); they are readable as attributes.
    Attributes the table does not use are kept, not refused."""

    def __init__(self, **attrs):
        self.attrs = dict(attrs)

    def __getattr__(self, name):
        try:
            return self.__dict__["attrs"][name]
        except KeyError:
            raise AttributeError(name) from None

    def __eq__(self, other):
        if not isinstance(other, DataTableFormula):
            return NotImplemented
        return self.attrs == other.attrs

    __hash__ = None

    def __repr__(self):
        inner = ", ".join(f"{k}={v!r}" for k, v in self.attrs.items())
        return f"DataTableFormula({inner})"
