// The cell store filled as the loader fills it, for the tests and the
// benchmark. This module has its own CellStore class (the engine's code,
// built into this extension): stores passed here must be made from it.
//
//   load_cells(store, ws, cell_styles, cell_cls, parser, helpers, cells, masters=())
//       cells: [(row, column, (tag, value), data_type, style_id)], placed in
//       order; tags: none, int, float, bool, ss (index), str, shared
//       ((master, row, column) or (master,) without a target), date_int,
//       date_float, py; data_type any str; style_id an int, None (no style)
//       or any other object (kept as the parser keeps an odd one).
//       masters: [(formula, row, column)], the sheet's shared formulas.
//   fill_store(store, ws, cell_styles, cell_cls, parser, helpers, rows, cols, shape)
//       rows x cols cells from (1, 1); shape "numbers" (small ints in odd
//       columns, floats in even ones) or "strings" (shared-string indices)
//   store_bytes(store) -> int      the store's own accounting
#include "formula/translator.h"
#include "registry.h"
#include "sheet/values.h"
#include "store/store_type.h"

#include <cstring>

namespace vlm::testing {
namespace {

using sheet::CellRec;
using sheet::Val;

Result<sheet::ValueContext> value_context(PyObject* parser, PyObject* helpers) {
    Helpers h = VLM_TRY(Helpers::from_dict(helpers));
    Settings s = VLM_TRY(Settings::from_parser(parser));
    return sheet::ValueContext::make(h, s);
}

Result<void> add_masters(sheet::ValueContext& values, PyObject* masters) {
    Ref it = Ref::steal(PyObject_GetIter(masters));
    if (!it)
        return fetched();
    while (Ref m = Ref::steal(PyIter_Next(it.get()))) {
        const char* f;
        Py_ssize_t n;
        long long row, col;
        if (!PyArg_ParseTuple(m.get(), "s#LL", &f, &n, &row, &col))
            return fetched();
        auto t = formula::Translator::compile(std::string_view(f, static_cast<size_t>(n)), row, col);
        if (!t)
            return std::unexpected(sheet::formula_err(values.helpers(), t.error()));
        values.add_master(sheet::Shared{std::move(*t), Ref()});
    }
    if (PyErr_Occurred())
        return fetched();
    return {};
}

Result<Val> tagged_value(PyObject* tagged) {
    const char* tag;
    PyObject* v;
    if (!PyArg_ParseTuple(tagged, "sO", &tag, &v))
        return fetched();
    Val out;
    std::string_view t(tag);
    if (t == "none") {
        out.kind = Val::Kind::None;
    } else if (t == "int" || t == "ss" || t == "date_int") {
        out.kind = t == "int" ? Val::Kind::Int : t == "ss" ? Val::Kind::SharedString : Val::Kind::DateInt;
        out.i = PyLong_AsLongLong(v);
    } else if (t == "float" || t == "date_float") {
        out.kind = t == "float" ? Val::Kind::Float : Val::Kind::DateFloat;
        out.f = PyFloat_AsDouble(v);
    } else if (t == "bool") {
        out.kind = Val::Kind::Bool;
        out.b = v == Py_True;
    } else if (t == "str") {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        if (!s)
            return fetched();
        out.kind = Val::Kind::Str;
        out.s.assign(s, static_cast<size_t>(n));
    } else if (t == "shared") {
        out.kind = Val::Kind::SharedChild;
        long long master, row = 0, col = 0;
        if (!PyArg_ParseTuple(v, "L|LL", &master, &row, &col))
            return fetched();
        out.i = master;
        out.has_dest = PyTuple_GET_SIZE(v) == 3;
        out.drow = row;
        out.dcol = col;
    } else if (t == "py") {
        out.kind = Val::Kind::Py;
        out.py = Ref::borrow(v);
    } else {
        PyErr_Format(PyExc_ValueError, "unknown value tag %s", tag);
    }
    if (PyErr_Occurred())
        return fetched();
    return out;
}

Result<void> place_one(store::CellStore& st, const sheet::ValueContext& values, PyObject* cell) {
    long long row, col;
    PyObject *tagged, *dtype, *style;
    if (!PyArg_ParseTuple(cell, "LLOUO", &row, &col, &tagged, &dtype, &style))
        return fetched();
    CellRec rec;
    rec.row = row;
    rec.column = col;
    rec.value = VLM_TRY(tagged_value(tagged));
    rec.dtype_py = Ref::borrow(dtype);
    for (size_t i = 0; i < DT::COUNT; ++i) {
        if (PyUnicode_CompareWithASCIIString(dtype, DT::TEXTS[i]) == 0) {
            rec.dtype = static_cast<int>(i);
            rec.dtype_py.reset();
        }
    }
    if (style == Py_None)
        return st.place_value(std::move(rec), store::NO_STYLE, values);
    if (PyLong_CheckExact(style)) {
        rec.style = PyLong_AsLongLong(style);
        if (rec.style == -1 && PyErr_Occurred())
            return fetched();
    } else {
        rec.style_py = Ref::borrow(style);
    }
    return st.place_record(std::move(rec), values);
}

// The load between its set-up and its end, with the store borrowed for all of it.
template <class Place>
PyObject* load(PyObject* const* a, PyObject* masters, Place&& place) {
    if (!check_cell_store(a[0]))
        return nullptr;
    Borrowed<store::CellStore> b(a[0], BorrowGuard::Mode::Exclusive);
    if (!b)
        return nullptr;
    store::CellStore& st = *b;
    auto run = [&]() -> Result<void> {
        sheet::ValueContext values = VLM_TRY(value_context(a[4], a[5]));
        if (masters)
            VLM_TRY(add_masters(values, masters));
        VLM_TRY(st.begin_loading(a[1], a[2], a[3]));
        VLM_TRY(place(st, values));
        st.finish_loading(std::move(values));
        return {};
    };
    Result<void> r = run();
    if (!r)
        return fallback_err(std::move(r).error());
    Py_RETURN_NONE;
}

PyObject* load_cells(PyObject*, PyObject* args) {
    PyObject *a[6], *cells, *masters = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOOOO|O", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &cells, &masters))
        return nullptr;
    return load(a, masters, [&](store::CellStore& st, const sheet::ValueContext& values) -> Result<void> {
        Ref it = Ref::steal(PyObject_GetIter(cells));
        if (!it)
            return fetched();
        while (Ref cell = Ref::steal(PyIter_Next(it.get())))
            VLM_TRY(place_one(st, values, cell.get()));
        if (PyErr_Occurred())
            return fetched();
        return {};
    });
}

PyObject* fill_store(PyObject*, PyObject* args) {
    PyObject* a[6];
    unsigned int rows, cols;
    const char* shape;
    if (!PyArg_ParseTuple(args, "OOOOOOIIs", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &rows, &cols, &shape))
        return nullptr;
    bool numbers = std::strcmp(shape, "numbers") == 0;
    return load(a, nullptr, [&](store::CellStore& st, const sheet::ValueContext&) -> Result<void> {
        for (uint32_t r = 1; r <= rows; ++r) {
            for (uint32_t c = 1; c <= cols; ++c) {
                store::Kind kind = store::Kind::SharedString;
                uint64_t v = (uint64_t{r} * cols + c) % 1000;
                if (numbers && c % 2) {
                    kind = store::Kind::Int;
                } else if (numbers) {
                    double d = r + c / 8.0;
                    kind = store::Kind::Float;
                    std::memcpy(&v, &d, sizeof v);
                }
                Ref released = st.place(store::Key{r, c}, kind, v, numbers ? 0 : 1, 0);
            }
        }
        return {};
    });
}

PyObject* store_bytes(PyObject*, PyObject* obj) {
    if (!check_cell_store(obj))
        return nullptr;
    Borrowed<store::CellStore> b(obj, BorrowGuard::Mode::Exclusive);
    return b ? PyLong_FromSize_t(b->bytes()) : nullptr;
}

PyMethodDef methods[] = {
    {"load_cells", load_cells, METH_VARARGS, nullptr},
    {"fill_store", fill_store, METH_VARARGS, nullptr},
    {"store_bytes", store_bytes, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_store(PyObject* m) {
    if (add_cell_store(m) < 0)
        return -1;
    return PyModule_AddFunctions(m, methods);
}

}  // namespace vlm::testing
