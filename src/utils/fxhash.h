// FxHasher: the store's own 64-bit hash, for the maps of the cell store and
// of formula templates (keys, texts, formula shapes). Fast on short keys,
// fixed so that behaviour on collisions is the same on every machine.
//
//   add a word w:  h = (rotl(h, 5) ^ w) * 0x517cc1b727220a95
//   add bytes:     8 at a time, little-endian, the last chunk zero-padded
//   finish:        the MurmurHash3 64-bit finaliser
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vlm {

class FxHasher {
public:
    void add(uint64_t w) noexcept { h_ = (std::rotl(h_, 5) ^ w) * 0x517cc1b727220a95ull; }
    void add_bytes(std::string_view s) noexcept {
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            add(little_endian(w));
        }
        if (i < s.size()) {
            uint64_t w = 0;
            std::memcpy(&w, s.data() + i, s.size() - i);
            add(little_endian(w));
        }
    }
    uint64_t finish() const noexcept {
        uint64_t h = h_;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ull;
        h ^= h >> 33;
        return h;
    }

    // A 64-bit key as one word.
    static uint64_t word(uint64_t w) noexcept {
        FxHasher f;
        f.add(w);
        return f.finish();
    }
    // A byte-string key: its length first, then its bytes.
    static uint64_t bytes_key(std::string_view s) noexcept {
        FxHasher f;
        f.add(s.size());
        f.add_bytes(s);
        return f.finish();
    }

private:
    // Chunks are read little-endian on every machine (a no-op on x86 and ARM).
    static uint64_t little_endian(uint64_t w) noexcept {
        if constexpr (std::endian::native == std::endian::big)
            return std::byteswap(w);
        return w;
    }

    uint64_t h_ = 0;
};

// The hash functor of FxHasher maps with 64-bit keys.
struct FxWord {
    size_t operator()(uint64_t k) const noexcept { return FxHasher::word(k); }
};

}  // namespace vlm
