"""A worksheet's layout set and read: column widths, row heights, hidden
rows and columns, the frozen pane, merged ranges and the autofilter.

The layout lives where a sheet read keeps it: its rows' attributes in
``row_dimensions``, its other elements (``cols``, ``sheetViews``,
``mergeCells``, ``autoFilter``) in ``_elements`` as captured, in document
order. A change replaces one such element, or puts a new one where the
worksheet's element order wants it, so a save writes the sheet again with
everything else it had kept as it was.
"""
from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from typing import Any

from vellum.reference.cell import changed, column_letter
from vellum.reference.values import MAX_COLUMN, MAX_ROW, coordinate_to_tuple
from vellum.xmlparts import MAIN_NS, captured_element, serialise

# The children of a worksheet, in the order a worksheet must have them.
ORDER = ("sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData",
         "sheetCalcPr", "sheetProtection", "protectedRanges", "scenarios", "autoFilter",
         "sortState", "dataConsolidate", "customSheetViews", "mergeCells", "phoneticPr",
         "conditionalFormatting", "dataValidations", "hyperlinks", "printOptions", "pageMargins",
         "pageSetup", "headerFooter", "rowBreaks", "colBreaks", "customProperties", "cellWatches",
         "ignoredErrors", "smartTags", "drawing", "legacyDrawing", "legacyDrawingHF", "drawingHF",
         "picture", "oleObjects", "controls", "webPublishItems", "tableParts", "extLst")

MAX_WIDTH, MAX_HEIGHT = 255, 409


def _size(value: Any, limit: int, what: str) -> str:
    """A width or height as the text a file holds; ValueError unless it is
    a number from 0 to `limit`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= limit:
        raise ValueError(f"a {what} is a number from 0 to {limit}, not {value!r}")
    return f"{float(value):.15g}"


def _column_span(columns: Any) -> tuple[int, int]:
    """(first, last) of 2, "B", "B:D" or (2, 4)."""
    if isinstance(columns, str):
        first, _, last = columns.partition(":")
        try:
            span = [coordinate_to_tuple(f"{c.strip().replace('$', '')}1")[1]
                    for c in (first, last or first)]
        except ValueError:
            raise ValueError(f"columns are a letter or a range of letters such as 'B:D', "
                             f"not {columns!r}") from None
    else:
        span = list(columns) if isinstance(columns, tuple) else [columns, columns]
        if len(span) != 2 or not all(type(c) is int and 1 <= c <= MAX_COLUMN for c in span):
            raise ValueError(f"columns are numbered 1 to {MAX_COLUMN:,}, not {columns!r}")
    return min(span), max(span)


_RANGE = re.compile(r"\$?([A-Za-z]{1,3})\$?(\d+):\$?([A-Za-z]{1,3})\$?(\d+)")


def cell_range(ref: Any, what: str = "range") -> tuple[int, int, int, int]:
    """(first row, first column, last row, last column) of "A1:C3"."""
    m = _RANGE.fullmatch(ref) if isinstance(ref, str) else None
    if m is None:
        raise ValueError(f"a {what} is a range of cells such as 'A1:C3', not {ref!r}")
    (r0, c0), (r1, c1) = (coordinate_to_tuple(m[1] + m[2]), coordinate_to_tuple(m[3] + m[4]))
    return min(r0, r1), min(c0, c1), max(r0, r1), max(c0, c1)


def range_text(r0: int, c0: int, r1: int, c1: int) -> str:
    return f"{column_letter(c0)}{r0}:{column_letter(c1)}{r1}"


def _ranges(merges: ET.Element | None) -> list[tuple[int, int, int, int]]:
    """The ranges of a ``mergeCells`` element (one a file holds that is no
    range is left out: it cannot overlap anything)."""
    out = []
    for child in merges if merges is not None else ():
        try:
            out.append(cell_range(child.get("ref")))
        except ValueError:
            pass
    return out


class _Merges:
    """A sheet's merged ranges for the overlap check, and the merges not yet
    in its ``mergeCells`` element. A report may merge a range in each of
    many rows: each range is filed under the bands of 64 rows it spans (one
    spanning very many under `wide`), so that a check looks at its
    neighbours only, and new merges reach the element together the next
    time the elements are looked at, so that n merges cost about n steps,
    not n squared."""

    BAND, WIDE = 6, 256  # bands of 2**6 rows; a range over more bands is wide

    def __init__(self, ranges: list[tuple[int, int, int, int]]) -> None:
        self.all: list[tuple[int, int, int, int]] = []
        self.bands: dict[int, list[tuple[int, int, int, int]]] = {}
        self.wide: list[tuple[int, int, int, int]] = []
        self.pending: list[tuple[int, int, int, int]] = []
        for found in ranges:
            self.add(found)

    def add(self, rect: tuple[int, int, int, int]) -> None:
        self.all.append(rect)
        first, last = rect[0] >> self.BAND, rect[2] >> self.BAND
        if last - first >= self.WIDE:
            self.wide.append(rect)
            return
        for band in range(first, last + 1):
            self.bands.setdefault(band, []).append(rect)

    def overlapping(self, rect: tuple[int, int, int, int]) -> tuple[int, int, int, int] | None:
        r0, c0, r1, c1 = rect
        first, last = r0 >> self.BAND, r1 >> self.BAND
        if last - first >= self.WIDE:
            near = [self.all]
        else:
            near = [self.wide] + [self.bands.get(band, ()) for band in range(first, last + 1)]
        for group in near:
            for a0, b0, a1, b1 in group:
                if a0 <= r1 and r0 <= a1 and b0 <= c1 and c0 <= b1:
                    return a0, b0, a1, b1
        return None


class SheetLayout:
    """The layout methods of an editable worksheet (see the module)."""

    # -- the captured elements ---------------------------------------------------------

    _merging: _Merges | None = None

    @property
    def _elements(self) -> list[tuple[bytes, list[tuple[str, str]]]]:
        """The sheet's elements other than its cells, as captured: ``(bytes,
        namespaces in scope)`` in document order, merges made since they
        were last looked at included."""
        if self._merging is not None and self._merging.pending:
            self._write_merges()
        return self._captured

    @_elements.setter
    def _elements(self, elements: list[tuple[bytes, list[tuple[str, str]]]]) -> None:
        self._captured = elements
        self._merging = None

    def _element(self, name: str) -> tuple[int, ET.Element | None]:
        """(position in `_elements`, parsed element) of the first `name`
        element; (the position a new one goes to, None) without one."""
        for i, (data, namespaces) in enumerate(self._elements):
            element = captured_element(data, namespaces)
            local = element.tag.rpartition("}")[2]
            if local == name:
                return i, element
            if local in ORDER and ORDER.index(local) > ORDER.index(name):
                return i, None
        return len(self._elements), None

    def _namespace(self) -> str:
        """The main namespace of the sheet's elements (a Strict sheet keeps
        its own)."""
        for data, namespaces in self._elements:
            return captured_element(data, namespaces).tag[1:].partition("}")[0]
        return MAIN_NS

    def _put(self, name: str, element: ET.Element | None) -> None:
        """Replace the `name` element with `element` (None: remove it); the
        prefixes of the namespaces around the one it replaces are kept."""
        at, old = self._element(name)
        scope = []
        if old is not None:
            scope = [(p, uri) for p, uri in self._elements[at][1] if p]
            del self._elements[at]
        if element is not None:
            ns = element.tag[1:].partition("}")[0]
            text = serialise(element, {uri: p for p, uri in scope}, default=ns)
            self._elements.insert(at, (text.encode(), [("", ns)] + scope))
        changed(self)

    def _new(self, name: str, **attrs: str) -> ET.Element:
        return ET.Element(f"{{{self._namespace()}}}{name}", attrs)

    # -- columns and rows ---------------------------------------------------------------

    def set_column(self, columns: Any, width: float | None = None, hidden: bool = False) -> None:
        """Give columns `columns` (2, "B", "B:D" or (2, 4)) a `width` in
        characters (0 to 255; None keeps theirs) and hide or show them."""
        first, last = _column_span(columns)
        update = {} if width is None else {"width": _size(width, MAX_WIDTH, "column width"),
                                           "customWidth": "1"}
        at, cols = self._element("cols")
        spans = [] if cols is None else [
            (int(c.get("min", 0)), int(c.get("max", 0)), dict(c.attrib)) for c in cols]
        out, covered = [], []
        for lo, hi, attrs in spans:
            if hi < first or lo > last:
                out.append((lo, hi, attrs))
                continue
            out += [(lo, first - 1, attrs)] if lo < first else []
            out += [(last + 1, hi, attrs)] if hi > last else []
            out.append((max(lo, first), min(hi, last), {**attrs, **update}))
            covered.append((max(lo, first), min(hi, last)))
        start = first
        for lo, hi in sorted(covered) + [(last + 1, last + 1)]:
            if lo > start:
                out.append((start, lo - 1, dict(update)))
            start = max(start, hi + 1)
        element = self._new("cols")
        for lo, hi, attrs in sorted(out, key=lambda s: s[0]):
            attrs = {"min": str(lo), "max": str(hi),
                     **{k: v for k, v in attrs.items() if k not in ("min", "max")}}
            if lo >= first and hi <= last:
                attrs.pop("hidden", None)
                attrs.update({"hidden": "1"} if hidden else {})
            ET.SubElement(element, f"{{{self._namespace()}}}col", attrs)
        self._put("cols", element)

    def set_row(self, row: int, height: float | None = None, hidden: bool = False) -> None:
        """Give row `row` a `height` in points (0 to 409; None keeps its
        own) and hide or show it; its other attributes stay."""
        if type(row) is not int or not 1 <= row <= MAX_ROW:
            raise ValueError(f"rows are numbered 1 to {MAX_ROW:,}, not {row!r}")
        attrs = dict(self.row_dimensions.get(row) or {})
        if height is not None:
            attrs.update(ht=_size(height, MAX_HEIGHT, "row height"), customHeight="1")
        attrs.pop("hidden", None)
        attrs.update({"hidden": "1"} if hidden else {})
        self.row_dimensions[row] = attrs
        changed(self)

    # -- the pane, merges and the filter ---------------------------------------------------

    @property
    def freeze_panes(self) -> str | None:
        """The first cell of the scrolling pane when rows or columns are
        frozen ("B2": the first row and column stay), else None. Assign a
        cell to freeze the rows above and the columns left of it, None or
        "A1" to unfreeze."""
        return self.layout().frozen

    @freeze_panes.setter
    def freeze_panes(self, cell: str | None) -> None:
        row, column = coordinate_to_tuple(cell) if cell is not None else (1, 1)
        _, views = self._element("sheetViews")
        if views is None:
            views = self._new("sheetViews")
        ns = views.tag[1:].partition("}")[0]
        view = next(iter(views), None)
        if view is None:
            view = ET.SubElement(views, f"{{{ns}}}sheetView", workbookViewId="0")
        for child in list(view):
            if child.tag.rpartition("}")[2] in ("pane", "selection"):
                view.remove(child)
        if (row, column) != (1, 1):
            attrs = {"xSplit": str(column - 1)} if column > 1 else {}
            attrs.update({"ySplit": str(row - 1)} if row > 1 else {})
            active = ("bottomRight" if row > 1 and column > 1 else
                      "bottomLeft" if row > 1 else "topRight")
            attrs.update(topLeftCell=f"{column_letter(column)}{row}", activePane=active,
                         state="frozen")
            view.insert(0, ET.Element(f"{{{ns}}}pane", attrs))
            view.insert(1, ET.Element(f"{{{ns}}}selection", pane=active))
        self._put("sheetViews", views)

    @property
    def merged_cells(self) -> list[str]:
        """The merged ranges, as "A1:C1" texts."""
        return self.layout().merged

    def merge_cells(self, ref: str) -> None:
        """Merge the range `ref` ("A1:C2"): it shows as one cell, the value
        of its first. ValueError for one cell, or a range that overlaps one
        merged already."""
        rect = cell_range(ref, "merged range")
        if rect[:2] == rect[2:]:
            raise ValueError(f"a merged range spans more than one cell, not {ref!r}")
        if self._merging is None:
            _, merges = self._element("mergeCells")
            self._merging = _Merges(_ranges(merges))
        other = self._merging.overlapping(rect)
        if other is not None:
            raise ValueError(f"{ref!r} overlaps the merged range {range_text(*other)!r}")
        self._merging.add(rect)
        self._merging.pending.append(rect)
        changed(self)

    def _write_merges(self) -> None:
        """The merges made since the elements were last looked at, into the
        ``mergeCells`` element."""
        pending, self._merging.pending = self._merging.pending, []
        _, merges = self._element("mergeCells")
        merges = self._new("mergeCells") if merges is None else merges
        ns = merges.tag[1:].partition("}")[0]
        for rect in pending:
            ET.SubElement(merges, f"{{{ns}}}mergeCell", ref=range_text(*rect))
        merges.set("count", str(len(merges)))
        self._put("mergeCells", merges)

    def unmerge_cells(self, ref: str) -> None:
        """Undo the merge of exactly `ref`; KeyError when it is not merged."""
        wanted = range_text(*cell_range(ref, "merged range"))
        _, merges = self._element("mergeCells")
        found = [m for m in (merges if merges is not None else ())
                 if m.get("ref") and range_text(*cell_range(m.get("ref"))) == wanted]
        if not found:
            raise KeyError(f"{ref!r} is not merged")
        merges.remove(found[0])
        merges.set("count", str(len(merges)))
        self._put("mergeCells", merges if len(merges) else None)
        self._merging = None

    @property
    def auto_filter(self) -> str | None:
        """The range the autofilter covers ("A1:D20", its first row holding
        the headers), or None. Assign a range to set one, None to remove
        it (with its criteria)."""
        return self.layout().auto_filter

    @auto_filter.setter
    def auto_filter(self, ref: str | None) -> None:
        if ref is None:
            self._put("autoFilter", None)
            return
        self._put("autoFilter", self._new("autoFilter",
                                          ref=range_text(*cell_range(ref, "filter range"))))

    def layout(self) -> Any:
        """The sheet's layout as it would be saved now: the range its cells
        span, merged ranges, column widths, the frozen pane, its views, row
        heights, the autofilter and the hidden rows (a `vellum.layout.Layout`)."""
        from vellum.layout import layout_of
        rows = [(row, tuple(attrs.items())) for row, attrs in sorted(self.row_dimensions.items())]
        found = layout_of({"head": list(self._elements), "tail": [], "rows": rows})
        return found._replace(dimension=self.dimensions)
