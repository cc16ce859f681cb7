// The columnar job's entry points: `read_table`, a worksheet read into a
// `TableData` (its record batches, exported through the Arrow PyCapsule
// interface), and `TableData.from_lists`, a table made from the package's
// own columns.
//
// This job, alone in the engine, lets the interpreter go while it works:
// it makes no Python object while it inflates and parses, so other threads
// run Python meanwhile, and two threads reading two workbooks use two
// cores. A sheet holding a value only the package's helpers read stops that
// reading, which is done again with the interpreter held.
#pragma once

#include <Python.h>

namespace vlm::table {

// Adds read_table and the TableData class to the module; 0, or -1 with an
// exception set.
int add_table(PyObject* module);

}  // namespace vlm::table
