// The store path: a CellStore's cells written from their records, with no
// Cell object made unless a cell cannot be rendered from its stored form.
// The store is looked at only between calls into Python, and every look
// first checks that nobody holds it and that its cells were not changed
// meanwhile (a helper could), since record places would then be stale.
#include "writer/writer.h"

#include "host/names.h"
#include "store/store.h"
#include "store/store_type.h"
#include "utils/coord.h"

#include <algorithm>
#include <bit>

namespace vlm::writer {

using store::CellStore;
using store::Entry;
using store::Kind;
using store::Loc;

class StoreWalk {
public:
    StoreWalk(SheetWriter& w, store::StoreObject* obj, PyObject* row_dims)
        : w_(w), obj_(obj), row_dims_(row_dims), generation_(obj->value->generation()) {}

    Result<void> run();

private:
    struct StyleSlot {
        bool resolved = false, styled = false, date = false;
        std::string s;
    };

    Result<CellStore*> access();
    Result<void> cell(const Loc& loc);
    Result<void> materialise(const Loc& loc);
    Result<const StyleSlot*> style(uint32_t id);
    Result<Classified> dated(const Loc& loc, const Entry& e, std::optional<std::string_view>& t);

    SheetWriter& w_;
    store::StoreObject* obj_;
    PyObject* row_dims_;
    uint64_t generation_;
    std::vector<Loc> row_;
    std::vector<StyleSlot> styles_;
    std::unordered_map<uint32_t, StyleSlot> wide_styles_;
};

Result<CellStore*> StoreWalk::access() {
    if (!BorrowGuard::is_free(obj_->borrowed))
        return std::unexpected(XmlError::internal("cell store in use while writing"));
    CellStore* st = &*obj_->value;
    if (st->generation() != generation_)
        return decline("cell store changed while writing");
    return st;
}

Result<void> StoreWalk::run() {
    std::optional<std::vector<int64_t>> keys = VLM_TRY(row_dim_keys(row_dims_));
    if (!keys)
        return decline("row dimension keys");
    const std::vector<int64_t>& dims = *keys;
    CellStore* st = VLM_TRY(access());
    generation_ = st->generation();
    std::vector<std::pair<uint64_t, Loc>> overflow = st->gen_sorted();
    size_t slot = 0, o = 0, d = 0;
    for (;;) {
        st = VLM_TRY(access());
        const store::Base& base = st->base();
        constexpr int64_t END = INT64_MAX;
        int64_t row = slot < base.row_count() ? base.row_at(slot) : END;
        if (o < overflow.size())
            row = std::min(row, static_cast<int64_t>(overflow[o].first >> 32));
        if (d < dims.size())
            row = std::min(row, dims[d]);
        if (row == END && slot >= base.row_count() && o >= overflow.size() && d >= dims.size())
            break;
        row_.clear();
        if (slot < base.row_count() && base.row_at(slot) == row) {
            for (uint32_t i = base.row_first(slot); i < base.row_end(slot); ++i) {
                if (base.rec(i).kind != Kind::Removed)
                    row_.push_back(Loc{Loc::Area::Compact, i, static_cast<uint32_t>(row)});
            }
            ++slot;
        }
        size_t compact = row_.size();
        for (; o < overflow.size() && static_cast<int64_t>(overflow[o].first >> 32) == row; ++o)
            row_.push_back(overflow[o].second);
        if (compact && row_.size() > compact)
            std::ranges::sort(row_, {}, [st](const Loc& l) { return st->entry(l).column; });
        bool had = false;
        for (; d < dims.size() && dims[d] == row; ++d)
            had = true;
        if (row_.empty() && !had)
            continue;
        Ref attrs = had ? VLM_TRY(row_attrs(row_dims_, row)) : Ref::borrow(Py_None);
        VLM_TRY(w_.row_start(row, attrs.get()));
        for (size_t k = 0; k < row_.size(); ++k)
            VLM_TRY(cell(row_[k]));
        VLM_TRY(w_.row_end());
    }
    return {};
}

Result<const StoreWalk::StyleSlot*> StoreWalk::style(uint32_t id) {
    StyleSlot* slot;
    if (id < (1u << 16)) {
        if (styles_.size() <= id)
            styles_.resize(size_t{id} + 1);
        slot = &styles_[id];
    } else {
        slot = &wide_styles_[id];
    }
    if (slot->resolved)
        return slot;
    CellStore* st = VLM_TRY(access());
    Ref styles = Ref::borrow(st->cell_styles());
    if (!styles)
        return std::unexpected(XmlError::internal("store not loaded"));
    Ref index = Ref::steal(PyLong_FromUnsignedLong(id));
    Ref item = index ? Ref::steal(PyObject_GetItem(styles.get(), index.get())) : Ref();
    if (!item)
        return fetched();
    StyleSlot out;
    out.date = w_.shows_date(item.get());
    out.styled = VLM_TRY(w_.has_style(item.get()));
    if (out.styled) {
        Ref copy = Ref::steal(PyObject_CallOneArg(w_.helper(WriterHelper::StyleArray), item.get()));
        if (!copy)
            return fetched();
        Ref sid = VLM_TRY(w_.style_id(copy.get()));
        VLM_TRY(w_.id_text(sid.get(), out.s));
    }
    out.resolved = true;
    // The slot may have moved: the table grows only above, never during
    // the Python calls of this one id, but the map may rehash.
    StyleSlot* again = id < (1u << 16) ? &styles_[id] : &wide_styles_[id];
    *again = std::move(out);
    return again;
}

Result<void> StoreWalk::materialise(const Loc& loc) {
    CellStore* st = VLM_TRY(access());
    Ref cell = VLM_TRY(st->materialize(loc));
    return w_.write_one(cell.get());
}

// A "d" cell: its serial number straight from the stored date where the
// writer can make it (a date read under a date format). Any other is the
// cell's own: whether it is written as a serial or as ISO text depends on
// its number format (the package's date_value).
Result<Classified> StoreWalk::dated(const Loc& loc, const Entry& e, std::optional<std::string_view>& t) {
    CellStore* st = VLM_TRY(access());
    if (w_.epoch_ && !w_.iso_dates_ && (e.kind == Kind::DateInt || e.kind == Kind::DateFloat)) {
        std::optional<DateResult> date = st->excel_date(loc);
        if (date && date->kind != DateKind::Declined) {
            t = "n";
            return Classified::number(to_serial(*date, *w_.epoch_));
        }
    }
    return Classified::unsupported();
}

Result<void> StoreWalk::cell(const Loc& loc) {
    CellStore* st = VLM_TRY(access());
    Entry e = st->entry(loc);
    std::optional<std::string_view> s, t;
    bool styled = false, date_styled = false;
    if (e.kind != Kind::Object && e.style != store::NO_STYLE) {
        const StyleSlot* slot = VLM_TRY(style(e.style));
        styled = slot->styled;
        date_styled = slot->date;
        if (styled)
            s = slot->s;
        st = VLM_TRY(access());
        e = st->entry(loc);
    }
    if (e.kind == Kind::Object) {
        Ref obj = Ref::borrow(st->object(e.payload));
        return w_.write_one(obj.get());
    }
    if (!styled && (e.kind == Kind::None || (e.kind == Kind::PyValue && st->object(e.payload) == Py_None)))
        return {};
    if (!in_sheet(e.row, e.column))
        return materialise(loc);
    PyObject* dts = st->dtype_text(e.dtype);
    Py_ssize_t n = 0;
    const char* dp = dts && PyUnicode_Check(dts) ? PyUnicode_AsUTF8AndSize(dts, &n) : nullptr;
    if (!dp) {
        PyErr_Clear();
        return materialise(loc);
    }
    std::string& dtype = w_.dtype_text_;
    dtype.assign(dp, static_cast<size_t>(n));
    if (dtype == "s")
        t = "inlineStr";
    else if (dtype != "f")
        t = dtype;
    Ref hold;
    Classified val;
    if (dtype == "d") {
        // a date under a format that shows none is given one by the package
        if (!date_styled)
            return materialise(loc);
        val = VLM_TRY(dated(loc, e, t));
    } else {
        switch (e.kind) {
        case Kind::Int:
            val = Classified::integer(static_cast<int64_t>(e.payload));
            break;
        case Kind::Float:
            val = Classified::number(std::bit_cast<double>(e.payload));
            break;
        case Kind::Bool:
            val = Classified::literal(e.payload ? "1" : "0");
            break;
        case Kind::Text:
            val = Classified::string(st->text(e.payload));
            break;
        case Kind::SharedAtCell:
        case Kind::SharedPlain:
        case Kind::Template:
            val = Classified::string(VLM_TRY(st->formula_text(e)));
            break;
        default:
            hold = VLM_TRY(st->value_obj(loc));
            val = classify(hold.get());
            break;
        }
    }
    if (val.kind == Classified::Kind::Unsupported)
        return materialise(loc);
    SheetWriter::Outcome o = VLM_TRY(w_.emit(SheetWriter::CellOut{e.row, e.column, dtype, t, s, &val, nullptr}));
    if (o == SheetWriter::Outcome::Declined)
        return materialise(loc);
    return {};
}

Result<void> SheetWriter::write_store(PyObject* store_obj, PyObject* row_dims) {
    store::StoreObject* obj = cell_store_of(store_obj);
    if (!obj)
        return std::unexpected(XmlError::internal("not a cell store"));
    return StoreWalk(*this, obj, row_dims).run();
}

}  // namespace vlm::writer
