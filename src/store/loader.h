// bind_cells: one worksheet part read in full into a CellStore. The sheet
// parser yields rows and captured elements in document order; each cell is
// packed into the store without a Python object, and the elements and
// warnings go to the caller's `actions` list for the package to replay.
#pragma once

#include <Python.h>

namespace vlm {

// Adds bind_cells to the module; 0, or -1 with an exception set.
int add_bind_cells(PyObject* module);

}  // namespace vlm
