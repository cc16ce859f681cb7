"""When the streaming row reader lets rows and captured elements go, and how
far it has read: rows and elements wait until the parser has finished the
16 KiB block they ended in (checked against a step-by-step model of that
rule), an error discards the rows still waiting, warnings and elements reach
`actions` in document order though rows are handed out later than they are
read, the source is read about as far as the parser has gone, and after the
end every call returns None. Long sheets are checked against the package's
own reader at read sizes that cross every block boundary."""
import itertools

import pytest

from row_diff import (BARE, BLOCK, DATES, MAIN, STRINGS, Chunks, RowReader, agree, exact,
                      int_error, reader, readers, sheet)
from vellum.reference import Cell, Parser, make_helpers

pytestmark = pytest.mark.skipif(RowReader is None, reason="the engine has no RowReader yet")


# --- what `actions` holds, and after the end ------------------------------

def test_after_the_end_every_call_returns_none():
    _, eng = readers(sheet("<row/>", after="<x/>"))
    assert eng.next_raw() == (1, [])
    for _ in range(3):
        assert eng.next_raw() is None
        assert eng.next_row("ws", 1, None, True, Cell, None) is None
    assert [a[1] for a in eng.actions] == [b"<x/>"]


def test_a_sheet_without_rows_hands_its_elements_to_the_first_call():
    _, eng = readers(sheet("", before="<a/>", after="<b/>"))
    assert eng.actions == []
    assert eng.next_row("ws", 1, None, True, Cell, None) is None
    assert [a[:2] for a in eng.actions] == [("element", b"<a/>"), ("element", b"<b/>")]


def test_actions_is_one_read_only_list():
    _, eng = readers(sheet("<row/>", before="<a/>"))
    actions = eng.actions
    assert type(actions) is list and actions == []
    eng.next_raw()
    assert eng.actions is actions and actions == [("element", b"<a/>", [("", MAIN), ("r", "urn:r")])]
    with pytest.raises(AttributeError):
        eng.actions = []
    with pytest.raises(AttributeError):
        del eng.actions


def test_warnings_stay_between_the_elements_around_them():
    cells = ('<row r="1"><c r="A1" s="3"><v>3000000</v></c></row><mergeCells/>'
             '<row r="2"><c s="3"><v>1e10</v></c><c s="3"><v>5</v></c></row><extra/>')
    r = reader(sheet(cells, head=BARE), date_formats={3})
    assert r.next_raw()[0] == 1
    assert [a[0] for a in r.actions] == ["warn"]
    assert r.next_raw()[0] == 2
    assert [a[0] for a in r.actions] == ["warn", "element", "warn"]
    assert r.next_raw() is None
    assert [a[0] for a in r.actions] == ["warn", "element", "warn", "element"]
    assert r.actions[2][1].startswith("A cell ")


# --- release of rows per 16 KiB block --------------------------------------

def released(items):
    """What the release rule lets the caller see: for each row handed out,
    (rows parsed so far, elements in `actions`, parser offset), stepping the rule as
    written: items wait until the parser's offset reaches the end of the
    16 KiB block in which they ended, or the document ends."""
    queue, seen, parsed, offset, ended, todo = [], [], 0, 0, False, iter(items)
    elements = 0
    while True:
        if queue and (ended or offset >= queue[0][1] - queue[0][1] % BLOCK + BLOCK):
            kind, _ = queue.pop(0)
            if kind == "element":
                elements += 1
            else:
                seen.append((parsed, elements, offset))
            continue
        if not queue and ended:
            return seen
        item = next(todo, None)
        if item is None:
            ended = True
        else:
            queue.append(item)
            offset = item[1]
            parsed += item[0] == "row"


def test_rows_and_elements_are_released_per_block():
    parts, items = [], []
    at = len(sheet("").split(b"<sheetData>")[0]) + len(b"<sheetData>")
    for r in range(1, 1800):
        row = (f'<row r="{r}" ht="{r % 40 + 10}"><c r="A{r}"><v>{r * 7}</v></c>'
               f'<c t="str"><v>{"x" * (r * 13 % 300)}</v></c></row>')
        parts.append(row)
        at += len(row)
        items.append(("row", at))
        if r % 37 == 0:
            element = f'<e n="{r}"/>'
            parts.append(element)
            at += len(element)
            items.append(("element", at))
    doc = sheet("".join(parts))
    assert len(doc) > 4 * 65536
    source, parser = Chunks(doc, 65536), Parser()
    reader = RowReader(source, parser, make_helpers())
    got, want = [], released(items)
    for parsed, elements, offset in want:
        assert reader.next_raw() is not None
        got.append((len(parser.row_dimensions), len(reader.actions), offset))
        # streaming: the source is read about as far as the parser has gone
        assert offset <= source.total < offset + 2 * 65536
    assert got == want
    assert reader.next_raw() is None and source.total == len(doc)


def test_rows_before_an_error_are_those_of_finished_blocks():
    """A parse error discards the rows still waiting for their 16 KiB block
    to be read in full: the rows handed out are exactly those that ended in
    a block before the block of the last row parsed without error."""
    rows = [f'<row r="{i}"><c><v>{i}</v></c></row>' for i in range(1, 3000)]
    ends = list(itertools.accumulate(map(len, rows), initial=len(sheet("").split(b"</sheetData>")[0])))[1:]
    ref, eng = agree(sheet("".join(rows) + '<row><c><v>x</v></c></row>'), sizes=(7, 65536))
    assert eng.fallback == int_error("x")
    last_block = ends[-1] // BLOCK
    assert len(eng.rows) == sum(end // BLOCK < last_block for end in ends)
    assert len(ref.rows) < len(eng.rows)  # the package loses every row of its 64 KiB read


def long_sheet():
    """Rows over many 16 and 64 KiB blocks, with captures longer than a
    read, a comment longer than the reader's buffer, shared formulas whose
    master is far behind, warnings and inline strings."""
    rows = []
    for r in range(1, 1200):
        rows.append(
            f'<row r="{r}" ht="{r % 30}"><c r="A{r}" s="3"><v>{r * 9973 % 4000000}.25</v></c>'
            f'<c t="s"><v>{r % 3}</v></c><c t="inlineStr"><is><t>i{r}&amp;\u00e9</t></is></c>'
            f'<c r="D{r}"><f t="shared" si="{r % 2}"{">B1+$C$1</f>" if r < 3 else "/>"}</c></row>')
        if r % 97 == 0:
            rows.append(f'<extra n="{r}">{"<x/>" * (r * 37 % 4000)}</extra>')
    return sheet("".join(rows),
                 before='<sheetViews><sheetView a="&gt;"/></sheetViews><!-- ' + "y" * 70000 + " -->",
                 after="<extLst>" + '<ext uri="u"/>' * 6000 + "</extLst>")


@pytest.mark.parametrize("size", [1, 7, 4093, 65536])
def test_long_sheet(size):
    ref, eng = exact(long_sheet(), sizes=(size,), **STRINGS, **DATES)
    assert len(eng.rows) == 1199 and "warn" in repr(eng.actions)
