// The extension module _vellum, the composition root: the one place that
// knows every job. Multi-phase initialisation; the execution step makes the
// process-wide names, then adds, in this order, NativeFallback, the module
// functions and the classes. Nothing below this file includes a job from
// another layer upwards.
#include "host/cell_slots.h"
#include "host/error.h"
#include "host/names.h"
#include "prescan/prescan.h"
#include "sheet/row_reader.h"
#include "store/loader.h"
#include "store/store_type.h"
#include "table/table_type.h"
#include "text/dimension.h"
#include "text/shared_strings.h"
#include "writer/writer_type.h"

#include <new>

namespace vlm {
namespace {

// Each entry adds its callable to the module and returns 0, or -1 with an
// exception set. A job appears here only once it is built.
using ModuleEntry = int (*)(PyObject* module);

constexpr ModuleEntry MODULE_ENTRIES[] = {
    add_cell_slots,
    add_read_string_table,
    add_bind_cells,
    add_find_dimension,
    prescan::add_prescan_sheet,
    add_row_reader,
    add_cell_store,
    add_sheet_writer,
    table::add_table,
};

int module_exec(PyObject* m) {
    // glibc makes the thread-local data of a library loaded after start-up
    // (the C++ runtime's exception state, the store's scratch buffer) on its
    // first use in each thread, and ends the process when memory for it is
    // out: for the importing thread it is made here, while memory is there,
    // so that an allocation failure can still be raised as MemoryError.
    // An exception thrown and caught brings in the unwinder's too.
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    store::touch_scratch();
    if (init_names() < 0)
        return -1;
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(m, "NativeFallback", fallback) < 0)
        return -1;
    for (auto add : MODULE_ENTRIES) {
        if (add(m) < 0)
            return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vellum",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vlm

PyMODINIT_FUNC PyInit__vellum() { return PyModuleDef_Init(&vlm::module_def); }
