// The character rules of PlainScan::text: the reader's own, applied to a
// whole run at once. Bytes that stand for themselves are passed a table
// lookup at a time; the rest of the run gets the full checks. And the raw
// walk's reading on, through the reader's own refill, tag end and
// attribute scan.
#include "xml/plain.h"

#include "utils/swar.h"

#include <algorithm>

namespace vlm::xml {

bool PlainScan::text(std::string_view name, PlainText& out) noexcept {
    const char* from = p_;
    const char* q = from;
    while (has_class(*q, CC_PLAIN_TEXT))
        ++q;  // the zero padding stops this at the end of the data
    const char* odd = q;
    const char* lt = *q == '<' ? q : swar::find1(q, stop_, '<');
    size_t n = name.size();
    if (static_cast<size_t>(stop_ - lt) < n + 3 || lt[1] != '/' || std::memcmp(lt + 2, name.data(), n) != 0 ||
        lt[n + 2] != '>')
        return false;
    bool high = false, amp = false, cr = false;
    if (odd != lt) {
        std::string_view rest(odd, static_cast<size_t>(lt - odd));
        if (!validate_chars(rest))
            return false;
        // "]]>" may start up to two bytes before the first odd byte, its '>'.
        const char* scan = odd - from >= 2 ? odd - 2 : from;
        if (std::string_view(scan, static_cast<size_t>(lt - scan)).find("]]>") != std::string_view::npos)
            return false;
        amp = rest.find('&') != std::string_view::npos;
        if (amp && !validate_refs(rest))
            return false;
        cr = rest.find('\r') != std::string_view::npos;
        high = std::ranges::any_of(rest, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    }
    out.raw = std::string_view(from, static_cast<size_t>(lt - from));
    out.ascii = !high && !amp;
    out.decode = amp || cr;
    last_tag_ = lt;
    p_ = lt + n + 3;
    return true;
}

Result<bool> PlainScan::more() {
    pass();
    bool got = VLM_TRY(r_.refill());
    resync(0);
    return got;
}

Result<const char*> PlainScan::tag_end() {
    pass();
    Result<size_t> gt = r_.find_tag_end();
    resync(0);
    if (!gt) {
        // It fails only on the end of input or on the source's exception.
        if (gt.error().kind() == XmlError::Kind::Source)
            return std::unexpected(std::move(gt).error());
        return nullptr;
    }
    return p_ + *gt + 1;
}

Result<std::optional<std::span<const Attr>>> PlainScan::attrs(const char* from, const char* end) {
    VLM_TRY(r_.scan_attrs(static_cast<size_t>(from - d_), static_cast<size_t>(end - d_)));
    if (r_.attr_decls_)
        return std::nullopt;
    VLM_TRY(r_.resolve_attrs());
    return std::span<const Attr>(r_.attrs_);
}

}  // namespace vlm::xml
