"""Formula templates. A plain Python model of the reference scan and of
FxHasher predicts every shape hash; with it a model of the template set
predicts every answer of template_for; rendering is checked against the text
it must reproduce, matching against rendering."""
import pytest
from hypothesis import example, given, strategies as st

import _vellum_testing as native
from vellum.reference.formula import column_letters

MASK = 2**64 - 1
K = 0x517CC1B727220A95
MAX_ROW = 2**63 - 1

# --- the model --------------------------------------------------------------


class Fx:
    def __init__(self):
        self.h = 0

    def add(self, w):
        self.h = ((((self.h << 5) | (self.h >> 59)) & MASK) ^ (w & MASK)) * K & MASK

    def add_bytes(self, b):
        for i in range(0, len(b), 8):
            self.add(int.from_bytes(b[i:i + 8], "little"))

    def finish(self):
        h = self.h
        for m in (0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53, None):
            h ^= h >> 33
            if m:
                h = h * m & MASK
        return h


def upper(c):
    return 65 <= c <= 90


def reference_at(t, i):
    """(column $, column, row $, row, end) of the reference at t[i], or None."""
    if i and (chr(t[i - 1]).isascii() and (chr(t[i - 1]).isalnum() or t[i - 1] in b"$._")):
        return None
    p = i
    ca = t[p] == ord("$")
    p += ca
    col = 0
    while p < len(t) and p - i - ca < 3 and upper(t[p]):
        col, p = col * 26 + t[p] - 64, p + 1
    ra = p < len(t) and t[p] == ord("$")
    p += ra
    digits = p
    while p < len(t) and 48 <= t[p] <= 57:
        p += 1
    if not col or not 1 <= p - digits <= 7 or t[digits] == ord("0"):
        return None
    if p < len(t) and (chr(t[p]).isascii() and chr(t[p]).isalpha() or t[p] in b"_!$(."):
        return None
    return ca, col, ra, int(t[digits:p]), p


def pieces(t):
    """The literal stretches (bytes) and references of t, in text order."""
    out, lit, i = [], 0, 0
    while i < len(t):
        if t[i] in b"'\"":
            j = i + 1
            while (j := t.find(t[i:i + 1], j)) != -1 and t[j + 1:j + 2] == t[i:i + 1]:
                j += 2
            i = len(t) if j == -1 else j + 1
            continue
        r = (upper(t[i]) or t[i] == ord("$")) and reference_at(t, i)
        if r:
            out += [t[lit:i]] * (i > lit) + [r[:4]]
            i = lit = r[4]
        else:
            i += 1
    return out + [t[lit:]] * (len(t) > lit)


def words(t, row, col):
    """The words FxHasher is fed for the shape of t at (row, col)."""
    for p in pieces(t):
        if isinstance(p, bytes):
            yield 0
            yield from (int.from_bytes(p[i:i + 8], "little") for i in range(0, len(p), 8))
            yield len(p)
        else:
            ca, c, ra, r = p
            yield from (1 + ca, c if ca else c - col, 3 + ra, r if ra else r - row)


def model_hash(t, row, col):
    f = Fx()
    for w in words(t, row, col):
        f.add(w)
    return f.finish()


class ModelSet:
    """What template_for answers, given that equal shapes render alike."""

    def __init__(self):
        self.shapes = {}
        self.count = 0

    def template_for(self, t, row, col):
        if len(t) < 4:
            return None
        h = model_hash(t, row, col)
        if h not in self.shapes:
            self.shapes[h] = None
            return None
        if self.shapes[h] is None:
            self.shapes[h], self.count = self.count, self.count + 1
        return self.shapes[h]


# --- generated formulas -------------------------------------------------------

COLS = st.one_of(st.integers(1, 30), st.integers(700, 720), st.integers(18250, 18278))
ROWS = st.one_of(st.integers(1, 30), st.integers(9_999_990, 9_999_999))


@st.composite
def references(draw):
    c, r = draw(COLS), draw(ROWS)
    letters, digits = column_letters(c), str(r)
    odd = draw(st.sampled_from(["", "", "", "", "lower", "zero", "four", "eight"]))
    if odd == "lower":
        letters = letters.lower()
    elif odd == "zero":
        digits = "0" + digits
    elif odd == "four":
        letters = "A" + letters.rjust(3, "B")
    elif odd == "eight":
        digits = digits.ljust(8, "7")
    return draw(st.sampled_from(["", "$"])) + letters + draw(st.sampled_from(["", "$"])) + digits


def quoted(q):
    body = st.text(st.sampled_from("ab A1 " + q + q), max_size=6).map(lambda s: s.replace(q, q + q))
    return st.builds(lambda b, end: q + b + end, body, st.sampled_from([q, q, ""]))


TOKENS = st.one_of(
    references(), references(),
    st.sampled_from(["!", ".", "_", "$", "0", "7", "LOG10(", "SUM(", "ATAN2(", "Sheet1!",
                     "'My Sheet'!", "x", "é", "€", "A", "IF"]),
    quoted('"'), quoted("'"),
)
SEPARATORS = st.sampled_from(["+", "-", "*", ",", ":", "(", ")", " ", "&", "", ".", "!", "_", "$", "é"])
FORMULAS = st.builds(lambda eq, ts: eq + "".join(t + s for t, s in ts),
                     st.sampled_from(["=", "=", ""]), st.lists(st.tuples(TOKENS, SEPARATORS), max_size=6))
CELLS = st.tuples(st.integers(1, 2_000_000), st.integers(1, 18278))


def moved(text, cell, by):
    """(cell + by, text rendered there), or None when that is off the sheet."""
    at = (cell[0] + by[0], cell[1] + by[1])
    out = native.template_render(text, *cell, *at) if min(at) >= 1 else None
    return out and (at, out.decode())


# --- properties ----------------------------------------------------------------


@given(st.one_of(FORMULAS, st.text(max_size=30), st.binary(max_size=40)), CELLS)
@example("='a''A1'&\"b\"\"B2\"&C3", (1, 1))
@example("LOG10(A1)+A1!B2+Sheet1!$C$3", (5, 5))
def test_shape_hash_follows_the_scan(text, cell):
    t = text.encode() if isinstance(text, str) else text
    assert native.template_shape_hash(text, *cell) == model_hash(t, *cell)


@given(FORMULAS, CELLS, CELLS)
def test_rendering_and_matching(text, cell, other):
    t = text.encode()
    assert native.template_render(text, *cell, *cell) == t
    assert native.template_matches(text, *cell, text, *cell)
    out = native.template_render(text, *cell, *other)
    for candidate in {t, out or b"", t + b" "}:
        assert native.template_matches(text, *cell, candidate, *other) == (candidate == out)


@given(st.lists(st.tuples(FORMULAS, CELLS, st.tuples(st.integers(-5, 5), st.integers(-5, 5))),
                max_size=12), st.randoms())
def test_template_set_against_the_model(formulas, rnd):
    placed = {}
    for text, cell, by in formulas:
        placed.setdefault(cell, text)
        if m := moved(text, cell, by):
            placed.setdefault(*m)
    cells = list(placed)
    rnd.shuffle(cells)
    s, model, stored = native.template_set(), ModelSet(), {}
    for cell in cells:
        text = placed[cell]
        index = s.template_for(text, *cell)
        assert index == model.template_for(text.encode(), *cell)
        stored[cell] = text if index is None else index
        if index is not None:
            assert s.render(index, *cell) == text.encode()
    s.finish_loading()
    assert s.size() == model.count
    for cell in cells:
        v = stored[cell]
        assert (v if isinstance(v, str) else s.render(v, *cell).decode()) == placed[cell]


# --- named cases ---------------------------------------------------------------

C1, C2, C3 = (1, 3), (2, 3), (3, 3)


@pytest.mark.parametrize("seq", [
    # (text, (row, col), expected answer), fed in order to one set
    [("=A1+B1", C1, None), ("=A2+B2", C2, 0), ("=A3+B3", C3, 0), ("=A3+B4", C3, None)],
    [("=$A$1*B2", C2, None), ("=$A$1*B3", C3, 0), ("=$A$2*B3", C3, None)],
    [('=SUM("A1",B1)', C1, None), ('=SUM("A1",B2)', C2, 0), ('=SUM("A2",B2)', C2, None)],
    [("=LOG10(A1)", C1, None), ("=LOG10(A2)", C2, 0)],
    [("=Sheet1!A1", C1, None), ("=Sheet1!A2", C2, 0)],
    [("=A01", C1, None), ("=A01", C2, 0), ("=ABCD1", C1, None), ("=ABCD1", C3, 1),
     ("=A12345678", C1, None), ("=A12345678", (7, 7), 2), ("=A02", C2, None)],
    [("=a1+1", C1, None), ("=a2+1", C2, None), ("=a1+1", C3, 0)],
    [("=A1", C1, None), ("=A2", C2, None), ("=A3", C3, None)],
])
def test_named(seq):
    s = native.template_set()
    for text, cell, want in seq:
        assert s.template_for(text, *cell) == want, text
        if want is not None:
            assert s.render(want, *cell) == text.encode()


@pytest.mark.parametrize("text, built, at, want", [
    ("=B2", (2, 2), (1, 18278), "=ZZZ1"),
    ("=B2", (2, 2), (1, 18279), None),
    ("=B2", (2, 2), (0, 1), None),
    ("=B2", (2, 2), (MAX_ROW, 1), "=A%d" % MAX_ROW),
    ("=B3", (2, 2), (MAX_ROW, 1), None),
    ("=$B$3+C$1-$ZZZ9", (2, 2), (MAX_ROW, 18278), None),
    ("=$B$3+C$1-$ZZZ9", (2, 2), (5, 2), "=$B$3+C$1-$ZZZ12"),
    ("=$B$3", (2, 2), (-(2**63), -(2**63)), "=$B$3"),
])
def test_rendering_at_the_sheet_edges(text, built, at, want):
    got = native.template_render(text, *built, *at)
    assert got == (want and want.encode())
    assert native.template_matches(text, *built, want or text, *at) == (want is not None)


def colliding(target, row, col):
    """A text of one literal stretch whose shape hash equals that of `target`
    at (row, col): FxHasher's steps are invertible, so the last 8 bytes can be
    solved for. An unterminated quote keeps the whole text one stretch."""
    f = Fx()
    for w in words(target.encode(), row, col):
        f.add(w)
    kinv = pow(K, -1, 2**64)
    before_len = (f.h * kinv & MASK) ^ 16
    before_len = ((before_len >> 5) | (before_len << 59)) & MASK
    for n in range(1000):
        head = b"'" + n.to_bytes(7, "little")
        g = Fx()
        g.add(0)
        g.add_bytes(head)
        last = ((before_len * kinv & MASK) ^ ((g.h << 5 | g.h >> 59) & MASK)).to_bytes(8, "little")
        if b"'" not in head[1:] + last:
            text = head + last
            assert model_hash(text, 9, 9) == model_hash(target.encode(), row, col)
            return text
    raise AssertionError("no colliding text")


def test_one_candidate_per_shape():
    """A colliding text that does not match the template stays text, and the
    template stays for its own shape; a collision on a shape seen once takes
    the template, and the shape's own second formula then stays text."""
    other = colliding("=A1+B1", *C1)
    for seq, want in [([("=A1+B1", C1), ("=A2+B2", C2), (other, (9, 9)), ("=A3+B3", C3)],
                       [None, 0, None, 0]),
                      ([("=A1+B1", C1), (other, (9, 9)), ("=A2+B2", C2), (other, (1, 1))],
                       [None, 0, None, 0])]:
        s = native.template_set()
        assert [s.template_for(t, *c) for t, c in seq] == want
    s.finish_loading()
    assert s.size() == 1 and s.render(0, 4, 3) == other and s.bytes() > 0
