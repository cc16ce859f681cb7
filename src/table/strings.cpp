// Shared strings into Arrow buffers.
#include "table/strings.h"

#include "text/shared_strings.h"

#include <climits>
#include <cstring>

namespace vlm::table {

namespace {

class ArrowSink final : public text::StringSink {
public:
    explicit ArrowSink(PyObject* si_content) noexcept : si_content_(si_content) {}

    Result<bool> plain(std::string_view text, bool, bool) override {
        append(text);
        return true;
    }
    Result<void> snippet(const text::TextItem& item) override {
        Ref bytes = Ref::steal(
            PyBytes_FromStringAndSize(item.bytes.data(), static_cast<Py_ssize_t>(item.bytes.size())));
        if (!bytes)
            return fetched();
        PyObject* args[2] = {bytes.get(), item.namespaces.get()};
        Ref res = Ref::steal(PyObject_Vectorcall(si_content_, args, 2, nullptr));
        if (!res)
            return fetched();
        if (!PyUnicode_CheckExact(res.get()))
            return unsupported("a shared string that is no text");
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(res.get(), &n);
        if (!utf8)
            return fetched();
        append({utf8, static_cast<size_t>(n)});
        return {};
    }

    Result<StringTable> finish() && {
        // The part is at most the package's limit for it (512 MiB), so its
        // text fits int32 offsets; a larger one is refused all the same.
        if (size_ > INT32_MAX)
            return unsupported("a string table beyond 2 GiB");
        if (table_.count == 0)
            start();
        table_.bytes.reserve_raw(size_ + 1);
        return std::move(table_);
    }

private:
    // The buffers are only appended to: no pass zeroes what the texts and
    // offsets then write over.
    void append(std::string_view text) {
        if (!text.empty()) {
            table_.bytes.reserve_raw(size_ + text.size());
            std::memcpy(table_.bytes.data() + size_, text.data(), text.size());
            size_ += text.size();
        }
        if (table_.count == 0)
            start();
        table_.offsets.reserve_raw(static_cast<size_t>(table_.count + 2) * 4);
        table_.offsets.as<int32_t>()[++table_.count] = static_cast<int32_t>(size_);
    }
    void start() {
        table_.offsets.reserve_raw(4096);
        table_.offsets.as<int32_t>()[0] = 0;
    }

    PyObject* si_content_;
    StringTable table_;
    size_t size_ = 0;
};

}  // namespace

Result<StringTable> read_strings(ByteSource& source, const Helpers& helpers, PyObject* si_content) {
    xml::Reader reader(source);
    text::TextCtx ctx(helpers);
    if (!si_content)
        ctx.detach();
    ArrowSink sink(si_content);
    VLM_TRY(text::walk_string_table(reader, ctx, sink));
    return std::move(sink).finish();
}

}  // namespace vlm::table
