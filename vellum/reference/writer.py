"""The reference host's worksheet writer: a sheet's ``<sheetData>`` in
either of the package's two serialisers, and the helpers the engine's
`SheetWriter` is given.

"lxml mode" writes every row and cell through ``lxml.etree.xmlfile``, so
its bytes are lxml's own (ASCII, other characters as character
references); "standard mode" writes them through the standard library's
``xml.etree.ElementTree`` (UTF-8 text, ``<v />`` for empty elements). The
engine's writer reproduces both byte for byte and hands every cell it does
not reproduce to `write_cell` below; this module is its fallback and oracle.

Two choices of this writer that a plain serialiser would not make:

- A carriage return in character data is written ``&#13;`` in both modes.
  The standard library writes it raw, and every XML reader turns a raw one
  into a line feed, so a text with "\\r" would not read back as saved.
- A row is built apart and reaches the output only once it is complete, so
  a cell that raises midway (in `write_row` above all, whose caller may
  carry on and flush) leaves no half-written ``<row>`` behind.
"""
from __future__ import annotations

import datetime
import decimal
import io
import math
import re
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from vellum.reference.cell import (ILLEGAL_XML, INFINITY_ERROR, NAN_ERROR, column_letter, nan_inf_to_errors,
                                   nonfinite, refusal, refused, text_refusal)
from vellum.reference.styles import BUILTIN_FORMATS, StyleArray, date_format_ids, dated_style
from vellum.reference.values import ESCAPED_XML, ArrayFormula, DataTableFormula, check_cell
from vellum.utils.datetime import WINDOWS_EPOCH

XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"
FLUSH_AT = 1 << 20  # rows are handed to `write` in chunks of about 1 MiB
_LIMIT53 = 2**53
_NUMBERS = (int, float, decimal.Decimal)
_INT64 = range(-2**63, 2**63)


def format_g16(x: float) -> str:
    """The text of C's ``%.16g`` for a finite float."""
    return "%.16g" % x


def shortest_text(x: float) -> str:
    """The shortest digits that read back as the finite float `x` (those of
    its `repr`), laid out as ``%.16g`` lays out its digits: plain from 1e-4
    to below 1e16, else with an exponent of at least two digits."""
    sign, digits, exponent = decimal.Decimal(repr(x)).as_tuple()
    text = "".join(map(str, digits)).rstrip("0") or "0"
    assert isinstance(exponent, int)
    # the power of ten of the first digit
    power = exponent + len(digits) - 1
    minus = "-" if sign else ""
    if power < -4 or power >= 16:
        mantissa = text[0] + ("." + text[1:] if len(text) > 1 else "")
        return f"{minus}{mantissa}e{'-' if power < 0 else '+'}{abs(power):02d}"
    if power < 0:
        return f"{minus}0.{'0' * (-power - 1)}{text}"
    whole, fraction = text[:power + 1].ljust(power + 1, "0"), text[power + 1:]
    return minus + whole + ("." + fraction if fraction else "")


def float_text(x: float) -> str:
    """``%.16g`` of the finite float `x` where that reads back as `x`, else
    the shortest text that does: a value needing 17 significant digits
    keeps them, and every other value is written as it always was."""
    text = "%.16g" % x
    return text if float(text) == x else shortest_text(x)


def number_text(value: int | float) -> str:
    """A number as the writer puts it in ``<v>``: integers up to 2**53 in
    full, integral floats below 1e16 without a point, anything else as
    `float_text`; "" for NaN and the infinities."""
    if type(value) is int:
        return str(value) if -_LIMIT53 <= value <= _LIMIT53 else float_text(float(value))
    if math.isnan(value) or math.isinf(value):
        return ""
    negative_zero = value == 0 and math.copysign(1, value) < 0
    if value.is_integer() and abs(value) < 1e16 and not negative_zero:
        return str(int(value))
    return float_text(value)


# An underscore that begins what the file format reads as an escaped
# character, "_x" and four hex digits and "_" ("_x000D_" is a carriage
# return to every spreadsheet application).
_ESCAPE_SHAPED = re.compile("_(?=x[0-9A-Fa-f]{4}_)")


def escape_underscores(text: str) -> str:
    """`text` with each underscore that begins an ``_xHHHH_`` shape written
    as the format's escape for an underscore, ``_x005F_``, so that readers
    give back the text itself ("_x0041_" is saved as "_x005F_x0041_")."""
    return _ESCAPE_SHAPED.sub("_x005F_", text) if "_x" in text else text


def cell_text(text: str) -> str:
    """A cell's text as it is written: `escape_underscores`, then each
    character XML cannot carry written as the format's escape ``_xHHHH_``
    ("\\x01" as "_x0001_"), which readers decode back, as spreadsheet
    applications write such text. The underscores go first, so that the
    escapes made here are not themselves escaped."""
    return ESCAPED_XML.sub(_hex_escape, escape_underscores(text))


def _hex_escape(found: re.Match[str]) -> str:
    return f"_x{ord(found.group()):04X}_"


def safe_string(text: str) -> str:
    """`text` unchanged, or ValueError when it holds a character that XML
    1.0 cannot carry (control characters other than tab, line feed and
    carriage return, lone surrogates): such a text cannot be saved without
    changing it, and silently changing data is worse than refusing."""
    found = ILLEGAL_XML.search(text)
    if found:
        raise ValueError(f"text holds U+{ord(found.group()):04X}, which an xlsx file cannot "
                         f"carry: {text[:40]!r}")
    return text


# -- dates ------------------------------------------------------------------

_DAY_US = 86_400_000_000


def to_excel(value: Any, epoch: datetime.datetime = WINDOWS_EPOCH) -> float | int:
    """A date, date-time, time of day or duration as a serial number counted
    in days from `epoch`, with the 1900 leap-year rule of the Windows epoch
    (serials 1 to 60 are one less than the day count)."""
    if isinstance(value, datetime.timedelta):
        return (value.days * _DAY_US + value.seconds * 1_000_000 + value.microseconds) / _DAY_US
    if isinstance(value, datetime.time):
        return (value.microsecond / 10**6
                + (value.hour * 3600 + value.minute * 60 + value.second)) / 86400
    if not isinstance(value, datetime.datetime):
        value = datetime.datetime(value.year, value.month, value.day)
    delta = value.replace(tzinfo=None) - epoch
    micros = delta.days * _DAY_US + delta.seconds * 1_000_000 + delta.microseconds
    days = micros // _DAY_US
    if epoch == WINDOWS_EPOCH and 0 < days <= 60:
        days -= 1
    return days + (value.microsecond / 10**6
                   + (value.hour * 3600 + value.minute * 60 + value.second)) / 86400


def date_value_raw(ws: Any, value: Any) -> tuple[Any, bool]:
    """(what to write, is_iso) for a date or time value of worksheet `ws`:
    its ISO 8601 text when the workbook writes ``iso_dates``, else its
    serial number. Other values (None included) pass through."""
    if not isinstance(value, (datetime.date, datetime.time, datetime.timedelta)):
        return value, False
    book = ws.parent
    if getattr(book, "iso_dates", False) and not isinstance(value, datetime.timedelta):
        return value.isoformat(), True
    return to_excel(value, getattr(book, "epoch", WINDOWS_EPOCH)), False


def date_value(ws: Any, cell: Any) -> tuple[Any, bool]:
    """`date_value_raw` of a cell's value."""
    return date_value_raw(ws, cell._value)


def add_comment(ws: Any, cell: Any) -> None:
    """Record a cell's comment for the comments part (kept on the
    worksheet as ``ws._comments``: the save writes no comments part yet)."""
    comments = ws.__dict__.setdefault("_comments", [])
    comments.append(cell)


# -- one cell -------------------------------------------------------------

def has_style(style: Any) -> bool:
    """Whether a cell's ``_style`` is anything but the default style."""
    return style is not None and any(style)


def _content(ws, cell, saved=None):
    """(t text or None, kind, text, v) of a cell: kind "empty", "v", "is",
    "f" or "array"/"table" (text then the formula object); v is the value a
    formula was saved with (`saved`: see `make_writer_helpers`), kept while
    the cell holds the formula it was read with, else None. Texts are
    written with `cell_text`, so they read back as they are."""
    data_type = cell.data_type
    value = cell._value
    t = None if data_type == "f" else "inlineStr" if data_type == "s" else data_type
    if data_type == "d":
        value, iso = date_value(ws, cell)
        t = "d" if iso else "n"
    if value is None or (isinstance(value, str) and not value):
        return t, "empty", "", None
    if data_type == "f":
        v = None
        if saved and (found := saved.get((cell.row, cell.column))) is not None \
                and found[0] == value:
            _, t, v = found
            v = cell_text(_text(cell, v))
        if isinstance(value, ArrayFormula):
            return t, "array", value, v
        if isinstance(value, DataTableFormula):
            return t, "table", value, v
        return t, "f", _text(cell, str(value), formula=True)[1:], v
    if isinstance(value, bool):
        text = "1" if value else "0"
    elif isinstance(value, _NUMBERS):
        if nonfinite(value) and nan_inf_to_errors(ws):
            nan = value.is_nan() if isinstance(value, decimal.Decimal) else math.isnan(value)
            return "e", "v", NAN_ERROR if nan else INFINITY_ERROR, None
        if (why := refusal(value)) is not None:
            raise refused(cell, why)
        text = number_text(int(value) if isinstance(value, int) else float(value))
    elif isinstance(value, str):
        text = cell_text(_text(cell, str(value)))
    else:
        text = str(value)
    if data_type == "s":
        return t, ("is" if text else "empty"), text, None
    return t, ("v" if text or not isinstance(value, str) else "empty"), text, None


def _text(cell, text, formula=False):
    """`text` unchanged, or ValueError naming the cell when no xlsx file
    can carry it (a formula has no escape for characters XML cannot carry)."""
    if (why := text_refusal(text, not formula, "formula" if formula else "text")) is not None:
        raise refused(cell, why)
    return text


def _attrs(ws, cell, styled, t):
    row, column = check_cell(cell.row, cell.column)
    attrs = {"r": f"{column_letter(column)}{row}"}
    style = cell._style
    if cell.data_type == "d":
        # a date read under a format that shows none (t="d" under General)
        # is saved with one, or it would read back as its serial number
        formats = getattr(ws.parent, "_number_formats", BUILTIN_FORMATS)
        dated = dated_style(style, cell._value, formats)
        if dated is not None:
            style, styled = dated, True
    if styled:
        attrs["s"] = str(ws.parent._cell_styles.add(style))
    if t is not None:
        attrs["t"] = t
    return attrs


def _preserve(text, lxml):
    stripped = text.strip()
    return stripped != text and (lxml or stripped != "")


def _array_attrs(formula):
    """The attributes of an array formula's ``f``: its range, when it has
    one (read without one, it is saved without one, not as "None")."""
    if formula.ref is None:
        return {"t": "array"}
    return {"t": "array", "ref": str(formula.ref)}


def _etree():
    # lxml mode only: the standard mode needs nothing beyond the standard library
    from lxml import etree
    return etree


def _lxml_cell(xf, attrs, kind, text, v=None):
    with xf.element("c", attrs):
        if kind == "v":
            with xf.element("v"):
                xf.write(text)
        elif kind == "is":
            with xf.element("is"):
                t = _etree().Element("t")
                if _preserve(text, True):
                    t.set(XML_SPACE, "preserve")
                t.text = text
                xf.write(t)
        elif kind in ("f", "array", "table"):
            if kind == "f":
                with xf.element("f"):
                    xf.write(text)
            elif kind == "array":
                with xf.element("f", _array_attrs(text)):
                    xf.write(safe_string(str(text.text or ""))[1:])
            else:
                with xf.element("f", {k: str(a) for k, a in text.attrs.items()}):
                    pass
            with xf.element("v"):
                if v:
                    xf.write(v)


def _standard_cell(attrs, kind, text, v=None):
    c = ET.Element("c", attrs)
    if kind == "v":
        ET.SubElement(c, "v").text = text
    elif kind == "is":
        t = ET.SubElement(ET.SubElement(c, "is"), "t")
        if _preserve(text, False):
            t.set(XML_SPACE, "preserve")
        t.text = text
    elif kind in ("f", "array", "table"):
        if kind == "f":
            ET.SubElement(c, "f").text = text
        elif kind == "array":
            f = ET.SubElement(c, "f", _array_attrs(text))
            f.text = safe_string(str(text.text or ""))[1:]
        else:
            ET.SubElement(c, "f", {k: str(a) for k, a in text.attrs.items()})
        ET.SubElement(c, "v").text = v or None
    # the serialiser leaves a carriage return in text raw; readers would
    # make it a line feed (attribute values already have it escaped)
    return ET.tostring(c, encoding="unicode").replace("\r", "&#13;")


def cell_xml(ws: Any, cell: Any, styled: bool, lxml: bool, saved: Any = None) -> str | bytes:
    """The complete ``<c>`` element of one cell: bytes written by lxml in
    lxml mode, text written by the standard library otherwise."""
    t, kind, text, v = _content(ws, cell, saved)
    attrs = _attrs(ws, cell, styled, t)
    if not lxml:
        return _standard_cell(attrs, kind, text, v)
    out = io.BytesIO()
    with _etree().xmlfile(out) as xf:
        _lxml_cell(xf, attrs, kind, text, v)
    return out.getvalue()


def make_write_cell(lxml: bool, saved: Any = None) -> Callable[[Any, Any, bool], str | bytes]:
    """The ``write_cell(ws, cell, styled)`` helper of one output mode: the
    cell's XML, its link (if any) added to the sheet's as for any cell."""
    def write_cell(ws: Any, cell: Any, styled: bool) -> str | bytes:
        link = cell.hyperlink
        xml = cell_xml(ws, cell, styled, lxml, saved)
        if link:
            ws._hyperlinks.append(link)
        return xml
    return write_cell


def make_writer_helpers(lxml: bool, book: Any = None,
                        formula_values: dict[tuple[int, int], tuple[Any, str | None, str]]
                        | None = None) -> dict[str, Any]:
    """The ``helpers`` dict the engine's `SheetWriter` receives: for the
    cells of `book` (whose number formats tell which show dates), and with
    `formula_values`, ``{(row, column): (formula, t, text)}``, the value each
    formula was saved with (its ``<v>`` text and the cell's ``t``, None for a
    number), written while the cell holds that formula still."""
    formats = getattr(book, "_number_formats", BUILTIN_FORMATS)
    return {
        "StyleArray": StyleArray,
        "add_comment": add_comment,
        "write_cell": make_write_cell(lxml, formula_values),
        "date_value": date_value,
        "safe_string": safe_string,
        "date_formats": date_format_ids(formats),
        "formula_values": formula_values or None,
    }


# -- rows -------------------------------------------------------------------

def rows(ws: Any) -> Iterator[tuple[int, list[Any]]]:
    """The host's grouping of a worksheet's cells for writing: (row number,
    that row's cells in column order) in ascending row order, rows that only
    have row dimensions included with no cells. Keys that are not (row,
    column) pairs of integers are grouped by ``cell.row`` and
    ``cell.column``; row dimension keys are taken by their `int`."""
    grouped: dict[int, list[Any]] = {}
    for key in list(ws._cells):
        cell = ws._cells[key]
        grouped.setdefault(int(cell.row), []).append(cell)
    for key in ws.row_dimensions.keys():
        grouped.setdefault(int(key), [])
    for row in sorted(grouped):
        yield row, sorted(grouped[row], key=lambda c: c.column)


def _row_attrs(ws, row_idx):
    attrs = {"r": str(row_idx)}
    found = ws.row_dimensions.get(row_idx)
    if found is not None:
        attrs.update(found)
    return attrs


class SheetWriter:
    """The package's writer of a worksheet's ``<sheetData>``, with the
    engine's interface: ``SheetWriter(ws, write, lxml, helpers)``, then one
    `write_sheet_data` call or `write_row` calls and `flush`. `write`
    receives the XML in chunks (bytes in lxml mode, text otherwise)."""

    def __init__(self, ws: Any, write: Callable[[Any], Any], lxml: bool,
                 helpers: dict[str, Any]) -> None:
        self.ws = ws
        self.write = write
        self.lxml = lxml
        self.helpers = helpers
        self._buf: list[Any] = []
        self._size = 0

    def _append(self, chunk):
        self._buf.append(chunk)
        self._size += len(chunk)

    def _hand_over(self, force=False):
        if self._buf and (force or self._size >= FLUSH_AT):
            chunk = (b"" if self.lxml else "").join(self._buf)
            self.write(chunk)
            self._buf, self._size = [], 0

    def _cells(self, cells, put):
        """Each cell that is written: its comment recorded, its XML put."""
        ws = self.ws
        for cell in cells:
            if cell._comment is not None:
                self.helpers["add_comment"](ws, cell)
            styled = has_style(cell._style)
            if cell._value is None and not styled and not cell._comment:
                continue
            link = cell.hyperlink
            put(cell, styled)
            if link:
                ws._hyperlinks.append(link)

    def _row(self, row_idx, cells):
        """One complete ``<row>`` element, built apart from the output."""
        ws = self.ws
        saved = self.helpers.get("formula_values")
        attrs = _row_attrs(ws, row_idx)
        if not self.lxml:
            start = ET.tostring(ET.Element("row", attrs), encoding="unicode")
            parts = [start[:-3] + ">"]
            self._cells(cells, lambda cell, styled: parts.append(
                _standard_cell(_attrs(ws, cell, styled, (c := _content(ws, cell, saved))[0]),
                               *c[1:])))
            parts.append("</row>")
            return "".join(parts)
        out = io.BytesIO()
        with _etree().xmlfile(out) as xf, xf.element("row", attrs):
            def put(cell, styled):
                t, kind, text, v = _content(ws, cell, saved)
                _lxml_cell(xf, _attrs(ws, cell, styled, t), kind, text, v)
            self._cells(cells, put)
        return out.getvalue()

    def write_sheet_data(self, rows_fallback: Callable[[], Iterable[tuple[int, Iterable[Any]]]],
                         ) -> None:
        """Write the whole ``<sheetData>`` element, its rows as
        `rows_fallback` (the host's `rows` grouping) gives them."""
        self._append(b"<sheetData>" if self.lxml else "<sheetData>")
        for row_idx, cells in rows_fallback():
            self._append(self._row(row_idx, cells))
            self._hand_over()
        self._append(b"</sheetData>" if self.lxml else "</sheetData>")
        self._hand_over(force=True)

    def write_row(self, cells: Iterable[Any], row_idx: int) -> None:
        """Write one ``<row>`` of a write-only sheet. If a cell raises, the
        row is left out entirely and the output stays well-formed; so it is
        when handing the output over fails (what was there before stays for
        the next flush)."""
        row = self._row(row_idx.__index__(), cells)
        self._append(row)
        try:
            self._hand_over()
        except BaseException:
            self._buf.pop()
            self._size -= len(row)
            raise

    def write_values(self, values: Iterable[Any], row_idx: int,
                     make_cell: Callable[[int, int, Any], Any], styles: Any = None) -> int:
        """Write one ``<row>`` of a new row's values, the cell of each value
        but None made by ``make_cell(row, column, value)``; return the
        highest column written to, or 0. Whole or not at all, as `write_row`.
        `styles` (the cells' style ids as text) tells the engine what
        make_cell gives; here every cell is made by it."""
        row_idx = row_idx.__index__()
        cells = [make_cell(row_idx, column, value)
                 for column, value in enumerate(tuple(values), 1) if value is not None]
        self.write_row(cells, row_idx)
        return cells[-1].column if cells else 0

    def flush(self) -> None:
        """Hand everything buffered to `write`."""
        self._hand_over(force=True)
