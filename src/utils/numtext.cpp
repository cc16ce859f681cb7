// %.16g from std::to_chars: the scientific form with 15 digits after the
// point gives the correctly rounded 16 significant digits and the decimal
// exponent, which picks between the exponent form and the fixed form.
#include "utils/numtext.h"

#include <charconv>
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
    char sci[G16_MAX];
    auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific, 15);
    // "-d.ddddddddddddddde-XXX": the exponent follows the last 'e'.
    const char* e = static_cast<const char*>(std::memchr(sci, 'e', static_cast<size_t>(r.ptr - sci)));
    int exp = 0;
    std::from_chars(e[1] == '+' ? e + 2 : e + 1, r.ptr, exp);
    if (exp < -4 || exp >= 16) {
        size_t n = trim_fraction(sci, static_cast<size_t>(e - sci));
        std::memcpy(out, sci, n);
        out[n++] = 'e';
        out[n++] = exp < 0 ? '-' : '+';
        const int mag = exp < 0 ? -exp : exp;
        if (mag < 10)
            out[n++] = '0';
        auto t = std::to_chars(out + n, out + G16_MAX, mag);
        return static_cast<size_t>(t.ptr - out);
    }
    auto f = std::to_chars(out, out + G16_MAX, x, std::chars_format::fixed, 15 - exp);
    return trim_fraction(out, static_cast<size_t>(f.ptr - out));
}

}  // namespace vlm
