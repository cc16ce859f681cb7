// RowReader: the Python class that streams the rows of one worksheet part
// for the package's read-only worksheet, raw (`next_raw`) or as the tuples of
// cells or values the worksheet hands out (`next_row`). Captured elements and
// date warnings reach the package through `actions`, in document order.
//
// Rows are released per 16 KiB block of source, once the whole block has been
// read, so that what the package can see beside a row (the row dimensions,
// the actions) is what its own chunked parse would have shown at that point.
#pragma once

#include <Python.h>

namespace vlm {

// Adds the RowReader class to the module; 0, or -1 with an exception set.
int add_row_reader(PyObject* module);

}  // namespace vlm
