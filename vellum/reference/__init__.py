"""The reference host layer: the package-side objects the engine is given
(the ``helpers`` dict, the parser object, the cell class, the style arrays,
the worksheet read in full), in plain Python.

It is the oracle of the engine's differential tests and the path the
package takes when the engine declines with ``NativeFallback``; nothing here
imports the engine.
"""
from vellum.reference import formula, text, values
from vellum.reference.cell import Cell
from vellum.utils.datetime import WINDOWS_EPOCH

__all__ = ["Cell", "Parser", "make_helpers"]


def make_helpers():
    """The ``helpers`` dict every engine entry point receives."""
    helpers = {
        "int": int,
        "float": float,
        "coordinate_to_tuple": values.coordinate_to_tuple,
        "row_index": values.row_index,
        "from_excel": values.from_excel,
        "from_ISO8601": values.from_ISO8601,
        "date_warning": values.date_warning,
        "ArrayFormula": values.ArrayFormula,
        "DataTableFormula": values.DataTableFormula,
        "Translator": formula.Translator,
        "TokenizerError": formula.TokenizerError,
        "TranslatorError": formula.TranslatorError,
        "text_content": text.text_content,
        "rich_inline": text.rich_inline,
        "validate_rpr": text.validate_rpr,
        "text_dangerous": text.TEXT_DANGEROUS,
        "rich_dangerous": text.RICH_DANGEROUS,
        "si_content": text.si_content,
    }
    return helpers


class Parser:
    """The worksheet parser object whose settings the engine reads, and whose
    ``row_dimensions`` dict it fills with the attributes of rows."""

    def __init__(self, shared_strings=(), *, epoch=WINDOWS_EPOCH, data_only=False,
                 rich_text=False, formula_and_value=False, date_formats=(),
                 timedelta_formats=()):
        self.shared_strings = list(shared_strings)
        self.epoch = epoch
        self.data_only = data_only
        self.rich_text = rich_text
        self.formula_and_value = formula_and_value
        self.date_formats = set(date_formats)
        self.timedelta_formats = set(timedelta_formats)
        self.row_dimensions = {}
