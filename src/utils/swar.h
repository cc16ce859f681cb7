// Word-at-a-time byte scans for the hot loops of the reader and the byte paths.
//
// Every kernel reads whole 8-byte words and may look at up to 7 bytes past
// the end of its range; the input buffer keeps 32 zero bytes of padding past
// its data, so such loads never leave the allocation. Each kernel has a plain
// scalar twin (the *_scalar functions) that the tests compare it with at
// every length and alignment.
//
// The core trick, for a word x and a byte b repeated in every lane (B):
//   y = x ^ B                       lanes equal to b become 0
//   (y - 0x0101..) & ~y & 0x8080..  sets the top bit of each zero lane
// A borrow only travels upwards from a zero lane, so the lowest set bit is
// always exact; that is the only one we use (little-endian: ctz / 8).
// Example: x = "ab<d...." (bytes 61 62 3C 64 ...), b = '<' -> y has lane 2
// zero -> the mask's lowest set bit is bit 23 -> index 2.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vlm::swar {

static_assert(std::endian::native == std::endian::little, "the scans assume little-endian words");

inline constexpr uint64_t ONES = 0x0101010101010101ull;
inline constexpr uint64_t HIGHS = 0x8080808080808080ull;

inline uint64_t load(const char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Top bit set in each lane of w that is zero (exact for the lowest lane).
inline uint64_t zero_lanes(uint64_t w) noexcept { return (w - ONES) & ~w & HIGHS; }

inline uint64_t eq_lanes(uint64_t w, char b) noexcept {
    return zero_lanes(w ^ (ONES * static_cast<unsigned char>(b)));
}

// Top bit set in each lane below 0x20 or at 0x80 and above (exact for the
// lowest lane): control characters and non-ASCII bytes.
inline uint64_t ctl_or_high_lanes(uint64_t w) noexcept {
    return ((w - ONES * 0x20) & ~w & HIGHS) | (w & HIGHS);
}

inline size_t lane(uint64_t mask) noexcept { return static_cast<size_t>(std::countr_zero(mask)) / 8; }

// The word loop shared by the kernels: `mask` flags the lanes of a word
// (exact for the lowest), `hit` tests one byte of the tail.
template <class Mask, class Hit>
inline const char* scan(const char* from, const char* to, Mask mask, Hit hit) noexcept {
    const char* p = from;
    for (; p + 8 <= to; p += 8) {
        if (uint64_t m = mask(load(p)))
            return p + lane(m);
    }
    for (; p < to; ++p) {
        if (hit(*p))
            return p;
    }
    return to;
}

// First p in [from, to) with *p == a, or to.
inline const char* find1(const char* from, const char* to, char a) noexcept {
    return scan(from, to, [a](uint64_t w) { return eq_lanes(w, a); }, [a](char c) { return c == a; });
}

// First p in [from, to) with *p equal to a, b or c, or to.
inline const char* find3(const char* from, const char* to, char a, char b, char c) noexcept {
    return scan(
        from, to, [=](uint64_t w) { return eq_lanes(w, a) | eq_lanes(w, b) | eq_lanes(w, c); },
        [=](char x) { return x == a || x == b || x == c; });
}

// First byte in [from, to) that is a control character, non-ASCII, or one
// of a, b, c; or to. Used to tell plain ASCII spans from ones that need the
// slower character and reference checks.
inline const char* find_special(const char* from, const char* to, char a, char b, char c) noexcept {
    return scan(
        from, to,
        [=](uint64_t w) { return ctl_or_high_lanes(w) | eq_lanes(w, a) | eq_lanes(w, b) | eq_lanes(w, c); },
        [=](char x) {
            auto u = static_cast<unsigned char>(x);
            return u < 0x20 || u >= 0x80 || x == a || x == b || x == c;
        });
}

// Digits, for the cell values and references of the byte path. A lane is a
// digit when its high nibble is 3 and adding 6 keeps it so (0x30-0x39). A
// carry out of the addition only reaches lanes above a non-digit lane, so
// the lowest flagged lane, the only one used, is exact.
inline size_t digit_lanes(uint64_t w) noexcept {
    constexpr uint64_t HIGH_NIBBLES = ONES * 0xF0, THREES = ONES * 0x30;
    uint64_t e = ((w & HIGH_NIBBLES) ^ THREES) | (((w + ONES * 6) & HIGH_NIBBLES) ^ THREES);
    return e ? lane(e) : 8;
}

// The number the first n lanes of w spell, when they are digits (1 <= n <= 8).
// The digits are moved to the top lanes, the ones below become leading zeros,
// then pairs, quads and octets of lanes are combined by three multiplications.
inline uint64_t digits_value(uint64_t w, size_t n) noexcept {
    uint64_t x = (w - ONES * '0') << (8 * (8 - n));
    x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FFull;
    x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFull;
    return (x * 10000 + (x >> 32)) & 0xFFFFFFFFull;
}

inline size_t digit_lanes_scalar(const char* p) noexcept {
    size_t n = 0;
    while (n < 8 && p[n] >= '0' && p[n] <= '9')
        ++n;
    return n;
}

inline uint64_t digits_value_scalar(const char* p, size_t n) noexcept {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = v * 10 + static_cast<uint64_t>(p[i] - '0');
    return v;
}

inline const char* find1_scalar(const char* from, const char* to, char a) noexcept {
    for (const char* p = from; p < to; ++p) {
        if (*p == a)
            return p;
    }
    return to;
}

inline const char* find3_scalar(const char* from, const char* to, char a, char b, char c) noexcept {
    for (const char* p = from; p < to; ++p) {
        if (*p == a || *p == b || *p == c)
            return p;
    }
    return to;
}

inline const char* find_special_scalar(const char* from, const char* to, char a, char b,
                                       char c) noexcept {
    for (const char* p = from; p < to; ++p) {
        auto u = static_cast<unsigned char>(*p);
        if (u < 0x20 || u >= 0x80 || *p == a || *p == b || *p == c)
            return p;
    }
    return to;
}

}  // namespace vlm::swar
