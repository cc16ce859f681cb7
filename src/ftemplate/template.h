// Formula templates: formulas that differ only by where they stand
// (`=A2*B2` in C2, `=A3*B3` in C3) kept once, as literal stretches and
// references relative to the cell, and rendered at each cell on demand.
//
// A shape earns a template on its second occurrence: the first formula of a
// shape is kept as text by its cell, every later one of that shape as the
// index of the template, which renders it exactly as it was read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/fxhash.h"

namespace vlm::ftemplate {

class Template {
public:
    // The template of `text` as it stands at (row, column).
    [[nodiscard]] static Template build(std::string_view text, int64_t row, int64_t column);
    // Whether rendering at (row, column) gives exactly `text` (no string built).
    [[nodiscard]] bool matches(std::string_view text, int64_t row, int64_t column) const noexcept;
    // Appends the text at (row, column) to `out`; false (out unchanged) when a
    // reference would fall off the sheet.
    [[nodiscard]] bool render_into(int64_t row, int64_t column, std::string& out) const;
    // Bytes held, for the store's accounting.
    size_t bytes() const noexcept;

private:
    // A literal stretch (n is its offset in text_, len its length, never 0),
    // or a column or row reference: n is the number itself when anchored,
    // else relative to the cell the template was built at. A reference is a
    // column part followed by a row part. 16 bytes.
    struct Part {
        enum class Tag : uint8_t { Literal, Column, Row };
        Tag tag;
        bool anchored;
        uint32_t len;
        int64_t n;
    };
    // Writes the reference part at (row, column) at w ('$' if anchored, then
    // its letters or digits: at most 20 bytes) and returns one past it, or
    // nullptr when it falls off the sheet.
    static char* put_reference(const Part& part, int64_t row, int64_t column, char* w) noexcept;

    std::vector<Part> parts_;
    std::string text_;  // the literal stretches back to back
};

// The shape hash of a formula at (row, column): alike for formulas that
// differ only by relative references moved along with their cells.
[[nodiscard]] uint64_t shape_hash(std::string_view text, int64_t row, int64_t column) noexcept;

// The templates of one worksheet and, while it loads, the index of shapes.
class TemplateSet {
public:
    // The index of the template that renders `text` at (row, column), or
    // nothing: the cell keeps its text.
    [[nodiscard]] std::optional<uint32_t> template_for(std::string_view text, int64_t row, int64_t column);
    [[nodiscard]] bool render_into(uint32_t index, int64_t row, int64_t column, std::string& out) const {
        return templates_[index].render_into(row, column, out);
    }
    size_t size() const noexcept { return templates_.size(); }
    size_t bytes() const noexcept;
    // Loading is over: the index of shapes goes, the templates stay.
    void finish_loading();

private:
    static constexpr uint32_t SEEN_ONCE = 0xFFFFFFFF;
    std::vector<Template> templates_;
    std::unordered_map<uint64_t, uint32_t, FxWord> index_;
};

}  // namespace vlm::ftemplate
