// The host records as plain Python values, so tests can check every field.
//
//   helpers_record(d) -> {key: object, ..., "text_dangerous": [bytes], "rich_dangerous": [bytes]}
//   settings_record(parser) -> dict of the Settings fields ("epoch" is None
//                              or (day_number, time_us, windows))
//   slot_offsets(cls, names) -> tuple of member offsets
//   slot_fill(cls, names, values) -> a new instance, allocated without
//                                    __init__, with the slots filled
//   dt_strings() -> the seven data-type strings of a fresh DT
#include "host/dt.h"
#include "host/helpers.h"
#include "registry.h"

namespace vlm::testing {
namespace {

PyObject* name_list(const NameSet& s) {
    PyObject* l = PyList_New(0);
    for (const std::string& n : s.items()) {
        Ref b = Ref::steal(PyBytes_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
        if (!l || !b || PyList_Append(l, b.get()) < 0) {
            Py_XDECREF(l);
            return nullptr;
        }
    }
    return l;
}

PyObject* int_list(const IntSet& s) {
    PyObject* l = PyList_New(0);
    for (int64_t v : s.items()) {
        Ref i = Ref::steal(PyLong_FromLongLong(v));
        if (!l || !i || PyList_Append(l, i.get()) < 0) {
            Py_XDECREF(l);
            return nullptr;
        }
    }
    return l;
}

// Sets d[key] = value, taking over the reference; false on failure.
bool put(PyObject* d, const char* key, PyObject* value) {
    Ref v = Ref::steal(value);
    return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

PyObject* helpers_record(PyObject*, PyObject* arg) {
    Result<Helpers> h = Helpers::from_dict(arg);
    if (!h)
        return fallback_err(std::move(h).error());
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return nullptr;
    for (size_t i = 0; i < HELPER_COUNT; ++i)
        if (!put(d.get(), HELPER_KEYS[i], Py_NewRef(h->get(static_cast<Helper>(i)))))
            return nullptr;
    if (!put(d.get(), "text_dangerous", name_list(h->text_dangerous())) ||
        !put(d.get(), "rich_dangerous", name_list(h->rich_dangerous())))
        return nullptr;
    return d.release();
}

PyObject* epoch_tuple(const std::optional<Epoch>& e) {
    if (!e)
        Py_RETURN_NONE;
    return Py_BuildValue("(LLO)", (long long)e->day_number, (long long)e->time_us,
                         e->windows ? Py_True : Py_False);
}

PyObject* settings_record(PyObject*, PyObject* arg) {
    Result<Settings> r = Settings::from_parser(arg);
    if (!r)
        return fallback_err(std::move(r).error());
    const Settings s = r->clone();  // the copy consumers keep must match
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return nullptr;
    if (!put(d.get(), "epoch", epoch_tuple(s.epoch)) ||
        !put(d.get(), "formula_and_value", PyBool_FromLong(s.formula_and_value)) ||
        !put(d.get(), "data_only", PyBool_FromLong(s.data_only)) ||
        !put(d.get(), "rich_text", PyBool_FromLong(s.rich_text)) ||
        !put(d.get(), "shared_count", PyLong_FromSize_t(s.shared_count)) ||
        !put(d.get(), "shared_strings", Py_NewRef(s.shared_strings.get())) ||
        !put(d.get(), "epoch_obj", Py_NewRef(s.epoch_obj.get())) ||
        !put(d.get(), "date_formats", int_list(s.date_formats)) ||
        !put(d.get(), "timedelta_formats", int_list(s.timedelta_formats)))
        return nullptr;
    return d.release();
}

// The names as C strings; `keep` owns the str objects they point into.
bool slot_names(PyObject* seq, Ref& keep, std::vector<const char*>& out) {
    keep = Ref::steal(PySequence_Tuple(seq));
    if (!keep)
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keep.get()); ++i) {
        const char* s = PyUnicode_AsUTF8(PyTuple_GET_ITEM(keep.get(), i));
        if (!s)
            return false;
        out.push_back(s);
    }
    return true;
}

PyObject* slot_offsets(PyObject*, PyObject* args) {
    PyObject *cls, *seq;
    Ref keep;
    std::vector<const char*> names;
    if (!PyArg_ParseTuple(args, "OO", &cls, &seq) || !slot_names(seq, keep, names))
        return nullptr;
    Result<SlotClass> sc = SlotClass::make(cls, names);
    if (!sc)
        return fallback_err(std::move(sc).error());
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sc->size())));
    for (size_t i = 0; t && i < sc->size(); ++i) {
        PyObject* o = PyLong_FromSsize_t(sc->offset(i));
        if (!o)
            return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), o);
    }
    return t.release();
}

PyObject* slot_fill(PyObject*, PyObject* args) {
    PyObject *cls, *seq, *values;
    Ref keep;
    std::vector<const char*> names;
    if (!PyArg_ParseTuple(args, "O!OO!", &PyType_Type, &cls, &seq, &PyTuple_Type, &values) ||
        !slot_names(seq, keep, names))
        return nullptr;
    if (PyTuple_GET_SIZE(values) != static_cast<Py_ssize_t>(names.size())) {
        PyErr_SetString(PyExc_ValueError, "one value per name");
        return nullptr;
    }
    Result<SlotClass> sc = SlotClass::make(cls, names);
    if (!sc)
        return fallback_err(std::move(sc).error());
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    Ref obj = Ref::steal(alloc(type, 0));
    if (!obj)
        return nullptr;
    for (size_t i = 0; i < names.size(); ++i)
        sc->set(obj.get(), i, Ref::borrow(PyTuple_GET_ITEM(values, static_cast<Py_ssize_t>(i))));
    return obj.release();
}

PyObject* dt_strings(PyObject*, PyObject*) {
    Result<DT> dt = DT::make();
    if (!dt)
        return fallback_err(std::move(dt).error());
    const DT copy = dt->clone();
    PyObject* t = PyTuple_New(DT::COUNT);
    for (size_t i = 0; t && i < DT::COUNT; ++i)
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), Py_NewRef(copy.str(i)));
    return t;
}

PyMethodDef methods[] = {
    {"helpers_record", helpers_record, METH_O, nullptr},
    {"settings_record", settings_record, METH_O, nullptr},
    {"slot_offsets", slot_offsets, METH_VARARGS, nullptr},
    {"slot_fill", slot_fill, METH_VARARGS, nullptr},
    {"dt_strings", dt_strings, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_host_records(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
