// The Python classes CellStore (the mapping the package installs as a
// worksheet's dict of cells) and KeyIter (its key iterator), over the native
// store of store.h. Every method takes the instance's borrow: shared for the
// pure reads, exclusive for anything that may materialise or change cells.
#pragma once

#include "host/pytype.h"
#include "store/store_iter.h"

namespace vlm {

// Adds CellStore (and its iterator class) to the module; 0, or -1 with an
// exception set.
int add_cell_store(PyObject* module);

// Whether `obj` is a CellStore of this module (or of a subclass), for a job
// that then takes its borrow (Borrowed<CellStore>): false with TypeError
// "expected a CellStore, not T" otherwise.
bool check_cell_store(PyObject* obj);

// The object when `obj` is a CellStore of this module (or of a subclass), for
// a job that borrows it only for each access; null (no exception) for any
// other object.
store::StoreObject* cell_store_of(PyObject* obj) noexcept;

}  // namespace vlm
