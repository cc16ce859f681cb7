"""Reading a worksheet into a table of typed columns (Apache Arrow), for
DataFrames and every tool that takes Arrow data.

    table = vellum.read_table("sales.xlsx", "Q1")
    df = table.to_pandas()                 # or pyarrow.table(table), polars.from_arrow(table)

`read_table` reads one worksheet's cached values (formulas give the value
last saved with them) straight into typed columns: the engine's columnar
job parses the sheet without making a Python object per cell, and without
holding the interpreter while it inflates and parses, so other threads run
meanwhile. The `Table` it returns holds the columns in record batches of
65,536 rows and hands them to Arrow consumers through the Arrow PyCapsule
interface, without a copy.

How values become columns (the same rules in the engine and in the
package's own reading, `vellum.reference.table`, which takes over where
the engine declines a sheet):

- a column of one kind of value has that kind's type: int64, float64,
  bool, string, timestamp[us] (cells whose number format shows a date, and
  ISO dates), time64[us] (a time of day alone), duration[us] (elapsed-time
  formats such as ``[h]:mm``); integers with fractions make float64; a
  column without a value is of type null;
- a column mixing other kinds is a string column, each value written as
  Python's ``str()`` writes it (``1.5``, ``True``, ``2024-01-31 00:00:00``);
- shared strings stay indexes into the workbook's string table, built once:
  a column of shared strings alone is a dictionary column whose dictionary
  is that table (`to_pandas` decodes it into plain strings);
- empty cells are null; error cells (``#N/A``) are null, or their text with
  ``error_cells="text"``; ``dtypes`` asks a column for another type.
"""
from __future__ import annotations

import datetime
import os
import re
import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import IO, Any

from vellum import _vellum
from vellum.archive import STRINGS_LIMIT
from vellum.errors import WorkbookError, damaged, native_or_package
from vellum.reference.table import TableRefusal, build_columns
from vellum.streaming import check_root
from vellum.workbook import Workbook

__all__ = ["Table", "read_table"]

# The types a column may be asked for, by pyarrow's name (a pyarrow type's
# str() is one) or by a Python type.
TYPES: dict[Any, str] = {
    "int64": "int64", "int": "int64", int: "int64",
    "float64": "float64", "double": "float64", "float": "float64", float: "float64",
    "bool": "bool", bool: "bool",
    "string": "string", "str": "string", "utf8": "string", str: "string",
    "timestamp[us]": "timestamp[us]", "datetime": "timestamp[us]", datetime.datetime: "timestamp[us]",
    "time64[us]": "time64[us]", "time": "time64[us]", datetime.time: "time64[us]",
    "duration[us]": "duration[us]", "timedelta": "duration[us]", datetime.timedelta: "duration[us]",
}
ERROR_CELLS = ("null", "text")
_LETTERS = re.compile(r"\s*([A-Za-z]{1,3})\s*(?::\s*([A-Za-z]{1,3})\s*)?")


class Table:
    """A worksheet read into typed columns (see the module docstring).

    Arrow consumers take it as it is, through the Arrow PyCapsule interface
    (``pyarrow.table(t)``, ``polars.from_arrow(t)``, DuckDB); `to_arrow` and
    `to_pandas` need pyarrow (and pandas). `num_rows`, `column_names` and
    `column_types` need neither."""

    __slots__ = ("_data",)

    def __init__(self, data: Any) -> None:
        self._data = data

    @property
    def num_rows(self) -> int:
        """The number of rows."""
        return int(self._data.num_rows)

    @property
    def column_names(self) -> list[str]:
        """The columns' names, in order."""
        return list(self._data.column_names)

    @property
    def column_types(self) -> list[str]:
        """The columns' Arrow types, as pyarrow names them ("int64",
        "timestamp[us]", "string" for a dictionary of strings too)."""
        return list(self._data.column_types)

    @property
    def schema(self) -> Any:
        """The `pyarrow.Schema` of the table (needs pyarrow)."""
        return _pyarrow().schema(self._data)

    def __len__(self) -> int:
        return self.num_rows

    def __arrow_c_schema__(self) -> Any:
        """The schema as an ArrowSchema PyCapsule (Arrow PyCapsule interface)."""
        return self._data.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The record batches as an ArrowArrayStream PyCapsule (Arrow
        PyCapsule interface). The table's own types are given whatever
        schema is requested; consumers cast as they need."""
        return self._data.__arrow_c_stream__(requested_schema)

    def to_arrow(self, dictionaries: bool = True) -> Any:
        """The table as a `pyarrow.Table`, without a copy (needs pyarrow).
        With ``dictionaries=False`` the columns of shared strings are decoded
        into plain string columns (a copy of their texts): their dictionary
        is the whole workbook's string table, as a file (Parquet, Arrow IPC)
        or a set of categories would rather not hold it."""
        pa = _pyarrow()
        table = pa.table(self._data)
        if not dictionaries:
            for i, field in enumerate(table.schema):
                if pa.types.is_dictionary(field.type):
                    table = table.set_column(i, field.name, table.column(i).cast(pa.string()))
        return table

    def to_pandas(self, **options: Any) -> Any:
        """The table as a `pandas.DataFrame` (needs pyarrow and pandas), its
        shared strings as plain strings (see `to_arrow`); `options` go to
        `pyarrow.Table.to_pandas`."""
        return self.to_arrow(dictionaries=False).to_pandas(**options)

    def __repr__(self) -> str:
        cols = ", ".join(f"{n}: {t}" for n, t in zip(self.column_names[:8], self.column_types[:8]))
        more = ", ..." if len(self.column_names) > 8 else ""
        return f"<vellum.Table {self.num_rows} rows x {len(self.column_names)} columns ({cols}{more})>"


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        raise ImportError("this needs pyarrow (pip install pyarrow, or Debian's python3-pyarrow); "
                          "Arrow consumers can also take a vellum.Table directly") from None
    return pyarrow


def read_table(source: str | os.PathLike[str] | IO[bytes], sheet: str | int = 0, *,
               header_row: int | None = 0, skip_rows: int = 0, n_rows: int | None = None,
               columns: str | Sequence[str] | Sequence[int] | None = None,
               dtypes: Mapping[str, Any] | None = None, error_cells: str = "null",
               engine: bool = True) -> Table:
    """Read one worksheet of an xlsx workbook into a `Table` of typed columns.

    `source` is a path or a seekable binary file; `sheet` a sheet's name or
    position (0 is the first worksheet). `header_row` is the 0-based sheet
    row holding the column names (None: the columns are named by letter,
    "A", "B", ...); `skip_rows` rows after it (or after the top of the sheet)
    are passed over; `n_rows` caps the data rows. The data runs to the last
    row holding a cell and from column A to the last column holding one; a
    header cell that is missing or empty names its column by letter, and a
    name already taken gets ".1", ".2", ... as in pandas.

    `columns` picks columns, in the order given: a text of letters and
    ranges ("A:C,F"), a list of 0-based column numbers (0 is A), or a list
    of names. `dtypes` maps a column's name to the type it must have
    ("int64", "float64", "bool", "string", "timestamp[us]", "time64[us]",
    "duration[us]", their aliases "int", "float", "str", "datetime", "time",
    "timedelta", a pyarrow type or a Python type); a value that type cannot
    take raises ValueError naming the cell. `error_cells` is "null" (the
    default) or "text". `engine=False` reads with the package's own Python
    reading (slower, same table).

    Raises `WorkbookError` for a file that cannot be read or a damaged part
    (named), ValueError for what was asked and cannot be made."""
    options = _options(header_row, skip_rows, n_rows, columns, dtypes, error_cells)
    with _TableBook(source, engine) as book:
        ws = book.sheet(sheet)
        try:
            check_root(book, ws)
        except WorkbookError:
            raise
        except Exception as e:
            raise damaged(book.path, ws.part, e) from e
        strings = book.strings_part()
        declined = []

        def native():
            # the members first: a string table too large is refused as
            # the package refuses it
            sheet_member = book.member(ws.part)
            strings_member = book.member(strings, STRINGS_LIMIT) if strings else None
            try:
                return _vellum.read_table(sheet_member, strings_member, book.epoch, book.date_formats,
                                          book.timedelta_formats, book.helpers, **options)
            except _vellum.NativeFallback as e:
                declined.append(str(e))
                raise

        def package():
            if declined and "zip member" in declined[0]:
                # damaged data: the package's own reading of the members says
                # how, at once
                for part in (ws.part, strings):
                    if part:
                        book.check_member(part)
            return _by_package(book, ws, options, engine)

        # Any error of the engine's reading has the package read again, as
        # for a sheet read in full: the package's error is the one given.
        data = native_or_package(native, package, engine, redo_on=(Exception,))
    date_errors = 0
    if isinstance(data, tuple):  # the package's reading
        data, date_errors = data
    elif not isinstance(data, str):
        date_errors = data.date_errors
    if isinstance(data, str):  # what was asked cannot be made: the reason
        raise ValueError(data)
    if date_errors:
        warnings.warn(f"{book.path}: sheet {ws.name!r}: {date_errors} date-formatted cell(s) hold a "
                      "serial value outside the limits for dates and are read as errors",
                      stacklevel=2)
    return Table(data)


class _TableBook(Workbook):
    """A workbook opened for one table: streamed, formulas by their cached
    values, and its shared strings left unread until the package's own
    reading needs them (the engine reads them into the table's string
    table itself)."""

    def __init__(self, source: Any, engine: bool) -> None:
        super().__init__(source, engine=engine, data_only=True, streaming=True)

    def _read_shared_strings(self):
        return []

    def strings_part(self) -> str | None:
        part = self._related("sharedStrings")
        return part if part is not None and self._archive.member(part) is not None else None

    def load_strings(self) -> None:
        self.shared_strings = Workbook._read_shared_strings(self)

    def member(self, part: str, limit: int | None = None) -> Any:
        return self._archive.raw_member(part, limit)

    def check_member(self, part: str) -> None:
        """Read a member through, for the package's own error if it is
        damaged."""
        try:
            with self._archive.open_member(self._archive.member(part)) as f:
                while f.read(1 << 20):
                    pass
        except Exception as e:
            raise damaged(self.path, part, e) from e


def _by_package(book: _TableBook, ws: Any, options: dict[str, Any], engine: bool) -> tuple[Any, int]:
    """The table by the package's reading of the sheet's cells, and the
    count of its date warnings."""
    try:
        book.load_strings()
        stream = book.stream(book.sheets.index(ws), engine)
        try:
            names, types, lists = build_columns(_cells(stream), **options)
            date_errors = sum(1 for action in stream.actions if action[0] == "warn")
        finally:
            stream.close()
    except TableRefusal as e:
        return str(e), 0
    except (WorkbookError, MemoryError):
        raise
    except Exception as e:
        raise damaged(book.path, ws.part, e) from e
    return _vellum.TableData.from_lists(names, types, lists), date_errors


def _cells(stream: Any) -> Iterator[Any]:
    for _, cells in stream.rows(values_only=False):
        for cell in cells:
            if cell is not None:
                yield cell


def _options(header_row: Any, skip_rows: Any, n_rows: Any, columns: Any, dtypes: Any,
             error_cells: Any) -> dict[str, Any]:
    """read_table's arguments checked, in the form both readings take."""
    for name, value, none_ok in (("header_row", header_row, True), ("skip_rows", skip_rows, False),
                                 ("n_rows", n_rows, True)):
        if value is None and none_ok:
            continue
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise ValueError(f"{name} must be a non-negative int{' or None' if none_ok else ''}, "
                             f"not {value!r}")
    if error_cells not in ERROR_CELLS:
        raise ValueError(f"error_cells must be 'null' or 'text', not {error_cells!r}")
    chosen, names = _columns(columns)
    types = None
    if dtypes is not None:
        if not isinstance(dtypes, Mapping):
            raise TypeError(f"dtypes must be a mapping of column names to types, not {type(dtypes).__name__}")
        types = {}
        for name, type_ in dtypes.items():
            key = type_ if isinstance(type_, type) else str(type_)
            if not isinstance(name, str) or key not in TYPES:
                raise ValueError(f"dtypes: {name!r}: {type_!r} is no column type; the types are "
                                 "int64, float64, bool, string, timestamp[us], time64[us], duration[us]")
            types[name] = TYPES[key]
    return {"header_row": header_row, "skip_rows": skip_rows, "n_rows": n_rows, "columns": chosen,
            "names": names, "dtypes": types, "error_text": error_cells == "text"}


def _columns(columns: Any) -> tuple[list[int] | None, list[str] | None]:
    """(sheet columns, 1-based; or names) of read_table's `columns`."""
    if columns is None:
        return None, None
    if isinstance(columns, str):
        chosen = []
        for piece in columns.split(","):
            m = _LETTERS.fullmatch(piece)
            if not m:
                raise ValueError(f"columns: {columns!r} is no list of column letters and ranges "
                                 "such as 'A:C,F'; to pick columns by name, pass a list of names")
            first = _number(m[1])
            last = _number(m[2]) if m[2] else first
            if last < first:
                raise ValueError(f"columns: the range {piece.strip()!r} runs backwards")
            chosen.extend(range(first, last + 1))
    elif isinstance(columns, Sequence) and all(isinstance(c, int) and not isinstance(c, bool)
                                               for c in columns):
        chosen = [c + 1 for c in columns]
        if any(c < 1 or c > 16384 for c in chosen):
            raise ValueError("columns: column numbers run from 0 (A) to 16383 (XFD)")
    elif isinstance(columns, Sequence) and all(isinstance(c, str) for c in columns):
        if len(set(columns)) != len(columns):
            raise ValueError("columns: a name is given twice")
        return None, list(columns)
    else:
        raise TypeError("columns must be letters and ranges ('A:C,F'), a list of 0-based column "
                        "numbers or a list of names")
    if len(set(chosen)) != len(chosen):
        raise ValueError("columns: a column is chosen twice")
    if any(c > 16384 for c in chosen):
        raise ValueError("columns: a sheet has columns A to XFD")
    return chosen, None


def _number(text: str) -> int:
    n = 0
    for ch in text.upper():
        n = n * 26 + ord(ch) - 64
    return n

