// The Python class SheetWriter over writer.h: every method takes the
// instance exclusively for its whole run, so a helper that calls back into
// the same writer gets "Already borrowed" instead of a half-written buffer.
#pragma once

#include <Python.h>

namespace vlm {

// Adds SheetWriter to the module; 0, or -1 with an exception set.
int add_sheet_writer(PyObject* module);

}  // namespace vlm
