// What the module's execution step adds after NativeFallback, in order: the
// functions read_string_table, bind_cells, find_dimension, prescan_sheet, then
// the classes RowReader, CellStore, and the writer's registration. Each entry
// adds its callable to the module and returns 0, or -1 with an exception set.
// A job appears here only once it is built.
#pragma once

#include "sheet/row_reader.h"
#include "text/dimension.h"
#include "text/shared_strings.h"

#include <Python.h>

namespace vlm {

using ModuleEntry = int (*)(PyObject* module);

inline constexpr ModuleEntry MODULE_ENTRIES[] = {
    add_read_string_table,
    add_find_dimension,
    add_row_reader,
};

}  // namespace vlm
