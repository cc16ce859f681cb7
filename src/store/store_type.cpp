// CellStore as a Python mapping: every operation with its borrow, dict mode
// passed straight through to the dict, and the private methods the package
// uses to walk rows and inspect the store.
#include "store/store_type.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/names.h"
#include "store/store_iter.h"

#include <new>
#include <tuple>

namespace vlm {

namespace {

using store::CellStore;
using store::Key;
using store::Loc;
using Mode = BorrowGuard::Mode;
using store::StoreObject;

PyObject* raise(XmlError&& e) { return fallback_err(std::move(e)); }

// KeyError(key), with the key as its one argument even when it is a tuple.
PyObject* key_error(PyObject* key) {
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc)
        PyErr_SetObject(PyExc_KeyError, exc.get());
    return nullptr;
}

// What a change let go of. Declared before the borrow, so that it is
// released after it: a __del__ it runs may then use the store like any dict.
struct Released {
    Ref one;
    std::vector<Ref> many;
    Ref dict;
};

// A key resolved against the store: the cell's place when it is there, and
// the key itself when it names a cell at all (exactly or equivalently).
struct Resolved {
    std::optional<Key> key;
    std::optional<Loc> loc;
};

// An exact (int, int) tuple is looked up without hashing; any other key is
// hashed first (so an unhashable key raises as in a dict), then tested for
// an equivalent pair.
Result<Resolved> resolve(const CellStore& st, PyObject* key) {
    std::optional<Key> k = CellStore::exact_key(key);
    if (!k) {
        if (PyObject_Hash(key) == -1)
            return std::unexpected(XmlError::fetch());
        k = VLM_TRY(CellStore::equivalent_key(key));
    }
    if (!k)
        return Resolved{};
    return Resolved{k, st.find_key(*k)};
}

// --- The mapping

Py_ssize_t store_len(PyObject* self) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return -1;
    if (PyObject* d = st->dict())
        return PyDict_Size(d);
    return st->size();
}

int store_contains(PyObject* self, PyObject* key) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return -1;
    if (PyObject* d = st->dict())
        return PyDict_Contains(d, key);
    Result<Resolved> r = resolve(*st, key);
    if (!r)
        return raise(std::move(r).error()), -1;
    return r->loc.has_value();
}

// The Cell under `key`, or nothing (no exception) when there is none.
Result<Ref> lookup(CellStore& st, PyObject* key) {
    if (PyObject* d = st.dict()) {
        PyObject* item;
        if (PyDict_GetItemRef(d, key, &item) < 0)
            return std::unexpected(XmlError::fetch());
        return Ref::steal(item);
    }
    Resolved r = VLM_TRY(resolve(st, key));
    if (!r.loc)
        return Ref();
    return st.materialize(*r.loc);
}

PyObject* store_getitem(PyObject* self, PyObject* key) {
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return nullptr;
    Result<Ref> cell = lookup(*st, key);
    if (!cell)
        return raise(std::move(cell).error());
    return *cell ? cell->release() : key_error(key);
}

int store_delete(CellStore& st, PyObject* key, Released& released) {
    if (PyObject* d = st.dict())
        return PyDict_DelItem(d, key);
    Result<Resolved> r = resolve(st, key);
    if (!r)
        return raise(std::move(r).error()), -1;
    if (!r->loc)
        return key_error(key), -1;
    released.one = st.remove(*r->loc);
    return 0;
}

int store_assign(CellStore& st, PyObject* key, PyObject* value, Released& released) {
    if (!st.dict()) {
        Result<Resolved> r = resolve(st, key);
        if (!r)
            return raise(std::move(r).error()), -1;
        if (r->key) {
            released.one = st.assign(r->loc, *r->key, Ref::borrow(value));
            return 0;
        }
        Result<std::vector<Ref>> cells = st.enter_dict_mode();
        if (!cells)
            return raise(std::move(cells).error()), -1;
        released.many = std::move(*cells);
    }
    return PyDict_SetItem(st.dict(), key, value);
}

int store_setitem(PyObject* self, PyObject* key, PyObject* value) {
    Released released;
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return -1;
    return value ? store_assign(*st, key, value, released) : store_delete(*st, key, released);
}

PyObject* store_iter(PyObject* self) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return nullptr;
    if (PyObject* d = st->dict())
        return PyObject_GetIter(d);
    return store::new_key_iter(self);
}

// --- Methods

PyObject* store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "get expected %s 1 argument%s, got %zd", nargs < 1 ? "at least" : "at most",
                     nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return nullptr;
    Result<Ref> cell = lookup(*st, args[0]);
    if (!cell)
        return raise(std::move(cell).error());
    return *cell ? cell->release() : Py_NewRef(nargs > 1 ? args[1] : Py_None);
}

PyObject* store_reversed(PyObject* self, PyObject*) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return nullptr;
    if (PyObject* d = st->dict())
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), d);
    return store::new_key_iter(self, true);
}

PyObject* store_clear(PyObject* self, PyObject*) {
    Released released;
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return nullptr;
    std::tie(released.many, released.dict) = st->clear();
    Py_RETURN_NONE;
}

PyObject* store_popitem(PyObject* self, PyObject*) {
    Released released;
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return nullptr;
    if (PyObject* d = st->dict())
        return PyObject_CallMethod(d, "popitem", nullptr);
    std::optional<Loc> loc = st->last_loc();
    if (!loc) {
        PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
        return nullptr;
    }
    Result<Ref> cell = st->materialize(*loc);
    if (!cell)
        return raise(std::move(cell).error());
    store::Entry e = st->entry(*loc);
    Ref pair = Ref::steal(Py_BuildValue("((kk)O)", static_cast<unsigned long>(e.row),
                                        static_cast<unsigned long>(e.column), cell->get()));
    if (!pair)
        return nullptr;
    released.one = st->remove(*loc);
    return pair.release();
}

// (min_row, max_row, min_col, max_col), or None.
PyObject* bounds_tuple(const std::optional<CellStore::Bounds>& b) {
    if (!b)
        Py_RETURN_NONE;
    return Py_BuildValue("(kkkk)", static_cast<unsigned long>(b->min_row), static_cast<unsigned long>(b->max_row),
                         static_cast<unsigned long>(b->min_col), static_cast<unsigned long>(b->max_col));
}

PyObject* store_bounds(PyObject* self, PyObject*) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return nullptr;
    return bounds_tuple(st->dict() ? std::nullopt : st->bounds());
}

// Exclusive: asking a cell object for its value runs Python code.
PyObject* store_value_bounds(PyObject* self, PyObject*) {
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return nullptr;
    if (st->dict())
        Py_RETURN_NONE;
    Result<std::optional<CellStore::Bounds>> b = st->value_bounds();
    if (!b)
        return raise(std::move(b).error());
    return bounds_tuple(*b);
}

PyObject* store_in_dict_mode(PyObject* self, PyObject*) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return nullptr;
    return Py_NewRef(st->dict() ? Py_True : Py_False);
}

PyObject* store_stats(PyObject* self, PyObject*) {
    Borrowed<CellStore> st(self, Mode::Shared);
    if (!st)
        return nullptr;
    CellStore::Stats s = st->stats();
    return Py_BuildValue("(kknn)", static_cast<unsigned long>(s.cells), static_cast<unsigned long>(s.materialized),
                         static_cast<Py_ssize_t>(s.templates), static_cast<Py_ssize_t>(s.text_bytes));
}

constexpr Signature<4> ROW_ARGS{
    "_row", {&NAMES.row, &NAMES.min_col, &NAMES.max_col, &NAMES.values_only}, {"row", "min_col", "max_col", "values_only"}, 4};

// Worksheet._cells_by_row, one row: the caller has checked the coordinates.
PyObject* store_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!ROW_ARGS.parse(args, nargs, kwnames, a))
        return nullptr;
    int64_t v[3];
    for (size_t i = 0; i < 3; ++i) {
        if (!PyLong_Check(a[i]))
            return ROW_ARGS.type_error(i, "int", a[i]), nullptr;
        if (PyLong_AsInt64(a[i], &v[i]) < 0)
            return nullptr;
        if (v[i] < 0 || v[i] > 0xFFFFFFFF)
            return raise(XmlError::internal("_row coordinates are checked by caller"));
    }
    if (!PyBool_Check(a[3]))
        return ROW_ARGS.type_error(3, "bool", a[3]), nullptr;
    bool values_only = a[3] == Py_True;
    Borrowed<CellStore> st(self, Mode::Exclusive);
    if (!st)
        return nullptr;
    // Many objects are made at once: the collector would only walk them.
    int gc_was_on = values_only ? 0 : PyGC_Disable();
    auto r = st->row_items(static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]),
                                static_cast<uint32_t>(v[2]), values_only);
    if (gc_was_on)
        PyGC_Enable();
    if (!r)
        return raise(std::move(r).error());
    return Py_BuildValue("(NO)", r->first.release(), r->second ? Py_True : Py_False);
}

// --- The type

PyObject* store_new(PyTypeObject* type, PyObject*, PyObject*) { return new_object(type, CellStore()); }

PyMethodDef store_methods[] = {
    {"get", method<store_get>(), METH_FASTCALL,
     "get(key, default=None, /)\n--\n\nThe Cell under key, else default."},
    {"__reversed__", method<store_reversed>(), METH_NOARGS, "The keys in reverse order."},
    {"clear", method<store_clear>(), METH_NOARGS, "Removes every cell; leaves dict mode."},
    {"popitem", method<store_popitem>(), METH_NOARGS, "Removes and returns the newest (key, Cell) pair."},
    {"_bounds", method<store_bounds>(), METH_NOARGS, "(min_row, max_row, min_col, max_col), or None."},
    {"_value_bounds", method<store_value_bounds>(), METH_NOARGS,
     "(min_row, max_row, min_col, max_col) of the cells holding a value, or None."},
    {"_in_dict_mode", method<store_in_dict_mode>(), METH_NOARGS, "Whether a plain dict holds the cells."},
    {"_stats", method<store_stats>(), METH_NOARGS, "(cells, materialised cells, templates, text bytes)."},
    {"_row", method<store_row>(), METH_FASTCALL | METH_KEYWORDS,
     "_row(row, min_col, max_col, values_only)\n--\n\n((items...), created)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("The cells of one worksheet, keyed by (row, column).")},
    {Py_tp_new, slot<store_new>()},
    VLM_OBJECT_SLOTS(CellStore),
    {Py_tp_iter, slot<store_iter>()},
    {Py_tp_methods, store_methods},
    {Py_mp_length, slot<store_len>()},
    {Py_mp_subscript, slot<store_getitem>()},
    {Py_mp_ass_subscript, slot<store_setitem>()},
    {Py_sq_contains, slot<store_contains>()},
    {Py_tp_token, Py_TP_USE_SPEC},
    {0, nullptr},
};

PyType_Spec STORE_SPEC = {
    "_vellum.CellStore",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
        Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

}  // namespace

bool check_cell_store(PyObject* obj) {
    int found = PyType_GetBaseByToken(Py_TYPE(obj), &STORE_SPEC, nullptr);
    if (found == 0)
        PyErr_Format(PyExc_TypeError, "expected a CellStore, not %T", obj);
    return found > 0;
}

StoreObject* cell_store_of(PyObject* obj) noexcept {
    if (PyType_GetBaseByToken(Py_TYPE(obj), &STORE_SPEC, nullptr) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    return StoreObject::of(obj);
}

int add_cell_store(PyObject* module) {
    if (store::add_key_iter(module) < 0)
        return -1;
    return add_type(module, STORE_SPEC);
}

}  // namespace vlm
