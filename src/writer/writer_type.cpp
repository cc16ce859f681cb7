// SheetWriter as a Python class: construction, write_sheet_data,
// write_row and flush, each an entry point that turns the engine's error
// values into Python exceptions.
#include "writer/writer_type.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/names.h"
#include "host/pytype.h"
#include "writer/writer.h"

#include <new>
#include <optional>

namespace vlm {

namespace {

using writer::SheetWriter;
using Mode = BorrowGuard::Mode;

struct WriterObject {
    PyObject_HEAD
    int borrowed;
    std::optional<SheetWriter> w;
};

WriterObject* as_writer(PyObject* o) noexcept { return reinterpret_cast<WriterObject*>(o); }

constexpr Signature<4> NEW_ARGS{
    "SheetWriter", {&NAMES.ws, &NAMES.write, &NAMES.lxml, &NAMES.helpers}, {"ws", "write", "lxml", "helpers"}, 4};
constexpr Signature<1> DATA_ARGS{"write_sheet_data", {&NAMES.rows_fallback}, {"rows_fallback"}, 1};
constexpr Signature<2> ROW_ARGS{"write_row", {&NAMES.cells, &NAMES.row_idx}, {"cells", "row_idx"}, 2};
constexpr Signature<4> VALUES_ARGS{"write_values",
                                   {&NAMES.values, &NAMES.row_idx, &NAMES.make_cell, &NAMES.styles},
                                   {"values", "row_idx", "make_cell", "styles"},
                                   3};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!NEW_ARGS.parse(args, kwargs, a))
        return nullptr;
    if (!PyBool_Check(a[2]))
        return NEW_ARGS.type_error(2, "bool", a[2]), nullptr;
    if (!PyDict_Check(a[3]))
        return NEW_ARGS.type_error(3, "dict", a[3]), nullptr;
    Result<SheetWriter> made = SheetWriter::make(a[0], a[1], a[2] == Py_True, a[3]);
    if (!made)
        return fallback_err(std::move(made).error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self)
        return nullptr;
    WriterObject* o = as_writer(self);
    o->borrowed = 0;
    new (&o->w) std::optional<SheetWriter>(std::move(*made));
    return self;
}

PyObject* done(Result<void>&& r) {
    if (!r)
        return fallback_err(std::move(r).error());
    Py_RETURN_NONE;
}

PyObject* writer_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1] = {nullptr};
    if (!DATA_ARGS.parse(args, nargs, kwnames, a))
        return nullptr;
    WriterObject* o = as_writer(self);
    BorrowGuard g(o->borrowed, Mode::Exclusive);
    if (!g)
        return nullptr;
    return done(o->w->write_sheet_data(a[0]));
}

// row_idx through Python's integer conversion; a failure is the argument's
// TypeError, caused by the conversion's own error.
bool row_number(const char* fn, PyObject* obj, int64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (index) {
        long long v = PyLong_AsLongLong(index.get());
        if (v != -1 || !PyErr_Occurred()) {
            out = v;
            return true;
        }
    }
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_TypeError, "%s() argument 'row_idx' must be an integer in the 64-bit range, not %T", fn, obj);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(exc.get(), Py_NewRef(cause.get()));
    PyException_SetContext(exc.get(), cause.release());
    PyErr_SetRaisedException(exc.release());
    return false;
}

PyObject* writer_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2] = {nullptr, nullptr};
    if (!ROW_ARGS.parse(args, nargs, kwnames, a))
        return nullptr;
    int64_t row;
    if (!row_number("write_row", a[1], row))
        return nullptr;
    WriterObject* o = as_writer(self);
    BorrowGuard g(o->borrowed, Mode::Exclusive);
    if (!g)
        return nullptr;
    return done(o->w->write_row(a[0], row));
}

PyObject* writer_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4] = {nullptr, nullptr, nullptr, Py_None};
    if (!VALUES_ARGS.parse(args, nargs, kwnames, a))
        return nullptr;
    int64_t row;
    if (!row_number("write_values", a[1], row))
        return nullptr;
    if (a[3] != Py_None && !PyTuple_Check(a[3]))
        return VALUES_ARGS.type_error(3, "tuple or None", a[3]), nullptr;
    WriterObject* o = as_writer(self);
    BorrowGuard g(o->borrowed, Mode::Exclusive);
    if (!g)
        return nullptr;
    Result<int64_t> last = o->w->write_values(a[0], row, a[2], a[3] == Py_None ? nullptr : a[3]);
    if (!last)
        return fallback_err(std::move(last).error());
    return PyLong_FromLongLong(*last);
}

PyObject* writer_flush(PyObject* self, PyObject*) {
    WriterObject* o = as_writer(self);
    BorrowGuard g(o->borrowed, Mode::Exclusive);
    if (!g)
        return nullptr;
    return done(o->w->flush_buf());
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    WriterObject* o = as_writer(self);
    return o->w ? traverse_owner(*o->w, visit, arg) : 0;
}

int writer_clear(PyObject* self) {
    // Emptied first; the references go when `old` does.
    std::optional<SheetWriter> old = std::move(as_writer(self)->w);
    as_writer(self)->w.reset();
    return 0;
}

void writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    writer_clear(self);
    using Opt = std::optional<SheetWriter>;
    as_writer(self)->w.~Opt();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyMethodDef writer_methods[] = {
    {"write_sheet_data", method<writer_sheet_data>(),
     METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data(rows_fallback)\n--\n\nWrites the whole <sheetData> element."},
    {"write_row", method<writer_row>(),
     METH_FASTCALL | METH_KEYWORDS, "write_row(cells, row_idx)\n--\n\nWrites one <row> of a write-only sheet."},
    {"write_values", method<writer_values>(),
     METH_FASTCALL | METH_KEYWORDS,
     "write_values(values, row_idx, make_cell, styles=None)\n--\n\nWrites one <row> of new values; the last column written to, or 0."},
    {"flush", method<writer_flush>(), METH_NOARGS, "Hands everything buffered to write."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("SheetWriter(ws, write, lxml, helpers): a worksheet's <sheetData>.")},
    {Py_tp_new, slot<writer_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec WRITER_SPEC = {
    "_vellum.SheetWriter",
    sizeof(WriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    writer_slots,
};

}  // namespace

int add_sheet_writer(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &WRITER_SPEC, nullptr));
    if (!type)
        return -1;
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get()));
}

}  // namespace vlm
