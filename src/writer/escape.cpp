// The escapers of both modes. Plain runs are found a word at a time and
// copied in one piece; only the bytes that need a reference go one by one.
#include "writer/escape.h"

#include "utils/swar.h"

#include <charconv>
#include <cstdint>

namespace vlm::writer {

namespace {

// The code point of the UTF-8 sequence at p (valid UTF-8), p moved past it.
uint32_t next_code_point(const char*& p) noexcept {
    auto b = static_cast<unsigned char>(*p++);
    if (b < 0x80)
        return b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    uint32_t cp = b & (0x3F >> extra);
    while (extra-- > 0)
        cp = cp << 6 | (static_cast<unsigned char>(*p++) & 0x3F);
    return cp;
}

void char_ref(std::string& out, uint32_t cp) {
    char num[16];
    char* end = std::to_chars(num, num + sizeof num, cp).ptr;
    out += "&#";
    out.append(num, end);
    out += ';';
}

// The reference of one special ASCII byte, or null when it stays as it is.
const char* attr_entity(char c, bool lxml) noexcept {
    switch (c) {
    case '\t':
        return lxml ? "&#9;" : "&#09;";
    case '\n':
        return "&#10;";
    case '\r':
        return "&#13;";
    case '"':
        return "&quot;";
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    default:
        return nullptr;
    }
}

// Character data escapes the same few bytes, but not quotes, tabs and
// line feeds.
const char* text_entity(char c) noexcept {
    return c == '"' || c == '\t' || c == '\n' ? nullptr : attr_entity(c, false);
}

// First byte in [p, end) that character data of standard mode escapes.
const char* find_text_special(const char* p, const char* end) noexcept {
    using namespace swar;
    return scan(
        p, end,
        [](uint64_t w) { return eq_lanes(w, '&') | eq_lanes(w, '<') | eq_lanes(w, '>') | eq_lanes(w, '\r'); },
        [](char c) { return c == '&' || c == '<' || c == '>' || c == '\r'; });
}

}  // namespace

void esc_attr(std::string& out, std::string_view text, bool lxml) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && static_cast<unsigned char>(*p) >= 0x20 && !attr_entity(*p, lxml) &&
               (!lxml || static_cast<unsigned char>(*p) < 0x80))
            ++p;
        out.append(run, p);
        if (p == end)
            break;
        if (const char* ent = attr_entity(*p, lxml)) {
            out += ent;
            ++p;
        } else if (static_cast<unsigned char>(*p) >= 0x80) {
            char_ref(out, next_code_point(p));
        } else {
            out += *p++;  // another control character: the caller checked
        }
    }
}

void esc_text(std::string& out, std::string_view text, bool lxml) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* at = lxml ? swar::find_special(p, end, '&', '<', '>') : find_text_special(p, end);
        out.append(p, at);
        p = at;
        if (p == end)
            break;
        if (const char* ent = text_entity(*p)) {
            out += ent;
            ++p;
        } else if (static_cast<unsigned char>(*p) >= 0x80) {
            char_ref(out, next_code_point(p));
        } else {
            out += *p++;  // tab and line feed stay
        }
    }
}

bool writable(std::string_view text) noexcept {
    const char* p = text.data();
    const char* end = p + text.size();
    while ((p = swar::find_special(p, end, '\0', '\0', '\0')) < end) {
        auto b = static_cast<unsigned char>(*p);
        if (b < 0x20) {
            if (b != '\t' && b != '\n' && b != '\r')
                return false;
            ++p;
            continue;
        }
        // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
        if (b == 0xEF && end - p >= 3 && static_cast<unsigned char>(p[1]) == 0xBF &&
            (static_cast<unsigned char>(p[2]) & 0xFE) == 0xBE)
            return false;
        ++p;
    }
    return true;
}

namespace {

bool hex_digit(char c) noexcept {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// Whether the underscore at text[i] begins "_xHHHH_".
bool escape_shaped(std::string_view text, size_t i) noexcept {
    return i + 7 <= text.size() && text[i + 1] == 'x' && hex_digit(text[i + 2]) &&
           hex_digit(text[i + 3]) && hex_digit(text[i + 4]) && hex_digit(text[i + 5]) && text[i + 6] == '_';
}

}  // namespace

std::string_view escape_underscores(std::string_view text, std::string& scratch) {
    size_t i = text.find('_');
    while (i != std::string_view::npos && !escape_shaped(text, i))
        i = text.find('_', i + 1);
    if (i == std::string_view::npos)
        return text;
    scratch.assign(text.substr(0, i));
    for (; i < text.size(); ++i) {
        if (text[i] == '_' && escape_shaped(text, i))
            scratch += "_x005F";
        scratch += text[i];
    }
    return scratch;
}

}  // namespace vlm::writer
