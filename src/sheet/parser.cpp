// The element walk of a worksheet part: top-level elements are captured,
// rows of sheetData are read into cell records.
#include "sheet/parser.h"

#include "utils/coord.h"
#include "xml/py_namespaces.h"

#include <array>
#include <charconv>

namespace vlm::sheet {

namespace {

using xml::Event;

bool is_open(Event ev) noexcept { return ev == Event::Start || ev == Event::Empty; }

constexpr std::array<std::string_view, 22> DISPATCH = {
    "col", "row", "sheetProtection", "extLst", "conditionalFormatting", "legacyDrawing",
    "rowBreaks", "colBreaks", "printOptions", "pageMargins", "pageSetup", "headerFooter",
    "autoFilter", "dataValidations", "sheetPr", "sheetViews", "sheetFormatPr", "scenarios",
    "tableParts", "hyperlinks", "mergeCells", "customSheetViews",
};

// Every attribute of the current tag, keyed as the package keys them.
Result<Ref> attr_dict(const xml::Reader& r) {
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return fetched();
    for (const xml::Attr& a : r.attrs()) {
        Ref k = py_str(r.attr_key(a));
        Ref v = k ? py_str(r.attr_value(a)) : Ref();
        if (!v || PyDict_SetItem(d.get(), k.get(), v.get()) < 0)
            return fetched();
    }
    return d;
}

// A row or column number a helper gave. The package keeps numbers of any
// size, the engine's positions are 64 bits: a larger one (a damaged or
// hostile sheet) is declined with `too_big`, not an OverflowError the
// package never raised.
Result<long long> int64_of(PyObject* v, const char* too_big) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow)
        return unsupported(too_big);
    if (n == -1 && PyErr_Occurred())
        return fetched();
    return n;
}

}  // namespace

bool forbid_dispatch(uint32_t ns, std::string_view local) noexcept {
    if (ns != xml::NS_MAIN)
        return false;
    for (std::string_view n : DISPATCH) {
        if (n.size() == local.size() && n == local)
            return true;
    }
    return false;
}

SheetParser::SheetParser(std::unique_ptr<ByteSource> source, Helpers h, Settings s, ValueContext v,
                         PyObject* actions, PyObject* rd)
    : src_(std::move(source)),
      reader_(*src_),
      helpers_(std::move(h)),
      settings_(std::move(s)),
      values_(std::move(v)),
      text_ctx_(helpers_),
      actions_(Ref::borrow(actions)),
      row_dims_(Ref::borrow(rd)) {
    if (settings_.detached)
        text_ctx_.detach();
}

Result<std::unique_ptr<SheetParser>> SheetParser::make(std::unique_ptr<ByteSource> source, Helpers helpers,
                                                       Settings settings, PyObject* actions,
                                                       PyObject* row_dimensions) {
    ValueContext values = VLM_TRY(ValueContext::make(helpers, settings));
    return std::unique_ptr<SheetParser>(new SheetParser(std::move(source), std::move(helpers), std::move(settings),
                                                        std::move(values), actions, row_dimensions));
}

Result<void> SheetParser::next_item(Item& out) {
    for (;;) {
        if (in_sheet_data_ && reader_.depth() == 2 && reader_.at_boundary() && quick_row_start())
            return row_cells(false, out);
        Event ev = VLM_TRY(reader_.next());
        if (ev == Event::Eof)
            return {};
        if (ev == Event::End) {
            if (in_sheet_data_ && reader_.depth() == 1)
                in_sheet_data_ = false;
            continue;
        }
        if (!is_open(ev))
            continue;
        size_t depth = reader_.depth();
        if (depth == 1)
            continue;
        bool main = reader_.ns() == xml::NS_MAIN;
        if (depth == 2) {
            if (main && reader_.local() == "sheetData") {
                if (ev == Event::Empty)
                    VLM_TRY(reader_.next());
                else
                    in_sheet_data_ = true;
                continue;
            }
            return capture_checked(out);
        }
        if (depth == 3 && in_sheet_data_) {
            if (main && reader_.local() == "row")
                return parse_row(out);
            return capture_checked(out);
        }
        return unsupported("unexpected nesting");
    }
}

Result<void> SheetParser::capture_checked(Item& item) {
    size_t depth = reader_.depth();
    if (settings_.cells_only) {
        // Read through and checked as any element is, but not kept.
        item.kind = Item::Kind::Element;
        return text::skip_checked(reader_, [](uint32_t, std::string_view) { return false; });
    }
    reader_.begin_capture();
    if (!VLM_TRY(reader_.read_through(depth)))
        return malformed(msg::UNEXPECTED_EOF);
    item.kind = Item::Kind::Element;
    item.bytes = VLM_TRY(reader_.end_capture());
    item.namespaces = VLM_TRY(xml::namespace_list(reader_));
    return {};
}

Result<Ref> SheetParser::call(Helper h, PyObject* arg) const {
    VLM_TRY(need_interpreter());
    Ref res = Ref::steal(PyObject_CallOneArg(helpers_.get(h), arg));
    if (!res)
        return fetched();
    return res;
}

Result<void> SheetParser::row_attrs(bool& other) {
    std::optional<std::string> r;
    for (const xml::Attr& a : reader_.attrs()) {
        if (a.ns != xml::NS_NONE)
            continue;
        std::string_view name = reader_.view(a.local);
        if (name == "r")
            r = reader_.attr_value(a);
        else if (name != "spans")
            other = true;
    }
    if (!r) {
        VLM_TRY(pos_.start_next_row());
    } else if (auto n = plain_int(*r); n && Position::valid_row(*n)) {
        pos_.start_row(*n);
    } else {
        VLM_TRY(need_interpreter());
        Ref s = py_str(*r);
        if (!s)
            return fetched();
        Ref v = VLM_TRY(call(Helper::RowIndex, s.get()));
        pos_.start_row(VLM_TRY(int64_of(v.get(), "row number beyond 64 bits")));
    }
    return {};
}

Result<void> SheetParser::parse_row(Item& item) {
    bool empty = reader_.at_boundary() == false;
    bool other = false;
    VLM_TRY(row_attrs(other));
    if (other && !settings_.cells_only) {
        Ref d = VLM_TRY(attr_dict(reader_));
        Ref key = Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(pos_.row())));
        if (!key || PyDict_SetItem(row_dims_.get(), key.get(), d.get()) < 0)
            return fetched();
    }
    return row_cells(empty, item);
}

// The cells of the row just entered, up to and including its end tag.
Result<void> SheetParser::row_cells(bool empty, Item& item) {
    item.kind = Item::Kind::Row;
    item.row = pos_.row();
    item.repeats = 0;
    warnings_.clear();
    if (empty) {
        VLM_TRY(reader_.next());
        return {};
    }
    size_t depth = reader_.depth();
    auto finish = [&]() -> Result<void> {
        row_cells_ = item.cells.size();
        item.warnings = std::move(warnings_);
        warnings_.clear();
        return {};
    };
    // Cells whose `v` and `f` are the main namespace's by default can be
    // read from the bytes; a rich-text reading goes through events.
    bool fast = !settings_.rich_text && reader_.default_ns() == xml::NS_MAIN;
    if (!sink_ && !spare_.empty()) {
        item.cells = std::move(spare_.back());
        spare_.pop_back();
    }
    if (!sink_)
        item.cells.reserve(row_cells_);
    // A cell read: kept in the row (folded into the one before when it
    // repeats it), or handed to the sink and its record cleared for the next.
    auto next_record = [&]() -> CellRec& { return sink_ ? sink_record_ : item.cells.emplace_back(); };
    auto taken = [&](CellRec& c) -> Result<void> {
        if (!sink_) {
            item.repeats += collapse_repeat(item.cells);
            return {};
        }
        Result<void> r = sink_->cell(c);
        c.clear();
        return r;
    };
    for (;;) {
        if (fast) {
            // An end tag is no cell: the row's own is taken without a record
            // made for the byte paths to refuse and then dropped.
            if (!reader_.at_end_tag()) {
                CellRec& c = next_record();
                if (VLM_TRY(quick_cell(c)) || VLM_TRY(fast_cell(c))) {
                    VLM_TRY(taken(c));
                    continue;
                }
                if (!sink_)
                    item.cells.pop_back();
            }
            if (reader_.depth() == depth && reader_.fast_end_tag())
                return finish();
        }
        Event ev = VLM_TRY(reader_.next());
        if (ev == Event::Eof)
            return malformed("eof in row");
        if (ev == Event::End && reader_.depth() < depth)
            return finish();
        if (!is_open(ev))
            continue;
        if (forbid_dispatch(reader_.ns(), reader_.local()))
            return unsupported("dispatch tag inside row");
        CellRec& c = next_record();
        Result<void> parsed = parse_cell(c);
        if (!parsed) {
            if (sink_)
                c.clear();
            return parsed;
        }
        VLM_TRY(taken(c));
    }
}

Result<void> SheetParser::style_of(CellRec& c) {
    if (!bufs_.has_s)
        return {};
    if (bufs_.s.empty()) {
        VLM_TRY(need_interpreter());
        c.style_py = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        if (!c.style_py)
            return fetched();
        return {};
    }
    if (auto n = plain_int(bufs_.s)) {
        c.style = *n;
        return {};
    }
    Ref v = VLM_TRY(py_int(bufs_.s));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (n == -1 && PyErr_Occurred())
        return fetched();
    if (overflow)
        c.style_py = std::move(v);
    else
        c.style = n;
    return {};
}

Result<void> SheetParser::parse_cell(CellRec& c) {
    bufs_.clear();
    bool empty = !reader_.at_boundary();
    for (const xml::Attr& a : reader_.attrs()) {
        if (a.ns != xml::NS_NONE)
            continue;
        if (auto fd = bufs_.cell_attr(reader_.view(a.local)))
            CellBufs::keep(*fd, reader_.attr_value(a));
    }
    VLM_TRY(style_of(c));
    if (empty)
        VLM_TRY(reader_.next());
    else
        VLM_TRY(cell_children());
    return interpret(c);
}

Result<void> SheetParser::read_inline() {
    if (!settings_.rich_text) {
        text::TextItem it = VLM_TRY(text::parse_text(reader_, text_ctx_, forbid_dispatch));
        if (!it.snippet && settings_.detached) {
            bufs_.inline_text.swap(text_ctx_.text);
            bufs_.has_inline_text = true;
            return {};
        }
        if (!it.snippet) {
            bufs_.inline_value = py_str(text_ctx_.text);
            if (!bufs_.inline_value)
                return fetched();
            return {};
        }
        Ref b = Ref::steal(PyBytes_FromStringAndSize(it.bytes.data(), static_cast<Py_ssize_t>(it.bytes.size())));
        if (!b)
            return fetched();
        PyObject* args[2] = {b.get(), it.namespaces.get()};
        bufs_.inline_value = Ref::steal(PyObject_Vectorcall(helpers_.get(Helper::TextContent), args, 2, nullptr));
    } else {
        VLM_TRY(need_interpreter());
        reader_.begin_capture();
        VLM_TRY(text::skip_checked(reader_, forbid_dispatch));
        std::string bytes = VLM_TRY(reader_.end_capture());
        Ref ns = VLM_TRY(xml::namespace_list(reader_));
        Ref b = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        if (!b)
            return fetched();
        PyObject* args[2] = {b.get(), ns.get()};
        bufs_.inline_value = Ref::steal(PyObject_Vectorcall(helpers_.get(Helper::RichInline), args, 2, nullptr));
    }
    if (!bufs_.inline_value)
        return fetched();
    return {};
}

Result<void> SheetParser::cell_children() {
    size_t depth = reader_.depth();
    bool seen_v = false, seen_f = false, seen_is = false;
    bool inline_str = bufs_.t == "inlineStr";
    for (;;) {
        Event ev = VLM_TRY(reader_.next());
        if (ev == Event::Eof)
            return malformed("eof in cell");
        if (ev == Event::End && reader_.depth() < depth)
            return {};
        if (!is_open(ev))
            continue;
        if (forbid_dispatch(reader_.ns(), reader_.local()))
            return unsupported("dispatch tag inside cell");
        bool main = reader_.ns() == xml::NS_MAIN;
        std::string_view name = reader_.local();
        if (main && name == "v" && !seen_v) {
            seen_v = true;
            bufs_.has_v = true;
            bufs_.own_v.clear();
            VLM_TRY(text::element_text_into(reader_, forbid_dispatch, bufs_.own_v));
            bufs_.v = bufs_.own_v;
        } else if (main && name == "f" && !seen_f) {
            seen_f = true;
            bufs_.has_f = true;
            for (const xml::Attr& a : reader_.attrs()) {
                if (a.ns != xml::NS_NONE)
                    continue;
                if (auto fd = bufs_.f_attr(reader_.view(a.local)))
                    CellBufs::keep(*fd, reader_.attr_value(a));
            }
            if (bufs_.ft == "dataTable" && !settings_.data_only)
                bufs_.table_attrs = VLM_TRY(attr_dict(reader_));
            bufs_.own_f.clear();
            VLM_TRY(text::element_text_into(reader_, forbid_dispatch, bufs_.own_f));
            bufs_.f = bufs_.own_f;
        } else if (main && name == "is" && !seen_is) {
            seen_is = true;
            if (inline_str)
                VLM_TRY(read_inline());
            else
                VLM_TRY(text::skip_checked(reader_, forbid_dispatch));
        } else {
            VLM_TRY(text::skip_checked(reader_, forbid_dispatch));
        }
    }
}

Result<Ref> SheetParser::py_int(std::string_view text) const {
    VLM_TRY(need_interpreter());
    if (auto n = plain_int(text)) {
        Ref v = Ref::steal(PyLong_FromLongLong(*n));
        if (!v)
            return fetched();
        return v;
    }
    Ref s = py_str(text);
    if (!s)
        return fetched();
    return call(Helper::Int, s.get());
}

Result<std::pair<int64_t, int64_t>> SheetParser::coordinate(std::string_view text) const {
    if (auto c = fast_coordinate(text))
        return std::pair<int64_t, int64_t>(c->row, c->column);
    VLM_TRY(need_interpreter());
    Ref s = py_str(text);
    if (!s)
        return fetched();
    Ref t = VLM_TRY(call(Helper::CoordinateToTuple, s.get()));
    if (!PyTuple_Check(t.get()) || PyTuple_GET_SIZE(t.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "coordinate_to_tuple must return a 2-tuple");
        return fetched();
    }
    long long r = VLM_TRY(int64_of(PyTuple_GET_ITEM(t.get(), 0), "cell reference beyond 64 bits"));
    long long c = VLM_TRY(int64_of(PyTuple_GET_ITEM(t.get(), 1), "cell reference beyond 64 bits"));
    return std::pair<int64_t, int64_t>(r, c);
}

}  // namespace vlm::sheet
