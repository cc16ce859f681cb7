// The event loops of string items, runs and element text.
#include "text/text_runs.h"

#include "xml/py_namespaces.h"

#include <cstring>

namespace vlm::text {

namespace {

using xml::Event;

constexpr const char NESTED_DISPATCH[] = "nested element handled by dispatcher";
constexpr const char UNEXPECTED_EOF[] = "unexpected eof";

bool is_open(Event ev) noexcept { return ev == Event::Start || ev == Event::Empty; }

bool has_plain_attr(const xml::Reader& r) noexcept {
    for (const xml::Attr& a : r.attrs()) {
        if (a.ns == xml::NS_NONE)
            return true;
    }
    return false;
}

// Appends the current Text event, decoded, to `out`.
void append_text(const xml::Reader& r, std::string& out) {
    if (!r.text_needs_decoding())
        out.append(r.text());
    else
        xml::decode_text_into(out, r.text(), r.text_raw());
}

// The next child element of the element whose content is being read (its
// depth given): true on a child's Start/Empty (checked against `forbid`),
// false once the element's End is read. Text in between is passed over.
Result<bool> next_child(xml::Reader& r, size_t depth, Forbid forbid) {
    for (;;) {
        Event ev = VLM_TRY(r.next());
        if (ev == Event::End && r.depth() < depth)
            return false;
        if (ev == Event::Eof)
            return malformed(UNEXPECTED_EOF);
        if (!is_open(ev))
            continue;
        if (forbid(r.ns(), r.local()))
            return unsupported(NESTED_DISPATCH);
        return true;
    }
}

// Appends the text of a `t` element, its escapes decoded: each `t` on its
// own, as an escape never spans two of them.
Result<void> text_of_t(xml::Reader& r, Forbid forbid, std::string& out) {
    size_t at = out.size();
    VLM_TRY(element_text_into(r, forbid, out));
    decode_escapes(out, at);
    return {};
}

// Reads one run (`r`), after its Start/Empty.
Result<void> parse_run(xml::Reader& r, TextCtx& ctx, Forbid forbid, bool& marked) {
    if (has_plain_attr(r))
        marked = true;
    size_t depth = r.depth();
    while (VLM_TRY(next_child(r, depth, forbid))) {
        std::string_view name = r.local();
        if (name == "rPr") {
            // The item's capture keeps everything from its start, so the
            // rPr bytes stay put relative to the capture start.
            size_t mark = r.capture_mark();
            VLM_TRY(skip_checked(r, forbid));
            if (!marked) {
                std::string_view rpr = r.captured_from(mark);
                if (!VLM_TRY(ctx.rpr_verdict(rpr, r)))
                    marked = true;
            }
        } else if (name == "t") {
            VLM_TRY(text_of_t(r, forbid, ctx.text));
        } else {
            if (ctx.rich_dangerous().contains(name))
                marked = true;
            VLM_TRY(skip_checked(r, forbid));
        }
    }
    return {};
}

}  // namespace

bool forbid_si(uint32_t ns, std::string_view local) noexcept {
    return ns == xml::NS_MAIN && local == "si";
}

Result<bool> TextCtx::rpr_verdict(std::string_view rpr, const xml::Reader& r) {
    if (auto it = verdicts_.find(rpr); it != verdicts_.end())
        return it->second;
    if (detached_)
        return unsupported(NEEDS_INTERPRETER);
    Ref ns = VLM_TRY(xml::namespace_list(r));
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(rpr.data(), static_cast<Py_ssize_t>(rpr.size())));
    if (!bytes)
        return std::unexpected(XmlError::fetch());
    PyObject* args[2] = {bytes.get(), ns.get()};
    Ref res = Ref::steal(PyObject_Vectorcall(helpers_.get(Helper::ValidateRpr), args, 2, nullptr));
    int truth = res ? PyObject_IsTrue(res.get()) : -1;
    if (truth < 0)
        return std::unexpected(XmlError::fetch());
    verdicts_.emplace(std::string(rpr), truth != 0);
    return truth != 0;
}

Result<void> skip_checked(xml::Reader& r, Forbid forbid) {
    size_t depth = r.depth();
    for (;;) {
        Event ev = VLM_TRY(r.next());
        if (ev == Event::End && r.depth() < depth)
            return {};
        if (ev == Event::Eof)
            return malformed(UNEXPECTED_EOF);
        if (is_open(ev) && forbid(r.ns(), r.local()))
            return unsupported(NESTED_DISPATCH);
    }
}

Result<bool> element_text_into(xml::Reader& r, Forbid forbid, std::string& out) {
    size_t depth = r.depth();
    bool before_child = true, any = false;
    for (;;) {
        Event ev = VLM_TRY(r.next());
        switch (ev) {
        case Event::Text:
            if (before_child) {
                append_text(r, out);
                any = true;
            }
            break;
        case Event::Start:
        case Event::Empty:
            if (forbid(r.ns(), r.local()))
                return unsupported(NESTED_DISPATCH);
            before_child = false;
            break;
        case Event::End:
            if (r.depth() < depth)
                return any;
            break;
        case Event::Eof:
            return malformed(UNEXPECTED_EOF);
        }
    }
}

Result<std::optional<std::string>> element_text_checked(xml::Reader& r, Forbid forbid) {
    std::string out;
    if (!VLM_TRY(element_text_into(r, forbid, out)))
        return std::optional<std::string>();
    return std::optional<std::string>(std::move(out));
}

Result<TextItem> parse_text(xml::Reader& r, TextCtx& ctx, Forbid forbid) {
    r.begin_capture();
    bool marked = has_plain_attr(r);
    ctx.text.clear();
    size_t depth = r.depth();
    while (VLM_TRY(next_child(r, depth, forbid))) {
        std::string_view name = r.local();
        if (name == "t") {
            VLM_TRY(text_of_t(r, forbid, ctx.text));
        } else if (name == "r") {
            VLM_TRY(parse_run(r, ctx, forbid, marked));
        } else {
            if (name != "rPh" && name != "phoneticPr" && ctx.text_dangerous().contains(name))
                marked = true;
            VLM_TRY(skip_checked(r, forbid));
        }
    }
    TextItem item;
    if (!marked) {
        // Plain text after all: the capture is dropped without a copy.
        r.drop_capture();
        return item;
    }
    if (ctx.detached())
        return unsupported(NEEDS_INTERPRETER);
    item.snippet = true;
    item.bytes = VLM_TRY(r.end_capture());
    item.namespaces = VLM_TRY(xml::namespace_list(r));
    return item;
}

namespace {

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// The code unit of the escape at s[i] ("_x" four hex digits "_"), or -1.
int32_t escape_at(std::string_view s, size_t i) noexcept {
    if (s.size() - i < 7 || s[i + 1] != 'x' || s[i + 6] != '_')
        return -1;
    int32_t unit = 0;
    for (size_t k = i + 2; k < i + 6; ++k) {
        int d = hex_digit(s[k]);
        if (d < 0)
            return -1;
        unit = unit << 4 | d;
    }
    return unit;
}

bool is_high(int32_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(int32_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

// Writes `cp` (not a surrogate) as UTF-8 at `out`; the bytes written.
size_t put_utf8(char* out, uint32_t cp) noexcept {
    auto byte = [](uint32_t b) { return static_cast<char>(b); };
    if (cp < 0x80) {
        out[0] = byte(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = byte(0xC0 | cp >> 6);
        out[1] = byte(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = byte(0xE0 | cp >> 12);
        out[1] = byte(0x80 | (cp >> 6 & 0x3F));
        out[2] = byte(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = byte(0xF0 | cp >> 18);
    out[1] = byte(0x80 | (cp >> 12 & 0x3F));
    out[2] = byte(0x80 | (cp >> 6 & 0x3F));
    out[3] = byte(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

void decode_escapes(std::string& s, size_t from) noexcept {
    size_t rd = s.find("_x", from);
    if (rd == std::string::npos)
        return;
    // Reading runs ahead of writing: an escape of 7 bytes becomes at most 3
    // (a pair of 14 at most 4), so the text still to be read is never
    // overwritten.
    std::string_view in = s;
    char* p = s.data();
    size_t w = rd;
    while (rd < in.size()) {
        const void* hit = std::memchr(p + rd, '_', in.size() - rd);
        size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - p) : in.size();
        std::memmove(p + w, p + rd, at - rd);
        w += at - rd;
        rd = at;
        if (rd == in.size())
            break;
        int32_t unit = escape_at(in, rd);
        size_t len = 7;
        if (unit < 0 || is_low(unit)) {
            len = unit < 0 ? 1 : 7;  // not an escape, or a lone low surrogate: as written
        } else if (is_high(unit)) {
            int32_t low = escape_at(in, rd + 7);
            if (low >= 0 && is_low(low)) {
                w += put_utf8(p + w, 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                                         (static_cast<uint32_t>(low) - 0xDC00));
                rd += 14;
                continue;
            }
        } else {
            w += put_utf8(p + w, static_cast<uint32_t>(unit));
            rd += 7;
            continue;
        }
        std::memmove(p + w, p + rd, len);
        w += len;
        rd += len;
    }
    s.resize(w);
}

}  // namespace vlm::text
