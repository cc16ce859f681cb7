// Base: the compact area of the store, filled by the loader in row-major
// order. Rows that have records are listed once (`rows`), each with the index
// of its first record (`row_starts`, one element longer, ending at the record
// total); records of a row are in ascending column order. Values that do not
// fit a record's 32 bits (floats, dates, wide integers, text references) live
// in the `wide` pool; identical text references share one pool slot.
#pragma once

#include "store/record.h"
#include "utils/fxhash.h"

#include <optional>
#include <unordered_map>

namespace vlm::store {

class Base {
public:
    // Whether a cell at (row, column) may be appended: it comes after the
    // last record in row-major order, its column fits, and the pool has room.
    bool can_append(uint32_t row, uint32_t column) const noexcept;
    // Appends a record for a decoded kind and payload (v) and style.
    void append(uint32_t row, uint32_t column, Kind kind, uint64_t v, uint8_t dtype, uint32_t style);
    // Re-encodes record `index` in place: a cell the sheet names twice.
    void overwrite(uint32_t index, Kind kind, uint64_t v, uint8_t dtype, uint32_t style);

    // The live record of (row, column), if any: two binary searches, each
    // first trying the slot a dense sheet would put it in.
    std::optional<Loc> find(uint32_t row, uint32_t column) const noexcept;
    // The record's cell in the uniform decoded shape.
    Entry decode(uint32_t index, uint32_t row) const noexcept;
    // The position in `rows` of the row holding record `index`.
    size_t row_slot(uint32_t index) const noexcept;

    Rec& rec(uint32_t index) noexcept { return recs_[index]; }
    const Rec& rec(uint32_t index) const noexcept { return recs_[index]; }
    uint32_t record_count() const noexcept { return static_cast<uint32_t>(recs_.size()); }
    size_t row_count() const noexcept { return rows_.size(); }
    uint32_t row_at(size_t slot) const noexcept { return rows_[slot]; }
    // Records of rows_[slot] are [first, end).
    uint32_t row_first(size_t slot) const noexcept { return row_starts_[slot]; }
    uint32_t row_end(size_t slot) const noexcept { return row_starts_[slot + 1]; }
    std::optional<size_t> find_row(uint32_t row) const noexcept;

    // Loading is over: every sequence cut to its length, the dedupe map gone.
    void shrink();
    void reset();
    size_t bytes() const noexcept;

private:
    struct Packed {
        Kind kind;
        uint32_t payload;
    };
    Packed encode(Kind kind, uint64_t v);
    void set_style(uint32_t index, uint32_t style);

    std::vector<uint32_t> rows_;
    std::vector<uint32_t> row_starts_;
    ChunkVec<Rec> recs_;
    ChunkVec<uint64_t> wide_;
    // Styles of records whose style field is STYLE_ESCAPE (ids of 65,535 and
    // more, and no style at all).
    std::unordered_map<uint32_t, uint32_t> style_side_;
    // Text reference -> its slot in `wide`, while loading.
    std::unordered_map<uint64_t, uint32_t, FxWord> wide_dedupe_;
};

}  // namespace vlm::store
