// The shared-strings job. Each `si` child of the root becomes one list item:
// its plain text, or whatever the package's si_content makes of the raw item
// when it holds formatting or content the engine does not reproduce.
#include "text/shared_strings.h"

#include "host/args.h"
#include "host/helpers.h"
#include "host/names.h"
#include "text/text_runs.h"
#include "utils/swar.h"

#include <cstring>

namespace vlm {

namespace {

// The str of a plain item; "x005F_" is removed (in `scratch`, which `text`
// may already be). Text known to be ASCII is copied into a one-byte str
// directly, without a pass of the UTF-8 decoder: most shared strings are.
Ref plain_str(std::string& scratch, std::string_view text, bool ascii = false) {
    if (text.find("x005F_") != std::string_view::npos) {
        if (text.data() != scratch.data())
            scratch.assign(text);
        text::remove_x005f(scratch);
        text = scratch;
    }
    auto n = static_cast<Py_ssize_t>(text.size());
    if (!ascii)
        return Ref::steal(PyUnicode_DecodeUTF8(text.data(), n, nullptr));
    Ref s = Ref::steal(PyUnicode_New(n, 127));
    if (s)
        std::memcpy(PyUnicode_DATA(s.get()), text.data(), text.size());
    return s;
}

Result<void> append_item(PyObject* list, Ref item) {
    if (!item || PyList_Append(list, item.get()) < 0)
        return std::unexpected(XmlError::fetch());
    return {};
}

Result<Ref> item_value(xml::Reader& r, text::TextCtx& ctx, PyObject* si_content) {
    text::TextItem item = VLM_TRY(text::parse_text(r, ctx, text::forbid_si));
    if (!item.snippet) {
        text::remove_x005f(ctx.text);
        Ref s = plain_str(ctx.text, ctx.text);
        if (!s)
            return std::unexpected(XmlError::fetch());
        return s;
    }
    Ref bytes = Ref::steal(
        PyBytes_FromStringAndSize(item.bytes.data(), static_cast<Py_ssize_t>(item.bytes.size())));
    if (!bytes)
        return std::unexpected(XmlError::fetch());
    PyObject* args[2] = {bytes.get(), item.namespaces.get()};
    Ref res = Ref::steal(PyObject_Vectorcall(si_content, args, 2, nullptr));
    if (!res)
        return std::unexpected(XmlError::fetch());
    return res;
}

// The common shape of a plain item, `<si><t>TEXT</t></si>` (also with
// xml:space="preserve" on t), read straight from the buffer when all of it is
// there; TEXT gets the reader's own character and reference checks. Anything
// else, or TEXT that fails a check, takes the event path, which gives the
// same result or the reader's error. On success `text` is the item's raw
// text, `decode` tells whether it holds references or carriage returns, and
// `last_tag`/`end` bound its "</si>".
struct FastItem {
    std::string_view text;
    bool decode = false;
    bool ascii = false;  // printable ASCII only
    size_t last_tag = 0, end = 0;
};

// The character rules for text, except UTF-8 validity, which the strict
// decoder that makes the str checks anyway (an item it refuses is read again
// on the event path, which reports it): no control characters but tab, line
// feed and carriage return, and no U+FFFE or U+FFFF (EF BF BE, EF BF BF).
bool plain_chars(std::string_view s) noexcept {
    for (size_t i = 0; i < s.size(); ++i) {
        auto u = static_cast<unsigned char>(s[i]);
        if (u < 0x20 && u != '\t' && u != '\n' && u != '\r')
            return false;
        if (u == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
            static_cast<unsigned char>(s[i + 2]) >= 0xBE)
            return false;
    }
    return true;
}

bool fast_item(const InputBuffer& b, FastItem& out) {
    constexpr std::string_view OPEN = "<si><t", PRESERVE = " xml:space=\"preserve\"", CLOSE = "</t></si>";
    const char* d = b.data();
    const char* stop = d + b.size();
    const char* p = d + b.pos;
    if (static_cast<size_t>(stop - p) < OPEN.size() + 1 + CLOSE.size() ||
        std::memcmp(p, OPEN.data(), OPEN.size()) != 0)
        return false;
    p += OPEN.size();
    if (*p == ' ') {
        if (static_cast<size_t>(stop - p) < PRESERVE.size() || std::memcmp(p, PRESERVE.data(), PRESERVE.size()) != 0)
            return false;
        p += PRESERVE.size();
    }
    if (p >= stop || *p++ != '>')
        return false;
    const char* lt = swar::find1(p, stop, '<');
    if (lt == stop || static_cast<size_t>(stop - lt) < CLOSE.size() ||
        std::memcmp(lt, CLOSE.data(), CLOSE.size()) != 0)
        return false;
    std::string_view text(p, static_cast<size_t>(lt - p));
    const char* odd = swar::find_special(p, lt, '&', '>', '\r');
    out.decode = false;
    out.ascii = odd == lt;
    if (odd != lt) {
        std::string_view rest(odd, static_cast<size_t>(lt - odd));
        // "]]>" may start before the first odd byte, which is its '>'.
        if (!plain_chars(rest) || text.find("]]>") != std::string_view::npos)
            return false;
        bool amp = rest.find('&') != std::string_view::npos;
        if (amp && !xml::validate_refs(rest))
            return false;
        out.decode = amp || rest.find('\r') != std::string_view::npos;
    }
    out.text = text;
    out.last_tag = static_cast<size_t>(lt - d) + 4;
    out.end = out.last_tag + 5;
    return true;
}

constexpr ArgSpec<2> READ_STRING_TABLE_ARGS{
    "read_string_table", {&NAMES.source, &NAMES.helpers}, {"source", "helpers"}, 2};

PyObject* read_string_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2] = {nullptr, nullptr};
    if (!READ_STRING_TABLE_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    PyObject *source = a[0], *helpers_obj = a[1];
    if (!PyDict_Check(helpers_obj)) {
        READ_STRING_TABLE_ARGS.type_error(1, "dict", helpers_obj);
        return nullptr;
    }
    Result<Helpers> helpers = Helpers::from_dict(helpers_obj);
    if (!helpers)
        return fallback_err(std::move(helpers).error());
    Result<Ref> si_content = lookup_helper(helpers_obj, "si_content");
    if (!si_content)
        return fallback_err(std::move(si_content).error());
    PyFileSource src(source);
    xml::Reader reader(src);
    Result<Ref> out = read_string_table_in(reader, *helpers, si_content->get());
    if (!out)
        return fallback_err(std::move(out).error());
    return out->release();
}

PyMethodDef read_string_table_def[] = {
    {"read_string_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_string_table)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_string_table(source, helpers)\n--\n\n"
     "Read a workbook's shared-strings part into a list: plain texts natively, "
     "rich items through the package's si_content."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Result<Ref> read_string_table_in(xml::Reader& r, const Helpers& helpers, PyObject* si_content) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return std::unexpected(XmlError::fetch());
    text::TextCtx ctx(helpers);
    bool fast = false;  // inside the root, where `si` is in the main namespace
    for (;;) {
        FastItem fi;
        while (fast && r.depth() == 1 && r.at_boundary() && fast_item(r.buffer(), fi)) {
            std::string_view plain = fi.text;
            if (fi.decode) {
                ctx.text.clear();
                xml::decode_text_into(ctx.text, fi.text, false);
                plain = ctx.text;
            }
            Ref item = plain_str(ctx.text, plain, fi.ascii);
            if (!item && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                PyErr_Clear();
                break;
            }
            VLM_TRY(append_item(list.get(), std::move(item)));
            r.skip_checked_bytes(fi.last_tag, fi.end);
        }
        xml::Event ev = VLM_TRY(r.next());
        if (ev == xml::Event::Eof)
            return list;
        if (ev == xml::Event::Start && r.depth() == 1)
            fast = r.lookup_prefix("") == std::pair<bool, uint32_t>(true, xml::NS_MAIN);
        if ((ev != xml::Event::Start && ev != xml::Event::Empty) || r.ns() != xml::NS_MAIN ||
            r.local() != "si")
            continue;
        if (r.depth() != 2)
            return unsupported("nested si");
        Ref value = VLM_TRY(item_value(r, ctx, si_content));
        VLM_TRY(append_item(list.get(), std::move(value)));
    }
}

int add_read_string_table(PyObject* module) { return PyModule_AddFunctions(module, read_string_table_def); }

}  // namespace vlm
