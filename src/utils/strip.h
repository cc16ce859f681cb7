// Python-compatible whitespace stripping over UTF-8, without a copy.
#pragma once

#include <string_view>

namespace vlm {

// `text` (valid UTF-8) without the leading and trailing characters that
// Python's str.strip() removes; a sub-span of `text`.
std::string_view py_strip(std::string_view text) noexcept;

}  // namespace vlm
