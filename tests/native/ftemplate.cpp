// Formula templates for the tests. Texts are str (as UTF-8) or bytes;
// rendered texts come back as bytes.
//
//   template_shape_hash(text, row, col) -> int
//   template_render(text, row, col, at_row, at_col) -> bytes | None
//       the template built from text at (row, col), rendered at (at_row, at_col)
//       into a buffer already holding text, which must stay as it was
//   template_matches(text, row, col, other, at_row, at_col) -> bool
//   template_set() -> TemplateSet, with
//       s.template_for(text, row, col) -> int | None
//       s.render(index, row, col) -> bytes | None
//       s.size() -> int, s.bytes() -> int, s.finish_loading() -> None
#include "ftemplate/template.h"
#include "host/pyref.h"
#include "registry.h"

namespace vlm::testing {
namespace {

using ftemplate::Template;
using ftemplate::TemplateSet;

std::string_view view(const char* s, Py_ssize_t n) { return {s, static_cast<size_t>(n)}; }

PyObject* rendered(bool ok, const std::string& out) {
    if (!ok)
        Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* shape_hash_entry(PyObject*, PyObject* args) {
    const char* s;
    Py_ssize_t n;
    long long row, col;
    if (!PyArg_ParseTuple(args, "s#LL", &s, &n, &row, &col))
        return nullptr;
    return PyLong_FromUnsignedLongLong(ftemplate::shape_hash(view(s, n), row, col));
}

PyObject* render_entry(PyObject*, PyObject* args) {
    const char* s;
    Py_ssize_t n;
    long long row, col, at_row, at_col;
    if (!PyArg_ParseTuple(args, "s#LLLL", &s, &n, &row, &col, &at_row, &at_col))
        return nullptr;
    // Rendered after what the buffer already holds, which a failure leaves alone.
    std::string out = "held";
    bool ok = Template::build(view(s, n), row, col).render_into(at_row, at_col, out);
    if (!out.starts_with("held") || (!ok && out.size() != 4)) {
        PyErr_SetString(PyExc_AssertionError, "rendering changed what its buffer held");
        return nullptr;
    }
    return rendered(ok, out.substr(4));
}

PyObject* matches_entry(PyObject*, PyObject* args) {
    const char *s, *o;
    Py_ssize_t n, on;
    long long row, col, at_row, at_col;
    if (!PyArg_ParseTuple(args, "s#LLs#LL", &s, &n, &row, &col, &o, &on, &at_row, &at_col))
        return nullptr;
    return PyBool_FromLong(Template::build(view(s, n), row, col).matches(view(o, on), at_row, at_col));
}

struct PySet {
    PyObject_HEAD
    TemplateSet* set;
};

TemplateSet& set_of(PyObject* o) { return *reinterpret_cast<PySet*>(o)->set; }

PyObject* set_template_for(PyObject* o, PyObject* args) {
    const char* s;
    Py_ssize_t n;
    long long row, col;
    if (!PyArg_ParseTuple(args, "s#LL", &s, &n, &row, &col))
        return nullptr;
    std::optional<uint32_t> index = set_of(o).template_for(view(s, n), row, col);
    if (!index)
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(*index);
}

PyObject* set_render(PyObject* o, PyObject* args) {
    unsigned long long index;
    long long row, col;
    if (!PyArg_ParseTuple(args, "KLL", &index, &row, &col))
        return nullptr;
    if (index >= set_of(o).size()) {
        PyErr_SetString(PyExc_IndexError, "no such template");
        return nullptr;
    }
    std::string out;
    bool ok = set_of(o).render_into(static_cast<uint32_t>(index), row, col, out);
    return rendered(ok, out);
}

PyObject* set_size(PyObject* o, PyObject*) { return PyLong_FromSize_t(set_of(o).size()); }
PyObject* set_bytes(PyObject* o, PyObject*) { return PyLong_FromSize_t(set_of(o).bytes()); }

PyObject* set_finish_loading(PyObject* o, PyObject*) {
    set_of(o).finish_loading();
    Py_RETURN_NONE;
}

void set_dealloc(PyObject* o) {
    delete reinterpret_cast<PySet*>(o)->set;
    PyTypeObject* type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

PyMethodDef set_methods[] = {
    {"template_for", set_template_for, METH_VARARGS, nullptr},
    {"render", set_render, METH_VARARGS, nullptr},
    {"size", set_size, METH_NOARGS, nullptr},
    {"bytes", set_bytes, METH_NOARGS, nullptr},
    {"finish_loading", set_finish_loading, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot set_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(set_dealloc)},
    {Py_tp_methods, set_methods},
    {0, nullptr},
};

PyType_Spec set_spec = {"_vellum_testing.TemplateSet", sizeof(PySet), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, set_slots};

PyObject* template_set(PyObject* m, PyObject*) {
    Ref type = Ref::steal(PyObject_GetAttrString(m, "TemplateSet"));
    if (!type)
        return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    Ref self = Ref::steal(t->tp_alloc(t, 0));
    if (!self)
        return nullptr;
    reinterpret_cast<PySet*>(self.get())->set = new TemplateSet();
    return self.release();
}

PyMethodDef ftemplate_functions[] = {
    {"template_shape_hash", shape_hash_entry, METH_VARARGS, nullptr},
    {"template_render", render_entry, METH_VARARGS, nullptr},
    {"template_matches", matches_entry, METH_VARARGS, nullptr},
    {"template_set", template_set, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_ftemplate(PyObject* m) {
    PyObject* t = PyType_FromModuleAndSpec(m, &set_spec, nullptr);
    if (!t || PyModule_Add(m, "TemplateSet", t) < 0)
        return -1;
    return PyModule_AddFunctions(m, ftemplate_functions);
}

}  // namespace vlm::testing
