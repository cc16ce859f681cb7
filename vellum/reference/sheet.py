"""Pure-Python reading of one worksheet part, one row at a time.

`SheetReader(source, parser, helpers)` is the package's own streaming reader
and has the interface of the engine's `RowReader`: `next_raw()` gives
``(idx, [(row, column, value, data_type, style_id), ...])``, `next_row(...)`
gives the tuple of cells or values of the read-only worksheet, and `actions`
receives, in document order, ``("element", bytes, [(prefix, uri), ...])`` for
every element of the sheet that is not cell data and ``("warn", message)`` for
every date that could not be converted.

Captured elements are the exact bytes of the source, from the ``<`` of the
start tag to the ``>`` of the end tag, with the namespaces in scope around
them, so the package can replay them as if its own parse loop had met them:
every child of the root except ``sheetData``, and every child of
``sheetData`` except ``row``. Byte positions come from expat, which also
checks the XML; nothing else is read from the standard library's tree API.

Cell values are interpreted with the package's helpers only (`int`, `float`,
`coordinate_to_tuple`, `from_excel`, shared-formula `Translator` objects...),
so this module is also the oracle that the engine is compared against.
"""
import codecs
import collections
import collections.abc
import re
import xml.parsers.expat

from vellum.reference.cell import fill_streamed
from vellum.reference.text import decode_escapes
from vellum.reference.values import MAX_COLUMN, MAX_ROW, next_index

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
# The ISO Strict flavour's main namespace, read as the main namespace: a
# Strict sheet holds the same elements under another name.
STRICT_NS = "http://purl.oclc.org/ooxml/spreadsheetml/main"
CHUNK = 65536

# Elements the package's parse loop handles wherever they occur. Met inside a
# row, such an element is handed back like a top-level element; as a child of
# the row it still counts as a cell, an empty one, because the package clears
# an element once it has dispatched it.
DISPATCH_NAMES = (
    "col", "row", "sheetProtection", "extLst", "conditionalFormatting",
    "legacyDrawing", "rowBreaks", "colBreaks", "printOptions", "pageMargins",
    "pageSetup", "headerFooter", "autoFilter", "dataValidations", "sheetPr",
    "sheetViews", "sheetFormatPr", "scenarios", "tableParts", "hyperlinks",
    "mergeCells", "customSheetViews")


def _main(local):
    """The names expat reports for `local` in the main namespace, in its
    transitional and its Strict spelling."""
    return frozenset(ns + "}" + local for ns in (MAIN_NS, STRICT_NS))


DISPATCH = frozenset().union(*(_main(n) for n in DISPATCH_NAMES))
SHEET_DATA, ROW, V, F, IS = (_main(n) for n in ("sheetData", "row", "v", "f", "is"))


_DECLARED = re.compile(rb"""<\?xml\s[^>]*?encoding\s*=\s*["']([A-Za-z0-9._-]+)["']""")


def _head_complete(head):
    """Whether the first bytes of a document tell its encoding."""
    if len(head) < 6:
        return head.startswith((b"\xff\xfe", b"\xfe\xff", b"\xef\xbb\xbf"))
    return not head.startswith(b"<?xml") or b"?>" in head or len(head) > 4096


def sniff_encoding(head):
    """The codec of a document that is not UTF-8, from its byte order mark,
    its first bytes or its declaration; None for UTF-8 (and for encodings
    Python does not know, which expat then reports)."""
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return "utf-16"
    if head.startswith(b"<\x00"):
        return "utf-16-le"
    if head.startswith(b"\x00<"):
        return "utf-16-be"
    m = _DECLARED.match(head)
    if m is None:
        return None
    try:
        name = codecs.lookup(m.group(1).decode("ascii")).name
    except LookupError:
        return None
    return None if name == "utf-8" else name


def attr_key(name):
    """Expat's "uri}local" attribute name as the package's "{uri}local" key."""
    return "{" + name if "}" in name else name


def tag_end(buf, start):
    """Offset just past the ``>`` of the tag that begins at `start`.

    Quoted attribute values may hold a ``>``, so quotes are skipped. Each
    position found is kept until it is passed (none before ``>``: the
    ``>`` itself), so a tag of a million attributes is scanned once, not
    once per value."""
    i, j = start, -1
    while True:
        if j < i:
            j = buf.index(b">", i)
            quote = apos = -1
        if quote < i:
            quote = buf.find(b'"', i, j)
            quote = j if quote < 0 else quote
        if apos < i:
            apos = buf.find(b"'", i, j)
            apos = j if apos < 0 else apos
        q = min(quote, apos)
        if q == j:
            return j + 1
        i = buf.index(buf[q:q + 1], q + 1) + 1


class _Capture:
    """An element whose bytes are being kept: where it starts, how deep it
    is, whether its start tag closes itself, the namespaces around it, and
    the expat handlers to go back to when it ends."""

    __slots__ = ("start", "depth", "empty", "namespaces", "resume")

    def __init__(self, start, depth, empty, namespaces, resume):
        self.start, self.depth, self.empty = start, depth, empty
        self.namespaces, self.resume = namespaces, resume


class SheetReader:
    """Streams the rows of one worksheet part (see the module docstring).

    Expat calls one of three sets of handlers: the top-level walk outside
    rows, the cell reader inside a row, and a plain depth count inside an
    element whose bytes are handed back (a capture)."""

    def __init__(self, source, parser, helpers):
        if not isinstance(helpers, dict):
            raise TypeError("helpers must be a dict")
        self._source = source
        self.actions = []
        self._queue = collections.deque()
        self._eof = False
        self._head = b""           # first bytes, until the encoding is known
        self._decoder = None       # None: not chosen yet; False: input is UTF-8
        self._h = helpers
        self._int = helpers["int"]
        self._coordinate = helpers["coordinate_to_tuple"]
        self._epoch = parser.epoch
        self._shared_strings = parser.shared_strings
        self._data_only = bool(parser.data_only)
        self._rich_text = bool(parser.rich_text)
        self._formula_and_value = bool(getattr(parser, "formula_and_value", False))
        self._date_formats = parser.date_formats
        self._timedelta_formats = parser.timedelta_formats
        self._row_dimensions = parser.row_dimensions
        self._masters = {}

        self._buf = bytearray()
        self._base = 0             # absolute offset of _buf[0]
        self._depth = 0
        self._ns = []              # (prefix, uri, depth of the declaring element)
        self._capture = None       # the element being handed back as a whole
        self._inline = None        # the "is" element being kept for a helper
        self._in_sheet_data = False
        self._row = 0
        self._column = 0
        self._cells = None         # cells of the open row
        self._extra = None         # their (is formula, cached value) pairs
        self._collect = 0          # 1 while in the first v, 2 in the first f
        self._c_attrs = None       # the open cell: its attributes,
        self._c_style = 0          # style id,
        self._c_v = None           # v text,
        self._c_f = None           # f text,
        self._c_f_attrs = None     # f attributes,
        self._c_inline = None      # and inline-string value (a 1-tuple)

        p = self._expat = xml.parsers.expat.ParserCreate(namespace_separator="}")
        p.buffer_text = True
        p.StartNamespaceDeclHandler = self._ns_start
        p.EndNamespaceDeclHandler = self._ns_end
        p.StartDoctypeDeclHandler = self._doctype
        self._outside = (self._start, self._end, None)
        self._in_row = (self._cell_start, self._cell_end, self._text)
        self._set_handlers(self._outside)

    def _set_handlers(self, handlers):
        p = self._expat
        p.StartElementHandler, p.EndElementHandler, p.CharacterDataHandler = handlers

    # -- input -------------------------------------------------------------

    def _pull(self):
        """Feed the next chunk to expat; the items it completes are queued."""
        data = self._source.read(CHUNK)
        if not isinstance(data, bytes):
            raise TypeError(f"{type(data).__name__!r} object is not an instance of 'bytes'")
        final = not data
        if self._decoder is None:
            self._head += data
            if not final and not _head_complete(self._head):
                return
            data, self._head = self._head, b""
            self._choose_decoder(data)
        if self._decoder:
            data = self._decoder.decode(data, final).encode()
        self._buf += data
        self._expat.Parse(data, final)
        if final:
            self._eof = True
            return
        # Bytes before the first token expat has not reported yet are needed
        # only by a capture that is still open.
        keep = self._expat.CurrentByteIndex
        for c in (self._capture, self._inline):
            if c is not None:
                keep = min(keep, c.start)
        if keep > self._base:
            del self._buf[:keep - self._base]
            self._base = keep

    def _choose_decoder(self, head):
        """Captured elements must be UTF-8 whatever the part was written in,
        so a part in another encoding is decoded here and handed to expat as
        UTF-8, its declared encoding overridden."""
        encoding = sniff_encoding(head)
        self._decoder = codecs.getincrementaldecoder(encoding)() if encoding else False
        if encoding:
            old = self._expat
            p = self._expat = xml.parsers.expat.ParserCreate("UTF-8", namespace_separator="}")
            p.buffer_text = True
            for name in ("StartNamespaceDeclHandler", "EndNamespaceDeclHandler",
                         "StartDoctypeDeclHandler", "StartElementHandler",
                         "EndElementHandler", "CharacterDataHandler"):
                setattr(p, name, getattr(old, name))

    def _doctype(self, *args):
        raise ValueError("a worksheet must not contain a DOCTYPE declaration")

    def _ns_start(self, prefix, uri):
        # called before the start handler of the declaring element
        self._ns.append((prefix or "", uri or "", self._depth + 1))

    def _ns_end(self, prefix):
        self._ns.pop()

    def _scope(self, depth):
        """The (prefix, uri) pairs in force around an element at `depth`,
        outermost first, an inner redeclaration keeping the outer place."""
        scope = {}
        for prefix, uri, at in self._ns:
            if at < depth:
                scope[prefix] = uri
        return list(scope.items())

    def _begin_capture(self, handlers):
        """Start keeping the bytes of the element whose start tag expat has
        just reported, and switch to `handlers` until it ends."""
        start = self._expat.CurrentByteIndex
        if start < self._base:
            raise RuntimeError("capture starts before the kept input")
        end = tag_end(self._buf, start - self._base)
        empty = self._buf[end - 2] == 0x2F  # "/>"
        p = self._expat
        resume = (p.StartElementHandler, p.EndElementHandler, p.CharacterDataHandler)
        self._set_handlers(handlers)
        return _Capture(start, self._depth, empty, self._scope(self._depth), resume)

    def _finish_capture(self, capture):
        """(bytes, namespaces) of a capture whose end expat reports now."""
        self._set_handlers(capture.resume)
        base = self._base
        if capture.empty:
            end = tag_end(self._buf, capture.start - base)
        else:
            end = self._buf.index(b">", self._expat.CurrentByteIndex - base) + 1
        return bytes(self._buf[capture.start - base:end]), capture.namespaces

    def _capture_element(self):
        self._capture = self._begin_capture((self._skip_start, self._skip_end, None))

    # -- inside a captured element -----------------------------------------

    def _skip_start(self, name, attrs):
        self._depth += 1

    def _skip_end(self, name):
        depth = self._depth
        self._depth = depth - 1
        capture = self._capture
        if depth == capture.depth:
            self._capture = None
            self._queue.append(("element",) + self._finish_capture(capture))
            if depth == 4 and self._cells is not None:
                self._c_attrs = {}  # a dispatched row child: an empty cell
                self._c_style = 0
                self._c_v = self._c_f = self._c_inline = None
                self._end_cell()

    def _inline_start(self, name, attrs):
        self._depth += 1
        if name in DISPATCH:
            self._capture_element()

    def _inline_end(self, name):
        depth = self._depth
        self._depth = depth - 1
        if depth == self._inline.depth:
            data, namespaces = self._finish_capture(self._inline)
            self._inline = None
            helper = self._h["rich_inline" if self._rich_text else "text_content"]
            self._c_inline = (helper(data, namespaces),)

    # -- the top-level walk ------------------------------------------------

    def _start(self, name, attrs):
        self._depth = depth = self._depth + 1
        if depth == 2:
            if name in SHEET_DATA:
                self._in_sheet_data = True
            else:
                self._capture_element()
        elif depth == 3 and self._in_sheet_data:
            if name in ROW:
                self._start_row(attrs)
            else:
                self._capture_element()

    def _end(self, name):
        if self._depth == 2:
            self._in_sheet_data = False
        self._depth -= 1

    def _start_row(self, attrs):
        r = attrs.get("r")
        if r is None:
            self._row = next_index(self._row, MAX_ROW, "row")
        else:
            self._row = self._h["row_index"](r)
        self._column = 0
        for key in attrs:
            if key != "r" and key != "spans" and "}" not in key:
                self._row_dimensions[str(self._row)] = {
                    attr_key(k): v for k, v in attrs.items()}
                break
        self._cells = []
        self._extra = []
        self._set_handlers(self._in_row)

    # -- inside a row --------------------------------------------------------

    def _cell_start(self, name, attrs):
        self._depth = depth = self._depth + 1
        if depth == 4:  # every child of a row is a cell
            if name in DISPATCH:
                self._capture_element()
                return
            self._c_attrs = attrs
            style_id = attrs.get("s", 0)
            if style_id:
                style_id = self._int(style_id)
            self._c_style = style_id
            self._c_v = self._c_f = self._c_inline = None
            return
        self._collect = 0  # the text of v or f ends at its first child
        if name in DISPATCH:
            self._capture_element()
        elif depth == 5:
            if name in V:
                if self._c_v is None:
                    self._c_v = ""
                    self._collect = 1
            elif name in F:
                if self._c_f is None:
                    self._c_f = ""
                    self._c_f_attrs = attrs
                    self._collect = 2
            elif name in IS:
                if (self._c_inline is None and self._inline is None
                        and self._c_attrs.get("t") == "inlineStr"):
                    self._inline = self._begin_capture(
                        (self._inline_start, self._inline_end, None))

    def _text(self, data):
        if self._collect == 1:
            self._c_v += data
        elif self._collect == 2:
            self._c_f += data

    def _cell_end(self, name):
        depth = self._depth
        self._depth = depth - 1
        if depth == 5:
            self._collect = 0
        elif depth == 4:
            self._end_cell()
        elif depth == 3:
            self._queue.append(("row", self._row, self._cells, self._extra))
            self._cells = None
            self._set_handlers(self._outside)

    # -- cell values -------------------------------------------------------

    def _end_cell(self):
        attrs = self._c_attrs
        coordinate = attrs.get("r")
        if coordinate:
            row, column = self._coordinate(coordinate)
            self._column = column
        else:
            self._column = next_index(self._column, MAX_COLUMN, "column")
            row, column = self._row, self._column
        t = attrs.get("t", "n")
        text = self._c_v if t != "inlineStr" else None
        text = text or None
        is_formula = self._c_f is not None and not self._data_only
        if is_formula:
            value = self._formula(coordinate)
            data_type = "f"
        else:
            value, data_type = self._value(text, t, coordinate, True)
        self._cells.append((row, column, value, data_type, self._c_style))
        if self._formula_and_value:
            cached = self._value(text, t, coordinate, False)[0] if is_formula else value
            self._extra.append((is_formula, cached))

    def _formula(self, coordinate):
        h = self._h
        f_attrs = self._c_f_attrs
        value = "=" + self._c_f
        kind = f_attrs.get("t")
        if kind == "array":
            return h["ArrayFormula"](ref=f_attrs.get("ref"), text=value)
        if kind == "dataTable":
            return h["DataTableFormula"](**{attr_key(k): v for k, v in f_attrs.items()})
        if kind == "shared":
            si = f_attrs.get("si")
            master = self._masters.get(si)
            if master is not None:
                return master.translate_formula(coordinate)
            if value != "=":
                self._masters[si] = h["Translator"](value, coordinate)
        return value

    def _value(self, text, t, coordinate, warn):
        """The value and data type of a cell's value text under type `t`."""
        if text is None:
            if t == "inlineStr" and self._c_inline is not None:
                return self._c_inline[0], "s"
            return None, t
        if t == "n":
            if "." in text or "E" in text or "e" in text:
                number = self._h["float"](text)
            else:
                number = self._int(text)
            style_id = self._c_style
            if style_id in self._date_formats:
                h = self._h
                try:
                    return h["from_excel"](
                        number, self._epoch,
                        timedelta=style_id in self._timedelta_formats), "d"
                except (OverflowError, ValueError):
                    message = h["date_warning"](coordinate, number)
                    if warn:
                        self._queue.append(("warn", message))
                    return "#VALUE!", "e"
            return number, "n"
        if t == "s":
            return self._shared_strings[self._int(text)], "s"
        if t == "b":
            return bool(self._int(text)), "b"
        if t == "d":
            return self._h["from_ISO8601"](text), "d"
        if t == "str" or t == "f":
            # a formula's text result, written as cell text is; "f" names no
            # formula (that is the f element), and a cell typed "f" would be
            # saved as one
            return decode_escapes(text), "s"
        return text, t

    # -- rows handed out ---------------------------------------------------

    def _next_item(self):
        """The next queued row, after moving the elements and warnings queued
        before it to `actions`; None at the end of the document."""
        queue = self._queue
        while True:
            while queue:
                item = queue.popleft()
                if item[0] == "row":
                    return item
                self.actions.append(item)
            if self._eof:
                return None
            self._pull()

    def next_raw(self):
        """``(idx, [(row, column, value, data_type, style_id), ...])`` for the
        next row, or None after the last."""
        item = self._next_item()
        if item is None:
            return None
        return item[1], item[2]

    def next_row(self, ws, min_col, max_col, values_only, cell_cls, filler,
                 extra_none=None):
        """``(idx, tuple)`` for the next row as the read-only worksheet shows
        it: cells from `min_col` to `max_col` (the row's last cell when
        `max_col` is None or 0), `filler` where a row has no cell; values
        with `values_only`, else `cell_cls` objects made without calling
        their constructor. None after the last row."""
        if isinstance(extra_none, str) or not (
                extra_none is None or isinstance(extra_none, collections.abc.Sequence)
                and all(isinstance(n, str) for n in extra_none)):
            raise TypeError("extra_none must be None or a sequence of str")
        item = self._next_item()
        if item is None:
            return None
        _, idx, cells, extra = item
        if not cells and not max_col:
            return idx, ()
        last = max_col if max_col else cells[-1][1]
        out = [filler] * max(last + 1 - min_col, 0)
        for i, (row, column, value, data_type, style_id) in enumerate(cells):
            if not min_col <= column <= last:
                continue
            if values_only:
                out[column - min_col] = value
                continue
            cell = fill_streamed(object.__new__(cell_cls), ws, row, column, value, data_type, style_id)
            if self._formula_and_value:
                is_formula, cached = extra[i]
                cell.formula, cell.cached_value = value if is_formula else None, cached
            for name in extra_none or ():
                setattr(cell, name, None)
            out[column - min_col] = cell
        return idx, tuple(out)
