// The formula tokenizer and translator, and py_strip, for the tests. Errors
// become the reference exception classes the caller passes in as `errors`,
// a tuple (TokenizerError, TranslatorError); NeedPython is returned as None.
//
//   formula_tokens(formula, errors) -> [(value, type, subtype), ...] | None
//   formula_compile(formula, row, col, errors) -> FormulaTranslator | None
//   t.translate(dest) -> str            dest: None or (row, col)
//   t.translate_bytes(prefix, dest) -> (ok, bytes)   translate_into after prefix
//   t.check(dest) -> None
//   t.segments() -> [("text", str) | ("row", n) | ("col", n), ...]
//   t.translate_run(row0, col, count) -> int   count moves to (row0 + i, col)
//                                              into one buffer; total length
//   py_strip(str) -> str
#include "formula/translator.h"
#include "host/pyref.h"
#include "registry.h"
#include "utils/strip.h"

namespace vlm::testing {
namespace {

using formula::FormulaError;
using formula::Translator;

// Raises the exception for `e` and returns nullptr; None for NeedPython.
PyObject* raise_formula(const FormulaError& e, PyObject* errors) {
    const std::string& m = e.message();
    switch (e.kind()) {
    case FormulaError::Kind::Tokenizer:
    case FormulaError::Kind::Translator: {
        PyObject* cls = PyTuple_GetItem(errors, e.kind() == FormulaError::Kind::Tokenizer ? 0 : 1);
        if (!cls)
            return nullptr;
        Ref msg = Ref::steal(PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size())));
        if (!msg)
            return nullptr;
        PyErr_SetObject(cls, msg.get());
        return nullptr;
    }
    case FormulaError::Kind::PopEmpty:
        PyErr_SetString(PyExc_IndexError, "pop from empty list");
        return nullptr;
    case FormulaError::Kind::NeedPython:
        break;
    }
    Py_RETURN_NONE;
}

const char* TYPE_NAMES[] = {"LITERAL", "OPERAND", "FUNC", "ARRAY", "PAREN", "SEP",
                            "OPERATOR-PREFIX", "OPERATOR-INFIX", "OPERATOR-POSTFIX",
                            "WHITE-SPACE"};
const char* SUBTYPE_NAMES[] = {"", "TEXT", "NUMBER", "LOGICAL", "ERROR", "RANGE", "OPEN", "CLOSE"};

PyObject* str_of(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* formula_tokens(PyObject*, PyObject* args) {
    const char* f;
    Py_ssize_t n;
    PyObject* errors;
    if (!PyArg_ParseTuple(args, "s#O!", &f, &n, &PyTuple_Type, &errors))
        return nullptr;
    auto r = formula::tokenize(std::string_view(f, static_cast<size_t>(n)));
    if (!r)
        return raise_formula(r.error(), errors);
    Ref out = Ref::steal(PyList_New(0));
    if (!out)
        return nullptr;
    for (const formula::Token& t : *r) {
        Ref item = Ref::steal(Py_BuildValue("(Nss)", str_of(t.value),
                                            TYPE_NAMES[static_cast<int>(t.type)],
                                            SUBTYPE_NAMES[static_cast<int>(t.subtype)]));
        if (!item || PyList_Append(out.get(), item.get()) < 0)
            return nullptr;
    }
    return out.release();
}

struct FormulaTranslator {
    PyObject_HEAD
    Translator* t;
    PyObject* errors;  // owned
};

Translator& tr(PyObject* o) { return *reinterpret_cast<FormulaTranslator*>(o)->t; }
PyObject* errors_of(PyObject* o) { return reinterpret_cast<FormulaTranslator*>(o)->errors; }

// None, or a (row, col) tuple; false with an exception set on bad input.
bool parse_dest(PyObject* d, std::optional<formula::CellPos>& out) {
    if (d == Py_None) {
        out.reset();
        return true;
    }
    long long row, col;
    if (!PyArg_ParseTuple(d, "LL", &row, &col))
        return false;
    out = formula::CellPos{row, col};
    return true;
}

PyObject* ft_translate(PyObject* o, PyObject* d) {
    std::optional<formula::CellPos> dest;
    if (!parse_dest(d, dest))
        return nullptr;
    auto r = tr(o).translate(dest);
    if (!r)
        return raise_formula(r.error(), errors_of(o));
    return str_of(*r);
}

PyObject* ft_translate_bytes(PyObject* o, PyObject* args) {
    const char* prefix;
    Py_ssize_t n;
    PyObject* d;
    std::optional<formula::CellPos> dest;
    if (!PyArg_ParseTuple(args, "y#O", &prefix, &n, &d) || !parse_dest(d, dest))
        return nullptr;
    std::string out(prefix, static_cast<size_t>(n));
    bool ok = tr(o).translate_into(dest, out).has_value();
    return Py_BuildValue("(Oy#)", ok ? Py_True : Py_False, out.data(),
                         static_cast<Py_ssize_t>(out.size()));
}

PyObject* ft_check(PyObject* o, PyObject* d) {
    std::optional<formula::CellPos> dest;
    if (!parse_dest(d, dest))
        return nullptr;
    if (auto r = tr(o).check(dest); !r)
        return raise_formula(r.error(), errors_of(o));
    Py_RETURN_NONE;
}

PyObject* ft_segments(PyObject* o, PyObject*) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out)
        return nullptr;
    for (const formula::Seg& s : tr(o).segments()) {
        Ref item;
        if (s.kind == formula::SegKind::Text)
            item = Ref::steal(Py_BuildValue("(sN)", "text", str_of(tr(o).text(s))));
        else
            item = Ref::steal(Py_BuildValue("(sL)", s.kind == formula::SegKind::Row ? "row" : "col",
                                            static_cast<long long>(s.n)));
        if (!item || PyList_Append(out.get(), item.get()) < 0)
            return nullptr;
    }
    return out.release();
}

PyObject* ft_translate_run(PyObject* o, PyObject* args) {
    long long row0, col, count;
    if (!PyArg_ParseTuple(args, "LLL", &row0, &col, &count))
        return nullptr;
    std::string buf;
    long long total = 0;
    for (long long i = 0; i < count; ++i) {
        buf.clear();
        if (auto r = tr(o).translate_into(formula::CellPos{row0 + i, col}, buf); !r)
            return raise_formula(r.error(), errors_of(o));
        total += static_cast<long long>(buf.size());
    }
    return PyLong_FromLongLong(total);
}

void ft_dealloc(PyObject* o) {
    delete reinterpret_cast<FormulaTranslator*>(o)->t;
    Py_XDECREF(errors_of(o));
    PyTypeObject* type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

PyMethodDef ft_methods[] = {
    {"translate", ft_translate, METH_O, nullptr},
    {"translate_bytes", ft_translate_bytes, METH_VARARGS, nullptr},
    {"check", ft_check, METH_O, nullptr},
    {"segments", ft_segments, METH_NOARGS, nullptr},
    {"translate_run", ft_translate_run, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ft_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ft_dealloc)},
    {Py_tp_methods, ft_methods},
    {0, nullptr},
};

PyType_Spec ft_spec = {"_vellum_testing.FormulaTranslator", sizeof(FormulaTranslator), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ft_slots};

PyObject* formula_compile(PyObject* m, PyObject* args) {
    const char* f;
    Py_ssize_t n;
    long long row, col;
    PyObject* errors;
    if (!PyArg_ParseTuple(args, "s#LLO!", &f, &n, &row, &col, &PyTuple_Type, &errors))
        return nullptr;
    auto r = Translator::compile(std::string_view(f, static_cast<size_t>(n)), row, col);
    if (!r)
        return raise_formula(r.error(), errors);
    Ref type = Ref::steal(PyObject_GetAttrString(m, "FormulaTranslator"));
    if (!type)
        return nullptr;
    auto* self = reinterpret_cast<FormulaTranslator*>(
        reinterpret_cast<PyTypeObject*>(type.get())->tp_alloc(
            reinterpret_cast<PyTypeObject*>(type.get()), 0));
    if (!self)
        return nullptr;
    self->t = new Translator(std::move(*r));
    self->errors = Ref::borrow(errors).release();
    return reinterpret_cast<PyObject*>(self);
}

PyObject* py_strip_entry(PyObject*, PyObject* arg) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(arg, &n);
    if (!s)
        return nullptr;
    return str_of(py_strip(std::string_view(s, static_cast<size_t>(n))));
}

PyMethodDef formula_functions[] = {
    {"formula_tokens", formula_tokens, METH_VARARGS, nullptr},
    {"formula_compile", formula_compile, METH_VARARGS, nullptr},
    {"py_strip", py_strip_entry, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_formula(PyObject* m) {
    PyObject* t = PyType_FromModuleAndSpec(m, &ft_spec, nullptr);
    if (!t || PyModule_Add(m, "FormulaTranslator", t) < 0)
        return -1;
    return PyModule_AddFunctions(m, formula_functions);
}

}  // namespace vlm::testing
