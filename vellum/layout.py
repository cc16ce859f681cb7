"""A worksheet's layout without its cells: one pre-scan of the sheet's XML
(the engine's `prescan_sheet`, or the package's own when the engine is
missing or declines), then the few elements around the cell data and the
attributes of the rows, read here.

`Layout` holds the dimension, the merged ranges, the column widths, the
frozen pane, the sheet views, the row heights, the autofilter and the
hidden rows.
"""
from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import IO, Any, NamedTuple

from vellum import _vellum
from vellum.errors import native_or_package
from vellum.reference.prescan import prescan_sheet as pure_prescan
from vellum.xmlparts import captured_element


class Columns(NamedTuple):
    """A `col` element: columns `min` to `max` (1-based), their width in
    characters (None when the file gives none) and whether they are hidden."""

    min: int
    max: int
    width: float | None
    hidden: bool


class Layout(NamedTuple):
    """What a sheet looks like, read without its cells."""

    dimension: str | None          # the used range as the file states it, "A1:J100"
    merged: list[str]              # merged ranges, "A1:B2"
    columns: list[Columns]
    frozen: str | None             # the first cell of the scrolling pane, "B2"
    views: list[dict[str, str]]    # each sheetView's attributes
    row_heights: dict[int, float]  # row number -> height in points
    auto_filter: str | None = None  # the range the autofilter covers, "A1:D20"
    hidden_rows: tuple[int, ...] = ()

    @property
    def max_row(self) -> int | None:
        """The last row of the dimension, or None without one."""
        m = re.search(r"(\d+)$", self.dimension or "")
        return int(m.group(1)) if m else None


def prescan(open_source: Callable[[], IO[bytes]], helpers: dict[str, Any], engine: bool = True,
            want_rows: bool = True, corners: Any = None) -> dict[str, Any]:
    """The pre-scan dict of a sheet part; `open_source()` opens it afresh
    (once more when the engine declines)."""
    def run(scan):
        with open_source() as source:
            return scan(source, want_rows, corners, helpers)

    return native_or_package(lambda: run(_vellum.prescan_sheet), lambda: run(pure_prescan), engine)


def _local(tag: str) -> str:
    return tag.rpartition("}")[2]


def _number(text: str | None) -> float | None:
    try:
        return float(text) if text is not None else None
    except ValueError:
        return None


def _frozen(pane: ET.Element) -> str | None:
    if pane.get("state") not in ("frozen", "frozenSplit"):
        return None
    if pane.get("topLeftCell"):
        return pane.get("topLeftCell")
    columns = int(_number(pane.get("xSplit")) or 0)
    rows = int(_number(pane.get("ySplit")) or 0)
    letters = ""
    n = columns + 1
    while n:
        n, r = divmod(n - 1, 26)
        letters = chr(65 + r) + letters
    return f"{letters}{rows + 1}"


def layout_of(scan: dict[str, Any]) -> Layout:
    """The `Layout` of a pre-scan dict (taken with `want_rows`)."""
    out = Layout(None, [], [], None, [], {})
    frozen = dimension = auto_filter = None
    for data, namespaces in scan["head"] + scan["tail"]:
        element = captured_element(data, namespaces)
        kind = _local(element.tag)
        if kind == "dimension" and dimension is None:
            dimension = element.get("ref")
        elif kind == "mergeCells":
            out.merged.extend(m.get("ref", "") for m in element if _local(m.tag) == "mergeCell")
        elif kind == "cols":
            for col in element:
                if _local(col.tag) == "col":
                    out.columns.append(Columns(int(_number(col.get("min")) or 0),
                                               int(_number(col.get("max")) or 0),
                                               _number(col.get("width")),
                                               col.get("hidden") in ("1", "true")))
        elif kind == "autoFilter" and auto_filter is None:
            auto_filter = element.get("ref")
        elif kind == "sheetViews":
            for view in element:
                if _local(view.tag) != "sheetView":
                    continue
                out.views.append({_local(k): v for k, v in view.attrib.items()})
                for pane in view:
                    if frozen is None and _local(pane.tag) == "pane":
                        frozen = _frozen(pane)
    hidden = []
    for row, attrs in scan["rows"]:
        attrs = dict(attrs)
        height = _number(attrs.get("ht"))
        if height is not None:
            out.row_heights[row] = height
        if attrs.get("hidden") in ("1", "true"):
            hidden.append(row)
    return out._replace(dimension=dimension, frozen=frozen, auto_filter=auto_filter,
                        hidden_rows=tuple(hidden))
