// Reader: a strict, namespace-aware XML 1.0 pull parser over a ByteSource.
//
// Each next() returns one event; the caller looks at the element, its
// attributes or the text right after the event, before the next call. All
// spans point into the input buffer and stay valid until the next call to
// next(); nothing is copied until a string is asked for. The reader accepts
// a strict subset of XML 1.0 (UTF-8 only, no DOCTYPE, ASCII names) and
// reports everything else as Malformed or Unsupported (messages in chars.h).
//
// The reader depends on Python only through its source and the error type,
// so it can be driven from plain C++ with a MemorySource.
#pragma once

#include "host/source.h"
#include "utils/check.h"
#include "xml/chars.h"

#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlm::xml {

enum class Event : uint8_t { Start, Empty, End, Text, Eof };

// Fixed namespace ids. NS_MAIN is the SpreadsheetML main namespace in both
// of its spellings: element names and the default namespace written with
// the Strict URI report NS_MAIN too, so that every comparison with the main
// namespace reads Strict parts as their transitional twins. Whatever goes
// back to the host keeps the URI as written: namespace lists, attribute
// keys and captured bytes.
inline constexpr uint32_t NS_NONE = 0;
inline constexpr uint32_t NS_XML = 1;
inline constexpr uint32_t NS_MAIN = 2;
inline constexpr std::string_view XML_URI = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view XMLNS_URI = "http://www.w3.org/2000/xmlns/";
inline constexpr std::string_view MAIN_URI =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view STRICT_MAIN_URI = "http://purl.oclc.org/ooxml/spreadsheetml/main";

// A byte range of the input buffer (offsets, since the buffer moves).
struct Span {
    size_t off = 0;
    size_t len = 0;
};

struct Attr {
    // 0 for unprefixed attributes. The id of the URI as written: an
    // attribute's key renders it, and two attributes that differ only by the
    // spelling of the main namespace are two attributes.
    uint32_t ns = 0;
    Span qname;
    Span local;
    Span value;            // between the quotes, undecoded
    bool needs_decoding = false;  // holds '&', tab, line feed or carriage return
};

struct ReaderProbe;  // defined by the test-only extension alone

// Outcome of the fast attribute scan.
enum class FastTag : uint8_t { Start, Empty, NotHandled };

class Reader {
public:
    explicit Reader(ByteSource& src);

    [[nodiscard]] Result<Event> next();

    // After Start/Empty/End.
    uint32_t ns() const noexcept { return ns_; }
    std::string_view local() const noexcept { return view(local_); }
    // After Start/Empty.
    std::string_view qname() const noexcept { return view(qname_); }
    const std::vector<Attr>& attrs() const noexcept { return attrs_; }
    // Open elements; after Start/Empty the new element counts, after End
    // the closed one no longer does.
    size_t depth() const noexcept { return stack_.size(); }
    size_t tag_start() const noexcept { return buf_.tag_start; }
    size_t tag_end() const noexcept { return buf_.tag_end; }

    // After Text.
    std::string_view text() const noexcept { return view(text_); }
    bool text_raw() const noexcept { return text_raw_; }
    bool text_needs_decoding() const noexcept { return text_decode_; }
    // The decoded text of the current Text event.
    std::string text_str() const;
    // An attribute value decoded and normalised (only needed when the
    // attribute's needs_decoding flag is set; otherwise the raw value is it).
    static std::string decode_attr(std::string_view value);
    std::string attr_value(const Attr& a) const;

    std::string_view view(Span s) const noexcept { return buf_.view(s.off, s.off + s.len); }
    // "{uri}local" for an attribute in a namespace, else its local name.
    std::string attr_key(const Attr& a) const;

    // (prefix, uri) for every declaration in force, outermost first; a
    // prefix declared again further in keeps its outer position and takes
    // the inner URI. The default namespace has the empty prefix.
    std::vector<std::pair<std::string_view, std::string_view>> in_scope_namespaces() const;
    // (found, id): "xml" is always id 1; an undeclared empty prefix is id 0;
    // the Strict main namespace is NS_MAIN.
    std::pair<bool, uint32_t> lookup_prefix(std::string_view prefix) const;
    uint32_t intern_uri(std::string_view uri);
    // The URI of an id (for NS_MAIN the transitional spelling).
    std::string_view uri(uint32_t id) const noexcept { return uris_[id]; }

    // Element capture: from the '<' of the current start tag to the end of
    // the last tag read; the buffer keeps those bytes however long they get.
    void begin_capture() noexcept;
    [[nodiscard]] Result<std::string> end_capture();
    // Reads through the element whose start tag was read last (open at
    // `depth`), its end tag included: false when the input ends first.
    [[nodiscard]] Result<bool> read_through(size_t depth);

    // The fast attribute scan for simple start tags, over the buffered bytes
    // from `from` (just after the element name). cb(name, value) is called
    // per attribute and returns false to give up. On success `end` is one
    // past the tag's '>'.
    // With `xml_attrs`, names with the `xml` prefix (always bound, never
    // declared) are taken too, whole ("xml:space").
    template <class F>
    FastTag fast_attrs(size_t from, size_t& end, F&& cb, bool xml_attrs = false) const;

    // True between events, when the next call reads new input rather than
    // returning the implied end of an empty-element tag.
    bool at_boundary() const noexcept { return !pending_end_; }
    // Between events, whether the bytes at the read position start an end
    // tag ("</"); the padding makes both bytes readable.
    bool at_end_tag() const noexcept {
        const char* d = buf_.data() + buf_.pos;
        return !pending_end_ && d[0] == '<' && d[1] == '/';
    }
    uint32_t default_ns() const noexcept { return default_ns_; }

    // Closes the innermost element when the bytes at the read position are
    // exactly its end tag, "</" name ">": false (nothing read) otherwise.
    bool fast_end_tag() {
        if (stack_.empty() || pending_end_)
            return false;
        const Element& top = stack_.back();
        size_t at = buf_.pos + 2, gt = at + top.name_len;
        const char* d = buf_.data();
        if (gt >= buf_.size() || d[buf_.pos] != '<' || d[buf_.pos + 1] != '/' || d[gt] != '>' ||
            std::memcmp(d + at, names_.data() + top.name_off, top.name_len) != 0)
            return false;
        close_element(buf_.pos, gt);
        return true;
    }

    // Where the current tag stands within the active capture, and the
    // captured bytes from such a mark to the end of the last tag read: a
    // reader of string items keeps the bytes of one child this way.
    size_t capture_mark() const noexcept { return buf_.tag_start - buf_.capture_start; }
    std::string_view captured_from(size_t mark) const noexcept {
        return buf_.view(buf_.capture_start + mark, buf_.tag_end);
    }
    // Ends a capture whose bytes are not wanted, without copying them.
    void drop_capture() noexcept { buf_.capturing = false; }

    const InputBuffer& buffer() const noexcept { return buf_; }

private:
    // The byte-level paths (plain.h) read tags from the buffer themselves and
    // hand the reader what they have read and checked, through these two.
    friend class PlainScan;
    // The test-only extension's window on the buffer (tests/native).
    friend struct ReaderProbe;

    // Moves past a whole element that opens and closes at the read position
    // and declares no namespaces. `last_tag` is the start of the element's
    // last tag, `to` one past its end.
    void skip_checked_bytes(size_t last_tag, size_t to) noexcept {
        VLM_ASSERT(!pending_end_ && buf_.pos <= last_tag && last_tag < to && to <= buf_.size());
        buf_.tag_start = last_tag;
        buf_.tag_end = to;
        buf_.pos = to;
    }
    // Opens the element whose start tag is at the read position: an
    // unprefixed name of `name_len` bytes, no namespace declarations (its
    // attributes are the caller's and are not kept), `end` one past its '>'.
    void enter_checked(size_t name_len, size_t end) {
        VLM_ASSERT(!pending_end_ && buf_.pos + name_len + 2 <= end && end <= buf_.size() &&
                   buf_.data()[buf_.pos] == '<' && buf_.data()[end - 1] == '>');
        qname_ = {buf_.pos + 1, name_len};
        ns_ = default_ns_;
        attrs_.clear();
        open_element(0, 0, end, false);
    }

    static constexpr uint32_t NS_DECL = UINT32_MAX;  // xmlns attributes, until they are bound
    static constexpr uint32_t URI_STRICT_MAIN = 3;   // interned at construction
    // The namespace id an element name compares by, from its URI's id.
    static uint32_t ns_of(uint32_t uri) noexcept { return uri == URI_STRICT_MAIN ? NS_MAIN : uri; }

    struct Element {
        size_t name_off;   // qualified name in names_
        uint32_t name_len;
        uint32_t local_at; // local name starts at name_off + local_at
        uint32_t ns;
        uint32_t decls;    // namespace declarations this element added
    };
    struct Binding {
        size_t prefix_off;  // in prefixes_
        uint32_t prefix_len;
        uint32_t uri;
        int32_t shadowed;  // the binding of the same prefix it hides, or -1
    };
    struct StrHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    using StrMap = std::unordered_map<std::string, int32_t, StrHash, std::equal_to<>>;

    [[nodiscard]] Result<bool> refill();
    [[nodiscard]] Result<bool> ensure(size_t n);
    [[nodiscard]] Result<size_t> find_from(size_t rel, std::string_view needle, Msg at_eof);
    [[nodiscard]] Result<void> start_document();
    [[nodiscard]] Result<Event> at_end();
    [[nodiscard]] Result<void> skip_outside();
    [[nodiscard]] Result<Event> char_data();
    size_t text_cut(size_t n) const noexcept;
    template <class F>
    [[nodiscard]] Result<void> pass_over(size_t rel, std::string_view close, Msg at_eof, F&& piece);
    [[nodiscard]] Result<bool> markup();
    [[nodiscard]] Result<void> pi();
    [[nodiscard]] Result<void> comment();
    [[nodiscard]] Result<void> cdata();
    [[nodiscard]] Result<size_t> find_tag_end();
    [[nodiscard]] Result<size_t> scan_name(size_t p, size_t end) const;
    [[nodiscard]] Result<Event> start_tag();
    bool fast_start_tag(Event& ev);
    Event open_element(uint32_t local_at, uint32_t decls, size_t end, bool empty);
    Event close_element(size_t start, size_t gt);
    [[nodiscard]] Result<void> scan_attrs(size_t p, size_t end);
    [[nodiscard]] Result<void> check_attr_dups() const;
    [[nodiscard]] Result<Event> end_tag();
    Event pop();
    // Namespace scoping (scope.cpp).
    [[nodiscard]] Result<uint32_t> bind_namespaces();
    [[nodiscard]] Result<void> declare(std::string_view prefix, const Attr& a);
    void unbind();
    [[nodiscard]] Result<void> resolve_names(uint32_t local_at);
    [[nodiscard]] Result<void> resolve_attrs();
    // The URI id bound to a non-empty prefix other than "xml", or not found.
    std::pair<bool, uint32_t> prefix_uri(std::string_view prefix) const;
    [[nodiscard]] Result<void> check_ns_dups() const;
    std::string_view prefix_of(const Binding& b) const noexcept {
        return {prefixes_.data() + b.prefix_off, b.prefix_len};
    }

    ByteSource& src_;
    InputBuffer buf_;
    bool eof_ = false;  // the source has reported end of input
    bool started_ = false, root_seen_ = false, root_closed_ = false, pending_end_ = false;

    Event event_ = Event::Eof;
    uint32_t ns_ = 0;
    Span qname_, local_, text_;
    bool text_raw_ = false, text_decode_ = false;
    std::vector<Attr> attrs_;
    size_t attr_decls_ = 0;  // xmlns attributes among attrs_ before they are removed

    std::string names_;
    std::vector<Element> stack_;
    std::deque<std::string> uris_;  // stable addresses: views of URIs outlive growth
    std::unordered_map<std::string, uint32_t, StrHash, std::equal_to<>> uri_ids_;
    std::string prefixes_;
    std::vector<Binding> scope_;
    StrMap innermost_;  // prefix -> index of its innermost binding in scope_
    uint32_t default_ns_ = NS_NONE;
};

template <class F>
FastTag Reader::fast_attrs(size_t from, size_t& end, F&& cb, bool xml_attrs) const {
    constexpr int MAX_ATTRS = 8;
    // Names seen so far, for the duplicate check; left uninitialised, as
    // only the first `count` are read (this runs for nearly every tag).
    const char* seen_at[MAX_ATTRS];
    size_t seen_len[MAX_ATTRS];
    int count = 0;
    const char* d = buf_.data();
    size_t n = buf_.size(), p = from;
    for (;;) {
        bool spaced = false;
        while (p < n && d[p] == ' ') {
            ++p;
            spaced = true;
        }
        if (p >= n)
            return FastTag::NotHandled;
        if (d[p] == '>') {
            end = p + 1;
            return FastTag::Start;
        }
        if (d[p] == '/') {
            if (p + 1 >= n || d[p + 1] != '>')
                return FastTag::NotHandled;
            end = p + 2;
            return FastTag::Empty;
        }
        if (!spaced || count == MAX_ATTRS)
            return FastTag::NotHandled;
        size_t name_at = p;
        if (xml_attrs && p + 4 < n && std::memcmp(d + p, "xml:", 4) == 0)
            p += 4;
        size_t local_at = p;
        while (p < n && has_class(d[p], CC_LETTER))
            ++p;
        if (p == local_at)
            return FastTag::NotHandled;
        if (p == name_at || p + 1 >= n || d[p] != '=' || d[p + 1] != '"')
            return FastTag::NotHandled;
        std::string_view name(d + name_at, p - name_at);
        if (name.size() == 5 && std::memcmp(name.data(), "xmlns", 5) == 0)
            return FastTag::NotHandled;
        for (int i = 0; i < count; ++i) {
            if (seen_len[i] == name.size() && std::memcmp(seen_at[i], name.data(), name.size()) == 0)
                return FastTag::NotHandled;
        }
        seen_at[count] = name.data();
        seen_len[count++] = name.size();
        size_t v = p + 2, q = v;
        while (has_class(d[q], CC_PLAIN_VALUE))
            ++q;  // the zero padding stops this at the end of the data
        if (q >= n || d[q] != '"' || !cb(name, std::string_view(d + v, q - v)))
            return FastTag::NotHandled;
        p = q + 1;
    }
}

// An entry point's body: job(reader) over a reader of the Python file-like
// object `source`, its object handed to the interpreter (or its error raised).
template <class F>
PyObject* read_file(PyObject* source, F&& job) {
    PyFileSource src(source);
    Reader reader(src);
    return hand_over(job(reader));
}

}  // namespace vlm::xml
