// From a stored cell to what Python sees: its value, its Cell (made on first
// access, filled slot by slot and kept in the object table), the date the
// writer needs, and the cells of one row for the worksheet's row walk.
#include "store/store.h"

#include "host/names.h"

#include <array>
#include <cstring>

namespace vlm::store {

namespace {

std::unexpected<XmlError> internal(const char* m) { return std::unexpected(XmlError::internal(m)); }

double bits_double(uint64_t u) noexcept {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// Where formula texts are rendered before a str is made of them: one per
// thread, emptied before each use; rendering runs no Python code, so no
// second rendering can start while one is in progress.
thread_local std::string SCRATCH;

}  // namespace

void touch_scratch() noexcept { SCRATCH.clear(); }

Result<std::string_view> CellStore::formula_text(const Entry& e) const {
    SCRATCH.clear();
    bool ok = false;
    if (e.kind == Kind::Template) {
        ok = templates_.render_into(static_cast<uint32_t>(e.payload), e.row, e.column, SCRATCH);
    } else if (values_) {
        const sheet::Shared& m = values_->master(e.payload);
        std::optional<formula::CellPos> dest;
        if (e.kind == Kind::SharedAtCell)
            dest = formula::CellPos{e.row, e.column};
        ok = m.native && m.native->translate_into(dest, SCRATCH).has_value();
    }
    // The loader stored only formulas that rendered at their cell.
    if (!ok)
        return internal("stored formula does not render");
    return std::string_view(SCRATCH);
}

Result<Ref> CellStore::value_obj(const Loc& loc) { return value_of(entry(loc)); }

Result<Ref> CellStore::value_of(const Entry& e) {
    Ref r;
    switch (e.kind) {
    case Kind::Object:
        r = Ref::steal(PyObject_GetAttr(objects_[e.payload].get(), NAMES.value));
        break;
    case Kind::None:
        return Ref::borrow(Py_None);
    case Kind::Int:
        r = Ref::steal(PyLong_FromLongLong(static_cast<int64_t>(e.payload)));
        break;
    case Kind::Float:
        r = Ref::steal(PyFloat_FromDouble(bits_double(e.payload)));
        break;
    case Kind::Bool:
        return Ref::borrow(e.payload ? Py_True : Py_False);
    case Kind::SharedString:
        if (!values_)
            return internal("store not loaded");
        return values_->shared_string(static_cast<int64_t>(e.payload));
    case Kind::DateInt:
    case Kind::DateFloat:
        if (!values_ || !values_->epoch())
            return internal("store not loaded");
        if (e.kind == Kind::DateInt)
            return values_->date_int(static_cast<int64_t>(e.payload));
        return values_->date_float(bits_double(e.payload));
    case Kind::Text: {
        uint64_t off = text_off(e.payload), len = text_len(e.payload);
        VLM_ASSERT(off + len <= text_.size());
        r = Ref::steal(PyUnicode_DecodeUTF8(text_.data() + off, static_cast<Py_ssize_t>(len), "strict"));
        break;
    }
    case Kind::SharedAtCell:
    case Kind::SharedPlain:
    case Kind::Template: {
        std::string_view text = VLM_TRY(formula_text(e));
        r = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        break;
    }
    case Kind::PyValue:
        return Ref::borrow(objects_[e.payload].get());
    case Kind::Removed:
    case Kind::Int32:
        return internal("bad kind reached the decoder");
    }
    if (!r)
        return fetched();
    return r;
}

namespace {

// What the package counts as a value: anything but None and an empty str.
bool is_value(PyObject* v) noexcept { return v != Py_None && !(PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0); }

// Shared-string verdicts are remembered per index up to this many indices:
// a sheet of a million cells over a thousand texts asks for a thousand.
constexpr uint64_t MAX_REMEMBERED_STRINGS = uint64_t{1} << 24;
enum : uint8_t { UNSEEN, EMPTY, HOLDS };

}  // namespace

Result<bool> CellStore::holds_value(const Entry& e, std::vector<uint8_t>& strings_seen) {
    switch (e.kind) {
    case Kind::Removed:
    case Kind::None:
        return false;
    case Kind::Text:
        return text_len(e.payload) != 0;
    case Kind::SharedAtCell:
    case Kind::SharedPlain:
    case Kind::Template:
        return !VLM_TRY(formula_text(e)).empty();
    case Kind::SharedString: {
        bool remember = e.payload < MAX_REMEMBERED_STRINGS;
        if (remember && e.payload < strings_seen.size() && strings_seen[e.payload] != UNSEEN)
            return strings_seen[e.payload] == HOLDS;
        Ref v = VLM_TRY(value_of(e));
        bool holds = is_value(v.get());
        if (remember) {
            if (strings_seen.size() <= e.payload)
                strings_seen.resize(e.payload + 1, UNSEEN);
            strings_seen[e.payload] = holds ? HOLDS : EMPTY;
        }
        return holds;
    }
    case Kind::Object:
    case Kind::PyValue: {
        Ref v = VLM_TRY(value_of(e));
        return is_value(v.get());
    }
    default:
        return true;  // numbers, booleans and dates are never empty
    }
}

Result<std::optional<CellStore::Bounds>> CellStore::value_bounds() {
    std::optional<Bounds> b;
    std::vector<uint8_t> strings_seen;
    std::optional<XmlError> failed;
    each_live([&](uint32_t row, uint32_t column, const Loc& loc) {
        // A cell inside the box found so far cannot widen it.
        if (b && row >= b->min_row && row <= b->max_row && column >= b->min_col && column <= b->max_col)
            return true;
        Result<bool> holds = holds_value(entry(loc), strings_seen);
        if (!holds) {
            failed = std::move(holds).error();
            return false;
        }
        if (*holds)
            Bounds::widen(b, row, column);
        return true;
    });
    if (failed)
        return std::unexpected(std::move(*failed));
    return b;
}

// A new array of the class of cell_styles[style] with the same integers,
// built through array's own constructor from the argument tuple cached per
// style id.
Result<Ref> CellStore::style_array(uint32_t style) {
    if (style == NO_STYLE)
        return Ref::borrow(Py_None);
    if (style_cache_.size() <= style)
        style_cache_.resize(size_t{style} + 1);
    if (!style_cache_[style]) {
        PyObject* styles = cell_styles_.get();
        Ref obj;
        if (PyList_Check(styles) && style < static_cast<size_t>(PyList_GET_SIZE(styles))) {
            obj = Ref::borrow(PyList_GET_ITEM(styles, style));
        } else {
            Ref index = Ref::steal(PyLong_FromUnsignedLong(style));
            obj = index ? Ref::steal(PyObject_GetItem(styles, index.get())) : Ref();
        }
        Ref args = obj ? Ref::steal(PyTuple_Pack(2, NAMES.type_code_i, obj.get())) : Ref();
        if (!args)
            return fetched();
        style_cache_[style] = std::move(args);
    }
    // Held: the constructor may run code that empties the cache.
    Ref args = Ref::borrow(style_cache_[style].get());
    Ref arr = Ref::steal(array_new_(Py_TYPE(PyTuple_GET_ITEM(args.get(), 1)), args.get(), nullptr));
    if (!arr)
        return fetched();
    return arr;
}

PyObject* CellStore::dtype_str(uint8_t code) const noexcept {
    return code < DTYPE_EXTRA ? dt_->str(code) : extra_dtypes_[code - DTYPE_EXTRA].obj.get();
}

std::optional<std::string_view> CellStore::dtype_text(uint8_t code) const noexcept {
    static constexpr auto STANDARD = [] {
        std::array<std::string_view, DT::COUNT> out;
        for (size_t i = 0; i < DT::COUNT; ++i)
            out[i] = DT::TEXTS[i];
        return out;
    }();
    if (code < DTYPE_EXTRA)
        return STANDARD[code];
    size_t i = code - DTYPE_EXTRA;
    if (i >= extra_dtypes_.size() || !extra_dtypes_[i].text)
        return std::nullopt;
    return *extra_dtypes_[i].text;
}

Ref CellStore::row_int(uint32_t row) {
    if (!row_obj_ || row_obj_value_ != row) {
        Ref r = Ref::steal(PyLong_FromUnsignedLong(row));
        if (!r)
            return r;
        row_obj_ = std::move(r);
        row_obj_value_ = row;
    }
    return Ref::borrow(row_obj_.get());
}

Result<Ref> CellStore::make_cell(const Entry& e, Ref value) {
    if (!cell_class_ || !dt_ || !array_new_)
        return internal("store not loaded");
    Ref style = VLM_TRY(style_array(e.style));
    Ref row = row_int(e.row);
    Ref column = Ref::steal(PyLong_FromUnsignedLong(e.column));
    if (!row || !column)
        return fetched();
    Ref cell = VLM_TRY(cell_class_->alloc());
    const CellClass& c = *cell_class_;
    PyObject* obj = cell.get();
    using S = FullSlot;
    c.set(obj, S::Parent, Ref::borrow(ws_.get()));
    c.set(obj, S::Style, std::move(style));
    c.set(obj, S::Row, std::move(row));
    c.set(obj, S::Column, std::move(column));
    c.set(obj, S::Value, std::move(value));
    c.set(obj, S::Hyperlink, Ref::borrow(Py_None));
    c.set(obj, S::DataType, Ref::borrow(dtype_str(e.dtype)));
    c.set(obj, S::Comment, Ref::borrow(Py_None));
    return cell;
}

Result<Ref> CellStore::materialize(const Loc& loc) {
    Entry e = entry(loc);
    if (e.kind == Kind::Object)
        return Ref::borrow(objects_[e.payload].get());
    Ref value = VLM_TRY(value_of(e));
    Ref cell = VLM_TRY(make_cell(e, std::move(value)));
    // A value held in the table now lives in the Cell: its slot is reused.
    Ref released = take_payload(e.kind, e.payload);
    set_payload(loc, Kind::Object, put_obj(Ref::borrow(cell.get())));
    return cell;
}

std::optional<DateResult> CellStore::excel_date(const Entry& e) const noexcept {
    if (!values_ || !values_->epoch() || (e.kind != Kind::DateInt && e.kind != Kind::DateFloat))
        return std::nullopt;
    if (e.kind == Kind::DateInt)
        return from_excel_int(*values_->epoch(), static_cast<int64_t>(e.payload));
    return from_excel_float(*values_->epoch(), bits_double(e.payload));
}

// One row of the worksheet's row walk: the loaded records of the row are
// walked once in step with the columns. A missing cell is created empty
// when cells are asked for, as the package's Worksheet.cell would; values
// alone create nothing, so that reading a sheet stretched by formatting
// does not fill it with empty cells.
Result<std::pair<Ref, bool>> CellStore::row_items(uint32_t row, uint32_t min_col, uint32_t max_col,
                                                  bool values_only) {
    size_t n = max_col >= min_col ? size_t{max_col} - min_col + 1 : 0;
    Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!items)
        return fetched();
    std::optional<size_t> slot = base_.find_row(row);
    uint32_t rec = slot ? base_.row_first(*slot) : 0, end = slot ? base_.row_end(*slot) : 0;
    bool created = false;
    for (size_t k = 0; k < n; ++k) {
        auto column = static_cast<uint32_t>(min_col + k);
        while (rec < end && base_.rec(rec).column < column)
            ++rec;
        std::optional<Loc> loc;
        if (rec < end && base_.rec(rec).column == column && base_.rec(rec).kind != Kind::Removed)
            loc = Loc{Loc::Area::Compact, rec, row};
        else if (!key_map_.empty())
            loc = find_key(Key{row, column});
        if (!loc && values_only) {
            PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(k), Py_NewRef(Py_None));
            continue;
        }
        if (!loc) {
            loc = add_empty(Key{row, column});
            created = true;
        }
        Ref item = VLM_TRY(values_only ? value_obj(*loc) : materialize(*loc));
        PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(k), item.release());
    }
    return std::pair{std::move(items), created};
}

}  // namespace vlm::store
