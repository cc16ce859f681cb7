// The fast path for cell references: plain upper-case A1 references only.
// Everything else ("$A$1", "a1", "A01", spaces) is left to the package's
// coordinate_to_tuple, so that odd forms behave exactly as they do there.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vlm {

struct Coord {
    uint32_t row;
    uint32_t column;
};

// The last column a reference of three letters can name ("ZZZ").
inline constexpr uint32_t MAX_COLUMN = 18278;

// "B3" -> {3, 2}; nothing for anything but 1-3 letters A-Z followed by 1-9
// digits without a leading zero. Letters as a bijective base-26 number
// (A = 1, Z = 26, AA = 27), so neither part can overflow 32 bits. Inline:
// it runs once per cell of every sheet.
[[nodiscard]] inline std::optional<Coord> fast_coordinate(std::string_view text) noexcept {
    size_t i = 0;
    uint32_t column = 0;
    while (i < text.size() && text[i] >= 'A' && text[i] <= 'Z') {
        if (++i > 3)
            return std::nullopt;
        column = column * 26 + static_cast<uint32_t>(text[i - 1] - 'A' + 1);
    }
    const size_t digits = text.size() - i;
    if (i == 0 || digits == 0 || digits > 9 || text[i] == '0')
        return std::nullopt;
    uint32_t row = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]) - '0';
        if (c > 9)
            return std::nullopt;
        row = row * 10 + c;
    }
    return Coord{row, column};
}

}  // namespace vlm
