#include "store/row_cursor.h"

#include "store/store_type.h"

#include <algorithm>
#include <bit>

namespace vlm::store {

using Mode = BorrowGuard::Mode;

bool RowCursor::walks(PyObject* obj) noexcept {
    StoreObject* so = cell_store_of(obj);
    return so && !so->value->dict();
}

std::optional<RowCursor> RowCursor::open(PyObject* store, std::vector<int64_t> attr_rows) {
    if (!walks(store))
        return std::nullopt;
    StoreObject* obj = StoreObject::of(store);
    const CellStore& st = *obj->value;
    return RowCursor(Ref::borrow(store), std::move(attr_rows), st.generation(), st.gen_sorted());
}

Result<CellStore*> RowCursor::look() {
    StoreObject* obj = StoreObject::of(store_.get());
    if (!BorrowGuard::available(obj->borrowed, Mode::Shared))
        return fetched();
    CellStore* st = &*obj->value;
    if (st->generation() != generation_)
        return decline("cell store changed while writing");
    return st;
}

Result<std::optional<RowCursor::Row>> RowCursor::next_row() {
    constexpr int64_t END = INT64_MAX;
    for (;;) {
        CellStore* st = VLM_TRY(look());
        const Base& base = st->base_;
        bool more_base = slot_ < base.row_count(), more_overflow = next_overflow_ < overflow_.size(),
             more_attrs = next_attr_ < attr_rows_.size();
        if (!more_base && !more_overflow && !more_attrs)
            return std::nullopt;
        int64_t row = more_base ? base.row_at(slot_) : END;
        if (more_overflow)
            row = std::min(row, static_cast<int64_t>(overflow_[next_overflow_].first >> 32));
        if (more_attrs)
            row = std::min(row, attr_rows_[next_attr_]);
        row_.clear();
        if (more_base && base.row_at(slot_) == row) {
            for (uint32_t i = base.row_first(slot_); i < base.row_end(slot_); ++i) {
                if (base.rec(i).kind != Kind::Removed)
                    row_.push_back(Loc{Loc::Area::Compact, i, static_cast<uint32_t>(row)});
            }
            ++slot_;
        }
        size_t compact = row_.size();
        for (; next_overflow_ < overflow_.size() && static_cast<int64_t>(overflow_[next_overflow_].first >> 32) == row;
             ++next_overflow_)
            row_.push_back(overflow_[next_overflow_].second);
        if (compact && row_.size() > compact)
            std::ranges::sort(row_, {}, [st](const Loc& l) { return st->entry(l).column; });
        bool has_attrs = false;
        for (; next_attr_ < attr_rows_.size() && attr_rows_[next_attr_] == row; ++next_attr_)
            has_attrs = true;
        if (!row_.empty() || has_attrs)
            return Row{row, has_attrs, row_.size()};
    }
}

Result<const CellRecord*> RowCursor::record(size_t k) {
    CellStore* st = VLM_TRY(look());
    CellRecord& r = record_;
    r.entry = st->entry(row_[k]);
    const Entry& e = r.entry;
    r.row = e.row;
    r.column = e.column;
    r.style = e.style;
    r.object = e.kind == Kind::Object;
    r.empty = e.kind == Kind::None || (e.kind == Kind::PyValue && st->objects_[e.payload].get() == Py_None);
    r.dtype = st->dtype_text(e.dtype);
    return &record_;
}

Result<const NativeValue*> RowCursor::native() {
    using F = NativeValue::Form;
    // No Python code ran since the record was read: the look then holds.
    const CellStore* st = &*StoreObject::of(store_.get())->value;
    const Entry& e = record_.entry;
    NativeValue& v = native_;
    v.form = F::Other;
    switch (e.kind) {
    case Kind::Int:
        v.form = F::Int;
        v.i = static_cast<int64_t>(e.payload);
        break;
    case Kind::Float:
        v.form = F::Float;
        v.f = std::bit_cast<double>(e.payload);
        break;
    case Kind::Bool:
        v.form = F::Bool;
        v.i = e.payload ? 1 : 0;
        break;
    case Kind::Text:
        v.form = F::Text;
        v.text = std::string_view(st->text_).substr(text_off(e.payload), text_len(e.payload));
        break;
    case Kind::SharedAtCell:
    case Kind::SharedPlain:
    case Kind::Template:
        v.form = F::Text;
        v.text = VLM_TRY(st->formula_text(e));
        break;
    case Kind::DateInt:
    case Kind::DateFloat:
        if (std::optional<DateResult> date = st->excel_date(e)) {
            v.form = F::Date;
            v.date = *date;
        }
        break;
    default:
        break;
    }
    return &native_;
}

Result<Ref> RowCursor::value() {
    // Checked rather than held: the decoding may run Python code (a shared
    // strings list's own indexing), but reads nothing of the store after it.
    CellStore* st = VLM_TRY(look());
    return st->value_of(record_.entry);
}

Result<Ref> RowCursor::cell(size_t k) {
    StoreObject* obj = StoreObject::of(store_.get());
    BorrowGuard guard(obj->borrowed, Mode::Exclusive);
    if (!guard)
        return fetched();
    CellStore& st = *obj->value;
    if (st.generation() != generation_)
        return decline("cell store changed while writing");
    return st.materialize(row_[k]);
}

Result<Ref> RowCursor::style(uint32_t id) {
    CellStore* st = VLM_TRY(look());
    // Held: the lookup may run code that lets the store's list go.
    Ref styles = Ref::borrow(st->cell_styles_.get());
    if (!styles)
        return std::unexpected(XmlError::internal("store not loaded"));
    Ref index = Ref::steal(PyLong_FromUnsignedLong(id));
    Ref item = index ? Ref::steal(PyObject_GetItem(styles.get(), index.get())) : Ref();
    if (!item)
        return fetched();
    return item;
}

}  // namespace vlm::store
