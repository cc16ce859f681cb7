// Cell objects made without running their constructor: allocated through the
// class's own tp_alloc and filled slot by slot through the member offsets of
// its __slots__. Every job that hands out cells (streaming rows, the store's
// lazy cells) fills them through the layouts below, the one statement of
// which slots a reading fills and in what order; the package states the
// same lists (vellum/reference/cell.py), and the module's CELL_SLOTS lets a
// test hold the two together.
#pragma once

#include "host/helpers.h"

#include <type_traits>
#include <vector>

namespace vlm {

// A streamed cell: the plain slots, then the formula pair when the parser
// keeps formulas with their values, then the caller's extra names (None).
enum class StreamedSlot : size_t { Parent, Row, Column, Value, DataType, StyleId, Formula, CachedValue };
inline constexpr const char* STREAMED_SLOTS[] = {"parent",    "row",      "column",  "_value",
                                                 "data_type", "_style_id", "formula", "cached_value"};
inline constexpr size_t STREAMED_PLAIN = 6;  // the slots before the formula pair

// A cell of a worksheet read in full, as the store makes it.
enum class FullSlot : size_t { Parent, Style, Row, Column, Value, Hyperlink, DataType, Comment };
inline constexpr const char* FULL_SLOTS[] = {"parent",     "_style",    "row",     "column",
                                             "_value", "_hyperlink", "data_type", "_comment"};

// Adds CELL_SLOTS, {"streamed": (...), "formula": (...), "full": (...)}, to
// the module; 0, or -1 with an exception set.
int add_cell_slots(PyObject* module);

// A class whose instances are made without running __init__: its own
// allocator (tp_alloc, else the generic one) and the offsets of the named
// slots. Each job fills the slots in the order of its names.
class CellClass {
public:
    [[nodiscard]] static Result<CellClass> make(PyObject* cls, std::span<const char* const> names);
    // A new instance with every slot unset.
    [[nodiscard]] Result<Ref> alloc() const;
    // Stores `value` (taken over) in slot i of `obj`, made by alloc().
    void set(PyObject* obj, size_t i, Ref value) const noexcept { slots_.set(obj, i, std::move(value)); }
    template <class E>
        requires std::is_enum_v<E>
    void set(PyObject* obj, E slot, Ref value) const noexcept {
        slots_.set(obj, static_cast<size_t>(slot), std::move(value));
    }
    size_t size() const noexcept { return slots_.size(); }
    PyObject* cls() const noexcept { return cls_.get(); }

    template <class F>
    void visit(F&& f) const {
        f(cls_.get());
    }

private:
    CellClass() = default;
    Ref cls_;
    allocfunc alloc_ = nullptr;
    SlotClass slots_;
};

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
        class_.visit(f);
        for (const Ref& n : extra_)
            f(n.get());
    }

private:
    explicit CellSlots(CellClass c) : class_(std::move(c)) {}
    CellClass class_;
    std::vector<Ref> extra_;  // the extra names, in order
    bool formulas_ = false;
};

// Checks that `extra` is None or a sequence of str: false with TypeError
// "extra_none must be None or a sequence of str" otherwise.
bool check_extra_names(PyObject* extra);

}  // namespace vlm
