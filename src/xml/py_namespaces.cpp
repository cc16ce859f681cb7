// Building the namespace list as Python objects.
#include "xml/py_namespaces.h"

namespace vlm::xml {

namespace {

Ref utf8_str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

}  // namespace

Result<Ref> namespace_list(const Reader& r) {
    auto pairs = r.in_scope_namespaces();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list)
        return std::unexpected(XmlError::fetch());
    for (size_t i = 0; i < pairs.size(); ++i) {
        Ref prefix = utf8_str(pairs[i].first);
        Ref uri = prefix ? utf8_str(pairs[i].second) : Ref();
        Ref pair = uri ? Ref::steal(PyTuple_Pack(2, prefix.get(), uri.get())) : Ref();
        if (!pair)
            return std::unexpected(XmlError::fetch());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
}

}  // namespace vlm::xml
