"""Test set-up: the installed engine, and the test-only extension of internal
units, which lives in the build directory and is never installed."""
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


def pytest_runtest_setup(item):
    """Tests marked ``libreoffice`` need soffice: skipped without it, except
    where VELLUM_REQUIRE_LIBREOFFICE is set (CI), where a skip would hide
    that the round trip never ran."""
    if item.get_closest_marker("libreoffice") is None or shutil.which("soffice"):
        return
    if os.environ.get("VELLUM_REQUIRE_LIBREOFFICE"):
        pytest.fail("LibreOffice (soffice) is required here but not installed")
    pytest.skip("LibreOffice (soffice) is not installed")
