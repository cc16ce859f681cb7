// The shared-strings part: one walk over its items, and read_string_table,
// the walk into a Python list (plain items natively, rich ones through the
// package). The columnar job walks it into Arrow buffers.
#pragma once

#include "host/error.h"
#include "text/text_runs.h"
#include "xml/reader.h"

#include <string_view>

namespace vlm {

class Helpers;

namespace text {

// Receives the items of a shared-strings part, in order.
class StringSink {
public:
    virtual ~StringSink() = default;
    // A plain item's text, "x005F_" already removed; `ascii` when it is
    // known to hold no byte above 0x7F. An item read from the bytes
    // (`from_bytes`) may be refused (false): the walk then reads it again by
    // events, which give the same text or the reader's error.
    [[nodiscard]] virtual Result<bool> plain(std::string_view text, bool ascii, bool from_bytes) = 0;
    // An item only the package reads (its raw bytes and namespaces).
    [[nodiscard]] virtual Result<void> snippet(const TextItem& item) = 0;
};

// Every `si` child of the root of the document under `r`, to `sink`. A
// Python exception from the sink's snippet is given after the rest of the
// part has been read, as the package parses the whole part first.
[[nodiscard]] Result<void> walk_string_table(xml::Reader& r, TextCtx& ctx, StringSink& sink);

}  // namespace text

// The table of the document under `r`; si_content reads the items the
// engine hands back.
[[nodiscard]] Result<Ref> read_string_table_in(xml::Reader& r, const Helpers& helpers, PyObject* si_content);

int add_read_string_table(PyObject* module);

}  // namespace vlm
