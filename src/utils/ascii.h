// ASCII character tests shared by every scanner outside the XML reader (which
// has its own byte-class table): locale-free and branch-free, so a scan of
// formula or number text never depends on the C library's tables.
//
// Each subtracts the range's first character in unsigned arithmetic: a byte
// below it wraps to a large value. For example is_digit('/'): '/' - '0' = -1,
// 255 as an unsigned char, not below 10.
#pragma once

namespace vlm {

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }
constexpr bool is_upper(char c) noexcept { return static_cast<unsigned char>(c - 'A') < 26; }
// 'A'-'Z' or 'a'-'z': setting bit 0x20 folds upper case onto lower case.
constexpr bool is_letter(char c) noexcept { return static_cast<unsigned char>((c | 0x20) - 'a') < 26; }

}  // namespace vlm
