"""read_sheets on Dask's synchronous scheduler: the frame against the
workbooks read one by one, and what it does with workbooks whose columns
differ. The cluster is in test_cluster.py."""
import datetime
import subprocess
import sys
import uuid

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from folders import HEADER, concatenated, write_books

pytestmark = pytest.mark.needs("dask", "pandas", "pyarrow")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("books")
    write_books(folder, 8, rows=60)
    return folder


@pytest.fixture(autouse=True)
def synchronous():
    import dask
    with dask.config.set(scheduler="synchronous"):
        yield


def read_sheets(*args, **kwargs):
    import vellum.dask
    return vellum.dask.read_sheets(*args, **kwargs)


def test_glob_equals_the_concatenation(folder):
    import pandas as pd

    df = read_sheets(str(folder / "book-*.xlsx"), "Data", path_column="source")
    paths = sorted(str(p) for p in folder.glob("book-*.xlsx"))
    assert df.npartitions == len(paths)
    got = df.compute().reset_index(drop=True)
    want = concatenated(paths, "Data")
    # whole amounts of book 3 widened, book 5's empty "paid" typed as the others'
    assert [str(t) for t in df.dtypes] == [str(t) for t in want.dtypes] + ["string[pyarrow]"]
    assert list(got["source"]) == [p for p in paths for _ in range(60)]
    pd.testing.assert_frame_equal(got.drop(columns="source"), want)
    # the meta is that of every partition
    pd.testing.assert_series_equal(df.partitions[5].compute().dtypes, df._meta.dtypes)


def test_options_apply_to_every_workbook(folder):
    import pandas as pd

    paths = sorted(str(p) for p in folder.glob("book-*.xlsx"))[:3]
    options = {"columns": ["store", "id"], "n_rows": 7, "skip_rows": 2, "dtypes": {"id": "float64"}}
    got = read_sheets(paths, **options).compute().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, concatenated(paths, **options))


def test_a_workbook_of_other_columns_is_named(tmp_path, folder):
    import vellum.dask

    odd = write_books(tmp_path, 1, rows=5, header=["id", "amount", "shop", "when", "paid"])[0]
    paths = sorted(str(p) for p in folder.glob("book-*.xlsx"))[:2] + [odd]
    df = read_sheets(paths)
    with pytest.raises(vellum.dask.ColumnMismatchError, match=rf"^{odd}: .*missing \['store'\].*'shop'"):
        df.compute()
    # a union: every column of every workbook, empty where a workbook lacks it
    got = read_sheets(paths, on_mismatch="union").compute().reset_index(drop=True)
    assert list(got.columns) == HEADER + ["shop"]
    assert got["shop"].isna().sum() == 120 and got["store"].isna().sum() == 5
    assert list(got["shop"].dropna()) == list(concatenated([odd])["shop"])


def test_a_type_the_first_cannot_take_is_named(tmp_path):
    import vellum
    import vellum.dask

    paths = []
    for i, value in enumerate([1, "one", 2.5]):
        book = vellum.new_workbook()
        sheet = book.add_sheet("S")
        sheet.append(["n"])
        sheet.append([value])
        book.save(tmp_path / f"{i}.xlsx")
        paths.append(str(tmp_path / f"{i}.xlsx"))
    with pytest.raises(vellum.dask.ColumnMismatchError, match=rf"^{paths[1]}: column 'n' holds string"):
        read_sheets(paths[:2]).compute()
    with pytest.raises(vellum.dask.ColumnMismatchError, match=rf"^{paths[2]}: column 'n' holds double"):
        read_sheets([paths[0], paths[2]]).compute()
    # the union learns the wider type; dtypes fixes one for all
    assert read_sheets([paths[0], paths[2]], on_mismatch="union").compute()["n"].tolist() == [1.0, 2.5]
    assert read_sheets(paths, dtypes={"n": "string"}).compute()["n"].tolist() == ["1", "one", "2.5"]


def test_given_meta_and_bad_arguments(folder):
    import pandas as pd

    paths = sorted(str(p) for p in folder.glob("book-*.xlsx"))[:2]
    meta = pd.DataFrame({"id": pd.Series([], dtype="float64"), "store": pd.Series([], dtype="object")})
    df = read_sheets(paths, meta=meta, columns=["id", "store"])
    assert df.compute()["id"].dtype == "float64"
    # a frame's own meta, its path column included, serves again
    again = read_sheets(paths, path_column="file")
    assert read_sheets(paths, meta=again._meta, path_column="file").compute().equals(again.compute())
    for kwargs, error in [({"on_mismatch": "drop"}, ValueError), ({"n_rows": -1}, ValueError),
                          ({"rows": 3}, TypeError), ({"path_column": "id"}, ValueError),
                          ({"meta": {"id": int}}, TypeError)]:
        with pytest.raises(error):
            read_sheets(paths, **kwargs)
    with pytest.raises(FileNotFoundError, match="no file matches"):
        read_sheets(str(folder / "none-*.xlsx"))


def test_vellum_imports_without_dask():
    # dask, pandas and pyarrow made unimportable: vellum and vellum.dask
    # still import, and read_sheets says what to install
    code = ("import sys\nfor m in ('dask', 'pandas', 'pyarrow'): sys.modules[m] = None\n"
            "import vellum, vellum.dask\n"
            "try:\n    vellum.dask.read_sheets('x.xlsx')\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "python3-dask" in out.stdout and "dask is missing" in out.stdout


KINDS = {"int": lambda r: r * 7 - 20, "float": lambda r: r / 4 + 0.5, "str": lambda r: f"t{r}",
         "bool": lambda r: r % 3 == 0, "date": lambda r: datetime.datetime(2024, 2, 1 + r % 28, r % 24)}


@st.composite
def folders(draw):
    """Workbooks whose columns are picked and ordered at random from a few,
    each column of one kind throughout, but left out, left empty, or (a
    float column) of whole numbers in some workbooks."""
    kinds = {name: draw(st.sampled_from(sorted(KINDS))) for name in "abcd"}
    books = []
    for _ in range(draw(st.integers(1, 4))):
        names = draw(st.permutations("abcd"))[:draw(st.integers(1, 4))]
        shapes = [draw(st.sampled_from(["values", "empty", "whole"])) for _ in names]
        books.append((names, shapes, draw(st.integers(0, 6))))
    return kinds, books


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(folders())
def test_union_equals_pyarrow_joining_the_tables(tmp_path, folder_spec):
    import pandas as pd
    import vellum

    kinds, books = folder_spec
    where = tmp_path / str(uuid.uuid4())
    where.mkdir()
    paths = []
    for i, (names, shapes, rows) in enumerate(books):
        book = vellum.new_workbook()
        sheet = book.add_sheet("S")
        sheet.append(list(names))
        for r in range(rows):
            sheet.append([None if shape == "empty" else r if shape == "whole" and kinds[n] == "float"
                          else KINDS[kinds[n]](r) for n, shape in zip(names, shapes)])
        paths.append(str(where / f"{i}.xlsx"))
        book.save(paths[-1])
    got = read_sheets(paths, on_mismatch="union").compute().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, concatenated(paths))
