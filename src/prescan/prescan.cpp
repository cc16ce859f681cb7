// prescan_sheet: the entry point, the corner set, the outer walk over the
// children of the worksheet root, and the result dict.
#include "prescan/prescan.h"

#include "host/args.h"
#include "host/entry.h"
#include "host/helpers.h"
#include "host/names.h"
#include "prescan/messages.h"
#include "xml/py_namespaces.h"

#include <algorithm>

namespace vlm::prescan {

namespace {

using xml::Event;

// Each item of `corners` (None: no corners) as two signed 64-bit integers.
bool read_corners(PyObject* corners, CornerSet& out) {
    if (corners == Py_None)
        return true;
    Ref it = Ref::steal(PyObject_GetIter(corners));
    if (!it)
        return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref pair = Ref::steal(PySequence_Fast(item.get(), "corners must hold (row, column) pairs"));
        if (!pair)
            return false;
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "corners must hold (row, column) pairs");
            return false;
        }
        PyObject** rc = PySequence_Fast_ITEMS(pair.get());
        long long row = PyLong_AsLongLong(rc[0]);
        if (row == -1 && PyErr_Occurred())
            return false;
        long long column = PyLong_AsLongLong(rc[1]);
        if (column == -1 && PyErr_Occurred())
            return false;
        out.add(row, column);
    }
    if (PyErr_Occurred())
        return false;
    out.seal();
    return true;
}

// {(row, column): style text or None} of the corners found.
Result<Ref> corner_dict(const CornerSet& corners) {
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return fetched();
    for (const CornerSet::Corner& c : corners.items()) {
        if (!c.found)
            continue;
        Ref key = Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(c.row), static_cast<long long>(c.column)));
        Ref style = !key ? Ref()
                    : c.style ? Ref::steal(PyUnicode_DecodeUTF8(c.style->data(),
                                                                static_cast<Py_ssize_t>(c.style->size()), "strict"))
                              : Ref::borrow(Py_None);
        if (!style || PyDict_SetItem(d.get(), key.get(), style.get()) < 0)
            return fetched();
    }
    return d;
}

constexpr Signature<4> PRESCAN_ARGS{"prescan_sheet",
                                  {&NAMES.source, &NAMES.want_rows, &NAMES.corners, &NAMES.helpers},
                                  {"source", "want_rows", "corners", "helpers"},
                                  4};

PyObject* prescan_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!PRESCAN_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    if (!PyBool_Check(a[1]))
        return PRESCAN_ARGS.type_error(1, "bool", a[1]), nullptr;
    if (!PyDict_Check(a[3]))
        return PRESCAN_ARGS.type_error(3, "dict", a[3]), nullptr;
    Result<Ref> row_index = lookup_helper(a[3], "row_index");
    if (!row_index)
        return fallback_err(std::move(row_index).error());
    CornerSet corners;
    if (!read_corners(a[2], corners))
        return nullptr;
    return xml::read_file(a[0], [&](xml::Reader& r) {
        SheetScan scan(r, row_index->get(), a[1] == Py_True, corners);
        return scan.run();
    });
}

PyMethodDef prescan_def[] = {
    {"prescan_sheet", method<prescan_sheet>(), METH_FASTCALL | METH_KEYWORDS,
     "prescan_sheet(source, want_rows, corners, helpers)\n--\n\n"
     "One fast pass over a worksheet part: the elements before and after its sheetData "
     "(head, tail), the attributes of rows that carry row dimensions (rows, if want_rows) "
     "and the style text of the corner cells asked for (corners)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void CornerSet::seal() {
    auto key = [](const Corner& c) { return std::pair(c.row, c.column); };
    std::ranges::sort(items_, {}, key);
    auto dup = std::ranges::unique(items_, {}, key);
    items_.erase(dup.begin(), dup.end());
    rows_.clear();
    for (const Corner& c : items_) {
        if (rows_.empty() || rows_.back() != c.row)
            rows_.push_back(c.row);
    }
}

bool CornerSet::has_row(int64_t row) const noexcept { return std::ranges::binary_search(rows_, row); }

CornerSet::Corner* CornerSet::find(int64_t row, int64_t column) noexcept {
    auto it = std::ranges::lower_bound(items_, std::pair(row, column), {},
                                       [](const Corner& c) { return std::pair(c.row, c.column); });
    return it != items_.end() && it->row == row && it->column == column ? &*it : nullptr;
}

namespace {

// The collector off while rows are reported: each is a few new objects
// that hold no cycle, and collections triggered by their number would walk
// every object the program keeps, again and again.
struct CollectorPause {
    bool was_on = false;
    explicit CollectorPause(bool pause) noexcept : was_on(pause && PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_on)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
};

}  // namespace

Result<Ref> SheetScan::run() {
    CollectorPause pause(want_rows_);
    head_ = Ref::steal(PyList_New(0));
    tail_ = head_ ? Ref::steal(PyList_New(0)) : Ref();
    rows_ = tail_ ? Ref::steal(PyList_New(0)) : Ref();
    if (!rows_)
        return fetched();
    bool scanned = false;
    for (;;) {
        Event ev = VLM_TRY(r_.next());
        if (ev == Event::Eof)
            break;
        // Children of the root are read whole, so only the root and its
        // children open here.
        if ((ev != Event::Start && ev != Event::Empty) || r_.depth() == 1)
            continue;
        if (scanned || r_.ns() != xml::NS_MAIN || r_.local() != "sheetData") {
            VLM_TRY(capture(scanned ? tail_.get() : head_.get()));
            continue;
        }
        scanned = true;
        // The walk knows its tags by their bytes: unprefixed names of the
        // main namespace.
        if (r_.qname() != "sheetData" || r_.default_ns() != xml::NS_MAIN)
            return unsupported(msg::PREFIXED_SHEET_DATA);
        if (ev == Event::Start)
            VLM_TRY(sheet_data());
        VLM_TRY(r_.next());  // its end tag, read and checked by the reader
    }
    Ref corners = VLM_TRY(corner_dict(corners_));
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), NAMES.head, head_.get()) < 0 ||
        PyDict_SetItem(d.get(), NAMES.tail, tail_.get()) < 0 || PyDict_SetItem(d.get(), NAMES.rows, rows_.get()) < 0 ||
        PyDict_SetItem(d.get(), NAMES.corners, corners.get()) < 0)
        return fetched();
    return d;
}

// The element just opened, whole, with the namespaces in force around it.
Result<void> SheetScan::capture(PyObject* into) {
    r_.begin_capture();
    if (!VLM_TRY(r_.read_through(r_.depth())))
        return malformed(msg::UNEXPECTED_EOF);
    std::string bytes = VLM_TRY(r_.end_capture());
    Ref namespaces = VLM_TRY(xml::namespace_list(r_));
    Ref data = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    Ref pair = data ? Ref::steal(PyTuple_Pack(2, data.get(), namespaces.get())) : Ref();
    if (!pair || PyList_Append(into, pair.get()) < 0)
        return fetched();
    return {};
}

// Added as a module function, so that it reports its module like any other.
int add_prescan_sheet(PyObject* module) { return PyModule_AddFunctions(module, prescan_def); }

}  // namespace vlm::prescan
