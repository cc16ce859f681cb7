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
// digits without a leading zero.
[[nodiscard]] std::optional<Coord> fast_coordinate(std::string_view text) noexcept;

}  // namespace vlm
