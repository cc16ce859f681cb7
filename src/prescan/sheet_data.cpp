// The raw walk over sheetData. It looks for '<' a word at a time and reads
// only what follows it:
//
//   <!-- or <? or <![CDATA[   declined: the walk would see tags inside them
//   </sheetData>              the end: the reader reads on from its '<'
//   <row ...>                 when rows or corners are wanted
//   <c ...>                   when corners are wanted
//
// Everything else is passed over unread. A row's number comes straight
// from `r="7"` when its other attributes are not wanted; a cell's column
// from `r="B7"` unless its row holds a corner. Other tags are read whole
// with the reader's attribute rules.
#include "prescan/messages.h"
#include "prescan/prescan.h"

#include "utils/coord.h"
#include "utils/numparse.h"

namespace vlm::prescan {

namespace {

// Bytes available from a '<' before its tag is classified. The shortcuts
// below pass over the rest of a tag unread, so whether one is taken must
// not hang on where a read happened to end: the look covers the longest
// byte any of them reads, `<row r="-` and 18 digits and the quote (28),
// while "</sheetData" and the byte after it need only 12. At the end of
// the input the buffer's zero padding (as long as the look) stops them.
constexpr size_t TAG_LOOK = 32;

bool ends_name(char c) noexcept { return c == '>' || c == '/' || xml::is_space(c); }

Ref ascii_str(std::string_view s) {
    Ref out = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
    if (out)
        std::memcpy(PyUnicode_DATA(out.get()), s.data(), s.size());
    return out;
}

Ref utf8_str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

// `r="123"` (an optional '-', 1 to 18 digits) at p: one past its closing
// quote with `row` set, or nullptr.
const char* plain_row_number(const char* p, const char* stop, int64_t& row) noexcept {
    if (std::memcmp(p, " r=\"", 4) != 0)
        return nullptr;
    p += 4;
    bool neg = *p == '-';
    p += neg;
    uint64_t m = 0;
    size_t n = take_digits(p, m);
    if (n == 0 || n > 18 || p >= stop || *p != '"')
        return nullptr;
    row = neg ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
    return p + 1;
}

}  // namespace

Result<void> SheetScan::sheet_data() {
    xml::PlainScan s(r_);
    const bool rows = want_rows_ || !corners_.empty();
    const bool cells = !corners_.empty();
    const char* p = s.at();
    for (;;) {
        const char* lt = swar::find1(p, s.stop(), '<');
        if (lt == s.stop()) {
            s.seek(lt);
            if (!VLM_TRY(s.more()))
                return malformed(msg::EOF_IN_ELEMENT);
            p = s.at();
            continue;
        }
        if (static_cast<size_t>(s.stop() - lt) < TAG_LOOK) {
            // Past the end of the input the buffer's zero padding matches
            // no tag.
            s.seek(lt);
            while (s.left() < TAG_LOOK && VLM_TRY(s.more())) {
            }
            lt = s.at();
        }
        switch (lt[1]) {
        case '!':
        case '?':
            return unsupported(msg::MARKUP);
        case '/':
            if (std::memcmp(lt + 2, "sheetData", 9) == 0 && (lt[11] == '>' || xml::is_space(lt[11]))) {
                s.seek(lt);
                s.pass();
                return {};
            }
            break;
        case 'r':
            if (rows && lt[2] == 'o' && lt[3] == 'w' && ends_name(lt[4])) {
                s.seek(lt);
                p = VLM_TRY(row_tag(s));
                continue;
            }
            break;
        case 'c':
            if (cells && ends_name(lt[2])) {
                s.seek(lt);
                p = VLM_TRY(cell_tag(s));
                continue;
            }
            break;
        default:
            break;
        }
        p = lt + 1;
    }
}

// The row tag at the cursor; returns where the walk goes on.
Result<const char*> SheetScan::row_tag(xml::PlainScan& s) {
    if (!want_rows_) {
        int64_t row = 0;
        const char* after = plain_row_number(s.at() + 4, s.stop(), row);
        if (after && sheet::Position::valid_row(row)) {
            pos_.start_row(row);
            return after;
        }
    }
    const char* next = VLM_TRY(read_attrs(s, 3));
    std::optional<std::string_view> r;
    bool other = false;
    for (const Field& f : fields_) {
        if (f.prefixed)
            continue;
        if (f.name == "r")
            r = f.value;
        else if (f.name != "spans")
            other = true;
    }
    if (!r)
        VLM_TRY(pos_.start_next_row());
    else if (auto n = plain_int(*r); n && sheet::Position::valid_row(*n))
        pos_.start_row(*n);
    else
        pos_.start_row(VLM_TRY(call_row_index(*r)));
    if (want_rows_ && other)
        VLM_TRY(report_row());
    return next;
}

// The cell tag at the cursor (there are corners); returns where the walk
// goes on.
Result<const char*> SheetScan::cell_tag(xml::PlainScan& s) {
    const char* lt = s.at();
    if (std::memcmp(lt + 1, "c r=\"", 5) == 0) {
        Coord c{};
        const char* q = scan_a1<true>(lt + 6, s.stop(), c);
        if (q && q < s.stop() && *q == '"' && !corners_.has_row(c.row)) {
            pos_.place(c.column);
            return q + 1;
        }
    }
    const char* next = VLM_TRY(read_attrs(s, 1));
    std::optional<std::string_view> ref, style;
    for (const Field& f : fields_) {
        if (f.prefixed)
            continue;
        if (f.name == "r")
            ref = f.value;
        else if (f.name == "s")
            style = f.value;
    }
    int64_t row = pos_.row(), column = 0;
    if (ref && !ref->empty()) {
        std::optional<Coord> c = fast_coordinate(*ref);
        if (!c)
            return unsupported(msg::COORDINATE);
        row = c->row;
        column = c->column;
        pos_.place(column);
    } else {
        column = VLM_TRY(pos_.take_next_column());
    }
    if (CornerSet::Corner* corner = corners_.find(row, column)) {
        corner->found = true;
        corner->style = style ? std::optional<std::string>(*style) : std::nullopt;
    }
    return next;
}

// Every attribute of the tag at the cursor, whose name is `name_len` bytes,
// into fields_: by the reader's fast scan when the tag is plain and
// buffered whole, else read whole and checked by the reader's rules.
// Returns one past the tag.
Result<const char*> SheetScan::read_attrs(xml::PlainScan& s, size_t name_len) {
    fields_.clear();
    decoded_.clear();
    const char* d = r_.buffer().data();
    const char* from = s.at() + 1 + name_len;
    size_t end = 0;
    xml::FastTag kind = r_.fast_attrs(static_cast<size_t>(from - d), end,
                                      [&](std::string_view name, std::string_view value) {
                                          fields_.push_back({name, value, false, true});
                                          return true;
                                      });
    if (kind != xml::FastTag::NotHandled)
        return d + end;
    fields_.clear();
    const char* gt = VLM_TRY(s.tag_end());
    if (!gt)
        return malformed(msg::EOF_IN_TAG);
    from = s.at() + 1 + name_len;
    const char* close = gt[-2] == '/' ? gt - 2 : gt - 1;
    auto attrs = VLM_TRY(s.attrs(from, close));
    if (!attrs)
        return unsupported(msg::NAMESPACE_DECLARATION);
    for (const xml::Attr& a : *attrs) {
        std::string_view name = r_.view(a.local);
        if (a.ns != xml::NS_NONE)
            name = decoded_.emplace_back(r_.attr_key(a));
        std::string_view value = r_.view(a.value);
        if (a.needs_decoding)
            value = decoded_.emplace_back(xml::Reader::decode_attr(value));
        fields_.push_back({name, value, a.ns != xml::NS_NONE, false});
    }
    return gt;
}

Result<int64_t> SheetScan::call_row_index(std::string_view text) {
    Ref arg = utf8_str(text);
    Ref v = arg ? Ref::steal(PyObject_CallOneArg(row_index_, arg.get())) : Ref();
    if (!v) {
        // The walk leaves most of sheetData unchecked, so the package's
        // reading may refuse the document at an earlier byte than this row
        // number: which error wins is the package's to say. Anything that
        // is not an Exception (KeyboardInterrupt) is the user's and passes.
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return fetched();
        PyErr_Clear();
        return unsupported(msg::ROW_INDEX);
    }
    if (!PyLong_Check(v.get()))
        return unsupported(msg::ROW_INDEX);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (overflow)
        return unsupported(msg::ROW_INDEX);
    if (n == -1 && PyErr_Occurred())
        return fetched();
    return n;
}

// Attribute names repeat from row to row ("r", "spans", "ht"): each is
// made once per scan.
Ref SheetScan::name_str(std::string_view name) {
    for (const auto& [text, str] : names_) {
        if (text == name)
            return Ref::borrow(str.get());
    }
    Ref str = utf8_str(name);
    if (str && names_.size() < 32)
        names_.emplace_back(std::string(name), Ref::borrow(str.get()));
    return str;
}

// The (name, value) tuple of an attribute; one object for each pair of
// texts, but for the row numbers, which seldom repeat. Creating objects is
// most of the cost of reporting rows.
Ref SheetScan::field_pair(const Field& f) {
    constexpr size_t MAX_PAIRS = 256;
    std::string key;
    bool cached = f.name != "r";
    if (cached) {
        key.reserve(f.name.size() + f.value.size() + 1);
        key.append(f.name).push_back('\0');
        key.append(f.value);
        if (auto it = pairs_.find(key); it != pairs_.end())
            return Ref::borrow(it->second.get());
    }
    Ref name = name_str(f.name);
    Ref value = !name ? Ref() : f.ascii ? ascii_str(f.value) : utf8_str(f.value);
    Ref pair = value ? Ref::steal(PyTuple_Pack(2, name.get(), value.get())) : Ref();
    if (pair && cached && pairs_.size() < MAX_PAIRS)
        pairs_.emplace(std::move(key), Ref::borrow(pair.get()));
    return pair;
}

// (row number, [(name, value), ...]) of the row just read, onto rows_.
Result<void> SheetScan::report_row() {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fields_.size())));
    if (!list)
        return fetched();
    for (size_t i = 0; i < fields_.size(); ++i) {
        Ref pair = field_pair(fields_[i]);
        if (!pair)
            return fetched();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    Ref row = Ref::steal(PyLong_FromLongLong(pos_.row()));
    Ref entry = row ? Ref::steal(PyTuple_Pack(2, row.get(), list.get())) : Ref();
    if (!entry || PyList_Append(rows_.get(), entry.get()) < 0)
        return fetched();
    return {};
}

}  // namespace vlm::prescan
