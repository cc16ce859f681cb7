"""Workbooks made from raw sheet XML, for the columnar tests: every cell
kind a file may hold (inline strings, ISO dates, errors, formulas with
cached values, odd numbers), styles whose formats show dates and
durations, either date system, and the comparison of a table with the
reference's columns."""
import io
import math
import zipfile

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"

# Style ids of the styles part below: 0 general, 1 a date, 2 a duration,
# 3 a time, 4 a plain number format.
GENERAL, DATE, DURATION, TIME, NUMBER = range(5)
STYLES = (f'<styleSheet xmlns="{MAIN}"><numFmts count="1">'
          '<numFmt numFmtId="164" formatCode="yyyy-mm-dd hh:mm"/></numFmts>'
          '<cellXfs count="5"><xf numFmtId="0"/><xf numFmtId="164"/><xf numFmtId="46"/>'
          '<xf numFmtId="21"/><xf numFmtId="2"/></cellXfs></styleSheet>')


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def workbook(sheet_data, strings=None, date1904=False, compression=zipfile.ZIP_DEFLATED, items=None):
    """The bytes of a workbook of one sheet "S" whose sheetData holds
    `sheet_data`; `strings` the shared strings (none: no part), or `items`
    the string items' own XML."""
    pr = '<workbookPr date1904="1"/>' if date1904 else ""
    parts = {
        "[Content_Types].xml": '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
        "_rels/.rels": f'<Relationships xmlns="{PKG_REL}"><Relationship Id="r1" Type="{REL}/officeDocument" '
                       'Target="xl/workbook.xml"/></Relationships>',
        "xl/workbook.xml": f'<workbook xmlns="{MAIN}" xmlns:r="{REL}">{pr}<sheets>'
                           '<sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels":
            f'<Relationships xmlns="{PKG_REL}"><Relationship Id="rId1" Type="{REL}/worksheet" '
            'Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="{REL}/styles" '
            'Target="styles.xml"/><Relationship Id="rId3" Type="{REL}/sharedStrings" '
            'Target="sharedStrings.xml"/></Relationships>'.replace("{REL}", REL),
        "xl/styles.xml": STYLES,
        "xl/worksheets/sheet1.xml": f'<worksheet xmlns="{MAIN}"><dimension ref="A1"/>'
                                    f'<sheetData>{sheet_data}</sheetData></worksheet>',
    }
    if strings is not None or items is not None:
        items = items or "".join(f"<si><t>{escape(s)}</t></si>" for s in strings)
        parts["xl/sharedStrings.xml"] = f'<sst xmlns="{MAIN}">{items}</sst>'
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression) as z:
        for name, text in parts.items():
            z.writestr(name, text.encode())
    return out.getvalue()


def same(a, b):
    """Values equal, NaN included, and of the same type."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def table_columns(table):
    """(names, logical types, lists) of an engine table, read through pyarrow
    (a dictionary of strings counts as string)."""
    import pyarrow as pa

    t = pa.table(table)
    types = []
    for f in t.schema:
        types.append("string" if pa.types.is_dictionary(f.type) else
                     {"double": "float64"}.get(str(f.type), str(f.type)))
    return t.column_names, types, [t.column(i).to_pylist() for i in range(t.num_columns)]


def assert_same_table(got, want, where=""):
    names, types, lists = got
    w_names, w_types, w_lists = want
    assert names == w_names, where
    assert types == w_types, (where, names)
    for name, a, b in zip(names, lists, w_lists):
        assert len(a) == len(b), (where, name)
        bad = [(i, x, y) for i, (x, y) in enumerate(zip(a, b)) if not same(x, y)]
        assert not bad, (where, name, bad[:5])
