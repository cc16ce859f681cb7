// The full-mode loader (loader.h): the same sheet parser and the same
// actions entries as the streaming reader, with the store as the consumer.
#include "store/loader.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/names.h"
#include "sheet/actions.h"
#include "store/store_type.h"

namespace vlm {

namespace {

using sheet::Item;

constexpr Signature<8> BIND_ARGS{
    "bind_cells",
    {&NAMES.source, &NAMES.parser, &NAMES.ws, &NAMES.store, &NAMES.cell_styles, &NAMES.cell_cls, &NAMES.helpers,
     &NAMES.actions},
    {"source", "parser", "ws", "store", "cell_styles", "cell_cls", "helpers", "actions"},
    8};

struct BindArgs {
    PyObject *source, *parser, *ws, *store, *cell_styles, *cell_cls, *helpers, *actions;
};

Result<void> read_cells(sheet::SheetParser& parser, store::CellStore& store, PyObject* actions) {
    for (;;) {
        Item item = VLM_TRY(parser.next_item());
        if (item.kind == Item::Kind::End)
            return {};
        if (item.kind == Item::Kind::Element) {
            VLM_TRY(sheet::append_element(actions, item));
            continue;
        }
        // The row's own number is not kept: every cell carries its place.
        for (sheet::CellRec& c : item.cells)
            VLM_TRY(store.place_record(std::move(c), parser.values()));
        parser.recycle(std::move(item.cells));
    }
}

Result<void> load(const BindArgs& a) {
    Helpers helpers = VLM_TRY(Helpers::from_dict(a.helpers));
    Settings settings = VLM_TRY(Settings::from_parser(a.parser));
    Ref dims = Ref::steal(PyObject_GetAttr(a.parser, NAMES.row_dimensions));
    if (!dims)
        return std::unexpected(XmlError::fetch());
    if (!PyDict_Check(dims.get())) {
        PyErr_Format(PyExc_TypeError, "row_dimensions must be a dict, not %T", dims.get());
        return std::unexpected(XmlError::fetch());
    }
    auto parser = VLM_TRY(sheet::SheetParser::make(std::make_unique<PyFileSource>(a.source), std::move(helpers),
                                                   std::move(settings), a.actions, dims.get()));
    if (!check_cell_store(a.store))
        return std::unexpected(XmlError::fetch());
    Borrowed<store::CellStore> borrow(a.store, BorrowGuard::Mode::Exclusive);
    if (!borrow)
        return std::unexpected(XmlError::fetch());
    store::CellStore& store = *borrow;
    // A load that fails partway (bad input, memory running out as an
    // exception or as a Python MemoryError) may leave a half-placed record
    // behind: the store is emptied rather than handed back in that state.
    Result<void> done;
    try {
        done = store.begin_loading(a.ws, a.cell_styles, a.cell_cls);
        if (done)
            done = read_cells(*parser, store, a.actions);
        if (done)
            store.finish_loading(std::move(*parser).take_values());
    } catch (...) {
        raise_cpp_exception();
        done = fetched();
    }
    if (!done)
        store.abandon_loading();
    return done;
}

PyObject* bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[8] = {};
    if (!BIND_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, v))
        return nullptr;
    BindArgs a{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
    if (!PyType_Check(a.cell_cls))
        return BIND_ARGS.type_error(5, "type", a.cell_cls), nullptr;
    if (!PyDict_Check(a.helpers))
        return BIND_ARGS.type_error(6, "dict", a.helpers), nullptr;
    if (!PyList_Check(a.actions))
        return BIND_ARGS.type_error(7, "list", a.actions), nullptr;
    if (Result<void> r = load(a); !r)
        return fallback_err(std::move(r).error());
    Py_RETURN_NONE;
}

PyMethodDef bind_cells_def[] = {
    {"bind_cells", method<bind_cells>(),
     METH_FASTCALL | METH_KEYWORDS,
     "bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)\n--\n\n"
     "Read every cell of a worksheet part into the CellStore `store`, without "
     "creating Cell objects; captured elements and warnings are appended to "
     "`actions` in document order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_bind_cells(PyObject* module) { return PyModule_AddFunctions(module, bind_cells_def); }

}  // namespace vlm
