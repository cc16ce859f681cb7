"""What a save promises the file it writes to, and what a workbook takes.

A save to a path is atomic: interrupted at any write, at the flush or at
the rename, by an error, a full disk or Ctrl-C from a real signal, the
path holds the old workbook or the new one and no temporary file is left.
The new file keeps the old one's mode (and owner, as root), a symbolic
link is followed, a file with other hard links is replaced under its own
name only. Rows are appended whole or not at all, and a value no xlsx file
can hold is refused when it is set, naming its cell."""
import errno
import io
import math
import os
import signal
import uuid

import pytest

import vellum
import vellum.save

MODES = (False, True)


def book_of(values):
    book = vellum.new_workbook()
    ws = book.add_sheet("S")
    for row in values:
        ws.append(row)
    return book


def cells(path):
    with vellum.read_workbook(path) as book:
        ws = book["S"]
        return {k: ws._cells[k].value for k in list(ws._cells)}


OLD = [["old", 1], [2.5, True]]
NEW = [["new", f"text {i}", i * 0.5] for i in range(400)]
NEW_CELLS = {(r, c): v for r, row in enumerate(NEW, 1) for c, v in enumerate(row, 1)}


class Interrupted(Exception):
    pass


class Recording:
    """The scratch file, its writes counted; the one numbered `fail_at`
    fails as `how` says."""

    def __init__(self, f, fail_at, how, counter):
        self._f, self._fail_at, self._how, self._counter = f, fail_at, how, counter

    def __getattr__(self, name):
        return getattr(self._f, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self._f.__exit__(*exc)

    def write(self, data):
        self._counter[0] += 1
        if self._counter[0] != self._fail_at:
            return self._f.write(data)
        if self._how == "error":
            raise Interrupted("injected")
        if self._how == "disk full":
            self._f.write(data[:len(data) // 2])  # what fitted
            raise OSError(errno.ENOSPC, "No space left on device")
        n = self._f.write(data)
        signal.raise_signal(signal.SIGINT)  # Ctrl-C: KeyboardInterrupt at the next check
        return n


def save_interrupted(book, path, monkeypatch, how, at):
    """Save `book` to `path` with one failure injected; the number of
    writes made. `at` is a write's number, or "fsync", "before rename",
    "after rename"."""
    counter = [0]
    real_open, real_replace, real_fsync = open, os.replace, os.fsync

    def scratch_open(fd, mode="r", *args, **kwargs):
        return Recording(real_open(fd, mode, *args, **kwargs), at, how, counter)

    def replace(src, dst):
        if at == "before rename":
            raise Interrupted("before")
        real_replace(src, dst)
        if at == "after rename":
            raise Interrupted("after")

    def fsync(fd):
        if at == "fsync":
            raise OSError(errno.EIO, "Input/output error")
        real_fsync(fd)

    monkeypatch.setattr(vellum.save, "open", scratch_open, raising=False)
    monkeypatch.setattr(os, "replace", replace)
    monkeypatch.setattr(os, "fsync", fsync)
    try:
        book.save(path)
    finally:
        monkeypatch.undo()
    return counter[0]


@pytest.mark.parametrize("how", ["error", "disk full", "Ctrl-C"])
def test_an_interrupted_save_leaves_the_old_file_or_the_new_one(tmp_path, monkeypatch, how):
    # a process started in the background inherits SIGINT ignored, and then
    # Python installs no handler of its own: Ctrl-C is made to raise here
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        _interrupt_every_write(tmp_path, monkeypatch, how)
    finally:
        signal.signal(signal.SIGINT, previous)


def _interrupt_every_write(tmp_path, monkeypatch, how):
    path = tmp_path / "book.xlsx"
    book_of(OLD).save(path)
    path.chmod(0o640)
    old = path.read_bytes()
    new = book_of(NEW)
    writes = save_interrupted(new, tmp_path / "count.xlsx", monkeypatch, how, None)
    (tmp_path / "count.xlsx").unlink()
    assert writes > 10
    points = list(range(1, writes + 1)) + ["fsync", "before rename", "after rename"]
    for at in points:
        if how != "error" and not isinstance(at, int):
            continue
        with pytest.raises((Interrupted, OSError, KeyboardInterrupt)):
            save_interrupted(new, path, monkeypatch, how, at)
        assert os.listdir(tmp_path) == ["book.xlsx"], at  # no temporary file left
        if path.read_bytes() != old:
            assert at == "after rename" and cells(path) == NEW_CELLS
            book_of(OLD).save(path)
            path.chmod(0o640)
            old = path.read_bytes()
        assert path.stat().st_mode & 0o777 == 0o640
    new.save(path)
    assert cells(path) == NEW_CELLS and path.stat().st_mode & 0o777 == 0o640


def test_what_the_new_file_keeps_of_the_old(tmp_path):
    """Mode, and owner where permitted; a new file takes the umask's mode;
    a symbolic link stays a link to the replaced file; other hard links
    keep the old workbook, with a warning."""
    fresh = tmp_path / "fresh.xlsx"
    mask = os.umask(0o027)
    try:
        book_of(NEW).save(fresh)
    finally:
        os.umask(mask)
    assert fresh.stat().st_mode & 0o777 == 0o640

    real = tmp_path / "real.xlsx"
    book_of(OLD).save(real)
    real.chmod(0o604)
    if os.geteuid() == 0:
        os.chown(real, 4321, 4322)
    link = tmp_path / "link.xlsx"
    link.symlink_to(real.name)
    book_of(NEW).save(link)
    assert link.is_symlink() and os.readlink(link) == real.name
    assert cells(real) == NEW_CELLS and real.stat().st_mode & 0o777 == 0o604
    if os.geteuid() == 0:
        assert (real.stat().st_uid, real.stat().st_gid) == (4321, 4322)

    other = tmp_path / "other.xlsx"
    os.link(real, other)
    before = other.read_bytes()
    with pytest.warns(UserWarning, match="1 other hard link"):
        book_of(OLD).save(real)
    assert other.read_bytes() == before and cells(real) == cells_of(OLD)
    assert sorted(os.listdir(tmp_path)) == ["fresh.xlsx", "link.xlsx", "other.xlsx", "real.xlsx"]


def cells_of(rows):
    return {(r, c): v for r, row in enumerate(rows, 1) for c, v in enumerate(row, 1)}


# --- what a sheet takes ------------------------------------------------------

class Failing:
    """An iterable that fails after `n` values, each time it is iterated."""

    def __init__(self, n):
        self.n = n

    def __iter__(self):
        yield from range(self.n)
        raise Interrupted("midway")


@pytest.mark.parametrize("write_only", [False, True])
@pytest.mark.parametrize("row, error, where", [
    ([1, uuid.uuid4(), 3], TypeError, None),
    ([1, "ok", "a\ud800b"], ValueError, "C2 .* U\\+D800"),
    ([1, float("nan")], ValueError, "B2 .* nan"),
    ([1, float("-inf")], ValueError, "B2 .* -inf"),
    ([__import__("decimal").Decimal("sNaN")], ValueError, "A2 .*sNaN"),
    ([__import__("decimal").Decimal("1E+400")], ValueError, "A2 .* beyond"),
    ([10**400], ValueError, "A2 .* beyond"),
    ([None] * 16384 + [1], ValueError, "row 2, column 16385"),
    (Failing(3), Interrupted, None),
])
def test_a_refused_row_leaves_nothing(tmp_path, write_only, row, error, where):
    book = vellum.new_workbook(write_only=write_only)
    ws = book.add_sheet("S")
    ws.append(["first"])
    with pytest.raises(error, match=None if where is None else f"cell 'S'!{where}|{where}"):
        ws.append(row)
    ws.append(["next"])
    if not write_only:
        assert ws.max_row == 2 and ws.max_column == 1
    book.save(tmp_path / "book.xlsx")
    assert cells(tmp_path / "book.xlsx") == {(1, 1): "first", (2, 1): "next"}


@pytest.mark.parametrize("write_only", [False, True])
def test_nan_and_infinities_as_error_values(tmp_path, write_only):
    book = vellum.new_workbook(write_only=write_only, nan_inf_to_errors=True)
    ws = book.add_sheet("S")
    ws.append([float("nan"), math.inf, -math.inf, __import__("decimal").Decimal("NaN"), 1.5])
    if not write_only:
        ws["A2"] = float("nan")
        book.nan_inf_to_errors = False
        with pytest.raises(ValueError, match="cell 'S'!B2 .* nan_inf_to_errors"):
            ws["B2"] = math.nan
        with pytest.raises(ValueError, match="cell 'S'!A1 .* nan"):
            book.save(io.BytesIO())  # set while allowed, refused when saved without
        book.nan_inf_to_errors = True
    book.save(tmp_path / "book.xlsx")
    want = {(1, 1): "#NUM!", (1, 2): "#DIV/0!", (1, 3): "#DIV/0!", (1, 4): "#NUM!", (1, 5): 1.5}
    if not write_only:
        want[(2, 1)] = "#NUM!"
    assert cells(tmp_path / "book.xlsx") == want


def test_cells_and_rows_beyond_the_sheet_are_refused_when_set():
    book = vellum.new_workbook()
    ws = book.add_sheet("S")
    for row, column in ((1, 18279), (1, 16385), (0, 1), (1048577, 1), (1, 0)):
        with pytest.raises(ValueError, match=f"no cell at row {row}, column {column}"):
            ws.cell(row, column, "x")
    with pytest.raises(ValueError, match="Invalid cell coordinates"):
        ws["XFE1"] = 1
    ws.cell(1048576, 16384, "last")
    with pytest.raises(ValueError, match="is full"):
        ws.append([1])
    only = vellum.new_workbook(write_only=True).add_sheet("W")
    only._rows = 1048576
    with pytest.raises(ValueError, match="is full"):
        only.append([1])


def test_a_workbook_read_with_data_only_is_saved_only_when_asked(tmp_path):
    path = tmp_path / "f.xlsx"
    book = vellum.new_workbook()
    book.add_sheet("S").append([2, "=A1*2"])
    book.save(path)
    before = path.read_bytes()
    with vellum.read_workbook(path, data_only=True) as read:
        with pytest.raises(ValueError, match="data_only=True.*formulas_as_values=True"):
            read.save(path)
        assert path.read_bytes() == before
        read["S"]["C1"] = 3  # the sheet is written again, not copied
        read.save(tmp_path / "values.xlsx", formulas_as_values=True)
    assert cells(tmp_path / "values.xlsx") == {(1, 1): 2, (1, 3): 3}


def test_a_write_only_save_that_fails_can_be_made_again(tmp_path, monkeypatch):
    book = vellum.new_workbook(write_only=True)
    ws = book.add_sheet("S")
    for row in NEW:
        ws.append(row)
    path = tmp_path / "book.xlsx"
    with pytest.raises(Interrupted):
        save_interrupted(book, path, monkeypatch, "error", 5)
    assert not path.exists() and os.listdir(tmp_path) == []
    book.save(path)
    assert cells(path) == NEW_CELLS
    with pytest.raises(ValueError, match="was saved"):
        ws.append([1])


def test_a_write_only_sheet_whose_file_failed_takes_no_more_rows(tmp_path):
    book = vellum.new_workbook(write_only=True)
    ws = book.add_sheet("S")
    ws._file.close()  # every write to it fails from here on
    with pytest.raises(ValueError, match="closed file"):
        for row in NEW * 20:  # past the writer's buffer
            ws.append(row)
    with pytest.raises(ValueError, match="lost rows"):
        ws.append([1])
    with pytest.raises(ValueError, match="lost rows"):
        book.save(tmp_path / "book.xlsx")
    assert os.listdir(tmp_path) == []
