// %.16g from one std::to_chars call: the scientific form with 15 digits
// after the point gives the correctly rounded 16 significant digits and the
// decimal exponent E (after rounding). C's %g then writes those same digits
// either as they are (E < -4 or E >= 16) or in fixed notation with 15 - E
// digits after the point, so the fixed form is laid out from the digits
// already made instead of being formatted a second time:
//   1.234500000000000e+02 -> "123.4500000000000" -> "123.45"
//   1.000000000000000e-03 -> "0.001000000000000000" -> "0.001"
#include "utils/numtext.h"

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

// The 16 digits as fixed notation, -4 <= exp <= 15.
size_t fixed_form(const char* digits, bool negative, int exp, char* out) noexcept {
    size_t n = 0;
    if (negative)
        out[n++] = '-';
    if (exp >= 0) {
        std::memcpy(out + n, digits, static_cast<size_t>(exp) + 1);
        n += static_cast<size_t>(exp) + 1;
        if (exp < 15) {
            out[n++] = '.';
            std::memcpy(out + n, digits + exp + 1, static_cast<size_t>(15 - exp));
            n += static_cast<size_t>(15 - exp);
        }
    } else {
        out[n++] = '0';
        out[n++] = '.';
        for (int i = -1; i > exp; --i)
            out[n++] = '0';
        std::memcpy(out + n, digits, 16);
        n += 16;
    }
    return trim_fraction(out, n);
}

}  // namespace

size_t format_g16(double x, char* out) noexcept {
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
    char sci[G16_MAX];
    auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific, 15);
    // "-d.ddddddddddddddde-XXX": the exponent follows the 'e'.
    const bool negative = sci[0] == '-';
    const char* lead = sci + negative;
    const char* e = lead + 17;
    int exp = 0;
    std::from_chars(e[1] == '+' ? e + 2 : e + 1, r.ptr, exp);
    if (exp < -4 || exp >= 16)
        return exponent_form(sci, static_cast<size_t>(e - sci), exp, out);
    char digits[16];
    digits[0] = lead[0];
    std::memcpy(digits + 1, lead + 2, 15);
    return fixed_form(digits, negative, exp, out);
}

}  // namespace vlm
