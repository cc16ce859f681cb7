// KeyIter: the keys of a CellStore in native mode, loaded cells in row-major
// order first, then the later ones in the order they came, or all of them
// in reverse (`reversed(store)`). Like a dict's iterators it fails once the
// set of keys changed, but it notices any change (the store's generation),
// not only a change of size, and it stays failed; once it has run out it
// lets the store go and stays exhausted whatever the store does after.
#include "store/store_iter.h"

#include "host/entry.h"
#include "host/pytype.h"

#include <new>

namespace vlm::store {

namespace {

struct IterState {
    Ref store;            // the CellStore object, kept alive; none once run out
    uint32_t pos = 0;     // records first, then overflow entries; backwards:
                          // the places not yet visited
    uint32_t len = 0;     // the store's length at creation
    uint64_t generation;  // the store's generation at creation
    size_t slot = SIZE_MAX;  // row slot of the last record visited
    Ref row_obj;          // the Python int of that row
    uint32_t row_value = 0;
    Ref keys[2];          // the last two keys handed out, reused once dropped
    unsigned turn = 0;
    bool reverse = false;

    template <class F>
    void visit(F&& f) const {
        f(store.get());
        f(row_obj.get());
        f(keys[0].get());
        f(keys[1].get());
    }
};

// Its borrow flag goes unused: nothing it does runs Python code.
using KeyIterObject = Object<IterState>;

// The class, made once per module execution and kept for the process.
PyTypeObject* KEY_ITER_TYPE = nullptr;

// The key tuple (row, column), column taken over. A loop that drops its
// keys gets tuples back refilled, as CPython's own dict.items() and zip()
// iterators do: a tuple nobody else holds may be changed, its cached hash
// reset. Two are kept, because `for key in store` still holds the last one
// when it asks for the next. Ints only, so their GC state never changes.
PyObject* next_tuple(IterState& s, PyObject* row, PyObject* column) {
    s.turn ^= 1;
    PyObject* key = s.keys[s.turn].get();
    if (key && Py_REFCNT(key) == 1) {
        auto* tuple = reinterpret_cast<PyTupleObject*>(key);
        Py_SETREF(tuple->ob_item[0], Py_NewRef(row));
        Py_SETREF(tuple->ob_item[1], column);
        tuple->ob_hash = -1;
        return Py_NewRef(key);
    }
    key = PyTuple_New(2);
    if (!key) {
        Py_DECREF(column);
        return nullptr;
    }
    PyTuple_SET_ITEM(key, 0, Py_NewRef(row));
    PyTuple_SET_ITEM(key, 1, column);
    s.keys[s.turn] = Ref::borrow(key);
    return key;
}

PyObject* iter_next(PyObject* self) {
    // No Python code runs below (the collector runs only between bytecodes),
    // so nothing can re-enter the iterator, and the store's shared borrow
    // is checked rather than held.
    std::optional<IterState>& state = KeyIterObject::of(self)->value;
    if (!state || !state->store)
        return nullptr;
    IterState& s = *state;
    StoreObject* so = StoreObject::of(s.store.get());
    if (!BorrowGuard::available(so->borrowed, BorrowGuard::Mode::Shared))
        return nullptr;
    const CellStore& st = *so->value;
    if (st.generation() != s.generation) {
        PyErr_SetString(PyExc_RuntimeError, st.size() != s.len ? "dictionary changed size during iteration"
                                                                : "dictionary keys changed during iteration");
        return nullptr;
    }
    std::optional<Key> k = s.reverse ? st.prev_key(s.pos, s.slot) : st.next_key(s.pos, s.slot);
    if (!k) {
        s.store.reset();
        return nullptr;
    }
    if (!s.row_obj || s.row_value != k->row) {
        Ref r = Ref::steal(PyLong_FromUnsignedLong(k->row));
        if (!r)
            return nullptr;
        s.row_obj = std::move(r);
        s.row_value = k->row;
    }
    PyObject* column = PyLong_FromUnsignedLong(k->column);
    if (!column)
        return nullptr;
    return next_tuple(s, s.row_obj.get(), column);
}

PyType_Slot iter_slots[] = {
    VLM_OBJECT_SLOTS(IterState),
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, slot<iter_next>()},
    {0, nullptr},
};

PyType_Spec ITER_SPEC = {
    "_vellum.KeyIter",
    sizeof(KeyIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
};

}  // namespace

int add_key_iter(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &ITER_SPEC, nullptr);
    if (!type)
        return -1;
    Py_XDECREF(std::exchange(KEY_ITER_TYPE, reinterpret_cast<PyTypeObject*>(type)));
    return 0;
}

PyObject* new_key_iter(PyObject* store_obj, bool reverse) {
    const CellStore& st = *StoreObject::of(store_obj)->value;
    return new_object(KEY_ITER_TYPE, IterState{Ref::borrow(store_obj), reverse ? st.end_pos() : 0, st.size(),
                                               st.generation(), SIZE_MAX, Ref(), 0, {}, 0, reverse});
}

}  // namespace vlm::store
