"""Workbooks read and saved again: every part the save does not change kept
as it was stored (the corpus, member by member, against an independent check
of the package's consistency), a worksheet copied until something written
through it changes it (each way of changing one, and the ways that change
nothing), sheets added, removed, renamed and moved, saves over the file
read, and the values formulas were saved with."""
import csv
import datetime
import io
import pathlib
import posixpath
import shutil
import struct
import warnings
import xml.etree.ElementTree as ET
import zipfile

import pytest
import xlsxwriter

import vellum

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus" / "xlsx"
MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
# Worksheets of several kinds of parts: drawings, comments with VML, tables,
# pivot tables, defined names, a chartsheet and macros, Strict, 1904.
HANDFUL = ["closedxml__TemplateWithTableSourcePivotTables.xlsx", "poi__57181.xlsm",
           "closedxml__Formulas.xlsx", "sheetjs-test_files__comments_stress_test.xlsx",
           "poi__sample.strict.xlsx", "calamine__date_1904.xlsx",
           "sheetjs-test_files__hyperlink_stress_test_2011.xlsx"]


def corpus_files():
    if not (CORPUS / "MANIFEST.tsv").exists():
        return []
    with open(CORPUS / "MANIFEST.tsv") as f:
        return [row["file"] for row in csv.DictReader(f, delimiter="\t")]


def read(source, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return vellum.read_workbook(source, **kw)


def saved(book, **kw):
    out = io.BytesIO()
    book.save(out, **kw)
    return out.getvalue()


def stored(data):
    """{member: (method, CRC, size, compressed bytes as stored)}."""
    out = {}
    f = io.BytesIO(data) if isinstance(data, bytes) else open(data, "rb")
    with f, zipfile.ZipFile(f) as z:
        for info in z.infolist():
            f.seek(info.header_offset)
            head = f.read(30)
            skip = struct.unpack("<HH", head[26:30])
            f.seek(info.header_offset + 30 + sum(skip))
            out[info.filename] = (info.compress_type, info.CRC, info.file_size,
                                  f.read(info.compress_size))
    return out


def rows(dims):
    """Row attributes, the row number left out."""
    return {k: {a: v for a, v in attrs.items() if a != "r"} for k, attrs in dims.items()}


def values(book):
    return [{k: v for k in list(ws._cells) if (v := ws._cells[k].value) not in (None, "")}
            for ws in book]


# -- the package's consistency, checked without vellum ------------------------------------

def faults(data):
    """(faults, sheet names in order) of a package, checked without vellum:
    relationship targets that do not exist, parts without a content type,
    content types of missing parts, sheets without a relationship or with
    an id or name another has, defined names scoped to no sheet, and
    relationship ids a worksheet names but its relationships lack."""
    found = set()
    z = zipfile.ZipFile(io.BytesIO(data) if isinstance(data, bytes) else data)
    names = {n.lower(): n for n in z.namelist()}
    types = ET.fromstring(z.read(names["[content_types].xml"]))
    defaults = {d.get("Extension").lower() for d in types if d.tag.endswith("Default")}
    overrides = {o.get("PartName").lstrip("/").lower() for o in types if o.tag.endswith("Override")}
    found |= {("type of a missing part", n) for n in overrides - names.keys()}
    found |= {("no type", n) for n in names if not n.endswith("/") and n not in overrides
              and n.rpartition(".")[2] not in defaults}

    def rels(part):
        folder, base = posixpath.split(part)
        member = names.get(posixpath.join(folder, "_rels", base + ".rels").lower())
        out = {}
        for rel in ET.fromstring(z.read(member)) if member else []:
            target = rel.get("Target")
            if rel.get("TargetMode") != "External":
                target = target[1:] if target.startswith("/") else \
                    posixpath.normpath(posixpath.join(folder, target))
                if target.lower() not in names:
                    found.add(("missing target", part, target))
            out[rel.get("Id")] = (rel.get("Type").rpartition("/")[2], target)
        return out

    book = next(t for k, t in rels("").values() if k == "officeDocument")
    book_rels = rels(book)
    root = ET.fromstring(z.read(names[book.lower()]))
    sheets = [s for s in root.iter() if s.tag.endswith("}sheet")]
    rid = next((k for k in sheets[0].attrib if k.endswith("}id")), None) if sheets else None
    if len({s.get("sheetId") for s in sheets}) != len(sheets):
        found.add(("sheet ids",))
    if len({s.get("name").casefold() for s in sheets}) != len(sheets):
        found.add(("sheet names",))
    for name in root.iter():
        if name.tag.endswith("}definedName") and name.get("localSheetId") is not None:
            if int(name.get("localSheetId")) >= len(sheets):
                found.add(("scope", name.get("name")))
    for sheet in sheets:
        kind, part = book_rels.get(sheet.get(rid), (None, None))
        if kind is None:
            found.add(("sheet without relationship", sheet.get("name")))
        if kind == "worksheet" and part.lower() in names:
            sheet_rels = rels(part)
            for e in ET.fromstring(z.read(names[part.lower()])).iter():
                for k, v in e.attrib.items():
                    if k.endswith("}id") and "relationships" in k and v not in sheet_rels:
                        found.add(("missing id", part, v))
    return found, [s.get("name") for s in sheets]


def content_types(data):
    """{member: content type} of a package's members."""
    z = zipfile.ZipFile(io.BytesIO(data) if isinstance(data, bytes) else data)
    names = {n.lower(): n for n in z.namelist()}
    types = ET.fromstring(z.read(names["[content_types].xml"]))
    defaults = {d.get("Extension").lower(): d.get("ContentType") for d in types
                if d.tag.endswith("Default")}
    overrides = {o.get("PartName").lstrip("/").lower(): o.get("ContentType") for o in types
                 if o.tag.endswith("Override")}
    return {n: overrides.get(n, defaults.get(n.rpartition(".")[2])) for n in names}


def check_package(data, original=None):
    """The sheet names of a saved package whose faults are none, or none
    beyond those of the `original` it was read from."""
    found, names = faults(data)
    assert found <= (faults(original)[0] if original is not None else set()), found
    return names


# -- everything kept ---------------------------------------------------------------------

def kept_across_saves(name):
    source = CORPUS / name
    try:
        book = read(source)
    except vellum.WorkbookError:
        pytest.skip("not a workbook the package reads")
    original = stored(source)
    with book:
        # no change: the file itself
        assert saved(book) == source.read_bytes()
        before = values(book)
        # what a save with every worksheet written again may write again
        folder, base = posixpath.split(book._workbook_part)
        rewritten = {e.part.lower() for e in book._entries if e.ws is not None} | {
            "[content_types].xml", "docprops/app.xml", book._workbook_part.lower(),
            posixpath.join(folder, "_rels", base + ".rels").lower()}
        for ws in book:
            ws._changed = True
        data = saved(book)
    names = check_package(data, source)
    after = stored(data)
    gone = {n for n in original.keys() - after.keys()}
    assert all(n.lower().endswith("calcchain.xml") for n in gone), gone
    types_before, types_after = content_types(source), content_types(data)
    for member, item in original.items():
        low = member.lower()
        if member in gone:
            continue
        assert types_after.get(low) == types_before.get(low), f"{member} changed its type"
        if low in rewritten or "styles" in low:
            continue
        assert after[member] == item, f"{member} is not kept as stored"
    with read(io.BytesIO(data)) as again:
        assert values(again) == before
        assert [str(n) for n in again.sheet_names] == [n for n in names if n in again.sheet_names]


@pytest.mark.parametrize("name", HANDFUL)
def test_parts_kept_as_stored(name):
    if not (CORPUS / name).exists():
        pytest.skip("corpus file missing")
    kept_across_saves(name)


@pytest.mark.slow
@pytest.mark.parametrize("name", corpus_files() or [pytest.param("", marks=pytest.mark.skip("no corpus"))])
def test_every_corpus_workbook_keeps_its_parts(name):
    kept_across_saves(name)


def test_members_past_zip64_limits_are_copied_with_zip64_headers(monkeypatch):
    source = CORPUS / "closedxml__Formulas.xlsx"
    if not source.exists():
        pytest.skip("corpus file missing")
    with read(source) as book:
        book[0]._changed = True  # the other members copied as stored
        monkeypatch.setattr(zipfile, "ZIP64_LIMIT", 100)
        data = saved(book)
        monkeypatch.undo()
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        assert any(i.extra for i in z.infolist())
        assert z.testzip() is None
    kept = stored(data)
    copied = [n for n in stored(source) if "theme" in n or "docProps" in n]
    assert copied and all(kept[n] == stored(source)[n] for n in copied)


# -- when a worksheet is written again ------------------------------------------------------

def two_sheets(path):
    book = xlsxwriter.Workbook(str(path))
    a = book.add_worksheet("A")
    a.write_row(0, 0, ["x", 1, 2.5])
    a.write_datetime(1, 0, datetime.datetime(2020, 1, 2), book.add_format({"num_format": 14}))
    a.write_url(2, 0, "https://example.org/", string="link")
    a.set_row(3, 30)
    a.write(3, 0, "tall")
    a.write_comment(0, 0, "a note")
    book.add_worksheet("B").write_row(0, 0, ["y", 2])
    book.close()
    return path


CHANGES = {
    "item assignment": lambda ws: ws.__setitem__("B1", 7),
    "cell() with a value": lambda ws: ws.cell(1, 2, 7),
    "a cell's value": lambda ws: setattr(ws["B1"], "value", 7),
    "a cell from iter_rows": lambda ws: setattr(next(ws.iter_rows())[1], "value", 7),
    "a new cell": lambda ws: setattr(ws["F9"], "value", 7),
    "a cell's link": lambda ws: setattr(ws["B1"], "hyperlink", "https://example.com/"),
    "a deletion": lambda ws: ws.__delitem__("B1"),
    "a row's attributes": lambda ws: ws.row_dimensions.__setitem__(4, {"ht": "50", "customHeight": "1"}),
    "a row's attributes gone": lambda ws: ws.row_dimensions.pop(4),
    "an element": lambda ws: ws._elements.pop(),
    "a link read": lambda ws: ws._hyperlinks[0].__setitem__("display", "other"),
}
NO_CHANGES = {
    "values read": lambda ws: [c.value for row in ws.iter_rows() for c in row],
    "a missing cell looked at": lambda ws: ws["Z99"].value,
    "formats and style ids": lambda ws: [(c.number_format, c.style_id, c.is_date)
                                         for row in ws.iter_rows() for c in row],
    "the extent": lambda ws: (ws.dimensions, ws.max_row, ws.min_column),
    "a row's attributes read": lambda ws: dict(ws.row_dimensions[4]),
}


@pytest.mark.parametrize("how", CHANGES)
def test_each_way_of_changing_a_sheet_is_saved(tmp_path, how):
    path = two_sheets(tmp_path / "two.xlsx")
    original = stored(path)
    with read(path) as book:
        ws = book["A"]
        CHANGES[how](ws)
        expected = values(book)
        dims = dict(ws.row_dimensions)
        data = saved(book)
    after = stored(data)
    assert after["xl/worksheets/sheet1.xml"] != original["xl/worksheets/sheet1.xml"]
    assert after["xl/worksheets/sheet2.xml"] == original["xl/worksheets/sheet2.xml"]
    check_package(data)
    with read(io.BytesIO(data)) as again:
        assert values(again) == expected
        assert rows(again["A"].row_dimensions) == rows(dims)
        if how == "a cell's link":
            assert any(link.get("ref") == "B1" for link in again["A"]._hyperlinks)


@pytest.mark.parametrize("how", NO_CHANGES)
def test_what_changes_nothing_copies_the_sheet(tmp_path, how):
    path = two_sheets(tmp_path / "two.xlsx")
    with read(path) as book:
        NO_CHANGES[how](book["A"])
        assert stored(saved(book)) == stored(path)


def test_row_attributes_read_are_set_whole():
    with read(two_sheets_bytes()) as book:
        with pytest.raises(TypeError):
            book["A"].row_dimensions[4]["ht"] = "60"


def two_sheets_bytes():
    out = io.BytesIO()
    book = xlsxwriter.Workbook(out)
    book.add_worksheet("A").set_row(3, 30)
    book.add_worksheet("B")
    book.close()
    out.seek(0)
    return out


# -- sheets added, removed, renamed, moved -----------------------------------------------------

def many_sheets(path):
    """Four worksheets and a chartsheet, names scoped to sheets, a print
    area, and an active tab."""
    book = xlsxwriter.Workbook(str(path))
    for name in ("One", "Two", "Three"):
        ws = book.add_worksheet(name)
        ws.write(0, 0, name)
        ws.write_formula(1, 0, "=1+1", None, 2)
    chart = book.add_chart({"type": "line"})
    chart.add_series({"values": "=One!$A$2:$A$2"})
    book.add_chartsheet("Chart").set_chart(chart)
    book.add_worksheet("Four").write(0, 0, "Four")
    book.define_name("Global", "=One!$A$1")
    book.define_name("Two!Local", "=Two!$A$1")
    book.define_name("Three!Local", "=Three!$A$1")
    book.worksheets()[3].print_area("A1:B2")  # Four (after the chartsheet)
    book.worksheets()[2].activate()
    book.close()
    return path


def scoped_names(data):
    """{name: sheet it is scoped to, or None} of a saved workbook."""
    z = zipfile.ZipFile(io.BytesIO(data))
    root = ET.fromstring(z.read("xl/workbook.xml"))
    sheets = [s.get("name") for s in root.iter(MAIN + "sheet")]
    return {(n.get("name"), n.text): (sheets[int(n.get("localSheetId"))]
                                      if n.get("localSheetId") is not None else None)
            for n in root.iter(MAIN + "definedName")}, root


def test_sheets_added_removed_renamed_and_moved(tmp_path):
    path = many_sheets(tmp_path / "many.xlsx")
    original = path.read_bytes()
    names_before, _ = scoped_names(original)
    with read(path) as book:
        assert book.sheet_names == ["One", "Two", "Three", "Four"]
        added = book.add_sheet("Added", 1)
        added.append(["new", 5])
        del book["Two"]
        book["Three"].title = "Drei"
        book.move_sheet("Four", 0)
        assert book.sheet_names == ["Four", "One", "Added", "Drei"]
        data = saved(book)
    assert check_package(data) == ["Four", "One", "Added", "Drei", "Chart"]
    names, root = scoped_names(data)
    renamed = {"Three": "Drei"}
    assert names == {key: renamed.get(sheet, sheet) for key, sheet in names_before.items()
                     if sheet != "Two"}
    view = next(root.iter(MAIN + "workbookView"))
    assert view.get("activeTab") == "3"  # Three, now Drei, still active
    assert next(root.iter(MAIN + "calcPr")).get("fullCalcOnLoad") == "1"
    app = zipfile.ZipFile(io.BytesIO(data)).read("docProps/app.xml").decode()
    assert "<vt:lpstr>Drei</vt:lpstr>" in app and "<vt:lpstr>Two</vt:lpstr>" not in app
    with read(io.BytesIO(data)) as again:
        assert again.sheet_names == ["Four", "One", "Added", "Drei"]
        assert [ws["A1"].value for ws in again] == ["Four", "One", "new", "Three"]
        assert again["Added"]["B1"].value == 5
    assert "xl/worksheets/sheet2.xml" not in stored(data)  # Two's part is left out


def test_sheet_names_applications_refuse_are_refused(tmp_path):
    path = many_sheets(tmp_path / "many.xlsx")
    with read(path) as book:
        for bad in ("one", "Chart", "a/b", "", "x" * 32, "'quoted'"):
            with pytest.raises(ValueError):
                book["Two"].title = bad
            with pytest.raises(ValueError):
                book.add_sheet(bad)
        book["Two"].title = "two"  # its own name in other letter case
        with pytest.raises(KeyError):
            book.move_sheet("Gone", 0)
    with read(two_sheets(tmp_path / "two.xlsx")) as book:
        book["B"].state = "hidden"
        with pytest.raises(ValueError, match="last visible"):
            del book["A"]
    with read(path, streaming=True) as book:
        with pytest.raises(vellum.WorkbookError, match="streaming"):
            book.add_sheet("New")


# -- saves over the file read ----------------------------------------------------------------

def test_saves_over_the_file_read_keep_what_each_changed(tmp_path):
    source = CORPUS / "closedxml__TemplateWithTableSourcePivotTables.xlsx"
    if not source.exists():
        pytest.skip("corpus file missing")
    path = tmp_path / "book.xlsx"
    shutil.copyfile(source, path)
    original = stored(path)
    with read(path) as book:
        first, last = book[0], book[-1]
        first["A1"] = "first save"
        book.save(path)
        last["B2"] = "second save"
        del book[1]
        book.save(path)
        expected = values(book)
    data = path.read_bytes()
    check_package(data, source)
    with read(path) as again:
        assert values(again) == expected
        assert again[0]["A1"].value == "first save" and again[-1]["B2"].value == "second save"
    after = stored(data)
    kept = [n for n in original if "/media/" in n or "/pivotCache/" in n or "/theme/" in n]
    assert kept and all(after[n] == original[n] for n in kept)


# -- formulas and dates of a worksheet written again ----------------------------------------------

def test_formulas_keep_their_saved_values_while_unchanged():
    source = CORPUS / "calamine__issue_565_multi_axis_shared.xlsx"
    if not source.exists():
        pytest.skip("corpus file missing")
    with read(source, data_only=True) as book:
        cached = values(book)
    with read(source) as book:
        ws = book[0]
        formulas = [k for k in list(ws._cells) if ws._cells[k].data_type == "f"]
        assert formulas
        changed = formulas[0]
        ws.cell(*changed).value = "=1+1"
        data = saved(book)
    with read(io.BytesIO(data), data_only=True) as again:
        after = values(again)
    cached[0].pop(changed, None)
    assert after[0].pop(changed, None) is None
    assert after == cached


def test_a_date_read_under_the_general_format_is_saved_as_a_date():
    source = CORPUS / "openspout__sheet_with_dates_and_times.xlsx"
    if not source.exists():
        pytest.skip("corpus file missing")
    with read(source) as book:
        value = book[0]["A3"].value
        assert isinstance(value, datetime.datetime) and book[0]["A3"].number_format == "General"
        book[0]._changed = True
        data = saved(book)
    with read(io.BytesIO(data)) as again:
        assert again[0]["A3"].value == value and again[0]["A3"].is_date


def test_a_closed_workbook_is_not_saved(tmp_path):
    with read(two_sheets(tmp_path / "two.xlsx")) as book:
        pass
    with pytest.raises(vellum.WorkbookError, match="closed"):
        book.save(tmp_path / "out.xlsx")
