// Loading: the set-up of a load, one parsed cell turned into a kind and a
// payload and placed, texts interned, and the end of the load.
#include "store/store.h"

#include "host/names.h"

#include <cstring>

namespace vlm::store {

namespace {

using sheet::CellRec;
using sheet::Val;

bool fits_coord(int64_t v) noexcept { return v >= 0 && v <= 0xFFFFFFFF; }

uint64_t double_bits(double d) noexcept {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

}  // namespace

Result<void> CellStore::begin_loading(PyObject* ws, PyObject* cell_styles, PyObject* cell_cls) {
    // What an earlier load built for its own styles and formulas does not
    // carry over: a style cached for another cell_styles would be wrong.
    auto [objects, dict] = clear();
    style_cache_ = std::vector<Ref>();
    templates_ = ftemplate::TemplateSet();
    extra_dtypes_ = std::vector<ExtraDtype>();
    values_.reset();
    ws_ = Ref::borrow(ws);
    cell_styles_ = Ref::borrow(cell_styles);
    styles_len_ = PyObject_Length(cell_styles);
    if (styles_len_ < 0)
        return fetched();
    loading_ = true;
    cell_class_ = VLM_TRY(CellClass::make(cell_cls, FULL_SLOTS));
    array_new_ = reinterpret_cast<newfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(NAMES.array_type), Py_tp_new));
    dt_ = VLM_TRY(DT::make());
    return {};
}

Result<void> CellStore::place_record(CellRec&& rec, const sheet::ValueContext& values) {
    // Python's indexing rules: a negative id counts from the end. An id the
    // list does not hold, or one that is not an int, is the package's case.
    if (rec.style_py) {
        Ref got = Ref::steal(PyObject_GetItem(cell_styles_.get(), rec.style_py.get()));
        if (!got)
            return fetched();
        return decline("unusual style id");
    }
    int64_t s = rec.style < 0 ? rec.style + styles_len_ : rec.style;
    if (s < 0 || s >= styles_len_) {
        Ref index = Ref::steal(PyLong_FromLongLong(rec.style));
        Ref got = index ? Ref::steal(PyObject_GetItem(cell_styles_.get(), index.get())) : Ref();
        if (!got)
            return fetched();
        return decline("style index");
    }
    return place_value(std::move(rec), static_cast<uint32_t>(s), values);
}

Result<void> CellStore::place_value(CellRec&& rec, uint32_t style, const sheet::ValueContext& values) {
    if (!fits_coord(rec.row) || !fits_coord(rec.column))
        return decline("coordinate out of range");
    uint8_t dtype = VLM_TRY(dtype_code(rec));
    auto [kind, v] = VLM_TRY(value_payload(rec, values));
    Key key{static_cast<uint32_t>(rec.row), static_cast<uint32_t>(rec.column)};
    Ref released = place(key, kind, v, dtype, style);
    return {};
}

// The seven standard types by code; any other string by its place among the
// extra ones, compared with == as the package's list would.
Result<uint8_t> CellStore::dtype_code(const CellRec& rec) {
    if (!rec.dtype_py)
        return static_cast<uint8_t>(rec.dtype);
    for (size_t i = 0; i < extra_dtypes_.size(); ++i) {
        // Held: an __eq__ could otherwise see the list change under it.
        Ref have = Ref::borrow(extra_dtypes_[i].obj.get());
        Ref eq = Ref::steal(PyObject_RichCompare(rec.dtype_py.get(), have.get(), Py_EQ));
        int same = eq ? PyObject_IsTrue(eq.get()) : -1;
        if (same < 0)
            return fetched();
        if (same)
            return static_cast<uint8_t>(DTYPE_EXTRA + i);
    }
    if (extra_dtypes_.size() >= MAX_EXTRA_DTYPES)
        return decline("too many data types");
    PyObject* obj = rec.dtype_py.get();
    std::optional<std::string> text;
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n;
        if (const char* p = PyUnicode_AsUTF8AndSize(obj, &n))
            text.emplace(p, static_cast<size_t>(n));
        else
            PyErr_Clear();  // lone surrogates: such cells are written from their Cell
    }
    extra_dtypes_.push_back(ExtraDtype{Ref::borrow(obj), std::move(text)});
    return static_cast<uint8_t>(DTYPE_EXTRA + extra_dtypes_.size() - 1);
}

Result<std::pair<Kind, uint64_t>> CellStore::value_payload(CellRec& rec, const sheet::ValueContext& values) {
    Val& v = rec.value;
    switch (v.kind) {
    case Val::Kind::None:
        return std::pair{Kind::None, uint64_t{0}};
    case Val::Kind::Int:
        return std::pair{Kind::Int, static_cast<uint64_t>(v.i)};
    case Val::Kind::Float:
        return std::pair{Kind::Float, double_bits(v.f)};
    case Val::Kind::Bool:
        return std::pair{Kind::Bool, uint64_t{v.b}};
    case Val::Kind::SharedString:
        return std::pair{Kind::SharedString, static_cast<uint64_t>(v.i)};
    case Val::Kind::Str:
        if (rec.dtype == sheet::DT_F && !rec.dtype_py) {
            if (auto t = templates_.template_for(v.s, rec.row, rec.column))
                return std::pair{Kind::Template, uint64_t{*t}};
        }
        return store_text(v.s);
    case Val::Kind::SharedChild:
        if (!v.has_dest)
            return std::pair{Kind::SharedPlain, static_cast<uint64_t>(v.i)};
        if (v.drow == rec.row && v.dcol == rec.column)
            return std::pair{Kind::SharedAtCell, static_cast<uint64_t>(v.i)};
        // Moved elsewhere: translated now, kept as its str.
        return std::pair{Kind::PyValue, uint64_t{put_obj(VLM_TRY(values.to_py(v)))}};
    case Val::Kind::DateInt:
        return std::pair{Kind::DateInt, static_cast<uint64_t>(v.i)};
    case Val::Kind::DateFloat:
        return std::pair{Kind::DateFloat, double_bits(v.f)};
    case Val::Kind::Py:
        return std::pair{Kind::PyValue, uint64_t{put_obj(std::move(v.py))}};
    }
    return std::unexpected(XmlError::internal("unknown value kind"));
}

Ref CellStore::place(Key key, Kind kind, uint64_t v, uint8_t dtype, uint32_t style) {
    if (entries_.empty() && base_.can_append(key.row, key.column)) {
        base_.append(key.row, key.column, kind, v, dtype, style);
        ++live_compact_;
        return Ref();
    }
    std::optional<Loc> at = find_key(key);
    if (!at) {
        add_entry(Entry{key.column, key.row, v, style, kind, dtype});
        return Ref();
    }
    // The sheet names the cell twice: the later one wins, in place.
    Entry old = entry(*at);
    Ref released = take_payload(old.kind, old.payload);
    if (at->area == Loc::Area::Compact)
        base_.overwrite(at->index, kind, v, dtype, style);
    else
        entries_[at->index] = Entry{key.column, key.row, v, style, kind, dtype};
    return released;
}

// Hashed with the bytes first and the length last; on a hash collision the
// newer text takes the index entry and the older one stays where it is.
Result<std::pair<Kind, uint64_t>> CellStore::store_text(std::string_view text) {
    if (text.size() > MAX_TEXT) {
        Ref s = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        if (!s)
            return fetched();
        return std::pair{Kind::PyValue, uint64_t{put_obj(std::move(s))}};
    }
    FxHasher h;
    h.add_bytes(text);
    h.add(text.size());
    uint64_t hash = h.finish();
    auto [at, fresh] = text_index_.try_emplace(hash, 0);
    if (!fresh) {
        uint64_t ref = at->second;
        VLM_ASSERT(text_off(ref) + text_len(ref) <= text_.size());
        if (text_len(ref) == text.size() && std::string_view(text_).substr(text_off(ref), text_len(ref)) == text)
            return std::pair{Kind::Text, ref};
    }
    uint64_t ref = text_ref(text.size(), text_.size());
    text_.append(text);
    at->second = ref;
    return std::pair{Kind::Text, ref};
}

void CellStore::abandon_loading() noexcept {
    auto [objects, dict] = clear();
    text_index_ = {};
    loading_ = false;
}

void CellStore::finish_loading(sheet::ValueContext values) {
    values_ = std::move(values);
    base_.shrink();
    text_.shrink_to_fit();
    text_index_ = {};
    templates_.finish_loading();
    loading_ = false;
}

}  // namespace vlm::store
