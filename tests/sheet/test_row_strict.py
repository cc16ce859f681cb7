"""Strict workbooks: a worksheet or shared-strings part whose main namespace
is spelled with the Strict URI reads exactly as its transitional twin
(the same part with the other URI), through next_raw, next_row,
find_dimension and read_string_table; what goes back to the package keeps
the URI as written (captured bytes, namespace lists, attribute keys)."""
import io
import pathlib
import zipfile

import pytest
import xlsxwriter

import _vellum_testing as T
import vellum._vellum as engine
from row_diff import norm
from vellum.reference import Cell, Parser, make_helpers

MAIN = b"http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STRICT = b"http://purl.oclc.org/ooxml/spreadsheetml/main"
CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"


def as_strict(x):
    """`x` (bytes, str, or actions nested in lists and tuples) with the
    transitional main URI respelled as the Strict one."""
    if isinstance(x, bytes):
        return x.replace(MAIN, STRICT)
    if isinstance(x, str):
        return x.replace(MAIN.decode(), STRICT.decode())
    if isinstance(x, (list, tuple)):
        return type(x)(as_strict(i) for i in x)
    return x


def outcome(job):
    try:
        return job()
    except Exception as e:  # noqa: BLE001 (a refusal must be the same too)
        return ("raise", type(e).__name__, str(e))


def stream(doc, strings, cells):
    parser = Parser()
    parser.shared_strings = strings
    reader = engine.RowReader(io.BytesIO(doc), parser, make_helpers())
    rows = []
    while True:
        row = reader.next_row("ws", 1, None, False, Cell, None) if cells else reader.next_raw()
        if row is None:
            return rows, reader.actions, norm(parser.row_dimensions)
        rows.append(norm(row) if cells else repr(row))  # repr tells 1, 1.0 and True apart


def readings(doc, strings, cells=True):
    return [outcome(lambda: stream(doc, strings, False)),
            outcome(lambda: stream(doc, strings, True)) if cells else None,
            outcome(lambda: engine.find_dimension(io.BytesIO(doc)))]


def check_twins(sheets, sst, cells=True):
    """`sheets` and `sst` are transitional parts: their Strict twins read
    the same, with the Strict URI wherever the package sees a URI."""
    strings = outcome(lambda: engine.read_string_table(io.BytesIO(sst), make_helpers())) if sst else []
    if sst:
        assert outcome(lambda: engine.read_string_table(io.BytesIO(as_strict(sst)), make_helpers())) == strings
    strings = strings if isinstance(strings, list) else []
    for doc in sheets:
        assert readings(as_strict(doc), strings, cells) == as_strict(readings(doc, strings, cells))


def parts(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        names = z.namelist()
        sheets = [z.read(n) for n in names if n.startswith("xl/worksheets/") and n.endswith(".xml")]
        sst = z.read("xl/sharedStrings.xml") if "xl/sharedStrings.xml" in names else None
    return sheets, sst


def test_a_generated_workbook_and_its_strict_twin():
    out = io.BytesIO()
    book = xlsxwriter.Workbook(out, {"in_memory": True})
    ws = book.add_worksheet()
    bold = book.add_format({"bold": True, "num_format": "yyyy-mm-dd"})
    for r in range(40):
        ws.write_row(r, 0, [r, r / 7, f"text {r % 5}", r % 2 == 0, f"=A{r + 1}*2"])
        ws.write_datetime(r, 5, __import__("datetime").datetime(2024, 1, 1 + r % 28), bold)
    ws.write_rich_string(0, 6, "plain ", bold, "bold", " tail")
    ws.write_array_formula("H1:H3", "{=A1:A3*2}")
    ws.merge_range("I1:J2", "merged")
    ws.write_url("K1", "https://example.org", string="link")
    ws.set_row(3, 30)
    ws.freeze_panes(1, 0)
    book.close()
    sheets, sst = parts(out.getvalue())
    assert sheets and sst and MAIN in sheets[0]
    check_twins(sheets, sst)


def corpus():
    return sorted(CORPUS.glob("*.xlsx")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus beside the checkout")
def test_every_corpus_workbook_and_its_twin():
    """Transitional files respelled as Strict, and the Strict files read
    against their transitional respelling (raw rows: cells are built the
    same way whatever the spelling, as the generated workbook shows)."""
    strict_files = 0
    for path in corpus():
        sheets, sst = parts(path.read_bytes())
        if any(STRICT in s for s in sheets):
            strict_files += 1
            sheets = [s.replace(STRICT, MAIN) for s in sheets]
            sst = sst and sst.replace(STRICT, MAIN)
        check_twins(sheets, sst, cells=False)
    assert strict_files >= 6


def test_a_part_mixing_both_spellings():
    """Both URIs name the one main namespace: elements in either read as
    one document would (an element name is compared by namespace, not by
    spelling). Two attributes that differ only by the spelling are two
    attributes, as for any namespace-aware parser, and keep their keys."""
    uniform = (b'<worksheet xmlns="%s"><dimension ref="A1"/><sheetData>'
               b'<row r="1"><c r="A1"><v>1</v></c><c r="B1" t="inlineStr"><is><t>x</t></is></c></row>'
               b'</sheetData></worksheet>' % MAIN)
    mixed = (b'<worksheet xmlns="%s" xmlns:s="%s"><s:dimension ref="A1"/><sheetData xmlns="%s">'
             b'<s:row r="1"><c r="A1"><s:v>1</s:v></c><s:c r="B1" t="inlineStr"><is><s:t>x</s:t></is></s:c>'
             b'</s:row></sheetData></worksheet>' % (MAIN, STRICT, STRICT))
    want, got = readings(uniform, []), readings(mixed, [])
    assert got[0][0] == want[0][0] and got[1][0] == want[1][0]
    assert got[2] == (b'<s:dimension ref="A1"/>', [("", MAIN.decode()), ("s", STRICT.decode())])
    events = T.xml_events(b'<a xmlns:m="%s" xmlns:s="%s" m:x="1" s:x="2"/>' % (MAIN, STRICT), 7)
    assert events[0][3] == {"{%s}x" % MAIN.decode(): "1", "{%s}x" % STRICT.decode(): "2"}
