// Cell objects made without running their constructor: allocated through the
// class's own tp_alloc and filled slot by slot through the member offsets of
// its __slots__. Every job that hands out cells (streaming rows, the store's
// lazy cells) fills them here, so the slots a cell gets cannot differ.
//
// The slots, in order: parent, row, column, _value, data_type, _style_id,
// then formula and cached_value when the parser keeps formulas with their
// values, then the caller's extra names, which are set to None.
#pragma once

#include "host/helpers.h"

#include <vector>

namespace vlm {

// What one cell gets; every member is a new reference, taken over.
struct CellFields {
    Ref row, column, value, data_type, style_id;
    Ref formula, cached_value;  // only with formulas
};

class CellSlots {
public:
    // The table for `cls` (a type) and `extra` (None or a sequence of str).
    [[nodiscard]] static Result<CellSlots> make(PyObject* cls, PyObject* extra, bool formulas);
    // Whether this table was made for the same class, extra names and mode.
    bool matches(PyObject* cls, PyObject* extra, bool formulas) const;

    // A new cell of the class with every slot set; the extra ones are None.
    [[nodiscard]] Result<Ref> make_cell(PyObject* parent, CellFields&& f) const;
    bool formulas() const noexcept { return formulas_; }

    template <class F>
    void visit(F&& f) const {
        f(cls_.get());
        for (const Ref& n : extra_)
            f(n.get());
    }

private:
    CellSlots() = default;
    Ref cls_;
    std::vector<Ref> extra_;  // the extra names, in order
    bool formulas_ = false;
    allocfunc alloc_ = nullptr;
    SlotClass slots_;
};

// Checks that `extra` is None or a sequence of str: false with TypeError
// "extra_none must be None or a sequence of str" otherwise.
bool check_extra_names(PyObject* extra);

}  // namespace vlm
