"""The module as the interpreter sees it."""
import importlib
import subprocess
import sys

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
    jobs = {"NativeFallback", "read_string_table", "bind_cells", "find_dimension",
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
