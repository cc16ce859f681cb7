"""Many workbooks into one Dask DataFrame: one partition per workbook, each
read by `vellum.read_table` wherever Dask runs it (threads, processes, or
the workers of a `distributed` cluster).

    import vellum.dask

    df = vellum.dask.read_sheets("exports/2024-*.xlsx", "Sales", path_column="source")
    totals = df.groupby("store")["amount"].sum().compute()

Columns are Arrow-backed pandas dtypes (``int64[pyarrow]``,
``timestamp[us][pyarrow]``, ...), the types `read_table` gives, so that a
column's dtype never depends on whether one workbook happens to leave a
cell of it empty. The columns' names and types (Dask's ``meta``) come from
the first workbook, read once before the graph is built, or from the caller
(``meta=``, an empty pandas DataFrame). Each workbook must then have the
same columns (in any order); a column it leaves empty, or one of whole
numbers where the others hold fractions, takes the type of the first. Any
other difference raises `ColumnMismatchError` naming the workbook, or with
``on_mismatch="union"`` the columns of all the workbooks are gathered
first (their header rows and first rows, read where the graph runs) and a
workbook lacking some of them has them empty.

The files must be readable by that path wherever the partitions run: on a
cluster of several machines, a shared file system.

Needs Dask (Debian's python3-dask; python3-distributed for a cluster),
pandas and pyarrow; `import vellum` never imports them.
"""
from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from typing import Any

from vellum.table import _options, read_table

__all__ = ["ColumnMismatchError", "read_sheets"]

# With on_mismatch="union", the rows of each workbook read to learn the
# types of the columns the first one lacks.
SAMPLE_ROWS = 1000
# A column's type in one workbook that the others' type takes without loss:
# (this workbook's, the meta's). An empty column is of type null.
WIDENINGS = {("int64", "double")}


class ColumnMismatchError(ValueError):
    """A workbook's columns differ from the others' (the message names the
    workbook and the columns)."""


def _dask() -> Any:
    try:
        import dask
        import dask.dataframe as dd
        import pandas
        import pyarrow
    except ImportError as e:
        raise ImportError(f"vellum.dask needs Dask, pandas and pyarrow ({e.name} is missing): "
                          "install Debian's python3-dask (and python3-distributed for a cluster), "
                          "or pip install 'dask[dataframe,distributed]' pyarrow") from None
    return dask, dd, pandas, pyarrow


def read_sheets(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                sheet: str | int = 0, *, meta: Any = None, on_mismatch: str = "raise",
                path_column: str | None = None, **read_table_options: Any) -> Any:
    """Read one worksheet of each of many workbooks into a
    `dask.dataframe.DataFrame`, one partition per workbook, in the order
    given (a glob's matches in sorted order).

    `paths` is a glob ("data/*.xlsx"), a path, or a list of paths; `sheet`
    the sheet's name or position in every workbook. `read_table_options`
    (``header_row``, ``skip_rows``, ``n_rows``, ``columns``, ``dtypes``,
    ``error_cells``, ``engine``) apply to each, as in `vellum.read_table`;
    ``dtypes`` is also the way to fix a column's type across workbooks.
    `meta` is an empty pandas DataFrame of the columns and dtypes every
    partition is given (default: those of the first workbook). A workbook
    whose columns differ raises `ColumnMismatchError` when computed, unless
    `on_mismatch` is "union" (see the module docstring). `path_column`
    names an added last column holding each row's workbook path.

    The options are checked here; each workbook is read when the frame is
    computed, where its errors (`WorkbookError`, naming the file) are
    raised."""
    dask, dd, pd, pa = _dask()
    if on_mismatch not in ("raise", "union"):
        raise ValueError(f"on_mismatch must be 'raise' or 'union', not {on_mismatch!r}")
    if path_column is not None and not isinstance(path_column, str):
        raise TypeError(f"path_column must be a column name or None, not {path_column!r}")
    _check(read_table_options)
    files = _paths(paths)
    reader = _Reader(sheet, read_table_options, path_column)
    if meta is not None:
        if not isinstance(meta, pd.DataFrame):
            raise TypeError(f"meta must be an empty pandas DataFrame, not {type(meta).__name__}")
        meta, given = meta.iloc[:0], True
    else:
        meta, given = _inferred_meta(dask, pd, pa, reader, files, on_mismatch == "union"), False
    if path_column is not None and not (given and list(meta.columns)[-1:] == [path_column]):
        # (a meta given with the path column last, as a frame of ours has it, is taken as it is)
        if path_column in meta.columns:
            raise ValueError(f"path_column {path_column!r} is also a column of the workbooks")
        meta = meta.assign(**{path_column: pd.Series([], dtype=pd.ArrowDtype(pa.string()))})
    reader.conform_to(meta, given, on_mismatch == "union", files[0])
    return dd.from_map(reader, files, meta=meta, label="vellum-read-sheets", enforce_metadata=False)


def _check(options: dict[str, Any]) -> None:
    """read_table's options checked once here, rather than by every task."""
    known = {"header_row": 0, "skip_rows": 0, "n_rows": None, "columns": None, "dtypes": None,
             "error_cells": "null"}
    unknown = set(options) - set(known) - {"engine"}
    if unknown:
        raise TypeError(f"read_sheets got options read_table does not take: {sorted(unknown)}")
    _options(**(known | {k: v for k, v in options.items() if k != "engine"}))


def _paths(paths: Any) -> list[str]:
    """The workbooks `paths` names: a glob's matches (on this machine)
    sorted, or the list."""
    if isinstance(paths, (str, os.PathLike)):
        pattern = os.fspath(paths)
        if any(c in pattern for c in "*?["):
            files = sorted(glob.glob(pattern))
            if not files:
                raise FileNotFoundError(f"no file matches {pattern}")
            return files
        return [pattern]
    files = [os.fspath(p) for p in paths]
    if not files:
        raise ValueError("read_sheets needs at least one workbook")
    return files


def _inferred_meta(dask: Any, pd: Any, pa: Any, reader: _Reader, files: Sequence[str],
                   union: bool) -> Any:
    """The empty frame of the first workbook's columns, or with `union` of
    every workbook's, in the order first met; read where Dask runs its
    tasks (the files may be on the cluster's machines alone)."""
    tasks = [dask.delayed(reader.schema, pure=True)(files[0], None)]
    if union:
        tasks += [dask.delayed(reader.schema, pure=True)(f, SAMPLE_ROWS) for f in files[1:]]
    schemas = dask.compute(*tasks)
    columns: dict[str, str] = {}
    seen: dict[str, str] = {}
    for path, schema in zip(files, schemas):
        for name, type_ in schema:
            have = columns.get(name)
            if have is None or have == "null":
                columns[name], seen[name] = type_, path
            elif type_ != have and type_ != "null":
                if (have, type_) in WIDENINGS:
                    columns[name], seen[name] = type_, path
                elif (type_, have) not in WIDENINGS:
                    raise ColumnMismatchError(
                        f"{path}: column {name!r} holds {type_} where {seen[name]} holds {have}; "
                        f"give its type with dtypes={{{name!r}: ...}} or meta=")
    return pd.DataFrame({name: pd.Series([], dtype=pd.ArrowDtype(pa.type_for_alias(t)))
                         for name, t in columns.items()})


class _Reader:
    """The task of one partition: a workbook read and given the columns
    and dtypes of the meta. Pickled to the workers, so it holds only
    plain data and the meta frame."""

    def __init__(self, sheet: str | int, options: dict[str, Any], path_column: str | None) -> None:
        self.sheet, self.options, self.path_column = sheet, options, path_column
        self.meta: Any = None
        self.given = self.union = False
        self.first = ""

    def conform_to(self, meta: Any, given: bool, union: bool, first: str) -> None:
        self.meta, self.given, self.union, self.first = meta, given, union, first

    def __dask_tokenize__(self) -> Any:
        from dask.base import tokenize
        return ("vellum-read-sheets", self.sheet, tokenize(self.options), self.path_column,
                tokenize(self.meta), self.given, self.union)

    def arrow(self, path: str, n_rows: int | None = None) -> Any:
        options = dict(self.options)
        if n_rows is not None:
            options["n_rows"] = min(n_rows, options.get("n_rows") or n_rows)
        return read_table(path, self.sheet, **options).to_arrow(dictionaries=False)

    def schema(self, path: str, n_rows: int | None) -> list[tuple[str, str]]:
        """(name, Arrow type) of each column of the workbook."""
        return [(f.name, str(f.type)) for f in self.arrow(path, n_rows).schema]

    def __call__(self, path: str) -> Any:
        import pandas as pd
        import pyarrow as pa

        frame = self.arrow(path).to_pandas(types_mapper=pd.ArrowDtype)
        frame = self._columns(frame, path)
        for name, dtype in zip(frame.columns, self.meta.dtypes):
            have = frame[name].dtype
            if have == dtype:
                continue
            if not self.given and not (have == pd.ArrowDtype(pa.null()) or
                                       (str(have.pyarrow_dtype), str(dtype.pyarrow_dtype)) in WIDENINGS):
                raise ColumnMismatchError(
                    f"{path}: column {name!r} holds {have.pyarrow_dtype} where the first workbook "
                    f"({self.first}) holds {dtype.pyarrow_dtype}; give its type with "
                    f"dtypes={{{name!r}: ...}} or meta=")
            try:
                frame[name] = frame[name].astype(dtype)
            except (ValueError, TypeError, ArithmeticError, pa.ArrowException) as e:
                raise ColumnMismatchError(f"{path}: column {name!r} cannot be made {dtype} "
                                          f"({type(e).__name__}: {e})") from e
        return frame

    def _columns(self, frame: Any, path: str) -> Any:
        """`frame` with the meta's columns, in its order."""
        import pandas as pd

        want = list(self.meta.columns)
        if self.path_column is not None:
            want.pop()
            frame[self.path_column] = pd.Series([path] * len(frame), dtype=self.meta.dtypes.iloc[-1])
        have = list(frame.columns)
        if have == list(self.meta.columns):
            return frame
        extra = [c for c in have if c not in self.meta.columns]
        missing = [c for c in want if c not in frame.columns]
        if extra or (missing and not self.union):
            told = f"missing {missing}" if missing else ""
            told += ("; " if told and extra else "") + (f"not in the others {extra}" if extra else "")
            first = "the meta given" if self.given else f"the first workbook ({self.first})"
            raise ColumnMismatchError(f"{path}: its columns differ from those of {first}: {told}"
                                      + ("" if self.union or extra else "; on_mismatch='union' "
                                         "reads it with them empty"))
        for name in missing:
            frame[name] = pd.Series([None] * len(frame), dtype=self.meta[name].dtype)
        return frame[list(self.meta.columns)]
