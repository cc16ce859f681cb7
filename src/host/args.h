// One argument parser for every entry point, on the vectorcall convention
// (positional arguments, then keyword values named by `kwnames`). Keyword
// names are compared by pointer with the interned names of the table in
// names.h first, as CPython's own callers pass interned strings, and by value
// only when that fails. Messages are CPython's own for such functions.
//
//   static constexpr Signature<3> ARGS{"f", {&NAMES.source, ...}, {"source", ...}, 2};
//   PyObject* a[3] = {nullptr, nullptr, Py_None};   // defaults of the optionals
//   if (!ARGS.parse(args, nargs, kwnames, a)) return nullptr;
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace vlm {

struct ArgNames {
    const char* fname;                    // for messages: "next_row"
    std::span<PyObject* const* const> keys;  // the interned names, by address
    std::span<const char* const> texts;      // the same names as text
    size_t required;                      // the first `required` are
};

// Fills out[i] (borrowed) for each argument given; the others keep what the
// caller put there. false with TypeError set on a bad call.
bool parse_args(const ArgNames& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);
// The same for a (tuple, dict) call, as a type's tp_new receives it.
bool parse_args(const ArgNames& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// TypeError "f() argument 'name' must be WANT, not TYPE"; returns false.
bool arg_type_error(const ArgNames& sig, size_t i, const char* want, PyObject* got);

template <size_t N>
struct Signature {
    const char* fname;
    std::array<PyObject* const*, N> keys;
    std::array<const char*, N> texts;
    size_t required;

    ArgNames names() const noexcept { return {fname, keys, texts, required}; }
    // Positional calls of the full count take no detour through the general
    // parser: this runs once per row for the row reader.
    [[gnu::always_inline]] bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                      PyObject** out) const {
        if (!kwnames && nargs == static_cast<Py_ssize_t>(N)) {
            // Spelled out: as a loop or a memcpy of a few pointers, the
            // compiler makes a byte-by-byte copy of it.
            copy_args<N>(args, out);
            return true;
        }
        return parse_args(names(), args, nargs, kwnames, out);
    }
    bool parse(PyObject* args, PyObject* kwargs, PyObject** out) const {
        return parse_args(names(), args, kwargs, out);
    }
    bool type_error(size_t i, const char* want, PyObject* got) const {
        return arg_type_error(names(), i, want, got);
    }

private:
    template <size_t K>
    [[gnu::always_inline]] static void copy_args(PyObject* const* args, PyObject** out) noexcept {
        if constexpr (K > 0) {
            copy_args<K - 1>(args, out);
            out[K - 1] = args[K - 1];
        }
    }
};

}  // namespace vlm
