// The pull reader's state machine: document start, the main loop, markup
// (comments, processing instructions, CDATA), start and end tags,
// attributes and namespace scoping.
//
// Positions: while a token is being read, buf_.pos stays at its first byte
// and the scan keeps offsets relative to it, because a refill may compact
// the buffer and move everything down (pos is moved with it).
#include "xml/reader.h"

#include "utils/swar.h"

#include <algorithm>
#include <cstring>

namespace vlm::xml {

namespace {

// Text and markup longer than this are read in pieces (see char_data).
constexpr size_t LONG_RUN = InputBuffer::CHUNK;

bool iequals_ascii(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

bool is_high(char c) noexcept { return static_cast<unsigned char>(c) >= 0x80; }

size_t skip_spaces(std::string_view s, size_t i) noexcept {
    while (i < s.size() && is_space(s[i]))
        ++i;
    return i;
}

// The pseudo-attributes of the XML declaration (between "<?xml" and "?>"):
// version, then optionally encoding, then optionally standalone.
Result<void> check_decl(std::string_view s) {
    int last = 0;  // 1 version, 2 encoding, 3 standalone
    size_t i = 0;
    for (;;) {
        size_t ws = i;
        i = skip_spaces(s, i);
        if (i == s.size())
            break;
        if (i == ws)
            return fail(Msg::BadDecl);
        size_t n = i;
        while (n < s.size() && has_class(s[n], CC_LETTER))
            ++n;
        std::string_view name = s.substr(i, n - i);
        i = skip_spaces(s, n);
        if (name.empty() || i == s.size() || s[i] != '=')
            return fail(Msg::BadDecl);
        i = skip_spaces(s, i + 1);
        if (i == s.size() || (s[i] != '"' && s[i] != '\''))
            return fail(Msg::BadDecl);
        size_t close = s.find(s[i], i + 1);
        if (close == std::string_view::npos)
            return fail(Msg::BadDecl);
        std::string_view value = s.substr(i + 1, close - i - 1);
        i = close + 1;
        if (name == "version" && last == 0) {
            if (value != "1.0")
                return fail(Msg::XmlVersion);
            last = 1;
        } else if (name == "encoding" && last == 1) {
            if (!iequals_ascii(value, "utf-8"))
                return fail(Msg::Encoding);
            last = 2;
        } else if (name == "standalone" && (last == 1 || last == 2)) {
            if (value != "yes" && value != "no")
                return fail(Msg::BadStandalone);
            last = 3;
        } else {
            return fail(Msg::BadDecl);
        }
    }
    if (last == 0)
        return fail(Msg::BadDecl);
    return {};
}

// Where the local part of a qualified name starts (0 without a prefix).
Result<uint32_t> split_qname(std::string_view q) noexcept {
    size_t colon = q.find(':');
    if (colon == std::string_view::npos)
        return 0u;
    if (colon == 0 || colon + 1 == q.size() || q.find(':', colon + 1) != std::string_view::npos)
        return fail(Msg::BadQname);
    char c = q[colon + 1];
    if (!has_class(c, CC_LETTER) && c != '_')
        return fail(Msg::BadQname);
    return static_cast<uint32_t>(colon + 1);
}

// The checks of character data inside the root (characters, references,
// "]]>") over one run, or over consecutive pieces of it cut where no
// character, reference, line end or "]]>" is split: verdict() is what the
// whole run gets. `decode` tells whether text_str() has work to do on the
// piece scanned last.
struct TextCheck {
    CharFaults chars;
    Result<void> refs;  // the first bad reference
    bool cdata_end = false;
    bool decode = false;

    [[gnu::noinline]] void scan(std::string_view s) {
        chars.scan(s);
        bool amp = s.find('&') != std::string_view::npos;
        if (amp && refs)
            refs = validate_refs(s);
        cdata_end = cdata_end || s.find("]]>") != std::string_view::npos;
        decode = amp || s.find('\r') != std::string_view::npos;
    }
    bool faulty() const noexcept { return chars.any() || !refs || cdata_end; }
    Result<void> verdict() {
        VLM_TRY(chars.verdict());
        if (!refs)
            return std::unexpected(std::move(refs).error());
        if (cdata_end)
            return fail(Msg::CdataEndInText);
        return {};
    }
};

// What is wrong with a processing instruction's target, given the body from
// its start (`whole`: all of it) with the target's t bytes ending in it;
// Msg::Count_ when nothing is.
Msg pi_target_fault(std::string_view body, size_t t) noexcept {
    if (t == 0 || !has_class(body[0], CC_NAME_START))
        return !body.empty() && is_high(body[0]) ? Msg::NonAsciiName : Msg::BadPi;
    std::string_view target = body.substr(0, t);
    if (iequals_ascii(target, "xml"))
        return Msg::MisplacedXmlDecl;
    if (target.find(':') != std::string_view::npos)
        return Msg::ColonInPiTarget;
    if (t < body.size() && !is_space(body[t]))
        return is_high(body[t]) ? Msg::NonAsciiName : Msg::BadPi;
    return Msg::Count_;
}

[[gnu::noinline]] Result<void> check_value(std::string_view s, bool& decode) {
    if (s.find('<') != std::string_view::npos)
        return fail(Msg::LtInAttr);
    VLM_TRY(validate_chars(s));
    bool amp = s.find('&') != std::string_view::npos;
    if (amp)
        VLM_TRY(validate_refs(s));
    decode = amp || s.find_first_of("\t\n\r") != std::string_view::npos;
    return {};
}

}  // namespace

Reader::Reader(ByteSource& src) : src_(src) {
    for (std::string_view u : {std::string_view(), XML_URI, MAIN_URI, STRICT_MAIN_URI})
        intern_uri(u);
    names_.reserve(256);
    attrs_.reserve(16);
}

// --- input --------------------------------------------------------------

Result<bool> Reader::refill() {
    if (eof_)
        return false;
    bool got = VLM_TRY(src_.more(buf_));
    eof_ = !got;
    return got;
}

// At least n bytes at the read position, unless the input ends first.
Result<bool> Reader::ensure(size_t n) {
    while (buf_.size() - buf_.pos < n) {
        if (!VLM_TRY(refill()))
            return false;
    }
    return true;
}

// Offset (from pos) of the first `needle` at or after pos + rel, refilling
// as needed; after a refill only the last needle.size() - 1 old bytes are
// searched again.
Result<size_t> Reader::find_from(size_t rel, std::string_view needle, Msg at_eof) {
    for (;;) {
        std::string_view hay = buf_.view(buf_.pos + rel, buf_.size());
        size_t i = hay.find(needle);
        if (i != std::string_view::npos)
            return rel + i;
        size_t avail = buf_.size() - buf_.pos;
        rel = std::max(rel, avail >= needle.size() - 1 ? avail - (needle.size() - 1) : 0);
        if (!VLM_TRY(refill()))
            return fail(at_eof);
    }
}

Result<void> Reader::start_document() {
    started_ = true;
    VLM_TRY(ensure(4));
    const auto* d = reinterpret_cast<const unsigned char*>(buf_.data() + buf_.pos);
    size_t avail = buf_.size() - buf_.pos;
    if (avail >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
        buf_.pos += 3;
    } else if (avail >= 1) {
        bool bom16 = avail >= 2 && ((d[0] == 0xFF && d[1] == 0xFE) || (d[0] == 0xFE && d[1] == 0xFF));
        if (bom16 || d[0] == 0 || (avail >= 2 && d[1] == 0))
            return fail(Msg::Utf16);
    }
    VLM_TRY(ensure(6));
    std::string_view head = buf_.view(buf_.pos, std::min(buf_.size(), buf_.pos + 6));
    if (head.size() == 6 && head.starts_with("<?xml") && (is_space(head[5]) || head[5] == '?')) {
        size_t close = VLM_TRY(find_from(5, "?>", Msg::UnclosedDecl));
        VLM_TRY(check_decl(buf_.view(buf_.pos + 5, buf_.pos + close)));
        buf_.pos += close + 2;
    }
    return {};
}

// --- main loop ----------------------------------------------------------

Result<Event> Reader::next() {
    if (pending_end_) {
        pending_end_ = false;
        return pop();
    }
    if (!started_) [[unlikely]]
        VLM_TRY(start_document());
    for (;;) {
        if (buf_.pos == buf_.size()) {
            if (!VLM_TRY(refill()))
                return at_end();
            continue;
        }
        const char* d = buf_.data() + buf_.pos;
        if (d[0] != '<') {
            if (!stack_.empty())
                return char_data();
            VLM_TRY(skip_outside());
            continue;
        }
        if (buf_.size() - buf_.pos < 2 && !VLM_TRY(ensure(2)))
            return fail(Msg::UnclosedToken);
        d = buf_.data() + buf_.pos;
        if (d[1] == '/')
            return end_tag();
        if (d[1] == '?') {
            VLM_TRY(pi());
            continue;
        }
        if (d[1] == '!') {
            bool text = VLM_TRY(markup());
            if (text)
                return Event::Text;
            continue;
        }
        return start_tag();
    }
}

Result<Event> Reader::at_end() {
    if (!stack_.empty())
        return fail(Msg::UnclosedElement);
    if (root_seen_)
        return Event::Eof;
    return fail(Msg::NoElementFound);
}

// Outside the root only whitespace may appear; it yields no event.
Result<void> Reader::skip_outside() {
    for (;;) {
        const char* d = buf_.data();
        while (buf_.pos < buf_.size() && is_space(d[buf_.pos]))
            ++buf_.pos;
        if (buf_.pos < buf_.size())
            return d[buf_.pos] == '<' ? Result<void>() : fail(Msg::JunkOutsideRoot);
        if (!VLM_TRY(refill()))
            return {};
    }
}

Result<Event> Reader::char_data() {
    text_raw_ = false;
    text_decode_ = false;
    // Usually the run is plain ASCII and ends within the buffer: one scan.
    const char* s = buf_.data() + buf_.pos;
    const char* end = buf_.data() + buf_.size();
    const char* stop = swar::find_special(s, end, '<', '&', ']');
    if (stop < end && *stop == '<') {
        text_ = {buf_.pos, static_cast<size_t>(stop - s)};
        buf_.pos += text_.len;
        return Event::Text;
    }
    // A run longer than a chunk is handed out in pieces, so that the buffer
    // can drop what the caller has seen (most such runs are whitespace
    // nobody keeps; a caller that keeps text joins the pieces). A faulty
    // piece is never handed out: the run is then passed over to its end and
    // fails as a whole.
    size_t rel = static_cast<size_t>(stop - s);
    TextCheck check;
    for (;;) {
        const char* base = buf_.data() + buf_.pos;
        end = buf_.data() + buf_.size();
        const char* lt = swar::find1(base + rel, end, '<');
        rel = static_cast<size_t>(lt - base);
        if (lt < end)
            break;
        if (rel >= LONG_RUN) {
            if (size_t cut = text_cut(rel)) {
                check.scan(buf_.view(buf_.pos, buf_.pos + cut));
                bool faulty = check.faulty();
                if (!faulty) {
                    text_ = {buf_.pos, cut};
                    text_decode_ = check.decode;
                    buf_.pos += cut;
                    return Event::Text;
                }
                buf_.pos += cut;
                rel -= cut;
            }
        }
        if (!VLM_TRY(refill()))
            break;
    }
    text_ = {buf_.pos, rel};
    check.scan(view(text_));
    VLM_TRY(check.verdict());
    text_decode_ = check.decode;
    buf_.pos += rel;
    return Event::Text;
}

// Where the first n buffered bytes of a text run may be cut (0: nowhere
// yet): not inside a character, a reference, a CR LF pair or a "]]>". The
// two bytes after the cut are in the buffer.
size_t Reader::text_cut(size_t n) const noexcept {
    std::string_view d = buf_.view(buf_.pos, buf_.pos + n);
    size_t cut = n - 2;
    for (int tries = 0; cut > 0 && tries < 16; ++tries) {
        size_t amp = d.rfind('&', cut - 1);
        if (amp != std::string_view::npos && d.substr(amp, cut - amp).find(';') == std::string_view::npos) {
            cut = amp;
            continue;
        }
        char b = d[cut], prev = d[cut - 1];
        bool splits = is_continuation(b) || (prev == '\r' && b == '\n') ||
                      (b == '>' && prev == ']' && cut >= 2 && d[cut - 2] == ']') ||
                      (b == ']' && prev == ']' && d[cut + 1] == '>');
        if (!splits)
            return cut;
        --cut;
    }
    return 0;
}

// Reads the markup construct at pos up to its terminator `close`, searching
// from `rel`, and hands its content to piece(part, last) in consecutive
// parts. A long construct is passed over as it is read (the read position
// moves along, so that compaction can drop it), cut at character
// boundaries; piece() returns false to decline a part it cannot judge yet,
// which then comes back longer. Ends with the read position past `close`.
template <class F>
Result<void> Reader::pass_over(size_t rel, std::string_view close, Msg at_eof, F&& piece) {
    const size_t keep = close.size() - 1;  // a terminator may start in them
    size_t seen = rel;  // the terminator starts at or after this
    for (;;) {
        std::string_view hay = buf_.view(buf_.pos + rel, buf_.size());
        size_t i = hay.find(close, seen - rel);
        if (i != std::string_view::npos) {
            piece(hay.substr(0, i), true);
            buf_.pos += rel + i + close.size();
            return {};
        }
        seen = rel + (hay.size() > keep ? hay.size() - keep : 0);
        if (hay.size() >= LONG_RUN) {
            size_t cut = hay.size() - keep;
            while (cut > 0 && is_continuation(hay[cut]))
                --cut;
            if (cut > 0 && piece(hay.substr(0, cut), false)) {
                buf_.pos += rel + cut;
                seen -= rel + cut;
                rel = 0;
            }
        }
        if (!VLM_TRY(refill()))
            return fail(at_eof);
    }
}

// "<?": a processing instruction, checked and skipped. Its target is judged
// once the part handed over holds its end.
Result<void> Reader::pi() {
    Msg target = Msg::Count_;
    bool judged = false;
    CharFaults chars;
    VLM_TRY(pass_over(2, "?>", Msg::UnclosedPi, [&](std::string_view part, bool last) {
        if (!judged) {
            size_t t = 0;
            while (t < part.size() && has_class(part[t], CC_NAME))
                ++t;
            if (t == part.size() && !last)
                return false;
            target = pi_target_fault(part, t);
            judged = true;
        }
        chars.scan(part);
        return true;
    }));
    if (target != Msg::Count_)
        return fail(target);
    return chars.verdict();
}

// "<!": a comment (skipped), a CDATA section (true: a Text event is set up)
// or a DOCTYPE (declined).
Result<bool> Reader::markup() {
    VLM_TRY(ensure(4));
    std::string_view head = buf_.view(buf_.pos, std::min(buf_.size(), buf_.pos + 9));
    if (head.size() < 4)
        return fail(Msg::BadMarkupDecl);
    if (head.starts_with("<!--")) {
        VLM_TRY(comment());
        return false;
    }
    VLM_TRY(ensure(9));
    head = buf_.view(buf_.pos, std::min(buf_.size(), buf_.pos + 9));
    if (head == "<![CDATA[") {
        VLM_TRY(cdata());
        return true;
    }
    if (head == "<!DOCTYPE")
        return fail(Msg::Doctype);
    return fail(Msg::BadMarkupDecl);
}

Result<void> Reader::comment() {
    bool dashes = false, dash_last = false;
    CharFaults chars;
    VLM_TRY(pass_over(4, "-->", Msg::UnclosedComment, [&](std::string_view part, bool) {
        if (!part.empty()) {
            dashes = dashes || (dash_last && part[0] == '-') || part.find("--") != std::string_view::npos;
            dash_last = part.back() == '-';
        }
        chars.scan(part);
        return true;
    }));
    if (dashes || dash_last)
        return fail(Msg::DashDashInComment);
    return chars.verdict();
}

Result<void> Reader::cdata() {
    if (stack_.empty())
        return fail(Msg::CdataOutsideRoot);
    size_t close = VLM_TRY(find_from(9, "]]>", Msg::UnclosedCdata));
    text_ = {buf_.pos + 9, close - 9};
    std::string_view body = view(text_);
    VLM_TRY(validate_chars(body));
    text_raw_ = true;
    text_decode_ = body.find('\r') != std::string_view::npos;
    buf_.pos += close + 3;
    return {};
}

// --- tags ---------------------------------------------------------------

// Offset (from pos) of the '>' that ends the start tag at pos, skipping
// quoted stretches.
Result<size_t> Reader::find_tag_end() {
    size_t rel = 1;
    char quote = 0;
    for (;;) {
        const char* base = buf_.data() + buf_.pos;
        const char* end = buf_.data() + buf_.size();
        const char* p = base + rel;
        while (p < end) {
            if (quote) {
                p = swar::find1(p, end, quote);
                if (p == end)
                    break;
                quote = 0;
                ++p;
                continue;
            }
            p = swar::find3(p, end, '>', '"', '\'');
            if (p == end)
                break;
            if (*p == '>')
                return static_cast<size_t>(p - base);
            quote = *p++;
        }
        rel = static_cast<size_t>(end - base);
        if (!VLM_TRY(refill()))
            return fail(Msg::UnclosedTag);
    }
}

// End of the name at p (exclusive), within [p, end).
Result<size_t> Reader::scan_name(size_t p, size_t end) const {
    const char* d = buf_.data();
    if (p >= end)
        return fail(Msg::ExpectedName);
    if (is_high(d[p]))
        return fail(Msg::NonAsciiName);
    if (!has_class(d[p], CC_NAME_START))
        return fail(Msg::BadName);
    size_t q = p + 1;
    while (q < end && has_class(d[q], CC_NAME))
        ++q;
    if (q < end && is_high(d[q]))
        return fail(Msg::NonAsciiName);
    return q;
}

Result<Event> Reader::start_tag() {
    if (root_closed_)
        return fail(Msg::JunkAfterRoot);
    Event fast;
    if (fast_start_tag(fast))
        return fast;
    size_t rel = VLM_TRY(find_tag_end());  // may compact: pos is read after it
    size_t start = buf_.pos;
    size_t gt = start + rel;
    bool empty = buf_.data()[gt - 1] == '/';
    size_t content_end = empty ? gt - 1 : gt;
    size_t name_end = VLM_TRY(scan_name(start + 1, content_end));
    qname_ = {start + 1, name_end - start - 1};
    uint32_t local_at = VLM_TRY(split_qname(qname()));
    VLM_TRY(scan_attrs(name_end, content_end));
    uint32_t decls = 0;
    if (attr_decls_)
        decls = VLM_TRY(bind_namespaces());
    VLM_TRY(resolve_names(local_at));
    return open_element(local_at, decls, gt + 1, empty);
}

// The common shape (an unprefixed name, attributes as the fast scan takes
// them, all within the buffer) needs no checks beyond the scan itself: the
// general path would accept it with the same result. False: use that path.
bool Reader::fast_start_tag(Event& ev) {
    const char* d = buf_.data();
    size_t start = buf_.pos, p = start + 1;
    if (!has_class(d[p], CC_LETTER))
        return false;
    while (has_class(d[p], CC_NAME) && d[p] != ':')
        ++p;  // the zero padding stops this at the end of the data
    if (p >= buf_.size() || d[p] == ':')
        return false;
    attrs_.clear();
    size_t end = 0;
    FastTag kind = fast_attrs(p, end, [&](std::string_view name, std::string_view value) {
        Attr a;
        a.qname = a.local = {static_cast<size_t>(name.data() - d), name.size()};
        a.value = {static_cast<size_t>(value.data() - d), value.size()};
        attrs_.push_back(a);
        return true;
    });
    if (kind == FastTag::NotHandled)
        return false;
    qname_ = {start + 1, p - start - 1};
    ns_ = default_ns_;
    ev = open_element(0, 0, end, kind == FastTag::Empty);
    return true;
}

// Pushes the element of the start tag at pos (name in qname_, namespace in
// ns_) and sets up its event; `end` is one past the tag's '>'.
Event Reader::open_element(uint32_t local_at, uint32_t decls, size_t end, bool empty) {
    stack_.push_back({names_.size(), static_cast<uint32_t>(qname_.len), local_at, ns_, decls});
    names_.append(qname());
    local_ = {qname_.off + local_at, qname_.len - local_at};
    root_seen_ = true;
    buf_.tag_start = buf_.pos;
    buf_.tag_end = end;
    buf_.pos = end;
    if (empty) {
        pending_end_ = true;
        return Event::Empty;
    }
    return Event::Start;
}

// The attributes of a start tag between the element name and the end of
// the tag (its '>' or the '/' of "/>").
Result<void> Reader::scan_attrs(size_t p, size_t end) {
    attrs_.clear();
    attr_decls_ = 0;
    const char* d = buf_.data();
    for (;;) {
        size_t ws = p;
        while (p < end && is_space(d[p]))
            ++p;
        if (p == end)
            break;
        if (p == ws)
            return fail(Msg::MissingWhitespace);
        size_t name_end = VLM_TRY(scan_name(p, end));
        Attr a;
        a.qname = {p, name_end - p};
        for (p = name_end; p < end && is_space(d[p]);)
            ++p;
        if (p == end || d[p] != '=')
            return fail(Msg::ExpectedEq);
        for (++p; p < end && is_space(d[p]);)
            ++p;
        if (p == end || (d[p] != '"' && d[p] != '\''))
            return fail(Msg::ExpectedQuote);
        const char* close = swar::find1(d + p + 1, d + end, d[p]);
        if (close == d + end)
            return fail(Msg::UnterminatedAttr);
        a.value = {p + 1, static_cast<size_t>(close - d) - p - 1};
        const char* v = d + a.value.off;
        if (swar::find_special(v, close, '<', '&', '\0') != close)
            VLM_TRY(check_value(view(a.value), a.needs_decoding));
        std::string_view q = view(a.qname);
        uint32_t local_at = VLM_TRY(split_qname(q));
        a.local = {a.qname.off + local_at, a.qname.len - local_at};
        if (q == "xmlns" || (local_at == 6 && q.starts_with("xmlns:"))) {
            a.ns = NS_DECL;
            ++attr_decls_;
        }
        attrs_.push_back(a);
        p = static_cast<size_t>(close - d) + 1;
    }
    return check_attr_dups();
}

// Duplicates by qualified name (pairwise for the usual few attributes,
// sorted for many, so a tag of thousands of attributes stays n log n).
Result<void> Reader::check_attr_dups() const {
    size_t n = attrs_.size();
    if (n < 2)
        return {};
    if (n <= 16) {
        for (size_t i = 1; i < n; ++i) {
            std::string_view qi = view(attrs_[i].qname);
            for (size_t j = 0; j < i; ++j) {
                if (view(attrs_[j].qname) == qi)
                    return fail(Msg::DuplicateAttr);
            }
        }
        return {};
    }
    std::vector<std::string_view> names;
    names.reserve(n);
    for (const Attr& a : attrs_)
        names.push_back(view(a.qname));
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end())
        return fail(Msg::DuplicateAttr);
    return {};
}

Result<Event> Reader::end_tag() {
    // Usually the end tag is exactly "</" + the open element's name + ">".
    if (fast_end_tag())
        return Event::End;
    size_t start = buf_.pos;
    size_t rel = 2;
    for (;;) {
        const char* base = buf_.data() + buf_.pos;
        const char* end = buf_.data() + buf_.size();
        const char* gt = swar::find1(base + rel, end, '>');
        rel = static_cast<size_t>(gt - base);
        if (gt < end)
            break;
        if (!VLM_TRY(refill()))
            return fail(Msg::UnclosedEndTag);
    }
    start = buf_.pos;
    size_t gt = start + rel;
    size_t name_end = VLM_TRY(scan_name(start + 2, gt));
    for (size_t p = name_end; p < gt; ++p) {
        if (!is_space(buf_.data()[p]))
            return fail(Msg::BadEndTag);
    }
    std::string_view q = buf_.view(start + 2, name_end);
    VLM_TRY(split_qname(q));
    if (stack_.empty())
        return fail(Msg::MismatchedTag);
    const Element& top = stack_.back();
    if (top.name_len != q.size() || std::memcmp(names_.data() + top.name_off, q.data(), q.size()) != 0)
        return fail(Msg::MismatchedTag);
    return close_element(start, gt);
}

// The end tag [start, gt] matches the innermost open element.
Event Reader::close_element(size_t start, size_t gt) {
    const Element& top = stack_.back();
    ns_ = top.ns;
    qname_ = {start + 2, top.name_len};
    local_ = {qname_.off + top.local_at, qname_.len - top.local_at};
    buf_.tag_start = start;
    buf_.tag_end = gt + 1;
    buf_.pos = gt + 1;
    return pop();
}

Event Reader::pop() {
    const Element& e = stack_.back();
    for (uint32_t k = 0; k < e.decls; ++k)
        unbind();
    names_.resize(e.name_off);
    stack_.pop_back();
    if (stack_.empty())
        root_closed_ = true;
    return Event::End;
}

}  // namespace vlm::xml
