// The columnar job's units: a zip member inflated through MemberSource, and
// the text forms of values (Python's str()).
//
//   inflate_member(data: bytes, size, crc, deflated, keep=0, fed=0) -> bytes   the member's
//       bytes, read through as the XML reader reads (raises ValueError with the member's fault):
//       each time all but `keep` of the buffered bytes are taken, the rest left live; `fed` 1: a
//       large member inflated by a thread of the caller's, which tops the ring up a few times
//       before it runs, and outlives the source; 2: by no thread (its reader inflates it)
//   text_form(kind: str, value) -> str      kind: "float", "int", "datetime", "time", "duration"
//       (the last three in microseconds)
#include "host/pyref.h"
#include "registry.h"
#include "table/member.h"
#include "table/text_form.h"

#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace vlm::testing {
namespace {

PyObject* inflate_member(PyObject*, PyObject* args) {
    Py_buffer data;
    unsigned long long size, crc;
    int deflated;
    Py_ssize_t keep = 0;
    int fed = 0;
    if (!PyArg_ParseTuple(args, "y*KKp|ni", &data, &size, &crc, &deflated, &keep, &fed))
        return nullptr;
    table::MemberSpec spec;
    spec.memory = static_cast<const char*>(data.buf);
    spec.compressed = static_cast<uint64_t>(data.len);
    spec.size = size;
    spec.crc = static_cast<uint32_t>(crc);
    spec.deflated = deflated != 0;
    std::string out;
    const char* fault = nullptr;
    Py_BEGIN_ALLOW_THREADS
    {
        auto src = std::make_unique<table::MemberSource>(spec, fed ? table::Inflating::Fed : table::Inflating::OwnThread);
        std::shared_ptr<table::Feed> feed = src->feed();
        std::thread feeder;
        if (feed && fed == 1) {
            feeder = std::thread([feed] {
                for (int i = 0; i < 3; ++i) {
                    feed->top_up();
                    std::this_thread::yield();
                }
                feed->run();
            });
        }
        InputBuffer buf;
        for (;;) {
            Result<bool> more = src->more(buf);
            if (!more) {
                fault = more.error().message();
                break;
            }
            size_t upto = *more && buf.size() - buf.pos > static_cast<size_t>(keep)
                              ? buf.size() - static_cast<size_t>(keep) : buf.size();
            if (*more && upto <= buf.pos)
                continue;
            out.append(buf.data() + buf.pos, upto - buf.pos);
            // the padding after the data is zero, wherever the data lies
            for (size_t i = 0; i < InputBuffer::PADDING; ++i)
                fault = buf.data()[buf.size() + i] ? "padding not zero" : fault;
            buf.pos = upto;
            if (!*more)
                break;
        }
        src.reset();  // the feeder stops, whether or not it is done
        if (feeder.joinable())
            feeder.join();
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&data);
    if (fault) {
        PyErr_SetString(PyExc_ValueError, fault);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* text_form(PyObject*, PyObject* args) {
    const char* kind;
    PyObject* value;
    if (!PyArg_ParseTuple(args, "sO", &kind, &value))
        return nullptr;
    std::string out;
    if (std::strcmp(kind, "float") == 0) {
        double x = PyFloat_AsDouble(value);
        if (x == -1.0 && PyErr_Occurred())
            return nullptr;
        table::append_float(out, x);
    } else {
        long long v = PyLong_AsLongLong(value);
        if (v == -1 && PyErr_Occurred())
            return nullptr;
        if (std::strcmp(kind, "int") == 0)
            table::append_int(out, v);
        else if (std::strcmp(kind, "datetime") == 0)
            table::append_datetime(out, v);
        else if (std::strcmp(kind, "time") == 0)
            table::append_time(out, v);
        else if (std::strcmp(kind, "duration") == 0)
            table::append_duration(out, v);
        else
            return PyErr_Format(PyExc_ValueError, "no kind %s", kind);
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyMethodDef methods[] = {
    {"inflate_member", inflate_member, METH_VARARGS, nullptr},
    {"text_form", text_form, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_table(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
