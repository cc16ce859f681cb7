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

#include "xml/swar.h"

namespace vlm::sheet {

namespace {

bool blank(char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// The text of `<v>` or `<f>` from `p` up to its exact closing tag `close`
// ("</v>" or "</f>"): plain characters only, the kind that decode to
// themselves. Non-ASCII text must be valid UTF-8 without U+FFFE or U+FFFF.
// On success `next` is one past the closing tag.
bool plain_text(const char* p, const char* stop, std::string_view close, std::string& out, const char*& next) {
    const char* lt = swar::find1(p, stop, '<');
    if (static_cast<size_t>(stop - lt) < close.size() || std::string_view(lt, close.size()) != close)
        return false;
    const char* odd = swar::find_special(p, lt, '&', '>', '\r');
    if (odd != lt) {
        bool high = false;
        for (const char* q = odd; q < lt; ++q) {
            auto u = static_cast<unsigned char>(*q);
            if (u >= 0x80)
                high = true;
            else if ((u < 0x20 && u != '\t' && u != '\n') || u == '&' || u == '>' || u == '\r')
                return false;
        }
        if (high && !xml::validate_chars(std::string_view(odd, static_cast<size_t>(lt - odd))))
            return false;
    }
    out.assign(p, static_cast<size_t>(lt - p));
    next = lt + close.size();
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
        if (name == "r") {
            bufs_.r.assign(value);
            bufs_.has_r = true;
        } else if (name == "s") {
            bufs_.s.assign(value);
            bufs_.has_s = true;
        } else if (name == "t") {
            bufs_.t.assign(value);
            bufs_.has_t = true;
        }
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
                    if (name == "t") {
                        bufs_.ft.assign(value);
                        bufs_.has_ft = true;
                    } else if (name == "ref") {
                        bufs_.fref.assign(value);
                        bufs_.has_fref = true;
                    } else if (name == "si") {
                        bufs_.fsi.assign(value);
                        bufs_.has_fsi = true;
                    }
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
