// The writer's set-up, its style queries, and single cells and row start
// tags in the exact text of either serialiser.
#include "writer/writer.h"

#include "host/entry.h"
#include "host/helpers.h"
#include "host/names.h"
#include "utils/coord.h"
#include "utils/strip.h"
#include "writer/escape.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vlm::writer {

namespace {

constexpr size_t BUF_RESERVE = (size_t{1} << 20) + 4096;
constexpr const char* XML_NS = "http://www.w3.org/XML/1998/namespace";

// A str's UTF-8 text; nothing (no exception) when it cannot be encoded.
std::optional<std::string_view> utf8_of(PyObject* s) noexcept {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(p, static_cast<size_t>(n));
}

// The nine integers of an exact style array, when its buffer has them.
struct StyleInts {
    bool ok = false;
    size_t count = 0;
    std::array<int32_t, 9> v{};
    bool any = false;
};

StyleInts style_ints(PyObject* style) noexcept {
    StyleInts out;
    Py_buffer view;
    if (PyObject_GetBuffer(style, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return out;
    }
    if (view.itemsize == 4 && view.format && std::strcmp(view.format, "i") == 0) {
        out.ok = true;
        out.count = static_cast<size_t>(view.len) / 4;
        const auto* ints = static_cast<const int32_t*>(view.buf);
        for (size_t i = 0; i < out.count; ++i) {
            out.any |= ints[i] != 0;
            if (i < 9)
                out.v[i] = ints[i];
        }
    }
    PyBuffer_Release(&view);
    return out;
}

// Namespaces the serialisers know a prefix of their own for (other than
// "xml"): rare in row attributes, and left to the package.
bool has_own_prefix(std::string_view uri) noexcept {
    static constexpr std::string_view KNOWN[] = {
        "http://www.w3.org/1999/xhtml", "http://www.w3.org/1999/02/22-rdf-syntax-ns#",
        "http://schemas.xmlsoap.org/wsdl/", "http://www.w3.org/2001/XMLSchema",
        "http://www.w3.org/2001/XMLSchema-instance", "http://purl.org/dc/elements/1.1/",
        "http://www.w3.org/1999/XSL/Transform", "http://schemas.xmlsoap.org/soap/envelope/"};
    return std::ranges::find(KNOWN, uri) != std::end(KNOWN);
}

void put_int(std::string& out, int64_t v) {
    char num[24];
    out.append(num, std::to_chars(num, num + sizeof num, v).ptr);
}

}  // namespace

// --- Set-up

Result<SheetWriter> SheetWriter::make(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers) {
    SheetWriter w;
    w.buf_.reserve(BUF_RESERVE);
    w.ws_ = Ref::borrow(ws);
    w.write_ = Ref::borrow(write);
    w.lxml_ = lxml;
    Ref parent = VLM_TRY(attr(ws, NAMES.parent));
    w.cell_styles_ = VLM_TRY(attr(parent.get(), NAMES._cell_styles));
    for (size_t i = 0; i < WRITER_HELPER_COUNT; ++i)
        w.helpers_[i] = VLM_TRY(lookup_helper(helpers, WRITER_HELPER_KEYS[i]));
    w.hyperlinks_ = VLM_TRY(attr(ws, NAMES._hyperlinks));
    Ref epoch = VLM_TRY(attr(parent.get(), NAMES.epoch));
    w.epoch_ = VLM_TRY(native_epoch(epoch.get()));
    Ref iso = VLM_TRY(attr(parent.get(), NAMES.iso_dates));
    w.iso_dates_ = VLM_TRY(truth(iso.get()));
    VLM_TRY(w.read_date_formats(helpers));
    VLM_TRY(w.read_formula_values(helpers));
    return w;
}

namespace {

// helpers[key], or null (no exception) when the key is absent or None.
Result<Ref> optional_helper(PyObject* helpers, const char* key) {
    PyObject* value;
    int found = PyDict_GetItemStringRef(helpers, key, &value);
    if (found < 0)
        return fetched();
    Ref out = found ? Ref::steal(value) : Ref();
    if (out.get() == Py_None)
        return Ref();
    return out;
}

// A str's UTF-8 text, or nothing for anything else.
std::optional<std::string_view> str_text(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj))
        return std::nullopt;
    return utf8_of(obj);
}

}  // namespace

// Without the set, no format counts as showing a date: every "d" cell then
// goes to the package, which is slower but writes the same.
Result<void> SheetWriter::read_date_formats(PyObject* helpers) {
    Ref ids = VLM_TRY(optional_helper(helpers, "date_formats"));
    if (!ids)
        return {};
    Ref it = Ref::steal(PyObject_GetIter(ids.get()));
    if (!it)
        return fetched();
    while (Ref id = Ref::steal(PyIter_Next(it.get()))) {
        std::optional<int64_t> v = exact_int(id.get());
        if (v && *v >= INT32_MIN && *v <= INT32_MAX)
            date_formats_.push_back(static_cast<int32_t>(*v));
    }
    if (PyErr_Occurred())
        return fetched();
    std::ranges::sort(date_formats_);
    return {};
}

// {(row, column): (formula, t, text)}; an entry of another shape declines
// the sheet, a formula that is no str (an array formula, which the package
// writes) is passed over, and a text that cannot be encoded leaves its cell
// to the package.
Result<void> SheetWriter::read_formula_values(PyObject* helpers) {
    Ref values = VLM_TRY(optional_helper(helpers, "formula_values"));
    if (!values)
        return {};
    if (!PyDict_Check(values.get()))
        return decline("formula values");
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(values.get(), &pos, &key, &item)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2 || !PyTuple_Check(item) ||
            PyTuple_GET_SIZE(item) != 3)
            return decline("formula values");
        std::optional<int64_t> r = exact_int(PyTuple_GET_ITEM(key, 0)), c = exact_int(PyTuple_GET_ITEM(key, 1));
        PyObject *formula = PyTuple_GET_ITEM(item, 0), *t = PyTuple_GET_ITEM(item, 1), *text = PyTuple_GET_ITEM(item, 2);
        if (!r || !c || !PyUnicode_Check(text) || (t != Py_None && !PyUnicode_Check(t)))
            return decline("formula values");
        std::optional<std::string_view> f = str_text(formula);
        if (!f || *r < 0 || *r >= (int64_t{1} << 47) || *c < 1 || *c > MAX_COLUMN)
            continue;
        std::optional<std::string_view> t_text = t == Py_None ? std::string_view() : utf8_of(t);
        std::optional<std::string_view> v = utf8_of(text);
        Saved saved{std::string(*f), std::string(t_text.value_or("")), std::string(v.value_or("")),
                    t != Py_None, t_text && v};
        saved_.insert_or_assign(cell_key(*r, *c), std::move(saved));
    }
    return {};
}

// --- Styles

Result<bool> SheetWriter::has_style(PyObject* style) {
    if (style == Py_None)
        return false;
    if (Py_TYPE(style) == style_array_type()) {
        StyleInts s = style_ints(style);
        if (s.ok)
            return s.any;
    }
    Ref r = Ref::steal(PyObject_CallOneArg(NAMES.builtin_any, style));
    if (!r)
        return fetched();
    return truth(r.get());
}

bool SheetWriter::shows_date(PyObject* style) const noexcept {
    int32_t format = 0;
    if (style != Py_None) {
        if (Py_TYPE(style) != style_array_type())
            return false;
        StyleInts s = style_ints(style);
        if (!s.ok || s.count == 0)
            return false;
        format = s.v[0];
    }
    return std::ranges::binary_search(date_formats_, format);
}

Result<Ref> SheetWriter::style_id(PyObject* style) {
    StyleInts s;
    if (Py_TYPE(style) == style_array_type())
        s = style_ints(style);
    bool cacheable = s.ok && s.count == 9;
    if (cacheable) {
        if (auto hit = style_cache_.find(s.v); hit != style_cache_.end())
            return Ref::borrow(hit->second.get());
    }
    Ref id = Ref::steal(PyObject_CallMethodOneArg(cell_styles_.get(), NAMES.add, style));
    if (!id)
        return fetched();
    if (cacheable)
        style_cache_.insert_or_assign(s.v, Ref::borrow(id.get()));
    return id;
}

Result<void> SheetWriter::id_text(PyObject* id, std::string& out) {
    out.clear();
    if (std::optional<int64_t> v = exact_int(id)) {
        put_int(out, *v);
        return {};
    }
    Ref text = Ref::steal(PyObject_Str(id));
    if (!text)
        return fetched();
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!p)
        return fetched();
    out.assign(p, static_cast<size_t>(n));
    return {};
}

// --- One cell

Result<void> SheetWriter::write_one(PyObject* cell) {
    Ref comment = VLM_TRY(attr(cell, NAMES._comment));
    if (comment.get() != Py_None) {
        Ref r = Ref::steal(PyObject_CallFunctionObjArgs(helper(WriterHelper::AddComment), ws_.get(), cell, nullptr));
        if (!r)
            return fetched();
    }
    Ref value = VLM_TRY(attr(cell, NAMES._value));
    Ref style = VLM_TRY(attr(cell, NAMES._style));
    bool styled = VLM_TRY(has_style(style.get()));
    if (value.get() == Py_None && !styled && (comment.get() == Py_None || !VLM_TRY(truth(comment.get()))))
        return {};
    Ref dtype = VLM_TRY(attr(cell, NAMES.data_type));
    Ref row = VLM_TRY(attr(cell, NAMES.row));
    Ref column = VLM_TRY(attr(cell, NAMES.column));
    std::optional<int64_t> r = exact_int(row.get()), c = exact_int(column.get());
    std::optional<std::string_view> dt;
    if (PyUnicode_Check(dtype.get()))
        dt = utf8_of(dtype.get());
    // A cell beyond the sheet's bounds is the package's to refuse.
    if (!r || !c || !in_sheet(*r, *c) || !dt)
        return push_fallback(cell, styled);
    std::optional<std::string_view> s, t;
    if (styled) {
        Ref id = VLM_TRY(style_id(style.get()));
        VLM_TRY(id_text(id.get(), s_text_));
        s = s_text_;
    }
    if (*dt == "s")
        t = "inlineStr";
    else if (*dt != "f")
        t = *dt;
    if (*dt == "d") {
        if (!shows_date(style.get()))
            return push_fallback(cell, styled);
        Ref pair = Ref::steal(PyObject_CallFunctionObjArgs(helper(WriterHelper::DateValue), ws_.get(), cell, nullptr));
        PyObject *v, *iso;
        if (!pair || !PyArg_ParseTuple(pair.get(), "OO!:date_value", &v, &PyBool_Type, &iso))
            return fetched();
        value = Ref::borrow(v);
        if (iso != Py_True)
            t = "n";
    }
    Classified val = classify(value.get());
    if (val.kind == Classified::Kind::Unsupported)
        return push_fallback(cell, styled);
    Ref link = VLM_TRY(attr(cell, NAMES.hyperlink));
    Outcome o = VLM_TRY(emit(CellOut{*r, *c, *dt, t, s, &val, link.get()}));
    if (o == Outcome::Declined)
        return push_fallback(cell, styled);
    return {};
}

Result<SheetWriter::Outcome> SheetWriter::emit(const CellOut& c) {
    using K = Classified::Kind;
    enum class Content { Empty, V, Inline, Formula } content = Content::Empty;
    std::string_view text = c.value->text();
    bool f = c.dtype == "f", s = c.dtype == "s";
    if (c.value->kind == K::String)
        content = text.empty() ? Content::Empty : f ? Content::Formula : s ? Content::Inline : Content::V;
    else if (c.value->kind == K::Text)
        content = (f || s) ? Content::Empty : Content::V;
    if (c.value->kind == K::Text && (f || s))
        return Outcome::Declined;
    if (!text.empty() && !writable(text))
        return Outcome::Declined;
    // A text value is written with its escape-shaped underscores escaped; a
    // formula with the value it was saved with while it is the formula read.
    std::optional<std::string_view> t = c.t;
    std::string_view saved_text;
    if ((content == Content::V && c.value->kind == K::String) || content == Content::Inline) {
        text = escape_underscores(text, escaped_);
    } else if (content == Content::Formula && !saved_.empty()) {
        auto hit = saved_.find(cell_key(c.row, c.column));
        if (hit != saved_.end() && hit->second.formula == text) {
            const Saved& v = hit->second;
            t = v.has_t ? std::optional<std::string_view>(v.t) : std::nullopt;
            saved_text = escape_underscores(v.text, escaped_);
            if (!v.encoded || !writable(saved_text))
                return Outcome::Declined;
        }
    }
    if (c.link && c.link != Py_None && VLM_TRY(truth(c.link))) {
        if (PyList_CheckExact(hyperlinks_.get()) ? PyList_Append(hyperlinks_.get(), c.link) < 0
                                                 : !Ref::steal(PyObject_CallMethodOneArg(hyperlinks_.get(), NAMES.append, c.link)))
            return fetched();
    }
    std::string& b = buf_;
    b += "<c r=\"";
    char col[3];
    b.append(col, put_column(col, c.column));
    put_int(b, c.row);
    b += '"';
    if (c.s) {
        b += " s=\"";
        esc_attr(b, *c.s, lxml_);
        b += '"';
    }
    if (t) {
        b += " t=\"";
        esc_attr(b, *t, lxml_);
        b += '"';
    }
    // <v>text</v> or <f>text</f>, escaped; empty, as each serialiser
    // writes an empty element: <v></v> (lxml) or <v />.
    auto put_element = [&](char name, std::string_view inner) {
        const char open[] = {'<', name, '\0'}, close[] = {'<', '/', name, '>', '\0'};
        b += open;
        if (inner.empty() && !lxml_) {
            b += " />";
            return;
        }
        b += '>';
        esc_text(b, inner, lxml_);
        b += close;
    };
    switch (content) {
    case Content::Empty:
        b += lxml_ ? "></c>" : " />";
        break;
    case Content::V:
        b += '>';
        put_element('v', text);
        b += "</c>";
        break;
    case Content::Inline: {
        std::string_view stripped = py_strip(text);
        bool preserve = stripped.size() != text.size() && (lxml_ || !stripped.empty());
        b += preserve ? "><is><t xml:space=\"preserve\">" : "><is><t>";
        esc_text(b, text, lxml_);
        b += "</t></is></c>";
        break;
    }
    case Content::Formula: {
        // The value without its first character (normally "=").
        size_t skip = 1;
        while (skip < text.size() && (static_cast<unsigned char>(text[skip]) & 0xC0) == 0x80)
            ++skip;
        b += '>';
        put_element('f', text.substr(skip));
        put_element('v', saved_text);
        b += "</c>";
        break;
    }
    }
    return Outcome::Written;
}

Result<void> SheetWriter::push_fallback(PyObject* cell, bool styled) {
    Ref xml = Ref::steal(PyObject_CallFunctionObjArgs(helper(WriterHelper::WriteCell), ws_.get(), cell,
                                                      styled ? Py_True : Py_False, nullptr));
    if (!xml)
        return fetched();
    if (lxml_) {
        if (!PyBytes_Check(xml.get())) {
            PyErr_Format(PyExc_TypeError, "write_cell must return bytes, not %T", xml.get());
            return fetched();
        }
        buf_.append(PyBytes_AS_STRING(xml.get()), static_cast<size_t>(PyBytes_GET_SIZE(xml.get())));
        return {};
    }
    if (!PyUnicode_Check(xml.get())) {
        PyErr_Format(PyExc_TypeError, "write_cell must return str, not %T", xml.get());
        return fetched();
    }
    if (std::optional<std::string_view> text = utf8_of(xml.get())) {
        buf_ += *text;
        return {};
    }
    // Lone surrogates: the text goes to `write` as it is, after what came
    // before it.
    VLM_TRY(flush_buf());
    Ref r = Ref::steal(PyObject_CallOneArg(write_.get(), xml.get()));
    if (!r)
        return fetched();
    return {};
}

Result<void> SheetWriter::flush_buf() {
    if (buf_.empty())
        return {};
    auto n = static_cast<Py_ssize_t>(buf_.size());
    Ref chunk = Ref::steal(lxml_ ? PyBytes_FromStringAndSize(buf_.data(), n)
                                 : PyUnicode_DecodeUTF8(buf_.data(), n, "strict"));
    if (!chunk)
        return fetched();
    Ref r = Ref::steal(PyObject_CallOneArg(write_.get(), chunk.get()));
    if (!r)
        return fetched();
    buf_.clear();
    return {};
}

// --- Rows

Result<void> SheetWriter::row_start(int64_t row, PyObject* attrs) {
    if (!attrs || attrs == Py_None) {
        buf_ += "<row r=\"";
        put_int(buf_, row);
        buf_ += "\">";
        return {};
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(row)));
    if (!text)
        return fetched();
    return row_start_attrs(text.get(), attrs);
}

// The start tag with the row's attributes: "r" first, then the others in
// their order, as the package builds the dict. Names in {uri}local form get
// the prefixes both serialisers give them: ns0, ns1, ... in order of first
// use, declared before the attributes (the standard library writes the XML
// namespace as "xml" instead, lxml gives it a number too).
Result<void> SheetWriter::row_start_attrs(PyObject* row_text, PyObject* attrs) {
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), NAMES.r, row_text) < 0)
        return fetched();
    Ref up = Ref::steal(PyObject_CallMethodOneArg(d.get(), NAMES.update, attrs));
    if (!up)
        return fetched();
    struct Attr {
        std::string_view uri, local, value;
    };
    std::vector<Attr> items;
    std::vector<std::string_view> uris;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "row attributes must be str, not %T",
                         PyUnicode_Check(key) ? value : key);
            return fetched();
        }
        Py_ssize_t kn, vn;
        const char* k = PyUnicode_AsUTF8AndSize(key, &kn);
        const char* v = k ? PyUnicode_AsUTF8AndSize(value, &vn) : nullptr;
        if (!v)
            return fetched();
        Attr a{{}, {k, static_cast<size_t>(kn)}, {v, static_cast<size_t>(vn)}};
        if (a.local.starts_with('{')) {
            size_t close = a.local.rfind('}');
            if (close == std::string_view::npos)
                return decline("row dimension keys");
            a.uri = a.local.substr(1, close - 1);
            a.local = a.local.substr(close + 1);
            if (a.uri.empty() || has_own_prefix(a.uri))
                return decline("row dimension keys");
            if ((lxml_ || a.uri != XML_NS) && std::ranges::find(uris, a.uri) == uris.end())
                uris.push_back(a.uri);
        }
        items.push_back(a);
    }
    // The standard library lists declarations by prefix text, lxml in order
    // of use; the two agree up to ten namespaces.
    if (uris.size() > 10)
        return decline("row dimension keys");
    buf_ += "<row";
    for (size_t i = 0; i < uris.size(); ++i) {
        buf_ += " xmlns:ns";
        put_int(buf_, static_cast<int64_t>(i));
        buf_ += "=\"";
        esc_attr(buf_, uris[i], lxml_);
        buf_ += '"';
    }
    for (const Attr& a : items) {
        buf_ += ' ';
        if (!lxml_ && a.uri == XML_NS) {
            buf_ += "xml:";
        } else if (!a.uri.empty()) {
            buf_ += "ns";
            put_int(buf_, std::ranges::find(uris, a.uri) - uris.begin());
            buf_ += ':';
        }
        esc_attr(buf_, a.local, lxml_);
        buf_ += "=\"";
        esc_attr(buf_, a.value, lxml_);
        buf_ += '"';
    }
    buf_ += '>';
    return {};
}

Result<void> SheetWriter::row_end() {
    buf_ += "</row>";
    if (buf_.size() >= FLUSH_AT)
        return flush_buf();
    return {};
}

Result<void> SheetWriter::write_cells(PyObject* cells) {
    return each_item(cells, [&](PyObject* cell) { return write_one(cell); });
}

template <class F>
Result<void> SheetWriter::framed_row(int64_t row, F&& cells) {
    size_t start = buf_.size();
    auto body = [&]() -> Result<void> {
        Ref dims = VLM_TRY(attr(ws_.get(), NAMES.row_dimensions));
        Ref attrs = VLM_TRY(row_attrs(dims.get(), row));
        VLM_TRY(row_start(row, attrs.get()));
        VLM_TRY(cells());
        buf_ += "</row>";
        return {};
    };
    Result<void> done = catch_alloc(body);
    if (done && buf_.size() >= FLUSH_AT)
        done = flush_buf();
    if (!done) {
        // A row is written whole or not at all: the caller may carry on and
        // flush, and a half row would leave the file malformed. A row whose
        // hand-over failed is taken back too (a failed hand-over keeps the
        // buffer), so that a call that raised never leaves its row behind.
        buf_.resize(std::min(start, buf_.size()));
        return done;
    }
    return {};
}

Result<void> SheetWriter::write_row(PyObject* cells, int64_t row) {
    return framed_row(row, [&] { return write_cells(cells); });
}

// A new cell holding `value` has no style, link or comment, and the data
// type the package's Cell gives the value: "n" for an int or a float, "b"
// for a bool, "f" for a str of two characters or more starting with "=",
// else "s". Its start tag then carries t as write_one gives it.
Result<bool> SheetWriter::write_plain(int64_t row, int64_t column, PyObject* value,
                                      std::optional<std::string_view> s) {
    PyTypeObject* type = Py_TYPE(value);
    if (type != &PyFloat_Type && type != &PyLong_Type && type != &PyBool_Type && type != &PyUnicode_Type)
        return false;
    Classified val = classify(value);
    if (val.kind == Classified::Kind::Unsupported)
        return false;
    std::string_view dt = type == &PyBool_Type ? "b" : "n";
    std::optional<std::string_view> t = dt;
    if (type == &PyUnicode_Type) {
        std::string_view text = val.text();
        // the UTF-8 of "=" is one byte, so two characters are two bytes or more
        bool formula = text.size() > 1 && text[0] == '=';
        dt = formula ? "f" : "s";
        t = formula ? std::nullopt : std::optional<std::string_view>("inlineStr");
    }
    Outcome o = VLM_TRY(emit(CellOut{row, column, dt, t, s, &val, nullptr}));
    return o == Outcome::Written;
}

Result<int64_t> SheetWriter::write_values(PyObject* values, int64_t row, PyObject* make_cell,
                                          PyObject* styles) {
    // A tuple of its own, so that make_cell cannot change what is iterated
    Ref items = Ref::steal(PySequence_Tuple(values));
    if (!items)
        return fetched();
    int64_t last = 0;
    auto cells = [&]() -> Result<void> {
        Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* value = PyTuple_GET_ITEM(items.get(), i);
            if (value == Py_None)
                continue;
            int64_t column = i + 1;
            last = column;
            std::optional<std::string_view> s;
            if (styles && i < PyTuple_GET_SIZE(styles)) {
                PyObject* id = PyTuple_GET_ITEM(styles, i);
                if (id != Py_None) {
                    if (!PyUnicode_Check(id))
                        return unsupported("style text");
                    Py_ssize_t size = 0;
                    const char* text = PyUnicode_AsUTF8AndSize(id, &size);
                    if (!text)
                        return fetched();
                    s = std::string_view(text, static_cast<size_t>(size));
                    // written as it is: a style id, decimal digits only
                    if (s->empty() || s->find_first_not_of("0123456789") != std::string_view::npos)
                        return unsupported("style text");
                }
            }
            if (in_sheet(row, column) && VLM_TRY(write_plain(row, column, value, s)))
                continue;
            Ref r = Ref::steal(PyLong_FromLongLong(row));
            Ref c = r ? Ref::steal(PyLong_FromLongLong(column)) : Ref();
            Ref cell = c ? Ref::steal(PyObject_CallFunctionObjArgs(make_cell, r.get(), c.get(), value, nullptr)) : Ref();
            if (!cell)
                return fetched();
            VLM_TRY(write_one(cell.get()));
        }
        return {};
    };
    VLM_TRY(framed_row(row, cells));
    return last;
}

}  // namespace vlm::writer
