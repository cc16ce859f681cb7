"""How the row reader fails and what it keeps in order: a helper's error is
wrapped for the package, the user's interrupt is not, a parse error stays,
and date warnings sit between the captured elements where the document has
them, even though rows are handed out later than they are read."""
import io

import pytest

from vellum import _vellum
from vellum.reference import Cell, Parser, make_helpers

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def sheet(cells):
    return f'<worksheet xmlns="{MAIN}"><sheetData>{cells}</sheetData></worksheet>'.encode()


def reader(doc, helpers=None, **settings):
    return _vellum.RowReader(io.BytesIO(doc), Parser(**settings), helpers or make_helpers())


def test_a_helper_error_becomes_a_fallback_that_names_it():
    r = reader(sheet('<row><c><v>1</v></c></row><row><c s="x"/></row>'))
    with pytest.raises(_vellum.NativeFallback) as e:
        r.next_raw()
    assert str(e.value) == ("native reader error: ValueError: invalid literal for int() "
                            "with base 10: 'x'")
    assert isinstance(e.value.__cause__, ValueError)


def test_an_interrupt_inside_a_helper_is_not_turned_into_a_fallback():
    helpers = make_helpers()

    def interrupted(text):
        raise KeyboardInterrupt

    helpers["int"] = interrupted
    with pytest.raises(KeyboardInterrupt):
        reader(sheet('<row><c s="1_0"/></row>'), helpers).next_raw()


def test_a_parse_error_is_raised_again_rather_than_read_past():
    r = reader(sheet('<row><c><v>1</v></c></row><row><c><v>1</c></row><row/>'))
    for _ in range(3):
        with pytest.raises(_vellum.NativeFallback, match="malformed: "):
            r.next_row(None, 1, None, True, object, None)


def test_warnings_stay_between_the_elements_around_them():
    cells = ('<row r="1"><c r="A1" s="3"><v>3000000</v></c></row><mergeCells/>'
             '<row r="2"><c s="3"><v>1e10</v></c><c s="3"><v>5</v></c></row><extra/>')
    r = reader(sheet(cells), date_formats={3})
    assert r.next_raw()[0] == 1
    assert [a[0] for a in r.actions] == ["warn"]
    assert r.next_raw()[0] == 2
    assert [a[0] for a in r.actions] == ["warn", "element", "warn"]
    assert r.next_raw() is None
    assert [a[0] for a in r.actions] == ["warn", "element", "warn", "element"]
    assert r.actions[2][1].startswith("A cell ")


def test_a_cached_value_gives_no_warning():
    doc = sheet('<row><c r="A1" s="3"><f>NOW()</f><v>1e10</v></c></row>')
    r = reader(doc, date_formats={3}, formula_and_value=True)
    _, (cell,) = r.next_row("ws", 1, None, False, Cell, None)
    assert (cell.formula, cell.cached_value, cell.data_type) == ("=NOW()", "#VALUE!", "f")
    assert r.actions == []
