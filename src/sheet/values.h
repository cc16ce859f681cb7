// The value context of one worksheet: what a parsed cell value means beyond
// its own record (the shared-strings list, the date epoch, the interned
// data-type strings, the shared-formula masters), and the one conversion of
// values to Python objects. The sheet parser fills it while reading; a
// consumer that keeps values after the parse (the cell store) takes it over
// with SheetParser::take_values and needs no live parser.
#pragma once

#include "formula/translator.h"
#include "host/dt.h"
#include "host/helpers.h"
#include "sheet/cell_rec.h"

#include <optional>
#include <vector>

namespace vlm::sheet {

// A shared-formula master: the native translator, or the package's object.
struct Shared {
    std::optional<formula::Translator> native;
    Ref host;
};

class ValueContext {
public:
    [[nodiscard]] static Result<ValueContext> make(const Helpers& helpers, const Settings& settings);

    // The Python object of a value.
    [[nodiscard]] Result<Ref> to_py(const Val& v) const;
    // The same for a value kept without its record: a shared string by
    // index, a serial date under the epoch (which the caller knows is set).
    [[nodiscard]] Result<Ref> shared_string(int64_t i) const {
        // The list may have changed since the row was read: index it afresh.
        // Inline, as it runs once a cell on string sheets; a list changed or
        // replaced by the caller takes the path out of line.
        PyObject* strings = shared_strings_.get();
        if (PyList_CheckExact(strings) && i < PyList_GET_SIZE(strings)) [[likely]]
            return Ref::borrow(PyList_GET_ITEM(strings, i));
        return shared_string_item(i);
    }
    [[nodiscard]] Result<Ref> date_int(int64_t serial) const {
        return dt_.date_to_py(from_excel_int(*epoch_, serial));
    }
    [[nodiscard]] Result<Ref> date_float(double serial) const {
        return dt_.date_to_py(from_excel_float(*epoch_, serial));
    }
    // The data type and style id of a record as Python objects (new references).
    Ref dtype_py(const CellRec& c) const {
        return Ref::borrow(c.dtype_py ? c.dtype_py.get() : dt_.str(static_cast<size_t>(c.dtype)));
    }
    static Ref style_py(const CellRec& c) {
        return c.style_py ? Ref::borrow(c.style_py.get()) : Ref::steal(PyLong_FromLongLong(c.style));
    }

    // The masters, indexed as SharedChild values index them.
    size_t add_master(Shared m) {
        masters_.push_back(std::move(m));
        return masters_.size() - 1;
    }
    const Shared& master(size_t i) const noexcept { return masters_[i]; }

    PyObject* shared_strings() const noexcept { return shared_strings_.get(); }
    const std::optional<Epoch>& epoch() const noexcept { return epoch_; }
    const DT& dt() const noexcept { return dt_; }
    const Helpers& helpers() const noexcept { return helpers_; }

    template <class F>
    void visit(F&& f) const {
        helpers_.visit(f);
        f(shared_strings_.get());
        dt_.visit(f);
        for (const Shared& m : masters_)
            f(m.host.get());
    }

private:
    ValueContext(Helpers h, Ref strings, std::optional<Epoch> epoch, DT dt)
        : helpers_(std::move(h)), shared_strings_(std::move(strings)), epoch_(epoch), dt_(std::move(dt)) {}

    // A shared string the list indexed by PyObject_GetItem.
    [[nodiscard]] Result<Ref> shared_string_item(int64_t i) const;

    Helpers helpers_;
    Ref shared_strings_;
    std::optional<Epoch> epoch_;  // none: the package converts dates
    DT dt_;
    std::vector<Shared> masters_;
};

// The host exception of a formula error.
[[nodiscard]] XmlError formula_err(const Helpers& h, const formula::FormulaError& e);

}  // namespace vlm::sheet
