"""Every input that ever made the engine and the package part ways, kept
small and replayed: each worksheet in `sheet/` through the streaming reader
(at every read size), the full loader and the pre-scan; each shared-strings
part in `strings/` through read_string_table. The engine gives the
package's outcome, or declines with a NativeFallback that blames no
exception the package did not raise. A new finding goes in as one more
file."""
import io
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).parent
for folder in ("sheet", "reference", "prescan"):
    sys.path.insert(0, str(HERE.parent / folder))

from full_diff import full_cells, read_full  # noqa: E402
from row_diff import WRAPPED, Chunks, agree, norm  # noqa: E402
from test_prescan import corners_of, judge  # noqa: E402

from vellum import _vellum  # noqa: E402
from vellum.reference import make_helpers  # noqa: E402
from vellum.reference.strings import read_shared_strings  # noqa: E402

NativeFallback = _vellum.NativeFallback
SHEETS = sorted((HERE / "sheet").glob("*.xml"))
STRINGS = sorted((HERE / "strings").glob("*.xml"))


def full_outcome(doc, native):
    got = read_full(doc, _vellum.CellStore(), _vellum.bind_cells) if native else read_full(doc)
    if isinstance(got, Exception):
        return got
    ws, actions, dims = got
    return full_cells(ws._cells, ws), norm(actions), norm(dims)


@pytest.mark.parametrize("path", SHEETS, ids=lambda p: p.stem)
def test_sheet(path):
    doc = path.read_bytes()
    ref, eng = agree(doc)
    if eng.fallback is not None and eng.fallback.startswith(WRAPPED):
        assert ref.error is not None, f"blames an exception the package never raised: {eng.fallback}"
    want, got = full_outcome(doc, False), full_outcome(doc, True)
    if isinstance(got, Exception) and not isinstance(got, NativeFallback):
        assert norm(got) == norm(want)
    elif not isinstance(got, NativeFallback):
        assert not isinstance(want, Exception), f"the engine loaded what the package refuses: {want!r}"
        assert got == want
    judge(doc, True, corners_of(doc))


@pytest.mark.parametrize("path", STRINGS, ids=lambda p: p.stem)
def test_shared_strings(path):
    doc = path.read_bytes()
    try:
        want = norm(read_shared_strings(io.BytesIO(doc)))
    except Exception as e:  # noqa: BLE001 (the kind of failure is compared)
        want = norm(e)
    for size in (1, 7, 65536):
        try:
            got = norm(_vellum.read_string_table(Chunks(doc, size), make_helpers()))
        except NativeFallback:
            continue
        except Exception as e:  # noqa: BLE001
            got = norm(e)
        assert got == want
