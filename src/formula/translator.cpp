// Compiling tokens into segments, and printing segments for a destination.
// The range rules are the package's patterns, written out by hand: each
// pattern is anchored at both ends, where the end may also be just before a
// single final line feed, which a match leaves out of the output. Range
// operands are ASCII by the time they get here (the tokenizer declines any
// other), so letters and digits are plain ASCII.
#include "formula/translator.h"

#include "utils/ascii.h"

#include <charconv>
#include <cstring>

namespace vlm::formula {

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

// The end of an optional "$" and 1 to 3 letters starting at i, or npos.
size_t col_end(std::string_view s, size_t i) {
    if (i < s.size() && s[i] == '$')
        ++i;
    size_t n = 0;
    while (i + n < s.size() && is_letter(s[i + n]) && n < 4)
        ++n;
    return n >= 1 && n <= 3 ? i + n : std::string_view::npos;
}

// The end of an optional "$" and 1 to 7 digits, the first not "0", or npos.
size_t row_end(std::string_view s, size_t i) {
    if (i < s.size() && s[i] == '$')
        ++i;
    if (i >= s.size() || s[i] < '1' || s[i] > '9')
        return std::string_view::npos;
    size_t n = 1;
    while (i + n < s.size() && is_digit(s[i + n]) && n < 8)
        ++n;
    return n <= 7 ? i + n : std::string_view::npos;
}

// The text a pattern must match in full: without one final line feed.
std::string_view anchored(std::string_view s) {
    return s.ends_with('\n') ? s.substr(0, s.size() - 1) : s;
}

int64_t row_number(std::string_view digits) {
    int64_t n = 0;
    for (char c : digits)
        n = n * 10 + (c - '0');
    return n;
}

// v >= 1 and below 10^20.
char* put_row(char* w, u128 v) {
    if (v <= UINT64_MAX)
        return std::to_chars(w, w + 20, static_cast<uint64_t>(v)).ptr;
    char buf[20];
    int k = 0;
    while (v > 0) {
        buf[k++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    }
    while (k > 0)
        *w++ = buf[--k];
    return w;
}

}  // namespace

// Builds a Translator's segments, merging adjacent texts.
class Compiler {
public:
    explicit Compiler(Translator& t) : t_(t) {}

    void text(std::string_view s) {
        if (s.empty())
            return;
        if (!t_.segs_.empty() && t_.segs_.back().kind == SegKind::Text) {
            t_.segs_.back().len += static_cast<uint32_t>(s.size());
        } else {
            t_.segs_.push_back(Seg{SegKind::Text, static_cast<uint32_t>(t_.text_.size()),
                                   static_cast<uint32_t>(s.size()), 0});
        }
        t_.text_.append(s);
        t_.max_len_ += s.size();
    }

    // A row or column: anchored ("$") it stays as written, else it moves.
    void row(std::string_view r) {
        if (r.starts_with('$'))
            return text(r);
        moving(SegKind::Row, row_number(r));
    }

    void col(std::string_view c) {
        if (c.starts_with('$'))
            return text(c);
        moving(SegKind::Col, column_number(c));
    }

    // The bounds a translation is checked against, and room for the
    // longest number a moved row (20 digits) or column (3 letters) becomes.
    void moving(SegKind kind, int64_t n) {
        t_.segs_.push_back(Seg{kind, 0, 0, n});
        if (kind == SegKind::Row) {
            t_.min_row_ = std::min(t_.min_row_, n);
            t_.max_len_ += 20;
        } else {
            t_.min_col_ = std::min(t_.min_col_, n);
            t_.max_col_ = std::max(t_.max_col_, n);
            t_.max_len_ += 3;
        }
    }

    // A cell reference "C R" after `prefix`; false (and nothing emitted)
    // when `s` is not one.
    bool cell(std::string_view prefix, std::string_view s) {
        std::string_view a = anchored(s);
        size_t c = col_end(a, 0);
        if (c == std::string_view::npos || row_end(a, c) != a.size())
            return false;
        text(prefix);
        col(a.substr(0, c));
        row(a.substr(c));
        return true;
    }

    void range(std::string_view operand);

private:
    Translator& t_;
};

void Compiler::range(std::string_view operand) {
    size_t bang = operand.rfind('!');
    std::string_view sheet = bang == std::string_view::npos ? "" : operand.substr(0, bang + 1);
    std::string_view ref = operand.substr(sheet.size());
    std::string_view a = anchored(ref);
    size_t colon = a.find(':');
    if (colon != std::string_view::npos) {
        std::string_view lo = a.substr(0, colon), hi = a.substr(colon + 1);
        if (row_end(lo, 0) == lo.size() && row_end(hi, 0) == hi.size()) {
            text(sheet);
            row(lo);
            text(":");
            return row(hi);
        }
        if (col_end(lo, 0) == lo.size() && col_end(hi, 0) == hi.size()) {
            text(sheet);
            col(lo);
            text(":");
            return col(hi);
        }
    }
    if (ref.find(':') != std::string_view::npos) {
        text(sheet);
        for (size_t start = 0;;) {
            size_t end = ref.find(':', start);
            std::string_view part = ref.substr(start, end - start);
            if (!cell("", part))
                text(part);
            if (end == std::string_view::npos)
                return;
            text(":");
            start = end + 1;
        }
    }
    if (!cell(sheet, ref))
        text(ref);  // a defined name: its sheet part is not kept
}

FormulaResult<Translator> Translator::compile(std::string_view formula, int64_t origin_row,
                                              int64_t origin_col) {
    if (formula.size() >= UINT32_MAX)
        return std::unexpected(FormulaError::need_python());
    auto tokens = tokenize(formula);
    if (!tokens)
        return std::unexpected(std::move(tokens).error());
    Translator t(origin_row, origin_col);
    Compiler c(t);
    if (tokens->empty())
        return t;
    if (tokens->front().type == TokenType::Literal) {
        c.text(tokens->front().value);
        return t;
    }
    c.text("=");
    for (const Token& tok : *tokens) {
        if (tok.type == TokenType::Operand && tok.subtype == TokenSubtype::Range)
            c.range(tok.value);
        else
            c.text(tok.value);
    }
    return t;
}

FormulaResult<void> Translator::check(std::optional<CellPos> dest) const {
    if (!dest)
        return {};
    i128 dr = static_cast<i128>(dest->row) - origin_row_;
    i128 dc = static_cast<i128>(dest->col) - origin_col_;
    bool rows_ok = min_row_ == INT64_MAX || min_row_ + dr >= 1;
    bool cols_ok = min_col_ == INT64_MAX || (min_col_ + dc >= 1 && max_col_ + dc <= MAX_COLUMN);
    if (rows_ok && cols_ok)
        return {};
    return std::unexpected(FormulaError::translator("Formula out of range"));
}

FormulaResult<std::string> Translator::translate(std::optional<CellPos> dest) const {
    std::string out;
    VLM_TRY(translate_into(dest, out));
    return out;
}

FormulaResult<void> Translator::translate_into(std::optional<CellPos> dest,
                                               std::string& out) const {
    VLM_TRY(check(dest));
    i128 dr = dest ? static_cast<i128>(dest->row) - origin_row_ : 0;
    i128 dc = dest ? static_cast<i128>(dest->col) - origin_col_ : 0;
    const char* pool = text_.data();
    size_t old = out.size();
    // After check() every moved row is at least 1 and every column in range.
    out.resize_and_overwrite(old + max_len_, [&](char* p, size_t) {
        char* w = p + old;
        for (const Seg& s : segs_) {
            switch (s.kind) {
            case SegKind::Text:
                std::memcpy(w, pool + s.off, s.len);
                w += s.len;
                break;
            case SegKind::Row:
                w = put_row(w, static_cast<u128>(s.n + dr));
                break;
            case SegKind::Col:
                w = put_column(w, static_cast<int64_t>(s.n + dc));
                break;
            }
        }
        return static_cast<size_t>(w - p);
    });
    return {};
}

}  // namespace vlm::formula
