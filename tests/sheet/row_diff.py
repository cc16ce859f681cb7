"""Differential harness for the streaming row reader: one worksheet read in
full by the package's own reader and by the engine, with results reduced to
plain comparable values (types included), and the rule that joins them; and
the few documents, readers and constants the row-reader tests share.

The rule: the engine gives exactly the package's rows, `actions` and
`row_dimensions`, or it declines with `NativeFallback`. A package exception
raised while parsing reaches the caller wrapped ("native reader error: " +
type name + ": " + message); one raised when a finished row is handed out
(a deferred shared-string lookup) reaches it unchanged.
"""
import io
from typing import NamedTuple

import vellum._vellum as engine
from vellum.reference import Cell, Parser, make_helpers
from vellum.reference.sheet import SheetReader
from vellum.reference.values import ArrayFormula, DataTableFormula

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = f'<worksheet xmlns="{MAIN}" xmlns:r="urn:r">'
BARE = f'<worksheet xmlns="{MAIN}">'   # the main namespace alone, as most writers leave it
RowReader = getattr(engine, "RowReader", None)
NativeFallback = engine.NativeFallback
WRAPPED = "native reader error: "
# Every boundary of a refill is crossed by the small sizes.
SIZES = (1, 2, 3, 7, 65536)
CELL_SLOTS = ("parent", "row", "column", "_value", "data_type", "_style_id",
              "formula", "cached_value", "_hyperlink", "_comment", "_style")
UNSET = "<unset>"
BLOCK = 16384   # rows and elements are released per block of this many bytes
STRINGS = dict(shared_strings=["a", "b", "c"])
DATES = dict(date_formats={3, 4}, timedelta_formats={4})   # style 3 a date, style 4 a duration


class Chunks(io.BytesIO):
    """A source that returns at most `size` bytes a call and counts them."""

    def __init__(self, data, size=65536):
        super().__init__(data)
        self.size = size
        self.total = 0

    def read(self, n=-1):
        out = super().read(min(n, self.size))
        self.total += len(out)
        return out


def sheet(cells="", before="", after="", head=HEAD):
    return f'{head}{before}<sheetData>{cells}</sheetData>{after}</worksheet>'.encode()


def one_row(cells, r="1"):
    return sheet(f'<row r="{r}">{cells}</row>')


def int_error(text):
    """The fallback message of the package's int() refusing `text`."""
    return f"{WRAPPED}ValueError: invalid literal for int() with base 10: {text!r}"


def reader(doc, helpers=None, **settings):
    """An engine reader over `doc` with a fresh parser."""
    return RowReader(io.BytesIO(doc), Parser(**settings), helpers or make_helpers())


def readers(doc, **settings):
    """A package reader and an engine reader over the same document."""
    def make(cls):
        return cls(Chunks(doc), Parser(["a", "b"], **settings), make_helpers())
    return make(SheetReader), make(RowReader)


def raw_rows(reader):
    """Every row `next_raw` hands out, up to the end or the first error."""
    rows = []
    while (row := reader.next_raw()) is not None:
        rows.append(row)
    return rows


def typed(rows):
    """Rows with the type of every value, so that 1 == 1.0 == True do not
    hide a difference."""
    return [(idx, [c + (type(c[2]),) for c in cells]) for idx, cells in rows]


def norm(x):
    """`x` as nested tuples that compare equal only when types agree too
    (1 and 1.0 and True differ, -0.0 and 0.0 differ, dict order counts)."""
    if isinstance(x, BaseException):
        return ("raise", type(x).__qualname__, str(x))
    if isinstance(x, Cell):
        return ("Cell", tuple(norm(getattr(x, s, UNSET)) for s in CELL_SLOTS))
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, tuple(norm(i) for i in x))
    if isinstance(x, dict):
        return ("dict", tuple((norm(k), norm(v)) for k, v in x.items()))
    if isinstance(x, float):
        return ("float", repr(x))
    if isinstance(x, DataTableFormula):
        return ("DataTableFormula", norm(x.attrs))
    if isinstance(x, ArrayFormula):
        return ("ArrayFormula", norm(x.ref), norm(x.text))
    return (type(x).__name__, x)


class Outcome(NamedTuple):
    rows: list            # normalised rows, in the order they were handed out
    actions: tuple        # normalised final `actions`
    dims: tuple           # normalised final `row_dimensions`
    error: object         # normalised exception, or None
    seen: list            # length of `actions` when each row was handed out
    exc: object           # the exception itself

    @property
    def fallback(self):
        """The NativeFallback message, or None."""
        return self.error[2] if isinstance(self.exc, NativeFallback) else None


def settings_parser(settings):
    settings = dict(settings)
    shared = settings.pop("shared_strings", ["a", "b", "c"])
    parser = Parser(**settings)
    parser.shared_strings = shared  # as given: the engine treats non-lists apart
    return parser


def run(cls, doc, size=65536, helpers=None, cells=False, **settings):
    """Read `doc` to its end with reader class `cls` (fresh parser)."""
    parser = settings_parser(settings)
    reader = cls(Chunks(doc, size), parser, make_helpers() if helpers is None else helpers)
    rows, seen, exc = [], [], None
    try:
        while True:
            if cells:
                row = reader.next_row("ws", 1, None, False, Cell, None)
            else:
                row = reader.next_raw()
            if row is None:
                break
            rows.append(norm(row))
            seen.append(len(reader.actions))
        assert reader.next_raw() is None
    except Exception as e:  # noqa: BLE001 (every outcome is compared)
        exc = e
    return Outcome(rows, norm(reader.actions), norm(parser.row_dimensions),
                   None if exc is None else norm(exc), seen, exc)


def _prefix(a, b):
    n = min(len(a), len(b))
    return a[:n] == b[:n]


def judge(ref, eng):
    """Assert that the engine outcome `eng` is allowed given `ref`."""
    if eng.exc is not None and not isinstance(eng.exc, NativeFallback):
        # only a deferred conversion error may pass unwrapped, and it is the package's
        assert eng.error == ref.error, (eng.error, ref.error)
        assert _prefix(eng.rows, ref.rows)
        return
    if eng.fallback is not None:
        assert _prefix(eng.rows, ref.rows), "rows before the fallback differ"
        if eng.fallback.startswith(WRAPPED) and ref.error is not None \
                and ref.exc.__class__.__module__ != "xml.parsers.expat":
            _, name, message = ref.error
            assert eng.fallback == f"{WRAPPED}{name}: {message}"
        return
    assert ref.error is None, f"the engine read what the package refuses: {ref.error}"
    assert eng.rows == ref.rows
    assert eng.actions == ref.actions
    assert eng.dims == ref.dims
    assert eng.seen == ref.seen, "elements or warnings reached `actions` at other rows"


def both(doc, size=65536, helpers=None, cells=False, **settings):
    """(reference outcome, engine outcome) of one document."""
    ref = run(SheetReader, doc, 65536, helpers, cells, **settings)
    eng = run(RowReader, doc, size, helpers, cells, **settings)
    return ref, eng


def agree(doc, sizes=SIZES, helpers=None, cells=False, **settings):
    """Read `doc` with the engine at every read size, judge each outcome
    against the package's, check that the read size changes nothing, and
    return (reference outcome, engine outcome)."""
    ref = run(SheetReader, doc, 65536, helpers, cells, **settings)
    outcomes = []
    for size in sizes:
        eng = run(RowReader, doc, size, helpers, cells, **settings)
        judge(ref, eng)
        outcomes.append(eng)
    first = outcomes[0]
    for size, eng in zip(sizes[1:], outcomes[1:]):
        assert eng[:5] == first[:5], f"read size {size} changes the result"
    return ref, first


def exact(doc, **kw):
    """The engine must reproduce the package here, without declining."""
    ref, eng = agree(doc, **kw)
    assert eng.exc is None or not isinstance(eng.exc, NativeFallback), eng.fallback
    return ref, eng
