// Whole sheets: the <sheetData> element from a CellStore's records, from a
// plain dict of cells, or through the package's own row grouping. Rows come
// in ascending order, merged with the rows that exist only because they
// have row dimensions.
#include "writer/writer.h"

#include "host/names.h"
#include "store/row_cursor.h"
#include "utils/coord.h"
#include "writer/escape.h"

#include <algorithm>

namespace vlm::writer {

Result<Ref> row_attrs(PyObject* row_dims, int64_t row) {
    Ref key = Ref::steal(PyLong_FromLongLong(row));
    Ref attrs = key ? Ref::steal(PyObject_CallMethodOneArg(row_dims, NAMES.get, key.get())) : Ref();
    if (!attrs)
        return fetched();
    return attrs;
}

Result<std::optional<std::vector<int64_t>>> row_dim_keys(PyObject* row_dims) {
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(row_dims, NAMES.keys));
    Ref it = keys ? Ref::steal(PyObject_GetIter(keys.get())) : Ref();
    if (!it)
        return fetched();
    std::vector<int64_t> out;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        std::optional<int64_t> v = exact_int(key.get());
        if (!v)
            return std::nullopt;
        out.push_back(*v);
    }
    if (PyErr_Occurred())
        return fetched();
    std::ranges::sort(out);
    return out;
}

Result<void> SheetWriter::write_sheet_data(PyObject* rows_fallback) {
    Ref cells = Ref::steal(PyObject_GetAttr(ws_.get(), NAMES._cells));
    Ref row_dims = cells ? Ref::steal(PyObject_GetAttr(ws_.get(), NAMES.row_dimensions)) : Ref();
    if (!row_dims)
        return fetched();
    buf_ += "<sheetData>";
    bool done = false;
    if (store::RowCursor::walks(cells.get())) {
        std::optional<std::vector<int64_t>> dims = VLM_TRY(row_dim_keys(row_dims.get()));
        if (!dims)
            return decline("row dimension keys");
        // The keys ran Python code: the store may have left native mode.
        if (std::optional<store::RowCursor> cursor = store::RowCursor::open(cells.get(), std::move(*dims))) {
            VLM_TRY(write_store(*cursor, row_dims.get()));
            done = true;
        }
    } else if (PyDict_Check(cells.get())) {
        done = VLM_TRY(write_dict(cells.get(), row_dims.get()));
    }
    if (!done)
        VLM_TRY(write_fallback(rows_fallback, row_dims.get()));
    buf_ += "</sheetData>";
    return flush_buf();
}

// --- The package's grouping

Result<void> SheetWriter::write_fallback(PyObject* rows_fallback, PyObject* row_dims) {
    Ref rows = Ref::steal(PyObject_CallNoArgs(rows_fallback));
    Ref it = rows ? Ref::steal(PyObject_GetIter(rows.get())) : Ref();
    if (!it)
        return fetched();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        PyObject *idx, *cells;
        if (!PyArg_ParseTuple(item.get(), "OO:rows_fallback", &idx, &cells))
            return fetched();
        Ref text = Ref::steal(PyObject_Str(idx));
        Ref attrs = text ? Ref::steal(PyObject_CallMethodOneArg(row_dims, NAMES.get, idx)) : Ref();
        if (!attrs)
            return fetched();
        if (attrs.get() == Py_None) {
            Py_ssize_t n;
            const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
            if (!p)
                return fetched();
            buf_ += "<row r=\"";
            esc_attr(buf_, std::string_view(p, static_cast<size_t>(n)), lxml_);
            buf_ += "\">";
        } else {
            VLM_TRY(row_start_attrs(text.get(), attrs.get()));
        }
        VLM_TRY(write_cells(cells));
        VLM_TRY(row_end());
    }
    if (PyErr_Occurred())
        return fetched();
    return {};
}

// --- A plain dict keyed by (row, column)

Result<bool> SheetWriter::write_dict(PyObject* cells, PyObject* row_dims) {
    struct Item {
        int64_t row, column;
        Ref cell;
    };
    std::vector<Item> items;
    items.reserve(static_cast<size_t>(PyDict_Size(cells)));
    Py_ssize_t pos = 0;
    PyObject *key, *cell;
    while (PyDict_Next(cells, &pos, &key, &cell)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2)
            return false;
        std::optional<int64_t> r = exact_int(PyTuple_GET_ITEM(key, 0)), c = exact_int(PyTuple_GET_ITEM(key, 1));
        if (!r || !c)
            return false;
        items.push_back(Item{*r, *c, Ref::borrow(cell)});
    }
    std::optional<std::vector<int64_t>> dims = VLM_TRY(row_dim_keys(row_dims));
    if (!dims)
        return false;
    std::ranges::sort(items, [](const Item& a, const Item& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    size_t i = 0, d = 0;
    while (i < items.size() || d < dims->size()) {
        int64_t row = i < items.size() ? items[i].row : (*dims)[d];
        if (d < dims->size())
            row = std::min(row, (*dims)[d]);
        while (d < dims->size() && (*dims)[d] == row)
            ++d;
        Ref attrs = VLM_TRY(row_attrs(row_dims, row));
        VLM_TRY(row_start(row, attrs.get()));
        for (; i < items.size() && items[i].row == row; ++i)
            VLM_TRY(write_one(items[i].cell.get()));
        VLM_TRY(row_end());
    }
    return true;
}

}  // namespace vlm::writer
