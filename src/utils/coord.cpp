// fast_coordinate: letters as a bijective base-26 number (A = 1, Z = 26,
// AA = 27), then a decimal row of at most nine digits, so neither part can
// overflow 32 bits.
#include "utils/coord.h"

namespace vlm {

std::optional<Coord> fast_coordinate(std::string_view text) noexcept {
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
