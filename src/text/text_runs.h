// Text runs: reading string items (`si` in the shared-strings part, `is` in
// inline-string cells) into their plain text when that is exactly what the
// package would build, or handing the raw item back for the package to read;
// and the element-text helpers the sheet parser uses for `v`, `f` and `t`.
//
// Element text is the text of an element in the sense of the package's XML
// tree: the character data before its first child element (pieces split by
// comments or processing instructions are joined; text after a child is not
// part of it).
#pragma once

#include "host/helpers.h"
#include "xml/reader.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vlm::text {

// Decides which nested elements a reader of string items must refuse.
using Forbid = bool (*)(uint32_t ns, std::string_view local);

// True exactly for `si` of the main namespace: a string item never nests.
bool forbid_si(uint32_t ns, std::string_view local) noexcept;

// One parse call's context: the two name sets of the package and the
// verdicts of its run-properties check, cached per distinct `rPr` text.
class TextCtx {
public:
    // `helpers` must outlive the context.
    explicit TextCtx(const Helpers& helpers) noexcept : helpers_(helpers) {}

    // The package's verdict on one `rPr` element (true: acceptable), asked
    // once per distinct byte string.
    [[nodiscard]] Result<bool> rpr_verdict(std::string_view rpr, const xml::Reader& r);

    // Without the interpreter an item that needs the package (a verdict not
    // yet cached, a raw item to hand over) stops the parse with
    // NEEDS_INTERPRETER.
    void detach() noexcept { detached_ = true; }
    bool detached() const noexcept { return detached_; }

    const NameSet& text_dangerous() const noexcept { return helpers_.text_dangerous(); }
    const NameSet& rich_dangerous() const noexcept { return helpers_.rich_dangerous(); }

    // Scratch for the collected text; reused from item to item.
    std::string text;

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    const Helpers& helpers_;
    bool detached_ = false;
    std::unordered_map<std::string, bool, Hash, std::equal_to<>> verdicts_;
};

// The outcome of parse_text: plain text (in ctx.text), or the raw item with
// the namespace list in scope around it, for the package to read.
struct TextItem {
    bool snippet = false;
    std::string bytes;  // the item's exact source bytes (snippet only)
    Ref namespaces;     // list of (prefix, uri) tuples (snippet only)
};

// Called right after the Start/Empty of a string item; consumes it up to and
// including its End. The plain text, escapes decoded, is left in ctx.text.
[[nodiscard]] Result<TextItem> parse_text(xml::Reader& r, TextCtx& ctx, Forbid forbid);

// Skips the current element (after Start/Empty) and everything in it.
[[nodiscard]] Result<void> skip_checked(xml::Reader& r, Forbid forbid);

// Appends the element text of the current element to `out` and consumes the
// element; true when it had any character data before its first child.
[[nodiscard]] Result<bool> element_text_into(xml::Reader& r, Forbid forbid, std::string& out);

// The element text, or nothing when the element has none.
[[nodiscard]] Result<std::optional<std::string>> element_text_checked(xml::Reader& r, Forbid forbid);

// Decodes, in place from `from` on, the escapes spreadsheet files write in
// cell text for characters XML cannot carry or that would not survive it:
// "_x" four hex digits (either case) "_" is the UTF-16 code unit of that
// value, so "_x000D_" is a carriage return and "_x005F_" an underscore,
// which writers put before text shaped like an escape ("_x005F_x000D_" is
// the text "_x000D_"). Left to right, non-overlapping. A high and a low
// surrogate written one after the other are one character
// ("_xD83D__xDE00_" is U+1F600); a surrogate alone names no character and
// is kept as written, as is every shape that is not quite an escape
// ("_x41_", "_X000D_", "_x000D" at the end). The result is never longer.
void decode_escapes(std::string& s, size_t from = 0) noexcept;

}  // namespace vlm::text
