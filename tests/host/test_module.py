"""The module as the interpreter sees it."""
import importlib
import subprocess
import sys

import pytest
import xlsxwriter

import vellum
import vellum._vellum as engine


def test_module_identity():
    assert engine.__name__ == "vellum._vellum"
    assert engine.__doc__ == ""
    fb = engine.NativeFallback
    assert fb.__qualname__ == "NativeFallback" and fb.__module__ == "_vellum"
    assert fb.__mro__[1:] == (Exception, BaseException, object)
    assert fb.__doc__ == (
        "The native engine cannot reproduce vellum's behaviour for this input; "
        "the pure Python implementation must be used.")


def test_fallback_type_is_one_per_process():
    # A fresh module object from a second import shares the process-wide type.
    found = importlib.util.find_spec("vellum._vellum")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not engine
    assert again.NativeFallback is engine.NativeFallback


def test_public_names_are_only_built_jobs():
    public = {n for n in dir(engine) if not n.startswith("__")}
    jobs = {"NativeFallback", "CELL_SLOTS", "read_string_table", "bind_cells", "find_dimension",
            "prescan_sheet", "RowReader", "CellStore", "SheetWriter", "read_table", "TableData"}
    assert "NativeFallback" in public and public <= jobs


def test_import_in_fresh_interpreter_declares_no_gil_need():
    code = "import sys, vellum._vellum; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() in ("True", "False")


def test_functions_report_module_and_signature():
    import inspect
    for name in ("find_dimension", "read_string_table"):
        f = getattr(engine, name)
        assert f.__module__ == "vellum._vellum"
        assert str(inspect.signature(f)).startswith("(source")



def _slots(cell):
    """Each slot of `cell` and what it holds (its worksheet by class), "-"
    for one left unset."""
    def held(n):
        v = getattr(cell, n, "-")
        return type(v).__name__ if n == "parent" else v.tolist() if n == "_style" and v is not None else v
    return {n: held(n) for n in type(cell).__slots__}


def _cells_read(path, native):
    """The cells of row 1 as each reading makes them: in full, streamed, and
    streamed with formulas kept beside their values."""
    from vellum.streaming import SheetStream

    with vellum.read_workbook(path, engine=native) as book:
        full = [_slots(c) for c in book.worksheets[0]["A1:B1"][0]]
    with vellum.read_workbook(path, engine=native, streaming=True) as book:
        streamed = [_slots(c) for c in next(book.sheets[0].iter_rows())]
        stream = SheetStream(book, book.sheets[0], native, formula_and_value=True)
        formulas = [_slots(c) for _, row in stream.rows(values_only=False) for c in row]
    return full, streamed, formulas


def test_cell_layout_is_the_packages(tmp_path):
    # The engine's statement of which slots each reading fills is the
    # package's; every reading fills exactly those (the others unset, or
    # None where the streamed worksheet asks for it), and the engine's cells
    # hold slot for slot what the package's do.
    from vellum.reference import cell as layout

    assert engine.CELL_SLOTS == {"streamed": layout.STREAMED_SLOTS, "formula": layout.FORMULA_SLOTS,
                                 "full": layout.FULL_SLOTS}
    assert set(layout.Cell.__slots__) == {*layout.STREAMED_SLOTS, *layout.FORMULA_SLOTS, *layout.FULL_SLOTS}
    path = tmp_path / "cells.xlsx"
    with xlsxwriter.Workbook(path) as wb:
        ws = wb.add_worksheet()
        ws.write(0, 0, 1.5, wb.add_format({"bold": True}))
        ws.write_formula(0, 1, "=A1*2", None, 3)
    got = _cells_read(path, True)
    assert got == _cells_read(path, False)
    full, streamed, formulas = got
    for cells, filled, unset in ((full, layout.FULL_SLOTS, "-"), (streamed, layout.STREAMED_SLOTS, None),
                                 (formulas[1:], layout.STREAMED_SLOTS + layout.FORMULA_SLOTS, None)):
        for c in cells:
            assert [n for n, v in c.items() if v != unset] == [n for n in layout.Cell.__slots__ if n in filled]
            assert (c["row"], c["parent"]) == (1, "NoneType" if c["_style_id"] != "-" else "EditableWorksheet")
    assert [c["_value"] for c in full] == [1.5, "=A1*2"] and full[0]["_style"] != full[1]["_style"]
    assert [(c["formula"], c["cached_value"]) for c in formulas] == [(None, 1.5), ("=A1*2", 3)]
