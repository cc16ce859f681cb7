// %.16g from one std::to_chars call: the scientific form with 15 digits
// after the point gives the correctly rounded 16 significant digits and the
// decimal exponent E (after rounding). C's %g then writes those same digits
// either as they are (E < -4 or E >= 16) or in fixed notation with 15 - E
// digits after the point, so the fixed form is laid out from the digits
// already made instead of being formatted a second time:
//   1.234500000000000e+02 -> "123.4500000000000" -> "123.45"
//   1.000000000000000e-03 -> "0.001000000000000000" -> "0.001"
#include "utils/numtext.h"

#include "utils/numparse.h"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstring>

namespace vlm {

namespace {

// Drops trailing zeros after a decimal point, then the point itself:
// "1.500" -> "1.5", "2.000" -> "2". Text without a point is kept.
size_t trim_fraction(const char* s, size_t n) noexcept {
    if (!std::memchr(s, '.', n))
        return n;
    while (s[n - 1] == '0')
        --n;
    if (s[n - 1] == '.')
        --n;
    return n;
}

size_t exponent_form(const char* mantissa, size_t len, int exp, char* out) noexcept {
    size_t n = trim_fraction(mantissa, len);
    std::memcpy(out, mantissa, n);
    out[n++] = 'e';
    out[n++] = exp < 0 ? '-' : '+';
    const int mag = exp < 0 ? -exp : exp;
    if (mag < 10)
        out[n++] = '0';
    return static_cast<size_t>(std::to_chars(out + n, out + G16_MAX, mag).ptr - out);
}

// `nd` digits as fixed notation, -4 <= exp <= 15, with trailing zeros of
// the fraction dropped: the whole part is padded with zeros where the
// digits end before it.
size_t fixed_form(const char* digits, size_t nd, bool negative, int exp, char* out) noexcept {
    size_t n = 0;
    if (negative)
        out[n++] = '-';
    if (exp >= 0) {
        const auto whole = static_cast<size_t>(exp) + 1;
        for (size_t i = 0; i < whole; ++i)
            out[n++] = i < nd ? digits[i] : '0';
        if (nd > whole) {
            out[n++] = '.';
            std::memcpy(out + n, digits + whole, nd - whole);
            n += nd - whole;
        }
    } else {
        out[n++] = '0';
        out[n++] = '.';
        for (int i = -1; i > exp; --i)
            out[n++] = '0';
        std::memcpy(out + n, digits, nd);
        n += nd;
    }
    return trim_fraction(out, n);
}

// The shortest digits of x as %.16g would lay them out: plain from 1e-4 to
// below 1e16, else with an exponent of at least two digits.
//   1.9104973077774101e+00 -> "1.9104973077774101"
//   3.3333333333333337e-06 -> "3.3333333333333337e-06"
size_t shortest_form(double x, char* out) noexcept {
    char sci[G16_MAX];
    auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    const bool negative = sci[0] == '-';
    const char* lead = sci + negative;
    const char* e = static_cast<const char*>(std::memchr(lead, 'e', static_cast<size_t>(r.ptr - lead)));
    int exp = 0;
    std::from_chars(e[1] == '+' ? e + 2 : e + 1, r.ptr, exp);
    if (exp < -4 || exp >= 16)
        return exponent_form(sci, static_cast<size_t>(e - sci), exp, out);
    char digits[G16_MAX];
    size_t nd = 0;
    for (const char* q = lead; q < e; ++q) {
        if (*q != '.')
            digits[nd++] = *q;
    }
    return fixed_form(digits, nd, negative, exp, out);
}

// The 16 significant digits of %.16g for a non-integral or large finite x:
// the scientific text with 15 digits after the point gives the correctly
// rounded digits and the decimal exponent (after rounding).
struct G16 {
    char sci[G16_MAX];
    size_t sci_len;  // up to the 'e'
    char digits[16];
    int exp;
    bool negative;
};

G16 g16_digits(double x) noexcept {
    G16 g;
    auto r = std::to_chars(g.sci, g.sci + sizeof g.sci, x, std::chars_format::scientific, 15);
    // "-d.ddddddddddddddde-XXX": the exponent follows the 'e'.
    g.negative = g.sci[0] == '-';
    const char* lead = g.sci + g.negative;
    const char* e = lead + 17;
    g.sci_len = static_cast<size_t>(e - g.sci);
    g.exp = 0;
    std::from_chars(e[1] == '+' ? e + 2 : e + 1, r.ptr, g.exp);
    g.digits[0] = lead[0];
    std::memcpy(g.digits + 1, lead + 2, 15);
    return g;
}

size_t g16_form(const G16& g, char* out) noexcept {
    if (g.exp < -4 || g.exp >= 16)
        return exponent_form(g.sci, g.sci_len, g.exp, out);
    return fixed_form(g.digits, 16, g.negative, g.exp, out);
}

// The %.16g text of the zeros and of whole numbers below 2^53, which read
// back as themselves; 0 for any other x.
size_t exact_form(double x, char* out) noexcept {
    if (x == 0.0) {
        if (std::signbit(x)) {
            std::memcpy(out, "-0", 2);
            return 2;
        }
        out[0] = '0';
        return 1;
    }
    // Whole numbers below 2^53 have at most 16 digits: %.16g writes them as
    // plain integers (3.0 -> "3").
    if (std::fabs(x) < 9007199254740992.0 && std::trunc(x) == x)
        return static_cast<size_t>(
            std::to_chars(out, out + G16_MAX, static_cast<int64_t>(x)).ptr - out);
    return 0;
}

// Whether the digits of g read back as |x|: decided in integers and one
// exact operation where Clinger's fast path applies (the digits without
// their trailing zeros at most 2^53), by a full conversion otherwise.
//   1.100000000000000e+00 -> 11 / 10^1
bool reads_back(const G16& g, double x, const char* text, size_t n) noexcept {
    int nd = 16;
    while (nd > 1 && g.digits[nd - 1] == '0')
        --nd;
    uint64_t m = 0;
    for (int i = 0; i < nd; ++i)
        m = m * 10 + static_cast<uint64_t>(g.digits[i] - '0');
    if (std::optional<double> v = exact_decimal(m, int64_t{g.exp} - (nd - 1)))
        return *v == std::fabs(x);
    double back = 0;
    std::from_chars(text, text + n, back);
    return back == x;
}

}  // namespace

size_t format_exact(double x, char* out) noexcept {
    if (size_t n = exact_form(x, out))
        return n;
    G16 g = g16_digits(x);
    size_t n = g16_form(g, out);
    if (reads_back(g, x, out, n))
        return n;
    return shortest_form(x, out);
}

size_t format_g16(double x, char* out) noexcept {
    if (size_t n = exact_form(x, out))
        return n;
    return g16_form(g16_digits(x), out);
}

}  // namespace vlm
