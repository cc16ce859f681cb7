"""Differential harness of full reading: the cells a full reading left in
its mapping (a dict, the engine's store or a stand-in) reduced to plain
comparable values, the cells the streaming reading of the same part says a
full reading must hold, and a stand-in store with only the operations the
engine's `CellStore` offers the worksheet."""
import io

from vellum.extent import cells_extent
from vellum.reference import Parser, make_helpers
from vellum.reference.cell import blank_cell
from vellum.reference.sheet import SheetReader
from vellum.reference.styles import CellStyles, StyleArray
from vellum.reference.worksheet import EditableWorksheet, bind_cells

STRINGS = ["a", "b", "c"]
DATES = dict(date_formats={3, 4}, timedelta_formats={4})   # style 3 a date, style 4 a duration
# distinct styles, so that a wrong style id shows
STYLES = CellStyles(StyleArray([i, i + 1, 0, 0, 0, 0, 0, 0, i % 2]) for i in range(16))


def typed(value):
    """A value with its type, so that 1, 1.0 and True differ."""
    if isinstance(value, float):
        return ("float", repr(value))
    return (type(value).__name__, value if isinstance(value, (int, str, type(None))) else repr(value))


def full_cells(cells, ws):
    """[(key, row, column, value, data type, style)] of a full reading's
    mapping in its key order, checking the slots every loaded cell shares."""
    out = []
    for key in cells:
        cell = cells[key]
        assert cell.parent is ws and cell._hyperlink is None and cell._comment is None
        assert type(cell._style) is StyleArray
        out.append((key, cell.row, cell.column, typed(cell._value), cell.data_type,
                    tuple(cell._style)))
    return out


def streamed_cells(rows, cell_styles=STYLES):
    """What `full_cells` must give, from the raw rows of a streaming
    reading: a repeated cell replaces the earlier one in its place."""
    out = {}
    for _, cells in rows:
        for row, column, value, data_type, style_id in cells:
            out[(row, column)] = ((row, column), row, column, typed(value), data_type,
                                  tuple(cell_styles[style_id]))
    return list(out.values())


def read_streamed(doc, **settings):
    """(raw rows, actions, row_dimensions) of the streaming reading, or the
    exception it raised."""
    parser = Parser(STRINGS, **settings)
    reader = SheetReader(io.BytesIO(doc), parser, make_helpers())
    rows = []
    try:
        while (row := reader.next_raw()) is not None:
            rows.append(row)
    except Exception as e:
        return e
    return rows, reader.actions, parser.row_dimensions


def read_full(doc, cells=None, bind=bind_cells, cell_styles=STYLES, **settings):
    """(worksheet, actions, row_dimensions) of a full reading into `cells`
    (a new dict by default), or the exception it raised."""
    parser = Parser(STRINGS, **settings)
    ws = EditableWorksheet(None, "Sheet")
    cells = {} if cells is None else cells
    actions = []
    try:
        bind(io.BytesIO(doc), parser, ws, cells, cell_styles, type(blank_cell(None, 1, 1)),
             make_helpers(), actions)
    except Exception as e:
        return e
    ws._cells = cells
    return ws, actions, parser.row_dimensions


class StubStore:
    """A cell mapping with the engine store's operations and no others (no
    ``keys``, ``items``, ``values``, ``setdefault``, ``update``): a worksheet
    that works over it uses nothing the engine lacks. `_row` creates a
    missing cell in the store's way (values alone create none), and counts
    its calls."""

    def __init__(self, ws=None):
        self._d = {}
        self.ws = ws
        self.row_calls = 0

    def __getitem__(self, key):
        return self._d[key]

    def __setitem__(self, key, value):
        self._d[key] = value

    def __delitem__(self, key):
        del self._d[key]

    def __contains__(self, key):
        return key in self._d

    def __len__(self):
        return len(self._d)

    def __iter__(self):
        return iter(self._d)

    def __reversed__(self):
        return reversed(self._d)

    def get(self, key, default=None):
        return self._d.get(key, default)

    def clear(self):
        self._d.clear()

    def popitem(self):
        return self._d.popitem()

    def _in_dict_mode(self):
        return False

    def _bounds(self):
        if not self._d:
            return None
        rows = [r for r, _ in self._d]
        columns = [c for _, c in self._d]
        return min(rows), max(rows), min(columns), max(columns)

    def _value_bounds(self):
        return cells_extent(self._d)

    def _row(self, row, min_col, max_col, values_only):
        assert type(values_only) is bool and 1 <= row and 1 <= min_col
        self.row_calls += 1
        out, created = [], False
        for column in range(min_col, max_col + 1):
            cell = self._d.get((row, column))
            if cell is None and values_only:
                out.append(None)
                continue
            if cell is None:
                cell = self._d[(row, column)] = blank_cell(self.ws, row, column)
                created = True
            out.append(cell.value if values_only else cell)
        return tuple(out), created
