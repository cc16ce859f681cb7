// The decimal scanner behind the exact conversion of number texts.
#include "utils/numparse.h"

#include "utils/ascii.h"

namespace vlm {

Decimal scan_decimal(std::string_view t, double& out) noexcept {
    size_t i = 0, n = t.size();
    bool neg = false;
    if (i < n && (t[i] == '+' || t[i] == '-'))
        neg = t[i++] == '-';
    uint64_t m = 0;
    int significant = 0;
    size_t digits = 0;
    int64_t exp = 0;
    auto take = [&](char c) {
        ++digits;
        if (significant == 0 && c == '0')
            return;
        if (significant < 19)
            m = m * 10 + static_cast<uint64_t>(c - '0');
        ++significant;  // more than 19: not exact, Simple below
    };
    for (; i < n && is_digit(t[i]); ++i)
        take(t[i]);
    if (i < n && t[i] == '.') {
        for (++i; i < n && is_digit(t[i]); ++i, --exp)
            take(t[i]);
    }
    if (digits == 0)
        return Decimal::Other;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        bool eneg = false;
        if (++i < n && (t[i] == '+' || t[i] == '-'))
            eneg = t[i++] == '-';
        size_t at = i;
        int64_t e = 0;
        for (; i < n && is_digit(t[i]); ++i) {
            if (e < 1000000)
                e = e * 10 + (t[i] - '0');
        }
        if (i == at)
            return Decimal::Other;
        exp += eneg ? -e : e;
    }
    if (i != n)
        return Decimal::Other;
    if (m == 0 && significant == 0) {
        out = neg ? -0.0 : 0.0;
        return Decimal::Exact;
    }
    std::optional<double> v = significant > 19 ? std::nullopt : exact_decimal(m, exp);
    if (!v)
        return Decimal::Simple;
    out = neg ? -*v : *v;
    return Decimal::Exact;
}

}  // namespace vlm
