// The kit every Python type of the engine is built from: the borrow flag
// that keeps a method's own re-entrant calls (from a helper, an __eq__) away
// from a half-updated object, and garbage-collector traversal from the one
// visit() list each owner keeps of its references.
#pragma once

#include <Python.h>

#include <atomic>

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

}  // namespace vlm
