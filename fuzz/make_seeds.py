"""Rebuild the seed corpora in fuzz/seeds/ (committed; run again only to
refresh them): small worksheet and shared-strings parts taken from the
corpus workbooks, small W3C conformance documents, a few generated sheets
for the features the corpus parts lack, and a few cell streams for the
writer. Sizes are capped so that the whole set stays a few hundred KB.

    python3 fuzz/make_seeds.py [CORPUS_DIR]     default: ../shared/corpus
"""
import hashlib
import pathlib
import re
import shutil
import sys
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE.parents[1] / "shared" / "corpus"
SEEDS = HERE / "seeds"
PART_CAP = 2048      # bytes per seed taken from the corpus
XML_CAP = 600
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
HEAD = f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<worksheet xmlns="{MAIN}" ' \
       'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'

GENERATED_SHEETS = [
    '<dimension ref="A1:C3"/><sheetData><row r="1" spans="1:3" ht="20" customHeight="1">'
    '<c r="A1" t="s"><v>0</v></c><c r="B1" s="3"><v>43831.5</v></c><c r="C1" t="b"><v>1</v></c></row>'
    '<row r="2"><c r="A2"><f t="shared" ref="A2:A3" si="0">B1*2</f><v>4</v></c>'
    '<c r="B2" t="e"><v>#N/A</v></c><c r="C2" t="inlineStr"><is><t xml:space="preserve"> x </t></is></c></row>'
    '<row r="3"><c r="A3"><f t="shared" si="0"/><v>6</v></c><c r="B3" t="str"><f>"a"&amp;"b"</f><v>ab</v></c>'
    '<c r="C3"><f t="array" ref="C3:C4">SUM(A1:A2*B1:B2)</f><v>1</v></c></row></sheetData>'
    '<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>'
    '<hyperlinks><hyperlink ref="A1" r:id="rId1"/></hyperlinks>',
    '<sheetData><row><c><v>1</v></c><c t="d"><v>2020-01-02T03:04:05</v></c><c s="4"><v>1.25</v></c>'
    '</row><row r="5" hidden="1"/><row><c r="D6" t="inlineStr"><is><r><rPr><b/></rPr><t>bo</t></r>'
    '<r><t>ld</t></r></is></c><c t="n"><v>-1E+300</v></c><c><v>  7 </v></c></row></sheetData>',
    '<sheetPr><tabColor rgb="FF00FF00"/></sheetPr><sheetViews><sheetView workbookViewId="0"/></sheetViews>'
    '<cols><col min="1" max="3" width="12" customWidth="1"/></cols><sheetData><row r="1048576">'
    '<c r="XFD1048576"><v>1</v></c></row></sheetData><conditionalFormatting sqref="A1">'
    '<cfRule type="expression" priority="1"><formula>A1&gt;0</formula></cfRule></conditionalFormatting>',
    '<sheetData><row r="1"><c r="A1"><f t="dataTable" ref="A1:B2" dt2D="1" dtr="1" r1="C1" r2="C2"/>'
    '<v>3</v></c><c r="B1" t="s"><v>2</v></c><c r="C1" t="s"><v>7</v></c></row></sheetData>',
]
WRITER = [bytes(range(0, 96)), b"\x01\x01\x03\x05hello\x02\x02\x04\x04A1+1\x03\x03\x00" + bytes(8),
          b"\x04\x04\x01" + (1.5).hex().encode()[:8] + b"\x05\x05\x45\x00\x00\x10\x20\x30\x40",
          b"\x06\x06\x06\x01\x02\x03\x04\x05\x06\x07\x07\x87\x08\x08\x03\x03 a ",
          b"\x09\x01\x03\x04a\rb\x00"]


def put(folder, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def corpus_parts(pattern):
    for path in sorted((CORPUS / "xlsx").glob("*.xls[xm]")):
        try:
            z = zipfile.ZipFile(path)
        except zipfile.BadZipFile:
            continue
        with z:
            for name in z.namelist():
                if re.fullmatch(pattern, name, re.IGNORECASE) and z.getinfo(name).file_size <= PART_CAP:
                    yield z.read(name)


def main():
    shutil.rmtree(SEEDS, ignore_errors=True)
    for data in corpus_parts(r"xl/worksheets/[^/]+\.xml"):
        put(SEEDS / "sheet", data)
    for body in GENERATED_SHEETS:
        put(SEEDS / "sheet", f"{HEAD}{body}</worksheet>".encode())
    for data in corpus_parts(r"xl/sharedStrings\d*\.xml"):
        put(SEEDS / "strings", data)
    for sub in ("valid/sa", "not-wf/sa", "not-wf/ext-sa"):
        for path in sorted((CORPUS / "xmlconf" / "xmltest" / sub).glob("*.xml")):
            if path.stat().st_size <= XML_CAP:
                put(SEEDS / "xml", path.read_bytes())
    for data in WRITER:
        put(SEEDS / "writer", data)
    total = sum(p.stat().st_size for p in SEEDS.rglob("*") if p.is_file())
    print({d.name: len(list(d.iterdir())) for d in sorted(SEEDS.iterdir())}, f"{total} bytes")


main()
