// Cell values sorted into what the writer can put in <v> itself: nothing,
// a str's own UTF-8 text, or number text made here; anything else is the
// package's to write. Number text follows the package: integers up to 2^53
// in full, integral doubles below 1e16 without a point, the rest as %.16g
// where that reads back as the same double, else in its shortest exact form.
#pragma once

#include "host/error.h"
#include "utils/numtext.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace vlm::writer {

struct Classified {
    enum class Kind : unsigned char { None, String, Text, Unsupported };
    Kind kind = Kind::Unsupported;
    // The text is at `ext` (a str's own UTF-8, valid while the str lives,
    // or a literal) or, when ext is null, in `buf`: a copy of the record
    // keeps its text.
    const char* ext = nullptr;
    size_t len = 0;
    char buf[G16_MAX];

    std::string_view text() const noexcept { return {ext ? ext : buf, len}; }

    static Classified none() noexcept { return Classified{Kind::None, "", 0, {}}; }
    static Classified unsupported() noexcept { return Classified{}; }
    static Classified string(std::string_view s) noexcept {
        return Classified{Kind::String, s.data(), s.size(), {}};
    }
    // Text of the number x; NaN and the infinities are unsupported.
    static Classified number(double x) noexcept;
    static Classified integer(int64_t v) noexcept;
    static Classified literal(std::string_view s) noexcept { return Classified{Kind::Text, s.data(), s.size(), {}}; }
};

// Writes the number text of v / of a finite x at out (G16_MAX bytes) and
// returns its length.
size_t int_text(int64_t v, char* out) noexcept;
size_t double_text(double x, char* out) noexcept;

// An exact int within 64 bits; nothing (no exception) otherwise.
std::optional<int64_t> exact_int(PyObject* obj) noexcept;

// The kind of a value by its exact type (subclasses are unsupported); a str
// that cannot be encoded as UTF-8 is unsupported too. Raises nothing.
Classified classify(PyObject* value) noexcept;

}  // namespace vlm::writer
