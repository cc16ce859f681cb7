// The byte-level path for the cells almost every sheet is made of:
//
//   <c r="B2" s="3" t="s"><v>17</v></c>      <c r="C2"><f>A2*2</f><v>34</v></c>
//
// read straight from the reader's buffer instead of as five or more events.
// It fills the same cell buffers the event path fills and then runs the same
// interpretation, so results cannot differ; anything it does not take whole
// (entity references, carriage returns, comments, CDATA, other children or
// namespaces, a cell cut by the end of the buffer) leaves the position where
// it was and the event path reads that cell instead. The scanning and its
// character rules are the reader's own (xml/plain.h).
#include "sheet/parser.h"

#include "utils/coord.h"
#include "utils/swar.h"
#include "xml/plain.h"

#include <charconv>
#include <cstring>

namespace vlm::sheet {

// The start tag programs write for a row: `r` and perhaps `spans` (which
// the row does not keep), double quoted, values that need no decoding, and
// the main namespace the default one. Any other attribute needs the general
// path, which also records it in the row dimensions.
bool SheetParser::quick_row_start() {
    if (reader_.default_ns() != xml::NS_MAIN)
        return false;
    xml::PlainScan scan(reader_);
    std::optional<int64_t> row;
    auto attr = [&](std::string_view name, std::string_view value) {
        // Compared by length first: this runs for every row.
        if (name.size() == 1 && name[0] == 'r') {
            // Up to eight digits, plain_int's value in one word: the value
            // lies in the padded buffer, so the load cannot overrun it.
            uint64_t w = swar::load(value.data());
            if (!value.empty() && value.size() <= 8 && swar::digit_lanes(w) >= value.size()) {
                row = static_cast<int64_t>(swar::digits_value(w, value.size()));
                return true;
            }
            return (row = plain_int(value)).has_value();
        }
        return name.size() == 5 && std::memcmp(name.data(), "spans", 5) == 0;  // twice is refused by the scan
    };
    if (scan.tag("row", attr) != xml::FastTag::Start || !row || !Position::valid_row(*row))
        return false;
    scan.commit_open("row");
    pos_.start_row(*row);
    return true;
}

// The shapes programs write for nearly every cell, taken in one pass that
// finishes the value as it goes:
//
//   <c r="B2"><v>12</v></c>   <c r="C2" s="4"><v>-0.25</v></c>   <c r="D2" t="s"><v>17</v></c>
//
// Attributes `r`, `s` and `t` only (in any order, double quoted, values that
// need no decoding), `t` absent, "n" or "s", the cell empty or holding one
// `<v>` of a plain decimal (at most 18 digits, no exponent, no sign but '-')
// or a shared-string index within the table. The results are those of
// fast_cell followed by the interpretation, which takes everything else.
// Nothing is written and the position does not move unless the cell is
// taken.
Result<bool> SheetParser::quick_cell(CellRec& c) {
    xml::PlainScan scan(reader_);
    const char* stop = scan.stop();
    const char* p = scan.at();
    // Cells follow each other without text in these files; anything else,
    // the end of the row included, goes to the general paths.
    if (stop - p < 5 || p[0] != '<' || p[1] != 'c' || p[2] != ' ')
        return false;
    const char* at = p;
    std::string_view st, r;
    bool has_s = false, has_r = false;
    int64_t row = 0, column = 0;
    char type = 'n';
    unsigned seen = 0;
    p += 2;
    for (;;) {
        if (*p == ' ') {
            do
                ++p;
            while (*p == ' ');
        } else if (*p == '>' || *p == '/') {
            break;
        } else {
            return false;  // no space before an attribute
        }
        // One-letter names only: `r`, `s`, `t` followed by `="`. The padding
        // after the data is zero, so reading on fails at the end.
        unsigned bit = p[0] == 'r' ? 1 : p[0] == 's' ? 2 : p[0] == 't' ? 4 : 0;
        if (!bit || (seen & bit) || p[1] != '=' || p[2] != '"')
            return false;
        seen |= bit;
        const char* v = p + 3;
        const char* q = v;
        if (bit == 1) {
            // The reference read in place, as fast_coordinate reads it; an
            // empty `r` places the cell by the counter.
            if (*q != '"') {
                Coord rc{};
                if (row_digits_.row != pos_.row())
                    row_digits_ = RowDigits::of(pos_.row());
                q = scan_a1<true>(v, stop, rc, &row_digits_);
                if (!q || *q != '"')
                    return false;  // not a plain reference: the general path decides
                row = rc.row;
                column = rc.column;
                has_r = true;
            }
            r = std::string_view(v, static_cast<size_t>(q - v));
            p = q + 1;
            continue;
        }
        if (bit == 4 && (v[0] == 's' || v[0] == 'n') && v[1] == '"') {
            // t="s", t="n": what the scan below would find, without the scan
            type = v[0];
            p = v + 2;
            continue;
        }
        while (xml::has_class(*q, xml::CC_PLAIN_VALUE))
            ++q;
        if (q >= stop || *q != '"')
            return false;
        std::string_view value(v, static_cast<size_t>(q - v));
        if (bit == 2) {
            st = value;
            has_s = true;
        } else if (value.size() == 1 && (value[0] == 's' || value[0] == 'n')) {
            type = value[0];
        } else {
            return false;
        }
        p = q + 1;
    }
    int64_t style = 0;
    if (has_s) {
        auto n = plain_int(st);
        if (!n)
            return false;
        style = *n;
    }
    if (!has_r) {
        std::optional<int64_t> next = pos_.next_column();
        if (!next)
            return false;
        row = pos_.row();
        column = *next;
    }
    Val::Kind kind = Val::Kind::None;
    int64_t iv = 0;
    double fv = 0;
    const char* last_tag = at;
    if (*p == '/') {
        if (p[1] != '>')
            return false;
        p += 2;
    } else {
        // "><v>" text "</v></c>"
        if (p + 4 > stop || std::memcmp(p, "><v>", 4) != 0)
            return false;
        p += 4;
        const char* t0 = p;
        bool neg = *p == '-';
        p += neg;
        uint64_t m = 0;
        size_t whole = 0, frac = 0;
        bool point = false;
        take_decimal_digits(p, m, whole, frac, point);
        // 18 digits cannot overflow; an exponent, a '+' or any other byte
        // stops here and the general paths decide.
        if (whole + frac > 18 || stop - p < 8 || std::memcmp(p, "</v></c>", 8) != 0)
            return false;
        if (p == t0) {
            // `<v></v>`: no value, as if there were no `v`
        } else if (whole + frac == 0) {
            return false;
        } else if (type == 's') {
            if (neg || point || m >= settings_.shared_count)
                return false;
            kind = Val::Kind::SharedString;
            iv = static_cast<int64_t>(m);
        } else if (!point) {
            kind = Val::Kind::Int;
            iv = neg ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
        } else if (std::optional<double> x = exact_decimal(m, -static_cast<int64_t>(frac))) {
            // Clinger's fast path, as for any decimal text.
            kind = Val::Kind::Float;
            fv = neg ? -*x : *x;
        } else {
            // More significant digits than a double holds exactly (a random
            // fraction written in full: "0.5488135039273248"): the correctly
            // rounded conversion, as Python's float() rounds.
            auto res = std::from_chars(t0, p, fv);
            if (res.ec != std::errc() || res.ptr != p)
                return false;
            kind = Val::Kind::Float;
        }
        last_tag = p + 4;
        p += 8;
    }
    scan.commit(last_tag, p);
    c.row = row;
    c.column = column;
    pos_.place(column);
    c.style = style;
    c.dtype = type == 's' ? DT_S : DT_N;
    c.value.kind = kind;
    c.value.i = iv;
    c.value.f = fv;
    if ((kind == Val::Kind::Int || kind == Val::Kind::Float) && settings_.date_formats.contains(style)) {
        // A date out of range is reported with the cell's `r` as written.
        bufs_.clear();
        bufs_.has_r = seen & 1;
        bufs_.r = r;
        VLM_TRY(date_value(c, c.value, c.dtype, false));
    }
    return true;
}

Result<bool> SheetParser::fast_cell(CellRec& c) {
    xml::PlainScan scan(reader_);
    scan.skip_blank();  // text between cells is skipped on either path
    bufs_.clear();
    auto cell_attr = [&](std::string_view name, std::string_view value) {
        if (auto fd = bufs_.cell_attr(name))
            CellBufs::view(*fd, value);
        return true;
    };
    xml::FastTag tag = scan.tag("c", cell_attr);
    if (tag == xml::FastTag::NotHandled)
        return false;
    bool seen_v = false, seen_f = false;
    auto no_attr = [](std::string_view, std::string_view) { return false; };
    auto f_attr = [&](std::string_view name, std::string_view value) {
        if (auto fd = bufs_.f_attr(name))
            CellBufs::view(*fd, value);
        return true;
    };
    // Only texts that need no decoding can be viewed where they stand.
    auto plain = [&](std::string_view name, std::string_view& out) {
        xml::PlainText t;
        if (!scan.text(name, t) || t.decode)
            return false;
        out = t.raw;
        return true;
    };
    while (tag == xml::FastTag::Start) {
        scan.skip_blank();
        if (scan.end_tag("c"))
            break;
        if (!seen_v && (tag = scan.tag("v", no_attr)) != xml::FastTag::NotHandled) {
            seen_v = bufs_.has_v = true;
            if (tag == xml::FastTag::Start && !plain("v", bufs_.v))
                return false;
        } else if (!seen_f && (tag = scan.tag("f", f_attr)) != xml::FastTag::NotHandled) {
            seen_f = bufs_.has_f = true;
            // A data table's formula needs every attribute as a dict.
            if (bufs_.ft == "dataTable" && !settings_.data_only)
                return false;
            if (tag == xml::FastTag::Start && !plain("f", bufs_.f))
                return false;
        } else {
            return false;
        }
        tag = xml::FastTag::Start;
    }
    scan.commit();
    VLM_TRY(style_of(c));
    VLM_TRY(interpret(c));
    return true;
}

}  // namespace vlm::sheet
