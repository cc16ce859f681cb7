// The pre-scan's own failures, beside the reader's (xml/chars.h). Each
// becomes NativeFallback at the entry point, and the package scans the
// sheet in Python.
#pragma once

namespace vlm::prescan::msg {

// Unsupported: input the raw walk does not read the package's way (the
// counters add "row index" and "column index" on overflow).
inline constexpr const char PREFIXED_SHEET_DATA[] = "prefixed sheetData";
inline constexpr const char MARKUP[] = "comment/cdata/pi in sheetData";
inline constexpr const char ROW_INDEX[] = "row index";
inline constexpr const char COORDINATE[] = "coordinate";
inline constexpr const char NAMESPACE_DECLARATION[] = "namespace declaration";
// Malformed: the document ends early.
inline constexpr const char UNEXPECTED_EOF[] = "unexpected eof";
inline constexpr const char EOF_IN_ELEMENT[] = "eof in element";
inline constexpr const char EOF_IN_TAG[] = "eof in tag";

}  // namespace vlm::prescan::msg
