// The store path: a CellStore's cells written from their records, through
// the store's row cursor, with no Cell object made unless a cell cannot be
// rendered from its stored form. The cursor declines once the store's cells
// changed under the Python code the writer calls in between.
#include "writer/writer.h"

#include "store/row_cursor.h"
#include "utils/coord.h"

namespace vlm::writer {

using store::NativeValue;

Result<const SheetWriter::StoreStyle*> SheetWriter::store_style(store::RowCursor& cursor, uint32_t id) {
    StoreStyle* slot;
    if (id < (1u << 16)) {
        if (store_styles_.size() <= id)
            store_styles_.resize(size_t{id} + 1);
        slot = &store_styles_[id];
    } else {
        slot = &wide_store_styles_[id];
    }
    if (slot->resolved)
        return slot;
    Ref item = VLM_TRY(cursor.style(id));
    StoreStyle out;
    out.date = shows_date(item.get());
    out.styled = VLM_TRY(has_style(item.get()));
    if (out.styled) {
        Ref copy = Ref::steal(PyObject_CallOneArg(helper(WriterHelper::StyleArray), item.get()));
        if (!copy)
            return fetched();
        Ref sid = VLM_TRY(style_id(copy.get()));
        VLM_TRY(id_text(sid.get(), out.s));
    }
    out.resolved = true;
    // The slot may have moved: the table grows only above, never during
    // the Python calls of this one id, but the map may rehash.
    StoreStyle* again = id < (1u << 16) ? &store_styles_[id] : &wide_store_styles_[id];
    *again = std::move(out);
    return again;
}

Result<void> SheetWriter::store_cell(store::RowCursor& cursor, size_t k) {
    using F = NativeValue::Form;
    auto materialise = [&]() -> Result<void> {
        Ref cell = VLM_TRY(cursor.cell(k));
        return write_one(cell.get());
    };
    const store::CellRecord* rec = VLM_TRY(cursor.record(k));
    std::optional<std::string_view> s, t;
    bool styled = false, date_styled = false;
    if (!rec->object && rec->style != store::NO_STYLE) {
        uint32_t id = rec->style;
        bool known = id < (1u << 16) ? id < store_styles_.size() && store_styles_[id].resolved
                                     : wide_store_styles_.contains(id);
        const StoreStyle* slot = VLM_TRY(store_style(cursor, id));
        styled = slot->styled;
        date_styled = slot->date;
        if (styled)
            s = slot->s;
        // Resolving a style runs Python code, which may have changed the cell.
        if (!known)
            rec = VLM_TRY(cursor.record(k));
    }
    if (rec->object)
        return materialise();
    if (!styled && rec->empty)
        return {};
    if (!in_sheet(rec->row, rec->column) || !rec->dtype)
        return materialise();
    // Kept apart: the record's text lives in the store.
    std::string& dtype = dtype_text_;
    dtype.assign(*rec->dtype);
    if (dtype == "s")
        t = "inlineStr";
    else if (dtype != "f")
        t = dtype;
    Ref hold;
    Classified val;
    if (dtype == "d") {
        // A "d" cell: its serial number straight from the stored date where
        // the writer can make it (a date read under a date format). Any
        // other is the cell's own: whether it is written as a serial or as
        // ISO text depends on its number format (the package's date_value),
        // and a date under a format that shows none is given one by the
        // package.
        if (!date_styled || !epoch_ || iso_dates_)
            return materialise();
        const NativeValue& v = *VLM_TRY(cursor.native());
        if (v.form != F::Date || v.date.kind == DateKind::Declined)
            return materialise();
        t = "n";
        val = Classified::number(to_serial(v.date, *epoch_));
    } else {
        const NativeValue& v = *VLM_TRY(cursor.native());
        switch (v.form) {
        case F::Int:
            val = Classified::integer(v.i);
            break;
        case F::Float:
            val = Classified::number(v.f);
            break;
        case F::Bool:
            val = Classified::literal(v.i ? "1" : "0");
            break;
        case F::Text:
            val = Classified::string(v.text);
            break;
        case F::Date:
        case F::Other:
            hold = VLM_TRY(cursor.value());
            val = classify(hold.get());
            break;
        }
    }
    if (val.kind == Classified::Kind::Unsupported)
        return materialise();
    Outcome o = VLM_TRY(emit(CellOut{rec->row, rec->column, dtype, t, s, &val, nullptr}));
    if (o == Outcome::Declined)
        return materialise();
    return {};
}

Result<void> SheetWriter::write_store(store::RowCursor& cursor, PyObject* row_dims) {
    store_styles_.clear();
    wide_store_styles_.clear();
    while (std::optional<store::RowCursor::Row> row = VLM_TRY(cursor.next_row())) {
        Ref attrs = row->has_attrs ? VLM_TRY(row_attrs(row_dims, row->number)) : Ref::borrow(Py_None);
        VLM_TRY(row_start(row->number, attrs.get()));
        for (size_t k = 0; k < row->cells; ++k)
            VLM_TRY(store_cell(cursor, k));
        VLM_TRY(row_end());
    }
    return {};
}

}  // namespace vlm::writer
