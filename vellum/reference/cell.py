"""The reference host's cell. The engine creates cells without calling
``__init__`` and fills their slots directly: full reading writes ``parent``,
``_style``, ``row``, ``column``, ``_value``, ``_hyperlink``, ``data_type``
and ``_comment``; streaming writes ``parent``, ``row``, ``column``,
``_value``, ``data_type`` and ``_style_id``, plus ``formula`` and
``cached_value`` when formulas are read with their values. A slot left
unset by the engine raises ``AttributeError`` when read, as any slot does,
and is left out of ``dir()``; the properties below read only the slots
that both ways of reading fill, or look past a missing one.
"""
from __future__ import annotations

import datetime
import decimal
from typing import Any

from vellum.reference.styles import BUILTIN_FORMATS, format_kind
from vellum.reference.values import ArrayFormula, DataTableFormula

_LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def column_letter(n: int) -> str:
    """1 -> "A", 27 -> "AA"."""
    out = ""
    while n > 0:
        n, r = divmod(n - 1, 26)
        out = _LETTERS[r] + out
    return out


_NUMBERS = (int, float, decimal.Decimal)
_DATES = (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)
_FORMULAS = (ArrayFormula, DataTableFormula)


def data_type_of(value: Any) -> str:
    """The data type a cell takes when `value` is assigned to it: "n" for
    numbers and None, "b", "d" for dates, times and durations, "f" for
    formulas (a text starting with "=" and longer than it), "s" for text."""
    if value is None or (isinstance(value, _NUMBERS) and not isinstance(value, bool)):
        return "n"
    if isinstance(value, bool):
        return "b"
    if isinstance(value, str):
        return "f" if len(value) > 1 and value[0] == "=" else "s"
    if isinstance(value, _DATES):
        return "d"
    if isinstance(value, _FORMULAS):
        return "f"
    raise TypeError(f"a cell cannot hold a {type(value).__name__}: {value!r}")


class Hyperlink:
    """A cell's link: `ref` (the cell's coordinate) and `target`, a URL or
    "#" and a place in the workbook."""

    __slots__ = ("ref", "target")

    def __init__(self, ref: str, target: str) -> None:
        self.ref = ref
        self.target = target

    def __eq__(self, other: Any) -> bool:
        if not isinstance(other, Hyperlink):
            return NotImplemented
        return (self.ref, self.target) == (other.ref, other.target)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Hyperlink({self.ref!r}, {self.target!r})"


class Cell:
    """One cell: its worksheet (`parent`), `row`, `column`, `value`,
    `data_type` ("n", "s", "f", "b", "e", "d", ...), and, read in full, its
    style array. Assigning `value` sets the data type to match."""

    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style", "_style_id",
                 "_hyperlink", "_comment", "formula", "cached_value")

    def __init__(self, parent: Any, row: int, column: int, value: Any = None,
                 data_type: str = "n", style: Any = None, style_id: Any = 0) -> None:
        self.parent = parent
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style = style
        self._style_id = style_id
        self._hyperlink = None
        self._comment = None
        self.formula = None
        self.cached_value = None

    @property
    def value(self) -> Any:
        """The cell's value; assigning one sets `data_type` to match."""
        return self._value

    @value.setter
    def value(self, v: Any) -> None:
        self.data_type = data_type_of(v)
        self._value = v

    @property
    def hyperlink(self) -> Any:
        """The cell's hyperlink, or None. Assign a URL, or "#Sheet2!A1" for
        a place in the workbook; None removes it."""
        return self._hyperlink

    @hyperlink.setter
    def hyperlink(self, target: Any) -> None:
        self._hyperlink = None if target is None else Hyperlink(self.coordinate, str(target))

    @property
    def comment(self) -> Any:
        """The cell's comment, or None."""
        return self._comment

    @property
    def style_id(self) -> Any:
        """The index of the cell's style in its workbook's style list (an
        equal style array is added there if it is missing); read in
        streaming, the style id of the file."""
        style = getattr(self, "_style", None)
        if style is None:
            return getattr(self, "_style_id", 0)
        return self.parent.parent._cell_styles.add(style)

    @property
    def number_format(self) -> str:
        """The code of the cell's number format, "General" without a style."""
        style = getattr(self, "_style", None)
        if style is None:
            return "General"
        formats = getattr(getattr(self.parent, "parent", None), "_number_formats", BUILTIN_FORMATS)
        return formats.get(style[0], "General")

    @property
    def is_date(self) -> bool:
        """Whether the cell shows a date, a time or a duration: its value was
        read as one, or it holds a number under a date format."""
        if self.data_type == "d":
            return True
        return self.data_type == "n" and format_kind(self.number_format) is not None

    @property
    def coordinate(self) -> str:
        """The cell's A1 reference."""
        return f"{column_letter(self.column)}{self.row}"

    def __repr__(self) -> str:
        return f"<Cell {self.coordinate} {self._value!r}>"

    def __dir__(self) -> list[str]:
        # a slot the reading left unset (`formula` of a cell read in full)
        # raises when read: only the ones that can be read are listed
        return [n for n in super().__dir__() if n not in _SLOTS or hasattr(self, n)]


_SLOTS = frozenset(Cell.__slots__)


def fill_cell(cell: Any, ws: Any, style: Any, row: int, column: int, value: Any,
              data_type: str) -> Any:
    """`cell` with the eight slots a full reading fills written, and no
    others, as the engine's store writes them: no hyperlink, no comment."""
    cell.parent, cell._style, cell.row, cell.column = ws, style, row, column
    cell._value, cell._hyperlink, cell.data_type, cell._comment = value, None, data_type, None
    return cell


def blank_cell(ws: Any, row: int, column: int) -> Cell:
    """The cell `ws.cell(row, column)` creates where there was none, slot
    for slot as the engine's store creates it: value None, data type "n",
    no style, no hyperlink, no comment."""
    return fill_cell(object.__new__(Cell), ws, None, row, column, None, "n")
