// find_dimension(source): a worksheet's raw dimension element and the
// namespaces in force around it, found without parsing the sheet in Python.
#pragma once

#include "xml/reader.h"

namespace vlm {

// Reads up to the main-namespace dimension element (or the end of
// sheetData, or of the document): None, or (bytes, [(prefix, uri), ...]).
[[nodiscard]] Result<Ref> find_dimension_in(xml::Reader& r);

// Adds the module function find_dimension.
int add_find_dimension(PyObject* module);

}  // namespace vlm
