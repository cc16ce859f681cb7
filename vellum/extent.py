"""A sheet's data extent: the cells that hold values, as opposed to the
range a file's formatting stretches a sheet to.

Files often carry cells without values (styled empty cells, ``<row>``
elements without cells) far beyond their data: a sheet of five rows whose
``dimension`` says A1:XFD1048576. Spreadsheet applications show, print and
export such a sheet to its last value; so does vellum wherever it trims (the
command line, tables). Nothing is dropped by this: trimming is a view, and a
worksheet's `dimensions` keep counting every cell.

A value is anything but None and the empty text: an empty string cell is
empty to a spreadsheet as well.
"""
from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

__all__ = ["cells_extent", "holds_value", "row_width", "rows_extent"]


def holds_value(value: Any) -> bool:
    """Whether a cell with this value counts as holding one: anything but
    None and an empty text."""
    return value is not None and not (isinstance(value, str) and not value)


def row_width(values: Sequence[Any]) -> int:
    """The number of leading items up to the last that holds a value (0
    for a row without values): the width of the row once trimmed."""
    for i in range(len(values) - 1, -1, -1):
        v = values[i]
        if v is not None and not (isinstance(v, str) and not v):
            return i + 1
    return 0


def rows_extent(rows: Iterable[Sequence[Any]]) -> tuple[int, int]:
    """``(height, width)`` of rows of values, each row starting at the
    first column: the number of rows up to the last that holds a value,
    and the widest row once trimmed; ``(0, 0)`` when none holds one."""
    height = width = 0
    for n, row in enumerate(rows, 1):
        w = row_width(row)
        if w:
            height = n
            width = max(width, w)
    return height, width


def cells_extent(cells: Mapping[Any, Any]) -> tuple[int, int, int, int] | None:
    """``(min_row, max_row, min_col, max_col)`` of the cells of a mapping
    from ``(row, column)`` to objects with a ``value`` whose value counts,
    or None when none does. Keys that are not such pairs are passed over,
    as the worksheet's other extents pass them over."""
    found = None
    for key in list(cells):
        if type(key) is not tuple or len(key) != 2:
            continue
        if not holds_value(cells[key].value):
            continue
        r, c = key
        if found is None:
            found = [r, r, c, c]
        else:
            found[0], found[1] = min(found[0], r), max(found[1], r)
            found[2], found[3] = min(found[2], c), max(found[3], c)
    return tuple(found) if found is not None else None
