// NativeFallback, created once per process, and the conversion of XmlError
// into Python exceptions at the entry points.
#include "host/entry.h"
#include "host/error.h"

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vlm {

namespace {

constexpr const char FALLBACK_DOC[] =
    "The native engine cannot reproduce vellum's behaviour for this input; "
    "the pure Python implementation must be used.";

std::atomic<PyObject*> fallback_type{nullptr};
// PyMutex detaches the thread while it waits, so a thread blocked here never
// holds the interpreter that the initialising thread may need.
PyMutex fallback_mutex;

}  // namespace

PyObject* native_fallback_type() noexcept {
    PyObject* t = fallback_type.load(std::memory_order_acquire);
    if (t) [[likely]]
        return t;
    PyMutex_Lock(&fallback_mutex);
    t = fallback_type.load(std::memory_order_relaxed);
    if (!t) {
        t = PyErr_NewExceptionWithDoc("_vellum.NativeFallback", FALLBACK_DOC, nullptr, nullptr);
        if (t)
            fallback_type.store(t, std::memory_order_release);  // kept for the process
    }
    PyMutex_Unlock(&fallback_mutex);
    if (!t) {
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
    }
    return t;
}

XmlError XmlError::internal(const char* m) noexcept {
    PyErr_Format(PyExc_SystemError, "internal error: %s", m);
    return fetch();
}

XmlError XmlError::decline(const char* m) noexcept {
    PyObject* type = native_fallback_type();
    if (type)
        PyErr_SetString(type, m);
    return fetch();
}

bool XmlError::is(Kind k, const char* m) const noexcept {
    return kind_ == k && msg_ && std::strcmp(msg_, m) == 0;
}

PyObject* fallback_err(XmlError&& e) noexcept {
    switch (e.kind()) {
    case XmlError::Kind::Source: {
        Ref exc = Ref::borrow(e.exception());
        if (!exc) {
            PyErr_SetString(PyExc_SystemError, "internal error: empty source error");
            return nullptr;
        }
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
    case XmlError::Kind::Malformed:
    case XmlError::Kind::Unsupported: {
        PyObject* type = native_fallback_type();
        if (!type)
            return nullptr;
        // Formatted by the interpreter: nothing here may throw.
        PyErr_Format(type, "%s%s", e.kind() == XmlError::Kind::Malformed ? "malformed: " : "unsupported: ",
                     e.message());
        return nullptr;
    }
    }
    return nullptr;
}

void raise_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error: unknown C++ exception");
    }
}

}  // namespace vlm
