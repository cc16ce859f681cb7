// SheetWriter: a worksheet's <sheetData> written byte for byte as the
// package's own writer writes it, in either of its serialisers (see
// escape.h), from cell objects, from a plain dict of cells, or straight
// from a CellStore's records. A cell whose output is not reproduced here is
// declined and its text asked of the package's `write_cell` helper, so the
// output stays the package's in every case.
//
// The output is collected in one buffer reserved at construction and handed
// to the package's `write` callable in chunks of about 1 MiB, at row ends.
#pragma once

#include "dates/dates.h"
#include "host/error.h"
#include "writer/classify.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vlm::store {
class RowCursor;
}  // namespace vlm::store

namespace vlm::writer {

// The keys of a row_dimensions mapping, sorted; nothing when one is not
// an exact 64-bit int. Errors of keys() and of the iteration propagate.
[[nodiscard]] Result<std::optional<std::vector<int64_t>>> row_dim_keys(PyObject* row_dims);

// row_dims.get(row): a row's attributes, or None.
[[nodiscard]] Result<Ref> row_attrs(PyObject* row_dims, int64_t row);

// The package's helpers the writer calls, in the order make() looks them up
// in the `helpers` dict (missing one: TypeError "missing helper KEY").
enum class WriterHelper : unsigned char { StyleArray, AddComment, WriteCell, DateValue, SafeString };
inline constexpr size_t WRITER_HELPER_COUNT = 5;
inline constexpr const char* WRITER_HELPER_KEYS[WRITER_HELPER_COUNT] = {
    "StyleArray", "add_comment", "write_cell", "date_value", "safe_string"};

// The buffer is handed over once it holds this much, at a row end.
inline constexpr size_t FLUSH_AT = size_t{1} << 20;

class SheetWriter {
public:
    // Reads what the writer needs from `ws`, `ws.parent` and `helpers` (a
    // dict), in a fixed order; the first failure propagates.
    [[nodiscard]] static Result<SheetWriter> make(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers);

    // The whole <sheetData> element; `rows_fallback` is the package's row
    // grouping, used when the cells are not in a form read natively.
    [[nodiscard]] Result<void> write_sheet_data(PyObject* rows_fallback);
    // One <row> of a write-only sheet. On failure the buffer is cut back to
    // where the row began, so no half row ever reaches `write`.
    [[nodiscard]] Result<void> write_row(PyObject* cells, int64_t row);
    // The same from the values of a new row (None: no cell), with no Cell
    // made for a number, a bool or a str: they are written as the cell
    // `make_cell(row, column, value)` would be, which is asked for every
    // other value. The highest column written to, or 0.
    // `styles`, a tuple or null: item i, a str or None, is the s attribute
    // of the cell make_cell would make of the value at position i.
    [[nodiscard]] Result<int64_t> write_values(PyObject* values, int64_t row, PyObject* make_cell,
                                               PyObject* styles = nullptr);
    // Hands whatever is buffered to `write`.
    [[nodiscard]] Result<void> flush_buf();

    template <class F>
    void visit(F&& f) const {
        for (const Ref* r : {&ws_, &write_, &cell_styles_, &hyperlinks_})
            f(r->get());
        helpers_.visit(f);
        for (const auto& [key, id] : style_cache_)
            f(id.get());
    }

private:
    SheetWriter() = default;

    enum class Outcome : unsigned char { Written, Declined };
    // What `emit` writes into the <c> element.
    struct CellOut {
        int64_t row, column;
        std::string_view dtype;
        std::optional<std::string_view> t, s;
        const Classified* value;
        PyObject* link;  // borrowed, or null
    };

    // The optional helpers: the number formats that show dates, and the
    // values formulas were saved with (writer.cpp)
    [[nodiscard]] Result<void> read_date_formats(PyObject* helpers);
    [[nodiscard]] Result<void> read_formula_values(PyObject* helpers);

    // The cell styles (writer.cpp)
    [[nodiscard]] Result<bool> has_style(PyObject* style);
    // Whether a cell style's number format shows a date, a time or a
    // duration; false for a style that is no plain style array.
    bool shows_date(PyObject* style) const noexcept;
    [[nodiscard]] Result<Ref> style_id(PyObject* style);
    // str(id) of a style id into `out`.
    [[nodiscard]] Result<void> id_text(PyObject* id, std::string& out);

    // Cells and rows (writer.cpp)
    [[nodiscard]] Result<void> write_one(PyObject* cell);
    // Every cell an iterable gives, with write_one.
    [[nodiscard]] Result<void> write_cells(PyObject* cells);
    [[nodiscard]] Result<Outcome> emit(const CellOut& c);
    [[nodiscard]] Result<void> push_fallback(PyObject* cell, bool styled);
    // One value of write_values in a cell without link or comment, of
    // style `s` (none: unstyled); false when it is left to a Cell.
    [[nodiscard]] Result<bool> write_plain(int64_t row, int64_t column, PyObject* value,
                                           std::optional<std::string_view> s);
    // write_row's and write_values' frame: the row start, `cells`, the end
    // tag, the whole row or nothing.
    template <class F>
    [[nodiscard]] Result<void> framed_row(int64_t row, F&& cells);
    [[nodiscard]] Result<void> row_start(int64_t row, PyObject* attrs);
    [[nodiscard]] Result<void> row_start_attrs(PyObject* row_text, PyObject* attrs);
    [[nodiscard]] Result<void> row_end();

    // Whole sheets (sheet_data.cpp)
    [[nodiscard]] Result<bool> write_dict(PyObject* cells, PyObject* row_dims);
    [[nodiscard]] Result<void> write_fallback(PyObject* rows_fallback, PyObject* row_dims);

    // The store path (store_rows.cpp): a style id's s text, resolved once
    // per sheet.
    struct StoreStyle {
        bool resolved = false, styled = false, date = false;
        std::string s;
    };
    [[nodiscard]] Result<void> write_store(store::RowCursor& cursor, PyObject* row_dims);
    [[nodiscard]] Result<void> store_cell(store::RowCursor& cursor, size_t k);
    [[nodiscard]] Result<const StoreStyle*> store_style(store::RowCursor& cursor, uint32_t id);

    // A formula's saved value: the formula it belongs to (the cell's value,
    // "=" first), the cell's t (none for a number) and the <v> text; not
    // `encoded` when a text held lone surrogates (the package refuses it).
    struct Saved {
        std::string formula, t, text;
        bool has_t = false, encoded = true;
    };
    static uint64_t cell_key(int64_t row, int64_t column) noexcept {
        return static_cast<uint64_t>(row) << 16 | static_cast<uint64_t>(column);
    }

    PyObject* helper(WriterHelper h) const noexcept { return helpers_.get(static_cast<size_t>(h)); }
    PyTypeObject* style_array_type() const noexcept {
        return reinterpret_cast<PyTypeObject*>(helper(WriterHelper::StyleArray));
    }

    std::string buf_;
    std::optional<Epoch> epoch_;
    Ref ws_, write_, cell_styles_, hyperlinks_;
    RefArray<WRITER_HELPER_COUNT> helpers_;
    bool lxml_ = false;
    bool iso_dates_ = false;

    struct StyleHash {
        size_t operator()(const std::array<int32_t, 9>& a) const noexcept {
            uint64_t h = 0;
            for (int32_t v : a)
                h = (h ^ static_cast<uint32_t>(v)) * 0x100000001B3ull;
            return static_cast<size_t>(h);
        }
    };
    // The nine integers of a style array -> the id `add` gave for them.
    std::unordered_map<std::array<int32_t, 9>, Ref, StyleHash> style_cache_;
    // Number format ids that show a date, a time or a duration, sorted: a
    // "d" cell under any other format is the package's to write (it gives
    // the cell a date format).
    std::vector<int32_t> date_formats_;
    std::unordered_map<uint64_t, Saved> saved_;
    // Scratch for the text of one cell's attributes, and for a text with
    // its escape-shaped underscores escaped.
    std::string s_text_, dtype_text_, escaped_;
    // The store path's style ids: below 65,536 by index, the rest by key.
    std::vector<StoreStyle> store_styles_;
    std::unordered_map<uint32_t, StoreStyle> wide_store_styles_;
};

}  // namespace vlm::writer
