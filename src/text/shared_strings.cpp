// The shared-strings job. Each `si` child of the root becomes one list item:
// its plain text, or whatever the package's si_content makes of the raw item
// when it holds formatting or content the engine does not reproduce.
#include "text/shared_strings.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/helpers.h"
#include "host/names.h"
#include "text/text_runs.h"
#include "xml/plain.h"

#include <cstring>

namespace vlm {

namespace {

// The str of a plain item. Text known to be ASCII is copied into a
// one-byte str directly, without a pass of the UTF-8 decoder: most shared
// strings are.
Ref plain_str(std::string_view text, bool ascii) {
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

// The package parses the whole part before it reads any item, so a fault
// further on in the XML wins over an item's helper raising: the rest of the
// part is read (checked, not kept) before the helper's exception is given.
XmlError parse_first(xml::Reader& r, XmlError raised) {
    for (;;) {
        Result<xml::Event> ev = r.next();
        if (!ev)
            return std::move(ev).error();
        if (*ev == xml::Event::Eof)
            return raised;
    }
}

// Items into a Python list.
class ListSink final : public text::StringSink {
public:
    ListSink(PyObject* list, PyObject* si_content) noexcept : list_(list), si_content_(si_content) {}
    Result<bool> plain(std::string_view text, bool ascii, bool from_bytes) override {
        Ref s = plain_str(text, ascii);
        if (!s && from_bytes && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return false;
        }
        VLM_TRY(append_item(list_, std::move(s)));
        return true;
    }
    Result<void> snippet(const text::TextItem& item) override {
        Ref bytes = Ref::steal(
            PyBytes_FromStringAndSize(item.bytes.data(), static_cast<Py_ssize_t>(item.bytes.size())));
        if (!bytes)
            return std::unexpected(XmlError::fetch());
        PyObject* args[2] = {bytes.get(), item.namespaces.get()};
        Ref res = Ref::steal(PyObject_Vectorcall(si_content_, args, 2, nullptr));
        if (!res)
            return std::unexpected(XmlError::fetch());
        return append_item(list_, std::move(res));
    }

private:
    PyObject* list_;
    PyObject* si_content_;
};

// The common shape of a plain item, `<si><t>TEXT</t></si>` (also with
// xml:space="preserve" on t), read straight from the buffer when all of it is
// there, with the reader's own checks on TEXT. Anything else takes the event
// path, which gives the same result or the reader's error. On success the
// scan has taken the item, up to the caller's commit.
bool fast_item(xml::PlainScan& scan, xml::PlainText& out) {
    auto none = [](std::string_view, std::string_view) { return false; };
    auto preserve = [](std::string_view name, std::string_view value) {
        return name == "xml:space" && value == "preserve";
    };
    return scan.tag("si", none) == xml::FastTag::Start && scan.tag("t", preserve, true) == xml::FastTag::Start &&
           scan.text("t", out) && scan.end_tag("si");
}

constexpr Signature<2> READ_STRING_TABLE_ARGS{
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
    return xml::read_file(source, [&](xml::Reader& r) { return read_string_table_in(r, *helpers, si_content->get()); });
}

PyMethodDef read_string_table_def[] = {
    {"read_string_table", method<read_string_table>(), METH_FASTCALL | METH_KEYWORDS,
     "read_string_table(source, helpers)\n--\n\n"
     "Read a workbook's shared-strings part into a list: plain texts natively, "
     "rich items through the package's si_content."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace text {

namespace {

// The text with its _xHHHH_ escapes decoded, in `scratch` when there is
// any (`text` may already be `scratch`); `ascii` false once one is decoded,
// as an escape may stand for any character.
std::string_view decoded(std::string& scratch, std::string_view text, bool& ascii) {
    if (text.find("_x") == std::string_view::npos)
        return text;
    if (text.data() != scratch.data())
        scratch.assign(text);
    decode_escapes(scratch);
    ascii = false;
    return scratch;
}

}  // namespace

Result<void> walk_string_table(xml::Reader& r, TextCtx& ctx, StringSink& sink) {
    std::string scratch;
    bool fast = false;  // inside the root, where `si` is in the main namespace
    for (;;) {
        // Item after item from one scan: the buffer stays where it is
        // until the scan stops, and each item is committed as it is taken.
        for (std::optional<xml::PlainScan> scan; fast && r.depth() == 1 && r.at_boundary();) {
            if (!scan)
                scan.emplace(r);
            xml::PlainText fi;
            if (!fast_item(*scan, fi))
                break;
            std::string_view plain = fi.raw;
            if (fi.decode) {
                scratch.clear();
                xml::decode_text_into(scratch, fi.raw, false);
                plain = scratch;
            }
            bool ascii = fi.ascii;
            std::string_view text = decoded(scratch, plain, ascii);
            if (!VLM_TRY(sink.plain(text, ascii, true)))
                break;
            scan->commit();
        }
        xml::Event ev = VLM_TRY(r.next());
        if (ev == xml::Event::Eof)
            return {};
        if (ev == xml::Event::Start && r.depth() == 1)
            fast = r.lookup_prefix("") == std::pair<bool, uint32_t>(true, xml::NS_MAIN);
        if ((ev != xml::Event::Start && ev != xml::Event::Empty) || r.ns() != xml::NS_MAIN ||
            r.local() != "si")
            continue;
        if (r.depth() != 2)
            return unsupported("nested si");
        TextItem item = VLM_TRY(parse_text(r, ctx, forbid_si));
        if (!item.snippet) {
            // parse_text has decoded each `t` of the item already
            VLM_TRY(sink.plain(ctx.text, false, false));
            continue;
        }
        if (Result<void> taken = sink.snippet(item); !taken)
            return std::unexpected(parse_first(r, std::move(taken).error()));
    }
}

}  // namespace text

Result<Ref> read_string_table_in(xml::Reader& r, const Helpers& helpers, PyObject* si_content) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return std::unexpected(XmlError::fetch());
    text::TextCtx ctx(helpers);
    ListSink sink(list.get(), si_content);
    VLM_TRY(text::walk_string_table(r, ctx, sink));
    return list;
}

int add_read_string_table(PyObject* module) { return PyModule_AddFunctions(module, read_string_table_def); }

}  // namespace vlm
