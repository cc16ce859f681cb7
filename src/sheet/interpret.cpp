// Cell value interpretation: the collected texts of one cell turned into
// its value and data type as the package's cell parsing does it; values
// that need no Python object stay native until the value context converts them.
#include "sheet/actions.h"
#include "sheet/parser.h"

#include <algorithm>
#include <charconv>

namespace vlm::sheet {

namespace {

// The package's float() of a number text the native conversion does not
// decide; false with the Python exception raised.
bool host_float(PyObject* float_helper, std::string_view text, double& out) {
    Ref s = py_str(text);
    Ref f = s ? Ref::steal(PyObject_CallOneArg(float_helper, s.get())) : Ref();
    if (!f)
        return false;
    out = PyFloat_AsDouble(f.get());
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace

Result<void> SheetParser::interpret(CellRec& c) {
    if (bufs_.has_r && !bufs_.r.empty()) {
        auto [row, col] = VLM_TRY(coordinate(bufs_.r));
        c.row = row;
        c.column = col;
        pos_.place(col);
    } else {
        c.column = VLM_TRY(pos_.take_next_column());
        c.row = pos_.row();
    }
    if (bufs_.has_f && !settings_.data_only) {
        c.is_formula = true;
        c.dtype = DT_F;
        VLM_TRY(formula(c));
        if (settings_.formula_and_value) {
            int ignored = DT_N;
            c.cached = std::make_unique<Val>();
            VLM_TRY(value_of(c, *c.cached, ignored, true));
        }
        return {};
    }
    return value_of(c, c.value, c.dtype, false);
}

Result<void> SheetParser::formula(CellRec& c) {
    VLM_TRY(need_interpreter());
    std::string text = std::string("=").append(bufs_.f);
    Val& v = c.value;
    if (bufs_.ft == "shared")
        return shared_formula(c, std::move(text));
    if (bufs_.ft == "array" || bufs_.ft == "dataTable") {
        Ref kw;
        if (bufs_.ft == "array") {
            kw = Ref::steal(PyDict_New());
            Ref ref = bufs_.has_fref ? py_str(bufs_.fref) : Ref::borrow(Py_None);
            Ref t = py_str(text);
            if (!kw || !ref || !t || PyDict_SetItemString(kw.get(), "ref", ref.get()) < 0 ||
                PyDict_SetItemString(kw.get(), "text", t.get()) < 0)
                return fetched();
        } else {
            kw = bufs_.table_attrs ? Ref::borrow(bufs_.table_attrs.get()) : Ref::steal(PyDict_New());
            if (!kw)
                return fetched();
        }
        Helper h = bufs_.ft == "array" ? Helper::ArrayFormula : Helper::DataTableFormula;
        Ref args = Ref::steal(PyTuple_New(0));
        v.py = args ? Ref::steal(PyObject_Call(helpers_.get(h), args.get(), kw.get())) : Ref();
        if (!v.py)
            return fetched();
        v.kind = Val::Kind::Py;
        return {};
    }
    v.kind = Val::Kind::Str;
    v.s = std::move(text);
    return {};
}

Result<void> SheetParser::shared_formula(CellRec& c, std::string text) {
    Val& v = c.value;
    std::optional<size_t> master;
    if (bufs_.has_fsi) {
        if (auto it = shared_by_si_.find(bufs_.fsi); it != shared_by_si_.end())
            master = it->second;
    } else {
        master = shared_no_si_;
    }
    if (master) {
        const Shared& m = values_.master(*master);
        if (m.host) {
            Ref r = bufs_.has_r ? py_str(bufs_.r) : Ref::borrow(Py_None);
            if (!r)
                return fetched();
            v.py = Ref::steal(PyObject_CallMethod(m.host.get(), "translate_formula", "O", r.get()));
            if (!v.py)
                return fetched();
            v.kind = Val::Kind::Py;
            return {};
        }
        std::optional<formula::CellPos> dest;
        if (bufs_.has_r && !bufs_.r.empty())
            dest = formula::CellPos{c.row, c.column};
        if (auto ok = m.native->check(dest); !ok)
            return std::unexpected(formula_err(helpers_, ok.error()));
        v.kind = Val::Kind::SharedChild;
        v.i = static_cast<int64_t>(*master);
        v.has_dest = dest.has_value();
        if (dest) {
            v.drow = dest->row;
            v.dcol = dest->col;
        }
        return {};
    }
    if (text == "=") {
        v.kind = Val::Kind::Str;
        v.s = std::move(text);
        return {};
    }
    Shared s;
    // An empty `r` places the cell by the counter; the package then builds
    // its translator with that empty text, and so does the engine.
    if (bufs_.has_r && !bufs_.r.empty()) {
        auto [row, col] = VLM_TRY(coordinate(bufs_.r));
        auto t = formula::Translator::compile(text, row, col);
        if (t)
            s.native.emplace(std::move(*t));
        else if (t.error().kind() != formula::FormulaError::Kind::NeedPython)
            return std::unexpected(formula_err(helpers_, t.error()));
    }
    if (!s.native) {
        Ref f = py_str(text);
        Ref r = bufs_.has_r ? py_str(bufs_.r) : Ref::borrow(Py_None);
        if (!f || !r)
            return fetched();
        PyObject* args[2] = {f.get(), r.get()};
        s.host = Ref::steal(PyObject_Vectorcall(helpers_.get(Helper::Translator), args, 2, nullptr));
        if (!s.host)
            return fetched();
    }
    size_t at = values_.add_master(std::move(s));
    if (bufs_.has_fsi)
        shared_by_si_.insert_or_assign(std::string(bufs_.fsi), at);
    else
        shared_no_si_ = at;
    v.kind = Val::Kind::Str;
    v.s = std::move(text);
    return {};
}

Result<void> SheetParser::value_of(CellRec& c, Val& out, int& dtype, bool cached) {
    bool has_text = bufs_.has_v && !bufs_.v.empty() && bufs_.t != "inlineStr";
    std::string_view t = bufs_.has_t ? std::string_view(bufs_.t) : "n";
    auto other_type = [&]() -> Result<void> {
        VLM_TRY(need_interpreter());
        c.dtype_py = py_str(t);
        if (!c.dtype_py)
            return fetched();
        return {};
    };
    if (!has_text) {
        out.kind = Val::Kind::None;
        static constexpr std::string_view CODES[] = {"n", "s", "f", "b", "e", "d"};
        for (int i = 0; i < 6; ++i) {
            if (t == CODES[i]) {
                dtype = i;
                return {};
            }
        }
        if (t == "inlineStr") {
            if (bufs_.inline_value) {
                out.kind = Val::Kind::Py;
                out.py = std::move(bufs_.inline_value);
                dtype = DT_S;
            } else if (bufs_.has_inline_text) {
                out.kind = Val::Kind::Str;
                out.s.swap(bufs_.inline_text);
                dtype = DT_S;
            } else {
                dtype = DT_INLINE;
            }
            return {};
        }
        return cached ? Result<void>() : other_type();
    }
    std::string_view text = bufs_.v;
    if (t == "n")
        return number(c, out, dtype, cached);
    if (t == "s") {
        dtype = DT_S;
        if (auto n = plain_int(text); n && *n >= 0 && static_cast<uint64_t>(*n) < settings_.shared_count) {
            out.kind = Val::Kind::SharedString;
            out.i = *n;
            return {};
        }
        Ref idx = VLM_TRY(py_int(text));
        out.py = Ref::steal(PyObject_GetItem(settings_.shared_strings.get(), idx.get()));
        if (!out.py)
            return fetched();
        out.kind = Val::Kind::Py;
        return {};
    }
    if (t == "b") {
        dtype = DT_B;
        out.kind = Val::Kind::Bool;
        if (auto n = plain_int(text)) {
            out.b = *n != 0;
            return {};
        }
        Ref v = VLM_TRY(py_int(text));
        int truth = PyObject_IsTrue(v.get());
        if (truth < 0)
            return fetched();
        out.b = truth != 0;
        return {};
    }
    if (t == "d") {
        VLM_TRY(need_interpreter());
        dtype = DT_D;
        Ref s = py_str(text);
        if (!s)
            return fetched();
        out.py = Ref::steal(PyObject_CallOneArg(helpers_.get(Helper::FromISO8601), s.get()));
        if (!out.py)
            return fetched();
        out.kind = Val::Kind::Py;
        return {};
    }
    out.kind = Val::Kind::Str;
    out.s.assign(text);
    // A value typed "f" is no formula (a formula is an `f` element): its
    // text is a text, read as a formula's text result ("str") is. Typed "f",
    // a save would write it as a formula without its first character.
    if (t == "str" || t == "f")
        text::decode_escapes(out.s);  // a formula's text result, written as cell text is
    if (t == "e" || t == "f" || t == "str") {
        dtype = t == "e" ? DT_E : DT_S;
        return {};
    }
    return cached ? Result<void>() : other_type();
}

Result<void> SheetParser::number(CellRec& c, Val& out, int& dtype, bool cached) {
    std::string_view text = bufs_.v;
    dtype = DT_N;
    bool integral = std::ranges::none_of(text, [](char ch) { return ch == '.' || ch == 'e' || ch == 'E'; });
    if (integral) {
        if (auto n = plain_int(text)) {
            out.kind = Val::Kind::Int;
            out.i = *n;
        } else {
            out.py = VLM_TRY(py_int(text));
            out.kind = Val::Kind::Py;
        }
    } else if (Decimal d = scan_decimal(text, out.f); d == Decimal::Exact) {
        out.kind = Val::Kind::Float;
    } else if (d == Decimal::Simple) {
        std::string_view digits = text[0] == '+' ? text.substr(1) : text;
        const char* end = digits.data() + digits.size();
        auto res = std::from_chars(digits.data(), end, out.f);
        // Out of range (Python gives inf or 0.0) or not taken whole: the
        // package's float decides.
        if (res.ec != std::errc() || res.ptr != end) {
            VLM_TRY(need_interpreter());
            if (!host_float(helpers_.get(Helper::Float), text, out.f))
                return fetched();
        }
        out.kind = Val::Kind::Float;
    } else {
        VLM_TRY(need_interpreter());
        if (!host_float(helpers_.get(Helper::Float), text, out.f))
            return fetched();
        out.kind = Val::Kind::Float;
    }
    if (c.style_py || !settings_.date_formats.contains(c.style))
        return {};
    return date_value(c, out, dtype, cached);
}

Result<void> SheetParser::date_value(CellRec& c, Val& out, int& dtype, bool cached) {
    VLM_TRY(need_interpreter());
    dtype = DT_D;
    bool td = settings_.timedelta_formats.contains(c.style);
    Ref number;
    if (out.kind == Val::Kind::Py)
        number = Ref::borrow(out.py.get());
    else if (out.kind == Val::Kind::Int)
        number = Ref::steal(PyLong_FromLongLong(out.i));
    else
        number = Ref::steal(PyFloat_FromDouble(out.f));
    if (!number)
        return fetched();
    if (td || !settings_.epoch || out.kind == Val::Kind::Py) {
        Ref args = Ref::steal(PyTuple_Pack(2, number.get(), settings_.epoch_obj.get()));
        Ref kw = Ref::steal(Py_BuildValue("{s:O}", "timedelta", td ? Py_True : Py_False));
        if (!args || !kw)
            return fetched();
        Ref res = Ref::steal(PyObject_Call(helpers_.get(Helper::FromExcel), args.get(), kw.get()));
        if (!res) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError))
                return fetched();
            PyErr_Clear();
            return date_warning(out, dtype, number.get(), cached);
        }
        out.py = std::move(res);
        out.kind = Val::Kind::Py;
        return {};
    }
    DateResult r = out.kind == Val::Kind::Int ? from_excel_int(*settings_.epoch, out.i)
                                              : from_excel_float(*settings_.epoch, out.f);
    if (r.kind == DateKind::Declined)
        return date_warning(out, dtype, number.get(), cached);
    out.kind = out.kind == Val::Kind::Int ? Val::Kind::DateInt : Val::Kind::DateFloat;
    return {};
}

Result<void> SheetParser::date_warning(Val& out, int& dtype, PyObject* number, bool cached) {
    Ref r = bufs_.has_r ? py_str(bufs_.r) : Ref::borrow(Py_None);
    if (!r)
        return fetched();
    PyObject* args[2] = {r.get(), number};
    Ref msg = Ref::steal(PyObject_Vectorcall(helpers_.get(Helper::DateWarning), args, 2, nullptr));
    if (!msg)
        return fetched();
    if (!cached && defer_warnings_) {
        warnings_.push_back(std::move(msg));
    } else if (!cached) {
        VLM_TRY(append_warning(actions_.get(), msg.get()));
    }
    out.py.reset();
    out.kind = Val::Kind::Str;
    out.s = "#VALUE!";
    dtype = DT_E;
    return {};
}

}  // namespace vlm::sheet
