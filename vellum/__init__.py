"""vellum: read xlsx workbooks, fast, with the native engine ``vellum._vellum``.

    import vellum

    with vellum.read_workbook("report.xlsx", data_only=True) as book:
        sheet = book["Sales"]                  # read in full: an EditableWorksheet
        print(sheet["B2"].value, sheet.dimensions)
        sheet["C2"] = "checked"
        for row in sheet.iter_rows(min_row=2, values_only=True):
            print(row)

    with vellum.read_workbook("huge.xlsx", streaming=True) as book:
        for row in book[0].iter_rows(values_only=True):   # row by row
            print(row)

    book = vellum.new_workbook()
    sheet = book.add_sheet("Data")
    sheet.append(["name", "amount"])
    sheet.cell(2, 1, "north")
    book.save("out.xlsx")

    table = vellum.read_table("huge.xlsx", "Data")   # typed columns, for pandas and Arrow
    df = table.to_pandas()

See `read_workbook`, `read_table` (`Table`), `new_workbook` (`NewWorkbook`, `NewWorksheet`,
`WriteOnlyWorksheet`), `Workbook`, `EditableWorksheet` (read in full) and `StreamedWorksheet`
(streamed; also importable by its old name, `Worksheet`); formula cells read without
``data_only`` hold their text, or an `ArrayFormula` or `DataTableFormula`.
Problems with a file raise `WorkbookError` (a ValueError); a missing file is
also a FileNotFoundError, an unknown sheet a `SheetNotFoundError` (a KeyError)
or `SheetIndexError` (an IndexError), a closed workbook `ClosedWorkbookError`.
"""
from vellum.errors import ClosedWorkbookError, SheetIndexError, SheetNotFoundError, WorkbookError
from vellum.reference.cell import Cell
from vellum.reference.formats import Alignment, Border, CellFormat, Fill, Font, Protection, Side
from vellum.reference.styles import StyleArray
from vellum.reference.values import ArrayFormula, DataTableFormula
from vellum.newbook import NewWorkbook, NewWorksheet, WriteOnlyWorksheet, new_workbook
from vellum.streaming import StreamedWorksheet, Worksheet
from vellum.table import Table, read_table
from vellum.workbook import EditableWorksheet, SheetName, Workbook, read_workbook

__version__ = "0.1.0"

__all__ = ["Alignment", "ArrayFormula", "Border", "Cell", "CellFormat", "ClosedWorkbookError",
           "DataTableFormula", "EditableWorksheet", "Fill", "Font", "NewWorkbook", "NewWorksheet", "SheetIndexError", "SheetName", "SheetNotFoundError",
           "Protection", "Side", "StreamedWorksheet", "StyleArray", "Table", "Workbook", "WorkbookError", "Worksheet",
           "WriteOnlyWorksheet", "__version__", "new_workbook", "read_table", "read_workbook"]
