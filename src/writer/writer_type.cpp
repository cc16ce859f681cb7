// SheetWriter as a Python class: construction, write_sheet_data,
// write_row and flush, each an entry point that turns the engine's error
// values into Python exceptions.
#include "writer/writer_type.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/names.h"
#include "host/pytype.h"
#include "writer/writer.h"

namespace vlm {

namespace {

using writer::SheetWriter;
using Mode = BorrowGuard::Mode;
using WriterObject = Object<SheetWriter>;

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
    return new_object(type, std::move(*made));
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
    Borrowed<SheetWriter> w(self, Mode::Exclusive);
    return w ? done(w->write_sheet_data(a[0])) : nullptr;
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

// A row method's arguments (the row number second), parsed and checked.
template <size_t N>
bool row_args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject* (&a)[N], int64_t& row) {
    return sig.parse(args, nargs, kwnames, a) && row_number(sig.fname, a[1], row);
}

PyObject* writer_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2] = {nullptr, nullptr};
    int64_t row;
    if (!row_args(ROW_ARGS, args, nargs, kwnames, a, row))
        return nullptr;
    Borrowed<SheetWriter> w(self, Mode::Exclusive);
    return w ? done(w->write_row(a[0], row)) : nullptr;
}

PyObject* writer_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4] = {nullptr, nullptr, nullptr, Py_None};
    int64_t row;
    if (!row_args(VALUES_ARGS, args, nargs, kwnames, a, row))
        return nullptr;
    if (a[3] != Py_None && !PyTuple_Check(a[3]))
        return VALUES_ARGS.type_error(3, "tuple or None", a[3]), nullptr;
    Borrowed<SheetWriter> w(self, Mode::Exclusive);
    if (!w)
        return nullptr;
    Result<int64_t> last = w->write_values(a[0], row, a[2], a[3] == Py_None ? nullptr : a[3]);
    if (!last)
        return fallback_err(std::move(last).error());
    return PyLong_FromLongLong(*last);
}

PyObject* writer_flush(PyObject* self, PyObject*) {
    Borrowed<SheetWriter> w(self, Mode::Exclusive);
    return w ? done(w->flush_buf()) : nullptr;
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
    VLM_OBJECT_SLOTS(SheetWriter),
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

int add_sheet_writer(PyObject* module) { return add_type(module, WRITER_SPEC); }

}  // namespace vlm
