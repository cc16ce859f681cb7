// The interned names and imported types, made at module execution (under
// the import lock, so two threads never build the table at once).
#include "host/names.h"

#include "host/pyref.h"

#include <atomic>

namespace vlm {

Names NAMES{};

namespace {

std::atomic<bool> READY{false};

struct Text {
    PyObject* Names::* member;
    const char* text;
};

constexpr Text TEXTS[] = {
    {&Names::element, "element"},       {&Names::warn, "warn"},
    {&Names::source, "source"},         {&Names::parser, "parser"},
    {&Names::helpers, "helpers"},       {&Names::ws, "ws"},
    {&Names::min_col, "min_col"},       {&Names::max_col, "max_col"},
    {&Names::values_only, "values_only"}, {&Names::cell_cls, "cell_cls"},
    {&Names::filler, "filler"},         {&Names::extra_none, "extra_none"},
    {&Names::row, "row"},               {&Names::value, "value"},
    {&Names::want_rows, "want_rows"},   {&Names::corners, "corners"},
    {&Names::head, "head"},             {&Names::tail, "tail"},
    {&Names::rows, "rows"},
    {&Names::store, "store"},           {&Names::cell_styles, "cell_styles"},
    {&Names::actions, "actions"},       {&Names::row_dimensions, "row_dimensions"},
    {&Names::append, "append"},
    {&Names::write, "write"},           {&Names::lxml, "lxml"},
    {&Names::rows_fallback, "rows_fallback"}, {&Names::cells, "cells"},
    {&Names::row_idx, "row_idx"},       {&Names::_value, "_value"},
    {&Names::values, "values"},         {&Names::make_cell, "make_cell"},
    {&Names::styles, "styles"},
    {&Names::_style, "_style"},         {&Names::_comment, "_comment"},
    {&Names::data_type, "data_type"},   {&Names::hyperlink, "hyperlink"},
    {&Names::column, "column"},         {&Names::parent, "parent"},
    {&Names::_cell_styles, "_cell_styles"}, {&Names::_hyperlinks, "_hyperlinks"},
    {&Names::_cells, "_cells"},         {&Names::epoch, "epoch"},
    {&Names::iso_dates, "iso_dates"},   {&Names::add, "add"},
    {&Names::keys, "keys"},             {&Names::get, "get"},
    {&Names::update, "update"},         {&Names::r, "r"},
    {&Names::sheet, "sheet"},           {&Names::strings, "strings"},
    {&Names::date_formats, "date_formats"}, {&Names::timedelta_formats, "timedelta_formats"},
    {&Names::header_row, "header_row"}, {&Names::skip_rows, "skip_rows"},
    {&Names::n_rows, "n_rows"},         {&Names::columns, "columns"},
    {&Names::names, "names"},           {&Names::dtypes, "dtypes"},
    {&Names::error_text, "error_text"}, {&Names::types, "types"},
    {&Names::lists, "lists"},           {&Names::requested_schema, "requested_schema"},
    {&Names::read, "read"},             {&Names::type_code_i, "i"},
};

struct Import {
    PyObject* Names::* member;
    const char* module;
    const char* name;
};

constexpr Import IMPORTS[] = {
    {&Names::sequence_abc, "collections.abc", "Sequence"},
    {&Names::member_descriptor_type, "types", "MemberDescriptorType"},
    {&Names::array_type, "array", "array"},
    {&Names::builtin_int, "builtins", "int"},
    {&Names::builtin_any, "builtins", "any"},
};

PyObject* import_attr(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

}  // namespace

int init_names() {
    if (READY.load(std::memory_order_acquire))
        return 0;
    Names n{};
    bool ok = true;
    for (const Text& t : TEXTS)
        ok = ok && (n.*t.member = PyUnicode_InternFromString(t.text));
    for (const Import& i : IMPORTS)
        ok = ok && (n.*i.member = import_attr(i.module, i.name));
    ok = ok && PyType_Check(n.array_type);
    if (!ok) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "array.array is not a type");
        for (const Text& t : TEXTS)
            Py_XDECREF(n.*t.member);
        for (const Import& i : IMPORTS)
            Py_XDECREF(n.*i.member);
        return -1;
    }
    // Kept for the life of the process.
    NAMES = n;
    READY.store(true, std::memory_order_release);
    return 0;
}

}  // namespace vlm
