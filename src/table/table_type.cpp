// read_table and TableData: the columnar job's arguments, its two readings
// (without the interpreter, then with it when a value needs the package),
// and the table's Python object with its Arrow capsules.
#include "table/table_type.h"

#include "host/args.h"
#include "host/names.h"
#include "host/pytype.h"
#include "sheet/parser.h"
#include "table/export.h"
#include "table/member.h"
#include "table/strings.h"
#include "table/worker.h"

#include <fcntl.h>

#include <new>
#include <optional>
#include <thread>

namespace vlm::table {

namespace {

// --- the members read ------------------------------------------------------

// Where a member's bytes come from, kept so that a second reading can open
// it again. The package passes a tuple (path or buffer, data offset,
// compressed size, size, CRC-32, method) for a member the engine inflates,
// or a file object reading the member's XML.
class MemberInput {
public:
    MemberInput() = default;
    MemberInput(const MemberInput&) = delete;
    MemberInput& operator=(const MemberInput&) = delete;
    ~MemberInput() {
        if (has_view_)
            PyBuffer_Release(&view_);
    }

    [[nodiscard]] Result<void> init(PyObject* spec) {
        if (!PyTuple_Check(spec)) {
            file_ = Ref::borrow(spec);
            return {};
        }
        PyObject* where = nullptr;
        unsigned long long offset, compressed, size, crc;
        int method;
        if (!PyArg_ParseTuple(spec, "OKKKKi:member", &where, &offset, &compressed, &size, &crc, &method))
            return fetched();
        if (method != 0 && method != 8) {
            PyErr_Format(PyExc_ValueError, "compression method %d is not read here", method);
            return fetched();
        }
        spec_ = MemberSpec{-1, nullptr, offset, compressed, size, static_cast<uint32_t>(crc), method == 8};
        // A path (str or os.PathLike), or the bytes of a buffer.
        if (PyUnicode_Check(where) || PyObject_HasAttrString(where, "__fspath__")) {
            PyObject* path = nullptr;
            if (!PyUnicode_FSConverter(where, &path))
                return fetched();
            path_ = Ref::steal(path);
            return {};
        }
        if (PyObject_GetBuffer(where, &view_, PyBUF_SIMPLE) < 0)
            return fetched();
        has_view_ = true;
        if (offset > static_cast<uint64_t>(view_.len) || compressed > static_cast<uint64_t>(view_.len) - offset) {
            PyErr_SetString(PyExc_ValueError, "the member's data lies beyond the buffer");
            return fetched();
        }
        spec_.memory = static_cast<const char*>(view_.buf) + offset;
        spec_.offset = 0;
        return {};
    }

    // Read by the engine itself, not through a Python file object.
    bool native() const noexcept { return !file_; }

    // A fresh source over the member (with the interpreter), inflated as
    // `how` says; a Fed one's inflating into `feed`.
    [[nodiscard]] Result<std::unique_ptr<ByteSource>> open(Inflating how = Inflating::OwnThread,
                                                           std::shared_ptr<Feed>* feed = nullptr) const {
        if (file_)
            return std::unique_ptr<ByteSource>(std::make_unique<PyFileSource>(file_.get(), PyFileSource::Interpreter::Released));
        MemberSpec spec = spec_;
        if (path_) {
            spec.fd = ::open(PyBytes_AS_STRING(path_.get()), O_RDONLY | O_CLOEXEC);
            if (spec.fd < 0) {
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
                return fetched();
            }
        }
        auto src = std::make_unique<MemberSource>(spec, how);
        if (feed)
            *feed = src->feed();
        return std::unique_ptr<ByteSource>(std::move(src));
    }

private:
    Ref file_, path_;
    Py_buffer view_{};
    bool has_view_ = false;
    MemberSpec spec_;
};

// --- running without the interpreter --------------------------------------

// f() with the interpreter let go: f touches no Python object. A failed
// allocation in there is reported once the interpreter is back.
template <class F>
auto detached(F&& f, bool& no_memory) -> decltype(f()) {
    PyThreadState* ts = PyEval_SaveThread();
    decltype(f()) r = unsupported("out of memory");
    try {
        r = f();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    PyEval_RestoreThread(ts);
    return r;
}

bool needs_interpreter(const Result<void>& r) {
    return !r && r.error().is(XmlError::Kind::Unsupported, NEEDS_INTERPRETER);
}

// --- one reading -----------------------------------------------------------

struct Request {
    MemberInput sheet, strings;
    bool has_strings = false;
    std::optional<Helpers> helpers;
    Ref si_content;
    Ref epoch_obj;
    Options options;
    DateRules dates;
};

// The sheet's cells into `job`, to the end or past the last row asked for.
Result<void> walk(sheet::SheetParser& parser, Job& job) {
    parser.set_sink(&job);
    for (;;) {
        sheet::Item item;
        VLM_TRY(parser.next_item(item));
        if (item.kind == sheet::Item::Kind::End || job.done())
            return {};
    }
}

// The string table as a Python list, for a parser that reads with the
// interpreter (it looks up what its own fast path does not take).
Result<Ref> string_list(const StringTable& strings) {
    Ref list = Ref::steal(PyList_New(strings.count));
    if (!list)
        return fetched();
    StringsView v = strings.view();
    for (int64_t i = 0; i < strings.count; ++i) {
        std::string_view t = v.at(i);
        PyObject* s = PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "strict");
        if (!s)
            return fetched();
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list;
}

// The string table: without the interpreter, and where an item needs the
// package, again with it (at once, when an earlier reading found one).
Result<StringTable> read_string_table(const Request& req, bool& no_memory, bool attached = false) {
    if (!req.has_strings)
        return StringTable();
    std::unique_ptr<ByteSource> src = VLM_TRY(req.strings.open());
    if (!attached) {
        Result<StringTable> got =
            detached([&] { return read_strings(*src, *req.helpers, nullptr); }, no_memory);
        if (got || no_memory || !got.error().is(XmlError::Kind::Unsupported, NEEDS_INTERPRETER))
            return got;
        src = VLM_TRY(req.strings.open());
    }
    return read_strings(*src, *req.helpers, req.si_content.get());
}

// The string table's bytes, the sheet's ring (if any) topped up each time
// they run out (every 256 KiB of the table: often enough to keep the
// sheet's reader fed).
class Feeding final : public ByteSource {
public:
    Feeding(ByteSource& inner, Feed* sheet) noexcept : inner_(inner), sheet_(sheet) {}
    [[nodiscard]] Result<bool> more(InputBuffer& buf) override {
        if (sheet_)
            sheet_->top_up();
        return inner_.more(buf);
    }

private:
    ByteSource& inner_;
    Feed* sheet_;
};

// The string table read on a thread of its own while the calling thread
// parses the sheet, whose cells need only the table's size (checked once
// both are done). The same thread inflates the sheet, between pieces of the
// table and then to its end: with the parse, two threads for two cores (a
// third, inflating alone, had the scheduler share the cores three ways and
// the parse wait). The source is opened with the interpreter, then read
// without it, inflated on the same thread.
class StringsThread {
public:
    // `sheet`: the sheet's inflating, if it is to be done here (or null).
    [[nodiscard]] Result<void> start(const Request& req, std::shared_ptr<Feed> sheet) {
        src_ = VLM_TRY(req.strings.open(Inflating::Here));
        sheet_ = std::move(sheet);
        try {
            thread_ = start_worker([this, &req] {
                try {
                    Feeding feeding(*src_, sheet_.get());
                    got_ = read_strings(feeding, *req.helpers, nullptr);
                } catch (const std::bad_alloc&) {
                    no_memory_ = true;
                }
                // The sheet's reader waits on this whatever became of the table.
                if (sheet_)
                    sheet_->run();
            });
        } catch (const std::system_error&) {
            // No thread to be had: read when asked for, the sheet inflated
            // by its reader.
            got_ = std::nullopt;
            inline_ = true;
            sheet_.reset();
        }
        return {};
    }
    // The table (without the interpreter held, but with it for an item
    // that needs the package), once the sheet's reading is over.
    [[nodiscard]] Result<StringTable> finish(const Request& req, bool& no_memory) {
        if (inline_)
            return read_string_table(req, no_memory);
        (void)detached([&]() -> Result<void> { join(); return {}; }, no_memory);
        no_memory = no_memory || no_memory_;
        if (no_memory)
            return unsupported("out of memory");
        src_.reset();
        if (*got_ || !got_->error().is(XmlError::Kind::Unsupported, NEEDS_INTERPRETER))
            return std::move(*got_);
        return read_string_table(req, no_memory, true);
    }
    ~StringsThread() {
        if (thread_.joinable()) {
            Py_BEGIN_ALLOW_THREADS
            join();
            Py_END_ALLOW_THREADS
        }
    }

private:
    // The sheet's reading is over, to its end or not: what is left of it
    // is not inflated.
    void join() {
        if (sheet_)
            sheet_->cancel();
        if (thread_.joinable())
            thread_.join();
    }
    std::unique_ptr<ByteSource> src_;
    std::shared_ptr<Feed> sheet_;
    std::thread thread_;
    std::optional<Result<StringTable>> got_{unsupported("not read")};
    bool inline_ = false;
    bool no_memory_ = false;
};

Result<TableData> run(const Request& req, Refusal& refusal, bool& refused, bool& no_memory) {
    // Names asked for are found in the header row, whose shared strings
    // must then be there from the start; a member read through a Python
    // file object is read with the interpreter, by the calling thread.
    bool alongside = req.has_strings && req.options.names.empty() && req.strings.native();
    StringsThread pending;
    StringTable strings;
    if (!alongside)
        strings = VLM_TRY(read_string_table(req, no_memory));
    if (no_memory)
        return unsupported("out of memory");
    Settings settings;
    settings.data_only = true;
    settings.cells_only = true;
    settings.detached = true;
    settings.shared_count = alongside ? SIZE_MAX : static_cast<size_t>(strings.count);
    settings.shared_strings = Ref::borrow(Py_None);
    settings.epoch_obj = Ref::borrow(req.epoch_obj.get());
    settings.epoch = req.dates.epoch;
    for (bool attached : {false, true}) {
        if (attached) {
            // Values only the package's helpers read (an ISO date, a number
            // of another form, rich text, a string index beyond the table):
            // read again, with the interpreter.
            settings.detached = false;
            settings.shared_count = static_cast<size_t>(strings.count);
            settings.shared_strings = VLM_TRY(string_list(strings));
        }
        bool together = !attached && alongside;
        std::shared_ptr<Feed> feed;
        std::unique_ptr<ByteSource> src =
            VLM_TRY(req.sheet.open(together ? Inflating::Fed : Inflating::OwnThread, &feed));
        if (together)
            VLM_TRY(pending.start(req, std::move(feed)));
        auto parser = VLM_TRY(sheet::SheetParser::make(std::move(src), req.helpers->clone(), settings.clone(),
                                                       nullptr, nullptr));
        Job job(req.options, req.dates, strings);
        Result<void> walked = attached ? walk(*parser, job) : detached([&] { return walk(*parser, job); }, no_memory);
        if (!attached && alongside)
            strings = VLM_TRY(pending.finish(req, no_memory));
        if (no_memory)
            return unsupported("out of memory");
        if (!attached && needs_interpreter(walked))
            continue;
        VLM_TRY(std::move(walked));
        if (job.max_shared() >= strings.count)
            continue;  // the package's lookup decides (negative indexes count from the end)
        TableData table;
        bool ok = detached([&]() -> Result<bool> { return job.finish(std::move(strings), table, refusal); },
                           no_memory)
                      .value_or(false);
        if (no_memory)
            return unsupported("out of memory");
        refused = !ok;
        return table;
    }
    return std::unexpected(XmlError::internal("the columnar job read twice without an outcome"));
}

// --- TableData -------------------------------------------------------------

// Immutable and holding no Python object: no borrow is taken, and nothing
// is cleared (the type is not the collector's).
using TableObject = Object<SharedTable>;

const SharedTable& shared(PyObject* o) { return *TableObject::of(o)->value; }
const TableData& data(PyObject* o) { return *shared(o); }

PyObject* new_table(PyTypeObject* type, TableData&& t) {
    return new_object(type, SharedTable(std::make_shared<const TableData>(std::move(t))));
}

// The capsule names the Arrow PyCapsule interface gives its structures.
template <class T>
constexpr const char* CAPSULE_NAME = nullptr;
template <>
constexpr const char* CAPSULE_NAME<ArrowSchema> = "arrow_schema";
template <>
constexpr const char* CAPSULE_NAME<ArrowArrayStream> = "arrow_array_stream";

// Released (if the consumer did not take it over) and freed with its capsule.
template <class T>
void capsule_free(PyObject* capsule) {
    auto* s = static_cast<T*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME<T>));
    if (!s)
        return PyErr_Clear();
    if (s->release)
        s->release(s);
    delete s;
}

// A new structure filled by `fill`, in its capsule; null with the exception
// set (the structure released) when the capsule cannot be made.
template <class T, class F>
PyObject* exported(F&& fill) {
    auto* s = new T;
    fill(s);
    PyObject* capsule = PyCapsule_New(s, CAPSULE_NAME<T>, capsule_free<T>);
    if (!capsule) {
        s->release(s);
        delete s;
    }
    return capsule;
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
    return exported<ArrowSchema>([&](ArrowSchema* s) { export_schema(data(self), s); });
}

constexpr Signature<1> STREAM_ARGS{"__arrow_c_stream__", {&NAMES.requested_schema}, {"requested_schema"}, 0};

// The requested schema is taken as a wish: the table's own types are what
// it holds (the interface lets a producer keep them), and a consumer casts
// as it needs.
PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1] = {Py_None};
    if (!STREAM_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    return exported<ArrowArrayStream>([&](ArrowArrayStream* s) { export_stream(shared(self), s); });
}

PyObject* get_num_rows(PyObject* self, void*) { return PyLong_FromLongLong(data(self).rows); }
PyObject* get_num_batches(PyObject* self, void*) { return PyLong_FromSize_t(data(self).batches.size()); }
PyObject* get_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(data(self).nbytes); }
PyObject* get_date_errors(PyObject* self, void*) { return PyLong_FromLongLong(data(self).date_errors); }

PyObject* get_extent(PyObject* self, void*) {
    const Extent& e = data(self).extent;
    return Py_BuildValue("(LLLL)", static_cast<long long>(e.cell_rows), static_cast<long long>(e.cell_columns),
                         static_cast<long long>(e.value_rows), static_cast<long long>(e.value_columns));
}

template <class F>
PyObject* field_list(PyObject* self, F&& f) {
    const TableData& t = data(self);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.fields.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < t.fields.size(); ++i) {
        PyObject* item = f(t.fields[i]);
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* get_column_names(PyObject* self, void*) {
    return field_list(self, [](const Field& f) {
        return PyUnicode_DecodeUTF8(f.name.data(), static_cast<Py_ssize_t>(f.name.size()), "strict");
    });
}

PyObject* get_column_types(PyObject* self, void*) {
    return field_list(self, [](const Field& f) {
        return PyUnicode_FromString(type_name(f.type));
    });
}

// The package's reading into lists, made a table: names, type names and
// one list of values per column.
constexpr Signature<3> FROM_LISTS_ARGS{
    "from_lists", {&NAMES.names, &NAMES.types, &NAMES.lists}, {"names", "types", "lists"}, 3};

Result<std::vector<std::string>> utf8_list(PyObject* list) {
    std::vector<std::string> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Py_ssize_t n;
        const char* s = PyUnicode_Check(PyList_GET_ITEM(list, i))
                            ? PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(list, i), &n)
                            : (PyErr_SetString(PyExc_TypeError, "names and types are str"), nullptr);
        if (!s)
            return fetched();
        out.emplace_back(s, static_cast<size_t>(n));
    }
    return out;
}

PyObject* from_lists(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3] = {};
    if (!FROM_LISTS_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    for (size_t i = 0; i < 3; ++i) {
        if (!PyList_Check(a[i]))
            return FROM_LISTS_ARGS.type_error(i, "list", a[i]), nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(a[0]);
    if (PyList_GET_SIZE(a[1]) != n || PyList_GET_SIZE(a[2]) != n) {
        PyErr_SetString(PyExc_ValueError, "as many types and lists as names");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyList_Check(PyList_GET_ITEM(a[2], i)))
            return FROM_LISTS_ARGS.type_error(2, "list of lists", a[2]), nullptr;
    }
    try {
        Result<std::vector<std::string>> names = utf8_list(a[0]);
        Result<std::vector<std::string>> type_names = names ? utf8_list(a[1]) : std::move(names);
        if (!type_names)
            return fallback_err(std::move(type_names).error());
        std::vector<Type> types;
        for (const std::string& t : *type_names) {
            std::optional<Type> ty = t == "null" ? std::optional<Type>(Type::Null) : type_of_name(t);
            if (!ty)
                return PyErr_Format(PyExc_ValueError, "no column type %s", t.c_str());
            types.push_back(*ty);
        }
        TableData t;
        Refusal refusal;
        Result<bool> ok = table_from_lists(*names, types, a[2], t, refusal);
        if (!ok)
            return fallback_err(std::move(ok).error());
        if (!*ok)
            return PyErr_Format(PyExc_ValueError, "%s", refusal.message.c_str());
        return new_table(reinterpret_cast<PyTypeObject*>(cls), std::move(t));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef table_methods[] = {
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's schema as an ArrowSchema PyCapsule."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table's record batches as an ArrowArrayStream PyCapsule."},
    {"from_lists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_lists)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_lists(names, types, lists)\n--\n\n"
     "A table of one list of values per column, each of its type."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"num_rows", get_num_rows, nullptr, "Rows of the table.", nullptr},
    {"num_batches", get_num_batches, nullptr, "Record batches of the table.", nullptr},
    {"column_names", get_column_names, nullptr, "The columns' names, in order.", nullptr},
    {"column_types", get_column_types, nullptr,
     "The columns' Arrow types, as pyarrow names them (\"string\" for a dictionary of strings too).", nullptr},
    {"nbytes", get_nbytes, nullptr, "Bytes of the table's buffers.", nullptr},
    {"extent", get_extent, nullptr,
     "(rows, columns) up to the last cell, then up to the last cell holding a value.", nullptr},
    {"date_errors", get_date_errors, nullptr,
     "Date-formatted cells whose serial is out of range (read as errors).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("A table read by the columnar job: record batches of typed columns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SharedTable>)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "_vellum.TableData",
    sizeof(TableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    table_slots,
};

// --- read_table ------------------------------------------------------------

constexpr Signature<13> READ_ARGS{
    "read_table",
    {&NAMES.sheet, &NAMES.strings, &NAMES.epoch, &NAMES.date_formats, &NAMES.timedelta_formats, &NAMES.helpers,
     &NAMES.header_row, &NAMES.skip_rows, &NAMES.n_rows, &NAMES.columns, &NAMES.names, &NAMES.dtypes,
     &NAMES.error_text},
    {"sheet", "strings", "epoch", "date_formats", "timedelta_formats", "helpers", "header_row", "skip_rows",
     "n_rows", "columns", "names", "dtypes", "error_text"},
    6};

Result<int64_t> int_or(PyObject* o, int64_t none) {
    if (o == Py_None)
        return none;
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred())
        return fetched();
    if (v < 0) {
        PyErr_SetString(PyExc_ValueError, "rows are counted from 0");
        return fetched();
    }
    return v;
}

Result<void> options_of(PyObject* const* a, Options& o) {
    o.header_row = VLM_TRY(int_or(a[6], -1));
    o.skip_rows = VLM_TRY(int_or(a[7], 0));
    o.n_rows = VLM_TRY(int_or(a[8], -1));
    if (a[9] != Py_None) {
        Ref seq = Ref::steal(PySequence_Fast(a[9], "columns must be a sequence of column numbers"));
        if (!seq)
            return fetched();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            long long c = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (c == -1 && PyErr_Occurred())
                return fetched();
            if (c < 1 || c > 16384) {
                PyErr_SetString(PyExc_ValueError, "a column number lies from 1 to 16384");
                return fetched();
            }
            o.columns.push_back(c);
        }
    }
    if (a[10] != Py_None) {
        Ref seq = Ref::steal(PySequence_List(a[10]));
        if (!seq)
            return fetched();
        o.names = VLM_TRY(utf8_list(seq.get()));
    }
    if (a[11] != Py_None) {
        if (!PyDict_Check(a[11])) {
            PyErr_SetString(PyExc_TypeError, "dtypes must be a dict");
            return fetched();
        }
        Ref keys = Ref::steal(PyDict_Keys(a[11]));
        Ref values = keys ? Ref::steal(PyDict_Values(a[11])) : Ref();
        if (!values)
            return fetched();
        std::vector<std::string> ks = VLM_TRY(utf8_list(keys.get()));
        std::vector<std::string> vs = VLM_TRY(utf8_list(values.get()));
        for (size_t i = 0; i < ks.size(); ++i) {
            std::optional<Type> t = type_of_name(vs[i]);
            if (!t) {
                PyErr_Format(PyExc_ValueError, "no column type %s", vs[i].c_str());
                return fetched();
            }
            o.dtypes.emplace_back(ks[i], *t);
        }
    }
    int truth = PyObject_IsTrue(a[12]);
    if (truth < 0)
        return fetched();
    o.error_text = truth != 0;
    return {};
}

Result<void> request_of(PyObject* const* a, Request& req) {
    VLM_TRY(req.sheet.init(a[0]));
    if (a[1] != Py_None) {
        VLM_TRY(req.strings.init(a[1]));
        req.has_strings = true;
    }
    std::optional<Epoch> epoch = VLM_TRY(native_epoch(a[2]));
    if (!epoch)
        return unsupported("an epoch that is no naive datetime");
    req.epoch_obj = Ref::borrow(a[2]);
    req.dates.epoch = *epoch;
    req.dates.dates = VLM_TRY(int_set_of(a[3]));
    req.dates.durations = VLM_TRY(int_set_of(a[4]));
    req.helpers = VLM_TRY(Helpers::from_dict(a[5]));
    req.si_content = VLM_TRY(lookup_helper(a[5], "si_content"));
    return options_of(a, req.options);
}

PyObject* read_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[13] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       Py_None, Py_None, Py_None, Py_None, Py_None, Py_None, Py_False};
    if (!READ_ARGS.parse(args, PyVectorcall_NARGS(nargs), kwnames, a))
        return nullptr;
    if (!PyDict_Check(a[5]))
        return READ_ARGS.type_error(5, "dict", a[5]), nullptr;
    prime_exceptions();
    try {
        Request req;
        if (Result<void> r = request_of(a, req); !r)
            return fallback_err(std::move(r).error());
        Refusal refusal;
        bool refused = false, no_memory = false;
        Result<TableData> t = run(req, refusal, refused, no_memory);
        if (no_memory)
            return PyErr_NoMemory();
        if (!t)
            return fallback_err(std::move(t).error());
        // What was asked and cannot be made: the reason, for the package to
        // raise (any exception here is the reading's own).
        if (refused)
            return PyUnicode_DecodeUTF8(refusal.message.data(), static_cast<Py_ssize_t>(refusal.message.size()),
                                        "replace");
        PyObject* type = PyObject_GetAttrString(module, "TableData");
        if (!type)
            return nullptr;
        PyObject* out = new_table(reinterpret_cast<PyTypeObject*>(type), std::move(*t));
        Py_DECREF(type);
        return out;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef read_table_def[] = {
    {"read_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_table)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_table(sheet, strings, epoch, date_formats, timedelta_formats, helpers, header_row=None, "
     "skip_rows=None, n_rows=None, columns=None, names=None, dtypes=None, error_text=False)\n--\n\n"
     "Read a worksheet's cached values into a TableData of typed columns, without a Python object "
     "per cell and without the interpreter while it parses; or give the reason (a str) why what "
     "was asked cannot be made."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_table(PyObject* module) {
    if (add_type(module, table_spec) < 0)
        return -1;
    return PyModule_AddFunctions(module, read_table_def);
}

}  // namespace vlm::table
