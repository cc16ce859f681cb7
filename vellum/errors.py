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
    of it is damaged (the message names the part)."""


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
