// Block: the memory behind every Arrow buffer the columnar job makes. A
// block comes from malloc, 16-byte aligned (Arrow asks for 8), grows by
// realloc while a column is built (the C library moves a large block by
// remapping its pages, not by copying them: on a machine where a page
// touched for the first time is dear, a copy costs twice), and reads as
// zero past what was written, so that rows without a value need no store at
// all (their validity bit and value stay zero). Once built, a block is
// shared, never changed, by every array exported from it (std::shared_ptr),
// and freed with the last of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace vlm::table {

class Block {
public:
    Block() noexcept = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    Block(Block&& o) noexcept : p_(std::exchange(o.p_, nullptr)), cap_(std::exchange(o.cap_, 0)) {}
    Block& operator=(Block&& o) noexcept {
        std::free(p_);
        p_ = std::exchange(o.p_, nullptr);
        cap_ = std::exchange(o.cap_, 0);
        return *this;
    }
    ~Block() { std::free(p_); }

    // A block of at least `bytes` zero bytes.
    static Block zeroed(size_t bytes) {
        Block b;
        b.reserve(bytes);
        return b;
    }

    char* data() noexcept { return static_cast<char*>(p_); }
    const char* data() const noexcept { return static_cast<const char*>(p_); }
    template <class T>
    T* as() noexcept {
        return static_cast<T*>(p_);
    }
    template <class T>
    const T* as() const noexcept {
        return static_cast<const T*>(p_);
    }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return p_ == nullptr; }

    // Room for `bytes` bytes; what is new reads as zero. Grows to double
    // at least, so that appending stays amortised constant.
    void reserve(size_t bytes) {
        if (bytes <= cap_) [[likely]]
            return;
        grow(bytes, true);
    }
    // The same for a buffer only ever appended to, whose bytes past what
    // was written are never read: what is new is left as it comes (no pass
    // over pages the appends will write anyway). Such a block no longer
    // reads as zero past what was written.
    void reserve_raw(size_t bytes) {
        if (bytes <= cap_) [[likely]]
            return;
        grow(bytes, false);
    }

    // Gives back what lies past `bytes` (which must be no more than the
    // capacity): the C library returns a large block's pages at once.
    void shrink(size_t bytes) {
        bytes = (bytes + 63) & ~size_t{63};
        if (bytes == 0 || bytes >= cap_)
            return;
        if (void* p = std::realloc(p_, bytes)) {
            p_ = p;
            cap_ = bytes;
        }
    }

private:
    void grow(size_t bytes, bool zero) {
        size_t cap = cap_ * 2;
        if (cap < bytes)
            cap = bytes;
        cap = (cap + 63) & ~size_t{63};
        void* p = cap_ ? std::realloc(p_, cap) : zero ? std::calloc(cap, 1) : std::malloc(cap);
        if (!p)
            throw std::bad_alloc();
        if (cap_ && zero)
            std::memset(static_cast<char*>(p) + cap_, 0, cap - cap_);
        p_ = p;
        cap_ = cap;
    }

    void* p_ = nullptr;
    size_t cap_ = 0;
};

using SharedBlock = std::shared_ptr<const Block>;

inline SharedBlock share(Block&& b) { return std::make_shared<const Block>(std::move(b)); }

}  // namespace vlm::table
