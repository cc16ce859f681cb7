// DT: the cell data-type strings "n", "s", "f", "b", "e", "d", "inlineStr",
// made once per parser or loader as interned Python strings (so the package
// can compare them by identity as its own literals), together with the
// datetime C API that turns a converted serial date into a Python object.
#pragma once

#include "dates/dates.h"
#include "host/error.h"

#include <array>
#include <cstddef>

namespace vlm {

class DT {
public:
    static constexpr size_t COUNT = 7;
    static constexpr const char* TEXTS[COUNT] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

    [[nodiscard]] static Result<DT> make();
    // Another holder of the same strings (records are copied per parser).
    [[nodiscard]] DT clone() const;

    // Borrowed; code < COUNT.
    PyObject* str(size_t code) const noexcept { return strings_.get(code); }
    // A datetime.datetime or datetime.time; a declined result is an internal
    // error (callers convert only what converts).
    [[nodiscard]] Result<Ref> date_to_py(const DateResult& r) const;
    template <class F>
    void visit(F&& f) const { strings_.visit(f); }

private:
    DT() = default;
    RefArray<COUNT> strings_;
    const void* api_ = nullptr;  // the datetime module's PyDateTime_CAPI
};

}  // namespace vlm
