// Number text and coordinates.
//
//   format_g16(x: float) -> str
//   fast_coordinate(text: str) -> (row, column) | None
#include "registry.h"
#include "utils/coord.h"
#include "utils/numtext.h"

#include <cmath>

namespace vlm::testing {
namespace {

PyObject* t_format_g16(PyObject*, PyObject* arg) {
    double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred())
        return nullptr;
    if (!std::isfinite(x)) {
        PyErr_SetString(PyExc_ValueError, "format_g16 takes finite numbers only");
        return nullptr;
    }
    char buf[G16_MAX];
    size_t n = format_g16(x, buf);
    return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n));
}

PyObject* t_fast_coordinate(PyObject*, PyObject* arg) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(arg, &n);
    if (!s)
        return nullptr;
    auto c = fast_coordinate({s, static_cast<size_t>(n)});
    if (!c)
        Py_RETURN_NONE;
    return Py_BuildValue("(II)", c->row, c->column);
}

PyMethodDef methods[] = {
    {"format_g16", t_format_g16, METH_O, nullptr},
    {"fast_coordinate", t_fast_coordinate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_utils(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
