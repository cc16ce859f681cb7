// Serial dates: the three conversions over an epoch given as the tuple
// (year, month, day, hour, minute, second, microsecond, windows), giving a
// datetime, a time, or None when declined.
//
//   epoch_fields(epoch) -> (day_number, time_us, windows)
//   from_excel_int(epoch, n), from_excel_float(epoch, x), finish(epoch, days, ms)
//   from_excel_many(epoch, floats) -> list, one DT for the whole list (benchmarks)
#include "dates/dates.h"
#include "host/dt.h"
#include "registry.h"

namespace vlm::testing {
namespace {

bool parse_epoch(PyObject* t, Epoch& out) {
    long long f[7];
    int windows;
    if (!PyArg_ParseTuple(t, "LLLLLLLp", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6],
                          &windows))
        return false;
    out = Epoch::from_fields(f[0], f[1], f[2], f[3], f[4], f[5], f[6], windows != 0);
    return true;
}

PyObject* to_py(const DateResult& r) {
    if (r.kind == DateKind::Declined)
        Py_RETURN_NONE;
    Result<DT> dt = DT::make();
    if (!dt)
        return fallback_err(std::move(dt).error());
    Result<Ref> obj = dt->date_to_py(r);
    if (!obj)
        return fallback_err(std::move(obj).error());
    return obj->release();
}

PyObject* epoch_fields(PyObject*, PyObject* arg) {
    Epoch e;
    if (!parse_epoch(arg, e))
        return nullptr;
    return Py_BuildValue("(LLO)", (long long)e.day_number, (long long)e.time_us,
                         e.windows ? Py_True : Py_False);
}

PyObject* t_from_excel_int(PyObject*, PyObject* args) {
    PyObject* et;
    long long n;
    Epoch e;
    if (!PyArg_ParseTuple(args, "OL", &et, &n) || !parse_epoch(et, e))
        return nullptr;
    return to_py(from_excel_int(e, n));
}

PyObject* t_from_excel_float(PyObject*, PyObject* args) {
    PyObject* et;
    double x;
    Epoch e;
    if (!PyArg_ParseTuple(args, "Od", &et, &x) || !parse_epoch(et, e))
        return nullptr;
    return to_py(from_excel_float(e, x));
}

PyObject* t_finish(PyObject*, PyObject* args) {
    PyObject* et;
    long long days, ms;
    Epoch e;
    if (!PyArg_ParseTuple(args, "OLL", &et, &days, &ms) || !parse_epoch(et, e))
        return nullptr;
    return to_py(finish(e, days, ms));
}

PyObject* from_excel_many(PyObject*, PyObject* args) {
    PyObject *et, *seq;
    Epoch e;
    if (!PyArg_ParseTuple(args, "OO!", &et, &PyList_Type, &seq) || !parse_epoch(et, e))
        return nullptr;
    Result<DT> dt = DT::make();
    if (!dt)
        return fallback_err(std::move(dt).error());
    const Py_ssize_t n = PyList_GET_SIZE(seq);
    Ref out = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        double x = PyFloat_AsDouble(PyList_GET_ITEM(seq, i));
        if (x == -1.0 && PyErr_Occurred())
            return nullptr;
        DateResult r = from_excel_float(e, x);
        PyObject* item = Py_None;
        if (r.kind != DateKind::Declined) {
            Result<Ref> obj = dt->date_to_py(r);
            if (!obj)
                return fallback_err(std::move(obj).error());
            item = obj->release();
        } else {
            Py_INCREF(item);
        }
        PyList_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

PyMethodDef methods[] = {
    {"epoch_fields", epoch_fields, METH_O, nullptr},
    {"from_excel_int", t_from_excel_int, METH_VARARGS, nullptr},
    {"from_excel_float", t_from_excel_float, METH_VARARGS, nullptr},
    {"finish", t_finish, METH_VARARGS, nullptr},
    {"from_excel_many", from_excel_many, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_dates(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
