// The Python view of the reader's namespace scope: the list of (prefix, uri)
// tuples that the host receives beside every captured element. Kept apart
// from the reader so that the reader itself needs no Python objects.
#pragma once

#include "xml/reader.h"

namespace vlm::xml {

// A new list of (prefix str, uri str) 2-tuples, as in_scope_namespaces().
[[nodiscard]] Result<Ref> namespace_list(const Reader& r);

}  // namespace vlm::xml
