// The shared-formula translator: a master formula tokenized once and
// compiled into segments (plain text, relative rows, relative columns), then
// printed for any destination cell with the two offsets added. The text and
// the errors are the package's Translator(formula, origin)
// .translate_formula(dest), word for word.
//
//   auto t = Translator::compile("=A1+B$2", 1, 1);   // origin A1
//   t->translate(CellPos{3, 3});                      // "=C3+D$2"
#pragma once

#include "formula/tokenizer.h"
#include "utils/coord.h"

#include <cstdint>
#include <span>

namespace vlm::formula {

struct CellPos {
    int64_t row;
    int64_t col;
};

enum class SegKind : unsigned char { Text, Row, Col };

// Text: bytes [off, off + len) of the translator's text pool. Row and Col:
// the relative row or column n of the master.
struct Seg {
    SegKind kind;
    uint32_t off;
    uint32_t len;
    int64_t n;
};

class Translator {
public:
    // Tokenizes `formula` (UTF-8, with its leading "=") and compiles it;
    // the origin is the master's cell. NeedPython when an operand holds
    // non-ASCII that only the package's number parser can classify.
    [[nodiscard]] static FormulaResult<Translator> compile(std::string_view formula,
                                                           int64_t origin_row, int64_t origin_col);

    // Whether every relative reference, moved to `dest` (none: no move), stays
    // on the sheet; else Translator "Formula out of range". O(1).
    [[nodiscard]] FormulaResult<void> check(std::optional<CellPos> dest) const;
    // The formula moved to `dest`.
    [[nodiscard]] FormulaResult<std::string> translate(std::optional<CellPos> dest) const;
    // The same, appended to `out`; on error `out` is left as it was. Grows
    // `out` at most once per call and not at all once it has room.
    [[nodiscard]] FormulaResult<void> translate_into(std::optional<CellPos> dest,
                                                     std::string& out) const;

    std::span<const Seg> segments() const { return segs_; }
    std::string_view text(const Seg& s) const { return std::string_view(text_).substr(s.off, s.len); }

private:
    friend class Compiler;
    Translator(int64_t row, int64_t col) : origin_row_(row), origin_col_(col) {}

    std::vector<Seg> segs_;
    std::string text_;
    int64_t origin_row_;
    int64_t origin_col_;
    // Bounds of the relative references, for check().
    int64_t min_row_ = INT64_MAX;
    int64_t min_col_ = INT64_MAX;
    int64_t max_col_ = INT64_MIN;
    // The longest output: every text, 20 digits per row, 3 letters per column.
    size_t max_len_ = 0;
};

}  // namespace vlm::formula
