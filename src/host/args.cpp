// The general argument parser behind ArgSpec (args.h).
#include "host/args.h"

#include "host/pyref.h"

namespace vlm {

namespace {

// The position of keyword `key` among the spec's names, or the count.
size_t find_key(const ArgNames& spec, PyObject* key) {
    size_t n = spec.keys.size();
    for (size_t i = 0; i < n; ++i) {
        if (*spec.keys[i] == key)
            return i;
    }
    for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, spec.texts[i]) == 0)
            return i;
    }
    return n;
}

bool take_keyword(const ArgNames& spec, Py_ssize_t nargs, PyObject* key, PyObject* value, PyObject** out) {
    size_t i = find_key(spec, key);
    if (i == spec.keys.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", spec.fname, key);
        return false;
    }
    if (static_cast<Py_ssize_t>(i) < nargs) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", spec.fname,
                     spec.texts[i], i + 1);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_count(const ArgNames& spec, Py_ssize_t nargs) {
    if (nargs <= static_cast<Py_ssize_t>(spec.keys.size()))
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", spec.fname, spec.keys.size(),
                 nargs);
    return false;
}

bool check_required(const ArgNames& spec, PyObject** out) {
    for (size_t i = 0; i < spec.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", spec.fname,
                         spec.texts[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_args(const ArgNames& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    if (!check_count(spec, nargs))
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!take_keyword(spec, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out))
            return false;
    }
    return check_required(spec, out);
}

bool parse_args(const ArgNames& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_count(spec, nargs))
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!take_keyword(spec, nargs, key, value, out))
                return false;
        }
    }
    return check_required(spec, out);
}

bool arg_type_error(const ArgNames& spec, size_t i, const char* want, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %T", spec.fname, spec.texts[i], want, got);
    return false;
}

}  // namespace vlm
