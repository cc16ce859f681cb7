"""The reference host's cell. The engine creates cells without calling
``__init__`` and fills their slots directly: full reading writes ``parent``,
``_style``, ``row``, ``column``, ``_value``, ``_hyperlink``, ``data_type``
and ``_comment``; streaming writes ``parent``, ``row``, ``column``,
``_value``, ``data_type`` and ``_style_id``, plus ``formula`` and
``cached_value`` when formulas are read with their values. A slot left
unset by the engine raises ``AttributeError`` when read, as any slot does.
"""

_LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def column_letter(n):
    """1 -> "A", 27 -> "AA"."""
    out = ""
    while n > 0:
        n, r = divmod(n - 1, 26)
        out = _LETTERS[r] + out
    return out

class Cell:
    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style", "_style_id",
                 "_hyperlink", "_comment", "formula", "cached_value")

    def __init__(self, parent, row, column, value=None, data_type="n", style=None, style_id=0):
        self.parent = parent
        self.row = row
        self.column = column
        self._value = value
        self.data_type = data_type
        self._style = style
        self._style_id = style_id
        self._hyperlink = None
        self._comment = None
        self.formula = None
        self.cached_value = None

    @property
    def value(self):
        return self._value

    @value.setter
    def value(self, v):
        self._value = v

    @property
    def hyperlink(self):
        return self._hyperlink

    @property
    def comment(self):
        return self._comment

    @property
    def style_id(self):
        return self._style_id

    @property
    def coordinate(self):
        return f"{column_letter(self.column)}{self.row}"

    def __repr__(self):
        return f"<Cell {self.coordinate} {self._value!r}>"
