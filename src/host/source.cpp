// Byte sources and the input buffer's growth and compaction rules.
#include "host/source.h"

#include "host/names.h"

#include <algorithm>
#include <cstring>

namespace vlm {

InputBuffer::InputBuffer() { reserve(INITIAL_CAPACITY); }

void InputBuffer::reserve(size_t want) {
    if (want + PADDING <= cap_)
        return;
    size_t cap = std::max(cap_ ? cap_ * 2 : INITIAL_CAPACITY + PADDING, want + PADDING);
    std::unique_ptr<char[]> next(new char[cap]);
    if (size_)
        std::memcpy(next.get(), data_.get(), size_);
    std::memset(next.get() + size_, 0, cap - size_);
    data_ = std::move(next);
    cap_ = cap;
}

void InputBuffer::append(const char* bytes, size_t n) {
    reserve(size_ + n);
    std::memcpy(data_.get() + size_, bytes, n);
    size_ += n;
    std::memset(data_.get() + size_, 0, PADDING);
}

void InputBuffer::grow(size_t m) noexcept {
    size_ += m;
    std::memset(data_.get() + size_, 0, PADDING);
}

bool InputBuffer::adopt(std::unique_ptr<char[]>& block, size_t& cap, size_t head, size_t n) noexcept {
    size_t keep = capturing ? std::min(pos, capture_start) : pos;
    size_t live = size_ - keep;
    if (live > head || size_ < head)
        return false;
    std::memcpy(block.get() + head - live, data_.get() + keep, live);
    shift(size_ - head);  // at most keep: the live bytes stay where the reader finds them
    size_ = head + n;
    std::swap(data_, block);
    std::swap(cap_, cap);
    return true;
}

void InputBuffer::compact() noexcept {
    size_t consumed = capturing ? std::min(pos, capture_start) : pos;
    if (consumed <= 65535 || consumed * 2 < size_)
        return;
    std::memmove(data_.get(), data_.get() + consumed, size_ - consumed);
    size_ -= consumed;
    std::memset(data_.get() + size_, 0, PADDING);
    shift(consumed);
}

void InputBuffer::shift(size_t n) noexcept {
    dropped += n;
    pos -= n;
    if (capturing)
        capture_start -= n;
    tag_start = tag_start > n ? tag_start - n : 0;
    tag_end = tag_end > n ? tag_end - n : 0;
}

Result<bool> PyFileSource::more(InputBuffer& buf) {
    if (eof_)
        return false;
    buf.compact();
    if (!take_lock_)
        return read_chunk(buf);
    PyGILState_STATE gil = PyGILState_Ensure();
    Result<bool> out = read_chunk(buf);
    PyGILState_Release(gil);
    return out;
}

// One read(CHUNK) call; the caller holds the interpreter.
Result<bool> PyFileSource::read_chunk(InputBuffer& buf) {
    Ref size = Ref::steal(PyLong_FromLong(InputBuffer::CHUNK));
    PyObject* args[2] = {file_.get(), size.get()};
    Ref chunk = Ref::steal(size ? PyObject_VectorcallMethod(NAMES.read, args,
                                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                                : nullptr);
    Result<bool> out = false;
    if (!chunk) {
        out = std::unexpected(XmlError::fetch());
    } else if (PyBytes_Check(chunk.get())) {
        Py_ssize_t n = PyBytes_GET_SIZE(chunk.get());
        if (n == 0) {
            eof_ = true;
        } else {
            buf.append(PyBytes_AS_STRING(chunk.get()), static_cast<size_t>(n));
            out = true;
        }
    } else {
        Ref qual = Ref::steal(PyType_GetQualName(Py_TYPE(chunk.get())));
        if (qual)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bytes'", qual.get());
        out = std::unexpected(XmlError::fetch());
    }
    return out;
}

Result<bool> MemorySource::more(InputBuffer& buf) {
    if (rest_.empty())
        return false;
    buf.compact();
    size_t n = std::min(chunk_, rest_.size());
    buf.append(rest_.data(), n);
    rest_.remove_prefix(n);
    return true;
}

}  // namespace vlm
