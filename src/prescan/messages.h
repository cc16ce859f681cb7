// The pre-scan's own failures, beside the reader's (xml/chars.h). Each
// becomes NativeFallback at the entry point, and the package scans the
// sheet in Python.
#pragma once

#include "sheet/messages.h"

namespace vlm::prescan::msg {

// The messages the parser raises too (row index, unexpected eof).
using sheet::msg::ROW_INDEX;
using sheet::msg::UNEXPECTED_EOF;

// Unsupported: input the raw walk does not read the package's way (the
// counters add the column index on overflow).
inline constexpr const char PREFIXED_SHEET_DATA[] = "prefixed sheetData";
inline constexpr const char MARKUP[] = "comment/cdata/pi in sheetData";
inline constexpr const char COORDINATE[] = "coordinate";
inline constexpr const char NAMESPACE_DECLARATION[] = "namespace declaration";
// Malformed: the document ends early.
inline constexpr const char EOF_IN_ELEMENT[] = "eof in element";
inline constexpr const char EOF_IN_TAG[] = "eof in tag";

}  // namespace vlm::prescan::msg
