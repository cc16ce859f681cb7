// The reader's namespace scoping (declarations, prefix lookup, the URI
// table), its decoded views of text and attributes, and element capture.
//
// Scope: scope_ lists the declarations in force in document order;
// innermost_ maps each declared prefix to its innermost binding, and each
// binding remembers the one it hides, so lookup is one hash probe however
// deep the document and leaving an element restores the outer binding.
#include "xml/reader.h"

#include <algorithm>

namespace vlm::xml {

uint32_t Reader::intern_uri(std::string_view uri) {
    auto it = uri_ids_.find(uri);
    if (it != uri_ids_.end())
        return it->second;
    auto id = static_cast<uint32_t>(uris_.size());
    uris_.emplace_back(uri);
    uri_ids_.emplace(std::string(uri), id);
    return id;
}

std::pair<bool, uint32_t> Reader::prefix_uri(std::string_view prefix) const {
    if (prefix == "xml")
        return {true, NS_XML};
    auto it = innermost_.find(prefix);
    if (it == innermost_.end())
        return {false, NS_NONE};
    return {true, scope_[static_cast<size_t>(it->second)].uri};
}

std::pair<bool, uint32_t> Reader::lookup_prefix(std::string_view prefix) const {
    if (prefix.empty())
        return {true, default_ns_};
    auto [found, id] = prefix_uri(prefix);
    return {found, ns_of(id)};
}

std::vector<std::pair<std::string_view, std::string_view>> Reader::in_scope_namespaces() const {
    std::vector<std::pair<std::string_view, std::string_view>> out;
    for (const Binding& b : scope_) {
        if (b.shadowed >= 0)
            continue;  // a redeclaration: listed at the outer binding's place
        std::string_view p = prefix_of(b);
        const Binding& inner = scope_[static_cast<size_t>(innermost_.find(p)->second)];
        out.emplace_back(p, uris_[inner.uri]);
    }
    return out;
}

// Binds the xmlns attributes of the current start tag and removes them from
// the attribute list; returns how many bindings were added.
Result<uint32_t> Reader::bind_namespaces() {
    uint32_t added = 0;
    for (const Attr& a : attrs_) {
        if (a.ns != NS_DECL)
            continue;
        std::string_view local = view(a.local);
        VLM_TRY(declare(a.local.off == a.qname.off ? std::string_view() : local, a));
        ++added;
    }
    std::erase_if(attrs_, [](const Attr& a) { return a.ns == NS_DECL; });
    return added;
}

Result<void> Reader::declare(std::string_view prefix, const Attr& a) {
    std::string decoded;
    std::string_view value = view(a.value);
    if (a.needs_decoding) {
        decoded = decode_attr(value);
        value = decoded;
    }
    if (prefix == "xml") {
        if (value != XML_URI)
            return fail(Msg::XmlPrefix);
    } else {
        if (prefix == "xmlns")
            return fail(Msg::XmlnsPrefix);
        if (value == XMLNS_URI || value == XML_URI)
            return fail(Msg::ReservedNamespace);
        if (!prefix.empty() && value.empty())
            return fail(Msg::EmptyPrefixedNs);
        // The package's own parse names elements "uri}local", so it refuses
        // a URI holding "}" as expat does, and every reading of the part
        // must fail alike. No writer makes one: "}" is no URI character and
        // is written %7D.
        if (value.find('}') != std::string_view::npos)
            return fail(Msg::BraceInNamespace);
    }
    uint32_t id = intern_uri(value);
    auto index = static_cast<int32_t>(scope_.size());
    Binding b{prefixes_.size(), static_cast<uint32_t>(prefix.size()), id, -1};
    prefixes_.append(prefix);
    auto it = innermost_.find(prefix);
    if (it != innermost_.end())
        b.shadowed = std::exchange(it->second, index);
    else
        innermost_.emplace(std::string(prefix), index);
    scope_.push_back(b);
    if (prefix.empty())
        default_ns_ = ns_of(id);
    return {};
}

void Reader::unbind() {
    const Binding b = scope_.back();
    std::string_view prefix = prefix_of(b);
    auto it = innermost_.find(prefix);
    if (b.shadowed >= 0)
        it->second = b.shadowed;
    else
        innermost_.erase(it);
    if (prefix.empty())
        default_ns_ = b.shadowed >= 0 ? ns_of(scope_[static_cast<size_t>(b.shadowed)].uri) : NS_NONE;
    prefixes_.resize(b.prefix_off);
    scope_.pop_back();
}

// Namespace ids of the element and its prefixed attributes.
Result<void> Reader::resolve_names(uint32_t local_at) {
    if (local_at == 0) {
        ns_ = default_ns_;
    } else {
        auto [found, id] = lookup_prefix(qname().substr(0, local_at - 1));
        if (!found)
            return fail(Msg::UnboundPrefix);
        ns_ = id;
    }
    return resolve_attrs();
}

// Namespace ids of the prefixed attributes of the current tag.
Result<void> Reader::resolve_attrs() {
    size_t prefixed = 0;
    for (Attr& a : attrs_) {
        if (a.local.off == a.qname.off)
            continue;
        auto [found, id] = prefix_uri(view({a.qname.off, a.local.off - a.qname.off - 1}));
        if (!found || id == NS_NONE)
            return fail(Msg::UnboundPrefix);
        a.ns = id;
        ++prefixed;
    }
    return prefixed >= 2 ? check_ns_dups() : Result<void>();
}

// Two prefixed attributes naming the same (namespace, local name).
Result<void> Reader::check_ns_dups() const {
    std::vector<std::pair<uint32_t, std::string_view>> keys;
    for (const Attr& a : attrs_) {
        if (a.ns != NS_NONE)
            keys.emplace_back(a.ns, view(a.local));
    }
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end())
        return fail(Msg::DuplicateAttr);
    return {};
}

std::string Reader::attr_key(const Attr& a) const {
    if (a.ns == NS_NONE)
        return std::string(view(a.local));
    std::string key;
    key.reserve(uris_[a.ns].size() + a.local.len + 2);
    key += '{';
    key += uris_[a.ns];
    key += '}';
    key += view(a.local);
    return key;
}

std::string Reader::text_str() const {
    if (!text_decode_)
        return std::string(text());
    std::string out;
    decode_text_into(out, text(), text_raw_);
    return out;
}

std::string Reader::decode_attr(std::string_view value) {
    std::string out;
    decode_attr_into(out, value);
    return out;
}

std::string Reader::attr_value(const Attr& a) const {
    return a.needs_decoding ? decode_attr(view(a.value)) : std::string(view(a.value));
}

void Reader::begin_capture() noexcept {
    buf_.capturing = true;
    buf_.capture_start = buf_.tag_start;
}

Result<std::string> Reader::end_capture() {
    if (!buf_.capturing)
        return std::unexpected(XmlError::internal("capture not started"));
    buf_.capturing = false;
    return std::string(buf_.view(buf_.capture_start, buf_.tag_end));
}

Result<bool> Reader::read_through(size_t depth) {
    for (;;) {
        Event ev = VLM_TRY(next());
        if (ev == Event::Eof)
            return false;
        if (ev == Event::End && stack_.size() < depth)
            return true;
    }
}

}  // namespace vlm::xml
