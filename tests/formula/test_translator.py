"""The shared-formula translator: named cases on both the reference and the
native translator, then the native one against the reference on generated
formulas, origins and destinations (text for text, error for error)."""
import pytest
from hypothesis import assume, example, given, strategies as st

import _vellum_testing as native
from vellum.reference.formula import (Tokenizer, TokenizerError, Translator,
                                      TranslatorError, column_letters)

ERRORS = (TokenizerError, TranslatorError)


def a1(cell):
    return None if cell is None else column_letters(cell[1]) + str(cell[0])


def outcome(fn):
    try:
        return fn()
    except (TokenizerError, TranslatorError, IndexError) as e:
        return type(e), str(e)


def reference(formula, origin, dest):
    return outcome(lambda: Translator(formula, a1(origin)).translate_formula(a1(dest)))


def native_result(formula, origin, dest):
    """The native text or error; None when the native translator declines."""
    def run():
        t = native.formula_compile(formula, origin[0], origin[1], ERRORS)
        return None if t is None else t.translate(dest)
    return outcome(run)


OUT = (TranslatorError, "Formula out of range")

NAMED = [
    # (formula, origin, destination, result)
    ("=A1+B$2", (1, 1), (3, 3), "=C3+D$2"),
    ("=$A$1", (1, 1), (9, 9), "=$A$1"),
    ("=Sheet1!A1:B2", (1, 1), (2, 1), "=Sheet1!A2:B3"),
    ("='My ''s'!A1", (1, 1), (2, 2), "='My ''s'!B2"),
    ("=[1]Sheet1!$B3", (1, 1), (2, 2), "=[1]Sheet1!$B4"),
    ("=SUM(1:3)", (1, 1), (2, 1), "=SUM(2:4)"),
    ("=$1:3", (1, 1), (5, 1), "=$1:7"),
    ("=A:C", (1, 1), (1, 2), "=B:D"),
    ("=a:$c", (1, 1), (1, 2), "=B:$c"),
    ("=a1", (1, 1), (2, 2), "=B2"),
    ("=$a1", (1, 1), (2, 2), "=$a2"),
    ("=A1:B2:C3", (1, 1), (2, 2), "=B2:C3:D4"),
    ("=A1:MyName", (1, 1), (2, 2), "=B2:MyName"),
    ("=Sheet1!A1:B2:C3", (1, 1), (2, 1), "=Sheet1!A2:B3:C4"),
    ("=MyName", (1, 1), (2, 2), "=MyName"),
    ("=Sheet1!MyName", (1, 1), (2, 2), "=MyName"),
    ("=AAAA1", (1, 1), (2, 2), "=AAAA1"),
    ("=A0+A01+A12345678", (1, 1), (2, 2), "=A0+A01+A12345678"),
    ("=A9999999", (1, 1), (2, 1), "=A10000000"),
    ("=A1  +  B1", (1, 1), (2, 1), "=A2 + B2"),
    ("=A1\n\n +B1", (1, 1), (2, 1), "=\nA2+B2"),  # a line feed does not end an operand
    ("=A1", (2, 1), (1, 1), OUT),
    ("=B1", (1, 2), (1, 1), "=A1"),
    ("=A1", (1, 2), (1, 1), OUT),
    ("=ZZY1", (1, 1), (1, 2), "=ZZZ1"),
    ("=ZZZ1", (1, 1), (1, 2), OUT),
    ("=$A1:B1", (1, 2), (1, 1), "=$A1:A1"),
    ("=1E+5", (1, 1), (1, 1), "=1E+5"),
    ("=1.5e-3*A1", (1, 1), (2, 1), "=1.5e-3*A2"),
    ("=1E+A1", (1, 1), (2, 1), "=1E+A1"),  # the sign joined the number
    ("=12E+A1", (1, 1), (2, 1), "=12E+A2"),
    ("=TRUE+true", (1, 1), (2, 2), "=TRUE+true"),
    ("=#N/A", (1, 1), (2, 2), "=#N/A"),
    ("=Sheet1!#REF!+A1", (1, 1), (2, 1), "=Sheet1!#REF!+A2"),
    ("=#FOO", (1, 1), (1, 1),
     (TokenizerError, "Invalid error code at position 1 in '=#FOO'")),
    ("=A1#REF!", (1, 1), (1, 1),
     (TokenizerError, "Unexpected character at position 3 in '=A1#REF!'")),
    ("=(1}", (1, 1), (1, 1), (TokenizerError, "Mismatched ( and { pair in '=(1}'")),
    ("={1)", (1, 1), (1, 1), (TokenizerError, "Mismatched ( and { pair in '={1)'")),
    ("=1)", (1, 1), (1, 1), (IndexError, "pop from empty list")),
    ("=A{1}", (1, 1), (1, 1),
     (TokenizerError, "Unexpected character at position 2 in '=A{1}'")),
    ('="a""b"&A1', (1, 1), (2, 1), '="a""b"&A2'),
    ('="a', (1, 1), (1, 1),
     (TokenizerError, 'Reached end of formula while parsing string in ="a')),
    ('="a""', (1, 1), (1, 1),
     (TokenizerError, 'Reached end of formula while parsing string in ="a""')),
    ("='a", (1, 1), (1, 1), (TokenizerError, "Reached end of formula while parsing link in ='a")),
    ('=A1"x"', (1, 1), (1, 1),
     (TokenizerError, "Unexpected character at position 3 in '=A1\"x\"'")),
    ('=A1:"x"', (1, 1), (2, 1), '="x"A2:'),  # the string is emitted before the pending operand
    ("=[1", (1, 1), (1, 1), (TokenizerError, "Encountered unmatched '[' in =[1")),
    ("=T[[a]b]!A1", (1, 1), (2, 1), "=T[[a]b]!A2"),
    ("=1[:A2\n:]", (1, 1), (2, 1), "=1[:A3:]"),  # the pattern end drops one final line feed
    ("=SUM(A1,B1;C1)", (1, 1), (1, 2), "=SUM(B1,C1;D1)"),
    ("={1,2;3,4}", (1, 1), (5, 5), "={1,2;3,4}"),
    ("=-A1%>=+B1<>C1<=D1", (1, 1), (2, 1), "=-A2%>=+B2<>C2<=D2"),
    ("plain text A1", (1, 1), (3, 3), "plain text A1"),
    ("", (1, 1), (3, 3), ""),
    ("=", (1, 1), (3, 3), ""),
    ('=ä"x', (1, 1), (1, 1),
     (TokenizerError, "Unexpected character at position 2 in '=ä\"x'")),  # counted in characters
    ('="ä"&#X', (1, 1), (1, 1),
     (TokenizerError, "Invalid error code at position 5 in '=\"ä\"&#X'")),
    ("='Blätt'!#REF!+A1", (1, 1), (2, 1), "='Blätt'!#REF!+A2"),
]


@pytest.mark.parametrize("formula, origin, dest, expected", NAMED)
def test_named_cases(formula, origin, dest, expected):
    assert reference(formula, origin, dest) == expected
    assert native_result(formula, origin, dest) == expected


@pytest.mark.parametrize("formula", ["=Blätt!A1", "=١+A1", "=A1+\xa01", "=SUM(x\u3000)"])
def test_native_declines_non_ascii_operands(formula):
    assert native.formula_compile(formula, 1, 1, ERRORS) is None
    assert reference(formula, (1, 1), (2, 2))  # the reference handles them


def test_no_destination_normalises_without_moving():
    for formula, expected in [("=Sheet1!Name+a1  +1", "=Name+A1 +1"), ("=A1", "=A1")]:
        t = native.formula_compile(formula, 5, 5, ERRORS)
        assert t.translate(None) == expected
        assert Translator(formula, "E5").translate_formula(None) == expected
        assert Translator(formula, "E5").translate_formula("") == expected
        assert Translator(formula, None).translate_formula("B2") == expected


def test_segments_merge_text_and_keep_anchors():
    t = native.formula_compile("=Sheet1!A1:B$2+$C3", 1, 1, ERRORS)
    assert t.segments() == [("text", "=Sheet1!"), ("col", 1), ("row", 1), ("text", ":"),
                            ("col", 2), ("text", "$2+$C"), ("row", 3)]


def test_translate_into_appends_and_leaves_buffer_on_error():
    t = native.formula_compile("=A2+B1", 2, 2, ERRORS)
    assert t.translate_bytes(b"prefix:", (3, 3)) == (True, b"prefix:=B3+C2")
    assert t.translate_bytes(b"prefix:", (1, 3)) == (False, b"prefix:")
    with pytest.raises(TranslatorError, match="Formula out of range"):
        t.check((1, 3))
    t.check((3, 2))


def test_extreme_offsets_match_python_integers():
    for origin_row, dest_row in [(1, 2**63 - 1), (-2**63, 2**63 - 1), (2**63 - 1, -2**63)]:
        t = native.formula_compile("=A9999999+$B$1", origin_row, 1, ERRORS)
        row = 9999999 + dest_row - origin_row
        expected = f"=A{row}+$B$1" if row >= 1 else OUT
        assert outcome(lambda: t.translate((dest_row, 1))) == expected


# --- differential ----------------------------------------------------------

def _row(anchor):
    digits = st.one_of(st.integers(1, 9999999).map(str), st.sampled_from(["0", "01", "12345678"]))
    return st.builds(lambda d, s: s + d, digits, anchor)


def _col():
    letters = st.text("ABCXYZabcz", min_size=1, max_size=4)
    return st.builds(lambda d, s: s + d, letters, st.sampled_from(["", "", "$"]))


anchor = st.sampled_from(["", "", "$"])
cell = st.builds(lambda c, r: c + r, _col(), _row(anchor))
row_range = st.builds(lambda a, b: f"{a}:{b}", _row(anchor), _row(anchor))
col_range = st.builds(lambda a, b: f"{a}:{b}", _col(), _col())
multi = st.lists(st.one_of(cell, st.just("Name")), min_size=3, max_size=4).map(":".join)
sheet = st.sampled_from(["", "", "Sheet1!", "'My ''s'!", "'Blätt'!", "[1]S!", "s:t!", "'a'"])
reference_ = st.builds(lambda s, r: s + r, sheet, st.one_of(cell, row_range, col_range, multi))
string = st.text(st.sampled_from('ab"ä '), max_size=5).map(lambda s: '"' + s.replace('"', '""') + '"')
error_code = st.sampled_from(["#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
                              "#GETTING_DATA", "#FOO", "#N/", "#"])
number = st.sampled_from(["1", "0.5", "1E+5", "2.5e-3", "12E+5", "1e", "1_0", ".5", "inf", "1E\n+2"])
word = st.sampled_from(["TRUE", "FALSE", "true", "Name", "x", "ä", "١", "\xa0", "\t1", "\x1c1"])
func = st.sampled_from(["SUM(", "IF(", "x.y(", "(", "{", ")", "}", ",", ";"])
ops = st.sampled_from(["+", "-", "*", "/", "^", "&", "=", ">", "<", ">=", "<=", "<>", "%", " ",
                       "  \n ", "\n", ",", "", "", "%+", " - "])
noise = st.sampled_from([":", "!", "'", '"', "[", "]", "$", "{", "}", "#", "\r"])
operand = st.one_of(reference_, reference_, reference_, string, error_code, number, word, func,
                    noise)
formula = st.one_of(
    st.lists(st.tuples(operand, ops), max_size=8).map(
        lambda xs: "=" + "".join(a + b for a, b in xs)),
    st.text(st.sampled_from("=A1:$!'\"[]#(){},; +-%E.\n5bä"), max_size=16),
)
position = st.tuples(st.integers(1, 1100000), st.integers(1, 18278))
near = st.tuples(st.just("by"), st.integers(-3, 3), st.integers(-3, 3))


def _expect_decline(formula):
    """The native translator may decline only where an operand holds non-ASCII."""
    try:
        items = Tokenizer(formula).items
    except (TokenizerError, IndexError):
        return not formula.isascii()
    return any(t.type == "OPERAND" and t.subtype in ("NUMBER", "RANGE") and not t.value.isascii()
               for t in items)


@given(formula, position, st.lists(st.one_of(position, near, st.none()), min_size=1, max_size=4))
@example("=A1:B2", (5, 5), [(1, 1), ("by", -3, -3), ("by", 2, -3)])
def test_native_matches_reference(formula, origin, dests):
    ref = outcome(lambda: Translator(formula, a1(origin)))
    t = outcome(lambda: native.formula_compile(formula, origin[0], origin[1], ERRORS))
    if t is None:
        assert _expect_decline(formula)
        return
    if not isinstance(ref, Translator):
        assert t == ref
        return
    assert not isinstance(t, tuple), t
    for d in dests:
        if d is not None and d[0] == "by":
            d = (origin[0] + d[1], origin[1] + d[2])
            if d[0] < 1 or not 1 <= d[1] <= 18278:
                continue  # no A1 text for the reference
        expected = outcome(lambda: ref.translate_formula(a1(d)))
        assert outcome(lambda: t.translate(d)) == expected
        assert (outcome(lambda: t.check(d)) is None) == isinstance(expected, str)


@given(formula)
def test_native_tokens_match_reference(formula):
    ref = outcome(lambda: [(t.value, t.type, t.subtype) for t in Tokenizer(formula).items])
    got = outcome(lambda: native.formula_tokens(formula, ERRORS))
    if got is None:
        assert _expect_decline(formula)
    else:
        assert got == ref


def _is_float(text):
    try:
        float(text)
        return True
    except ValueError:
        return False


@given(st.text(st.sampled_from("0123456789_.eE+-infatyINFTY \t\x0b\x0c\r\x1c\x1f"), max_size=10))
@example("1_000.5_0e1_0")
@example("\x1c1")
def test_number_rule_is_pythons_float(text):
    """An ASCII operand is a number exactly when float() accepts it."""
    assume(text and not text[0] in "+-" and "\n" not in text and " " not in text)
    tokens = native.formula_tokens("=" + text, ERRORS)
    assume(len(tokens) == 1 and tokens[0][1] == "OPERAND")
    assert (tokens[0][2] == "NUMBER") == _is_float(text)
