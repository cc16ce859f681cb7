// The store's layout and its changes: lookup, decoding, the object table,
// assignment, removal with compaction of the overflow area, reset, dict mode
// and the counts the package inspects.
#include "store/store.h"

#include <algorithm>

namespace vlm::store {

// --- Layout

std::optional<Loc> CellStore::find_key(Key k) const noexcept {
    if (std::optional<Loc> loc = base_.find(k.row, k.column))
        return loc;
    // A removed compact record never hides a live overflow entry.
    if (key_map_.empty())
        return std::nullopt;
    auto at = key_map_.find(cell_key(k.row, k.column));
    if (at == key_map_.end())
        return std::nullopt;
    return Loc{Loc::Area::Overflow, at->second, 0};
}

Entry CellStore::entry(const Loc& loc) const noexcept {
    if (loc.area == Loc::Area::Overflow)
        return entries_[loc.index];
    return base_.decode(loc.index, loc.row);
}

std::vector<Loc> CellStore::locs() const {
    std::vector<Loc> out;
    out.reserve(size());
    each_live([&](uint32_t, uint32_t, const Loc& loc) {
        out.push_back(loc);
        return true;
    });
    return out;
}

std::optional<Loc> CellStore::last_loc() const noexcept {
    for (size_t i = entries_.size(); i-- > 0;) {
        if (entries_[i].kind != Kind::Removed)
            return Loc{Loc::Area::Overflow, static_cast<uint32_t>(i), 0};
    }
    for (uint32_t i = base_.record_count(); i-- > 0;) {
        if (base_.rec(i).kind != Kind::Removed)
            return Loc{Loc::Area::Compact, i, base_.row_at(base_.row_slot(i))};
    }
    return std::nullopt;
}

std::vector<std::pair<uint64_t, Loc>> CellStore::gen_sorted() const {
    std::vector<std::pair<uint64_t, Loc>> out;
    out.reserve(live_overflow_);
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        if (e.kind != Kind::Removed)
            out.emplace_back(cell_key(e.row, e.column), Loc{Loc::Area::Overflow, i, 0});
    }
    std::ranges::sort(out, {}, &std::pair<uint64_t, Loc>::first);
    return out;
}

Key CellStore::record_key(uint32_t i, size_t& slot) const noexcept {
    if (slot >= base_.row_count() || i < base_.row_first(slot) || i >= base_.row_end(slot))
        slot = base_.row_slot(i);
    return Key{base_.row_at(slot), base_.rec(i).column};
}

std::optional<Key> CellStore::next_key(uint32_t& pos, size_t& slot) const noexcept {
    uint32_t total = base_.record_count();
    while (pos < total) {
        uint32_t i = pos++;
        if (base_.rec(i).kind != Kind::Removed)
            return record_key(i, slot);
    }
    while (pos - total < entries_.size()) {
        const Entry& e = entries_[pos++ - total];
        if (e.kind != Kind::Removed)
            return Key{e.row, e.column};
    }
    return std::nullopt;
}

std::optional<Key> CellStore::prev_key(uint32_t& pos, size_t& slot) const noexcept {
    uint32_t total = base_.record_count();
    while (pos > total) {
        const Entry& e = entries_[--pos - total];
        if (e.kind != Kind::Removed)
            return Key{e.row, e.column};
    }
    while (pos > 0) {
        uint32_t i = --pos;
        if (base_.rec(i).kind != Kind::Removed)
            return record_key(i, slot);
    }
    return std::nullopt;
}

// --- The object table

// Slots freed are pushed onto free_slots_ by take_payload, which must not
// fail (it runs while a change is half made): free_slots_ keeps room for
// every slot of the table, reserved here before the table grows. Each step
// that can fail comes before the first change, so a failed put changes
// nothing.
uint32_t CellStore::put_obj(Ref obj) {
    if (!free_slots_.empty()) {
        uint32_t slot = free_slots_.back();
        free_slots_.pop_back();
        // Emptied when freed: the assignment releases nothing.
        objects_[slot] = std::move(obj);
        return slot;
    }
    if (free_slots_.capacity() <= objects_.size())
        free_slots_.reserve(std::max<size_t>(16, 2 * objects_.size() + 1));
    objects_.push_back(std::move(obj));
    return static_cast<uint32_t>(objects_.size() - 1);
}

Ref CellStore::take_payload(Kind kind, uint64_t payload) noexcept {
    if (kind != Kind::Object && kind != Kind::PyValue)
        return Ref();
    free_slots_.push_back(static_cast<uint32_t>(payload));
    return std::exchange(objects_[payload], Ref());
}

void CellStore::set_payload(const Loc& loc, Kind kind, uint32_t payload) noexcept {
    if (loc.area == Loc::Area::Compact) {
        Rec& r = base_.rec(loc.index);
        r.kind = kind;
        r.payload = payload;
    } else {
        entries_[loc.index].kind = kind;
        entries_[loc.index].payload = payload;
    }
}

// --- Changes

// Room is made first, then the key is mapped, then the entry written (a
// push that cannot fail): a failure leaves the overflow area as it was.
Loc CellStore::add_entry(const Entry& e) {
    if (entries_.size() == entries_.capacity())
        entries_.reserve(std::max<size_t>(16, 2 * entries_.size()));
    auto index = static_cast<uint32_t>(entries_.size());
    key_map_.insert_or_assign(cell_key(e.row, e.column), index);
    entries_.push_back(e);
    ++live_overflow_;
    return Loc{Loc::Area::Overflow, index, 0};
}

Ref CellStore::assign(std::optional<Loc> at, Key key, Ref value) {
    if (at) {
        Entry old = entry(*at);
        Ref released = take_payload(old.kind, old.payload);
        set_payload(*at, Kind::Object, put_obj(std::move(value)));
        return released;
    }
    uint32_t slot = put_obj(std::move(value));
    try {
        add_entry(Entry{key.column, key.row, slot, NO_STYLE, Kind::Object, 0});
    } catch (...) {
        Ref unused = take_payload(Kind::Object, slot);
        throw;
    }
    ++generation_;
    return Ref();
}

Loc CellStore::add_empty(Key key) {
    Loc loc = add_entry(Entry{key.column, key.row, 0, NO_STYLE, Kind::None, 0});
    ++generation_;
    return loc;
}

Ref CellStore::remove(const Loc& loc) {
    Entry old = entry(loc);
    Ref released = take_payload(old.kind, old.payload);
    if (loc.area == Loc::Area::Compact) {
        base_.rec(loc.index).kind = Kind::Removed;
        --live_compact_;
    } else {
        entries_[loc.index].kind = Kind::Removed;
        key_map_.erase(cell_key(old.row, old.column));
        --live_overflow_;
        compact_overflow();
    }
    ++generation_;
    return released;
}

// Rebuilt only once 1,024 entries or more are dead and the dead are at
// least as many as the live: removals stay amortised O(1).
void CellStore::compact_overflow() {
    size_t dead = entries_.size() - live_overflow_;
    if (dead < 1024 || dead < live_overflow_)
        return;
    std::vector<Entry> live;
    live.reserve(live_overflow_);
    std::unordered_map<uint64_t, uint32_t, FxWord> map;
    map.reserve(live_overflow_);
    for (const Entry& e : entries_) {
        if (e.kind == Kind::Removed)
            continue;
        map[cell_key(e.row, e.column)] = static_cast<uint32_t>(live.size());
        live.push_back(e);
    }
    entries_ = std::move(live);
    key_map_ = std::move(map);
}

std::vector<Ref> CellStore::reset() {
    base_.reset();
    live_compact_ = 0;
    entries_ = {};
    key_map_ = {};
    live_overflow_ = 0;
    free_slots_ = {};
    text_ = {};
    text_index_ = {};
    ++generation_;
    return std::exchange(objects_, {});
}

std::pair<std::vector<Ref>, Ref> CellStore::clear() {
    std::vector<Ref> objects = reset();
    return {std::move(objects), std::exchange(dict_, Ref())};
}

// Every cell as its Cell in a new dict under a (row, column) tuple of ints;
// a failure drops the half-built dict and leaves the cells where they were.
Result<std::vector<Ref>> CellStore::enter_dict_mode() {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return std::unexpected(XmlError::fetch());
    for (const Loc& loc : locs()) {
        Ref cell = VLM_TRY(materialize(loc));
        Entry e = entry(loc);
        Ref key = Ref::steal(Py_BuildValue("(kk)", static_cast<unsigned long>(e.row),
                                           static_cast<unsigned long>(e.column)));
        if (!key || PyDict_SetItem(dict.get(), key.get(), cell.get()) < 0)
            return std::unexpected(XmlError::fetch());
    }
    std::vector<Ref> released = reset();
    // An older dict cannot exist here (dict mode is left only by clear),
    // but it would be released with the rest.
    released.push_back(std::exchange(dict_, std::move(dict)));
    return released;
}

CellStore CellStore::drop_refs() noexcept {
    CellStore old = std::move(*this);
    *this = CellStore();
    generation_ = old.generation_ + 1;
    return old;
}

// --- Inspection

CellStore::Stats CellStore::stats() const noexcept {
    Stats s{size(), 0, templates_.size(), text_.size()};
    for (uint32_t i = 0; i < base_.record_count(); ++i)
        s.materialized += base_.rec(i).kind == Kind::Object;
    for (const Entry& e : entries_)
        s.materialized += e.kind == Kind::Object;
    return s;
}

void CellStore::Bounds::widen(std::optional<Bounds>& b, uint32_t row, uint32_t column) noexcept {
    if (!b) {
        b = Bounds{row, row, column, column};
        return;
    }
    b->min_row = std::min(b->min_row, row);
    b->max_row = std::max(b->max_row, row);
    b->min_col = std::min(b->min_col, column);
    b->max_col = std::max(b->max_col, column);
}

std::optional<CellStore::Bounds> CellStore::bounds() const noexcept {
    std::optional<Bounds> b;
    each_live([&](uint32_t row, uint32_t column, const Loc&) {
        Bounds::widen(b, row, column);
        return true;
    });
    return b;
}

size_t CellStore::bytes() const noexcept {
    constexpr size_t NODE = 2 * sizeof(void*) + 16;
    return sizeof(*this) + base_.bytes() + entries_.capacity() * sizeof(Entry) +
           (key_map_.size() + text_index_.size()) * NODE +
           (key_map_.bucket_count() + text_index_.bucket_count()) * sizeof(void*) +
           objects_.capacity() * sizeof(Ref) + free_slots_.capacity() * sizeof(uint32_t) + text_.capacity() +
           templates_.bytes() + extra_dtypes_.capacity() * sizeof(ExtraDtype) + style_cache_.capacity() * sizeof(Ref);
}

}  // namespace vlm::store
