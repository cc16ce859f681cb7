"""vellum: read xlsx workbooks, fast, with the native engine ``vellum._vellum``.

    import vellum

    with vellum.read_workbook("report.xlsx", data_only=True) as book:
        for row in book["Sales"].iter_rows(min_row=2, values_only=True):
            print(row)

See `read_workbook`, `Workbook` and `Worksheet`; formula cells read without
``data_only`` hold their text, or an `ArrayFormula` or `DataTableFormula`.
"""
from vellum.reference.cell import Cell
from vellum.reference.values import ArrayFormula, DataTableFormula
from vellum.workbook import SheetName, Workbook, WorkbookError, Worksheet, read_workbook

__version__ = "0.1.0"

__all__ = ["ArrayFormula", "Cell", "DataTableFormula", "SheetName", "Workbook", "WorkbookError", "Worksheet", "__version__", "read_workbook"]
