// Inside the store's Python glue: the instance layout of CellStore, shared by
// its own methods and by KeyIter, its key iterator.
#pragma once

#include "host/pytype.h"
#include "store/store.h"

namespace vlm::store {

// Its value is never empty: clearing keeps an empty store (CellStore::drop_refs).
using StoreObject = Object<CellStore>;

// Adds the KeyIter class (not exported by name); 0, or -1 with an exception.
int add_key_iter(PyObject* module);
// A new iterator over the keys of `store_obj` (a CellStore in native mode),
// forwards or in reverse.
PyObject* new_key_iter(PyObject* store_obj, bool reverse = false);

}  // namespace vlm::store
