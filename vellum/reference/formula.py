"""Formula tokenizer and shared-formula translator, in plain Python.

A shared formula is written once, on its master cell; every other cell of the
group holds the master's formula with each relative reference moved by the
distance between the two cells. ``Translator(formula, origin)`` tokenizes the
master's formula once and ``translate_formula(dest)`` moves it to a cell.
Origin and destination are A1 references; ``None`` (or an empty text) means
no move. This module is the fallback path of the native translator and the
oracle it is tested against, so it favours the obvious over the fast.
"""
import re

__all__ = ["Token", "Tokenizer", "TokenizerError", "Translator", "TranslatorError"]


class TokenizerError(Exception):
    """The formula cannot be split into tokens."""


class TranslatorError(Exception):
    """A translated reference would leave the sheet."""


class Token:
    """One token: its text, its type and its subtype."""

    LITERAL = "LITERAL"
    OPERAND = "OPERAND"
    FUNC = "FUNC"
    ARRAY = "ARRAY"
    PAREN = "PAREN"
    SEP = "SEP"
    OP_PRE = "OPERATOR-PREFIX"
    OP_IN = "OPERATOR-INFIX"
    OP_POST = "OPERATOR-POSTFIX"
    WSPACE = "WHITE-SPACE"

    TEXT = "TEXT"
    NUMBER = "NUMBER"
    LOGICAL = "LOGICAL"
    ERROR = "ERROR"
    RANGE = "RANGE"
    OPEN = "OPEN"
    CLOSE = "CLOSE"

    __slots__ = ("value", "type", "subtype")

    def __init__(self, value, type_, subtype=""):
        self.value = value
        self.type = type_
        self.subtype = subtype

    def __repr__(self):
        return f"Token({self.value!r}, {self.type}, {self.subtype})"

    @classmethod
    def make_operand(cls, value):
        if value.startswith('"'):
            subtype = cls.TEXT
        elif value.startswith("#"):
            subtype = cls.ERROR
        elif value in ("TRUE", "FALSE"):
            subtype = cls.LOGICAL
        else:
            try:
                float(value)
                subtype = cls.NUMBER
            except ValueError:
                subtype = cls.RANGE
        return cls(value, cls.OPERAND, subtype)


class Tokenizer:
    """Splits a formula into ``items`` (a list of Token)."""

    TOKEN_ENDERS = ",;}) +-*/^&=><%"
    ERROR_CODES = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                   "#GETTING_DATA")
    SCI_RE = re.compile(r"^[1-9](\.[0-9]+)?[Ee]$")
    STRING_RE = {'"': re.compile(r'"(?:[^"]|"")*"(?!")'),
                 "'": re.compile(r"'(?:[^']|'')*'(?!')")}

    def __init__(self, formula):
        self.formula = formula
        self.items = []
        self.token = []        # pieces of the pending operand
        self.token_stack = []  # open parentheses, functions and arrays
        self.offset = 0
        self._parse()

    def _parse(self):
        if not self.formula:
            return
        if self.formula[0] != "=":
            self.items.append(Token(self.formula, Token.LITERAL))
            return
        self.offset = 1
        handlers = {'"': self._parse_string, "'": self._parse_string,
                    "[": self._parse_brackets, "#": self._parse_error,
                    " ": self._parse_whitespace, "\n": self._parse_whitespace,
                    "(": self._parse_opener, "{": self._parse_opener,
                    ")": self._parse_closer, "}": self._parse_closer,
                    ",": self._parse_separator, ";": self._parse_separator}
        for op in "+-*/^&=><%":
            handlers[op] = self._parse_operator
        while self.offset < len(self.formula):
            if self._check_scientific_notation():
                continue
            ch = self.formula[self.offset]
            if ch in self.TOKEN_ENDERS:
                self._finish_token()
            handler = handlers.get(ch)
            if handler is None:
                self.token.append(ch)
                self.offset += 1
            else:
                self.offset += handler()
        self._finish_token()

    def _unexpected(self):
        return TokenizerError(
            f"Unexpected character at position {self.offset} in '{self.formula}'")

    def _check_scientific_notation(self):
        ch = self.formula[self.offset]
        if ch in "+-" and self.token and self.SCI_RE.match("".join(self.token)):
            self.token.append(ch)
            self.offset += 1
            return True
        return False

    def _parse_string(self):
        if self.token and self.token[-1] != ":":
            raise self._unexpected()
        delim = self.formula[self.offset]
        m = self.STRING_RE[delim].match(self.formula, self.offset)
        if m is None:
            what = "string" if delim == '"' else "link"
            raise TokenizerError(f"Reached end of formula while parsing {what} in {self.formula}")
        text = m.group(0)
        if delim == '"':
            self.items.append(Token.make_operand(text))
        else:
            self.token.append(text)
        return len(text)

    def _parse_brackets(self):
        depth = 0
        for i in range(self.offset, len(self.formula)):
            if self.formula[i] == "[":
                depth += 1
            elif self.formula[i] == "]":
                depth -= 1
                if depth == 0:
                    self.token.append(self.formula[self.offset:i + 1])
                    return i + 1 - self.offset
        raise TokenizerError(f"Encountered unmatched '[' in {self.formula}")

    def _parse_error(self):
        if self.token and self.token[-1] != "!":
            raise self._unexpected()
        rest = self.formula[self.offset:]
        for code in self.ERROR_CODES:
            if rest.startswith(code):
                # An error code is an error operand even after a sheet name:
                # the range rules must not take "Sheet1!#REF!" apart.
                self.items.append(Token("".join(self.token) + code, Token.OPERAND, Token.ERROR))
                del self.token[:]
                return len(code)
        raise TokenizerError(f"Invalid error code at position {self.offset} in '{self.formula}'")

    def _parse_whitespace(self):
        self.items.append(Token(self.formula[self.offset], Token.WSPACE))
        end = self.offset + 1
        while end < len(self.formula) and self.formula[end] in " \n":
            end += 1
        return end - self.offset

    def _parse_operator(self):
        pair = self.formula[self.offset:self.offset + 2]
        if pair in (">=", "<=", "<>"):
            self.items.append(Token(pair, Token.OP_IN))
            return 2
        ch = self.formula[self.offset]
        if ch == "%":
            kind = Token.OP_POST
        elif ch in "+-":
            kind = Token.OP_PRE if self._prefix_position() else Token.OP_IN
        else:
            kind = Token.OP_IN
        self.items.append(Token(ch, kind))
        return 1

    def _prefix_position(self):
        """A sign is unary unless it follows something that has a value."""
        prev = next((t for t in reversed(self.items) if t.type != Token.WSPACE), None)
        if prev is None or prev.type in (Token.SEP, Token.OP_PRE, Token.OP_IN):
            return True
        return prev.subtype == Token.OPEN

    def _parse_opener(self):
        ch = self.formula[self.offset]
        if ch == "{":
            if self.token:
                raise self._unexpected()
            token = Token("{", Token.ARRAY, Token.OPEN)
        elif self.token:
            token = Token("".join(self.token) + "(", Token.FUNC, Token.OPEN)
            del self.token[:]
        else:
            token = Token("(", Token.PAREN, Token.OPEN)
        self.items.append(token)
        self.token_stack.append(token)
        return 1

    def _parse_closer(self):
        ch = self.formula[self.offset]
        opener = self.token_stack.pop()
        if (opener.type == Token.ARRAY) != (ch == "}"):
            raise TokenizerError(f"Mismatched ( and {{ pair in '{self.formula}'")
        self.items.append(Token(ch, opener.type, Token.CLOSE))
        return 1

    def _parse_separator(self):
        self.items.append(Token(self.formula[self.offset], Token.SEP))
        return 1

    def _finish_token(self):
        if self.token:
            self.items.append(Token.make_operand("".join(self.token)))
            del self.token[:]


_ROW = r"(\$?[1-9][0-9]{0,6})"
_COL = r"(\$?[A-Za-z]{1,3})"
# "$" also matches just before a single final line feed, which the groups
# leave out of the output.
ROW_RANGE_RE = re.compile(_ROW + ":" + _ROW + "$")
COL_RANGE_RE = re.compile(_COL + ":" + _COL + "$")
CELL_REF_RE = re.compile(_COL + _ROW + "$")
_A1_RE = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)")

MAX_COL = 18278  # ZZZ


def column_index(letters):
    """'A' -> 1, 'Z' -> 26, 'AA' -> 27 (either letter case)."""
    n = 0
    for ch in letters.upper():
        n = n * 26 + ord(ch) - ord("A") + 1
    return n


def column_letters(n):
    """1 -> 'A', 27 -> 'AA'; n must be 1 to 18278."""
    out = ""
    while n:
        n, rem = divmod(n - 1, 26)
        out = chr(ord("A") + rem) + out
    return out


def _cell(ref):
    """(row, column) of an A1 reference; None or "" is no cell."""
    if not ref:
        return None
    m = _A1_RE.fullmatch(ref)
    if m is None:
        raise ValueError(f"Invalid cell coordinates ({ref})")
    return int(m.group(2)), column_index(m.group(1))


class Translator:
    """Moves the relative references of a formula from ``origin`` to another cell."""

    def __init__(self, formula, origin):
        self.tokenizer = Tokenizer(formula)
        self.origin = _cell(origin)

    def get_tokens(self):
        return list(self.tokenizer.items)

    @staticmethod
    def translate_row(row, rdelta):
        if row.startswith("$"):
            return row
        new = int(row) + rdelta
        if new <= 0:
            raise TranslatorError("Formula out of range")
        return str(new)

    @staticmethod
    def translate_col(col, cdelta):
        if col.startswith("$"):
            return col
        new = column_index(col) + cdelta
        if not 1 <= new <= MAX_COL:
            raise TranslatorError("Formula out of range")
        return column_letters(new)

    @classmethod
    def translate_range(cls, text, rdelta, cdelta):
        sheet, bang, ref = text.rpartition("!")
        sheet += bang
        if m := ROW_RANGE_RE.match(ref):
            return (sheet + cls.translate_row(m[1], rdelta) + ":"
                    + cls.translate_row(m[2], rdelta))
        if m := COL_RANGE_RE.match(ref):
            return (sheet + cls.translate_col(m[1], cdelta) + ":"
                    + cls.translate_col(m[2], cdelta))
        if ":" in ref:
            return sheet + ":".join(cls.translate_range(part, rdelta, cdelta)
                                    for part in ref.split(":"))
        if m := CELL_REF_RE.match(ref):
            return sheet + cls.translate_col(m[1], cdelta) + cls.translate_row(m[2], rdelta)
        return ref  # a defined name: its sheet part is not kept

    def translate_formula(self, dest=None):
        items = self.tokenizer.items
        if not items:
            return ""
        if items[0].type == Token.LITERAL:
            return items[0].value
        dest = _cell(dest)
        rdelta = cdelta = 0
        if dest is not None and self.origin is not None:
            rdelta = dest[0] - self.origin[0]
            cdelta = dest[1] - self.origin[1]
        out = ["="]
        for token in items:
            if token.type == Token.OPERAND and token.subtype == Token.RANGE:
                out.append(self.translate_range(token.value, rdelta, cdelta))
            else:
                out.append(token.value)
        return "".join(out)
