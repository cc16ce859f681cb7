// The one owned-reference type for PyObject*.
//
// A Ref owns exactly one strong reference (or none). It is move-only and is
// made only through Ref::steal (take over a new reference) or Ref::borrow
// (add a reference to a borrowed pointer), so every ownership transfer is
// visible at the call site. Borrowed references are plain PyObject* and are
// never stored.
//
// References are touched only with the interpreter attached; the debug
// build checks it wherever a Ref lets one go, so that a job running without
// the interpreter (the columnar job) cannot let a Python object slip by.
#pragma once

#include "utils/check.h"

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

namespace vlm {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    // The new object is installed before the old one is released, so a
    // destructor running arbitrary Python code never sees a dangling member.
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        VLM_ASSERT(!old || PyGILState_Check());
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() {
        VLM_ASSERT(!p_ || PyGILState_Check());
        Py_XDECREF(p_);
    }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        VLM_ASSERT(!p || PyGILState_Check());
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { *this = Ref(); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new str of UTF-8 bytes (null with the decoding error raised).
[[nodiscard]] inline Ref py_str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

// A fixed set of owned references, listed once for an owner's visit() and
// copied whole by clone().
template <size_t N>
class RefArray {
public:
    Ref& operator[](size_t i) noexcept { return refs_[i]; }
    PyObject* get(size_t i) const noexcept { return refs_[i].get(); }
    [[nodiscard]] RefArray clone() const {
        RefArray out;
        for (size_t i = 0; i < N; ++i)
            out.refs_[i] = Ref::borrow(refs_[i].get());
        return out;
    }
    template <class F>
    void visit(F&& f) const {
        for (const Ref& r : refs_)
            f(r.get());
    }

private:
    std::array<Ref, N> refs_;
};

}  // namespace vlm
