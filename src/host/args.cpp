// The general argument parser behind Signature (args.h).
#include "host/args.h"

#include "host/pyref.h"

namespace vlm {

namespace {

// The position of keyword `key` among the signature's names, or the count.
size_t find_key(const ArgNames& sig, PyObject* key) {
    size_t n = sig.keys.size();
    for (size_t i = 0; i < n; ++i) {
        if (*sig.keys[i] == key)
            return i;
    }
    for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.texts[i]) == 0)
            return i;
    }
    return n;
}

bool take_keyword(const ArgNames& sig, Py_ssize_t nargs, PyObject* key, PyObject* value, PyObject** out) {
    size_t i = find_key(sig, key);
    if (i == sig.keys.size()) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.fname, key);
        return false;
    }
    if (static_cast<Py_ssize_t>(i) < nargs) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", sig.fname,
                     sig.texts[i], i + 1);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_count(const ArgNames& sig, Py_ssize_t nargs) {
    if (nargs <= static_cast<Py_ssize_t>(sig.keys.size()))
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", sig.fname, sig.keys.size(),
                 nargs);
    return false;
}

bool check_required(const ArgNames& sig, PyObject** out) {
    for (size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.fname,
                         sig.texts[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_args(const ArgNames& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    if (!check_count(sig, nargs))
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!take_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out))
            return false;
    }
    return check_required(sig, out);
}

bool parse_args(const ArgNames& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_count(sig, nargs))
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!take_keyword(sig, nargs, key, value, out))
                return false;
        }
    }
    return check_required(sig, out);
}

bool arg_type_error(const ArgNames& sig, size_t i, const char* want, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %T", sig.fname, sig.texts[i], want, got);
    return false;
}

}  // namespace vlm
