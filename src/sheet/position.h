// Where a cell without a reference goes: the row and column counters of a
// sheet, by the package's rules. A row without `r` is the one after the last
// row; a cell without `r` (or with an empty one) takes the column after the
// last cell of its row; a cell with a reference moves the column counter to
// it. Every path that places cells (the byte paths and the event path) goes
// through here, so they cannot disagree. Counting past the sheet's bounds
// is declined: the package refuses such a sheet.
#pragma once

#include "host/error.h"
#include "sheet/messages.h"
#include "utils/coord.h"

#include <cstdint>
#include <optional>

namespace vlm::sheet {

class Position {
public:
    int64_t row() const noexcept { return row_; }

    // Whether a row number read as plain digits is one a sheet holds; any
    // other is the package's row_index to judge (it refuses them).
    static bool valid_row(int64_t row) noexcept { return row >= 1 && row <= MAX_SHEET_ROW; }

    // A row with its number given; its cells start again from column 0.
    void start_row(int64_t row) noexcept {
        row_ = row;
        col_ = 0;
    }
    // A row without a number.
    [[nodiscard]] Result<void> start_next_row() noexcept {
        if (row_ >= MAX_SHEET_ROW)
            return unsupported(msg::ROW_INDEX);
        start_row(row_ + 1);
        return {};
    }

    // The column a cell without a reference would take; nothing past the last.
    std::optional<int64_t> next_column() const noexcept {
        if (col_ >= MAX_SHEET_COLUMN)
            return std::nullopt;
        return col_ + 1;
    }
    // The same, as the event path reports it.
    [[nodiscard]] Result<int64_t> take_next_column() noexcept {
        if (col_ >= MAX_SHEET_COLUMN)
            return unsupported(msg::COLUMN_INDEX);
        return ++col_;
    }
    // A cell placed at `column` (by its reference or by next_column).
    void place(int64_t column) noexcept { col_ = column; }

private:
    int64_t row_ = 0, col_ = 0;
};

}  // namespace vlm::sheet
