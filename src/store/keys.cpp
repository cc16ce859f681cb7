// Which Python keys name a cell: the exact (int, int) tuple of the fast path,
// and the slow test for keys a dict would treat as equal to one.
#include "store/store.h"

#include "host/names.h"

namespace vlm::store {

namespace {

constexpr int64_t MAX_COORD = 0xFFFFFFFF;

// An exact int in 0..2^32-1; never raises.
std::optional<uint32_t> exact_coord(PyObject* o) noexcept {
    if (!PyLong_CheckExact(o))
        return std::nullopt;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        if (v < 0 || v > MAX_COORD)
            return std::nullopt;
        return static_cast<uint32_t>(v);
    }
    uint32_t v;
    if (PyLong_AsUInt32(o, &v) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

// int(x) equal to x, with equal hashes, in range; any failure is "no".
std::optional<uint32_t> equivalent_coord(PyObject* int_type, PyObject* x) {
    Ref y = Ref::steal(PyObject_CallOneArg(int_type, x));
    if (!y) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref eq = Ref::steal(PyObject_RichCompare(x, y.get(), Py_EQ));
    int same = eq ? PyObject_IsTrue(eq.get()) : -1;
    Py_hash_t hx = same > 0 ? PyObject_Hash(x) : -1;
    Py_hash_t hy = hx != -1 ? PyObject_Hash(y.get()) : -1;
    if (same <= 0 || hx == -1 || hy == -1 || hx != hy) {
        PyErr_Clear();
        return std::nullopt;
    }
    long long v = PyLong_Check(y.get()) ? PyLong_AsLongLong(y.get()) : -1;
    if (v < 0 || v > MAX_COORD) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

}  // namespace

std::optional<Key> CellStore::exact_key(PyObject* key) noexcept {
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2)
        return std::nullopt;
    std::optional<uint32_t> row = exact_coord(PyTuple_GET_ITEM(key, 0));
    std::optional<uint32_t> column = row ? exact_coord(PyTuple_GET_ITEM(key, 1)) : std::nullopt;
    if (!column)
        return std::nullopt;
    return Key{*row, *column};
}

Result<std::optional<Key>> CellStore::equivalent_key(PyObject* key) {
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2)
        return std::nullopt;
    // The items are held: an __eq__ may drop the tuple's last other reference.
    Ref key_ref = Ref::borrow(key);
    std::optional<uint32_t> row = equivalent_coord(NAMES.builtin_int, PyTuple_GET_ITEM(key, 0));
    std::optional<uint32_t> column = row ? equivalent_coord(NAMES.builtin_int, PyTuple_GET_ITEM(key, 1)) : std::nullopt;
    if (!column)
        return std::nullopt;
    return Key{*row, *column};
}

}  // namespace vlm::store
