"""Folders of generated workbooks for read_sheets: the same columns, whose
kinds vary from one workbook to the next as real exports do (a column of
whole numbers here, of fractions there; one left empty)."""
import datetime
import random

import vellum

HEADER = ["id", "amount", "store", "when", "paid"]
STORES = ["north", "south", "east", "west", "Zürich", "a, \"quoted\" one"]


def write_books(folder, count, rows=200, header=HEADER):
    """`count` workbooks "book-NN.xlsx" in `folder`, each of one sheet
    "Data" whose first row is `header`; their paths in order."""
    paths = []
    for i in range(count):
        rng = random.Random(i)
        book = vellum.new_workbook(write_only=True)
        ws = book.add_sheet("Data")
        ws.append(header)
        start = datetime.datetime(2024, 1, 1) + datetime.timedelta(days=i)
        for r in range(rows):
            # book 3 holds whole amounts alone (int64 there), book 5 no
            # "paid" at all (null there); some cells are empty everywhere
            amount = rng.randint(0, 900) if i == 3 else rng.randint(0, 90000) / 100
            row = [i * rows + r, None if r % 17 == 5 else amount, rng.choice(STORES),
                   start + datetime.timedelta(minutes=37 * r), None if i == 5 else rng.random() < 0.5]
            ws.append(row[:len(header)])
        path = folder / f"book-{i:02d}.xlsx"
        book.save(path)
        paths.append(str(path))
    return paths


def concatenated(paths, sheet=0, **options):
    """The oracle: read_table on each workbook, the tables joined by
    pyarrow with its own type promotion, as a pandas frame of Arrow
    dtypes."""
    import pandas as pd
    import pyarrow as pa

    tables = [vellum.read_table(p, sheet, **options).to_arrow(dictionaries=False) for p in paths]
    joined = pa.concat_tables(tables, promote_options="permissive")
    return joined.to_pandas(types_mapper=pd.ArrowDtype)
