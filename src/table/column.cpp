// The type rule, chunk growth, and chunks made into Arrow arrays.
#include "table/column.h"

#include "table/text_form.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

namespace vlm::table {

namespace {

struct TypeInfo {
    Type type;
    const char* format;
    const char* name;
};

constexpr TypeInfo TYPES[] = {
    {Type::Null, "n", "null"},
    {Type::Int, "l", "int64"},
    {Type::Float, "g", "float64"},
    {Type::Bool, "b", "bool"},
    {Type::String, "u", "string"},
    {Type::Timestamp, "tsu:", "timestamp[us]"},
    {Type::Time, "ttu", "time64[us]"},
    {Type::Duration, "tDu", "duration[us]"},
};

const Type TYPE_OF_KIND[KIND_COUNT] = {Type::Int, Type::Float, Type::Bool, Type::String,
                                       Type::Timestamp, Type::Time, Type::Duration};

size_t bitmap_bytes(int64_t length) { return (static_cast<size_t>(length) + 7) / 8; }

}  // namespace

const char* arrow_format(Type t) noexcept { return TYPES[static_cast<size_t>(t)].format; }
const char* type_name(Type t) noexcept { return TYPES[static_cast<size_t>(t)].name; }

std::optional<Type> type_of_name(std::string_view name) noexcept {
    for (const TypeInfo& t : TYPES) {
        if (name == t.name && t.type != Type::Null)
            return t.type;
    }
    return std::nullopt;
}

Type infer(uint8_t mask) noexcept {
    if (mask == 0)
        return Type::Null;
    if (mask == (bit(Kind::Int) | bit(Kind::Float)))
        return Type::Float;
    if (std::has_single_bit(mask))
        return TYPE_OF_KIND[std::countr_zero(mask)];
    return Type::String;
}

const char* kind_name(Kind k) noexcept {
    static constexpr const char* NAMES[KIND_COUNT] = {"int", "float", "bool", "string", "datetime", "time",
                                                      "duration"};
    return NAMES[static_cast<size_t>(k)];
}

// --- Chunk --------------------------------------------------------------

void Chunk::grow(size_t rows) {
    // Small at first (many columns of a wide sheet hold a few values), or
    // as large as the column's chunk before; then doubling.
    size_t cap = std::max({rows, size_t{1024}, static_cast<size_t>(hint_)});
    slots_.reserve(cap * width());
    cap = slots_.capacity() / width();
    if (!valid_.empty())
        valid_.reserve((cap + 7) / 8);
    if (!tags_.empty())
        tags_.reserve(cap);
}

void Chunk::widen() {
    narrow_ = false;
    size_t rows = slots_.capacity() / 4;
    if (rows == 0)
        return;
    slots_.reserve(rows * 8);
    // From the last row down: slot r's new bytes [8r, 8r + 8) cover only
    // rows 2r and 2r + 1 of the old, already moved. Rows past the length
    // are zero either way.
    char* p = slots_.data();
    for (int64_t r = length_; r-- > 0;) {
        uint32_t v;
        std::memcpy(&v, p + 4 * r, 4);
        uint64_t w = v;
        std::memcpy(p + 8 * r, &w, 8);
    }
    if (!valid_.empty())
        valid_.reserve((rows + 7) / 8);
    if (!tags_.empty())
        tags_.reserve(rows);
}

void Chunk::bitmap() {
    size_t rows = static_cast<size_t>(values_);
    valid_.reserve((static_cast<size_t>(capacity()) + 7) / 8);
    uint8_t* bits = valid_.as<uint8_t>();
    std::memset(bits, 0xFF, rows / 8);
    if (rows % 8)
        bits[rows / 8] = static_cast<uint8_t>((1u << (rows % 8)) - 1);
}

void Chunk::mark_valid(int64_t row) {
    if (valid_.empty())
        bitmap();
    valid_.as<uint8_t>()[row >> 3] |= static_cast<uint8_t>(1u << (row & 7));
}

void Chunk::new_kind(Kind k) {
    if (mask_ && tags_.empty()) {
        // The second kind: every row so far was of the one kind before it.
        tags_.reserve(slots_.capacity() / 8);
        std::memset(tags_.data(), std::countr_zero(mask_), static_cast<size_t>(length_));
    }
    mask_ |= bit(k);
}

Kind Chunk::kind(int64_t row) const noexcept {
    if (!tags_.empty())
        return static_cast<Kind>(tags_.data()[row]);
    return static_cast<Kind>(std::countr_zero(mask_));
}

void Chunk::put_text(int64_t row, std::string_view text) {
    if (!text.empty()) {
        text_.reserve_raw(text_size_ + text.size());
        std::memcpy(text_.data() + text_size_, text.data(), text.size());
        text_size_ += text.size();
    }
    uint64_t n = texts_.size();
    texts_.push_back(text_size_);
    put(row, Kind::String, OWN_TEXT | n);
}

std::string_view Chunk::text(uint64_t slot) const noexcept {
    size_t n = static_cast<size_t>(slot & ~OWN_TEXT);
    size_t from = n ? texts_[n - 1] : 0;
    return {text_.data() + from, texts_[n] - from};
}

void append_text(std::string& out, const Chunk& chunk, int64_t row, const StringsView& strings) {
    uint64_t v = chunk.slot(row);
    switch (chunk.kind(row)) {
    case Kind::Int:
        return append_int(out, static_cast<int64_t>(v));
    case Kind::Float:
        return append_float(out, std::bit_cast<double>(v));
    case Kind::Bool:
        return append_bool(out, v != 0);
    case Kind::String:
        out += v & OWN_TEXT ? chunk.text(v) : strings.at(static_cast<int64_t>(v));
        return;
    case Kind::Timestamp:
        return append_datetime(out, static_cast<int64_t>(v));
    case Kind::Time:
        return append_time(out, static_cast<int64_t>(v));
    case Kind::Duration:
        return append_duration(out, static_cast<int64_t>(v));
    }
}

// --- Conversion ------------------------------------------------------------

namespace {

// The value of a slot in a column of `type`, when the type takes it: the
// kinds of values the rule or a caller's type may put in one column.
bool fits(Type type, Kind k, uint64_t& v) noexcept {
    switch (type) {
    case Type::Float:
        if (k == Kind::Int)
            v = std::bit_cast<uint64_t>(static_cast<double>(static_cast<int64_t>(v)));
        return k == Kind::Int || k == Kind::Float;
    case Type::Int:
        if (k == Kind::Float) {
            double d = std::bit_cast<double>(v);
            // An integral float within int64: 2^63 itself is not.
            if (!(d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0))
                return false;
            v = static_cast<uint64_t>(static_cast<int64_t>(d));
        }
        return k == Kind::Int || k == Kind::Float;
    default:
        return TYPE_OF_KIND[static_cast<size_t>(k)] == type;
    }
}

std::shared_ptr<Array> begin(const Chunk& chunk, int64_t length) {
    auto a = std::make_shared<Array>();
    a->length = length;
    a->null_count = length - chunk.values();
    return a;
}

// Fixed-width values of 8 bytes: the slots themselves, each checked and
// converted where the column's type asks.
bool fixed(Chunk& chunk, int64_t length, Type type, Array& a, Refused& refused) {
    uint64_t* slots = chunk.slots();
    uint8_t mask = chunk.mask();
    bool same = std::has_single_bit(mask) && TYPE_OF_KIND[std::countr_zero(mask)] == type;
    if (!same) {
        for (int64_t r = 0; r < chunk.length(); ++r) {
            if (chunk.valid(r) && !fits(type, chunk.kind(r), slots[r])) {
                refused = {Refused::Why::Type, r, chunk.kind(r)};
                return false;
            }
        }
    }
    if (a.null_count)
        a.validity = share(chunk.take_valid());
    a.values = share(chunk.take_slots());
    (void)length;  // the blocks hold every row already (Chunk::extend)
    return true;
}

bool booleans(Chunk& chunk, int64_t length, Array& a, Refused& refused) {
    Block bits = Block::zeroed(bitmap_bytes(length));
    uint8_t* out = bits.as<uint8_t>();
    for (int64_t r = 0; r < chunk.length(); ++r) {
        if (!chunk.valid(r))
            continue;
        uint64_t v = chunk.slot(r);
        if (!fits(Type::Bool, chunk.kind(r), v)) {
            refused = {Refused::Why::Type, r, chunk.kind(r)};
            return false;
        }
        if (v)
            out[r >> 3] |= static_cast<uint8_t>(1u << (r & 7));
    }
    if (a.null_count)
        a.validity = share(chunk.take_valid());
    a.values = share(std::move(bits));
    return true;
}

// The int32 indexes, written over the slots they come from: index r lands
// at bytes [4r, 4r + 4), which slot r's bytes [8r, 8r + 8) have already
// left, so one forward pass makes them in place, and the block's second half
// is given back. Null rows hold 0, a valid index.
void indexes(Chunk& chunk, int64_t length, Array& a) {
    bool narrow = chunk.narrow();  // already so
    Block idx = chunk.take_slots();
    if (!narrow) {
        const uint64_t* in = idx.as<uint64_t>();
        int32_t* out = idx.as<int32_t>();
        for (int64_t r = 0; r < length; ++r)
            out[r] = static_cast<int32_t>(in[r]);
    }
    idx.shrink(static_cast<size_t>(length) * 4);
    if (a.null_count)
        a.validity = share(chunk.take_valid());
    a.values = share(std::move(idx));
}

// Texts: every value's own text, or its str(). A chunk of nothing but its
// own texts already holds the bytes in row order.
bool texts(Chunk& chunk, int64_t length, Array& a, const StringsView& strings, Refused& refused) {
    constexpr size_t MAX_BYTES = INT32_MAX;
    Block offsets = Block::zeroed((static_cast<size_t>(length) + 1) * 4);
    int32_t* o = offsets.as<int32_t>();
    bool own_only = chunk.mask() == bit(Kind::String) && chunk.text_ends().size() == static_cast<size_t>(chunk.values());
    if (own_only) {
        const std::vector<uint64_t>& ends = chunk.text_ends();
        if (ends.back() > MAX_BYTES) {
            refused.why = Refused::Why::TooLarge;
            return false;
        }
        size_t n = 0;
        int32_t at = 0;
        for (int64_t r = 0; r < length; ++r) {
            if (r < chunk.length() && chunk.valid(r))
                at = static_cast<int32_t>(ends[n++]);
            o[r + 1] = at;
        }
        Block bytes = chunk.take_text();
        bytes.reserve(1);  // texts all empty: a buffer all the same, Arrow wants one
        a.data = share(std::move(bytes));
    } else {
        std::string bytes;
        for (int64_t r = 0; r < length; ++r) {
            if (r < chunk.length() && chunk.valid(r))
                append_text(bytes, chunk, r, strings);
            if (bytes.size() > MAX_BYTES) {
                refused.why = Refused::Why::TooLarge;
                return false;
            }
            o[r + 1] = static_cast<int32_t>(bytes.size());
        }
        Block data = Block::zeroed(bytes.size() + 1);
        std::memcpy(data.data(), bytes.data(), bytes.size());
        a.data = share(std::move(data));
    }
    if (a.null_count)
        a.validity = share(chunk.take_valid());
    a.values = share(std::move(offsets));
    return true;
}

}  // namespace

std::shared_ptr<const Array> convert(Chunk& chunk, int64_t length, Type type, bool dictionary,
                                     const StringsView& strings,
                                     const std::shared_ptr<const Array>& table_array,
                                     const SharedBlock& zeros, Refused& refused) {
    chunk.extend(length);
    std::shared_ptr<Array> a = begin(chunk, length);
    if (type == Type::Null)
        return a;
    if (chunk.values() == 0) {
        // All null: zero validity, and zero values (or offsets, or
        // indexes), which every such chunk shares.
        a->validity = zeros;
        a->values = zeros;
        if (type == Type::String && !dictionary)
            a->data = zeros;
    } else if (type == Type::String && dictionary) {
        indexes(chunk, length, *a);
    } else if (type == Type::String) {
        if (!texts(chunk, length, *a, strings, refused))
            return nullptr;
    } else if (type == Type::Bool) {
        if (!booleans(chunk, length, *a, refused))
            return nullptr;
    } else if (!fixed(chunk, length, type, *a, refused)) {
        return nullptr;
    }
    if (type == Type::String && dictionary)
        a->dictionary = table_array;
    return a;
}

std::shared_ptr<const Array> string_table_array(StringTable&& strings) {
    auto a = std::make_shared<Array>();
    a->length = strings.count;
    a->values = share(std::move(strings.offsets));
    a->data = share(std::move(strings.bytes));
    return a;
}

StringsView view_of(const Array& table) noexcept {
    return {table.values->as<int32_t>(), table.data->data()};
}

}  // namespace vlm::table
