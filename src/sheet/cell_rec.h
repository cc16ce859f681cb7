// What the sheet parser yields for one cell: its position, value, data type
// and style id. Values that need no Python object stay native (Val) until a
// row is handed out; only the package's own objects are held as Py.
#pragma once

#include "host/pyref.h"

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vlm::sheet {

struct Val {
    enum class Kind : unsigned char {
        None, Int, Float, Bool, SharedString, Str, SharedChild, DateInt, DateFloat, Py,
    };
    Kind kind = Kind::None;
    bool b = false;
    bool has_dest = false;  // SharedChild: moved to (drow, dcol)
    int64_t i = 0;          // Int, DateInt, SharedString index, SharedChild master
    double f = 0;           // Float, DateFloat
    int64_t drow = 0, dcol = 0;
    std::string s;          // Str
    Ref py;                 // Py
};

// One of the seven interned codes (index into DT), or the raw `t` text.
inline constexpr int DT_N = 0, DT_S = 1, DT_F = 2, DT_B = 3, DT_E = 4, DT_D = 5, DT_INLINE = 6;

struct CellRec {
    int64_t row = 0, column = 0;
    Val value;
    int dtype = DT_N;
    Ref dtype_py;     // set when the data type is none of the seven codes
    int64_t style = 0;
    Ref style_py;     // set when the style id is a Python object ("" or a big int)
    // The interpreted `v` of a formula cell, only when formulas are read with
    // their values: kept out of line, most cells never have one.
    std::unique_ptr<Val> cached;
    bool is_formula = false;
    // How many more times the row names this very cell straight after it
    // (see collapse_repeat): the record stands for 1 + repeats cells.
    uint32_t repeats = 0;

    // Back to a fresh record's state, for the next cell read into it (a
    // consumer that takes cells one at a time, CellSink).
    void clear() noexcept {
        row = column = 0;
        value.kind = Val::Kind::None;
        dtype = DT_N;
        style = 0;
        is_formula = false;
        // Python objects and a cached value only where the cell had them.
        if (value.py || dtype_py || style_py || cached) [[unlikely]] {
            value.py.reset();
            dtype_py.reset();
            style_py.reset();
            cached.reset();
        }
    }

    template <class F>
    void visit(F&& f) const {
        f(value.py.get());
        if (cached)
            f(cached->py.get());
        f(dtype_py.get());
        f(style_py.get());
    }
};

// Whether two parsed values are the same: equal native payloads, or the
// very same Python object.
inline bool same_val(const Val& a, const Val& b) noexcept {
    return a.kind == b.kind && a.b == b.b && a.has_dest == b.has_dest && a.i == b.i &&
           std::bit_cast<uint64_t>(a.f) == std::bit_cast<uint64_t>(b.f) && a.drow == b.drow && a.dcol == b.dcol &&
           a.py.get() == b.py.get() && a.s == b.s;
}

// A row that names one cell again and again (`<c r="A1">...</c>` a million
// times) keeps one record for the run: every consumer takes the last of
// equal cells, and the raw rows count them back out. The row then holds no
// more than its distinct cells, where a copy per repetition would let a
// small file take the memory of a large one. Called with the row's newest
// record last; true when it was folded into the one before.
inline bool collapse_repeat(std::vector<CellRec>& cells) noexcept {
    size_t n = cells.size();
    if (n < 2)
        return false;
    CellRec& a = cells[n - 2];
    const CellRec& b = cells[n - 1];
    if (a.column != b.column || a.row != b.row || a.repeats == UINT32_MAX || a.dtype != b.dtype ||
        a.style != b.style || a.is_formula != b.is_formula || a.dtype_py.get() != b.dtype_py.get() ||
        a.style_py.get() != b.style_py.get() || !same_val(a.value, b.value) || !a.cached != !b.cached ||
        (a.cached && !same_val(*a.cached, *b.cached)))
        return false;
    ++a.repeats;
    cells.pop_back();
    return true;
}

}  // namespace vlm::sheet
