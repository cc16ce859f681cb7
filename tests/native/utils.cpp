// Number text and coordinates.
//
//   format_g16(x: float) -> str
//   format_exact(x: float) -> str
//   fast_coordinate(text: str) -> (row, column) | None
//   format_g16_many(floats: list) -> list of str (benchmarks)
#include "host/pyref.h"
#include "registry.h"
#include "utils/coord.h"
#include "utils/numtext.h"

#include <cmath>

namespace vlm::testing {
namespace {

template <size_t (*format)(double, char*) noexcept>
PyObject* t_format(PyObject*, PyObject* arg) {
    double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred())
        return nullptr;
    if (!std::isfinite(x)) {
        PyErr_SetString(PyExc_ValueError, "number text takes finite numbers only");
        return nullptr;
    }
    char buf[G16_MAX];
    size_t n = format(x, buf);
    return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n));
}

PyObject* t_format_g16(PyObject* self, PyObject* arg) { return t_format<format_g16>(self, arg); }

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

PyObject* format_g16_many(PyObject*, PyObject* seq) {
    if (!PyList_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "a list of floats");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(seq);
    Ref out = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        double x = PyFloat_AsDouble(PyList_GET_ITEM(seq, i));
        if ((x == -1.0 && PyErr_Occurred()) || !std::isfinite(x))
            return PyErr_Occurred() ? nullptr : t_format_g16(nullptr, PyList_GET_ITEM(seq, i));
        char buf[G16_MAX];
        PyObject* s = PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(format_g16(x, buf)));
        if (!s)
            return nullptr;
        PyList_SET_ITEM(out.get(), i, s);
    }
    return out.release();
}

PyMethodDef methods[] = {
    {"format_g16", t_format_g16, METH_O, nullptr},
    {"format_exact", t_format<format_exact>, METH_O, nullptr},
    {"fast_coordinate", t_fast_coordinate, METH_O, nullptr},
    {"format_g16_many", format_g16_many, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_utils(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
