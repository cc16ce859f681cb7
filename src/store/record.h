// What one cell of the store is made of: the 10-byte compact record of the
// row-indexed area the loader fills, the overflow entry of everything else,
// the decoded form every reader of the store goes through, and ChunkVec, the
// growable sequence whose elements never move.
//
// A key is the 64-bit number row << 32 | column; rows and columns are both
// 0..4,294,967,295 and only columns below 65,536 fit in a compact record.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "utils/check.h"

namespace vlm::store {

// How a payload is read. Int32 exists only inside compact records and
// decodes as Int.
enum class Kind : uint8_t {
    Removed = 0,       // tombstone
    Object = 1,        // the object-table slot of the cell's own Cell
    None = 2,
    Int = 3,           // signed 64-bit value
    Float = 4,         // double bits
    Bool = 5,          // 0 False, else True
    SharedString = 6,  // index into the shared strings
    Text = 7,          // packed text reference (below)
    SharedAtCell = 8,  // shared-formula master translated to this cell
    SharedPlain = 9,   // shared-formula master without a target cell
    DateInt = 10,      // integral serial
    DateFloat = 11,    // fractional serial, double bits
    PyValue = 12,      // object-table slot of any Python value
    Template = 13,     // template index
    Int32 = 100,       // compact only: the value itself, sign-extended on decode
};

// Data-type codes 0..6 are "n", "s", "f", "b", "e", "d", "inlineStr" (the
// DT strings); 7.. index the store's extra data-type strings.
inline constexpr uint8_t DTYPE_EXTRA = 7;
inline constexpr size_t MAX_EXTRA_DTYPES = 248;

inline constexpr uint32_t NO_STYLE = 0xFFFFFFFF;
// A compact record's style field saying "look in the side map".
inline constexpr uint16_t STYLE_ESCAPE = 0xFFFF;
inline constexpr uint32_t MAX_COMPACT_COLUMN = 0xFFFF;

// A text in the text buffer: bits 0-23 its byte length, 24-63 its offset.
//   text_ref(5, 1000) == 5 | 1000 << 24
inline constexpr uint64_t MAX_TEXT = 0xFFFFFF;
inline constexpr uint64_t text_ref(uint64_t len, uint64_t off) noexcept { return len | off << 24; }
inline constexpr uint64_t text_len(uint64_t ref) noexcept { return ref & MAX_TEXT; }
inline constexpr uint64_t text_off(uint64_t ref) noexcept { return ref >> 24; }

inline constexpr uint64_t cell_key(uint32_t row, uint32_t column) noexcept {
    return uint64_t{row} << 32 | column;
}

// A compact record; its row is implied by where it stands.
struct [[gnu::packed]] Rec {
    uint16_t column;
    Kind kind;
    uint8_t dtype;
    uint16_t style;    // STYLE_ESCAPE: in the style side map
    uint32_t payload;  // inline value or an index, by kind
};
static_assert(sizeof(Rec) == 10);

// An overflow entry, and the decoded form of any cell.
struct Entry {
    uint32_t column;
    uint32_t row;
    uint64_t payload;  // the full value: never pooled
    uint32_t style;    // NO_STYLE: none
    Kind kind;
    uint8_t dtype;
};

// Where a cell is: a compact record (index into the records, and its row)
// or an overflow entry (index into the entries).
struct Loc {
    enum class Area : uint8_t { Compact, Overflow };
    Area area;
    uint32_t index;
    uint32_t row;  // compact only
};

// A growable sequence in chunks of 65,536 elements: element i is at
// chunks[i >> 16][i & 0xFFFF]. Growth adds a chunk and never moves what is
// there, so a million records load without a large copy. shrink() trims the
// last chunk once loading is over; nothing is pushed after that.
template <class T>
class ChunkVec {
public:
    static constexpr size_t SHIFT = 16;
    static constexpr size_t CHUNK = size_t{1} << SHIFT;

    void push(const T& v) {
        VLM_ASSERT(!shrunk_);
        if ((size_ & (CHUNK - 1)) == 0)
            chunks_.push_back(std::make_unique_for_overwrite<T[]>(CHUNK));
        chunks_.back()[size_ & (CHUNK - 1)] = v;
        ++size_;
    }
    T& operator[](size_t i) noexcept {
        VLM_ASSERT(i < size_);
        return chunks_[i >> SHIFT][i & (CHUNK - 1)];
    }
    const T& operator[](size_t i) const noexcept {
        VLM_ASSERT(i < size_);
        return chunks_[i >> SHIFT][i & (CHUNK - 1)];
    }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // The last chunk cut to its length, and the chunk list to its count.
    void shrink() {
        size_t tail = size_ & (CHUNK - 1);
        if (tail != 0) {
            auto cut = std::make_unique_for_overwrite<T[]>(tail);
            std::copy_n(chunks_.back().get(), tail, cut.get());
            chunks_.back() = std::move(cut);
        }
        chunks_.shrink_to_fit();
        shrunk_ = !chunks_.empty();
    }
    void clear() noexcept {
        chunks_ = std::vector<std::unique_ptr<T[]>>();
        size_ = 0;
        shrunk_ = false;
    }
    // Bytes allocated, for the store's accounting.
    size_t bytes() const noexcept {
        size_t tail = size_ & (CHUNK - 1);
        size_t full = chunks_.size() * CHUNK;
        if (shrunk_ && tail != 0)
            full = full - CHUNK + tail;
        return full * sizeof(T) + chunks_.capacity() * sizeof(void*);
    }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
    bool shrunk_ = false;
};

}  // namespace vlm::store
