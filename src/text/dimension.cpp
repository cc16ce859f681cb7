// find_dimension: scans a worksheet with the reader until its dimension
// element and hands back that element's raw bytes, so that the host parses
// the small snippet with its own XML code exactly as in the whole document.
#include "text/dimension.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/names.h"

#include "xml/py_namespaces.h"

namespace vlm {

namespace {

constexpr const char NESTED_DISPATCH[] = "nested element handled by dispatcher";

bool is_main(const xml::Reader& r, std::string_view local) {
    return r.ns() == xml::NS_MAIN && r.local() == local;
}

// Consumes the dimension element just opened, capturing it whole.
Result<std::string> capture_dimension(xml::Reader& r) {
    r.begin_capture();
    size_t depth = r.depth();
    for (;;) {
        xml::Event ev = VLM_TRY(r.next());
        if (ev == xml::Event::End && r.depth() < depth)
            break;
        if ((ev == xml::Event::Start || ev == xml::Event::Empty) &&
            (is_main(r, "sheetData") || is_main(r, "dimension")))
            return unsupported(NESTED_DISPATCH);
        if (ev == xml::Event::Eof)
            return std::unexpected(XmlError::internal("end of input inside an open element"));
    }
    return r.end_capture();
}

constexpr Signature<1> FIND_DIMENSION_ARGS{"find_dimension", {&NAMES.source}, {"source"}, 1};

PyObject* find_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1] = {nullptr};
    if (!FIND_DIMENSION_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    return xml::read_file(a[0], find_dimension_in);
}

PyMethodDef find_dimension_def[] = {
    {"find_dimension", method<find_dimension>(), METH_FASTCALL | METH_KEYWORDS,
     "find_dimension(source)\n--\n\n"
     "Return the raw bytes of the worksheet's dimension element and the namespace "
     "declarations in force around it, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Result<Ref> find_dimension_in(xml::Reader& r) {
    for (;;) {
        xml::Event ev = VLM_TRY(r.next());
        if (ev == xml::Event::Eof || (ev == xml::Event::End && is_main(r, "sheetData")))
            return Ref::borrow(Py_None);
        if ((ev == xml::Event::Start || ev == xml::Event::Empty) && is_main(r, "dimension"))
            break;
    }
    std::string bytes = VLM_TRY(capture_dimension(r));
    Ref list = VLM_TRY(xml::namespace_list(r));
    Ref data = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    Ref pair = data ? Ref::steal(PyTuple_Pack(2, data.get(), list.get())) : Ref();
    if (!pair)
        return std::unexpected(XmlError::fetch());
    return pair;
}

// Added as a module function, so that it reports its module like any other.
int add_find_dimension(PyObject* module) { return PyModule_AddFunctions(module, find_dimension_def); }

}  // namespace vlm
