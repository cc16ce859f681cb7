// The libFuzzer driver: one embedded interpreter for the whole run, one
// Python call per input. Everything a target checks lives in
// fuzz/targets.py; this file only turns "the call raised" into an abort, so
// that libFuzzer keeps the input.
//
//   VELLUM_FUZZ_TARGET  the target's name in targets.TARGETS (required)
//   VELLUM_FUZZ_ROOT    the checkout (default: set at build time)
//
// The engine under test is the sanitizer-and-coverage build of _vellum in
// build/fuzz, which targets.py installs as vellum._vellum before the package
// is imported.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef VELLUM_FUZZ_DEFAULT_ROOT
#define VELLUM_FUZZ_DEFAULT_ROOT "."
#endif

namespace {

PyObject *target = nullptr;

[[noreturn]] void die(const char *what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "vellum-fuzz: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void start(const std::string &root, const char *name) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // libFuzzer owns SIGINT, SIGALRM and the rest
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    config.write_bytecode = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyObject *sys_path = PySys_GetObject("path");  // borrowed
    PyObject *entry = PyUnicode_FromString(root.c_str());
    if (!sys_path || !entry || PyList_Insert(sys_path, 0, entry) < 0) die("sys.path");
    Py_DECREF(entry);

    PyObject *module = PyImport_ImportModule("fuzz.targets");
    if (!module) die("cannot import fuzz.targets");
    PyObject *table = PyObject_GetAttrString(module, "TARGETS");
    if (!table) die("fuzz.targets has no TARGETS");
    target = PyMapping_GetItemString(table, name);
    if (!target) die("no such target (see TARGETS in fuzz/targets.py)");
    Py_DECREF(table);
    Py_DECREF(module);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *name = std::getenv("VELLUM_FUZZ_TARGET");
    if (!name || !*name) {
        std::fprintf(stderr, "vellum-fuzz: set VELLUM_FUZZ_TARGET\n");
        std::exit(2);
    }
    const char *root = std::getenv("VELLUM_FUZZ_ROOT");
    start(root && *root ? root : VELLUM_FUZZ_DEFAULT_ROOT, name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    PyObject *arg = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                              static_cast<Py_ssize_t>(size));
    if (!arg) die("out of memory");
    PyObject *out = PyObject_CallOneArg(target, arg);
    Py_DECREF(arg);
    // the target swallows every outcome its rule allows: anything left is a
    // finding (a property broken, or an exception nobody may raise)
    if (!out) die("finding");
    Py_DECREF(out);
    return 0;
}
