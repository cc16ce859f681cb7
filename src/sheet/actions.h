// The caller's `actions` list, which the package replays in document order:
// ("element", bytes, [(prefix, uri), ...]) for each captured element and
// ("warn", message) for each warning. Every job that drives the sheet
// parser (streaming rows, loading a store) hands its items over here.
#pragma once

#include "sheet/parser.h"

namespace vlm::sheet {

[[nodiscard]] Result<void> append_element(PyObject* actions, const Item& element);
[[nodiscard]] Result<void> append_warning(PyObject* actions, PyObject* message);

}  // namespace vlm::sheet
