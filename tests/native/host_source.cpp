// SourceBuffer: an InputBuffer fed by a PyFileSource, with its positions
// exposed, so tests can drive refills and the compaction rule directly.
//
//   b = SourceBuffer(fileobj)
//   b.more() -> bool                  one refill (exceptions pass through)
//   b.consume(n)                      advance the read position
//   b.set_tags(start, end)            the remembered tag offsets
//   b.begin_capture(at) / b.end_capture()
//   b.state() -> dict                 size, pos, dropped, capturing, capture_start,
//                                     tag_start, tag_end
//   b.data() -> bytes                 the buffered bytes
#include "host/source.h"
#include "registry.h"

#include <new>

namespace vlm::testing {
namespace {

struct SourceBuffer {
    PyObject_HEAD
    PyFileSource* src;
    InputBuffer* buf;
};

PyObject* sb_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* file;
    if (!PyArg_ParseTuple(args, "O", &file))
        return nullptr;
    auto* self = reinterpret_cast<SourceBuffer*>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    self->src = new PyFileSource(file);
    self->buf = new InputBuffer();
    return reinterpret_cast<PyObject*>(self);
}

void sb_dealloc(PyObject* o) {
    auto* self = reinterpret_cast<SourceBuffer*>(o);
    delete self->src;
    delete self->buf;
    Py_TYPE(o)->tp_free(o);
}

SourceBuffer* sb(PyObject* o) { return reinterpret_cast<SourceBuffer*>(o); }

PyObject* sb_more(PyObject* o, PyObject*) {
    Result<bool> r = sb(o)->src->more(*sb(o)->buf);
    if (!r)
        return fallback_err(std::move(r).error());
    return PyBool_FromLong(*r);
}

PyObject* sb_consume(PyObject* o, PyObject* arg) {
    size_t n = PyLong_AsSize_t(arg);
    if (n == static_cast<size_t>(-1) && PyErr_Occurred())
        return nullptr;
    InputBuffer& b = *sb(o)->buf;
    if (n > b.size() - b.pos) {
        PyErr_SetString(PyExc_ValueError, "consume past the end of the buffer");
        return nullptr;
    }
    b.pos += n;
    Py_RETURN_NONE;
}

PyObject* sb_set_tags(PyObject* o, PyObject* args) {
    Py_ssize_t s, e;
    if (!PyArg_ParseTuple(args, "nn", &s, &e))
        return nullptr;
    sb(o)->buf->tag_start = static_cast<size_t>(s);
    sb(o)->buf->tag_end = static_cast<size_t>(e);
    Py_RETURN_NONE;
}

PyObject* sb_begin_capture(PyObject* o, PyObject* arg) {
    size_t at = PyLong_AsSize_t(arg);
    if (at == static_cast<size_t>(-1) && PyErr_Occurred())
        return nullptr;
    sb(o)->buf->capturing = true;
    sb(o)->buf->capture_start = at;
    Py_RETURN_NONE;
}

PyObject* sb_end_capture(PyObject* o, PyObject*) {
    InputBuffer& b = *sb(o)->buf;
    if (!b.capturing) {
        PyErr_SetString(PyExc_SystemError, "internal error: capture not started");
        return nullptr;
    }
    b.capturing = false;
    auto v = b.view(b.capture_start, b.pos);
    return PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}

PyObject* sb_state(PyObject* o, PyObject*) {
    const InputBuffer& b = *sb(o)->buf;
    return Py_BuildValue("{s:n,s:n,s:K,s:O,s:n,s:n,s:n}", "size", (Py_ssize_t)b.size(), "pos",
                         (Py_ssize_t)b.pos, "dropped", (unsigned long long)b.dropped, "capturing",
                         b.capturing ? Py_True : Py_False, "capture_start",
                         (Py_ssize_t)b.capture_start, "tag_start", (Py_ssize_t)b.tag_start,
                         "tag_end", (Py_ssize_t)b.tag_end);
}

PyObject* sb_data(PyObject* o, PyObject*) {
    const InputBuffer& b = *sb(o)->buf;
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

PyMethodDef sb_methods[] = {
    {"more", sb_more, METH_NOARGS, nullptr},
    {"consume", sb_consume, METH_O, nullptr},
    {"set_tags", sb_set_tags, METH_VARARGS, nullptr},
    {"begin_capture", sb_begin_capture, METH_O, nullptr},
    {"end_capture", sb_end_capture, METH_NOARGS, nullptr},
    {"state", sb_state, METH_NOARGS, nullptr},
    {"data", sb_data, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sb_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sb_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sb_dealloc)},
    {Py_tp_methods, sb_methods},
    {0, nullptr},
};

PyType_Spec sb_spec = {"_vellum_testing.SourceBuffer", sizeof(SourceBuffer), 0,
                       Py_TPFLAGS_DEFAULT, sb_slots};

}  // namespace

int add_host_source(PyObject* m) {
    PyObject* t = PyType_FromModuleAndSpec(m, &sb_spec, nullptr);
    if (!t)
        return -1;
    return PyModule_Add(m, "SourceBuffer", t);
}

}  // namespace vlm::testing
