"""Every input a fuzz target ever failed on (tests/regress/fuzz/<target>/),
replayed through the same target function against the installed engine:
each must now pass the target's property."""
import pathlib

import pytest

from fuzz.targets import TARGETS

HERE = pathlib.Path(__file__).resolve().parent / "fuzz"
CASES = sorted(p for p in HERE.glob("*/*") if p.is_file())


@pytest.mark.parametrize("path", CASES, ids=[f"{p.parent.name}/{p.name}" for p in CASES])
def test_saved_fuzz_input(path):
    TARGETS[path.parent.name](path.read_bytes())


def test_every_folder_names_a_target():
    assert {p.name for p in HERE.iterdir() if p.is_dir()} <= set(TARGETS)
