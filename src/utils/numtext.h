// Number text as the C "%.16g" conversion writes it: the form the package
// uses for numbers in worksheet XML.
#pragma once

#include <cstddef>
#include <string_view>

namespace vlm {

// Long enough for any finite double in %.16g form ("-1.234567890123457e-308").
inline constexpr size_t G16_MAX = 32;

// Writes the text of a finite x into out (at least G16_MAX bytes) and
// returns its length.
size_t format_g16(double x, char* out) noexcept;

// The %.16g text of a finite x where it reads back as x, else the shortest
// digits that do (17 significant digits, or in rare cases 16 others), laid
// out as %.16g lays out its digits: what the package writes for a number,
// so that a saved number reads back as the same double. Same contract as
// format_g16.
size_t format_exact(double x, char* out) noexcept;

}  // namespace vlm
