"""The fuzz targets: one function per engine entry point, taking the fuzz
input as bytes. Each returns quietly on every outcome the engine's rule
allows (the package's result, the package's own exception, or
`NativeFallback`) and raises on anything else, which the libFuzzer driver
(fuzz/harness.cpp) turns into an abort and a saved input. The same
functions replay the saved inputs in the ordinary test run
(tests/regress/test_fuzz_regress.py), against whichever engine is
installed.

The judging rules are the differential tests' own, imported from them, so
that a fuzz finding and a test failure mean the same thing.

Settings that a document cannot carry (data_only, read sizes, rows wanted)
are drawn from a checksum of the input, so that each input always runs the
same way.
"""
import glob
import importlib.util
import io
import os
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _install_fuzz_engine():
    """Under the fuzz driver, make the instrumented build in
    $VELLUM_FUZZ_BUILD the package's engine (and its test-only twin
    importable) before anything imports `vellum`."""
    build = os.environ.get("VELLUM_FUZZ_BUILD")
    if not build or "vellum._vellum" in sys.modules:
        return
    build = os.path.join(ROOT, build)
    sys.path.insert(0, build)
    path, = glob.glob(os.path.join(build, "_vellum.cpython-*.so"))
    spec = importlib.util.spec_from_file_location("vellum._vellum", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["vellum._vellum"] = module
    spec.loader.exec_module(module)


_install_fuzz_engine()
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import datetime  # noqa: E402
import math  # noqa: E402
import re  # noqa: E402
import struct  # noqa: E402
import warnings  # noqa: E402
import xml.parsers.expat as pyexpat  # noqa: E402
import zipfile  # noqa: E402

import vellum  # noqa: E402
from vellum import sheetpart  # noqa: E402
from vellum import _vellum  # noqa: E402
from vellum.reference import make_helpers  # noqa: E402
from vellum.reference.cell import nonfinite as cell_nonfinite, refusal  # noqa: E402
from vellum.reference import writer as writer_ref  # noqa: E402
from vellum.reference.strings import read_shared_strings  # noqa: E402
from vellum.reference.styles import StyleArray  # noqa: E402
from vellum.reference.worksheet import bind_cells as pure_bind  # noqa: E402

from tests.prescan import test_prescan as prescan_diff  # noqa: E402
from tests.reference.full_diff import DATES, full_cells, read_full  # noqa: E402
from tests.sheet import row_diff  # noqa: E402
from tests.writer import test_writer as writer_diff  # noqa: E402
from tests.xml import test_expat as expat_diff  # noqa: E402

NativeFallback = _vellum.NativeFallback
SIZES = (1, 7, 64, 65536)


def _draw(data):
    return zlib.crc32(data)


class Reads:
    """A source returning at most `size` bytes a call."""

    def __init__(self, data, size):
        self.data, self.size, self.at = data, size, 0

    def read(self, n=-1):
        chunk = self.data[self.at:self.at + min(n if n >= 0 else len(self.data), self.size)]
        self.at += len(chunk)
        return chunk


def _outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 (every outcome is judged)
        return e


class _AnyStyle:
    """A style table in which every lookup succeeds."""

    def __getitem__(self, key):
        return StyleArray()


def _same_exception(a, b):
    return type(a) is type(b) and str(a) == str(b)


STRICT = "http://purl.oclc.org/ooxml/spreadsheetml/main}"


class Expat(expat_diff.Expat):
    """expat's events as the reader names elements: the Strict main
    namespace read as the transitional one."""

    @staticmethod
    def _main(name):
        return expat_diff.MAIN + "}" + name[len(STRICT):] if name.startswith(STRICT) else name

    def start(self, name, attrs):
        super().start(self._main(name), attrs)

    def end(self, name):
        super().end(self._main(name))


# --- targets ------------------------------------------------------------------

def xml(data):
    """The XML reader: the event stream of the test-only twin against
    expat's (whenever the reader accepts a document, expat accepts it and
    sees the same elements, attributes, namespaces and text), and
    `find_dimension` the same at every read size and equal to what the
    document holds."""
    sizes = SIZES[_draw(data) % 3:][:2]
    found = [repr(_outcome(_vellum.find_dimension, Reads(data, s))) for s in sizes]
    assert len(set(found)) == 1, f"the read size changes find_dimension: {found}"
    dim = _outcome(_vellum.find_dimension, Reads(data, sizes[0]))
    if isinstance(dim, Exception) and not isinstance(dim, NativeFallback):
        raise AssertionError(f"find_dimension raised {dim!r}")
    ours = expat_diff.reader_events(data, sizes[0])
    if ours is None:
        return
    try:
        theirs = Expat(data)
    except pyexpat.ExpatError as e:
        raise AssertionError(f"the reader accepted what expat refuses: {e}") from None
    assert ours == theirs.events, "the reader's events differ from expat's"
    if isinstance(dim, NativeFallback):
        assert str(dim) == "unsupported: nested element handled by dispatcher", dim
        assert theirs.dimension == "nested"
        return
    assert theirs.dimension != "nested"
    assert dim == theirs.dimension, (dim, theirs.dimension)


def strings(data):
    """`read_string_table` against the package's reading of the part: the
    same list, the package's own exception, or `NativeFallback`."""
    size = SIZES[_draw(data) % len(SIZES)]
    got = _outcome(_vellum.read_string_table, Reads(data, size), make_helpers())
    if isinstance(got, NativeFallback):
        return
    want = _outcome(read_shared_strings, data)
    if isinstance(got, Exception):
        assert _same_exception(got, want), (got, want)
        return
    if isinstance(want, Exception):
        raise AssertionError(f"the engine read what the package refuses: {want!r}")
    assert got == want


def _row_settings(data):
    draw = _draw(data)
    settings = dict(DATES) if draw & 1 else {}
    settings.update(data_only=bool(draw & 2), rich_text=bool(draw & 4),
                    formula_and_value=bool(draw & 8))
    return settings, SIZES[(draw >> 4) % len(SIZES)]


def _judge_rows(data, cells):
    settings, size = _row_settings(data)
    ref, eng = row_diff.both(data, size, cells=cells, **settings)
    row_diff.judge(ref, eng)


def rows(data):
    """`RowReader.next_raw` against the package's streaming reader: the
    same rows, `actions` and row dimensions, the package's exception, or
    `NativeFallback` after the same rows."""
    _judge_rows(data, cells=False)


def row_cells(data):
    """`RowReader.next_row` (Cell objects) under the same rule."""
    _judge_rows(data, cells=True)


def load(data):
    """`bind_cells` into a `CellStore` against the package's loader into a
    dict: the same cells read back from the store (values, types, styles,
    key order), the same `actions` and row dimensions, the store's other
    views consistent with them; or the package's exception, or
    `NativeFallback`."""
    settings, _ = _row_settings(data)
    got = read_full(data, _vellum.CellStore(), _vellum.bind_cells, **settings)
    if isinstance(got, NativeFallback):
        return
    want = read_full(data, {}, pure_bind, **settings)
    if isinstance(want, Exception) or isinstance(got, Exception):
        if isinstance(want, pyexpat.ExpatError) and isinstance(got, (LookupError, ValueError)):
            # a style lookup or helper fails on a cell before a well-formedness
            # error further on: the loader raises the first, the package's
            # reading (a block parsed ahead) the second. The front door reads
            # such a sheet again without the engine, so users get the second.
            return
        if isinstance(got, LookupError) and isinstance(want, Exception) and \
                _same_exception(read_full(data, {}, pure_bind, cell_styles=_AnyStyle(), **settings), want):
            # the same for a style lookup (here the engine's error): the
            # package's error stands with every lookup made to succeed, so it
            # is met while parsing ahead of the failing lookup
            return
        assert _same_exception(got, want), (got, want)
        return
    ws, actions, dims = got
    ref_ws, ref_actions, ref_dims = want
    cells = full_cells(ws._cells, ws)
    assert cells == full_cells(ref_ws._cells, ref_ws)
    assert (actions, dims) == (ref_actions, ref_dims)
    store = ws._cells
    keys = [c[0] for c in cells]
    assert len(store) == len(keys) and list(reversed(store)) == keys[::-1]
    if keys:
        rows_, columns = [k[0] for k in keys], [k[1] for k in keys]
        assert store._bounds() == (min(rows_), max(rows_), min(columns), max(columns))
        row = keys[len(keys) // 2][0]
        values, _ = store._row(row, 1, max(columns), True)
        assert values == tuple(ref_ws._cells[(row, c)].value if (row, c) in ref_ws._cells
                               else None for c in range(1, max(columns) + 1))
    else:
        assert store._bounds() is None


def prescan(data):
    """`prescan_sheet` against the package's pre-scan, with corners from
    the sheet's own cells, at two read sizes."""
    draw = _draw(data)
    want_rows = bool(draw & 2)
    corners = prescan_diff.corners_of(data) if draw & 1 else None
    prescan_diff.judge(data, want_rows, corners, sizes=(SIZES[(draw >> 2) % 3], 65536))


# --- the writer -----------------------------------------------------------------

def _text(data, i):
    n = data[i] % 24 if i < len(data) else 0
    return data[i + 1:i + 1 + n].decode("utf-8", "replace"), i + 1 + n


def _value(kind, data, i):
    """(value, bytes used up to) of one cell of the given kind."""
    if kind == 0:
        return int.from_bytes(data[i:i + 8].ljust(8, b"\0"), "little", signed=True), i + 8
    if kind == 1:
        return struct.unpack("<d", data[i:i + 8].ljust(8, b"\0"))[0], i + 8
    if kind == 2:
        return bool(data[i] & 1) if i < len(data) else False, i + 1
    if kind in (3, 4):
        text, i = _text(data, i)
        return ("=" + text if kind == 4 else text), i
    raw = int.from_bytes(data[i:i + 6].ljust(6, b"\0"), "little")
    if kind == 5:
        day = datetime.date(1900, 3, 1).toordinal() + raw % 2_900_000
        stamp = datetime.datetime.fromordinal(min(day, datetime.date.max.toordinal()))
        return stamp + datetime.timedelta(milliseconds=(raw >> 22) % 86_400_000), i + 6
    if kind == 6:
        ms = raw % 86_400_000
        return datetime.time(ms // 3_600_000, ms // 60_000 % 60, ms // 1000 % 60,
                             ms % 1000 * 1000), i + 6
    return None, i


def _clean(value):
    """Whether a value must read back as saved (the generated tests'
    value space); other values only have to be written consistently."""
    if isinstance(value, bool) or value is None:
        return True
    if isinstance(value, int):
        return -2**53 <= value <= 2**53
    return True


def writer_cells(data):
    """{(row, column): (value, font)} decoded from the input: three bytes
    (row, column, kind and font) and the value's own bytes per cell."""
    cells, i = {}, 0
    while i + 3 <= len(data) and len(cells) < 64:
        row, column, kind = 1 + data[i] % 40, 1 + data[i + 1] % 20, data[i + 2]
        value, i = _value(kind % 8, data, i + 3)
        cells[(row, column)] = (value, kind >> 6)
    return cells


def _book(cells):
    """A new workbook holding `cells`, and the values refused when set."""
    book = vellum.new_workbook()
    ws = book.add_sheet("Data")
    refused = {}
    for (row, column), (value, font) in cells.items():
        try:
            cell = ws.cell(row, column, value)
        except ValueError:
            refused[(row, column)] = value
            continue
        if value == "=":
            cell.data_type = "f"
        if font:
            style = StyleArray(cell._style if cell._style is not None else StyleArray())
            style.fontId = font
            cell._style = style
    return book, ws, refused


def _sheet_data(ws, lxml, engine):
    chunks = []
    sheetpart.write_sheet_data(ws, chunks.append, lxml, engine=engine)
    return chunks


def writer(data):
    """The sheet writer in both modes on cells decoded from the input: a
    value no sheet can carry is refused when set, and every other saves;
    the saved sheet parses with expat, reads back with the values it was
    given, and both modes hold the same cells. Where the engine has a
    writer, it writes what the package writes, or declines."""
    cells = writer_cells(data)
    book, ws, refused = _book(cells)
    # what no sheet can carry is refused when set, and only that
    assert all(refusal(v) is not None for v in refused.values()), refused
    cells = {k: v for k, v in cells.items() if k not in refused}
    assert all(refusal(v) is None for v, _ in cells.values())
    if getattr(_vellum, "SheetWriter", None) is not None:
        for lxml in (False, True):
            got = _outcome(_sheet_data, ws, lxml, True)
            want = _outcome(_sheet_data, ws, lxml, False)
            if isinstance(got, Exception) or isinstance(want, Exception):
                assert _same_exception(got, want), (got, want)
            else:
                assert b"".join(c if lxml else c.encode() for c in got) == \
                    b"".join(c if lxml else c.encode() for c in want)
    outputs = [writer_diff.saved(book, lxml) for lxml in (False, True)]
    clean = all(_clean(v) for v, _ in cells.values())
    want = {k: writer_diff.expected(v) for k, (v, _) in cells.items()}
    want = {k: v for k, v in want.items() if v is not None}
    for out in outputs:
        part = zipfile.ZipFile(io.BytesIO(out)).read("xl/worksheets/sheet1.xml")
        pyexpat.ParserCreate().Parse(part, True)
        if clean:
            got = writer_diff.read_back(out)[0]
            assert {k: v for k, v in got.items() if v is not None} == want
    assert writer_diff.sheet_cells(outputs[0]) == writer_diff.sheet_cells(outputs[1])


# --- read, save, read again ---------------------------------------------------

_RESAVE_PARTS = {
    "[Content_Types].xml": (
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>' + "".join(
            f'<Override PartName="/xl/{name}" ContentType="application/vnd.openxmlformats-officedocument.'
            f'spreadsheetml.{kind}+xml"/>' for name, kind in (
                ("workbook.xml", "sheet.main"), ("worksheets/sheet1.xml", "worksheet"),
                ("styles.xml", "styles"), ("sharedStrings.xml", "sharedStrings"))) + "</Types>"),
    "_rels/.rels": (
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
        'relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>'),
    "xl/workbook.xml": (
        '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://'
        'schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets>'
        '<sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>'),
    "xl/_rels/workbook.xml.rels": (
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">' + "".join(
            f'<Relationship Id="rId{i}" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
            f'relationships/{kind}" Target="{target}"/>' for i, (kind, target) in enumerate(
                [("worksheet", "worksheets/sheet1.xml"), ("styles", "styles.xml"),
                 ("sharedStrings", "sharedStrings.xml")], 1)) + "</Relationships>"),
    # styles 0 General, 1 a date, 2 a time, 3 a duration, 4 text, 5 a custom date
    "xl/styles.xml": (
        '<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><numFmts count="1">'
        '<numFmt numFmtId="164" formatCode="yyyy-mm-dd hh:mm"/></numFmts><cellXfs count="6">'
        + "".join(f'<xf numFmtId="{n}" fontId="0" fillId="0" borderId="0"/>' for n in (0, 14, 21, 46, 49, 164))
        + "</cellXfs></styleSheet>"),
    "xl/sharedStrings.xml": (
        '<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
        '<si><t>a</t></si><si><t xml:space="preserve"> b </t></si><si><r><t>c</t></r><r><t>d</t></r></si>'
        "</sst>"),
}


def resave_book(sheet_xml):
    """An xlsx workbook whose one sheet part is `sheet_xml`, with the
    styles (dates, times, durations) and shared strings seeds refer to."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, text in _RESAVE_PARTS.items():
            z.writestr(name, text)
        z.writestr("xl/worksheets/sheet1.xml", sheet_xml)
    return out.getvalue()


def _number_back(value):
    """What a number reads back as: written in full up to 2**53, else with
    16 significant digits."""
    text = writer_ref.number_text(value)
    return float(text) if "." in text or "e" in text else int(text)


def _saved_cell(cell):
    """(value, data type) a cell must read back with, or None for a cell a
    save leaves out (no value)."""
    value, data_type = cell.value, cell.data_type
    if value is None or value == "":
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return ("#NUM!" if math.isnan(value) else "#DIV/0!"), "e"
    if isinstance(value, (int, float)) and not isinstance(value, bool) and data_type == "n":
        return _number_back(value), "n"
    return value, data_type


def _cells_of(book):
    ws = book[0]
    return {key: found for key in list(ws._cells) if (found := _saved_cell(ws._cells[key])) is not None}


def resave(data):
    """Whatever vellum reads saves to a file vellum reads back with the same
    cells: the workbook holding the input as its sheet, read in full (with
    the engine or without it, with formulas or their values), saved, and
    read again gives the same value and data type in every cell that holds
    a value, read back as it was read (formulas or their values). NaN and
    infinities (1e400 reads as one) are refused by default, naming the
    cell, and saved as error values when asked to."""
    draw = _draw(data)
    settings = dict(engine=bool(draw & 1), data_only=bool(draw & 2))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            book = vellum.read_workbook(io.BytesIO(resave_book(data)), **settings)
    except vellum.WorkbookError:
        return
    with book:
        want = _cells_of(book)
        book[0]._changed = True  # written again by the writers, not copied as read
        out = io.BytesIO()
        options = dict(lxml=bool(draw & 4), engine=bool(draw & 8), formulas_as_values=True)
        nonfinite = [key for key in book[0]._cells if cell_nonfinite(book[0]._cells[key].value)]
        try:
            book.save(out, **options)
            assert not nonfinite, nonfinite
        except ValueError as e:
            # refused, naming the first such cell the save met
            assert nonfinite and re.search(r"cell 'S'!([A-Z]+\d+) ", str(e)), e
            book.nan_inf_to_errors = True
            out = io.BytesIO()
            book.save(out, **options)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # read back as it was read: with data_only, the values saved
        # in the formulas' place
        with vellum.read_workbook(io.BytesIO(out.getvalue()), data_only=settings["data_only"]) as again:
            got = _cells_of(again)
    assert got == want, [(k, want.get(k), got.get(k)) for k in sorted(got.keys() | want.keys())
                         if want.get(k) != got.get(k)][:6]


# --- the columnar job -------------------------------------------------------------

_TABLE_STRINGS = ["a", "b", "c"]
_TABLE_CELLS = 1_000_000  # the most the reference builds as Python lists
_TABLE_SST = (f'<sst xmlns="{row_diff.MAIN}">' + "".join(f"<si><t>{s}</t></si>" for s in _TABLE_STRINGS)
              + "</sst>").encode()


def _stored(part):
    return memoryview(part), 0, len(part), len(part), zlib.crc32(part), 0


def _package_cells(data, epoch):
    """The package's reading of the sheet's cells, in document order."""
    from vellum.reference import Parser
    from vellum.reference.sheet import SheetReader

    reader = SheetReader(io.BytesIO(data), Parser(_TABLE_STRINGS, epoch=epoch, data_only=True, **DATES),
                         make_helpers())
    while (row := reader.next_raw()) is not None:
        for r, c, value, data_type, _ in row[1]:
            yield _TableCell(r, c, value, data_type)


class _TableCell:
    __slots__ = ("row", "column", "value", "data_type")

    def __init__(self, row, column, value, data_type):
        self.row, self.column, self.value, self.data_type = row, column, value, data_type


def table(data):
    """`read_table` over the input as a sheet part (and a small string
    table) against the package's reading of its cells made into columns
    (`vellum.reference.table`): the same names, types and values, or the
    same refusal, or `NativeFallback`; where the package's reading fails,
    the engine must fail too (read_table then reads again)."""
    from vellum.reference.table import TableRefusal, build_columns
    from vellum.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
    from tests.table.books import assert_same_table, table_columns

    draw = _draw(data)
    epoch = MAC_EPOCH if draw & 1 else WINDOWS_EPOCH
    options = {"header_row": (0, None, 1)[(draw >> 1) % 3], "skip_rows": (draw >> 3) % 2,
               "n_rows": (None, 2)[(draw >> 4) % 2], "error_text": bool(draw & 32),
               "columns": ([2, 1], None, None)[(draw >> 6) % 3], "names": None, "dtypes": None}
    got = _outcome(lambda: _vellum.read_table(_stored(data), _stored(_TABLE_SST), epoch, DATES["date_formats"],
                                              DATES["timedelta_formats"], make_helpers(), **options))
    if isinstance(got, NativeFallback):
        return
    if isinstance(got, _vellum.TableData) and got.num_rows * len(got.column_names) > _TABLE_CELLS:
        return  # too large for the reference's lists (a cell near XFD1048576)
    cells = _outcome(lambda: list(_package_cells(data, epoch)))
    if not isinstance(cells, Exception) and \
            max((c.row for c in cells), default=0) * max((c.column for c in cells), default=0) > _TABLE_CELLS:
        return
    want = _outcome(lambda: build_columns(cells if not isinstance(cells, Exception)
                                          else _package_cells(data, epoch), **options))
    if isinstance(want, TableRefusal):
        assert got == str(want), (got, want)
        return
    if isinstance(want, Exception):
        # Reading stops past the rows asked for: a fault further on goes
        # unseen (by the package's reading too, as far as it reads ahead).
        assert isinstance(got, Exception) or options["n_rows"] is not None, \
            f"the engine made a table of what the package refuses: {want!r}"
        return
    assert not isinstance(got, (Exception, str)), (got, want)
    assert_same_table(table_columns(got), want)


TARGETS = {"xml": xml, "strings": strings, "rows": rows, "row_cells": row_cells,
           "load": load, "prescan": prescan, "writer": writer, "resave": resave, "table": table}
