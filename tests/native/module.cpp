// _vellum_testing: the engine's internal units, built from the same sources
// as _vellum and loaded by the tests from the build directory only.
#include "registry.h"

#include "host/names.h"

namespace {

int testing_exec(PyObject* m) {
    if (vlm::init_names() < 0)
        return -1;
    for (auto add : vlm::testing::TEST_ENTRIES) {
        if (add(m) < 0)
            return -1;
    }
    return 0;
}

PyModuleDef_Slot testing_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(testing_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef testing_def = {
    PyModuleDef_HEAD_INIT, "_vellum_testing", "Internal units of _vellum, for tests.", 0,
    nullptr, testing_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__vellum_testing() { return PyModuleDef_Init(&testing_def); }
