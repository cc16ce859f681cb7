"""What the package reports, and the one rule of running the engine.

`WorkbookError` is what users meet when a file cannot be read. Inside, the
engine (`vellum._vellum`) either reproduces exactly what the package's own
Python code would give or declines with `NativeFallback`; `native_or_package`
states once what happens then.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import TypeVar

from vellum import _vellum

NativeFallback = _vellum.NativeFallback

T = TypeVar("T")


class WorkbookError(ValueError):
    """The file is missing, is not an xlsx workbook, lacks a sheet, or a part
    of it is damaged (the message names the file, and the part)."""


# The file itself cannot be opened: errors that are both a WorkbookError and
# the OSError Python raises for the same trouble, so that either `except`
# catches them. The message is the text given; `errno` and `filename` are
# those of the OSError.

class WorkbookNotFoundError(FileNotFoundError, WorkbookError):
    """There is no file at the path given."""

    def __str__(self) -> str:
        return str(self.strerror)


class WorkbookIsADirectoryError(IsADirectoryError, WorkbookError):
    """The path given is a directory."""

    def __str__(self) -> str:
        return str(self.strerror)


class WorkbookPermissionError(PermissionError, WorkbookError):
    """The file cannot be read for want of permission."""

    def __str__(self) -> str:
        return str(self.strerror)


def file_error(path: str, error: OSError) -> WorkbookError:
    """The `WorkbookError` for a file that could not be opened (`error`),
    of the matching OSError class where there is one."""
    for kind, cls, what in ((FileNotFoundError, WorkbookNotFoundError, "no such file: {}"),
                            (IsADirectoryError, WorkbookIsADirectoryError,
                             "{} is a directory, not a workbook"),
                            (PermissionError, WorkbookPermissionError,
                             "{} cannot be read: permission denied")):
        if isinstance(error, kind):
            return cls(error.errno, what.format(path), path)
    return WorkbookError(f"{path} cannot be read ({error.strerror or error})")


class ClosedWorkbookError(WorkbookError):
    """The workbook was closed: what it has not read already can no longer
    be read from its file."""


# Sheets looked up by a name or position the workbook does not have: a
# KeyError or an IndexError as for a dict or a list, and a WorkbookError;
# the message lists the sheets there are.

class SheetNotFoundError(KeyError, WorkbookError):
    """No worksheet has the name asked for (compared without regard to case
    too)."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class SheetIndexError(IndexError, WorkbookError):
    """No worksheet is at the position asked for."""


def damaged(path: str, part: str, error: BaseException) -> WorkbookError:
    """The `WorkbookError` for a part that cannot be read."""
    return WorkbookError(f"{path}: part {part} is damaged ({type(error).__name__}: {error})")


def native_or_package(native: Callable[[], T], package: Callable[[], T], engine: bool = True, *,
                      redo_on: tuple[type[Exception], ...] = (NativeFallback,),
                      on_decline: Callable[[], object] | None = None) -> T:
    """The result of the engine's job `native()`, or of the package's own
    `package()` when `engine` is false or the engine declines.

    Declining is raising `NativeFallback` (or, at a site that passes
    `redo_on`, any of those exceptions): whatever the engine did is then
    undone by `on_decline()` and the package does the whole job again from
    its start, so each job opens its own input. A MemoryError is never
    redone, as the package would need more memory still."""
    if engine:
        try:
            return native()
        except MemoryError:
            raise
        except redo_on:
            if on_decline is not None:
                on_decline()
    return package()
