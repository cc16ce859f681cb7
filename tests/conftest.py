"""Test set-up: the installed engine, and the test-only extension of internal
units, which lives in the build directory and is never installed."""
import importlib.util
import os
import pathlib
import shutil
import sys

import hypothesis
import pytest

import vellum._vellum  # noqa: F401  (an editable install rebuilds on import)

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / os.environ.get("VELLUM_BUILD_DIR", "build/release")
if str(BUILD) not in sys.path:
    sys.path.insert(0, str(BUILD))
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

hypothesis.settings.register_profile("ci", max_examples=200, deadline=None, derandomize=True)
hypothesis.settings.register_profile("soak", max_examples=20000, deadline=None)
hypothesis.settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE") or "ci")


def missing(item):
    """What a test's markers need and this machine lacks: soffice for
    ``libreoffice``, the modules named by ``needs(...)``; None if nothing."""
    if item.get_closest_marker("libreoffice") is not None and not shutil.which("soffice"):
        return "LibreOffice (soffice)"
    marker = item.get_closest_marker("needs")
    absent = [m for m in (marker.args if marker else ()) if importlib.util.find_spec(m) is None]
    return ", ".join(absent) or None


def pytest_runtest_setup(item):
    """Tests marked ``libreoffice`` or ``needs(modules)`` are skipped where
    what they need is absent, except where VELLUM_REQUIRE_LIBREOFFICE is
    set (CI, whose environment holds every optional package), where a skip
    would hide that the test never ran."""
    lacking = missing(item)
    if lacking is None:
        return
    if os.environ.get("VELLUM_REQUIRE_LIBREOFFICE"):
        pytest.fail(f"{lacking} is required here but not installed")
    pytest.skip(f"{lacking} is not installed")
