// Columns of a table: their types, the chunks that collect one record
// batch of one column while a sheet is read, and the Arrow arrays those
// chunks become once the column's type is known.
//
// A column's type is decided by all its values, so chunks keep values in a
// form any type can still be made from: a 64-bit slot per row (an int64, a
// double's bits, a bool, microseconds, a shared-string index, or the number
// of a text kept with the chunk; while a chunk holds nothing but shared
// strings, their int32 indexes, the dictionary column's own form), a
// validity bit per row once a row is left without a value, and, once a
// chunk holds more than one kind of value, a tag per row saying which. The type
// rule, stated once (`infer`):
//
//   no value             -> null
//   one kind             -> that kind's type
//   integers and floats  -> float64
//   anything else mixed  -> string, each value as Python's str() writes it
//
// Shared strings stay indexes into the workbook's string table, which
// becomes the dictionary of a column holding nothing but shared strings.
#pragma once

#include "table/block.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::table {

// A column's Arrow type.
enum class Type : uint8_t { Null, Int, Float, Bool, String, Timestamp, Time, Duration };

// The kind of one value: the tag of its slot.
enum class Kind : uint8_t { Int, Float, Bool, String, Timestamp, Time, Duration };
inline constexpr int KIND_COUNT = 7;
inline constexpr uint8_t bit(Kind k) noexcept { return static_cast<uint8_t>(1u << static_cast<unsigned>(k)); }

// Arrow's format string ("l", "tsu:"), and the type's name ("int64",
// "timestamp[us]": pyarrow's, which the package maps its aliases to).
const char* arrow_format(Type t) noexcept;
const char* type_name(Type t) noexcept;
std::optional<Type> type_of_name(std::string_view name) noexcept;
// What the type rule makes of a column whose values are of the kinds in `mask`.
Type infer(uint8_t mask) noexcept;
// "int", "string", ...: a value's kind in messages.
const char* kind_name(Kind k) noexcept;

// The texts of the workbook's string table, wherever its buffers are.
struct StringsView {
    const int32_t* offsets = nullptr;
    const char* bytes = nullptr;
    std::string_view at(int64_t i) const noexcept {
        return {bytes + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i])};
    }
};

// The workbook's string table as an Arrow utf8 array's two buffers: int32
// offsets (count + 1 of them) and the UTF-8 bytes.
struct StringTable {
    int64_t count = 0;
    Block offsets;
    Block bytes;
    StringsView view() const noexcept { return {offsets.as<int32_t>(), bytes.data()}; }
};

// One column of one record batch while it is built. Rows come in order;
// each gets at most one value, and a row without one is null.
class Chunk {
public:
    // A chunk that starts with room for `rows` rows (the rows its column's
    // chunk of the batch before reached), so that a dense column grows no
    // more after its first batch.
    explicit Chunk(int64_t rows = 0) noexcept : hint_(rows) {}

    // The value of row `row` (at or after every row given before).
    void put(int64_t row, Kind k, uint64_t bits) {
        if (narrow_) [[unlikely]]
            widen();
        reserve_row(row);
        if (!(mask_ & bit(k))) [[unlikely]]
            new_kind(k);
        if (!tags_.empty())
            tags_.data()[row] = static_cast<char>(k);
        slots_.as<uint64_t>()[row] = bits;
        // A column with a value in every row so far keeps no bitmap (most
        // columns of a table are whole): the first row it skips makes one.
        if (values_ != row || !valid_.empty()) [[unlikely]]
            mark_valid(row);
        ++values_;
        length_ = row + 1;
    }
    // A shared string's index. A chunk holding nothing else keeps four
    // bytes a row, as the dictionary column made from it does: the
    // commonest column of text is built in its final form.
    void put_index(int64_t row, int64_t index) {
        if (!narrow_ || index > INT32_MAX) [[unlikely]]
            return put(row, Kind::String, static_cast<uint64_t>(index));
        reserve_row(row);
        mask_ = bit(Kind::String);
        slots_.as<uint32_t>()[row] = static_cast<uint32_t>(index);
        if (values_ != row || !valid_.empty()) [[unlikely]]
            mark_valid(row);
        ++values_;
        length_ = row + 1;
    }
    // A text of the chunk's own (an inline string, a formula's text result,
    // an error's text): kept here, the slot numbering it.
    void put_text(int64_t row, std::string_view text);
    // The rows up to `length` (those without a value are null), with room
    // in the blocks for all of them: Arrow reads a value for a null row too.
    void extend(int64_t length) {
        if (length > length_)
            length_ = length;
        if (length && values_) {
            reserve_row(length - 1);
            if (values_ < length_ && valid_.empty())
                bitmap();
        }
    }

    int64_t length() const noexcept { return length_; }
    // Rows the chunk has room for.
    int64_t capacity() const noexcept { return static_cast<int64_t>(slots_.capacity() / width()); }
    int64_t values() const noexcept { return values_; }
    uint8_t mask() const noexcept { return mask_; }
    // Whether every string is a shared one (the column may stay a dictionary).
    bool shared_only() const noexcept { return texts_.empty(); }
    size_t memory() const noexcept {
        return slots_.capacity() + valid_.capacity() + tags_.capacity() + text_.capacity() +
               texts_.capacity() * sizeof(uint64_t);
    }

    // Reading back, for the conversion.
    bool valid(int64_t row) const noexcept {
        if (valid_.empty())
            return row < values_;  // no bitmap: rows 0 to values_ - 1 hold one each
        return (valid_.as<uint8_t>()[row >> 3] >> (row & 7)) & 1;
    }
    Kind kind(int64_t row) const noexcept;
    uint64_t slot(int64_t row) const noexcept {
        return narrow_ ? slots_.as<uint32_t>()[row] : slots_.as<uint64_t>()[row];
    }
    // The slots, 64 bits each (a narrow chunk widened first).
    uint64_t* slots() noexcept {
        if (narrow_)
            widen();
        return slots_.as<uint64_t>();
    }
    // Whether the slots are shared strings' int32 indexes (see put_index).
    bool narrow() const noexcept { return narrow_; }
    // The text a String slot numbers when it is not a shared index.
    std::string_view text(uint64_t slot) const noexcept;

    // The blocks, handed over to the arrays made from them (the bitmap is
    // there once a row is null: see extend).
    Block take_slots() noexcept { return std::move(slots_); }
    Block take_valid() noexcept { return std::move(valid_); }
    Block take_text() noexcept { return std::move(text_); }
    const std::vector<uint64_t>& text_ends() const noexcept { return texts_; }

private:
    size_t width() const noexcept { return narrow_ ? 4 : 8; }
    void reserve_row(int64_t row) {
        size_t need = static_cast<size_t>(row) + 1;
        if (need * width() > slots_.capacity()) [[unlikely]]
            grow(need);
    }
    // The slots made 64 bits each, as any value but a shared string's
    // index needs.
    void widen();
    void grow(size_t rows);
    void new_kind(Kind k);
    // The bitmap of a column that had a value in every row so far, made
    // when one is skipped; then row `row` marked.
    void bitmap();
    void mark_valid(int64_t row);

    int64_t length_ = 0, values_ = 0, hint_ = 0;
    uint8_t mask_ = 0;
    bool narrow_ = true;  // slots of 32 bits (until a value other than a shared index)
    Block slots_, valid_, tags_;
    Block text_;                  // the chunk's own texts, back to back
    size_t text_size_ = 0;
    std::vector<uint64_t> texts_;  // where each ends in text_
};

// A String slot: a shared-string index, or (top bit set) the number of one
// of the chunk's own texts.
inline constexpr uint64_t OWN_TEXT = uint64_t{1} << 63;

// One column of one batch, as Arrow lays it out: validity bitmap (none when
// every row is valid), values (or offsets), data (the bytes of strings).
struct Array {
    int64_t length = 0, null_count = 0;
    SharedBlock validity, values, data;
    // The string table, for a dictionary column: the values are int32
    // indexes into it.
    std::shared_ptr<const Array> dictionary;
};

// Why a chunk was not made into an array: a value the column's type cannot
// take (where it stands, for the message), or text beyond what one batch's
// int32 offsets reach.
struct Refused {
    enum class Why : uint8_t { None, Type, TooLarge };
    Why why = Why::None;
    int64_t row = 0;  // in the chunk
    Kind kind = Kind::Int;
    explicit operator bool() const noexcept { return why != Why::None; }
};

// What a column of type `type` makes of a chunk of `length` rows (the
// batch's: trailing rows without a value are null). `dictionary` is the
// string table as an array, when the column is a dictionary one. `zeros` is
// a zero block at least 8 * length + 8 bytes long, shared by every chunk
// without a value. A value the type cannot take (only where the caller
// named the type), or text too large, is reported in `refused`, and
// nothing is made.
std::shared_ptr<const Array> convert(Chunk& chunk, int64_t length, Type type, bool dictionary,
                                     const StringsView& strings,
                                     const std::shared_ptr<const Array>& table_array,
                                     const SharedBlock& zeros, Refused& refused);

// The string table as an array of its own (the dictionary of the columns
// that keep shared strings as indexes), and its texts read there.
std::shared_ptr<const Array> string_table_array(StringTable&& strings);
StringsView view_of(const Array& table) noexcept;

// The text of a value (Python's str()), appended.
void append_text(std::string& out, const Chunk& chunk, int64_t row, const StringsView& strings);

}  // namespace vlm::table
