// The byte source: where the XML reader's input comes from.
//
// InputBuffer is the reader's buffer state. A ByteSource appends the next
// chunk to it with more(); before each refill the dead bytes in front are
// dropped (compact()) when that is cheap enough to keep the total cost of
// moving bytes linear in the input size.
//
// PyFileSource pulls from a Python file-like object with read(65536).
// MemorySource serves a fixed byte string in chunks of a chosen size, so the
// reader can be driven (and fuzzed) without Python objects in the input path.
#pragma once

#include "host/error.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vlm {

class InputBuffer {
public:
    // Bytes past size() that are always readable (and zero), so word-at-a-time
    // scans may load a whole word at any position below size().
    static constexpr size_t PADDING = 32;
    static constexpr size_t INITIAL_CAPACITY = 65536;
    static constexpr size_t CHUNK = 65536;

    InputBuffer();

    const char* data() const noexcept { return data_.get(); }
    size_t size() const noexcept { return size_; }
    std::string_view view(size_t from, size_t to) const noexcept {
        return {data_.get() + from, to - from};
    }
    void append(const char* bytes, size_t n);
    // Room for `n` bytes past the end, for a source that writes its chunk
    // in place (an inflater) instead of handing it over; `grow` then takes
    // the `m` (at most n) bytes written.
    char* room(size_t n) {
        reserve(size_ + n);
        return data_.get() + size_;
    }
    void grow(size_t m) noexcept;
    // Takes `block` as the buffer's storage, for a source that fills whole
    // blocks of its own (an inflating thread): `cap` bytes, its new data at
    // [head, head + n) followed by PADDING zero bytes. The live bytes (from
    // the read position, or the capture start) move in front of the new
    // data, and every position with them, as compact() moves them; the old
    // storage comes back in `block` and `cap`. Nothing is done (false) when
    // the live bytes do not fit in front or the buffer holds fewer than
    // `head` bytes: the caller appends instead.
    //   live "<c r=" (5 bytes), head 65536: block[65531, 65536) = "<c r=",
    //   positions shift by size() - 65536, the data follows at 65536.
    bool adopt(std::unique_ptr<char[]>& block, size_t& cap, size_t head, size_t n) noexcept;

    // Drops the consumed prefix (the read position, or the capture start when
    // that is smaller) when more than 65,535 bytes are dead and they are at
    // least half the buffer; positions are moved down by the same amount.
    void compact() noexcept;

    size_t pos = 0;            // read position
    uint64_t dropped = 0;      // bytes removed in front of the buffer so far
    bool capturing = false;    // an element capture is active
    size_t capture_start = 0;  // its first byte (valid while capturing)
    size_t tag_start = 0;      // the last tag read: its '<' ...
    size_t tag_end = 0;        // ... and one past its '>'

private:
    void reserve(size_t want);
    // The positions after `n` bytes left the front of the buffer.
    void shift(size_t n) noexcept;
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t cap_ = 0;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Appends the next chunk: true when bytes were appended, false at end of
    // input (for good), or the source's error.
    [[nodiscard]] virtual Result<bool> more(InputBuffer& buf) = 0;
    // The Python object the source reads from, if any (for the garbage
    // collector's view of an owner).
    virtual PyObject* object() const noexcept { return nullptr; }
};

class PyFileSource final : public ByteSource {
public:
    // Who holds the interpreter while the source is read: the reading
    // thread throughout (the default), or nobody, so that each read takes it
    // for its call (a parse run with the interpreter let go).
    enum class Interpreter : bool { Held, Released };
    // Takes a new reference to the file-like object; it is never closed here.
    explicit PyFileSource(PyObject* file, Interpreter interp = Interpreter::Held)
        : file_(Ref::borrow(file)), take_lock_(interp == Interpreter::Released) {}
    [[nodiscard]] Result<bool> more(InputBuffer& buf) override;
    PyObject* object() const noexcept override { return file_.get(); }

private:
    [[nodiscard]] Result<bool> read_chunk(InputBuffer& buf);
    Ref file_;
    bool take_lock_;
    bool eof_ = false;
};

class MemorySource final : public ByteSource {
public:
    // `chunk` bytes per call (at least 1). The bytes are not copied: they must
    // outlive the source.
    MemorySource(std::string_view bytes, size_t chunk) noexcept
        : rest_(bytes), chunk_(chunk ? chunk : 1) {}
    [[nodiscard]] Result<bool> more(InputBuffer& buf) override;

private:
    std::string_view rest_;
    size_t chunk_;
};

}  // namespace vlm
