"""Number formats rendered as a spreadsheet shows them. LibreOffice's own
export of the corpus is the oracle (tests/api/test_cli_libreoffice.py);
the cases here are format codes the corpus lacks, each with what
LibreOffice showed for it, and properties checked against Python's own
calendar and number formatting."""
import datetime
import decimal

import pytest
from hypothesis import given, strategies as st


from vellum.numfmt import FIGURE_SPACE as F, format_value, general, shown_code, shows_time

# (value, code, what LibreOffice shows)
SHOWN = [
    # General: 15 significant digits; scientific from 2**53, and below
    # 1e-4 where the fixed form would need more than 16 decimals
    (1e15, "General", "1000000000000000"), (9007199254740992, "General", "9.00719925474099E+015"),
    (1.5e19, "General", "1.5E+019"), (-1e20, "General", "-1E+020"), (1e-300, "General", "1E-300"),
    (0.3333333333333333, "General", "0.333333333333333"), (999999999999999.9, "General", "1000000000000000"),
    (1.23456789123e-5, "General", "0.0000123456789123"), (1.234567891234e-5, "General", "1.234567891234E-05"),
    (1.2345678e-9, "General", "0.0000000012345678"), (1.23456789e-9, "General", "1.23456789E-09"),
    (1e-10, "General", "1E-10"), (1.23456789123456e-4, "General", "0.000123456789123456"),
    (5, '"$"General', "$5"), (-5, 'General" units"', "-5 units"),
    # rounding half up on the shortest form; a sign only where digits show
    (2.675, "0.00", "2.68"), (-0.001, "0.00", "0.00"), (-0.001, "0.00;(0.00)", "(0.00)"),
    (-0.001, "0.00;-0.00", "-0.00"), (123456789012345678, "0", "123456789012346000"),
    # placeholders, grouping, scaling commas, percent, literals
    (0.5, "#.00", ".50"), (0, "#,###", ""), (1.5, "0.", "2"), (0, "0.#", "0"), (1, "#.#", "1"),
    (0, "?", F), (1234567.891, "0,000.00", "1,234,567.89"), (1234567.891, "#,", "1235"),
    (1234, "0.0,", "1.2"), (1234567, '#,##0,,"M"', "1M"), (0.000001, "0.00%", "0.00%"),
    (42, "000-00-0000", "000-00-0042"), (5, r"_(0_);_(\(0\)", " 5 "), (5, "0*-", "5"),
    (5, "[$€-407]#,##0.00", "€5.00"), (1234.5, "#,##0.00_);(#,##0.00)", "1,234.50 "),
    # sections and conditions: a later section shows the magnitude
    (-5, "0;(0)", "(5)"), (-5, '[<0]"";0%', ""), (0.25, '[<0]"";0%', "25%"), (1, "0.00;;", "1.00"),
    (0, "0.00;;", ""), (-1, "0.00;;", ""), (0, '0.00;;"zero"', "zero"), (-3, '[>=0]0;[<0]"neg"0', "neg3"),
    (-3, '[<=-1]"A"0;"B"0', "-A3"), (5, '[<=-1]"A"0;"B"0', "B5"), (-3, "[>5]0;0", "3"),
    (-7, "[>5]0;[<-5]0;0", "7"),
    # text: the text section, or the text as it is
    ("abc", "0.00", "abc"), ("abc", '0;0;0;"<"@">"', "<abc>"), ("abc", "@@", "abcabc"),
    ("abc", '"x"@"y"', "xabcy"), (5, '@" x"', "5"), (True, "0.00", "1.00"), (False, "General", "FALSE"),
    (True, "@", "1"),
    # scientific and engineering notation
    (12345, "0.00E+00", "1.23E+04"), (100, "0.00E+0", "1.00E+2"), (0, "0.00E+00", "0.00E+00"),
    (-0.00001234, "0.00E+00", "-1.23E-05"), (123456789, "##0.00E+00", "123.46E+06"),
    (1.2345e-20, "0.00E-00", "1.23E-20"), (12345, "0.00e+00", "1.23e+04"),
    # fractions: blanks where no fraction shows, fixed denominators
    (2, "# ?/?", f"2 {F} {F}"), (0, "# ?/?", f"0 {F} {F}"), (0.25, "# ?/?", " 1/4"),
    (-2.5, "# ?/?", "-2 1/2"), (5.125, "# ??/8", f"5 {F}1/8"), (5.1, "# ?/10", "5 1/10"),
    (0.7, "?/4", "3/4"), (3.14159, "# ???/???", f"3 {F}16/113"),
    # dates and clocks: the clock shows the second it has reached
    (43000.75, "dddd, mmmm d, yyyy h:mm:ss A/P", "Friday, September 22, 2017 6:00:00 p"),
    (43000.75, "mmmmm ddd", "S Fri"), (43000.25, "AM/PM h", "AM 6"), (43000.75, "am/pm", "PM"),
    (43000.5, "yy m d", "17 9 22"), (43000.5, "h:m", "12:0"), (0.4375347, "h:mm:ss", "10:30:02"),
    (0.99999, "h:mm", "23:59"), (0.999999999, "yyyy-mm-dd hh:mm:ss", "1899-12-31 23:59:59"),
    (43000.99999999, "yyyy-mm-dd hh:mm:ss", "2017-09-22 23:59:59"), (60, "yyyy-mm-dd", "1900-02-28"),
    (-1, "yyyy-mm-dd", "1899-12-29"), (-0.5, "h:mm:ss", "12:00:00"),
    (43000.75, "[$-F800]dddd, mmmm dd, yyyy", "Friday, September 22, 2017"),
    # fractions of a second: rounded, but never up into the next second
    (1799.99712 / 86400, "mm:ss.0", "29:59.9"), (37800.46 / 86400, "h:mm:ss.0", "10:30:00.5"),
    (37800.45 / 86400, "hh:mm:ss.0", "10:30:00.4"), (37800.955 / 86400, "ss.00", "00.96"),
    # elapsed time: rounded, the largest unit unbounded
    (0.99999999, "[h]:mm:ss", "24:00:00"), (43000.99999999, "[h]:mm:ss", "1032024:00:00"),
    (0.0208333, "[m]:ss", "30:00"), (0.0208333, "[s]", "1800"), (0.0208333, "[ss].00", "1800.00"),
    (37800.45 / 86400, "[s].0", "37800.5"), (-0.5, "[h]:mm:ss", "-12:00:00"), (12.3, "HH[M]", "0017712"),
]


@pytest.mark.parametrize("value, code, want", SHOWN)
def test_shown_as_libreoffice_shows_it(value, code, want):
    assert format_value(value, code) == want


def test_builtin_formats_show_as_the_locale_has_them():
    assert format_value(43000.0416666667, shown_code(14, "mm-dd-yy")) == "9/22/2017"
    assert format_value(-1234.5678, shown_code(5, None)) == "($1,235)"
    assert format_value(0.25, shown_code(44, None)) == " $0.25 "
    assert shown_code(14, "yyyy-mm-dd") == "yyyy-mm-dd"  # the workbook's own code for the id wins
    assert shown_code(200, None) == "General"


def test_values_of_every_type():
    when = datetime.datetime(2019, 9, 2, 14, 30)
    assert format_value(when, "yyyy-mm-dd hh:mm") == "2019-09-02 14:30"
    assert format_value(when.date(), "d-mmm-yy") == "2-Sep-19"
    assert format_value(datetime.time(6, 5, 4), "h:mm:ss AM/PM") == "6:05:04 AM"
    assert format_value(datetime.timedelta(days=10, hours=15, minutes=10, seconds=10), "[h]:mm:ss") == "255:10:10"
    assert format_value(when, "yyyy-mm-dd", date1904=True) == "2019-09-02"
    assert format_value(0, "yyyy-mm-dd", date1904=True) == "1904-01-01"
    assert format_value(None, "0.00") == "" and format_value(3e6, "yyyy-mm-dd") == "3000000"
    assert [shows_time(c) for c in ("yyyy-mm-dd h:mm", "d-mmm-yy", "[h]", "mm:ss", "mm-yy", "0.00")] == [
        True, False, True, True, False, False]


DATETIMES = st.datetimes(datetime.datetime(1800, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 58))


@given(DATETIMES.map(lambda d: d.replace(microsecond=d.microsecond // 1000 * 1000)), st.booleans())
def test_calendar_and_clock_are_pythons(when, date1904):
    want = when.isoformat(" ", timespec="milliseconds")
    assert format_value(when, "yyyy-mm-dd hh:mm:ss.000", date1904=date1904) == want
    serial = (when - datetime.datetime(1899, 12, 30)) / datetime.timedelta(days=1)
    assert format_value(serial, "dddd d mmmm yyyy h:mm") == when.strftime("%A %-d %B %Y %-H:%M")


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_general_keeps_15_significant_digits(x):
    text = general(x)
    shortest = decimal.Decimal(repr(x))
    assert abs(decimal.Decimal(text) - shortest) <= decimal.Decimal("5e-15") * abs(shortest)
    if x.is_integer() and abs(x) < 2**53:
        assert text == str(int(x))


@given(st.floats(-1e14, 1e14))
def test_fixed_places_round_half_up(x):
    text = format_value(x, "#,##0.00")
    assert abs(float(text.replace(",", "")) - x) <= 0.005 + 1e-9 * abs(x)
    assert text.count(".") == 1 and len(text.rpartition(".")[2]) == 2


CODE_PIECES = ["0", "#", "?", ".", ",", "%", "E+", "e-", "/", "8", "@", "General", ";", "[", "]", '"x"', "\\",
               "_", "*", " ", "-", "y", "m", "d", "h", "s", "AM/PM", "A/P", "[h]", "[mm]", "[>=5]", "[<0]",
               "[Red]", "[$€-407]", "[$-F800]", "[$-F400]", "00", "yyyy", "mmmm", ".000"]
VALUES = st.one_of(st.floats(), st.integers(-10**20, 10**20), st.booleans(), st.text(max_size=5),
                   st.datetimes(), st.times(), st.timedeltas(), st.none())


@given(st.lists(st.sampled_from(CODE_PIECES), max_size=12).map("".join), VALUES, st.booleans())
def test_any_code_and_value_give_a_text(code, value, date1904):
    assert isinstance(format_value(value, code, date1904=date1904), str)


def test_a_huge_code_is_read_in_one_pass():
    """Codes come from the file: one of a megabyte takes a moment, not hours."""
    for code in ("#," * 200_000 + "0.00", "0E+" * 100_000, "ss.0" * 100_000, '"a"' * 100_000 + "@",
                 "0" * 300_000 + ".0%%"):
        assert isinstance(format_value(-1234.5, code), str) and isinstance(format_value("t", code), str)
