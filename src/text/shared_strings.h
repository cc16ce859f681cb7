// read_string_table(source, helpers): the shared-strings part read into a
// list in one pass; plain items natively, rich ones through the package.
#pragma once

#include "host/error.h"
#include "xml/reader.h"

namespace vlm {

class Helpers;

// The table of the document under `r`; si_content reads the items the
// engine hands back.
[[nodiscard]] Result<Ref> read_string_table_in(xml::Reader& r, const Helpers& helpers, PyObject* si_content);

int add_read_string_table(PyObject* module);

}  // namespace vlm
