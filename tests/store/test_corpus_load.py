"""Every sheet of every corpus workbook loaded in full by the engine's
`bind_cells` against the package's own full reading (the oracle): the same
cells in the same key order (values with their types, data types, style
arrays, rows, columns), the same `actions` and `row_dimensions`; or the
engine declines with `NativeFallback`. Never a crash or a different result."""
import collections
import pathlib
import warnings

import pytest

from vellum import _vellum
from vellum.reference import Cell
from vellum.reference import worksheet as pure
from vellum.workbook import EditableWorksheet, Workbook

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"


def typed(v):
    return (type(v).__name__, repr(v))


def full_cells(cells, ws):
    """Every cell of a full reading's mapping, in its key order, as plain
    comparable values (types included)."""
    out = []
    for key in cells:
        c = cells[key]
        assert c.parent is ws and c._hyperlink is None and c._comment is None
        out.append((key, c.row, c.column, typed(c._value), c.data_type, type(c._style).__name__,
                    None if c._style is None else tuple(c._style)))
    return out


def load(book, sheet, bind, cells):
    ws = EditableWorksheet(book, sheet.name, sheet.state)
    parser, actions = book.parser(), []
    with book._archive.zip.open(sheet.part) as source:
        bind(source, parser, ws, cells, book._cell_styles, Cell, book.helpers, actions)
    return full_cells(cells, ws), actions, parser.row_dimensions


def outcome(book, sheet, bind, cells):
    try:
        return load(book, sheet, bind, cells)
    except Exception as e:
        return e


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
def test_every_corpus_sheet_loads_as_the_package_loads_it():
    counts = collections.Counter()
    for path in sorted(p for p in CORPUS.iterdir() if p.suffix in (".xlsx", ".xlsm")):
        try:
            book = Workbook(path, streaming=True)
        except Exception:
            counts["workbook refused"] += 1
            continue
        with book, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for sheet in book.sheets:
                want = outcome(book, sheet, pure.bind_cells, {})
                got = outcome(book, sheet, _vellum.bind_cells, _vellum.CellStore())
                if isinstance(got, _vellum.NativeFallback):
                    counts[f"fell back: {got}"] += 1
                    continue
                where = f"{path.name}:{sheet.name}"
                if isinstance(want, Exception):
                    # only the package's own exception may pass through
                    assert type(got) is type(want) and str(got) == str(want), where
                    counts["same error"] += 1
                    continue
                assert not isinstance(got, Exception), (where, got)
                assert got == want, where
                counts["native"] += 1
    print("\ncorpus sheets loaded:", dict(sorted(counts.items())))
    assert counts["native"] > 200
