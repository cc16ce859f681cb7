"""How the streaming row reader fails: wrong constructor arguments, what a
source may return and how its errors are wrapped for the package
("native reader error: " + qualified type name + ": " + message), a helper's
error wrapped while the user's interrupt is not, a parse error raised again
rather than read past, a shared-string lookup deferred to hand-out that
fails unchanged as the package's does, and re-entrant calls refused. The
oracle is the package's documented wrapping rule, and the package's own
reader where both can fail."""
import pytest

from row_diff import (BARE, WRAPPED, Chunks, NativeFallback, RowReader, one_row, reader, sheet)
from vellum.reference import Cell, Parser, make_helpers
from vellum.reference.sheet import SheetReader

pytestmark = pytest.mark.skipif(RowReader is None, reason="the engine has no RowReader yet")


# --- construction and sources --------------------------------------------

def test_constructor_arguments():
    with pytest.raises(TypeError):
        RowReader(Chunks(b"<w/>"), Parser(), list(make_helpers().items()))
    helpers = make_helpers()
    del helpers["rich_dangerous"]
    with pytest.raises(TypeError, match="^missing helper rich_dangerous$"):
        RowReader(Chunks(b"<w/>"), Parser(), helpers)
    parser = Parser()
    parser.row_dimensions = []
    with pytest.raises(TypeError):
        RowReader(Chunks(b"<w/>"), parser, make_helpers())
    parser = Parser()
    del parser.data_only
    with pytest.raises(AttributeError):
        RowReader(Chunks(b"<w/>"), parser, make_helpers())
    parser = Parser()
    del parser.formula_and_value
    assert RowReader(Chunks(sheet("<row/>")), parser, make_helpers()).next_raw() == (1, [])


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Source:
    def __init__(self, *results):
        self.results = list(results)

    def read(self, n):
        result = self.results.pop(0)
        if isinstance(result, BaseException):
            raise result
        return result


MINE = NativeFallback("mine")


@pytest.mark.parametrize("results, message", [
    (["<w/>"], "TypeError: 'str' object is not an instance of 'bytes'"),
    ([bytearray(b"<w/>")], "TypeError: 'bytearray' object is not an instance of 'bytes'"),
    ([b"<w>", memoryview(b"</w>")], "TypeError: 'memoryview' object is not an instance of 'bytes'"),
    ([b"<w>", OSError("disk")], "OSError: disk"),
    ([BadStr()], "BadStr: <exception str() failed>"),
])
def test_source_errors_are_wrapped(results, message):
    with pytest.raises(NativeFallback) as info:
        RowReader(Source(*results), Parser(), make_helpers()).next_raw()
    assert str(info.value) == WRAPPED + message


def test_a_wrapped_error_is_named_by_its_qualified_name():
    class Local(Exception):
        pass

    with pytest.raises(NativeFallback) as info:
        RowReader(Source(Local("boom")), Parser(), make_helpers()).next_raw()
    assert str(info.value) == WRAPPED + Local.__qualname__ + ": boom"


def test_source_results_accepted_and_passed_through():
    class Bytes(bytes):
        pass

    doc = sheet('<row r="2"><c><v>1</v></c></row>')
    reader = RowReader(Source(Bytes(doc[:9]), doc[9:], b""), Parser(), make_helpers())
    assert reader.next_raw() == (2, [(2, 1, 1, "n", 0)])
    with pytest.raises(NativeFallback) as info:
        RowReader(Source(b"<w>", MINE), Parser(), make_helpers()).next_raw()
    assert info.value is MINE
    with pytest.raises(NativeFallback, match="^malformed: no element found$"):
        RowReader(Source(b""), Parser(), make_helpers()).next_raw()
    # more than was asked for is taken; nothing is asked for after the end
    big = sheet("".join(f'<row r="{r}"><c><v>{r}</v></c></row>' for r in range(1, 9000)))
    reader = RowReader(Source(big, b""), Parser(), make_helpers())
    assert len(big) > 3 * 65536 and sum(1 for _ in iter(reader.next_raw, None)) == 8999
    cut = big.index(b"<row")
    source = Source(big[:cut], b"", big[cut:])
    with pytest.raises(NativeFallback, match="^malformed: unclosed element$"):
        RowReader(source, Parser(), make_helpers()).next_raw()
    assert source.results == [big[cut:]]


# --- errors while parsing and at hand-out ---------------------------------

def test_a_helper_error_becomes_a_fallback_that_names_it():
    r = reader(sheet('<row><c><v>1</v></c></row><row><c s="x"/></row>', head=BARE))
    with pytest.raises(NativeFallback) as e:
        r.next_raw()
    assert str(e.value) == ("native reader error: ValueError: invalid literal for int() "
                            "with base 10: 'x'")
    assert isinstance(e.value.__cause__, ValueError)


def test_an_interrupt_inside_a_helper_is_not_turned_into_a_fallback():
    helpers = make_helpers()

    def interrupted(text):
        raise KeyboardInterrupt

    helpers["int"] = interrupted
    with pytest.raises(KeyboardInterrupt):
        reader(sheet('<row><c s="1_0"/></row>', head=BARE), helpers).next_raw()


def test_a_parse_error_is_raised_again_rather_than_read_past():
    r = reader(sheet('<row><c><v>1</v></c></row><row><c><v>1</c></row><row/>', head=BARE))
    for _ in range(3):
        with pytest.raises(NativeFallback, match="malformed: "):
            r.next_row(None, 1, None, True, object, None)


@pytest.mark.parametrize("raw", [True, False])
def test_shared_string_lookups_deferred_to_hand_out_raise_unchanged(raw):
    # the count is taken when the reader is made; a list shortened afterwards
    # fails at the lookup when the row is handed out, as the package fails
    doc = sheet('<row r="1"><c t="s"><v>0</v></c></row><row r="2"><c t="s"><v>2</v></c></row>')
    for cls in (SheetReader, RowReader):
        parser = Parser(["a", "b", "c"])
        reader = cls(Chunks(doc), parser, make_helpers())
        parser.shared_strings[1:] = []
        call = reader.next_raw if raw else lambda: reader.next_row("ws", 1, None, True, Cell, None)
        with pytest.raises(IndexError, match="^list index out of range$"):
            call(), call()


def test_helper_errors_while_parsing_are_wrapped():
    helpers = make_helpers()

    def row_index(text):
        raise LookupError(f"row {text}")

    helpers["row_index"] = row_index
    reader = RowReader(Chunks(sheet('<row r="1"/><row r="x"/>')), Parser(), helpers)
    with pytest.raises(NativeFallback, match=f"^{WRAPPED}LookupError: row x$"):
        reader.next_raw()


# --- re-entrant calls ------------------------------------------------------

def test_reentrant_calls_are_refused():
    errors = []
    helpers = make_helpers()

    def int_(text):
        for call in (reader.next_raw, lambda: reader.next_row("ws", 1, None, True, Cell, None)):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))
        return int(text)

    helpers["int"] = int_
    reader = RowReader(Chunks(one_row('<c s="1_0"/>')), Parser(), helpers)
    assert reader.next_raw() == (1, [(1, 1, None, "n", 10)])
    assert errors == ["Already borrowed", "Already borrowed"]
    assert reader.next_raw() is None
