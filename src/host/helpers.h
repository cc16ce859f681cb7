// The records every job reads once from the package: Helpers (the package's
// conversion functions and classes, from the `helpers` dict), Settings (the
// parser object's options) and SlotClass (the member offsets of a class with
// __slots__, so instances can be filled without attribute assignment).
//
// Records hold strong references for the duration of a call; a consumer that
// keeps its own copy takes one with clone().
#pragma once

#include "dates/dates.h"
#include "host/error.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vlm {

// The object helpers, in the order in which from_dict looks them up.
enum class Helper : unsigned char {
    Int,
    Float,
    CoordinateToTuple,
    RowIndex,
    FromExcel,
    FromISO8601,
    DateWarning,
    ArrayFormula,
    DataTableFormula,
    Translator,
    TokenizerError,
    TranslatorError,
    TextContent,
    RichInline,
    ValidateRpr,
};

inline constexpr size_t HELPER_COUNT = 15;
inline constexpr const char* HELPER_KEYS[HELPER_COUNT] = {
    "int",        "float",          "coordinate_to_tuple", "row_index",       "from_excel",
    "from_ISO8601", "date_warning", "ArrayFormula",        "DataTableFormula", "Translator",
    "TokenizerError", "TranslatorError", "text_content",   "rich_inline",     "validate_rpr",
};

// A small set of element local names, as UTF-8 bytes.
class NameSet {
public:
    bool contains(std::string_view name) const noexcept;
    const std::vector<std::string>& items() const noexcept { return items_; }
    void add(std::string_view name) { items_.emplace_back(name); }

private:
    std::vector<std::string> items_;
};

// A set of 64-bit integers (style ids), sorted for lookup.
class IntSet {
public:
    // Inline with a bitmap for the small ids nearly every workbook uses:
    // it is asked once per number cell.
    bool contains(int64_t v) const noexcept {
        if (static_cast<uint64_t>(v) < SMALL)
            return (small_[static_cast<size_t>(v) / 64] >> (v % 64)) & 1;
        return contains_large(v);
    }
    const std::vector<int64_t>& items() const noexcept { return items_; }
    void add(int64_t v);

private:
    static constexpr uint64_t SMALL = 256;
    bool contains_large(int64_t v) const noexcept;
    std::vector<int64_t> items_;
    uint64_t small_[SMALL / 64] = {};
};

class Helpers {
public:
    // `helpers` must be a dict (or subclass). A missing key raises TypeError
    // "missing helper KEY" for the first key missing in lookup order.
    [[nodiscard]] static Result<Helpers> from_dict(PyObject* helpers);
    [[nodiscard]] Helpers clone() const;

    PyObject* get(Helper h) const noexcept { return objs_.get(static_cast<size_t>(h)); }
    const NameSet& text_dangerous() const noexcept { return text_dangerous_; }
    const NameSet& rich_dangerous() const noexcept { return rich_dangerous_; }
    // Calls f(PyObject*) for every object held (for the GC of an owner).
    template <class F>
    void visit(F&& f) const { objs_.visit(f); }

private:
    Helpers() = default;
    RefArray<HELPER_COUNT> objs_;
    NameSet text_dangerous_, rich_dangerous_;
};

// f(item) for each item of an iterable, in order; the first failure (of
// the iteration or of f) propagates.
template <class F>
Result<void> each_item(PyObject* items, F&& f) {
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it)
        return fetched();
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        VLM_TRY(f(item.get()));
    if (PyErr_Occurred())
        return fetched();
    return {};
}

// Python's truth of an object, and obj.name (an interned name); errors
// propagate.
[[nodiscard]] Result<bool> truth(PyObject* obj);
[[nodiscard]] Result<Ref> attr(PyObject* obj, PyObject* name);

// helpers[key] by plain dict lookup; TypeError "missing helper KEY" if absent.
[[nodiscard]] Result<Ref> lookup_helper(PyObject* helpers, const char* key);

// The style ids of an iterable of ints, as from_parser reads date_formats:
// bools and other types left out, a conversion's failure propagated.
[[nodiscard]] Result<IntSet> int_set_of(PyObject* items);

// The Epoch of a host epoch object: imports datetime and
// vellum.utils.datetime (their failures propagate), then gives nothing unless
// the object is exactly a naive datetime.datetime.
[[nodiscard]] Result<std::optional<Epoch>> native_epoch(PyObject* epoch);

struct Settings {
    std::optional<Epoch> epoch;  // none: not a naive datetime, the package converts
    bool formula_and_value = false;
    bool data_only = false;
    bool rich_text = false;
    size_t shared_count = 0;  // len(shared_strings) when it is exactly a list
    Ref shared_strings;
    Ref epoch_obj;
    IntSet date_formats, timedelta_formats;
    // Set by a consumer that reads cells only (the columnar job), never from
    // a parser object. `cells_only`: no captured element is kept and no row
    // attribute recorded. `detached`: the parse runs without the interpreter,
    // so every step that would make or call a Python object stops it with
    // NEEDS_INTERPRETER instead, and inline texts stay native.
    bool cells_only = false;
    bool detached = false;

    [[nodiscard]] static Result<Settings> from_parser(PyObject* parser);
    [[nodiscard]] Settings clone() const;
    template <class F>
    void visit(F&& f) const {
        f(shared_strings.get());
        f(epoch_obj.get());
    }
};

// Member offsets of named __slots__ of a class, one per name in order.
class SlotClass {
public:
    // Each name must be an object slot of `cls` (T_OBJECT_EX member
    // descriptor defined by cls or a base): TypeError "NAME is not a slot" or
    // "NAME has unexpected slot type" otherwise.
    [[nodiscard]] static Result<SlotClass> make(PyObject* cls, std::span<const char* const> names);

    size_t size() const noexcept { return offsets_.size(); }
    Py_ssize_t offset(size_t i) const noexcept { return offsets_[i]; }
    // Stores `value` (a new reference, taken over) in slot i of `obj`, an
    // instance of the class; the previous value is released afterwards.
    void set(PyObject* obj, size_t i, Ref value) const noexcept;

private:
    std::vector<Py_ssize_t> offsets_;
};

}  // namespace vlm
