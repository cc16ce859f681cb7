// Cell references, once for every job: reading plain A1 references (the
// fast path; "$A$1", "a1", "A01" and other odd forms are left to the
// package's coordinate_to_tuple so that they behave exactly as there), and
// column numbers to letters and back.
#pragma once

#include "utils/swar.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace vlm {

struct Coord {
    uint32_t row;
    uint32_t column;
};

// The last column a reference of three letters can name ("ZZZ"): the reach
// of references inside formulas.
inline constexpr uint32_t MAX_COLUMN = 18278;
// A worksheet's own bounds, "XFD1048576": no spreadsheet application opens
// a cell beyond them, so reading refuses one (a damaged part) and writing
// never makes one. The package states the same numbers.
inline constexpr uint32_t MAX_SHEET_ROW = 1'048'576;
inline constexpr uint32_t MAX_SHEET_COLUMN = 16'384;

[[nodiscard]] constexpr bool in_sheet(int64_t row, int64_t column) noexcept {
    return row >= 1 && row <= MAX_SHEET_ROW && column >= 1 && column <= MAX_SHEET_COLUMN;
}

// The digits a reference to a known row is expected to carry (the row being
// read: nearly every cell names its own row), kept as one word so that the
// padded scan_a1 takes them with one load and compare instead of converting
// them. Row 17: word "17" in the low lanes, mask 0xFFFF, n 2. Only the
// canonical digits (no leading zero) of rows 1 to 99,999,999 have one, and
// those are exactly the digits scan_a1 would have read as that row, so the
// result cannot differ; n == 0 matches nothing.
struct RowDigits {
    int64_t row = 0;
    uint64_t word = 0, mask = 0;
    size_t n = 0;

    static RowDigits of(int64_t row) noexcept {
        RowDigits d;
        d.row = row;
        if (row < 1 || row > 99'999'999)
            return d;
        char text[8];
        size_t n = 0;
        for (int64_t r = row; r; r /= 10)
            text[n++] = static_cast<char>('0' + r % 10);
        for (size_t i = 0; i < n; ++i)
            d.word |= static_cast<uint64_t>(static_cast<unsigned char>(text[n - 1 - i])) << (8 * i);
        d.mask = n == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
        d.n = n;
        return d;
    }
};

// Reads a plain reference at p: 1-3 letters A-Z, then 1-9 digits without a
// leading zero, naming a cell inside the sheet's bounds. Returns one past its
// last digit with `out` set, or nullptr when the bytes at p do not start
// that way (what follows is the caller's to check); a reference beyond the
// bounds is left to the caller's general path, which refuses it. Letters are
// a bijective base-26 number (A = 1, Z = 26, AA = 27), so neither part can
// overflow 32 bits. With `Padded`, p's buffer has at least
// 8 readable bytes past any digit, and the digits are read a word at a time.
// With `expect`, digits equal to its word (and no digit after them) are
// its row without being converted.
template <bool Padded = false>
[[nodiscard, gnu::always_inline]] inline const char* scan_a1(const char* p, const char* stop, Coord& out,
                                                             const RowDigits* expect = nullptr) noexcept {
    uint32_t column = 0;
    const char* at = p;
    while (p < stop && static_cast<unsigned char>(*p - 'A') < 26 && p - at < 3)
        column = column * 26 + static_cast<uint32_t>(*p++ - 'A' + 1);
    if (p == at || p >= stop || *p == '0')
        return nullptr;
    uint32_t row = 0;
    const char* digits = p;
    if constexpr (Padded) {
        uint64_t w = swar::load(p);
        if (expect && expect->n && (w & expect->mask) == expect->word &&
            static_cast<unsigned char>(p[expect->n] - '0') >= 10 && p + expect->n <= stop &&
            column <= MAX_SHEET_COLUMN) {
            out = Coord{static_cast<uint32_t>(expect->row), column};
            return p + expect->n;
        }
        size_t n = swar::digit_lanes(w);
        if (n == 8 && static_cast<unsigned char>(p[8] - '0') < 10) {
            if (static_cast<unsigned char>(p[9] - '0') < 10)
                return nullptr;  // ten digits or more
            row = static_cast<uint32_t>(swar::digits_value(w, 8)) * 10 + static_cast<uint32_t>(p[8] - '0');
            p += 9;
        } else if (n) {
            row = static_cast<uint32_t>(swar::digits_value(w, n));
            p += n;
        }
        if (p > stop)
            return nullptr;
    } else {
        for (; p < stop && static_cast<unsigned char>(*p - '0') < 10 && p - digits < 10; ++p)
            row = row * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (p == digits || p - digits > 9 || row > MAX_SHEET_ROW || column > MAX_SHEET_COLUMN)
        return nullptr;
    out = Coord{row, column};
    return p;
}

// "B3" -> {3, 2}; nothing for anything but a whole plain reference inside
// the sheet's bounds ("XFE1" and "A1048577" are left out). Inline:
// it runs once per cell of every sheet.
[[nodiscard]] inline std::optional<Coord> fast_coordinate(std::string_view text) noexcept {
    Coord c{};
    const char* stop = text.data() + text.size();
    if (scan_a1(text.data(), stop, c) != stop)
        return std::nullopt;
    return c;
}

// The column of 1-3 letters, either case ("c" and "C" are 3).
[[nodiscard]] inline int64_t column_number(std::string_view letters) noexcept {
    int64_t n = 0;
    for (char c : letters)
        n = n * 26 + ((c | 0x20) - 'a' + 1);
    return n;
}

// Writes the upper-case letters of column c (1 to MAX_COLUMN) at w and
// returns one past them.
inline char* put_column(char* w, int64_t c) noexcept {
    char buf[3];
    int k = 0;
    while (c > 0 && k < 3) {
        --c;
        buf[k++] = static_cast<char>('A' + c % 26);
        c /= 26;
    }
    while (k > 0)
        *w++ = buf[--k];
    return w;
}

}  // namespace vlm
