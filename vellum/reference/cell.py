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
import math
from typing import Any

from vellum.reference.formats import KINDS, CellFormat, attrs_of, format_id, from_attrs
from vellum.reference.styles import BUILTIN_FORMATS, StyleArray, format_kind
from vellum.reference.values import ILLEGAL_XML, LONE_SURROGATE, ArrayFormula, DataTableFormula

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


# The error values NaN and the infinities are saved as on request.
NAN_ERROR, INFINITY_ERROR = "#NUM!", "#DIV/0!"


def nonfinite(value: Any) -> bool:
    """Whether `value` is a NaN or an infinity (a float or a Decimal)."""
    if isinstance(value, float):
        return not math.isfinite(value)
    return isinstance(value, decimal.Decimal) and not value.is_finite()


def text_refusal(text: str, escaped: bool = True, what: str = "text") -> str | None:
    """Why no xlsx file can hold `text`, or None: a lone surrogate, or,
    where the text is written without the format's ``_xHHHH_`` escape
    (`escaped` false: a formula, a link), any character XML cannot carry."""
    found = (LONE_SURROGATE if escaped else ILLEGAL_XML).search(text)
    if found is None:
        return None
    return f"its {what} holds U+{ord(found.group()):04X}, which an xlsx file cannot carry: {text[:40]!r}"


def refusal(value: Any, nan_inf_to_errors: bool = False) -> str | None:
    """Why no xlsx file can hold `value` as it is, or None: a text holding
    a lone surrogate, a NaN or an infinity (unless they are to be saved as
    error values), a number beyond a spreadsheet's range (about ±1.8e308).
    Saving such a value would change it (NaN as an empty cell, 1E+400 read
    back as an infinity), a formula holding a character XML cannot carry.
    Control characters in text are no reason: a cell's text carries them
    as "_xHHHH_", as spreadsheet applications write them and as they are
    read."""
    if isinstance(value, str):
        return text_refusal(value, escaped=not (len(value) > 1 and value[0] == "="))
    if isinstance(value, bool) or not isinstance(value, _NUMBERS):
        return None
    if nonfinite(value):
        if nan_inf_to_errors:
            return None
        return (f"{value!r} is no number a spreadsheet holds (save NaN and infinities as the error "
                f"values {NAN_ERROR} and {INFINITY_ERROR} with the workbook's nan_inf_to_errors)")
    try:
        if math.isfinite(float(value)):
            return None
    except OverflowError:
        pass
    return f"{value!r} is beyond the numbers a spreadsheet holds (about ±1.8e308)"


def nan_inf_to_errors(ws: Any) -> bool:
    """Whether the workbook of worksheet `ws` saves NaN and infinities as
    error values."""
    return bool(getattr(getattr(ws, "parent", None), "nan_inf_to_errors", False))


def refused(cell: Any, why: str) -> ValueError:
    """The ValueError for a value `cell` cannot hold, naming the cell."""
    title = getattr(getattr(cell, "parent", None), "title", None)
    where = f"{title!r}!{cell.coordinate}" if isinstance(title, str) else cell.coordinate
    return ValueError(f"cell {where} cannot hold this value: {why}")
def changed(ws: Any) -> None:
    """Note that worksheet `ws` was written to (a value, a link, a style of
    one of its cells), so that a save writes it again rather than copying
    the part it was read from. Every change made through a cell calls it."""
    try:
        ws._changed = True
    except AttributeError:
        pass  # a cell of no sheet, or of a streamed one, which is never saved


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


# The slots each reading fills, in the order it fills them: a streamed cell
# the plain ones (and the formula pair where formulas are kept with their
# values), a cell of a worksheet read in full the full ones. The engine
# states the same lists (its CELL_SLOTS); a test holds the two together.
STREAMED_SLOTS = ("parent", "row", "column", "_value", "data_type", "_style_id")
FORMULA_SLOTS = ("formula", "cached_value")
FULL_SLOTS = ("parent", "_style", "row", "column", "_value", "_hyperlink", "data_type", "_comment")
def _book_table(cell: Any, name: str) -> Any:
    """The workbook's list `name` (``_fonts``, ...) of `cell`; ValueError
    for a cell of no workbook that keeps formats."""
    table = getattr(getattr(getattr(cell, "parent", None), "parent", None), name, None)
    if table is None:
        raise ValueError(f"cell {cell.coordinate} is in no workbook that takes formats")
    return table


def _restyle(cell: Any, position: int, index: int) -> None:
    """Give `cell` a new style array: its own with item `position` set to
    `index` (a new one, as other cells may hold equal arrays)."""
    style = getattr(cell, "_style", None)
    style = StyleArray() if style is None else StyleArray(style)
    style[position] = index
    cell._style = style
    changed(cell.parent)


def format_style(book: Any, fmt: CellFormat) -> StyleArray:
    """The style array of the formats `fmt` gives, in `book`'s lists (its
    records added where missing); the default style's for the others."""
    style = StyleArray()
    for kind, (position, name, _, objects) in KINDS.items():
        value = getattr(fmt, kind)
        if value is not None:
            style[position] = getattr(book, name).add(value if objects else attrs_of(value))
    if fmt.number_format is not None:
        style[0] = format_id(book._number_formats, fmt.number_format)
    return style


def _format_property(kind: str) -> property:
    position, name, cls, objects = KINDS[kind]

    def get(self):
        style = getattr(self, "_style", None)
        index = style[position] if style is not None else 0
        table = getattr(getattr(getattr(self, "parent", None), "parent", None), name, None)
        if table is None or not 0 <= index < len(table):
            return cls()
        return table[index] if objects else from_attrs(cls, table[index])

    def put(self, value):
        if not isinstance(value, cls):
            raise TypeError(f"a cell's {kind} is a {cls.__name__}, not {value!r}")
        table = _book_table(self, name)
        _restyle(self, position, table.add(value if objects else attrs_of(value)))

    return property(get, put, doc=f"The cell's {cls.__name__} (`vellum.{cls.__name__}`), "
                                  f"the default one without a style; assign one to set it.")


class Cell:
    """One cell: its worksheet (`parent`), `row`, `column`, `value`,
    `data_type` ("n", "s", "f", "b", "e", "d", ...), and, read in full, its
    style array. Assigning `value` sets the data type to match."""

    __slots__ = tuple(dict.fromkeys(STREAMED_SLOTS + FULL_SLOTS + FORMULA_SLOTS))

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
        """The cell's value; assigning one sets `data_type` to match.
        Assigning a value no xlsx file can hold raises ValueError naming the
        cell (see `refusal`): a text with a lone surrogate (or a formula
        with a character XML cannot carry), a number beyond ±1.8e308, or
        NaN or an infinity unless the workbook saves them as error values
        (its ``nan_inf_to_errors``)."""
        return self._value

    @value.setter
    def value(self, v: Any) -> None:
        data_type = data_type_of(v)
        if type(v) is not int or not -2**1023 < v < 2**1023:
            why = refusal(v, nonfinite(v) and nan_inf_to_errors(self.parent))
            if why is not None:
                raise refused(self, why)
        self.data_type = data_type
        self._value = v
        changed(self.parent)

    @property
    def hyperlink(self) -> Any:
        """The cell's hyperlink, or None. Assign a URL, or "#Sheet2!A1" for
        a place in the workbook; None removes it."""
        return self._hyperlink

    @hyperlink.setter
    def hyperlink(self, target: Any) -> None:
        if target is not None and (why := text_refusal(str(target), False, "link")) is not None:
            raise refused(self, why)
        self._hyperlink = None if target is None else Hyperlink(self.coordinate, str(target))
        changed(self.parent)

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
        """The code of the cell's number format, "General" without a style.
        Assign a format code ("0.00", "yyyy-mm-dd", ...) to set it."""
        style = getattr(self, "_style", None)
        if style is None:
            return "General"
        formats = getattr(getattr(self.parent, "parent", None), "_number_formats", BUILTIN_FORMATS)
        return formats.get(style[0], "General")

    @number_format.setter
    def number_format(self, code: str) -> None:
        _restyle(self, 0, format_id(_book_table(self, "_number_formats"), code))

    font = _format_property("font")
    fill = _format_property("fill")
    border = _format_property("border")
    alignment = _format_property("alignment")
    protection = _format_property("protection")

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


def _slot_filler(name: str, slots: tuple[str, ...], params: str, values: str) -> Any:
    """A function `name(cell, params)` that sets `slots` of `cell` to
    `values` in one statement and returns the cell, made from the layout
    as dataclasses make __init__: the slot names are written only there,
    and the function runs as fast as one written out (a loop of setattr
    costs five times as much per cell)."""
    source = (f"def {name}(cell, {params}):\n"
              f"    {', '.join('cell.' + s for s in slots)} = {values}\n"
              f"    return cell\n")
    namespace: dict[str, Any] = {}
    exec(source, namespace)  # noqa: S102 - the text is made from the constants above
    return namespace[name]


fill_cell = _slot_filler("fill_cell", FULL_SLOTS, "ws, style, row, column, value, data_type",
                         "ws, style, row, column, value, None, data_type, None")
fill_cell.__doc__ = """`cell` with the FULL_SLOTS written, and no others, as the
    engine's store writes them: no hyperlink, no comment."""

fill_streamed = _slot_filler("fill_streamed", STREAMED_SLOTS,
                             "ws, row, column, value, data_type, style_id",
                             "ws, row, column, value, data_type, style_id")
fill_streamed.__doc__ = """`cell` with the STREAMED_SLOTS written, as the
    engine's row reader writes them."""


def blank_cell(ws: Any, row: int, column: int) -> Cell:
    """The cell `ws.cell(row, column)` creates where there was none, slot
    for slot as the engine's store creates it: value None, data type "n",
    no style, no hyperlink, no comment."""
    return fill_cell(object.__new__(Cell), ws, None, row, column, None, "n")
