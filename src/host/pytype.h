// The kit every Python type of the engine is built from: the borrow flag
// that keeps a method's own re-entrant calls (from a helper, an __eq__) away
// from a half-updated object; the object layout (the flag and the native
// value); the method prologue that takes the borrow; creation, and the
// collector's traverse and clear from the one visit() list each value keeps
// of its references; and adding the type to the module.
#pragma once

#include "host/pyref.h"

#include <Python.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace vlm {

// An object's borrow state: 0 free, n > 0 held shared by n, -1 held
// exclusively. Shared borrows nest; an exclusive one excludes all others.
// The messages are the ones CPython users know from such bindings.
class BorrowGuard {
public:
    enum class Mode : unsigned char { Shared, Exclusive };

    BorrowGuard(int& flag, Mode mode) noexcept : flag_(flag), mode_(mode) {
        std::atomic_ref<int> f(flag_);
        int cur = f.load(std::memory_order_relaxed);
        if (mode == Mode::Exclusive) {
            ok_ = cur == 0 && f.compare_exchange_strong(cur, -1);
            if (!ok_)
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        } else {
            while (cur >= 0 && !f.compare_exchange_weak(cur, cur + 1)) {
            }
            ok_ = cur >= 0;
            if (!ok_)
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        }
    }
    ~BorrowGuard() { release(); }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

    explicit operator bool() const noexcept { return ok_; }
    // Whether the borrow could be taken now, for a step that runs no Python
    // code and so has nothing to hold it against; false with the same error
    // as the constructor's otherwise.
    static bool available(const int& flag, Mode mode) noexcept {
        int cur = std::atomic_ref<const int>(flag).load(std::memory_order_relaxed);
        bool ok = mode == Mode::Exclusive ? cur == 0 : cur >= 0;
        if (!ok)
            PyErr_SetString(PyExc_RuntimeError, mode == Mode::Exclusive ? "Already borrowed" : "Already mutably borrowed");
        return ok;
    }
    // Whether nobody holds the borrow now; sets no exception.
    static bool is_free(const int& flag) noexcept {
        return std::atomic_ref<const int>(flag).load(std::memory_order_relaxed) == 0;
    }
    // Gives the borrow back before the guard's end.
    void release() noexcept {
        if (!ok_)
            return;
        std::atomic_ref<int> f(flag_);
        // A release store pairs with the taking exchange; on x86 it is a
        // plain store, where a sequentially consistent one is a locked
        // exchange, paid once per row handed out.
        if (mode_ == Mode::Exclusive)
            f.store(0, std::memory_order_release);
        else
            f.fetch_sub(1);
        ok_ = false;
    }

private:
    int& flag_;
    Mode mode_;
    bool ok_ = false;
};

// tp_traverse over the references `owner.visit(f)` lists (the same list
// that clearing drops), stopping at the first non-zero result.
template <class Owner>
int traverse_owner(const Owner& owner, visitproc visit, void* arg) {
    int rc = 0;
    owner.visit([&](PyObject* o) {
        if (o && rc == 0)
            rc = visit(o, arg);
    });
    return rc;
}


// --- The objects of the engine's types ---------------------------------------
//
// Every engine type is an Object<T>: the borrow flag and the native value it
// wraps. The value lists its references once, in T::visit, and that list is
// what traversal walks and what clearing drops, so the two never drift apart.
// Clearing empties the value (a type whose value stays usable without its
// references instead gives T::drop_refs(), which hands back the old one);
// every method finds the value through Borrowed, which refuses an emptied one.
template <class T>
struct Object {
    PyObject_HEAD
    int borrowed;           // see BorrowGuard
    std::optional<T> value;  // empty once cleared

    static Object* of(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }
};

// The type's name for messages, from its spec: "_vellum.SheetWriter" gives
// "SheetWriter".
inline const char* short_name(PyTypeObject* type) noexcept {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// A method's prologue: the object's borrow (shared for pure reads, exclusive
// for anything that may change the value or run Python code that could reach
// it) held to the method's end, and the value. False, with the exception set,
// when the borrow is out or the value was cleared.
template <class T>
class Borrowed {
public:
    Borrowed(PyObject* self, BorrowGuard::Mode mode) noexcept
        : o_(Object<T>::of(self)), guard_(o_->borrowed, mode) {
        if (guard_ && !o_->value) {
            PyErr_Format(PyExc_ValueError, "%s has been cleared", short_name(Py_TYPE(self)));
            guard_.release();
        }
    }
    explicit operator bool() const noexcept { return static_cast<bool>(guard_); }
    T& operator*() const noexcept { return *o_->value; }
    T* operator->() const noexcept { return &*o_->value; }

private:
    Object<T>* o_;
    BorrowGuard guard_;
};

// tp_new's end: a new instance of `type` (through its own allocator) that
// takes `value` over; null with the exception set.
template <class T>
PyObject* new_object(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self)
        return nullptr;
    auto* o = Object<T>::of(self);
    o->borrowed = 0;
    new (&o->value) std::optional<T>(std::move(value));
    return self;
}

template <class T>
int traverse_object(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const std::optional<T>& v = Object<T>::of(self)->value;
    return v ? traverse_owner(*v, visit, arg) : 0;
}

// The references go only once the object no longer holds them: releasing
// one may run code that finds the object again.
template <class T>
int clear_object(PyObject* self) {
    std::optional<T>& v = Object<T>::of(self)->value;
    if constexpr (requires(T& t) { t.drop_refs(); }) {
        if (v) {
            T old = v->drop_refs();
        }
    } else {
        std::optional<T> old = std::move(v);
        v.reset();
    }
    return 0;
}

template <class T>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC))
        PyObject_GC_UnTrack(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_WEAKREF))
        PyObject_ClearWeakRefs(self);
    clear_object<T>(self);
    std::destroy_at(&Object<T>::of(self)->value);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// The three slots every garbage-collected engine type has, for its spec.
#define VLM_OBJECT_SLOTS(T)                                                         \
    {Py_tp_dealloc, reinterpret_cast<void*>(::vlm::dealloc_object<T>)},             \
        {Py_tp_traverse, reinterpret_cast<void*>(::vlm::traverse_object<T>)},       \
        {Py_tp_clear, reinterpret_cast<void*>(::vlm::clear_object<T>)}

// Makes the type of `spec` and adds it to the module under its name; 0, or
// -1 with an exception set.
inline int add_type(PyObject* module, PyType_Spec& spec) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type)
        return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get()));
}

}  // namespace vlm
