// py_strip: the whitespace of str.strip() is U+0009..U+000D, U+001C..U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and
// U+3000. In UTF-8 these are one byte, C2 xx, E1 9A 80, E2 80 xx, E2 81 9F and
// E3 80 80. Lead bytes never occur as continuation bytes, so a match at the
// end of valid UTF-8 is always a whole character.
#include "utils/strip.h"

namespace vlm {
namespace {

using u8 = unsigned char;

// The length of the whitespace character that the three bytes a, b, c
// begin (unused bytes are 0), or 0 when they begin none.
size_t space_len(u8 a, u8 b, u8 c) noexcept {
    if ((a >= 0x09 && a <= 0x0D) || (a >= 0x1C && a <= 0x20))
        return 1;
    if (a == 0xC2)
        return b == 0x85 || b == 0xA0 ? 2 : 0;
    bool three = (a == 0xE1 && b == 0x9A && c == 0x80) ||
                 (a == 0xE2 && b == 0x80 && (c <= 0x8A || c == 0xA8 || c == 0xA9 || c == 0xAF)) ||
                 (a == 0xE2 && b == 0x81 && c == 0x9F) || (a == 0xE3 && b == 0x80 && c == 0x80);
    return three && c >= 0x80 ? 3 : 0;
}

u8 at(std::string_view s, size_t i) noexcept {
    return i < s.size() ? static_cast<u8>(s[i]) : 0;
}

}  // namespace

std::string_view py_strip(std::string_view s) noexcept {
    while (size_t n = s.empty() ? 0 : space_len(at(s, 0), at(s, 1), at(s, 2)))
        s.remove_prefix(n);
    for (;;) {
        size_t k = s.size();
        if (k >= 1 && space_len(at(s, k - 1), 0, 0) == 1)
            s.remove_suffix(1);
        else if (k >= 2 && space_len(at(s, k - 2), at(s, k - 1), 0) == 2)
            s.remove_suffix(2);
        else if (k >= 3 && space_len(at(s, k - 3), at(s, k - 2), at(s, k - 1)) == 3)
            s.remove_suffix(3);
        else
            return s;
    }
}

}  // namespace vlm
