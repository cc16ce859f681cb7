// Character checks, references, decoding and the reader's message table.
#include "xml/chars.h"

#include "utils/swar.h"

namespace vlm::xml {

using K = XmlError::Kind;

const std::array<MsgInfo, static_cast<size_t>(Msg::Count_)> MESSAGES = {{
    {K::Unsupported, "utf-16"},
    {K::Unsupported, "xml version"},
    {K::Unsupported, "encoding"},
    {K::Unsupported, "doctype"},
    {K::Unsupported, "non-ascii name"},
    {K::Malformed, "unclosed decl"},
    {K::Malformed, "bad decl"},
    {K::Malformed, "bad standalone"},
    {K::Malformed, "no element found"},
    {K::Malformed, "unclosed element"},
    {K::Malformed, "junk outside root"},
    {K::Malformed, "junk after document element"},
    {K::Malformed, "]]> in text"},
    {K::Malformed, "unclosed token"},
    {K::Malformed, "unclosed pi"},
    {K::Malformed, "bad pi"},
    {K::Malformed, "misplaced xml declaration"},
    {K::Malformed, "colon in pi target"},
    {K::Malformed, "bad markup declaration"},
    {K::Malformed, "unclosed comment"},
    {K::Malformed, "-- in comment"},
    {K::Malformed, "cdata outside root"},
    {K::Malformed, "unclosed cdata"},
    {K::Malformed, "unclosed tag"},
    {K::Malformed, "expected name"},
    {K::Malformed, "bad name"},
    {K::Malformed, "bad qname"},
    {K::Malformed, "missing whitespace between attributes"},
    {K::Malformed, "expected ="},
    {K::Malformed, "expected quote"},
    {K::Malformed, "unterminated attribute"},
    {K::Malformed, "< in attribute"},
    {K::Malformed, "duplicate attribute"},
    {K::Malformed, "xml prefix"},
    {K::Malformed, "xmlns prefix"},
    {K::Malformed, "reserved namespace"},
    {K::Malformed, "empty prefixed namespace"},
    {K::Malformed, "unbound prefix"},
    {K::Malformed, "unclosed end tag"},
    {K::Malformed, "bad end tag"},
    {K::Malformed, "mismatched tag"},
    {K::Malformed, "invalid character"},
    {K::Malformed, "invalid utf-8"},
    {K::Malformed, "bad reference"},
    {K::Malformed, "undefined entity"},
    {K::Malformed, "bad char ref"},
    {K::Malformed, "invalid char ref"},
    {K::Malformed, "} in namespace uri"},
}};

XmlError error(Msg m) noexcept {
    const MsgInfo& info = MESSAGES[static_cast<size_t>(m)];
    return info.kind == K::Malformed ? XmlError::malformed(info.text)
                                     : XmlError::unsupported(info.text);
}

namespace {

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0x20; c < 0x80; ++c)
        t[c] = c == '"' || c == '&' || c == '<' ? 0 : CC_PLAIN_VALUE;
    for (int c = 'a'; c <= 'z'; ++c)
        t[c] = t[c - 'a' + 'A'] = CC_NAME_START | CC_NAME | CC_LETTER | CC_PLAIN_VALUE;
    for (int c = '0'; c <= '9'; ++c)
        t[c] = CC_NAME | CC_PLAIN_VALUE;
    t['_'] = t[':'] = CC_NAME_START | CC_NAME | CC_PLAIN_VALUE;
    t['-'] = t['.'] = CC_NAME | CC_PLAIN_VALUE;
    t[' '] = CC_SPACE | CC_PLAIN_VALUE;
    t['\t'] = t['\n'] = t['\r'] = CC_SPACE;
    for (int c = 0x20; c < 0x7F; ++c) {
        if (c != '&' && c != '<' && c != '>')
            t[c] |= CC_PLAIN_TEXT;
    }
    t['\t'] |= CC_PLAIN_TEXT;
    t['\n'] |= CC_PLAIN_TEXT;
    return t;
}

// Length of the valid UTF-8 sequence at s[i] (a byte >= 0x80), or 0.
size_t utf8_len(std::string_view s, size_t i) noexcept {
    auto at = [&](size_t k) -> unsigned { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0; };
    auto cont = [](unsigned b, unsigned lo = 0x80, unsigned hi = 0xBF) { return b >= lo && b <= hi; };
    unsigned b0 = at(0);
    if (b0 >= 0xC2 && b0 <= 0xDF)
        return cont(at(1)) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
        return cont(at(1), lo, hi) && cont(at(2)) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return cont(at(1), lo, hi) && cont(at(2)) && cont(at(3)) ? 4 : 0;
    }
    return 0;
}

bool allowed_char(uint64_t v) noexcept {
    return v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) ||
           (v >= 0xE000 && v <= 0xFFFD) || (v >= 0x10000 && v <= 0x10FFFF);
}

// Leading zeros do not count towards the ten digits: "&#0000000000065;" is
// a well-formed 'A', and only the value can overflow.
Result<char32_t> char_ref(std::string_view digits, unsigned base) noexcept {
    if (digits.empty())
        return fail(Msg::BadCharRef);
    size_t zeros = digits.find_first_not_of('0');
    if (zeros != std::string_view::npos && digits.size() - zeros > 10)
        return fail(Msg::BadCharRef);
    uint64_t v = 0;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return fail(Msg::BadCharRef);
        v = v * base + d;
    }
    if (v > 0xFFFFFFFFull)
        return fail(Msg::BadCharRef);
    if (!allowed_char(v))
        return fail(Msg::InvalidCharRef);
    return static_cast<char32_t>(v);
}

// The reference starting at s[amp] ('&'): appends its character, returns
// the index after ';'. Only for checked spans.
size_t append_ref(std::string& out, std::string_view s, size_t amp) {
    size_t semi = s.find(';', amp);
    Result<char32_t> cp = resolve_ref(s.substr(amp + 1, semi - amp - 1));
    append_utf8(out, cp ? *cp : U'\uFFFD');
    return semi + 1;
}

}  // namespace

const std::array<uint8_t, 256> CHAR_CLASS = make_classes();

Result<void> validate_chars(std::string_view s) noexcept {
    CharFaults f;
    f.scan(s);
    return f.verdict();
}

// A control character decides the verdict at once; invalid UTF-8 outranks
// U+FFFE and U+FFFF, so once it is seen sequences are no longer decoded.
void CharFaults::scan(std::string_view s) noexcept {
    const char* base = s.data();
    const char* end = base + s.size();
    const char* p = base;
    if (control)
        return;
    while ((p = swar::find_special(p, end, '\0', '\0', '\0')) < end) {
        auto u = static_cast<unsigned char>(*p);
        if (u < 0x80) {
            if (u != '\t' && u != '\n' && u != '\r') {
                control = true;
                return;
            }
            ++p;
            continue;
        }
        size_t n = bad_utf8 ? 0 : utf8_len(s, static_cast<size_t>(p - base));
        if (n == 0) {
            bad_utf8 = true;
            ++p;
            continue;
        }
        // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
        if (n == 3 && u == 0xEF && static_cast<unsigned char>(p[1]) == 0xBF &&
            static_cast<unsigned char>(p[2]) >= 0xBE)
            nonchar = true;
        p += n;
    }
}

Result<void> CharFaults::verdict() const noexcept {
    if (control)
        return fail(Msg::InvalidChar);
    if (bad_utf8)
        return fail(Msg::InvalidUtf8);
    if (nonchar)
        return fail(Msg::InvalidChar);
    return {};
}

Result<void> validate_refs(std::string_view s) noexcept {
    size_t i = 0;
    while ((i = s.find('&', i)) != std::string_view::npos) {
        size_t semi = s.find(';', i + 1);
        if (semi == std::string_view::npos)
            return fail(Msg::BadReference);
        VLM_TRY(resolve_ref(s.substr(i + 1, semi - i - 1)));
        i = semi + 1;
    }
    return {};
}

Result<char32_t> resolve_ref(std::string_view name) noexcept {
    if (name == "lt")
        return U'<';
    if (name == "gt")
        return U'>';
    if (name == "amp")
        return U'&';
    if (name == "apos")
        return U'\'';
    if (name == "quot")
        return U'"';
    if (name.starts_with("#x"))
        return char_ref(name.substr(2), 16);
    if (name.starts_with("#"))
        return char_ref(name.substr(1), 10);
    return fail(Msg::UndefinedEntity);
}

void append_utf8(std::string& out, char32_t cp) {
    auto c = static_cast<uint32_t>(cp);
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void decode_text_into(std::string& out, std::string_view s, bool raw) {
    out.reserve(out.size() + s.size());
    size_t i = 0;
    while (i < s.size()) {
        size_t j = raw ? s.find('\r', i) : s.find_first_of("&\r", i);
        if (j == std::string_view::npos)
            j = s.size();
        out.append(s.data() + i, j - i);
        if (j == s.size())
            break;
        if (s[j] == '&') {
            i = append_ref(out, s, j);
        } else {
            out.push_back('\n');  // CR LF and a lone CR both end one line
            i = j + 1 < s.size() && s[j + 1] == '\n' ? j + 2 : j + 1;
        }
    }
}

void decode_attr_into(std::string& out, std::string_view s) {
    out.reserve(out.size() + s.size());
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '&') {
            i = append_ref(out, s, i);  // a referenced character is kept as it is
        } else if (c == '\t' || c == '\n') {
            out.push_back(' ');
            ++i;
        } else if (c == '\r') {
            out.push_back(' ');
            i = i + 1 < s.size() && s[i + 1] == '\n' ? i + 2 : i + 1;
        } else {
            out.push_back(c);
            ++i;
        }
    }
}

}  // namespace vlm::xml
