"""A worksheet read in full ("editable"), and its pure-Python reading.

`EditableWorksheet._cells` maps ``(row, column)`` to `Cell`: a plain dict when this
module read the sheet, the engine's `CellStore` when the engine did. The
worksheet therefore uses only the operations both have: ``cells[key]``,
assignment, ``del``, ``in``, ``len``, iteration over keys and ``get``; and a
store's ``_row``, ``_bounds`` and ``_value_bounds`` where they exist and the
store is not in its dict mode, with dict-based equivalents otherwise.

`bind_cells` is the pure-Python twin of the engine's loader, argument for
argument except that it fills a dict: it is the package's fallback, the
engine's oracle and its baseline. Neither touches the worksheet beyond its
cells; `replay` then hands the worksheet the other elements of the sheet and
issues the warnings, in document order.
"""
from __future__ import annotations

import array
import re
import warnings
import xml.parsers.expat
from collections.abc import Iterator, Mapping, MutableSequence, Sequence
from types import MappingProxyType
from typing import IO, Any

from vellum.extent import cells_extent
from vellum.reference.cell import blank_cell, changed, column_letter, fill_cell
from vellum.reference.sheet import MAIN_NS, STRICT_NS, SheetReader, attr_key
from vellum.reference.sheetlayout import SheetLayout
from vellum.reference.styles import BUILTIN_FORMATS, dated_style
from vellum.reference.values import MAX_COLUMN, MAX_ROW, check_cell, coordinate_to_tuple
from vellum.xmlparts import in_scope


def bind_cells(source: IO[bytes], parser: Any, ws: Any, cells: dict[Any, Any],
               cell_styles: Sequence[Any], cell_cls: type, helpers: dict[str, Any],
               actions: MutableSequence[Any]) -> None:
    """Read every cell of a worksheet part into the dict `cells`, emptied
    first, as `cell_cls` objects whose `parent` is `ws`. Each cell gets its
    own copy of ``cell_styles[style id]``; the sheet's other elements and its
    warnings are appended to `actions`, its row attributes put in
    ``parser.row_dimensions``. A repeated cell replaces the earlier one."""
    reader = SheetReader(source, parser, helpers)
    reader.actions = actions
    cells.clear()
    styles = {}  # style id -> (type, "i", the array copied for each cell)
    new = object.__new__
    copy = array.array.__new__
    while (item := reader.next_raw()) is not None:
        for row, column, value, data_type, style_id in item[1]:
            args = styles.get(style_id)
            if args is None:
                style = cell_styles[style_id]
                args = styles[style_id] = (type(style), "i", style)
            cells[(row, column)] = fill_cell(new(cell_cls), ws, copy(*args), row, column,
                                             value, data_type)


_HYPERLINKS = re.compile(rb"<(?:[^\s/>:]+:)?hyperlinks[\s/>]")


def read_hyperlinks(data: bytes, namespaces: list[tuple[str, str]]) -> list[dict[str, str]]:
    """The attributes of each ``hyperlink`` of a captured ``hyperlinks``
    element, as dicts keyed like row attributes ("{uri}id" for r:id)."""
    links = []
    p = xml.parsers.expat.ParserCreate(namespace_separator="}")

    def start(name, attrs):
        if name.rpartition("}")[2] == "hyperlink" and name.rpartition("}")[0] in (MAIN_NS, STRICT_NS):
            links.append({attr_key(k): v for k, v in attrs.items()})

    p.StartElementHandler = start
    p.Parse(in_scope(data, namespaces), True)
    return links


def replay(ws: EditableWorksheet, actions: Sequence[Any]) -> None:
    """Hand `ws` what a full reading put in `actions`, in document order:
    each captured element is kept in ``ws._elements`` as ``(bytes,
    namespaces)``, hyperlinks also in ``ws._hyperlinks``; each warning is
    issued with `warnings.warn`."""
    for action in actions:
        if action[0] == "warn":
            warnings.warn(action[1], stacklevel=2)
            continue
        _, data, namespaces = action
        ws._elements.append((data, namespaces))
        if _HYPERLINKS.match(data):
            ws._hyperlinks.extend(read_hyperlinks(data, namespaces))


def date_style(cell: Any, value: Any) -> None:
    """Give `cell` a date number format matching `value` (a date, a time or
    a duration) unless its style already shows one."""
    formats = getattr(getattr(cell.parent, "parent", None), "_number_formats", BUILTIN_FORMATS)
    style = dated_style(cell._style, value, formats)
    if style is not None:
        cell._style = style


class RowDimensions(dict):
    """The row attributes of a sheet read from a file, by row number, each
    row's a read-only mapping: they are set as a whole
    (``ws.row_dimensions[7] = {"ht": "30"}``), and setting or removing them
    notes that the sheet changed (`changed`), which a save must know."""

    __slots__ = ("_ws",)

    def __init__(self, ws: Any, rows: dict[int, dict[str, str]]) -> None:
        super().__init__((row, MappingProxyType(attrs)) for row, attrs in rows.items())
        self._ws = ws

    def __setitem__(self, key: Any, value: Any) -> None:
        if type(key) is not int or not 1 <= key <= MAX_ROW:
            raise ValueError(f"rows are numbered 1 to {MAX_ROW:,}, not {key!r}")
        if not isinstance(value, Mapping) or not all(
                isinstance(k, str) and isinstance(v, str) for k, v in value.items()):
            raise TypeError(f"a row's attributes map names to texts, such as "
                            f"{{'ht': '30', 'customHeight': '1'}} (set_row takes numbers), "
                            f"not {value!r}")
        changed(self._ws)
        super().__setitem__(key, MappingProxyType(dict(value)))

    def __delitem__(self, key: Any) -> None:
        changed(self._ws)
        super().__delitem__(key)

    def __ior__(self, other: Any) -> RowDimensions:
        self.update(other)
        return self

    def update(self, *args: Any, **kwargs: Any) -> None:
        for key, value in dict(*args, **kwargs).items():
            self[key] = value

    def setdefault(self, key: Any, default: Any = None) -> Any:
        if key not in self:
            self[key] = default
        return self[key]

    def pop(self, *args: Any) -> Any:
        changed(self._ws)
        return super().pop(*args)

    def popitem(self) -> Any:
        changed(self._ws)
        return super().popitem()

    def clear(self) -> None:
        changed(self._ws)
        super().clear()


def _index(name: str, value: Any, limit: int) -> int:
    if type(value) is not int or not 1 <= value <= limit:
        raise ValueError(f"{name} must be an int from 1 to {limit:,}, not {value!r}")
    return value


class EditableWorksheet(SheetLayout):
    """A worksheet read in full: cells by coordinate (``ws["B2"]``,
    ``ws[2, 2]``, `cell`), by row (`iter_rows`), its extent (`min_row`,
    `max_row`, `min_column`, `max_column`, `dimensions`) and the extent of
    its values (`data_extent`, `data_dimensions`).

    Its layout (column widths, row heights, hidden rows and columns, the
    frozen pane, merged ranges, the autofilter) is set with `set_column`,
    `set_row`, `freeze_panes`, `merge_cells` and `auto_filter`, and read
    with `layout`.

    `parent` is the workbook, `title` the sheet's name, `row_dimensions`
    the attributes of rows that have any, by row number (``{7: {"r": "7",
    "ht": "30", ...}}``, texts as the file holds them), `_hyperlinks` the attributes of the sheet's
    hyperlinks, `_elements` the sheet's other elements as read. `_changed`
    tells that a value, a link or a style was written since it was read
    (`vellum.reference.cell.changed`)."""

    _changed = False

    def __init__(self, parent: Any = None, title: str = "Sheet", state: str = "visible") -> None:
        self.parent = parent
        self._title = title
        self.state = state
        self._cells = {}
        self.row_dimensions = RowDimensions(self, {})
        self._hyperlinks = []
        self._elements = []

    @property
    def title(self) -> str:
        """The sheet's name. Assigning one renames the sheet, under the
        rules the workbook's `add_sheet` keeps (ValueError otherwise);
        formulas and defined names that name the sheet are not rewritten."""
        return self._title

    @title.setter
    def title(self, name: str) -> None:
        check = getattr(self.parent, "_check_title", None)
        if check is not None:
            check(self, name)
        self._title = name

    @property
    def name(self) -> str:
        """The sheet's name (its `title`)."""
        return self.title

    @property
    def hidden(self) -> bool:
        """True for a hidden or very hidden sheet."""
        return self.state != "visible"

    def _store(self):
        """The engine's store when it holds the cells natively, else None."""
        cells = self._cells
        if hasattr(cells, "_row") and not cells._in_dict_mode():
            return cells
        return None

    def _create(self, row, column):
        store = self._store()
        if store is not None:
            return store._row(row, column, column, False)[0][0]
        cell = self._cells[(row, column)] = blank_cell(self, row, column)
        return cell

    def cell(self, row: int, column: int, value: Any = None) -> Any:
        """The cell at (`row`, `column`), created empty if there is none;
        `value`, unless None, is assigned to it."""
        key = check_cell(row, column)
        cell = self._cells.get(key)
        if cell is None:
            cell = self._create(row, column)
        if value is not None:
            cell.value = value
            date_style(cell, value)
        return cell

    def _cells_by_row(self, min_col: int, min_row: int, max_col: int, max_row: int,
                      values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Each row from `min_row` to `max_row` as a tuple of its cells (or
        values) from `min_col` to `max_col`. Missing cells are created, but
        for values: a missing one gives None."""
        for row in range(min_row, max_row + 1):
            store = self._store()
            if store is not None:
                yield store._row(row, min_col, max_col, values_only)[0]
                continue
            get = self._cells.get
            out = []
            for column in range(min_col, max_col + 1):
                cell = get((row, column))
                if values_only:
                    out.append(None if cell is None else cell.value)
                    continue
                if cell is None:
                    cell = self._create(row, column)
                out.append(cell)
            yield tuple(out)

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None,
                  min_col: int | None = None, max_col: int | None = None,
                  values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """The rows from `min_row` to `max_row` (by default the sheet's
        extent), each a tuple of the cells, or with `values_only` their
        values, from `min_col` to `max_col`. Iterating cells creates the
        missing cells of that range, as reading them one by one would;
        iterating values gives None for them and creates nothing. A sheet
        without cells gives no rows unless a bound is given. To leave out
        the empty rows and columns formatting may add at the sheet's end,
        bound the rows by `data_extent`."""
        if not len(self._cells) and not any((min_row, max_row, min_col, max_col)):
            return iter(())
        if not (max_row and max_col):
            _, last_row, _, last_col = self._extent() or (1, 1, 1, 1)
            max_row, max_col = max_row or last_row, max_col or last_col
        min_row = _index("min_row", min_row or 1, MAX_ROW)
        min_col = _index("min_col", min_col or 1, MAX_COLUMN)
        max_row = _index("max_row", max_row, MAX_ROW)
        max_col = _index("max_col", max_col, MAX_COLUMN)
        return self._cells_by_row(min_col, min_row, max_col, max_row, values_only)

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        """The rows of the sheet's extent, as `iter_rows` gives them."""
        return self.iter_rows()

    def _extent(self) -> tuple[int, int, int, int] | None:
        """(min_row, max_row, min_col, max_col) of the cells, or None."""
        cells = self._cells
        bounds = getattr(cells, "_bounds", None)
        if bounds is not None and (found := bounds()) is not None:
            return found
        keys = [k for k in cells if type(k) is tuple and len(k) == 2]
        if not keys:
            return None
        rows = [r for r, _ in keys]
        columns = [c for _, c in keys]
        return min(rows), max(rows), min(columns), max(columns)

    @property
    def data_extent(self) -> tuple[int, int, int, int] | None:
        """``(min_row, max_row, min_col, max_col)`` of the cells that hold a
        value (neither None nor an empty text), or None when none does: the
        sheet as a spreadsheet shows it, without the empty cells formatting
        adds around it (see `vellum.extent`)."""
        store = self._store()
        if store is not None:
            return store._value_bounds()
        return cells_extent(self._cells)

    @property
    def data_dimensions(self) -> str:
        """The range the cells holding a value span, such as "A1:C3"
        ("A1:A1" when there is none); `dimensions` counts every cell."""
        r0, r1, c0, c1 = self.data_extent or (1, 1, 1, 1)
        return f"{column_letter(c0)}{r0}:{column_letter(c1)}{r1}"

    @property
    def min_row(self) -> int:
        """The first row that has a cell (1 for an empty sheet)."""
        return (self._extent() or (1,))[0]

    @property
    def max_row(self) -> int:
        """The last row that has a cell (1 for an empty sheet)."""
        return (self._extent() or (1, 1))[1]

    @property
    def min_column(self) -> int:
        """The first column that has a cell (1 for an empty sheet)."""
        return (self._extent() or (1, 1, 1))[2]

    @property
    def max_column(self) -> int:
        """The last column that has a cell (1 for an empty sheet)."""
        return (self._extent() or (1, 1, 1, 1))[3]

    @property
    def dimensions(self) -> str:
        """The range the cells span, such as "A1:C3" ("A1:A1" when empty)."""
        r0, r1, c0, c1 = self._extent() or (1, 1, 1, 1)
        return f"{column_letter(c0)}{r0}:{column_letter(c1)}{r1}"

    def __getitem__(self, key: str | tuple[int, int]) -> Any:
        """``ws["B2"]`` or ``ws[2, 2]``: that cell, created if missing;
        ``ws["A1:C3"]``: the rows of that range as tuples of cells."""
        if isinstance(key, tuple):
            return self.cell(*key)
        if not isinstance(key, str):
            raise TypeError(f"worksheet keys are 'A1' texts or (row, column), not {key!r}")
        first, sep, last = key.partition(":")
        if not sep:
            return self.cell(*coordinate_to_tuple(key))
        (r0, c0), (r1, c1) = coordinate_to_tuple(first), coordinate_to_tuple(last)
        return tuple(self.iter_rows(min(r0, r1), max(r0, r1), min(c0, c1), max(c0, c1)))

    def __setitem__(self, key: str | tuple[int, int], value: Any) -> None:
        """``ws["B2"] = value`` or ``ws[2, 2] = value``."""
        cell = self[key]
        if isinstance(cell, tuple):
            raise TypeError(f"assign to one cell, not to the range {key!r}")
        cell.value = value
        date_style(cell, value)

    def __delitem__(self, key: str | tuple[int, int]) -> None:
        """``del ws["B2"]`` or ``del ws[2, 2]``: remove that cell (its value,
        style and link); nothing happens where there is none."""
        if isinstance(key, str):
            key = coordinate_to_tuple(key)
        if not isinstance(key, tuple) or len(key) != 2:
            raise TypeError(f"worksheet keys are 'A1' texts or (row, column), not {key!r}")
        key = (_index("row", key[0], MAX_ROW), _index("column", key[1], MAX_COLUMN))
        if key in self._cells:
            del self._cells[key]
            changed(self)

    def __repr__(self) -> str:
        return f"<EditableWorksheet {self.title!r} {self.dimensions}>"


# The name it had; the package's modules and callers may still use it.
Worksheet = EditableWorksheet
