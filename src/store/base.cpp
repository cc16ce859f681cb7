// The compact area: encoding into 10-byte records and lookup by binary search.
#include "store/base.h"

#include <algorithm>

namespace vlm::store {

namespace {

constexpr uint64_t WIDE_LIMIT = 0xFFFFFFFF;

bool in_wide(Kind k) noexcept {
    return k == Kind::Int || k == Kind::Float || k == Kind::Text || k == Kind::DateInt || k == Kind::DateFloat;
}

}  // namespace

bool Base::can_append(uint32_t row, uint32_t column) const noexcept {
    if (column > MAX_COMPACT_COLUMN || wide_.size() >= WIDE_LIMIT)
        return false;
    if (rows_.empty() || row > rows_.back())
        return true;
    return row == rows_.back() && column > recs_[recs_.size() - 1].column;
}

// Integers that fit in 32 bits are kept in the record itself (Int32); the
// other wide kinds take a pool slot, texts one slot per distinct reference.
Base::Packed Base::encode(Kind kind, uint64_t v) {
    if (kind == Kind::Int) {
        auto i = static_cast<int64_t>(v);
        if (i >= INT32_MIN && i <= INT32_MAX)
            return {Kind::Int32, static_cast<uint32_t>(static_cast<int32_t>(i))};
    }
    if (!in_wide(kind))
        return {kind, static_cast<uint32_t>(v)};
    if (kind == Kind::Text) {
        auto [at, fresh] = wide_dedupe_.try_emplace(v, static_cast<uint32_t>(wide_.size()));
        if (!fresh)
            return {kind, at->second};
    }
    wide_.push(v);
    return {kind, static_cast<uint32_t>(wide_.size() - 1)};
}

void Base::set_style(uint32_t index, uint32_t style) {
    if (style >= STYLE_ESCAPE) {
        recs_[index].style = STYLE_ESCAPE;
        style_side_[index] = style;
    } else {
        recs_[index].style = static_cast<uint16_t>(style);
        style_side_.erase(index);
    }
}

void Base::append(uint32_t row, uint32_t column, Kind kind, uint64_t v, uint8_t dtype, uint32_t style) {
    VLM_ASSERT(can_append(row, column));
    if (rows_.empty() || row != rows_.back()) {
        if (row_starts_.empty())
            row_starts_.push_back(0);
        rows_.push_back(row);
        row_starts_.push_back(static_cast<uint32_t>(recs_.size()));
    }
    Packed p = encode(kind, v);
    recs_.push(Rec{static_cast<uint16_t>(column), p.kind, dtype, 0, p.payload});
    auto index = static_cast<uint32_t>(recs_.size() - 1);
    set_style(index, style);
    row_starts_.back() = index + 1;
}

void Base::overwrite(uint32_t index, Kind kind, uint64_t v, uint8_t dtype, uint32_t style) {
    Packed p = encode(kind, v);
    Rec& r = recs_[index];
    r.kind = p.kind;
    r.payload = p.payload;
    r.dtype = dtype;
    set_style(index, style);
}

std::optional<size_t> Base::find_row(uint32_t row) const noexcept {
    if (rows_.empty() || row < rows_.front())
        return std::nullopt;
    // Dense sheets: row r is at slot r - first.
    size_t guess = row - rows_.front();
    if (guess < rows_.size() && rows_[guess] == row)
        return guess;
    auto at = std::lower_bound(rows_.begin(), rows_.end(), row);
    if (at == rows_.end() || *at != row)
        return std::nullopt;
    return static_cast<size_t>(at - rows_.begin());
}

std::optional<Loc> Base::find(uint32_t row, uint32_t column) const noexcept {
    if (column > MAX_COMPACT_COLUMN)
        return std::nullopt;
    std::optional<size_t> slot = find_row(row);
    if (!slot)
        return std::nullopt;
    uint32_t lo = row_starts_[*slot], hi = row_starts_[*slot + 1];
    uint32_t first = recs_[lo].column;
    uint32_t guess = lo + (column - first);
    uint32_t found = hi;
    if (column >= first && guess < hi && recs_[guess].column == column) {
        found = guess;
    } else {
        while (lo < hi) {
            uint32_t mid = lo + (hi - lo) / 2;
            if (recs_[mid].column < column)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo < row_starts_[*slot + 1] && recs_[lo].column == column)
            found = lo;
    }
    if (found == row_starts_[*slot + 1] || recs_[found].kind == Kind::Removed)
        return std::nullopt;
    return Loc{Loc::Area::Compact, found, row};
}

size_t Base::row_slot(uint32_t index) const noexcept {
    // The last start not greater than index; starts of empty rows never occur.
    auto at = std::upper_bound(row_starts_.begin(), row_starts_.end() - 1, index);
    return static_cast<size_t>(at - row_starts_.begin()) - 1;
}

Entry Base::decode(uint32_t index, uint32_t row) const noexcept {
    const Rec& r = recs_[index];
    VLM_ASSERT(r.kind != Kind::Removed);
    Entry e{r.column, row, r.payload, r.style, r.kind, r.dtype};
    if (r.kind == Kind::Int32) {
        e.kind = Kind::Int;
        e.payload = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(r.payload)));
    } else if (in_wide(r.kind)) {
        e.payload = wide_[r.payload];
    }
    if (r.style == STYLE_ESCAPE) {
        auto at = style_side_.find(index);
        VLM_ASSERT(at != style_side_.end());
        e.style = at->second;
    }
    return e;
}

void Base::shrink() {
    rows_.shrink_to_fit();
    row_starts_.shrink_to_fit();
    recs_.shrink();
    wide_.shrink();
    wide_dedupe_ = {};
}

void Base::reset() {
    rows_ = {};
    row_starts_ = {};
    recs_.clear();
    wide_.clear();
    style_side_ = {};
    wide_dedupe_ = {};
}

size_t Base::bytes() const noexcept {
    // A node of an unordered map: the pair, the next pointer and the hash.
    constexpr size_t NODE = 2 * sizeof(void*) + 16;
    return (rows_.capacity() + row_starts_.capacity()) * sizeof(uint32_t) + recs_.bytes() + wide_.bytes() +
           style_side_.size() * NODE + style_side_.bucket_count() * sizeof(void*) +
           wide_dedupe_.size() * NODE + wide_dedupe_.bucket_count() * sizeof(void*);
}

}  // namespace vlm::store
