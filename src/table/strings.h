// The workbook's string table for the columnar job: the shared-strings part
// read straight into the two buffers of an Arrow utf8 array, by the same
// walk as read_string_table, so that every item has the text the package
// would give it.
#pragma once

#include "host/helpers.h"
#include "host/source.h"
#include "table/column.h"

namespace vlm::table {

// Without `si_content` the walk runs without the interpreter and stops
// with NEEDS_INTERPRETER at the first item only the package reads (rich
// text whose run properties it must judge); with it, such an item is read
// by the package's si_content. An item that is no text declines.
[[nodiscard]] Result<StringTable> read_strings(ByteSource& source, const Helpers& helpers, PyObject* si_content);

}  // namespace vlm::table
