"""Worksheets written as Parquet or Arrow IPC files, as `vellum.read_table`
reads them: one workbook, or many at once (the command line's
``vellum FILES... --format parquet -o DIR --jobs N``).

Many workbooks go to a folder, each as its name with the format's suffix
(``sales.xlsx`` becomes ``DIR/sales.parquet``). With more than one job they
are converted by a `distributed` cluster of that many worker processes
started on this machine (loopback alone) when `distributed` is installed,
else one after the other. Each file is written beside its place under a
temporary name and renamed once complete, so a failed conversion leaves
no partial file behind.
"""
from __future__ import annotations

import importlib.util
import os
from collections.abc import Iterator, Sequence
from typing import IO, Any

from vellum.errors import WorkbookError
from vellum.table import read_table
from vellum.workbook import Workbook

FORMATS = {"parquet": ".parquet", "arrow": ".arrow"}


def pick(book: Workbook, key: str | None) -> Any:
    """The sheet `key` names: a name, else a position given in digits."""
    if key is not None and key not in book.sheet_names and key.lstrip("-").isdigit():
        return book.sheet(int(key))
    return book.sheet(key)


def pyarrow_modules() -> Any:
    """pyarrow, with its Parquet and IPC writers (ImportError without)."""
    import pyarrow
    import pyarrow.ipc
    import pyarrow.parquet
    return pyarrow


def convert(source: str | IO[bytes], target: str, fmt: str, sheet: str | None = None,
            header: bool = True, limit: int | None = None) -> None:
    """One sheet of the workbook `source` (the first by default) written to
    `target` as `fmt` ("parquet" or "arrow"). Raises `WorkbookError` or
    ValueError for what cannot be read; `target` is then left as it was."""
    pa = pyarrow_modules()
    with Workbook(source) as book:
        index = book.sheets.index(pick(book, sheet))
    if not isinstance(source, str):
        source.seek(0)
    table = read_table(source, index, header_row=0 if header else None,
                       n_rows=limit).to_arrow(dictionaries=False)
    folder, name = os.path.split(os.path.abspath(target))
    partial = os.path.join(folder, f".{name}.{os.getpid()}.partial")
    try:
        if fmt == "parquet":
            pa.parquet.write_table(table, partial)
        else:
            with pa.OSFile(partial, "wb") as f, pa.ipc.new_file(f, table.schema) as w:
                w.write_table(table)
        os.replace(partial, target)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)


def targets(files: Sequence[str], folder: str, fmt: str) -> list[str]:
    """The file each workbook is written to in `folder`; ValueError when
    two would be written to the same one."""
    out: dict[str, str] = {}
    for f in files:
        target = os.path.join(folder, os.path.splitext(os.path.basename(f))[0] + FORMATS[fmt])
        if target in out:
            raise ValueError(f"{out[target]} and {f} would both be written to {target}")
        out[target] = f
    return list(out)


def convert_many(files: Sequence[str], folder: str, fmt: str, jobs: int = 1, sheet: str | None = None,
                 header: bool = True, limit: int | None = None) -> Iterator[tuple[str, str | None]]:
    """Convert each workbook of `files` into `folder` (made if need be),
    yielding (workbook, None) as each is written or (workbook, the error's
    message) for one that could not be, in the order they finish."""
    outputs = targets(files, folder, fmt)
    os.makedirs(folder, exist_ok=True)
    tasks = [(f, t, fmt, sheet, header, limit) for f, t in zip(files, outputs)]
    if jobs > 1 and len(files) > 1 and importlib.util.find_spec("distributed") is not None:
        yield from _on_cluster(tasks, min(jobs, len(files)))
        return
    for task in tasks:
        try:
            convert(*task)
        except (WorkbookError, ValueError) as e:
            yield task[0], str(e)
        else:
            yield task[0], None


def _on_cluster(tasks: list[tuple[Any, ...]], workers: int) -> Iterator[tuple[str, str | None]]:
    """The tasks run by a local cluster of `workers` processes of one
    thread each; a worker that dies has its task run again by another."""
    import logging

    from distributed import Client, KilledWorker, LocalCluster, as_completed

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster) as client:
        futures = {client.submit(convert, *task, pure=False): task[0] for task in tasks}
        for future in as_completed(futures):
            try:
                future.result()
            except (WorkbookError, ValueError) as e:
                yield futures[future], str(e)
            except KilledWorker:
                yield futures[future], "every worker that read it died (out of memory?)"
            else:
                yield futures[future], None
