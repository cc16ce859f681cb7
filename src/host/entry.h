// The edge between the interpreter and the engine's C++. Every function the
// interpreter calls (module functions, methods, type slots) is installed as
// `entry<f>`: a C++ exception must never unwind into the interpreter's own
// frames, where it would end the process. Allocation failure (std::bad_alloc,
// or a size past what a container can hold) becomes MemoryError, as it does
// for the package's own Python code; any other C++ exception is an internal
// error.
//
//   {"get", method<store_get>(), METH_FASTCALL, ...}
//   {Py_mp_length, slot<store_len>()}
//
// Jobs that build objects the caller keeps (a store being loaded, a reader's
// queue, a writer's buffer) catch the failure themselves, with catch_alloc,
// where they can still put those objects back in order.
#pragma once

#include "host/error.h"

#include <type_traits>
#include <utility>

namespace vlm {

// Raises the Python exception for the C++ exception being handled (see
// above). Only to be called inside a catch block.
void raise_cpp_exception() noexcept;

// f(), with a C++ exception thrown inside it returned as the XmlError of
// its Python exception (MemoryError for allocation failure).
template <class F>
auto catch_alloc(F&& f) noexcept -> std::invoke_result_t<F> {
    try {
        return std::forward<F>(f)();
    } catch (...) {
        raise_cpp_exception();
        return std::unexpected(XmlError::fetch());
    }
}

template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            raise_cpp_exception();
            if constexpr (std::is_pointer_v<R>)
                return nullptr;
            else
                return static_cast<R>(-1);
        }
    }
};

// `f` behind the guard, as the interpreter calls it.
template <auto F>
inline constexpr auto entry = &Entry<F>::call;

// The same, as a PyMethodDef's function or a PyType_Slot's pointer.
template <auto F>
PyCFunction method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>));
}
template <auto F>
void* slot() noexcept {
    return reinterpret_cast<void*>(entry<F>);
}

}  // namespace vlm
