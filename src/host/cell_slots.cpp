// Cell objects filled slot by slot (cell_slots.h).
#include "host/cell_slots.h"

#include "host/names.h"

namespace vlm {

namespace {

constexpr const char EXTRA_MSG[] = "extra_none must be None or a sequence of str";

bool same_names(const std::vector<Ref>& have, PyObject* extra) {
    Py_ssize_t n = extra == Py_None ? 0 : PySequence_Size(extra);
    if (n < 0 || static_cast<size_t>(n) != have.size()) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(extra, i));
        if (!item) {
            PyErr_Clear();
            return false;
        }
        if (item.get() != have[static_cast<size_t>(i)].get() &&
            PyUnicode_Compare(item.get(), have[static_cast<size_t>(i)].get()) != 0)
            return false;
    }
    return true;
}

}  // namespace

bool check_extra_names(PyObject* extra) {
    if (extra == Py_None)
        return true;
    bool seq = PyList_CheckExact(extra) || PyTuple_CheckExact(extra);
    if (!seq && !PyUnicode_Check(extra)) {
        int r = PyObject_IsInstance(extra, NAMES.sequence_abc);
        if (r < 0)
            return false;
        seq = r;
    }
    if (seq) {
        Ref fast = Ref::steal(PySequence_Fast(extra, EXTRA_MSG));
        if (!fast)
            return false;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        PyObject** items = PySequence_Fast_ITEMS(fast.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyUnicode_Check(items[i])) {
                seq = false;
                break;
            }
        }
    }
    if (!seq)
        PyErr_SetString(PyExc_TypeError, EXTRA_MSG);
    return seq;
}

bool CellSlots::matches(PyObject* cls, PyObject* extra, bool formulas) const {
    return class_.cls() == cls && formulas_ == formulas && same_names(extra_, extra);
}

Result<CellClass> CellClass::make(PyObject* cls, std::span<const char* const> names) {
    CellClass c;
    c.slots_ = VLM_TRY(SlotClass::make(cls, names));
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    c.alloc_ = alloc ? alloc : PyType_GenericAlloc;
    c.cls_ = Ref::borrow(cls);
    return c;
}

Result<Ref> CellClass::alloc() const {
    Ref obj = Ref::steal(alloc_(reinterpret_cast<PyTypeObject*>(cls_.get()), 0));
    if (!obj)
        return fetched();
    return obj;
}

Result<CellSlots> CellSlots::make(PyObject* cls, PyObject* extra, bool formulas) {
    std::vector<const char*> names(std::begin(STREAMED_SLOTS),
                                   std::begin(STREAMED_SLOTS) + (formulas ? std::size(STREAMED_SLOTS) : STREAMED_PLAIN));
    std::vector<Ref> extra_refs;
    if (extra != Py_None) {
        Ref fast = Ref::steal(PySequence_Fast(extra, EXTRA_MSG));
        if (!fast)
            return fetched();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
            PyObject* n = PySequence_Fast_GET_ITEM(fast.get(), i);
            const char* utf8 = PyUnicode_AsUTF8(n);
            if (!utf8)
                return fetched();
            names.push_back(utf8);
            extra_refs.push_back(Ref::borrow(n));
        }
    }
    CellSlots cs(VLM_TRY(CellClass::make(cls, names)));
    cs.extra_ = std::move(extra_refs);
    cs.formulas_ = formulas;
    return cs;
}

Result<Ref> CellSlots::make_cell(PyObject* parent, CellFields&& f) const {
    Ref cell = VLM_TRY(class_.alloc());
    PyObject* obj = cell.get();
    using S = StreamedSlot;
    class_.set(obj, S::Parent, Ref::borrow(parent));
    class_.set(obj, S::Row, std::move(f.row));
    class_.set(obj, S::Column, std::move(f.column));
    class_.set(obj, S::Value, std::move(f.value));
    class_.set(obj, S::DataType, std::move(f.data_type));
    class_.set(obj, S::StyleId, std::move(f.style_id));
    size_t i = STREAMED_PLAIN;
    if (formulas_) {
        class_.set(obj, S::Formula, std::move(f.formula));
        class_.set(obj, S::CachedValue, std::move(f.cached_value));
        i = std::size(STREAMED_SLOTS);
    }
    while (i < class_.size())
        class_.set(obj, i++, Ref::borrow(Py_None));
    return cell;
}

namespace {

Ref name_tuple(std::span<const char* const> names) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (size_t i = 0; t && i < names.size(); ++i) {
        PyObject* s = PyUnicode_InternFromString(names[i]);
        if (!s)
            return Ref();
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), s);
    }
    return t;
}

}  // namespace

int add_cell_slots(PyObject* module) {
    std::span<const char* const> streamed(STREAMED_SLOTS);
    Ref plain = name_tuple(streamed.first(STREAMED_PLAIN));
    Ref formula = plain ? name_tuple(streamed.subspan(STREAMED_PLAIN)) : Ref();
    Ref full = formula ? name_tuple(FULL_SLOTS) : Ref();
    Ref slots = full ? Ref::steal(Py_BuildValue("{sOsOsO}", "streamed", plain.get(), "formula", formula.get(), "full",
                                                full.get()))
                     : Ref();
    if (!slots)
        return -1;
    return PyModule_AddObjectRef(module, "CELL_SLOTS", slots.get());
}

}  // namespace vlm
