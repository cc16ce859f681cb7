// Character-level rules of the XML reader: the byte-class table, the message
// table of every reader error, the character and reference checks applied
// while reading, and the decoders that turn checked spans into text.
//
// A span that passed validate_chars (and, where it holds '&',
// validate_refs) is "checked": decoding it never fails.
#pragma once

#include "host/error.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vlm::xml {

// Every message the reader raises, in the order of the table below.
enum class Msg : uint8_t {
    Utf16, XmlVersion, Encoding, Doctype, NonAsciiName,
    UnclosedDecl, BadDecl, BadStandalone, NoElementFound, UnclosedElement,
    JunkOutsideRoot, JunkAfterRoot, CdataEndInText, UnclosedToken, UnclosedPi,
    BadPi, MisplacedXmlDecl, ColonInPiTarget, BadMarkupDecl, UnclosedComment,
    DashDashInComment, CdataOutsideRoot, UnclosedCdata, UnclosedTag, ExpectedName,
    BadName, BadQname, MissingWhitespace, ExpectedEq, ExpectedQuote,
    UnterminatedAttr, LtInAttr, DuplicateAttr, XmlPrefix, XmlnsPrefix,
    ReservedNamespace, EmptyPrefixedNs, UnboundPrefix, UnclosedEndTag, BadEndTag,
    MismatchedTag, InvalidChar, InvalidUtf8, BadReference, UndefinedEntity,
    BadCharRef, InvalidCharRef, BraceInNamespace,
    Count_
};

struct MsgInfo {
    XmlError::Kind kind;
    const char* text;
};

extern const std::array<MsgInfo, static_cast<size_t>(Msg::Count_)> MESSAGES;

[[nodiscard]] XmlError error(Msg m) noexcept;
[[nodiscard]] inline std::unexpected<XmlError> fail(Msg m) noexcept { return std::unexpected(error(m)); }

// Byte classes, one table for the whole reader.
enum : uint8_t {
    CC_NAME_START = 1,  // ASCII letter, '_' or ':'
    CC_NAME = 2,        // ASCII letter, digit, '-', '.', ':' or '_'
    CC_SPACE = 4,       // space, tab, line feed, carriage return
    CC_LETTER = 8,      // ASCII letter
    CC_PLAIN_VALUE = 16,  // stands for itself in a quoted value: 0x20-0x7F but '"', '&', '<'
    CC_PLAIN_TEXT = 32,   // stands for itself in text: tab, line feed, 0x20-0x7E but '&', '<', '>'
};

extern const std::array<uint8_t, 256> CHAR_CLASS;

inline bool has_class(char c, uint8_t cls) noexcept {
    return (CHAR_CLASS[static_cast<unsigned char>(c)] & cls) != 0;
}
inline bool is_space(char c) noexcept { return has_class(c, CC_SPACE); }

// Control characters other than tab/LF/CR, invalid UTF-8, U+FFFE, U+FFFF.
[[nodiscard]] Result<void> validate_chars(std::string_view s) noexcept;

// The same check over consecutive pieces of one span, each cut at a
// character boundary: verdict() is what validate_chars gives the whole span.
struct CharFaults {
    bool control = false, bad_utf8 = false, nonchar = false;
    void scan(std::string_view s) noexcept;
    bool any() const noexcept { return control || bad_utf8 || nonchar; }
    [[nodiscard]] Result<void> verdict() const noexcept;
};

// True for a byte that continues a multi-byte UTF-8 character: no span is
// cut in front of one.
inline bool is_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
// Every '&' starts a reference that ends at the next ';' and resolves.
[[nodiscard]] Result<void> validate_refs(std::string_view s) noexcept;
// `name` is the text between '&' and ';'; the result is a code point.
[[nodiscard]] Result<char32_t> resolve_ref(std::string_view name) noexcept;

void append_utf8(std::string& out, char32_t cp);
// Character data (raw: a CDATA section) of a checked span, decoded: line
// ends normalised, references replaced (not for CDATA).
void decode_text_into(std::string& out, std::string_view s, bool raw);
// Attribute-value normalisation of a checked value.
void decode_attr_into(std::string& out, std::string_view s);

}  // namespace vlm::xml
