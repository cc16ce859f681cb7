// Classification of cell values and the number text of <v>.
#include "writer/classify.h"

#include <charconv>
#include <cmath>

namespace vlm::writer {

namespace {

constexpr int64_t LIMIT53 = int64_t{1} << 53;

}  // namespace

std::optional<int64_t> exact_int(PyObject* obj) noexcept {
    if (!PyLong_CheckExact(obj))
        return std::nullopt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow)
        return std::nullopt;
    return v;
}

size_t int_text(int64_t v, char* out) noexcept {
    if (v >= -LIMIT53 && v <= LIMIT53)
        return static_cast<size_t>(std::to_chars(out, out + G16_MAX, v).ptr - out);
    return format_exact(static_cast<double>(v), out);
}

size_t double_text(double x, char* out) noexcept {
    if (std::trunc(x) == x && std::fabs(x) < 1e16 && !(x == 0.0 && std::signbit(x)))
        return static_cast<size_t>(std::to_chars(out, out + G16_MAX, static_cast<int64_t>(x)).ptr - out);
    return format_exact(x, out);
}

// NaN and the infinities are no number a sheet holds: the package refuses
// them, naming the cell, or writes the error value the workbook asks for.
Classified Classified::number(double x) noexcept {
    if (!std::isfinite(x))
        return unsupported();
    Classified c{Kind::Text, nullptr, 0, {}};
    c.len = double_text(x, c.buf);
    return c;
}

Classified Classified::integer(int64_t v) noexcept {
    Classified c{Kind::Text, nullptr, 0, {}};
    c.len = int_text(v, c.buf);
    return c;
}

Classified classify(PyObject* value) noexcept {
    if (value == Py_None)
        return Classified::none();
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(value, &n);
        if (!s) {
            PyErr_Clear();  // lone surrogates: the package decides
            return Classified::unsupported();
        }
        return Classified::string(std::string_view(s, static_cast<size_t>(n)));
    }
    if (type == &PyBool_Type)
        return Classified::literal(value == Py_True ? "1" : "0");
    if (type == &PyLong_Type) {
        std::optional<int64_t> v = exact_int(value);
        return v ? Classified::integer(*v) : Classified::unsupported();
    }
    if (type == &PyFloat_Type)
        return Classified::number(PyFloat_AS_DOUBLE(value));
    return Classified::unsupported();
}

}  // namespace vlm::writer
