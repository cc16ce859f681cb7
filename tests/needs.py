"""Optional modules a whole test module needs (pyarrow, pandas, the
engine's test build): skipped where absent, except where
VELLUM_REQUIRE_LIBREOFFICE is set (CI, whose environment holds every one),
where their absence fails the import rather than hiding that nothing ran.
Single tests use the ``needs(...)`` marker (see conftest)."""
import importlib
import os

import pytest


def optional(module):
    if os.environ.get("VELLUM_REQUIRE_LIBREOFFICE"):
        return importlib.import_module(module)
    return pytest.importorskip(module)
