// Formula templates: the reference scan that splits a formula into literal
// stretches and A1 references, the shape hash over those pieces, building,
// matching and rendering a template, and the per-sheet set that decides which
// formulas become templates.
//
// The scan is deliberately simpler than the formula tokenizer: it never needs
// to understand a formula, only to find the references that move with the
// cell. Whatever it gets wrong is harmless, because a template is only used
// after it rendered the cell's exact text (matches), so a misread formula at
// worst stays text.
#include "ftemplate/template.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "utils/ascii.h"
#include "utils/check.h"
#include "utils/coord.h"

namespace vlm::ftemplate {
namespace {

// One reference as the text spells it, and the byte after it.
struct RefAt {
    bool column_anchored = false, row_anchored = false;
    int64_t column = 0, row = 0;
    size_t end = 0;
};

// The reference starting at t[i] (an upper-case letter or '$'), or nothing.
//   "$B$12+1" at 0 -> {anchored B, anchored 12}, end 5
//   "LOG10(" at 0  -> nothing: a function name (followed by '(')
//   "A01", "ABCD1", "A12345678" -> nothing: leading zero, four letters, eight digits
std::optional<RefAt> reference_at(std::string_view t, size_t i) noexcept {
    if (i > 0) {
        char b = t[i - 1];
        if (is_letter(b) || is_digit(b) || b == '$' || b == '.' || b == '_')
            return std::nullopt;
    }
    RefAt r;
    size_t n = t.size(), p = i;
    if (t[p] == '$') {
        r.column_anchored = true;
        ++p;
    }
    size_t letters = p;
    while (p < n && p - letters < 3 && is_upper(t[p]))
        ++p;
    if (p == letters)
        return std::nullopt;
    r.column = column_number(t.substr(letters, p - letters));
    if (p < n && t[p] == '$') {
        r.row_anchored = true;
        ++p;
    }
    if (p == n || t[p] == '0')
        return std::nullopt;
    size_t digits = p;
    while (p < n && p - digits < 7 && is_digit(t[p]))
        r.row = r.row * 10 + (t[p++] - '0');
    if (p == digits)
        return std::nullopt;
    if (p < n) {
        char c = t[p];
        if (is_letter(c) || is_digit(c) || c == '_' || c == '!' || c == '$' || c == '(' || c == '.')
            return std::nullopt;
    }
    r.end = p;
    return r;
}

// One past the quoted stretch opening at t[i], or the end of the text when
// it is unterminated. A doubled quote stands for itself: "a""b" is one
// stretch, so the A1 in ="a""A1" stays literal.
size_t quote_end(std::string_view t, size_t i) noexcept {
    char q = t[i];
    for (size_t j = i + 1;;) {
        size_t k = t.find(q, j);
        if (k == std::string_view::npos)
            return t.size();
        if (k + 1 < t.size() && t[k + 1] == q) {
            j = k + 2;
            continue;
        }
        return k + 1;
    }
}

// Walks the text once, calling v.literal(stretch) for each non-empty stretch
// between references and v.reference(ref) for each reference, in text order.
template <class Visitor>
void scan(std::string_view t, Visitor& v) {
    size_t lit = 0, i = 0;
    while (i < t.size()) {
        char c = t[i];
        if (c == '\'' || c == '"') {
            i = quote_end(t, i);
            continue;
        }
        if (is_upper(c) || c == '$') {
            if (auto r = reference_at(t, i)) {
                if (i > lit)
                    v.literal(t.substr(lit, i - lit));
                v.reference(*r);
                i = lit = r->end;
                continue;
            }
        }
        ++i;
    }
    if (t.size() > lit)
        v.literal(t.substr(lit));
}

// The number a part stores: the text's own when anchored, else the offset
// from the cell (wrapping, so that no cell can overflow it; a wrapped offset
// never renders, as rendering checks its sums).
int64_t stored(bool anchored, int64_t n, int64_t at) noexcept {
    return anchored ? n : static_cast<int64_t>(static_cast<uint64_t>(n) - static_cast<uint64_t>(at));
}

}  // namespace

uint64_t shape_hash(std::string_view text, int64_t row, int64_t column) noexcept {
    struct Hash {
        FxHasher h;
        int64_t row, column;
        void literal(std::string_view s) noexcept {
            h.add(0);
            h.add_bytes(s);
            h.add(s.size());
        }
        void reference(const RefAt& r) noexcept {
            h.add(r.column_anchored ? 2 : 1);
            h.add(static_cast<uint64_t>(stored(r.column_anchored, r.column, column)));
            h.add(r.row_anchored ? 4 : 3);
            h.add(static_cast<uint64_t>(stored(r.row_anchored, r.row, row)));
        }
    } v{{}, row, column};
    scan(text, v);
    return v.h.finish();
}

Template Template::build(std::string_view text, int64_t row, int64_t column) {
    VLM_ASSERT(text.size() <= std::numeric_limits<uint32_t>::max());
    struct Build {
        Template& t;
        int64_t row, column;
        void literal(std::string_view s) {
            t.parts_.push_back({Part::Tag::Literal, false, static_cast<uint32_t>(s.size()),
                                static_cast<int64_t>(t.text_.size())});
            t.text_.append(s);
        }
        void reference(const RefAt& r) {
            t.parts_.push_back({Part::Tag::Column, r.column_anchored, 0,
                                stored(r.column_anchored, r.column, column)});
            t.parts_.push_back({Part::Tag::Row, r.row_anchored, 0, stored(r.row_anchored, r.row, row)});
        }
    };
    Template t;
    Build v{t, row, column};
    scan(text, v);
    t.parts_.shrink_to_fit();
    t.text_.shrink_to_fit();
    return t;
}

char* Template::put_reference(const Part& part, int64_t row, int64_t column, char* w) noexcept {
    int64_t v = part.n;
    if (part.anchored)
        *w++ = '$';
    else if (__builtin_add_overflow(v, part.tag == Part::Tag::Column ? column : row, &v))
        return nullptr;
    if (part.tag == Part::Tag::Column) {
        if (v < 1 || v > MAX_COLUMN)
            return nullptr;
        return put_column(w, v);
    }
    if (v < 1)
        return nullptr;
    return std::to_chars(w, w + 19, v).ptr;  // below 2^63: at most 19 digits
}

bool Template::matches(std::string_view text, int64_t row, int64_t column) const noexcept {
    size_t p = 0;
    for (const Part& part : parts_) {
        std::string_view want;
        char buf[20];
        if (part.tag == Part::Tag::Literal) {
            want = std::string_view(text_).substr(static_cast<size_t>(part.n), part.len);
        } else {
            char* end = put_reference(part, row, column, buf);
            if (!end)
                return false;
            want = std::string_view(buf, static_cast<size_t>(end - buf));
        }
        if (text.size() - p < want.size() || text.compare(p, want.size(), want) != 0)
            return false;
        p += want.size();
    }
    return p == text.size();
}

bool Template::render_into(int64_t row, int64_t column, std::string& out) const {
    size_t old = out.size();
    bool ok = true;
    out.resize_and_overwrite(old + text_.size() + 20 * parts_.size(), [&](char* base, size_t) {
        char* w = base + old;
        for (const Part& part : parts_) {
            if (part.tag == Part::Tag::Literal) {
                std::memcpy(w, text_.data() + part.n, part.len);
                w += part.len;
            } else if (!(w = put_reference(part, row, column, w))) {
                ok = false;
                return old;
            }
        }
        return static_cast<size_t>(w - base);
    });
    return ok;
}

size_t Template::bytes() const noexcept {
    return sizeof(Template) + parts_.capacity() * sizeof(Part) + text_.capacity();
}

std::optional<uint32_t> TemplateSet::template_for(std::string_view text, int64_t row, int64_t column) {
    // Short texts are not worth a template; texts of 4 GiB and more cannot
    // be described by a part (and no formula is that long).
    if (text.size() < 4 || text.size() > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    auto [it, first] = index_.try_emplace(shape_hash(text, row, column), SEEN_ONCE);
    if (first)
        return std::nullopt;
    if (it->second != SEEN_ONCE) {
        // One candidate per shape: a colliding text that does not match stays
        // text, and the template stays for the rest of its shape.
        if (templates_[it->second].matches(text, row, column))
            return it->second;
        return std::nullopt;
    }
    Template t = Template::build(text, row, column);
    if (!t.matches(text, row, column) || templates_.size() >= SEEN_ONCE)
        return std::nullopt;
    auto index = static_cast<uint32_t>(templates_.size());
    templates_.push_back(std::move(t));
    it->second = index;
    return index;
}

size_t TemplateSet::bytes() const noexcept {
    size_t n = templates_.capacity() * sizeof(Template);
    for (const Template& t : templates_)
        n += t.bytes() - sizeof(Template);
    // A node per shape and a pointer per bucket: the standard map's layout.
    return n + index_.size() * (sizeof(void*) + 2 * sizeof(uint64_t)) + index_.bucket_count() * sizeof(void*);
}

void TemplateSet::finish_loading() {
    index_ = {};
    templates_.shrink_to_fit();
}

}  // namespace vlm::ftemplate
