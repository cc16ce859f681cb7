// Number texts read natively where the result is exact: plain integers,
// decimals on Clinger's fast path, and runs of digits a word at a time.
// Every other form is the package's to convert (its int() and float()), so
// odd texts behave exactly as they do there.
#pragma once

#include "utils/swar.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace vlm {

// Clinger's fast path: m * 10^exp when m is at most 2^53 and |exp| at most
// 22. Both are exact doubles, so the one multiplication or division rounds
// once, and correctly, as Python's float does: "1234.25" = 123425 / 10^2.
// Nothing when the path does not apply.
[[nodiscard]] inline std::optional<double> exact_decimal(uint64_t m, int64_t exp) noexcept {
    static constexpr double POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (m > (uint64_t{1} << 53) || exp > 22 || exp < -22)
        return std::nullopt;
    double v = static_cast<double>(m);
    return exp >= 0 ? v * POW10[exp] : v / POW10[-exp];
}

// A 1 to 18 digit integer with an optional "-", or nothing (18 digits
// cannot overflow 64 bits).
[[nodiscard]] inline std::optional<int64_t> plain_int(std::string_view t) noexcept {
    size_t neg = !t.empty() && t[0] == '-';
    size_t n = t.size() - neg;
    if (n == 0 || n > 18)
        return std::nullopt;
    int64_t v = 0;
    for (size_t i = neg; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            return std::nullopt;
        v = v * 10 + (t[i] - '0');
    }
    return neg ? -v : v;
}

enum class Decimal : unsigned char { Exact, Simple, Other };

// Reads [+-]digits[.digits][(e|E)[+-]digits] (at least one mantissa digit):
// Other for any other text; Exact with the value in `out` when Clinger's
// fast path applies (exact_decimal); Simple when the text has that shape but
// needs a full conversion.
[[nodiscard]] Decimal scan_decimal(std::string_view t, double& out) noexcept;

// 10^0 to 10^8, the scale of a run of up to eight digits.
inline constexpr uint64_t POW10_INT[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The run of digits at p, eight at a time: its length, with p moved past it
// and m = m * 10^length + its value (exact while a number's digits, over all
// its runs, stay within 18). p's buffer must be padded with non-digits (the
// reader's zero padding), which end any run.
[[gnu::always_inline]] inline size_t take_digits(const char*& p, uint64_t& m) noexcept {
    size_t total = 0;
    for (;;) {
        uint64_t w = swar::load(p);
        size_t n = swar::digit_lanes(w);
        if (n == 0)
            return total;
        m = m * POW10_INT[n] + swar::digits_value(w, n);
        p += n;
        total += n;
        if (n < 8)
            return total;
    }
}

// The digits of a decimal's whole part, then, after a '.', of its fraction,
// as take_digits reads them: m = m * 10^(whole + frac) + their value, p moved
// past them, `point` whether there was a '.'. The first word is loaded once;
// a number of at most 8 digits in all ("123451.25") is converted once, the
// fraction's lanes joined to the whole part's: "123451.2" and "5" would be
// two conversions and a product.
//   w = "123451.2", n = 6; f = "25</v></", k = 2
//   joined = "123451" | "25" << 48 = "12345125": 12345125
[[gnu::always_inline]] inline void take_decimal_digits(const char*& p, uint64_t& m, size_t& whole, size_t& frac,
                                                       bool& point) noexcept {
    uint64_t w = swar::load(p);
    size_t n = swar::digit_lanes(w);
    if (n < 8 && p[n] != '.') {
        // An integer (or no digits) of fewer than eight: the one word is all.
        if (n)
            m = m * POW10_INT[n] + swar::digits_value(w, n);
        p += n;
        whole = n;
        frac = 0;
        point = false;
        return;
    }
    if (n < 8) {
        uint64_t f = swar::load(p + n + 1);
        size_t k = swar::digit_lanes(f);
        if (k < 8 && n + k <= 8 && n + k > 0) {
            uint64_t low = n ? w & (~uint64_t{0} >> (64 - 8 * n)) : 0;
            m = m * POW10_INT[n + k] + swar::digits_value(low | (f << (8 * n)), n + k);
            p += n + 1 + k;
            whole = n;
            frac = k;
            point = true;
            return;
        }
    }
    whole = take_digits(p, m);
    frac = 0;
    point = *p == '.';
    if (point)
        frac = take_digits(++p, m);
}

}  // namespace vlm
