// The sheet's failures that more than one walk over sheetData raises (the
// parser here, the pre-scan's raw walk): written once, so that a sheet both
// walks decline says the same thing, whichever walk met it first.
#pragma once

namespace vlm::sheet::msg {

// Unsupported: counting past the sheet's bounds, which the package refuses.
inline constexpr const char ROW_INDEX[] = "row index";
inline constexpr const char COLUMN_INDEX[] = "column index";
// Malformed: the document ends inside sheetData.
inline constexpr const char UNEXPECTED_EOF[] = "unexpected eof";

}  // namespace vlm::sheet::msg
