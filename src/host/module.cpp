// The extension module _vellum: multi-phase initialisation. The execution
// step adds, in this order, NativeFallback, the module functions and the
// classes; each subsystem contributes its entries through host/registry.h.
#include "host/error.h"
#include "host/registry.h"

namespace vlm {
namespace {

int module_exec(PyObject* m) {
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(m, "NativeFallback", fallback) < 0)
        return -1;
    for (auto add : MODULE_ENTRIES) {
        if (add && add(m) < 0)
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
