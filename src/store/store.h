// CellStore: every cell of one worksheet, behind the mapping the package
// installs as the worksheet's dict of cells. Cells loaded in row-major order
// live in the compact area (Base, 10 bytes a cell); everything else (cells
// assigned later, loaded out of order, or beyond column 65,535) lives in the
// overflow area of 24-byte entries keyed by a hash map. A key that is not a
// pair of small non-negative integers switches the store to dict mode, where
// a plain dict holds every cell as a Cell object.
//
// The store owns every Python object it refers to: the object table holds
// the Cells it created or was given and the values only Python can hold;
// records refer to pools by index only and never own memory.
//
// Ownership rule of the mutators: a reference the store lets go of is handed
// back to the caller (a Ref) and released only once the store is consistent
// again, because releasing it may run any Python code.
#pragma once

#include "dates/dates.h"
#include "ftemplate/template.h"
#include "host/cell_slots.h"
#include "host/dt.h"
#include "sheet/cell_rec.h"
#include "sheet/values.h"
#include "store/base.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlm::store {

struct Key {
    uint32_t row;
    uint32_t column;
};

class CellStore {
public:
    CellStore() = default;
    CellStore(CellStore&&) = default;
    CellStore& operator=(CellStore&&) = default;

    // --- Keys (keys.cpp)

    // A tuple of exactly two exact ints in 0..2^32-1; never raises.
    static std::optional<Key> exact_key(PyObject* key) noexcept;
    // A tuple (or subclass) of two items a dict would take for such ints:
    // int(x) == x with equal hashes. Failures inside the test mean "no";
    // never an error itself.
    [[nodiscard]] static Result<std::optional<Key>> equivalent_key(PyObject* key);

    // --- Layout (store.cpp)

    std::optional<Loc> find_key(Key k) const noexcept;
    Entry entry(const Loc& loc) const noexcept;
    // Every live cell: compact records in row-major order, then overflow
    // entries in the order they came.
    std::vector<Loc> locs() const;
    // The last of locs(), without making them all.
    std::optional<Loc> last_loc() const noexcept;
    // Iteration: the key of the first live cell at or after `pos` (records
    // first, then entries), pos moved past it. `slot` caches the row of
    // the last record visited.
    std::optional<Key> next_key(uint32_t& pos, size_t& slot) const noexcept;
    // The same backwards: `pos` counts the places not yet visited (start
    // at end_pos()), and the key before them is returned.
    std::optional<Key> prev_key(uint32_t& pos, size_t& slot) const noexcept;
    uint32_t end_pos() const noexcept { return base_.record_count() + static_cast<uint32_t>(entries_.size()); }

    uint32_t size() const noexcept { return live_compact_ + live_overflow_; }
    uint64_t generation() const noexcept { return generation_; }
    bool loading() const noexcept { return loading_; }

    // --- Changes (store.cpp); each returns what it let go of.

    // store[key] = value: the cell at `at` becomes `value`, or a new
    // overflow cell is added under `key`.
    [[nodiscard]] Ref assign(std::optional<Loc> at, Key key, Ref value);
    // A new overflow cell holding None, "n", no style (a cell the package's
    // Worksheet.cell would create).
    Loc add_empty(Key key);
    [[nodiscard]] Ref remove(const Loc& loc);
    // Every cell gone; shared-formula masters, templates, data types, the
    // style cache and the Python references stay. The object table is
    // handed back whole.
    [[nodiscard]] std::vector<Ref> reset();

    // Dict mode: every cell materialised into a new dict, the areas emptied.
    [[nodiscard]] Result<std::vector<Ref>> enter_dict_mode();
    PyObject* dict() const noexcept { return dict_.get(); }
    // clear(): no cells, native mode. The dict is handed back.
    [[nodiscard]] std::pair<std::vector<Ref>, Ref> clear();

    // --- Loading (place.cpp)

    // Starts a load: the cells, the dict and everything built for an
    // earlier load (templates, extra data types, the style cache, the value
    // context) go; the worksheet, the styles and the Cell class come in.
    [[nodiscard]] Result<void> begin_loading(PyObject* ws, PyObject* cell_styles, PyObject* cell_cls);
    // One parsed cell, as the loader stores it: style id, coordinates, data
    // type, value, then placement. `values` is the parser's value context.
    [[nodiscard]] Result<void> place_record(sheet::CellRec&& rec, const sheet::ValueContext& values);
    // The same with the style already resolved (NO_STYLE: none).
    [[nodiscard]] Result<void> place_value(sheet::CellRec&& rec, uint32_t style, const sheet::ValueContext& values);
    // Placement of a decoded kind and payload: appended to the compact area
    // when in order, else an overflow entry; a repeated cell is replaced.
    [[nodiscard]] Ref place(Key key, Kind kind, uint64_t v, uint8_t dtype, uint32_t style);
    // A UTF-8 text interned in the text buffer (Text), or held as a str
    // when longer than 16,777,215 bytes (PyValue).
    [[nodiscard]] Result<std::pair<Kind, uint64_t>> store_text(std::string_view text);
    // Loading is over: the value context (shared strings, epoch, masters)
    // moves in, buffers are cut to size, the loading-only maps go.
    void finish_loading(sheet::ValueContext values);
    // Loading failed partway (memory ran out): no cells, native mode, not
    // loading; what was placed is released.
    void abandon_loading() noexcept;

    // --- Materialisation (materialize.cpp)

    [[nodiscard]] Result<Ref> value_obj(const Loc& loc);
    // The cell's Cell, made on first access and kept (kind Object).
    [[nodiscard]] Result<Ref> materialize(const Loc& loc);
    // _row: the items of columns min_col..max_col of `row`, and whether a
    // missing cell was created: for cells, each missing one is created
    // empty; for values, a missing one gives None and nothing is created.
    [[nodiscard]] Result<std::pair<Ref, bool>> row_items(uint32_t row, uint32_t min_col, uint32_t max_col,
                                                         bool values_only);

    // --- Inspection (store.cpp)

    struct Stats {
        uint32_t cells, materialized;
        size_t templates, text_bytes;
    };
    Stats stats() const noexcept;
    struct Bounds {
        uint32_t min_row, max_row, min_col, max_col;
        // `b` grown to take in the cell at (row, column).
        static void widen(std::optional<Bounds>& b, uint32_t row, uint32_t column) noexcept;
    };
    std::optional<Bounds> bounds() const noexcept;
    // The bounds of the cells that hold a value: neither None nor an empty
    // str, as the package's dict of Cells would be judged. Cells held as
    // objects are asked for their value, shared strings looked up.
    [[nodiscard]] Result<std::optional<Bounds>> value_bounds();
    // Native bytes held (the store's own accounting, for benchmarks).
    size_t bytes() const noexcept;

    // Every Python reference held, for the garbage collector.
    template <class F>
    void visit(F&& f) const {
        f(ws_.get());
        f(cell_styles_.get());
        f(dict_.get());
        for (const Ref& o : objects_)
            f(o.get());
        if (values_)
            values_->visit(f);
        for (const ExtraDtype& d : extra_dtypes_)
            f(d.obj.get());
        for (const Ref& o : style_cache_)
            f(o.get());
        f(row_obj_.get());
        if (cell_class_)
            cell_class_->visit(f);
        if (dt_)
            dt_->visit(f);
    }
    // The garbage collector's clear: an empty store, the old one handed back.
    [[nodiscard]] CellStore drop_refs() noexcept;

private:
    // The cursor walks the areas and decodes records itself.
    friend class RowCursor;

    // The live overflow cells sorted by key.
    std::vector<std::pair<uint64_t, Loc>> gen_sorted() const;
    // The date of a date cell under the workbook's epoch (nothing when it is
    // none, or the package converts dates).
    std::optional<DateResult> excel_date(const Entry& e) const noexcept;
    // The text of a formula cell (kinds 8, 9, 13), rendered into the
    // thread's scratch buffer; valid until the next rendering.
    [[nodiscard]] Result<std::string_view> formula_text(const Entry& e) const;
    // The UTF-8 text of a data-type code; none when the code's data type is
    // not a str that has one.
    std::optional<std::string_view> dtype_text(uint8_t code) const noexcept;
    // The key of compact record `i`; `slot` caches the row of the last one.
    Key record_key(uint32_t i, size_t& slot) const noexcept;
    // f(row, column, loc) for every live cell, compact records first; a
    // false from f ends the walk.
    template <class F>
    void each_live(F&& f) const {
        for (size_t slot = 0; slot < base_.row_count(); ++slot) {
            uint32_t row = base_.row_at(slot);
            for (uint32_t i = base_.row_first(slot); i < base_.row_end(slot); ++i) {
                const Rec& r = base_.rec(i);
                if (r.kind != Kind::Removed && !f(row, uint32_t{r.column}, Loc{Loc::Area::Compact, i, row}))
                    return;
            }
        }
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            if (e.kind != Kind::Removed && !f(e.row, e.column, Loc{Loc::Area::Overflow, i, 0}))
                return;
        }
    }
    uint32_t put_obj(Ref obj);
    [[nodiscard]] Ref take_payload(Kind kind, uint64_t payload) noexcept;
    void set_payload(const Loc& loc, Kind kind, uint32_t payload) noexcept;
    Loc add_entry(const Entry& e);
    void compact_overflow();
    [[nodiscard]] Result<uint8_t> dtype_code(const sheet::CellRec& rec);
    [[nodiscard]] Result<std::pair<Kind, uint64_t>> value_payload(sheet::CellRec& rec, const sheet::ValueContext& values);
    [[nodiscard]] Result<Ref> value_of(const Entry& e);
    [[nodiscard]] Result<Ref> style_array(uint32_t style);
    [[nodiscard]] Result<Ref> make_cell(const Entry& e, Ref value);
    [[nodiscard]] Result<bool> holds_value(const Entry& e, std::vector<uint8_t>& strings_seen);
    Ref row_int(uint32_t row);
    PyObject* dtype_str(uint8_t code) const noexcept;

    // The compact area and the overflow area.
    Base base_;
    uint32_t live_compact_ = 0;
    std::vector<Entry> entries_;
    std::unordered_map<uint64_t, uint32_t, FxWord> key_map_;
    uint32_t live_overflow_ = 0;
    // The object table: emptied slots are reused, newest first.
    std::vector<Ref> objects_;
    std::vector<uint32_t> free_slots_;
    // Texts back to back, and (while loading) text hash -> text reference.
    std::string text_;
    std::unordered_map<uint64_t, uint64_t, FxWord> text_index_;
    ftemplate::TemplateSet templates_;
    // A data type beyond the seven, as given, and its text for the writer,
    // taken once here rather than per cell written.
    struct ExtraDtype {
        Ref obj;
        std::optional<std::string> text;
    };
    std::vector<ExtraDtype> extra_dtypes_;
    // Per style id: the argument tuple ("i", cell_styles[id]) of its arrays.
    std::vector<Ref> style_cache_;
    // Installed by the loader.
    Ref ws_;
    Ref cell_styles_;
    Py_ssize_t styles_len_ = 0;
    std::optional<CellClass> cell_class_;
    std::optional<DT> dt_;
    newfunc array_new_ = nullptr;  // array.array's constructor
    std::optional<sheet::ValueContext> values_;
    // Dict mode.
    Ref dict_;
    // The Python int of the last row number a Cell was made for.
    Ref row_obj_;
    uint32_t row_obj_value_ = 0;
    uint64_t generation_ = 0;
    bool loading_ = false;
};

// Makes this thread's scratch buffer for formula texts (see module_exec).
void touch_scratch() noexcept;

}  // namespace vlm::store
