"""The reference of the columnar reading: a sheet's cells, as the package
reads them, made into typed columns by the rules `vellum.read_table`
states, in plain Python. It is the oracle the engine's tables are tested
against, and the reading `read_table` falls back on when the engine
declines a sheet.

`build_columns(cells, ...)` takes the sheet's cells in document order
(objects with ``row``, ``column``, ``value`` and ``data_type``, as the
package's streamed reading gives them) and returns ``(names, types,
lists)``: one name, one Arrow type name and one list of values per column.
What was asked and cannot be made raises `TableRefusal`.

The rules, which the engine follows to the byte:

- Rows: the data starts after the header row (``header_row``, 0-based; or
  at the top without one) and the ``skip_rows`` rows after it, and ends at
  the last row holding a cell, or after ``n_rows`` rows. A row without
  cells is a row of nulls. Reading stops at the first cell past the rows
  asked for.
- Columns: A to the last column holding a cell in the header or data rows,
  or those chosen (by sheet column, or by name).
- Names: header texts left to right, a text already taken getting ".1",
  ".2", ... (the first free); a column whose header cell is missing, empty
  or holds an empty text takes its letter (with the first free suffix when
  a header text is that letter). Without a header, letters.
- Values: an error cell is null, or its text with ``error_text``; an
  integer beyond 64 bits is a float, beyond a float null; a duration
  beyond duration[us] is null; a date is a timestamp at its midnight.
- Types: no value, null; one kind, its type; integers and floats, float64;
  any other mix, string, each value as Python's ``str()`` writes it. A type
  asked for in ``dtypes`` takes values of its own kind, float64 integers,
  int64 integral floats, string anything; any other value is refused.
"""
from __future__ import annotations

import datetime
from collections.abc import Iterable
from typing import Any

# The largest sheet a spreadsheet application opens.
MAX_ROW = 1_048_576
MAX_COLUMN = 16_384
# Rows of a record batch: the engine's, so that a refusal names the cell the
# engine names (the first in batch order, then column order).
BATCH_ROWS = 65_536
_I64 = range(-2**63, 2**63)

# Kinds of values, and the Arrow type of a column of one kind.
TYPE_OF_KIND = {"int": "int64", "float": "float64", "bool": "bool", "string": "string",
                "datetime": "timestamp[us]", "time": "time64[us]", "duration": "duration[us]"}
_US = datetime.timedelta(microseconds=1)


class TableRefusal(ValueError):
    """What was asked of a table cannot be made (the message says why)."""


def letters(column: int) -> str:
    """The letters of a 1-based column number: 1 -> "A", 28 -> "AB"."""
    out = ""
    while column:
        column, rem = divmod(column - 1, 26)
        out = chr(65 + rem) + out
    return out


def kind_value(value: Any) -> tuple[str | None, Any]:
    """(kind, value) of a cell's Python value as a column holds it: kind
    None for no value."""
    if value is None:
        return None, None
    if isinstance(value, bool):
        return "bool", value
    if isinstance(value, int):
        if value in _I64:
            return "int", value
        try:
            return "float", float(value)
        except OverflowError:
            return None, None
    if isinstance(value, float):
        return "float", value
    if isinstance(value, str):
        return "string", value
    if isinstance(value, datetime.datetime):
        return "datetime", value.replace(tzinfo=None)
    if isinstance(value, datetime.date):
        return "datetime", datetime.datetime(value.year, value.month, value.day)
    if isinstance(value, datetime.time):
        return "time", value.replace(tzinfo=None)
    if isinstance(value, datetime.timedelta):
        return ("duration", value) if value // _US in _I64 else (None, None)
    return "string", str(value)


def infer(kinds: set[str]) -> str:
    """The type rule: the Arrow type of a column whose values are of `kinds`."""
    if not kinds:
        return "null"
    if kinds == {"int", "float"}:
        return "float64"
    if len(kinds) == 1:
        return TYPE_OF_KIND[next(iter(kinds))]
    return "string"


def convert(kind: str, value: Any, type_: str) -> tuple[bool, Any]:
    """(taken, value) of one value in a column of `type_`."""
    if type_ == "string":
        return True, value if kind == "string" else str(value)
    if type_ == "float64" and kind in ("int", "float"):
        return True, float(value)
    if type_ == "int64" and kind == "int":
        return True, value
    if type_ == "int64" and kind == "float":
        integral = value == value and value not in (float("inf"), float("-inf")) and value.is_integer()
        if integral and -2.0**63 <= value < 2.0**63:
            return True, int(value)
        return False, None
    return TYPE_OF_KIND[kind] == type_, value


class Naming:
    """Column names by the rule of the module docstring."""

    def __init__(self):
        self.taken: set[str] = set()
        self.next: dict[str, int] = {}

    def header(self, text: str) -> str:
        if text not in self.taken:
            self.taken.add(text)
            return text
        k = self.next.get(text, 1)
        while f"{text}.{k}" in self.taken:
            k += 1
        self.next[text] = k + 1
        name = f"{text}.{k}"
        self.taken.add(name)
        return name

    def letter(self, column: int) -> str:
        base = letters(column)
        if base not in self.taken:
            return base
        k = 1
        while f"{base}.{k}" in self.taken:
            k += 1
        return f"{base}.{k}"


def column_names(header: dict[int, str], upto: int) -> list[str]:
    """Every sheet column's name, columns 1 to `upto`."""
    naming = Naming()
    out: list[str | None] = [None] * upto
    for column in sorted(header):
        if column <= upto and header[column]:
            out[column - 1] = naming.header(header[column])
    return [name if name is not None else naming.letter(c + 1) for c, name in enumerate(out)]


def build_columns(cells: Iterable[Any], *, header_row: int | None = 0, skip_rows: int = 0,
                  n_rows: int | None = None, columns: list[int] | None = None,
                  names: list[str] | None = None, dtypes: dict[str, str] | None = None,
                  error_text: bool = False) -> tuple[list[str], list[str], list[list[Any]]]:
    """``(names, types, lists)`` of the table of `cells` (see the module
    docstring)."""
    header_sheet_row = header_row + 1 if header_row is not None else 0
    first = header_sheet_row + 1 + skip_rows
    last = first + n_rows - 1 if n_rows is not None else None
    header: dict[int, str] = {}
    data: dict[tuple[int, int], tuple[str | None, Any]] = {}
    rows = width = 0
    for cell in cells:
        row, column = cell.row, cell.column
        if last is not None and row > last:
            break
        if not (1 <= row <= MAX_ROW and 1 <= column <= MAX_COLUMN):
            raise TableRefusal(f"cell at row {row}, column {column} lies beyond the largest sheet "
                               f"({MAX_ROW:,} rows, {MAX_COLUMN:,} columns)")
        error = cell.data_type == "e"
        if row == header_sheet_row:
            kind, value = ("string", cell.value) if error else kind_value(cell.value)
            if kind is None:
                header.pop(column, None)
            else:
                header[column] = value if kind == "string" else str(value)
            continue
        if row < first:
            continue
        kind, value = (("string", cell.value) if error_text else (None, None)) if error else \
            kind_value(cell.value)
        data[row - first, column] = kind, value
        rows = max(rows, row - first + 1)
        if columns is None:
            width = max(width, column)
    if columns is None and names is None:
        width = max([width, *header])
        chosen = list(range(1, width + 1))
    elif columns is not None:
        chosen = list(columns)
    else:
        every = column_names(header, max([MAX_COLUMN, *header]))
        where = {}
        for c in range(len(every), 0, -1):
            where[every[c - 1]] = c
        chosen = []
        for name in names:
            if name not in where:
                raise TableRefusal(f"no column named '{name}'")
            chosen.append(where[name])
    # names over the whole header row, whichever columns are kept
    upto = max([*chosen, *header], default=0)
    every = column_names(header, upto) if header_row is not None else \
        [letters(c) for c in range(1, upto + 1)]
    out_names = [every[c - 1] for c in chosen]
    asked: dict[int, str] = {}
    for name, type_ in (dtypes or {}).items():
        found = [i for i, n in enumerate(out_names) if n == name]
        if not found:
            raise TableRefusal(f"no column named '{name}' (in dtypes)")
        for i in found:
            asked[i] = type_
    by_column: list[list[tuple[str | None, Any]]] = []
    types = []
    for i, c in enumerate(chosen):
        col = [data.get((r, c), (None, None)) for r in range(rows)]
        by_column.append(col)
        types.append(asked.get(i) or infer({k for k, _ in col if k is not None}))
    lists: list[list[Any]] = [[] for _ in chosen]
    for start in range(0, rows, BATCH_ROWS):
        for i, col in enumerate(by_column):
            for r in range(start, min(start + BATCH_ROWS, rows)):
                kind, value = col[r]
                if kind is None:
                    lists[i].append(None)
                    continue
                taken, value = convert(kind, value, types[i])
                if not taken:
                    raise TableRefusal(f"column '{out_names[i]}' cannot be {types[i]}: cell "
                                       f"{letters(chosen[i])}{first + r} holds a {kind}")
                lists[i].append(value)
    return out_names, types, lists
