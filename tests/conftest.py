"""Test set-up: the installed engine, and the test-only extension of internal
units, which lives in the build directory and is never installed."""
import os
import pathlib
import sys

import hypothesis

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
