"""prescan_sheet against the package's own pre-scan: every sheet of the
corpus and generated sheets, with rows wanted or not and corners taken
from the sheet's own cells (and some that are not there). The engine gives
the package's dict, at every read size, or declines with NativeFallback;
where the package refuses a document, the engine declines it too, unless
the fault lies in bytes of sheetData that the engine's walk passes over
unread (it does not check what it does not read)."""
import collections
import csv
import io
import pathlib
import re
import xml.parsers.expat
import zipfile

import pytest
from hypothesis import given, strategies as st

from vellum._vellum import NativeFallback, prescan_sheet
from vellum.reference import make_helpers
from vellum.reference.prescan import prescan_sheet as pure_prescan

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = f'<worksheet xmlns="{MAIN}" xmlns:x="urn:x">'
SIZES = (1, 7, 65536)
CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
HELPERS = make_helpers()
# What the engine may decline that the package reads: the walk's own limits
# and the reader's.
DECLINED = {"unsupported: " + m for m in (
    "comment/cdata/pi in sheetData", "prefixed sheetData", "coordinate", "row index",
    "namespace declaration", "utf-16", "encoding", "non-ascii name", "xml version")}


class Reads:
    """At most `size` bytes per read."""

    def __init__(self, data, size):
        self.data, self.size, self.at = data, size, 0

    def read(self, n):
        chunk = self.data[self.at:self.at + min(n, self.size)]
        self.at += len(chunk)
        return chunk


def outcome(fn, data, size, want_rows, corners):
    try:
        return fn(Reads(data, size), want_rows, corners, HELPERS)
    except Exception as e:  # noqa: BLE001 (the kind of failure is compared)
        return e


def judge(data, want_rows, corners, sizes=SIZES):
    """'native', or the engine's NativeFallback message; asserts the rule."""
    ref = outcome(pure_prescan, data, 65536, want_rows, corners)
    got = [outcome(prescan_sheet, data, size, want_rows, corners) for size in sizes]
    for g in got[1:]:
        assert repr(g) == repr(got[0]), "the read size changes the result"
    g = got[0]
    if isinstance(g, NativeFallback):
        if not isinstance(ref, Exception):
            assert str(g) in DECLINED, f"declined what the package reads: {g}"
        return str(g)
    if isinstance(ref, xml.parsers.expat.ExpatError) and isinstance(g, dict):
        # the walk passes over what it does not read (here a fault inside
        # sheetData) unjudged, as it is meant to
        return "read what the package refuses"
    if isinstance(ref, Exception) or isinstance(g, Exception):
        assert type(g) is type(ref) and str(g) == str(ref), (g, ref)
        return "raised"
    assert list(g) == ["head", "tail", "rows", "corners"]
    assert (g["head"], g["tail"], g["rows"]) == (ref["head"], ref["tail"], ref["rows"])
    assert g["corners"] == ref["corners"]
    return "native"


def corners_of(data, absent=((1, 1), (1_048_577, 3))):
    """Up to four corners from the sheet's own cell references, and two
    that are usually not there."""
    refs = re.findall(rb'<c r="([A-Z]{1,3})([1-9][0-9]{0,6})"', data)
    picks = {refs[i] for i in {0, len(refs) // 2, len(refs) - 1}} if refs else set()
    out = set(absent)
    for letters, digits in picks:
        column = 0
        for ch in letters.decode():
            column = column * 26 + ord(ch) - 64
        out.add((int(digits), column))
    return sorted(out)


# --- the corpus --------------------------------------------------------------

def corpus_sheets():
    with open(CORPUS / "MANIFEST.tsv", newline="") as f:
        names = [e["file"] for e in csv.DictReader(f, delimiter="\t")]
    for name in names:
        try:
            z = zipfile.ZipFile(CORPUS / name)
        except zipfile.BadZipFile:
            continue
        with z:
            for part in z.namelist():
                if re.fullmatch(r"xl/worksheets/[^/]+\.xml", part, re.IGNORECASE):
                    yield f"{name}:{part}", z.read(part)


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
def test_every_corpus_sheet(capsys):
    counts = collections.Counter()
    for where, data in corpus_sheets():
        corners = corners_of(data)
        for want_rows in (False, True):
            for c in (None, corners):
                try:
                    counts[judge(data, want_rows, c, sizes=(97, 65536))] += 1
                except AssertionError as e:
                    raise AssertionError(f"{where} want_rows={want_rows} corners={c}: {e}") from None
    with capsys.disabled():
        print("\ncorpus pre-scans:", dict(sorted(counts.items())))
    assert counts["native"] > 400


# --- generated sheets --------------------------------------------------------

ROW_TAGS = [
    '<row r="{n}">', '<row>', '<row r="{n}" spans="1:3">', '<row r="{n}" ht="20" customHeight="1">',
    '<row ht="7.5">', '<row r="1e1" ht="3">', "<row  r='{n}'\thidden='1' >", '<row r="{n}" x:ht="1">',
    '<row r="{n}" x:a="1" s="&amp;>">', '<row r="0{n}" spans=">1:2">', '<row r="-{n}" ht="1"/>',
    '<row xml:space="preserve" r="{n}">', '<row r="{n}" ht="a&#9;b\tc">',
]
CELLS = [
    '<c r="{col}{n}" s="{s}"><v>1</v></c>', '<c s="{s}"/>', '<c><v>2</v></c>', '<c r="" s="{s}"/>',
    '<c r="{col}{n}" t="s" x:s="9"><v>0</v></c>', "<c s='{s}' r='{col}{n}'/>",
    '<c r="{col}{n}" s="{s}" t="str"><f>"&gt;"&amp;"&lt;"</f><v>&gt;</v></c>',
    '<c r="{col}{n}" x:a=">"><is><t>row c</t></is></c>', '<c r="$A${n}" s="{s}"/>',
]
JUNK = ["", "<!-- <row r='99' ht='1'> -->", "<?pi <c r='A1'/>?>", "<![CDATA[<row>]]>", " \n "]
ELEMENTS = ['<sheetPr x:a="1"><tabColor rgb="FF0000"/></sheetPr>', '<dimension ref="A1:C9"/>',
            '<cols><col min="1" max="2" width="9"/></cols>', '<x:ext xmlns:y="urn:y"><y:a/></x:ext>',
            '<mergeCells count="1"><mergeCell ref="A1:B2"/></mergeCells>', "<sheetData/>"]


@st.composite
def sheets(draw):
    rows = []
    for n in range(1, draw(st.integers(0, 6)) + 1):
        tag = draw(st.sampled_from(ROW_TAGS)).format(n=n)
        cells = "".join(
            draw(st.sampled_from(CELLS)).format(col="ABC"[i], n=n, s=draw(st.sampled_from(["1", "", "x"])))
            for i in range(draw(st.integers(0, 3))))
        junk = draw(st.sampled_from(JUNK)) if draw(st.integers(0, 4)) == 0 else ""
        rows.append(tag if tag.endswith("/>") else f"{tag}{junk}{cells}</row>")
    head = "".join(draw(st.lists(st.sampled_from(ELEMENTS[:-1]), max_size=2)))
    tail = "".join(draw(st.lists(st.sampled_from(ELEMENTS), max_size=2)))
    return f"{HEAD}{head}<sheetData>{''.join(rows)}</sheetData>{tail}</worksheet>".encode()


@given(sheets(), st.booleans(), st.sampled_from([None, [], [(1, 1), (2, 2), (10, 3), (3, 1)]]))
def test_generated_sheets(doc, want_rows, corners):
    judge(doc, want_rows, corners)
    judge(doc, want_rows, corners_of(doc))


@pytest.mark.parametrize("want_rows, corners", [(False, None), (True, None), (False, [(2, 1)])])
def test_truncated_at_every_byte_of_a_tag(want_rows, corners):
    # each of these tags is cut at every byte: the package refuses the
    # document and the engine declines it
    doc = (f'{HEAD}<sheetPr a=">"/><sheetData><row r="1" ht="2" x:b=\'>\'><c r="A1" s="3"><v>1</v>'
           f'</c></row><row r="2"><c s="4" r="A2"/></row></sheetData><cols/></worksheet>').encode()
    for tag in (b'<sheetPr a=">"/>', b"<row r=\"1\" ht=\"2\" x:b='>'>", b'<c r="A1" s="3">',
                b'<c s="4" r="A2"/>', b"</sheetData>", b"<cols/>"):
        at = doc.index(tag)
        for cut in range(at, at + len(tag)):
            assert judge(doc[:cut], want_rows, corners, sizes=(1, 7, 65536)) != "native", cut


@pytest.mark.parametrize("close", [True, False])
def test_a_shortcut_is_taken_whatever_the_read_size(close):
    # a row number and a cell reference are read from the bytes and the rest
    # of their tags passed over: where a read ends inside them must not
    # decide whether the fault after them is seen
    doc = (f'{HEAD}<sheetData><row r="-123456789012345678" ht="1\x06"/><row r="5555556" ht="1\x06">'
           f'<c r="XFD1048576" t="\x06"/></row>' + ("</sheetData></worksheet>" if close else "")).encode()
    for corners in ([(1, 1)], [(5555556, 1)]):
        judge(doc, False, corners, sizes=(65536, *range(1, 48)))


def test_what_the_engine_declines_and_the_package_reads():
    doc = f'{HEAD}<sheetData><row r="1" ht="2"/><!-- c --><row r="3" ht="4"/></sheetData></worksheet>'
    assert judge(doc.encode(), False, None) == "unsupported: comment/cdata/pi in sheetData"
    assert pure_prescan(io.BytesIO(doc.encode()), True, None, HELPERS)["rows"] == [
        (1, [("r", "1"), ("ht", "2")]), (3, [("r", "3"), ("ht", "4")])]
    doc = (f'<m:worksheet xmlns:m="{MAIN}"><m:sheetData><m:row r="5" ht="1"><m:c r="B5" s="7"/>'
           f"</m:row></m:sheetData></m:worksheet>").encode()
    assert judge(doc, True, [(5, 2)]) == "unsupported: prefixed sheetData"
    got = pure_prescan(io.BytesIO(doc), True, [(5, 2)], HELPERS)
    assert got["rows"] == [(5, [("r", "5"), ("ht", "1")])] and got["corners"] == {(5, 2): "7"}
    doc = f'{HEAD}<sheetData><row r="2"><c r="$B$2" s="1"/></row></sheetData></worksheet>'.encode()
    assert judge(doc, False, [(2, 2)]) == "unsupported: coordinate"
    doc = f'{HEAD}<sheetData><row r="2" xmlns:q="urn:q" ht="1"/></sheetData></worksheet>'.encode()
    assert judge(doc, True, None) == "unsupported: namespace declaration"


def test_row_index_helper_results():
    doc = f'{HEAD}<sheetData><row r="4.0" ht="1"/><row ht="2"/></sheetData></worksheet>'.encode()
    assert prescan_sheet(io.BytesIO(doc), True, None, HELPERS)["rows"] == [
        (4, [("r", "4.0"), ("ht", "1")]), (5, [("ht", "2")])]
    for result, message in ((2 ** 63, "unsupported: row index"), ("4", "unsupported: row index")):
        helpers = dict(HELPERS, row_index=lambda text, result=result: result)
        with pytest.raises(NativeFallback, match=f"^{message}$"):
            prescan_sheet(io.BytesIO(doc), False, [(1, 1)], helpers)
    # not asked for, the rows are not numbered and the helper is not called
    helpers = dict(HELPERS, row_index=lambda text: 1 / 0)
    assert prescan_sheet(io.BytesIO(doc), False, None, helpers)["rows"] == []
    # the package's own error, but only the package can tell whether a
    # fault in bytes the walk passed over comes first: the engine declines
    with pytest.raises(ZeroDivisionError):
        pure_prescan(io.BytesIO(doc), True, None, helpers)
    with pytest.raises(NativeFallback, match="^unsupported: row index$"):
        prescan_sheet(io.BytesIO(doc), True, None, helpers)


@pytest.mark.parametrize("args, error", [
    ((True, None, {}), "missing helper row_index"),
    ((1, None, HELPERS), "argument 'want_rows' must be bool, not int"),
    ((True, None, None), "argument 'helpers' must be dict, not NoneType"),
    ((True, [(1, 2, 3)], HELPERS), "corners must hold"),
    ((True, [1], HELPERS), "corners must hold"),
    ((True, [(1, "a")], HELPERS), "cannot be interpreted as an integer"),
])
def test_arguments(args, error):
    for fn in (prescan_sheet, pure_prescan):
        with pytest.raises(TypeError, match=re.escape(error)):
            fn(io.BytesIO(b"<a/>"), *args)
    for fn in (prescan_sheet, pure_prescan):
        with pytest.raises(OverflowError):
            fn(io.BytesIO(b"<a/>"), False, [(2 ** 63, 1)], HELPERS)
    got = prescan_sheet(source=io.BytesIO(b"<a/>"), want_rows=False, corners=iter([[1, 1]]), helpers=HELPERS)
    assert got == {"head": [], "tail": [], "rows": [], "corners": {}}


def test_source_errors_pass_through_and_long_sheets():
    class Raises:
        def read(self, n):
            raise OSError("disk")
    with pytest.raises(OSError, match="disk"):
        prescan_sheet(Raises(), False, None, HELPERS)
    # 30 MB of sheetData in 64 KiB reads, the corner in the last row
    rows = b"".join(b'<row r="%d"><c r="A%d" s="%d"><v>1</v></c></row>' % (n, n, n % 7)
                    for n in range(1, 600_001))
    doc = HEAD.encode() + b"<sheetData>" + rows + b"</sheetData><cols/></worksheet>"
    got = prescan_sheet(io.BytesIO(doc), False, [(600_000, 1), (1, 2)], HELPERS)
    assert got["corners"] == {(600_000, 1): str(600_000 % 7)}
    assert got["tail"] == [(b"<cols/>", [("", MAIN), ("x", "urn:x")])]
