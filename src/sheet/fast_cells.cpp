// The byte-level path for the cells almost every sheet is made of:
//
//   <c r="B2" s="3" t="s"><v>17</v></c>      <c r="C2"><f>A2*2</f><v>34</v></c>
//
// read straight from the reader's buffer instead of as five or more events.
// It fills the same cell buffers the event path fills and then runs the same
// interpretation, so results cannot differ; anything it does not take whole
// (entity references, carriage returns, comments, CDATA, other children or
// namespaces, a cell cut by the end of the buffer) leaves the position where
// it was and the event path reads that cell instead.
#include "sheet/parser.h"

#include "xml/chars.h"

#include <array>

namespace vlm::sheet {

namespace {

bool blank(char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Bytes of cell text by what the byte path does with them: 1 plain (printable
// ASCII other than '&', '<', '>'), 0 anything else. The zero padding after
// the buffer's data stops a scan at the end.
constexpr std::array<uint8_t, 256> PLAIN = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0x20; c < 0x7F; ++c)
        t[static_cast<size_t>(c)] = c != '&' && c != '<' && c != '>';
    return t;
}();

// The text of `<v>` or `<f>` from `p` up to its exact closing tag `close`
// ("</v>" or "</f>"): plain characters only, the kind that decode to
// themselves (tab and line feed too). Non-ASCII text must be valid UTF-8
// without U+FFFE or U+FFFF. On success `next` is one past the closing tag.
// Cell texts are short, so one pass both finds the end and checks.
bool plain_text(const char* p, const char* stop, std::string_view close, std::string_view& out,
                const char*& next) {
    const char* q = p;
    while (PLAIN[static_cast<unsigned char>(*q)])
        ++q;
    const char* odd = q;
    bool high = false;
    for (; q < stop && *q != '<'; ++q) {
        auto u = static_cast<unsigned char>(*q);
        if (u >= 0x80)
            high = true;
        else if (!PLAIN[u] && u != '\t' && u != '\n')
            return false;
    }
    if (static_cast<size_t>(stop - q) < close.size() || std::string_view(q, close.size()) != close)
        return false;
    if (high && !xml::validate_chars(std::string_view(odd, static_cast<size_t>(q - odd))))
        return false;
    out = std::string_view(p, static_cast<size_t>(q - p));
    next = q + close.size();
    return true;
}

}  // namespace

Result<bool> SheetParser::fast_cell(CellRec& c) {
    const InputBuffer& b = reader_.buffer();
    const char* d = b.data();
    const char* stop = d + b.size();
    const char* p = d + b.pos;
    while (p < stop && blank(*p))
        ++p;  // text between cells is skipped on either path
    if (stop - p < 4 || p[0] != '<' || p[1] != 'c' || (p[2] != ' ' && p[2] != '/' && p[2] != '>'))
        return false;
    bufs_.clear();
    auto cell_attr = [&](std::string_view name, std::string_view value) {
        if (auto fd = bufs_.cell_attr(name))
            CellBufs::view(*fd, value);
        return true;
    };
    size_t end = 0;
    xml::FastTag tag = reader_.fast_attrs(static_cast<size_t>(p + 2 - d), end, cell_attr);
    if (tag == xml::FastTag::NotHandled)
        return false;
    const char* last_tag = p;
    const char* q = d + end;
    if (tag == xml::FastTag::Start) {
        bool seen_v = false, seen_f = false;
        for (;;) {
            while (q < stop && blank(*q))
                ++q;
            if (stop - q < 4 || q[0] != '<')
                return false;
            if (q[1] == '/') {
                if (q[2] != 'c' || q[3] != '>')
                    return false;
                last_tag = q;
                q += 4;
                break;
            }
            if (q[1] == 'v' && !seen_v) {
                seen_v = bufs_.has_v = true;
                if (q[2] == '>') {
                    if (!plain_text(q + 3, stop, "</v>", bufs_.v, q))
                        return false;
                } else if (q[2] == '/' && q[3] == '>') {
                    q += 4;
                } else {
                    return false;
                }
                continue;
            }
            if (q[1] == 'f' && !seen_f) {
                seen_f = bufs_.has_f = true;
                auto f_attr = [&](std::string_view name, std::string_view value) {
                    if (auto fd = bufs_.f_attr(name))
                        CellBufs::view(*fd, value);
                    return true;
                };
                xml::FastTag ft = reader_.fast_attrs(static_cast<size_t>(q + 2 - d), end, f_attr);
                // A data table's formula needs every attribute as a dict.
                if (ft == xml::FastTag::NotHandled || (bufs_.ft == "dataTable" && !settings_.data_only))
                    return false;
                q = d + end;
                if (ft == xml::FastTag::Start && !plain_text(q, stop, "</f>", bufs_.f, q))
                    return false;
                continue;
            }
            return false;
        }
    } else {
        q = d + end;
    }
    reader_.skip_checked_bytes(static_cast<size_t>(last_tag - d), static_cast<size_t>(q - d));
    VLM_TRY(style_of(c));
    VLM_TRY(interpret(c));
    return true;
}

}  // namespace vlm::sheet
