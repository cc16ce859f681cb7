"""Pure-Python pre-scan of one worksheet part: the package's own
`prescan_sheet(source, want_rows, corners, helpers)`, the engine's fallback
and its test oracle. It returns the engine's dict:

- ``"head"`` and ``"tail"``: ``(bytes, [(prefix, uri), ...])`` for every
  child of the root before and after the first ``sheetData`` of the main
  namespace (further ``sheetData`` elements go to the tail), exact bytes and
  the namespaces in force around them, as the sheet reader captures them;
- ``"rows"``: with `want_rows`, ``(row number, [(name, value), ...])`` for
  each row holding an unprefixed attribute other than ``r`` and ``spans``,
  every attribute listed in document order (a prefixed one as
  ``{uri}local``);
- ``"corners"``: ``{(row, column): s text or None}`` for the cells of the
  corners asked for that occur in the sheet (the last cell at a place wins).

Rows and cells are found as the engine finds them, tag by tag: every start
tag inside ``sheetData`` named ``row`` or ``c`` with the prefix that
``sheetData`` itself is written with, at any depth. Rows are numbered by
their ``r`` through ``helpers["row_index"]`` (the next row without one);
cells are placed by their ``r`` or after the previous cell of the row. Only
what the caller asked for is read: the rows' numbers only when rows or
corners are wanted, the cells only for corners. Expat checks the whole
document, and comments, CDATA and processing instructions hide nothing.
"""
import codecs
import operator
import xml.parsers.expat

from vellum.reference.sheet import (
    CHUNK, SHEET_DATA, _head_complete, attr_key, sniff_encoding, tag_end)
from vellum.reference.values import MAX_COLUMN, MAX_ROW, coordinate_to_tuple, next_index

PAIRS = "corners must hold (row, column) pairs"
INT64 = range(-(1 << 63), 1 << 63)


def _int64(v):
    v = operator.index(v)
    if v not in INT64:
        raise OverflowError("Python int too large to convert to C long")
    return v


def corner_set(corners):
    """The (row, column) pairs of `corners` (None: none) as a set."""
    out = set()
    for item in () if corners is None else corners:
        try:
            pair = tuple(item)
        except TypeError:
            raise TypeError(PAIRS) from None
        if len(pair) != 2:
            raise TypeError(PAIRS)
        out.add((_int64(pair[0]), _int64(pair[1])))
    return out


def _split(name):
    """(expanded name, prefix) of an expat name in "uri}local}prefix" form."""
    parts = name.split("}")
    if len(parts) == 3:
        return parts[0] + "}" + parts[1], parts[2]
    return name, ""


def _fields(attrs):
    """[(key, value, prefixed), ...] of an ordered expat attribute list."""
    out = []
    for i in range(0, len(attrs), 2):
        name, prefixed = _split(attrs[i])
        out.append((attr_key(name), attrs[i + 1], bool(prefixed)))
    return out


def prescan_sheet(source, want_rows, corners, helpers):
    """The pre-scan dict of the worksheet part read from `source` (see the
    module docstring)."""
    if not isinstance(want_rows, bool):
        raise TypeError(f"prescan_sheet() argument 'want_rows' must be bool, "
                        f"not {type(want_rows).__name__}")
    if not isinstance(helpers, dict):
        raise TypeError(f"prescan_sheet() argument 'helpers' must be dict, "
                        f"not {type(helpers).__name__}")
    if "row_index" not in helpers:
        raise TypeError("missing helper row_index")
    return _Prescan(want_rows, corner_set(corners), helpers["row_index"]).run(source)


class _Prescan:
    def __init__(self, want_rows, corners, row_index):
        self.want_rows, self.corners, self.row_index = want_rows, corners, row_index
        self.rows_wanted = want_rows or bool(corners)
        self.head, self.tail, self.rows, self.found = [], [], [], {}
        self.buf = bytearray()
        self.base = 0              # absolute offset of buf[0]
        self.depth = 0
        self.ns = []               # (prefix, uri, depth of the declaring element)
        self.capture = None        # (start, depth, empty, namespaces, list)
        self.scanned = False       # the first sheetData was met
        self.data_prefix = None    # its prefix while inside it
        self.row = self.column = 0
        self.expat = None
        self.decoder = None        # None: not chosen yet; False: input is UTF-8
        self.head_bytes = b""

    def run(self, source):
        while True:
            data = source.read(CHUNK)
            if not isinstance(data, bytes):
                raise TypeError(f"{type(data).__name__!r} object is not an instance of 'bytes'")
            self.feed(data, not data)
            if not data:
                return {"head": self.head, "tail": self.tail, "rows": self.rows,
                        "corners": self.found}

    # -- input -------------------------------------------------------------

    def feed(self, data, final):
        if self.decoder is None:
            self.head_bytes += data
            if not final and not _head_complete(self.head_bytes):
                return
            data, self.head_bytes = self.head_bytes, b""
            encoding = sniff_encoding(data)
            # captured bytes are UTF-8 whatever the part was written in
            self.decoder = codecs.getincrementaldecoder(encoding)() if encoding else False
            self.expat = self.parser("UTF-8" if encoding else None)
        if self.decoder:
            data = self.decoder.decode(data, final).encode()
        self.buf += data
        self.expat.Parse(data, final)
        keep = self.expat.CurrentByteIndex
        if self.capture is not None:
            keep = min(keep, self.capture[0])
        if keep > self.base:
            del self.buf[:keep - self.base]
            self.base = keep

    def parser(self, encoding):
        p = xml.parsers.expat.ParserCreate(encoding, namespace_separator="}")
        p.namespace_prefixes = True
        p.ordered_attributes = True
        p.StartElementHandler = self.start
        p.EndElementHandler = self.end
        p.StartNamespaceDeclHandler = self.ns_start
        p.EndNamespaceDeclHandler = lambda prefix: self.ns.pop()
        p.StartDoctypeDeclHandler = self.doctype
        return p

    def doctype(self, *args):
        raise ValueError("a worksheet must not contain a DOCTYPE declaration")

    def ns_start(self, prefix, uri):
        self.ns.append((prefix or "", uri or "", self.depth + 1))

    # -- the walk ----------------------------------------------------------

    def start(self, name, attrs):
        self.depth = depth = self.depth + 1
        if self.capture is not None or depth == 1:
            return
        expanded, prefix = _split(name)
        if depth == 2:
            if not self.scanned and expanded in SHEET_DATA:
                self.scanned = True
                self.data_prefix = prefix
            else:
                self.begin_capture(self.tail if self.scanned else self.head)
        elif self.data_prefix == prefix:
            local = expanded.rpartition("}")[2]
            if local == "row" and self.rows_wanted:
                self.start_row(_fields(attrs))
            elif local == "c" and self.corners:
                self.cell(_fields(attrs))

    def end(self, name):
        depth = self.depth
        self.depth = depth - 1
        capture = self.capture
        if capture is not None and depth == capture[1]:
            self.capture = None
            self.finish_capture(capture)
        elif depth == 2:
            self.data_prefix = None

    def begin_capture(self, into):
        start = self.expat.CurrentByteIndex
        end = tag_end(self.buf, start - self.base)
        scope = {}
        for prefix, uri, at in self.ns:
            if at < self.depth:
                scope[prefix] = uri
        self.capture = (start, self.depth, self.buf[end - 2] == 0x2F, list(scope.items()), into)

    def finish_capture(self, capture):
        start, _, empty, namespaces, into = capture
        base = self.base
        if empty:
            end = tag_end(self.buf, start - base)
        else:
            end = self.buf.index(b">", self.expat.CurrentByteIndex - base) + 1
        into.append((bytes(self.buf[start - base:end]), namespaces))

    def start_row(self, fields):
        plain = {k: v for k, v, prefixed in fields if not prefixed}
        r = plain.get("r")
        self.row = next_index(self.row, MAX_ROW, "row") if r is None else self.row_index(r)
        self.column = 0
        if self.want_rows and any(k != "r" and k != "spans" for k in plain):
            self.rows.append((self.row, [(k, v) for k, v, _ in fields]))

    def cell(self, fields):
        plain = {k: v for k, v, prefixed in fields if not prefixed}
        ref = plain.get("r")
        if ref:
            row, self.column = coordinate_to_tuple(ref)
        else:
            self.column = next_index(self.column, MAX_COLUMN, "column")
            row = self.row
        if (row, self.column) in self.corners:
            self.found[(row, self.column)] = plain.get("s")
