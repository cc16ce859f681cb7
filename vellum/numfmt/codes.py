"""Format codes compiled: the sections of a code (up to four, for
positive numbers, negative numbers, zero and text), their conditions,
kinds and tokens, and the choice of the section that shows a value."""
from __future__ import annotations

import math
import re
from dataclasses import dataclass, field

from vellum.numfmt.dates import render_date
from vellum.numfmt.numbers import general, render_number

_COND = re.compile(r"\[(<=|>=|<>|<|>|=)\s*(-?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?)\]")
_ELAPSED = re.compile(r"\[(h+|m+|s+)\]", re.IGNORECASE)
_CURRENCY = re.compile(r"\[\$([^\]-]*)(?:-[^\]]*)?\]")
_DATE_CODE = re.compile(r"(?i)AM/PM|A/P|e+|y+|m+|d+|h+|s+")
_OPS = {"<": float.__lt__, ">": float.__gt__, "=": float.__eq__, "<=": float.__le__,
        ">=": float.__ge__, "<>": float.__ne__}


@dataclass
class Section:
    """One section of a format code: its condition, its kind ("number",
    "date", "general", "text" or "literal") and its tokens, each a pair
    (kind, text): "lit", "digit" (0 # ?), ".", ",", "%", "E" (E+ E- e+ e-),
    "/" (its text a fixed denominator, or ""), "@", "general", and for
    dates "date" (y m d h s AM/PM A/P runs) and "elapsed" ([h] [mm] ...)."""

    cond: tuple[str, float] | None = None
    tokens: list[tuple[str, str]] = field(default_factory=list)
    kind: str = "literal"

    def matches(self, x: float) -> bool:
        return self.cond is not None and _OPS[self.cond[0]](float(x), self.cond[1])


def _split_sections(code: str) -> list[str]:
    """The code cut at the semicolons outside quotes, escapes and brackets."""
    parts, start, i, n = [], 0, 0, len(code)
    while i < n:
        c = code[i]
        if c == '"':
            end = code.find('"', i + 1)
            i = n if end < 0 else end + 1
            continue
        if c in "\\_*":
            i += 2
            continue
        if c == "[":
            end = code.find("]", i)
            i = n if end < 0 else end + 1
            continue
        if c == ";":
            parts.append(code[start:i])
            start = i + 1
        i += 1
    parts.append(code[start:])
    return parts


# The system's long date and time formats, which a section tagged with
# them shows whatever its own codes say, as the en-US locale has them.
_SYSTEM = {"[$-f800]": "dddd, mmmm d, yyyy", "[$-f400]": "hh:mm:ss AM/PM"}


def _system(section: str) -> str:
    low = section.lower()
    return next((code for tag, code in _SYSTEM.items() if tag in low), section)


def _tokens(text: str) -> Section:
    """The tokens of one section (see `Section`)."""
    sec = Section()
    out = sec.tokens
    i, n = 0, len(text)
    digit_seen = False
    while i < n:
        c = text[i]
        if c == '"':
            end = text.find('"', i + 1)
            end = n if end < 0 else end
            out.append(("lit", text[i + 1:end]))
            i = end + 1
        elif c == "\\":
            out.append(("lit", text[i + 1:i + 2]))
            i += 2
        elif c == "_":
            out.append(("lit", " "))
            i += 2
        elif c == "*":
            i += 2
        elif c == "[":
            end = text.find("]", i)
            end = n - 1 if end < 0 else end
            bracket = text[i:end + 1]
            if m := _COND.fullmatch(bracket):
                sec.cond = (m[1], float(m[2]))
            elif _ELAPSED.fullmatch(bracket):
                out.append(("elapsed", bracket[1:-1].lower()))
            elif (m := _CURRENCY.fullmatch(bracket)) and m[1]:
                out.append(("lit", m[1]))
            i = end + 1
        elif text[i:i + 7].lower() == "general":
            out.append(("general", ""))
            i += 7
        elif c in "0#?":
            out.append(("digit", c))
            digit_seen = True
            i += 1
        elif c in ".,%@":
            out.append((c, c))
            i += 1
        elif c in "Ee" and text[i + 1:i + 2] in ("+", "-") and digit_seen:
            out.append(("E", text[i:i + 2]))
            i += 2
        elif c == "/" and digit_seen:
            m = re.match(r"[1-9]\d*", text[i + 1:])
            out.append(("/", m[0] if m else ""))
            i += 1 + (len(m[0]) if m else 0)
        elif m := _DATE_CODE.match(text, i):
            out.append(("date", m[0]))
            i = m.end()
        else:
            out.append(("lit", c))
            i += 1
    kinds = {k for k, _ in out}
    if kinds & {"date", "elapsed"} and not kinds & {"general", "@"}:
        sec.kind = "date"
        _date_fractions(out)
    elif "general" in kinds:
        sec.kind = "general"
    elif "digit" in kinds:
        sec.kind = "number"
    elif "@" in kinds:
        sec.kind = "text"
    return sec


def _date_fractions(tokens: list[tuple[str, str]]) -> None:
    """In a date section, a "." followed by zeros after seconds is the
    seconds' fraction (token "frac" with that many digits); the number
    tokens left are literals there."""
    out: list[tuple[str, str]] = []
    i, n = 0, len(tokens)
    while i < n:
        k, t = tokens[i]
        if k == "." and out and out[-1][0] in ("date", "elapsed") and out[-1][1].lower()[-1:] == "s":
            j = i + 1
            while j < n and tokens[j] == ("digit", "0"):
                j += 1
            if j > i + 1:
                out.append(("frac", "0" * (j - i - 1)))
                i = j
                continue
        if k in ("digit", ".", ",", "%", "@", "E", "/"):
            t = t if k != "/" else "/" + t
            k = "lit"
        out.append((k, t))
        i += 1
    tokens[:] = out


class Format:
    """A compiled format code: its sections for numbers and for text."""

    def __init__(self, code: str) -> None:
        sections = [_tokens(_system(s)) for s in _split_sections(code)][:4]
        self.text_section = None
        if len(sections) == 4 or (len(sections) > 1 and sections[-1].kind == "text"):
            self.text_section = sections.pop()
        elif sections[0].kind == "text":
            self.text_section = sections[0]
        self.sections = sections
        self.general = len(sections) == 1 and sections[0].kind == "general" \
            and not any(k == "lit" for k, _ in sections[0].tokens)
        # General alone, with no text section and no condition
        self.code_is_general = self.general and self.text_section is None and not sections[0].cond

    def text(self, value: str) -> str:
        sec = self.text_section
        if sec is None:
            return value
        return "".join(value if k == "@" else t for k, t in sec.tokens if k in ("lit", "@", ".", ",", "%"))

    def pick(self, x: float) -> tuple[Section, int]:
        """The section that shows `x`, and its position."""
        secs = self.sections
        if any(s.cond for s in secs[:2]):
            for i, s in enumerate(secs[:2]):
                if s.cond is not None and s.matches(x):
                    return s, i
                if s.cond is None:
                    return s, i
            return (secs[2], 2) if len(secs) > 2 else (secs[-1], len(secs) - 1)
        if len(secs) >= 3 and x == 0:
            return secs[2], 2
        if len(secs) >= 2 and x < 0:
            return secs[1], 1
        return secs[0], 0

    def number(self, x: float | int, date1904: bool) -> str:
        if isinstance(x, float) and not math.isfinite(x):
            return general(x)
        sec, index = self.pick(x)
        # The first section shows the sign itself, unless it is the one for
        # negative numbers; every other section shows the magnitude.
        signed = index == 0 and not (sec.cond and sec.cond[0] in ("<", "<=") and sec.cond[1] == 0)
        if sec.kind == "text":
            return general(x)
        if sec.kind == "general":
            body = general(x if signed else abs(x))
            return "".join(body if k == "general" else t for k, t in sec.tokens if k in ("lit", "general"))
        if sec.kind == "date":
            out = render_date(sec.tokens, x, date1904)
            return general(x) if out is None else out
        if sec.kind == "literal":
            return "".join(t for k, t in sec.tokens if k == "lit")
        text, zero = render_number(sec.tokens, abs(x))
        return "-" + text if signed and x < 0 and not zero else text


_CACHE: dict[str, Format] = {}


def compiled(code: str) -> Format:
    fmt = _CACHE.get(code)
    if fmt is None:
        if len(_CACHE) > 4096:
            _CACHE.clear()
        fmt = _CACHE[code] = Format(code if code.strip() else "General")
    return fmt


