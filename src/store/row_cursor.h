// RowCursor: a CellStore's cells row by row in ascending order, for a job
// that writes a worksheet out straight from the records (the sheet writer).
// The loaded rows, the cells added since and the rows that exist only for
// their attributes come merged; within a row the cells are in column order.
//
// The job calls into Python between looks at the store (helpers, the
// styles), and that code may reach the store. So every look goes through
// the store's borrow, and declines once the store's cells changed since the
// cursor opened: the places it walks would be stale. Reading a record or a
// value only checks the borrow (neither touches the store after any Python
// code it may run); making a Cell, which does, holds it while it runs.
#pragma once

#include "dates/dates.h"
#include "host/error.h"
#include "store/record.h"

#include <optional>
#include <string_view>
#include <vector>

namespace vlm::store {

// One cell's record, as far as a writer needs it before its value.
struct CellRecord {
    uint32_t row, column;
    uint32_t style;  // NO_STYLE: none
    // The cell is held as its own Cell object (cell() hands it over as is).
    bool object;
    // Its value is None.
    bool empty;
    // The data type's UTF-8 text; none when it is not a str that has one.
    std::optional<std::string_view> dtype;
    // The record as read, decoded once for native() and value().
    Entry entry;
};

// A cell's value in native form, where the store holds one.
struct NativeValue {
    enum class Form : uint8_t {
        Int,
        Float,
        Bool,
        Text,   // a text, or a formula rendered at its cell
        Date,   // a stored serial date under the workbook's epoch
        Other,  // only its Python object says (value())
    };
    Form form = Form::Other;
    int64_t i = 0;  // Int; Bool as 0 or 1
    double f = 0;
    // Text: valid until the next native() or until Python code runs.
    std::string_view text;
    DateResult date{};
};

class CellStore;

class RowCursor {
public:
    // Whether `obj` is a CellStore in native mode, which a cursor walks.
    static bool walks(PyObject* obj) noexcept;
    // The cursor over `store`, its rows merged with `attr_rows` (sorted:
    // the rows that have attributes); nothing when walks() says no.
    static std::optional<RowCursor> open(PyObject* store, std::vector<int64_t> attr_rows);

    struct Row {
        int64_t number;
        bool has_attrs;
        size_t cells;
    };
    // The next row that has cells or attributes; nothing after the last.
    [[nodiscard]] Result<std::optional<Row>> next_row();

    // The record of cell k (below Row::cells) of the current row, kept in
    // the cursor until the next one is read.
    [[nodiscard]] Result<const CellRecord*> record(size_t k);
    // The value of the record last read, before any Python code ran since
    // (a Cell made meanwhile would have taken its value over): in native
    // form, and as the package sees it.
    [[nodiscard]] Result<const NativeValue*> native();
    [[nodiscard]] Result<Ref> value();
    // Cell k's Cell: the one it is held as, or one made now and kept from
    // now on.
    [[nodiscard]] Result<Ref> cell(size_t k);

    // The loader's cell style of a style id: cell_styles[id].
    [[nodiscard]] Result<Ref> style(uint32_t id);

private:
    RowCursor(Ref store, std::vector<int64_t> attr_rows, uint64_t generation,
              std::vector<std::pair<uint64_t, Loc>> overflow)
        : store_(std::move(store)), attr_rows_(std::move(attr_rows)), generation_(generation),
          overflow_(std::move(overflow)) {}

    // The store for a look that runs no Python code: its borrow free to
    // share and its cells as they were.
    [[nodiscard]] Result<CellStore*> look();

    Ref store_;
    std::vector<int64_t> attr_rows_;
    uint64_t generation_;
    // The cells added since loading, by key.
    std::vector<std::pair<uint64_t, Loc>> overflow_;
    size_t slot_ = 0, next_overflow_ = 0, next_attr_ = 0;
    std::vector<Loc> row_;
    // Filled in place: a writer reads a million of them.
    CellRecord record_{};
    NativeValue native_{};
};

}  // namespace vlm::store
