// The sheet parser over bytes in memory, its values converted to Python only
// after the parser is gone (through the value context it hands over):
//
//   sheet_from_memory(data, chunk, parser, helpers) -> [(row, [(row, column, value, data_type, style_id)])]
//
// Captured elements and warnings go to a fresh actions list, dropped here.
#include "registry.h"
#include "sheet/parser.h"

#include <vector>

namespace vlm::testing {
namespace {

using sheet::CellRec;
using sheet::Item;

Result<Ref> rows_after_parse(std::string_view data, size_t chunk, PyObject* parser_obj, PyObject* helpers_obj) {
    Helpers helpers = VLM_TRY(Helpers::from_dict(helpers_obj));
    Settings settings = VLM_TRY(Settings::from_parser(parser_obj));
    Ref actions = Ref::steal(PyList_New(0));
    Ref dims = Ref::steal(PyDict_New());
    if (!actions || !dims)
        return std::unexpected(XmlError::fetch());
    auto parser = VLM_TRY(sheet::SheetParser::make(std::make_unique<MemorySource>(data, chunk), std::move(helpers),
                                                   std::move(settings), actions.get(), dims.get()));
    std::vector<Item> rows;
    for (;;) {
        Item item = VLM_TRY(parser->next_item());
        if (item.kind == Item::Kind::End)
            break;
        if (item.kind == Item::Kind::Row)
            rows.push_back(std::move(item));
    }
    sheet::ValueContext values = std::move(*parser).take_values();
    parser.reset();
    Ref out = Ref::steal(PyList_New(0));
    if (!out)
        return std::unexpected(XmlError::fetch());
    for (const Item& row : rows) {
        Ref cells = Ref::steal(PyList_New(0));
        if (!cells)
            return std::unexpected(XmlError::fetch());
        for (const CellRec& c : row.cells) {
            for (uint32_t k = 0; k <= c.repeats; ++k) {
                Ref value = VLM_TRY(values.to_py(c.value));
                Ref style = sheet::ValueContext::style_py(c);
                Ref t = style ? Ref::steal(Py_BuildValue("(LLOOO)", static_cast<long long>(c.row),
                                                         static_cast<long long>(c.column), value.get(),
                                                         values.dtype_py(c).get(), style.get()))
                              : Ref();
                if (!t || PyList_Append(cells.get(), t.get()) < 0)
                    return std::unexpected(XmlError::fetch());
            }
        }
        Ref pair = Ref::steal(Py_BuildValue("(LO)", static_cast<long long>(row.row), cells.get()));
        if (!pair || PyList_Append(out.get(), pair.get()) < 0)
            return std::unexpected(XmlError::fetch());
    }
    return out;
}

PyObject* sheet_from_memory(PyObject*, PyObject* args) {
    Py_buffer b;
    Py_ssize_t chunk;
    PyObject *parser, *helpers;
    if (!PyArg_ParseTuple(args, "y*nOO", &b, &chunk, &parser, &helpers))
        return nullptr;
    Result<Ref> r = rows_after_parse({static_cast<const char*>(b.buf), static_cast<size_t>(b.len)},
                                     static_cast<size_t>(chunk), parser, helpers);
    PyBuffer_Release(&b);
    return r ? r->release() : fallback_err(std::move(r).error());
}

// The parser alone, as the columnar job drives it (cells only, without the
// interpreter): how many cells, for the benchmarks' floor of the job.
PyObject* count_cells(PyObject*, PyObject* args) {
    Py_buffer b;
    PyObject* helpers_obj;
    if (!PyArg_ParseTuple(args, "y*O", &b, &helpers_obj))
        return nullptr;
    Result<Helpers> helpers = Helpers::from_dict(helpers_obj);
    if (!helpers) {
        PyBuffer_Release(&b);
        return fallback_err(std::move(helpers).error());
    }
    Settings settings;
    settings.data_only = settings.cells_only = settings.detached = true;
    settings.shared_count = SIZE_MAX;  // every index taken: no table to look in
    settings.shared_strings = Ref::borrow(Py_None);
    settings.epoch_obj = Ref::borrow(Py_None);
    auto parser = sheet::SheetParser::make(
        std::make_unique<MemorySource>(std::string_view(static_cast<const char*>(b.buf), static_cast<size_t>(b.len)),
                                       65536),
        std::move(*helpers), std::move(settings), nullptr, nullptr);
    if (!parser) {
        PyBuffer_Release(&b);
        return fallback_err(std::move(parser).error());
    }
    long long cells = 0;
    Result<void> r;
    Py_BEGIN_ALLOW_THREADS
    for (;;) {
        Item item;
        r = (*parser)->next_item(item);
        if (!r || item.kind == Item::Kind::End)
            break;
        cells += static_cast<long long>(item.cells.size());
        (*parser)->recycle(std::move(item.cells));
    }
    Py_END_ALLOW_THREADS
    parser->reset();
    PyBuffer_Release(&b);
    if (!r)
        return fallback_err(std::move(r).error());
    return PyLong_FromLongLong(cells);
}

PyMethodDef methods[] = {
    {"sheet_from_memory", sheet_from_memory, METH_VARARGS, nullptr},
    {"count_cells", count_cells, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_sheet_values(PyObject* m) { return PyModule_AddFunctions(m, methods); }

}  // namespace vlm::testing
