// RowReader: the sheet parser driven one item at a time, rows handed to the
// package as raw tuples or as the streamed worksheet's tuples of cells or
// values. The Python object holds one State (host/pytype.h): clearing drops
// it whole, and traversal walks the same objects through State::visit.
#include "sheet/row_reader.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/cell_slots.h"
#include "host/error.h"
#include "host/helpers.h"
#include "host/names.h"
#include "host/pytype.h"
#include "sheet/actions.h"
#include "sheet/messages.h"
#include "sheet/parser.h"

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace vlm {

namespace {

using sheet::CellRec;
using sheet::Item;
using sheet::SheetParser;

// Items become visible per block of this many source bytes.
constexpr uint64_t BLOCK = 16384;

struct Queued {
    Item item;
    uint64_t offset = 0;  // source offset just past the item's last byte
};

struct State {
    std::unique_ptr<SheetParser> parser;
    Ref actions;
    std::deque<Queued> ready;
    bool ended = false;
    // A parser error leaves the parser mid-element: later calls raise it
    // again rather than read on from an undefined point.
    Ref failed;
    std::optional<CellSlots> cells;  // of the last cell class asked for
    Ref row_int;  // the Python int of the last row number handed out
    int64_t row_int_value = 0;

    template <class F>
    void visit(F&& f) const {
        parser->visit(f);
        f(actions.get());
        for (const Queued& q : ready)
            q.item.visit(f);
        f(failed.get());
        if (cells)
            cells->visit(f);
        f(row_int.get());
    }
};

// Cleared (by the collector), the reader says so to every later call.
using RowReaderObject = Object<State>;

// The exception a parse error becomes for the package: the engine's own
// NativeFallback as it is; any other exception (a helper's) wrapped in one
// whose message names it, with the original kept as its cause. An exception
// that is not an Exception (KeyboardInterrupt, SystemExit) is the user's or
// the interpreter's, not the input's: it passes through, or the package would
// quietly start the job again in Python. So does MemoryError: memory ran
// out on this machine, and the package's reading would need it too.
Ref to_fallback(XmlError&& e) {
    fallback_err(std::move(e));
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* nf = native_fallback_type();
    if (!nf || !exc)
        return Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(exc.get(), nf) || !PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception) ||
        PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError))
        return exc;
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(exc.get())));
    if (!name)
        return Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) {
        PyErr_Clear();
        text = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
    }
    Ref msg = text ? Ref::steal(PyUnicode_FromFormat("native reader error: %U: %U", name.get(), text.get()))
                   : Ref();
    Ref wrapped = msg ? Ref::steal(PyObject_CallOneArg(nf, msg.get())) : Ref();
    if (!wrapped)
        return Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(wrapped.get(), Ref::borrow(exc.get()).release());
    PyException_SetCause(wrapped.get(), exc.release());
    return wrapped;
}

// The next item in the order and at the points of source consumption of the
// 16 KiB release rule, left at the front of the queue for the caller to use
// and pop (items are not moved on their way out); nullptr once the document
// has ended and all is out.
Result<Item*> next_ready(State& s) {
    for (;;) {
        if (!s.ready.empty()) {
            uint64_t at = s.ready.front().offset;
            if (s.ended || s.parser->offset() >= at - at % BLOCK + BLOCK)
                return &s.ready.front().item;
        } else if (s.ended) {
            return nullptr;
        }
        // Parsed in place at the back of the queue. Memory running out
        // leaves the parser mid-element, like a parse error.
        Result<void> r = catch_alloc([&]() -> Result<void> { return s.parser->next_item(s.ready.emplace_back().item); });
        if (!r) {
            // What was read before the error is not handed out.
            s.ready.clear();
            s.failed = to_fallback(std::move(r).error());
            return std::unexpected(XmlError::source(Ref::borrow(s.failed.get())));
        }
        if (s.ready.back().item.kind == Item::Kind::End) {
            s.ready.pop_back();
            s.ended = true;
        } else {
            s.ready.back().offset = s.parser->offset();
        }
    }
}

// The next row, at the front of the queue, with the elements before it and
// its warnings moved to `actions`; nullptr at the end of the document. An
// element is used up even when moving it fails, as is a row whose warnings
// cannot be moved.
Result<Item*> next_row_item(State& s) {
    if (s.failed)
        return std::unexpected(XmlError::source(Ref::borrow(s.failed.get())));
    for (;;) {
        Item* item = VLM_TRY(next_ready(s));
        if (!item)
            return nullptr;
        Result<void> moved;
        if (item->kind == Item::Kind::Element) {
            moved = sheet::append_element(s.actions.get(), *item);
            s.ready.pop_front();
            VLM_TRY(std::move(moved));
            continue;
        }
        for (const Ref& w : item->warnings) {
            moved = sheet::append_warning(s.actions.get(), w.get());
            if (!moved) {
                s.ready.pop_front();
                return std::unexpected(std::move(moved).error());
            }
        }
        return item;
    }
}

// A tuple of values only (numbers, texts, dates, None) can never be part of
// a reference cycle: the collector itself stops tracking such tuples when it
// first meets them. Doing it when the row is made spares a caller that keeps
// a million values the collector's passes over them.
bool atomic(PyObject* o) {
    return !PyObject_IS_GC(o) || (PyTuple_CheckExact(o) && !PyObject_GC_IsTracked(o));
}

void untrack_if_atomic(PyObject* tuple) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i) {
        if (!atomic(PyTuple_GET_ITEM(tuple, i)))
            return;
    }
    PyObject_GC_UnTrack(tuple);
}

// The Python int of a row number; consecutive uses of one number share it.
Result<Ref> row_number(State& s, int64_t row) {
    if (!s.row_int || s.row_int_value != row) {
        Ref n = Ref::steal(PyLong_FromLongLong(row));
        if (!n)
            return fetched();
        s.row_int = std::move(n);
        s.row_int_value = row;
    }
    return Ref::borrow(s.row_int.get());
}

// The raw list of a row: (row, column, value, data_type, style_id) a cell,
// a record that stands for repeats of its cell given once for each.
Result<Ref> raw_list(State& s, const Item& item) {
    const SheetParser& p = *s.parser;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(item.cells.size() + item.repeats)));
    if (!list)
        return fetched();
    Py_ssize_t i = 0;
    for (const CellRec& c : item.cells) {
        for (uint64_t k = 0; k <= c.repeats; ++k) {
            Ref row = VLM_TRY(row_number(s, c.row));
            Ref value = VLM_TRY(p.values().to_py(c.value));
            Ref col = Ref::steal(PyLong_FromLongLong(c.column));
            Ref style = col ? sheet::ValueContext::style_py(c) : Ref();
            PyObject* t = style ? PyTuple_New(5) : nullptr;
            if (!t)
                return fetched();
            PyTuple_SET_ITEM(t, 0, row.release());
            PyTuple_SET_ITEM(t, 1, col.release());
            PyTuple_SET_ITEM(t, 2, value.release());
            PyTuple_SET_ITEM(t, 3, p.values().dtype_py(c).release());
            PyTuple_SET_ITEM(t, 4, style.release());
            PyList_SET_ITEM(list.get(), i++, t);
        }
    }
    return list;
}

// (idx, build(row)) for the next row, or None at the end.
template <class Build>
PyObject* hand_out(State& s, Build&& build) {
    Result<Item*> next = next_row_item(s);
    if (!next)
        return fallback_err(std::move(next).error());
    if (!*next)
        Py_RETURN_NONE;
    // The row stays at the front of the queue while it is built (the reader
    // is borrowed: nothing else can reach the queue meanwhile) and is used up
    // whether or not building succeeds.
    Item& item = **next;
    Result<Ref> row = build(item);
    int64_t row_no = item.row;
    s.parser->recycle(std::move(item.cells));
    s.ready.pop_front();
    Result<Ref> idx = row ? row_number(s, row_no) : std::unexpected(std::move(row).error());
    if (!idx)
        return fallback_err(std::move(idx).error());
    PyObject* out = PyTuple_New(2);
    if (!out)
        return nullptr;
    PyTuple_SET_ITEM(out, 0, idx->release());
    PyTuple_SET_ITEM(out, 1, row->release());
    // The index is an int: the pair is atomic when the row is.
    if (atomic(PyTuple_GET_ITEM(out, 1)))
        PyObject_GC_UnTrack(out);
    return out;
}

PyObject* next_raw(PyObject* self, PyObject*) {
    Borrowed<State> b(self, BorrowGuard::Mode::Exclusive);
    if (!b)
        return nullptr;
    return hand_out(*b, [&](const Item& item) { return raw_list(*b, item); });
}

// --- next_row --------------------------------------------------------------

struct RowArgs {
    PyObject* ws;
    int64_t min_col;
    std::optional<int64_t> max_col;  // none: None or 0
    bool values_only;
    PyObject* cell_cls;
    PyObject* filler;
    PyObject* extra_none;  // None or a sequence of str
};

constexpr Signature<7> ROW_ARGS{
    "next_row",
    {&NAMES.ws, &NAMES.min_col, &NAMES.max_col, &NAMES.values_only, &NAMES.cell_cls, &NAMES.filler,
     &NAMES.extra_none},
    {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none"},
    6};

// A column argument as a 64-bit number; the package's arithmetic on larger
// ints is left to it.
bool column_arg(size_t i, PyObject* o, int64_t& out) {
    if (!PyLong_Check(o))
        return ROW_ARGS.type_error(i, "int", o);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow) {
        PyErr_Format(native_fallback_type(), "unsupported: %s", sheet::msg::COLUMN_INDEX);
        return false;
    }
    out = v;
    return true;
}

bool parse_row_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, RowArgs& a) {
    PyObject* slots[7] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, Py_None};
    if (!ROW_ARGS.parse(args, nargs, kwnames, slots))
        return false;
    a.ws = slots[0];
    if (!column_arg(1, slots[1], a.min_col))
        return false;
    a.max_col.reset();
    if (slots[2] != Py_None) {
        int64_t m = 0;
        if (!column_arg(2, slots[2], m))
            return false;
        if (m != 0)
            a.max_col = m;
    }
    if (!PyBool_Check(slots[3]))
        return ROW_ARGS.type_error(3, "bool", slots[3]);
    a.values_only = slots[3] == Py_True;
    if (!PyType_Check(slots[4]))
        return ROW_ARGS.type_error(4, "type", slots[4]);
    a.cell_cls = slots[4];
    a.filler = slots[5];
    a.extra_none = slots[6];
    return check_extra_names(a.extra_none);
}

// The slot table for `cls`, made on first use and whenever the class or the
// extra names change.
Result<const CellSlots*> cell_slots(State& s, PyObject* cls, PyObject* extra) {
    bool formulas = s.parser->settings().formula_and_value;
    if (!s.cells || !s.cells->matches(cls, extra, formulas)) {
        s.cells.reset();
        s.cells.emplace(VLM_TRY(CellSlots::make(cls, extra, formulas)));
    }
    return &*s.cells;
}

// One cell object, made without calling its constructor.
Result<Ref> make_cell(State& s, const CellSlots& cs, const RowArgs& a, const CellRec& c, Ref value) {
    const SheetParser& p = *s.parser;
    CellFields f;
    f.row = VLM_TRY(row_number(s, c.row));
    f.column = Ref::steal(PyLong_FromLongLong(c.column));
    f.style_id = f.column ? sheet::ValueContext::style_py(c) : Ref();
    if (!f.style_id)
        return fetched();
    f.data_type = p.values().dtype_py(c);
    if (cs.formulas()) {
        f.formula = c.is_formula ? Ref::borrow(value.get()) : Ref::borrow(Py_None);
        f.cached_value = c.cached ? VLM_TRY(p.values().to_py(*c.cached)) : Ref::borrow(value.get());
    }
    f.value = std::move(value);
    return cs.make_cell(a.ws, std::move(f));
}

// Whether the cells fill columns min_col to min_col + n - 1 one each, in
// order: then no slot keeps the filler and none is written twice.
bool dense(const std::vector<CellRec>& cells, int64_t min_col, Py_ssize_t n) {
    if (cells.size() != static_cast<size_t>(n))
        return false;
    for (const CellRec& c : cells) {
        if (c.column != min_col++)
            return false;
    }
    return true;
}

// The values of a dense row (see dense) straight into the empty slots of
// `out`; numbers and shared strings are made here, the rest by the value context.
// A slot left empty by an error is fine: the tuple is dropped with it.
Result<Ref> dense_values(State& s, Ref out, const std::vector<CellRec>& cells) {
    PyObject* strings = s.parser->values().shared_strings();
    Py_ssize_t n_strings = PyList_CheckExact(strings) ? PyList_GET_SIZE(strings) : 0;
    bool all_atomic = true;
    Py_ssize_t i = 0;
    for (const CellRec& c : cells) {
        PyObject* o;
        if (c.value.kind == sheet::Val::Kind::Float) {
            o = PyFloat_FromDouble(c.value.f);
        } else if (c.value.kind == sheet::Val::Kind::Int) {
            o = PyLong_FromLongLong(c.value.i);
        } else if (c.value.kind == sheet::Val::Kind::SharedString && c.value.i < n_strings &&
                   PyUnicode_CheckExact(PyList_GET_ITEM(strings, c.value.i))) {
            o = Py_NewRef(PyList_GET_ITEM(strings, c.value.i));
        } else {
            o = VLM_TRY(s.parser->values().to_py(c.value)).release();
            all_atomic = all_atomic && atomic(o);
        }
        if (!o)
            return fetched();
        PyTuple_SET_ITEM(out.get(), i++, o);
    }
    if (all_atomic)
        PyObject_GC_UnTrack(out.get());
    return out;
}

// The row tuple of the read-only worksheet (see next_row).
Result<Ref> row_tuple(State& s, const RowArgs& a, const Item& item) {
    if (item.cells.empty() && !a.max_col)
        return Ref::steal(PyTuple_New(0));
    int64_t last = a.max_col ? *a.max_col : item.cells.back().column;
    __int128 width = static_cast<__int128>(last) + 1 - a.min_col;
    if (width < 0)
        width = 0;
    if (width > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*))) {
        PyErr_NoMemory();
        return fetched();
    }
    auto n = static_cast<Py_ssize_t>(width);
    Ref out = Ref::steal(PyTuple_New(n));
    if (!out)
        return fetched();
    if (a.values_only && dense(item.cells, a.min_col, n))
        return dense_values(s, std::move(out), item.cells);
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(out.get(), i, Py_NewRef(a.filler));
    const CellSlots* cs = nullptr;
    if (!a.values_only)
        cs = VLM_TRY(cell_slots(s, a.cell_cls, a.extra_none));
    for (const CellRec& c : item.cells) {
        if (c.column < a.min_col || c.column > last)
            continue;
        Ref value = VLM_TRY(s.parser->values().to_py(c.value));
        if (cs)
            value = VLM_TRY(make_cell(s, *cs, a, c, std::move(value)));
        PyObject** slot = &PyTuple_GET_ITEM(out.get(), static_cast<Py_ssize_t>(c.column - a.min_col));
        PyObject* old = *slot;
        *slot = value.release();
        Py_DECREF(old);
    }
    untrack_if_atomic(out.get());
    return out;
}

PyObject* next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Borrowed<State> b(self, BorrowGuard::Mode::Exclusive);
    if (!b)
        return nullptr;
    RowArgs a{};
    if (!parse_row_args(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    return hand_out(*b, [&](const Item& item) { return row_tuple(*b, a, item); });
}

// --- the type --------------------------------------------------------------

Result<State> make_state(PyObject* source, PyObject* parser, PyObject* helpers_obj) {
    Helpers helpers = VLM_TRY(Helpers::from_dict(helpers_obj));
    Settings settings = VLM_TRY(Settings::from_parser(parser));
    State s;
    s.actions = Ref::steal(PyList_New(0));
    if (!s.actions)
        return fetched();
    Ref dims = Ref::steal(PyObject_GetAttr(parser, NAMES.row_dimensions));
    if (!dims)
        return fetched();
    if (!PyDict_Check(dims.get())) {
        PyErr_Format(PyExc_TypeError, "row_dimensions must be a dict, not %T", dims.get());
        return fetched();
    }
    s.parser = VLM_TRY(SheetParser::make(std::make_unique<PyFileSource>(source), std::move(helpers),
                                          std::move(settings), s.actions.get(), dims.get()));
    s.parser->defer_warnings();
    return s;
}

constexpr Signature<3> NEW_ARGS{
    "RowReader", {&NAMES.source, &NAMES.parser, &NAMES.helpers}, {"source", "parser", "helpers"}, 3};

PyObject* row_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    if (!NEW_ARGS.parse(args, kwargs, a))
        return nullptr;
    PyObject *source = a[0], *parser = a[1], *helpers = a[2];
    if (!PyDict_Check(helpers))
        return NEW_ARGS.type_error(2, "dict", helpers), nullptr;
    Result<State> state = make_state(source, parser, helpers);
    if (!state)
        return fallback_err(std::move(state).error());
    return new_object(type, std::move(*state));
}

PyObject* get_actions(PyObject* self, void*) {
    const std::optional<State>& s = RowReaderObject::of(self)->value;
    if (!s) {
        PyErr_SetString(PyExc_ValueError, "RowReader has been cleared");
        return nullptr;
    }
    return Py_NewRef(s->actions.get());
}

PyMethodDef row_reader_methods[] = {
    {"next_raw", method<next_raw>(), METH_NOARGS,
     "next_raw()\n--\n\n(idx, [(row, column, value, data_type, style_id), ...]) or None"},
    {"next_row", method<next_row>(),
     METH_FASTCALL | METH_KEYWORDS,
     "next_row(ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "The next row of the source: (row, values) or (row, cells) as the streamed worksheet hands them out"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef row_reader_getset[] = {
    {"actions", get_actions, nullptr, "Captured elements and warnings, in document order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot row_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("Streaming row reader behind StreamedWorksheet.")},
    {Py_tp_new, slot<row_reader_new>()},
    VLM_OBJECT_SLOTS(State),
    {Py_tp_methods, row_reader_methods},
    {Py_tp_getset, row_reader_getset},
    {0, nullptr},
};

PyType_Spec row_reader_spec = {
    "_vellum.RowReader",
    sizeof(RowReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    row_reader_slots,
};

}  // namespace

int add_row_reader(PyObject* module) { return add_type(module, row_reader_spec); }

}  // namespace vlm
