"""`vellum FILES... --format parquet|arrow -o DIR --jobs N`: many
workbooks converted, by a plain loop and by a local cluster, each file
read back against read_table of its workbook; a damaged one named while
the others are written."""
import os
import subprocess
import sys

import pytest

import vellum
from terminal import stderr_on_terminal

pytestmark = pytest.mark.needs("pyarrow")


def run(*args):
    return subprocess.run([sys.executable, "-m", "vellum", *map(str, args)], capture_output=True,
                          text=True, timeout=600)


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    folder = tmp_path_factory.mktemp("many")
    paths = []
    for i in range(5):
        book = vellum.new_workbook()
        sheet = book.add_sheet("Data")
        sheet.append(["n", "text", "half"])
        for r in range(40 + i):
            sheet.append([r * i, f"row {r} of {i}", r / 2 if r % 3 else None])
        paths.append(folder / f"b{i}.xlsx")
        book.save(paths[-1])
    damaged = folder / "damaged.xlsx"
    damaged.write_bytes(paths[0].read_bytes()[:300])
    return paths, damaged


def read_back(path, fmt):
    import pyarrow as pa
    import pyarrow.parquet

    if fmt == "parquet":
        return pyarrow.parquet.read_table(path)
    with pa.OSFile(str(path)) as f:
        return pa.ipc.open_file(f).read_all()


@pytest.mark.parametrize("jobs, fmt", [
    (1, "arrow"), (1, "parquet"),
    pytest.param(2, "parquet", marks=pytest.mark.needs("distributed"))])
def test_each_workbook_written_and_a_damaged_one_named(books, tmp_path, jobs, fmt):
    paths, damaged = books
    out = tmp_path / "out"
    done = run(*paths[:2], damaged, *paths[2:], "--format", fmt, "-o", out, "--jobs", jobs,
               "--limit", 41)
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"vellum: {damaged} is truncated"), lines
    # every other workbook, and nothing else (no partial file)
    assert sorted(os.listdir(out)) == [f"b{i}.{fmt}" for i in range(5)]
    for p in paths:
        want = vellum.read_table(p, n_rows=41).to_arrow(dictionaries=False)
        assert read_back(out / f"{p.stem}.{fmt}", fmt).equals(want), p


def test_refusals(books, tmp_path):
    paths, _ = books
    other = tmp_path / "other"
    other.mkdir()
    twin = other / paths[0].name
    twin.write_bytes(paths[0].read_bytes())
    done = run(paths[0], twin, "--format", "parquet", "-o", tmp_path / "out")
    assert done.returncode == 2 and "would both be written" in done.stderr
    assert not (tmp_path / "out").exists()
    assert run(*paths[:2]).returncode == 2  # several to CSV
    assert run(*paths[:2], "--format", "parquet", "-o", tmp_path, "--jobs", 0).returncode == 2
    # one workbook to an existing directory: written into it
    assert run(paths[1], "--format", "parquet", "-o", other).returncode == 0
    assert (other / "b1.parquet").exists()


def test_progress_bar_on_a_terminal(books, tmp_path):
    paths, _ = books
    status, seen = stderr_on_terminal([sys.executable, "-m", "vellum", *map(str, paths), "--format",
                                       "parquet", "-o", str(tmp_path)], stdout=subprocess.DEVNULL)
    assert status == 0
    assert b"converting [" in seen and seen.endswith(b"\r\x1b[K")
