// The XML reader driven from tests, over a MemorySource (plain C++ input).
//
//   xml_events(data, chunk) -> [event, ...]       or raises NativeFallback
//       ("start" | "empty", uri, local, {attr_key: value}, [(prefix, uri)], depth)
//       ("end", uri, local, depth)   ("text", str, raw)
//   xml_capture(data, chunk, depth) -> ([bytes of each element at depth],
//                                       bytes dropped, largest buffer size)
//   xml_fast_attrs(data) -> (kind, end, [(name, value)]) or None: the fast
//       scan over the start tag that data begins with, from after its name
//   xml_messages() -> [(kind, text)]              the reader's message table
//   NativeFallback                                this module's copy of the type
//   swar_mismatches(data) -> int                  kernels vs scalar twins at
//       every start and end position
#include "registry.h"

#include "host/source.h"
#include "xml/py_namespaces.h"
#include "xml/reader.h"
#include "utils/swar.h"

#include <vector>

// Fills a reader's buffer directly, so that a scan can be tried on bytes the
// reader has not read as events.
namespace vlm::xml {
struct ReaderProbe {
    static InputBuffer& buffer(Reader& r) noexcept { return r.buf_; }
};
}  // namespace vlm::xml

namespace vlm::testing {
namespace {

using xml::Event;

Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

bool parse_data(PyObject* args, const char* fmt, Py_buffer* view, Py_ssize_t* n) {
    return PyArg_ParseTuple(args, fmt, view, n) != 0;
}

Result<Ref> attr_dict(const xml::Reader& r) {
    Ref d = Ref::steal(PyDict_New());
    for (const xml::Attr& a : r.attrs()) {
        Ref k = str(r.attr_key(a));
        Ref v = k ? str(r.attr_value(a)) : Ref();
        if (!v || PyDict_SetItem(d.get(), k.get(), v.get()) < 0)
            return std::unexpected(XmlError::fetch());
    }
    return d;
}

Result<Ref> event_tuple(xml::Reader& r, Event ev) {
    auto depth = static_cast<Py_ssize_t>(r.depth());
    switch (ev) {
    case Event::Start:
    case Event::Empty: {
        Ref attrs = VLM_TRY(attr_dict(r));
        Ref ns = VLM_TRY(xml::namespace_list(r));
        return Ref::steal(Py_BuildValue("(sNNOOn)", ev == Event::Start ? "start" : "empty",
                                        str(r.uri(r.ns())).release(), str(r.local()).release(),
                                        attrs.get(), ns.get(), depth));
    }
    case Event::End:
        return Ref::steal(Py_BuildValue("(sNNn)", "end", str(r.uri(r.ns())).release(),
                                        str(r.local()).release(), depth));
    case Event::Text:
        return Ref::steal(Py_BuildValue("(sNO)", "text", str(r.text_str()).release(),
                                        r.text_raw() ? Py_True : Py_False));
    case Event::Eof:
        break;
    }
    return Ref::steal(Py_BuildValue("(s)", "eof"));
}

Result<Ref> events(std::string_view data, size_t chunk) {
    MemorySource src(data, chunk);
    xml::Reader r(src);
    Ref out = Ref::steal(PyList_New(0));
    for (;;) {
        Event ev = VLM_TRY(r.next());
        Ref t = VLM_TRY(event_tuple(r, ev));
        if (!t || PyList_Append(out.get(), t.get()) < 0)
            return std::unexpected(XmlError::fetch());
        if (ev == Event::Eof)
            return out;
    }
}

PyObject* xml_events(PyObject*, PyObject* args) {
    Py_buffer b;
    Py_ssize_t chunk;
    if (!parse_data(args, "y*n", &b, &chunk))
        return nullptr;
    Result<Ref> r = events({static_cast<const char*>(b.buf), static_cast<size_t>(b.len)},
                           static_cast<size_t>(chunk));
    PyBuffer_Release(&b);
    return r ? r->release() : fallback_err(std::move(r).error());
}

Result<Ref> captures(std::string_view data, size_t chunk, size_t depth) {
    MemorySource src(data, chunk);
    xml::Reader r(src);
    Ref out = Ref::steal(PyList_New(0));
    size_t biggest = 0;
    bool active = false;
    for (;;) {
        Event ev = VLM_TRY(r.next());
        biggest = std::max(biggest, r.buffer().size());
        if (!active && (ev == Event::Start || ev == Event::Empty) && r.depth() == depth) {
            r.begin_capture();
            active = true;
        } else if (active && ev == Event::End && r.depth() < depth) {
            std::string got = VLM_TRY(r.end_capture());
            Ref bytes = Ref::steal(PyBytes_FromStringAndSize(got.data(), static_cast<Py_ssize_t>(got.size())));
            if (!bytes || PyList_Append(out.get(), bytes.get()) < 0)
                return std::unexpected(XmlError::fetch());
            active = false;
        } else if (ev == Event::Eof) {
            return Ref::steal(Py_BuildValue("(OKn)", out.get(),
                                            static_cast<unsigned long long>(r.buffer().dropped),
                                            static_cast<Py_ssize_t>(biggest)));
        }
    }
}

PyObject* xml_capture(PyObject*, PyObject* args) {
    Py_buffer b;
    Py_ssize_t chunk, depth;
    if (!PyArg_ParseTuple(args, "y*nn", &b, &chunk, &depth))
        return nullptr;
    Result<Ref> r = captures({static_cast<const char*>(b.buf), static_cast<size_t>(b.len)},
                             static_cast<size_t>(chunk), static_cast<size_t>(depth));
    PyBuffer_Release(&b);
    return r ? r->release() : fallback_err(std::move(r).error());
}

PyObject* xml_fast_attrs(PyObject*, PyObject* arg) {
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(arg, &p, &n) < 0)
        return nullptr;
    if (n < 2 || p[0] != '<' || !xml::has_class(p[1], xml::CC_NAME_START)) {
        PyErr_SetString(PyExc_ValueError, "data must begin with a start tag");
        return nullptr;
    }
    MemorySource src({}, 1);
    xml::Reader r(src);
    xml::ReaderProbe::buffer(r).append(p, static_cast<size_t>(n));
    size_t from = 2;
    while (from < static_cast<size_t>(n) && xml::has_class(p[from], xml::CC_NAME))
        ++from;
    Ref pairs = Ref::steal(PyList_New(0));
    size_t end = 0;
    xml::FastTag kind = r.fast_attrs(from, end, [&](std::string_view name, std::string_view value) {
        Ref t = Ref::steal(Py_BuildValue("(s#s#)", name.data(), (Py_ssize_t)name.size(), value.data(),
                                         (Py_ssize_t)value.size()));
        return t && PyList_Append(pairs.get(), t.get()) == 0;
    });
    if (PyErr_Occurred())
        return nullptr;
    if (kind == xml::FastTag::NotHandled)
        Py_RETURN_NONE;
    return Py_BuildValue("(snO)", kind == xml::FastTag::Start ? "start" : "empty",
                         static_cast<Py_ssize_t>(end), pairs.get());
}

PyObject* xml_messages(PyObject*, PyObject*) {
    Ref out = Ref::steal(PyList_New(0));
    for (const xml::MsgInfo& m : xml::MESSAGES) {
        const char* kind = m.kind == XmlError::Kind::Malformed ? "malformed" : "unsupported";
        Ref t = Ref::steal(Py_BuildValue("(ss)", kind, m.text));
        if (!t || PyList_Append(out.get(), t.get()) < 0)
            return nullptr;
    }
    return out.release();
}

// Compares the SWAR kernels with their scalar twins over every [from, to)
// of data, copied into a buffer with the padding the kernels rely on.
PyObject* swar_mismatches(PyObject*, PyObject* arg) {
    char* p;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(arg, &p, &n) < 0)
        return nullptr;
    std::vector<char> buf(p, p + n);
    buf.resize(static_cast<size_t>(n) + InputBuffer::PADDING, '\0');
    const char* d = buf.data();
    long bad = 0;
    for (Py_ssize_t i = 0; i <= n; ++i) {
        for (Py_ssize_t j = i; j <= n; ++j) {
            const char *a = d + i, *b = d + j;
            bad += swar::find1(a, b, '<') != swar::find1_scalar(a, b, '<');
            bad += swar::find3(a, b, '>', '"', '\'') != swar::find3_scalar(a, b, '>', '"', '\'');
            bad += swar::find_special(a, b, '&', ']', '\r') != swar::find_special_scalar(a, b, '&', ']', '\r');
            bad += swar::find_special(a, b, '\0', '\0', '\0') !=
                   swar::find_special_scalar(a, b, '\0', '\0', '\0');
        }
        const char* a = d + i;
        size_t digits = swar::digit_lanes(swar::load(a));
        bad += digits != swar::digit_lanes_scalar(a);
        for (size_t k = 1; k <= digits; ++k)
            bad += swar::digits_value(swar::load(a), k) != swar::digits_value_scalar(a, k);
    }
    return PyLong_FromLong(bad);
}

PyMethodDef xml_methods[] = {
    {"xml_events", xml_events, METH_VARARGS, nullptr},
    {"xml_capture", xml_capture, METH_VARARGS, nullptr},
    {"xml_fast_attrs", xml_fast_attrs, METH_O, nullptr},
    {"xml_messages", xml_messages, METH_NOARGS, nullptr},
    {"swar_mismatches", swar_mismatches, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The engine is linked into this module too, so its errors are this
// module's own NativeFallback (not the installed module's): exposed here.
int add_xml_reader(PyObject* m) {
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(m, "NativeFallback", fallback) < 0)
        return -1;
    return PyModule_AddFunctions(m, xml_methods);
}

}  // namespace vlm::testing
