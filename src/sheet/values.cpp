// The value context and the one conversion of parsed values to Python.
#include "sheet/values.h"

namespace vlm::sheet {

Result<ValueContext> ValueContext::make(const Helpers& helpers, const Settings& settings) {
    DT dt = VLM_TRY(DT::make());
    return ValueContext(helpers.clone(), Ref::borrow(settings.shared_strings.get()), settings.epoch, std::move(dt));
}

XmlError formula_err(const Helpers& h, const formula::FormulaError& e) {
    using K = formula::FormulaError::Kind;
    switch (e.kind()) {
    case K::Tokenizer:
    case K::Translator: {
        PyObject* cls = h.get(e.kind() == K::Tokenizer ? Helper::TokenizerError : Helper::TranslatorError);
        Ref msg = py_str(e.message());
        Ref exc = msg ? Ref::steal(PyObject_CallOneArg(cls, msg.get())) : Ref();
        if (!exc)
            return XmlError::fetch();
        return XmlError::source(std::move(exc));
    }
    case K::PopEmpty:
        PyErr_SetString(PyExc_IndexError, "pop from empty list");
        return XmlError::fetch();
    case K::NeedPython:
        break;
    }
    PyErr_SetString(PyExc_TypeError, "internal: NeedPython");
    return XmlError::fetch();
}

Result<Ref> ValueContext::shared_string_item(int64_t i) const {
    Ref idx = Ref::steal(PyLong_FromLongLong(i));
    Ref r = idx ? Ref::steal(PyObject_GetItem(shared_strings_.get(), idx.get())) : Ref();
    if (!r)
        return fetched();
    return r;
}

Result<Ref> ValueContext::to_py(const Val& v) const {
    Ref r;
    switch (v.kind) {
    case Val::Kind::None:
        return Ref::borrow(Py_None);
    case Val::Kind::Int:
        r = Ref::steal(PyLong_FromLongLong(v.i));
        break;
    case Val::Kind::Float:
        r = Ref::steal(PyFloat_FromDouble(v.f));
        break;
    case Val::Kind::Bool:
        return Ref::borrow(v.b ? Py_True : Py_False);
    case Val::Kind::SharedString:
        return shared_string(v.i);
    case Val::Kind::Str:
        r = py_str(v.s);
        break;
    case Val::Kind::SharedChild: {
        std::optional<formula::CellPos> dest;
        if (v.has_dest)
            dest = formula::CellPos{v.drow, v.dcol};
        auto text = masters_[static_cast<size_t>(v.i)].native->translate(dest);
        if (!text)
            return std::unexpected(formula_err(helpers_, text.error()));
        r = py_str(*text);
        break;
    }
    case Val::Kind::DateInt:
        return date_int(v.i);
    case Val::Kind::DateFloat:
        return date_float(v.f);
    case Val::Kind::Py:
        return Ref::borrow(v.py.get());
    }
    if (!r)
        return fetched();
    return r;
}

}  // namespace vlm::sheet
