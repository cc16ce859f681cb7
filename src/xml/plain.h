// PlainScan: the one way past the reader's events. The byte-level paths read
// the commonest shapes of small elements straight from the reader's buffer,
// as most files write them:
//
//   <c r="B2" s="3" t="s"><v>17</v></c>      <si><t>Total</t></si>      <row r="7">
//
// A scan starts at the read position, between events. It only looks: tags
// and text are checked by the reader's own rules (the byte classes of
// chars.h, the character and reference checks), and the reader moves only
// when the caller commits what it has taken. Any shape the scan does not
// take whole (a comment, CDATA, a namespace declaration, an attribute that
// needs decoding, the end of the buffered bytes) fails the call, and the
// caller leaves the element to the events, which read it the same way or
// report its error.
#pragma once

#include "xml/reader.h"

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace vlm::xml {

// The text between a plain element's tags.
struct PlainText {
    std::string_view raw;  // the bytes as written
    bool ascii = false;    // no byte above 0x7F and no reference: it is its own str
    bool decode = false;   // holds references or carriage returns: decode before use
};

class PlainScan {
public:
    // Only between events.
    explicit PlainScan(Reader& r) noexcept
        : r_(r), d_(r.buf_.data()), p_(d_ + r.buf_.pos), stop_(d_ + r.buf_.size()), last_tag_(p_) {
        VLM_ASSERT(r.at_boundary());
    }

    // The cursor, for a caller that reads a shape of its own; the buffer's
    // zero padding past `stop` ends any scan there.
    const char* at() const noexcept { return p_; }
    const char* stop() const noexcept { return stop_; }
    size_t left() const noexcept { return static_cast<size_t>(stop_ - p_); }

    // Passes over space, tab, line feed and carriage return.
    void skip_blank() noexcept {
        while (p_ < stop_ && is_space(*p_))
            ++p_;
    }
    // A start or empty tag `<name ...>` at the cursor, of an unprefixed name,
    // with attributes as Reader::fast_attrs takes them (cb(name, value) for
    // each; `xml_attrs` lets xml:space and its kin through). NotHandled leaves
    // the cursor where it was.
    template <class F>
    FastTag tag(std::string_view name, F&& cb, bool xml_attrs = false) {
        size_t n = name.size();
        if (left() < n + 3 || p_[0] != '<' || std::memcmp(p_ + 1, name.data(), n) != 0)
            return FastTag::NotHandled;
        if (p_[n + 1] == '>') {
            // No attributes, as most such tags are: `<si>`, `<t>`, `<v>`.
            last_tag_ = p_;
            p_ += n + 2;
            return FastTag::Start;
        }
        size_t end = 0;
        FastTag t = r_.fast_attrs(static_cast<size_t>(p_ + 1 + n - d_), end, cb, xml_attrs);
        if (t != FastTag::NotHandled) {
            last_tag_ = p_;
            p_ = d_ + end;
        }
        return t;
    }
    // The exact end tag `</name>` at the cursor.
    bool end_tag(std::string_view name) noexcept {
        size_t n = name.size();
        if (left() < n + 3 || p_[0] != '<' || p_[1] != '/' || std::memcmp(p_ + 2, name.data(), n) != 0 ||
            p_[n + 2] != '>')
            return false;
        last_tag_ = p_;
        p_ += n + 3;
        return true;
    }
    // The character data from the cursor up to the exact end tag `</name>`,
    // which is taken too. False for markup inside (a child, a comment, CDATA)
    // or a character the reader refuses.
    bool text(std::string_view name, PlainText& out) noexcept;

    // The reader moves past everything taken, as if it had read the events
    // of the whole elements scanned (which must open and close within them).
    void commit() noexcept { commit(last_tag_, p_); }
    // The same for a caller that scanned by itself: `last_tag` starts the
    // last tag it read, `end` is one past it.
    void commit(const char* last_tag, const char* end) noexcept {
        r_.skip_checked_bytes(static_cast<size_t>(last_tag - d_), static_cast<size_t>(end - d_));
    }
    // Opens the element whose start tag (of an unprefixed `name`) the scan
    // has just taken; its content is left to the events.
    void commit_open(std::string_view name) {
        r_.enter_checked(name.size(), static_cast<size_t>(p_ - d_));
    }

    // --- A raw walk over an element's content ---
    // The pre-scan passes over a long element (sheetData) looking only at
    // the tags it wants: the bytes in between are never judged, by design,
    // and only the tags the caller reads are checked. The cursor moves by
    // seek(); pass() moves the reader's read position to it, so that a
    // refill may drop what lies behind; more() reads on. When the walk
    // ends, the reader reads on from the cursor as from any position
    // inside the element (commit() is not used after more()).
    void seek(const char* p) noexcept { p_ = p; }
    void pass() noexcept {
        VLM_ASSERT(p_ >= d_ + r_.buf_.pos && p_ <= stop_);
        r_.buf_.pos = static_cast<size_t>(p_ - d_);
    }
    // Reads the next chunk into the buffer, passing the cursor first; the
    // cursor keeps its place though the buffer may move. False at the end
    // of input.
    [[nodiscard]] Result<bool> more();
    // One past the '>' that ends the tag at the cursor (its '<'), quoted
    // values skipped, reading on as needed; nullptr when the input ends
    // inside the tag. The cursor stays on the '<'.
    [[nodiscard]] Result<const char*> tag_end();
    // The attributes of the tag whose name ends at `from`, up to `end` (its
    // '>' or the '/' of "/>"), read by the reader's rules with prefixes
    // resolved; nothing when the tag declares a namespace. The list is the
    // reader's own: valid until its next event or the next call.
    [[nodiscard]] Result<std::optional<std::span<const Attr>>> attrs(const char* from, const char* end);

private:
    // After a refill: the same offsets from the read position.
    void resync(size_t at) noexcept {
        d_ = r_.buf_.data();
        stop_ = d_ + r_.buf_.size();
        p_ = last_tag_ = d_ + r_.buf_.pos + at;
    }

    Reader& r_;
    const char* d_;
    const char* p_;
    const char* stop_;
    const char* last_tag_;
};

}  // namespace vlm::xml
