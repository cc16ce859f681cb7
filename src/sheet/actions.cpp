// Entries of the `actions` list (actions.h).
#include "sheet/actions.h"

#include "host/names.h"

namespace vlm::sheet {

namespace {

// A list subclass may have an append of its own, which the package's replay
// would call: so does the engine.
Result<void> append(PyObject* actions, Ref entry) {
    if (!entry)
        return std::unexpected(XmlError::fetch());
    if (PyList_CheckExact(actions)) {
        if (PyList_Append(actions, entry.get()) < 0)
            return std::unexpected(XmlError::fetch());
        return {};
    }
    Ref done = Ref::steal(PyObject_CallMethodOneArg(actions, NAMES.append, entry.get()));
    if (!done)
        return std::unexpected(XmlError::fetch());
    return {};
}

}  // namespace

Result<void> append_element(PyObject* actions, const Item& element) {
    Ref bytes = Ref::steal(
        PyBytes_FromStringAndSize(element.bytes.data(), static_cast<Py_ssize_t>(element.bytes.size())));
    if (!bytes)
        return std::unexpected(XmlError::fetch());
    return append(actions, Ref::steal(PyTuple_Pack(3, NAMES.element, bytes.get(), element.namespaces.get())));
}

Result<void> append_warning(PyObject* actions, PyObject* message) {
    return append(actions, Ref::steal(PyTuple_Pack(2, NAMES.warn, message)));
}

}  // namespace vlm::sheet
