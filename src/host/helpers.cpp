// Reading the package's helpers, parser settings and slot layouts. Every
// Python exception raised on the way is the package's own and is passed on
// unchanged; only a missing helper and a bad slot have messages of ours.
#include "host/helpers.h"

#include "host/names.h"

#include <algorithm>
#include <cstring>
#include <structmember.h>

namespace vlm {

namespace {

std::unexpected<XmlError> type_error(std::string_view name, const char* suffix) {
    PyErr_Format(PyExc_TypeError, "%.*s%s", static_cast<int>(name.size()), name.data(), suffix);
    return fetched();
}

Result<Ref> attr(PyObject* obj, const char* name) {
    Ref r = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!r)
        return fetched();
    return r;
}

Result<NameSet> name_set(PyObject* items) {
    NameSet set;
    VLM_TRY(each_item(items, [&](PyObject* item) -> Result<void> {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(item, &n);
        if (!s)
            return fetched();
        set.add({s, static_cast<size_t>(n)});
        return {};
    }));
    return set;
}

Result<IntSet> int_set(PyObject* parser, const char* name) {
    Ref items = VLM_TRY(attr(parser, name));
    return int_set_of(items.get());
}

Result<int64_t> int_attr(PyObject* obj, const char* name) {
    Ref v = VLM_TRY(attr(obj, name));
    long long n = PyLong_AsLongLong(v.get());
    if (n == -1 && PyErr_Occurred())
        return fetched();
    return n;
}

Result<Ref> import_attr(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod)
        return fetched();
    return attr(mod.get(), name);
}

}  // namespace

bool NameSet::contains(std::string_view name) const noexcept {
    return std::ranges::any_of(items_, [&](const std::string& s) { return s == name; });
}

bool IntSet::contains_large(int64_t v) const noexcept { return std::ranges::binary_search(items_, v); }

void IntSet::add(int64_t v) {
    if (static_cast<uint64_t>(v) < SMALL)
        small_[static_cast<size_t>(v) / 64] |= uint64_t{1} << (v % 64);
    auto at = std::ranges::lower_bound(items_, v);
    if (at == items_.end() || *at != v)
        items_.insert(at, v);
}

Result<bool> truth(PyObject* obj) {
    int t = PyObject_IsTrue(obj);
    if (t < 0)
        return fetched();
    return t != 0;
}

Result<Ref> attr(PyObject* obj, PyObject* name) {
    Ref r = Ref::steal(PyObject_GetAttr(obj, name));
    if (!r)
        return fetched();
    return r;
}

Result<Ref> lookup_helper(PyObject* helpers, const char* key) {
    PyObject* value;
    int found = PyDict_GetItemStringRef(helpers, key, &value);
    if (found < 0)
        return fetched();
    if (found == 0) {
        PyErr_Format(PyExc_TypeError, "missing helper %s", key);
        return fetched();
    }
    return Ref::steal(value);
}

Result<Helpers> Helpers::from_dict(PyObject* helpers) {
    if (!PyDict_Check(helpers)) {
        PyErr_SetString(PyExc_TypeError, "helpers must be a dict");
        return fetched();
    }
    Helpers h;
    for (size_t i = 0; i < HELPER_COUNT; ++i)
        h.objs_[i] = VLM_TRY(lookup_helper(helpers, HELPER_KEYS[i]));
    Ref text = VLM_TRY(lookup_helper(helpers, "text_dangerous"));
    Ref rich = VLM_TRY(lookup_helper(helpers, "rich_dangerous"));
    h.text_dangerous_ = VLM_TRY(name_set(text.get()));
    h.rich_dangerous_ = VLM_TRY(name_set(rich.get()));
    return h;
}

Helpers Helpers::clone() const {
    Helpers h;
    h.objs_ = objs_.clone();
    h.text_dangerous_ = text_dangerous_;
    h.rich_dangerous_ = rich_dangerous_;
    return h;
}

Result<IntSet> int_set_of(PyObject* items) {
    IntSet set;
    VLM_TRY(each_item(items, [&](PyObject* item) -> Result<void> {
        long long v = PyLong_AsLongLong(item);
        if (v == -1 && PyErr_Occurred())
            return fetched();
        // True would otherwise match style id 1.
        if (!PyBool_Check(item) && PyLong_Check(item))
            set.add(v);
        return {};
    }));
    return set;
}

Result<std::optional<Epoch>> native_epoch(PyObject* epoch) {
    Ref dt_type = VLM_TRY(import_attr("datetime", "datetime"));
    Ref windows = VLM_TRY(import_attr("vellum.utils.datetime", "WINDOWS_EPOCH"));
    if (Py_TYPE(epoch) != reinterpret_cast<PyTypeObject*>(dt_type.get()))
        return std::nullopt;
    Ref tz = VLM_TRY(attr(epoch, "tzinfo"));
    if (tz.get() != Py_None)
        return std::nullopt;
    static constexpr const char* FIELDS[] = {"year", "month", "day", "hour",
                                             "minute", "second", "microsecond"};
    int64_t v[7];
    for (size_t i = 0; i < 7; ++i)
        v[i] = VLM_TRY(int_attr(epoch, FIELDS[i]));
    Ref eq = Ref::steal(PyObject_RichCompare(epoch, windows.get(), Py_EQ));
    if (!eq)
        return fetched();
    bool is_windows = VLM_TRY(truth(eq.get()));
    return Epoch::from_fields(v[0], v[1], v[2], v[3], v[4], v[5], v[6], is_windows);
}

Result<Settings> Settings::from_parser(PyObject* parser) {
    Settings s;
    Ref epoch = VLM_TRY(attr(parser, "epoch"));
    s.epoch = VLM_TRY(native_epoch(epoch.get()));
    // The one optional attribute: older parsers do not have it.
    if (Ref fav = Ref::steal(PyObject_GetAttrString(parser, "formula_and_value")))
        s.formula_and_value = VLM_TRY(truth(fav.get()));
    else
        PyErr_Clear();
    Ref strings = VLM_TRY(attr(parser, "shared_strings"));
    if (PyList_CheckExact(strings.get()))
        s.shared_count = static_cast<size_t>(PyList_GET_SIZE(strings.get()));
    s.shared_strings = VLM_TRY(attr(parser, "shared_strings"));
    Ref data_only = VLM_TRY(attr(parser, "data_only"));
    s.data_only = VLM_TRY(truth(data_only.get()));
    Ref rich = VLM_TRY(attr(parser, "rich_text"));
    s.rich_text = VLM_TRY(truth(rich.get()));
    s.epoch_obj = VLM_TRY(attr(parser, "epoch"));
    s.date_formats = VLM_TRY(int_set(parser, "date_formats"));
    s.timedelta_formats = VLM_TRY(int_set(parser, "timedelta_formats"));
    return s;
}

Settings Settings::clone() const {
    Settings s;
    s.epoch = epoch;
    s.formula_and_value = formula_and_value;
    s.data_only = data_only;
    s.rich_text = rich_text;
    s.shared_count = shared_count;
    s.shared_strings = Ref::borrow(shared_strings.get());
    s.epoch_obj = Ref::borrow(epoch_obj.get());
    s.date_formats = date_formats;
    s.timedelta_formats = timedelta_formats;
    s.cells_only = cells_only;
    s.detached = detached;
    return s;
}

Result<SlotClass> SlotClass::make(PyObject* cls, std::span<const char* const> names) {
    SlotClass sc;
    sc.offsets_.reserve(names.size());
    for (const char* name : names) {
        Ref d = VLM_TRY(attr(cls, name));
        if (Py_TYPE(d.get()) != reinterpret_cast<PyTypeObject*>(NAMES.member_descriptor_type))
            return type_error(name, " is not a slot");
        auto* descr = reinterpret_cast<PyMemberDescrObject*>(d.get());
        // A descriptor of an unrelated class would give an offset outside
        // this class's instances: writing there would corrupt memory.
        if (!PyType_Check(cls) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), PyDescr_TYPE(d.get())))
            return type_error(name, " is not a slot");
        const PyMemberDef* m = descr->d_member;
        if (m->type != Py_T_OBJECT_EX || (m->flags & Py_READONLY))
            return type_error(name, " has unexpected slot type");
        sc.offsets_.push_back(m->offset);
    }
    return sc;
}

void SlotClass::set(PyObject* obj, size_t i, Ref value) const noexcept {
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offsets_[i]);
    PyObject* old = *slot;
    *slot = value.release();
    Py_XDECREF(old);
}

}  // namespace vlm
