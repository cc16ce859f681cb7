// The Python classes CellStore (the mapping the package installs as a
// worksheet's dict of cells) and KeyIter (its key iterator), over the native
// store of store.h. Every method takes the instance's borrow: shared for the
// pure reads, exclusive for anything that may materialise or change cells.
#pragma once

#include "host/pytype.h"
#include "store/store.h"

namespace vlm {

// Adds CellStore (and its iterator class) to the module; 0, or -1 with an
// exception set.
int add_cell_store(PyObject* module);

// A CellStore instance (or one of a subclass) held exclusively for a whole
// job, such as a load. False with TypeError when `obj` is no CellStore of
// this module, or with RuntimeError "Already borrowed" when it is in use.
// The native store inside `obj` when it is a CellStore of this module (or
// of a subclass), with its borrow flag, for a job that borrows it only for
// each access; nothing (no exception) for any other object.
struct StoreView {
    int* borrowed;
    store::CellStore* store;
};
std::optional<StoreView> store_view(PyObject* obj) noexcept;

class StoreBorrow {
public:
    explicit StoreBorrow(PyObject* obj);
    explicit operator bool() const noexcept { return store_ != nullptr; }
    store::CellStore& store() const noexcept { return *store_; }

private:
    std::optional<BorrowGuard> guard_;
    store::CellStore* store_ = nullptr;
};

}  // namespace vlm
