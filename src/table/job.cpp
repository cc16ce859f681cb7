// The columnar job: rows of cell records into chunks, chunks into a table.
#include "table/job.h"

#include "table/text_form.h"
#include "utils/coord.h"

#include <bit>
#include <unordered_map>
#include <unordered_set>

// The datetime C API, for values the package's helpers made (imported into
// this file's own API pointer when a job first needs it).
#include <datetime.h>

namespace vlm::table {

namespace {

using sheet::CellRec;
using sheet::Val;

constexpr int64_t BATCH_ROWS = 65536;
// The largest sheet a spreadsheet application opens.
constexpr int64_t MAX_ROW = 1048576;
constexpr int64_t MAX_SHEET_COLUMN = 16384;
constexpr int64_t US_PER_DAY = 86400000000;
constexpr int64_t UNIX_DAY = 719162;  // 1970-01-01 as a day number since 0001-01-01
// What the package reads a date-formatted number out of range as.
constexpr std::string_view DATE_ERROR = "#VALUE!";

// A cell's value, ready for a chunk.
struct Value {
    enum class What : uint8_t { Null, Slot, Text };
    What what = What::Null;
    Kind kind = Kind::Int;
    uint64_t bits = 0;
    std::string_view text;

    static Value slot(Kind k, uint64_t b) noexcept { return {What::Slot, k, b, {}}; }
    static Value of_text(std::string_view t) noexcept { return {What::Text, Kind::String, 0, t}; }
    bool null() const noexcept { return what == What::Null; }
};

void put(Chunk& c, int64_t row, const Value& v) {
    if (v.what == Value::What::Slot && v.kind == Kind::String)
        c.put_index(row, static_cast<int64_t>(v.bits));  // a shared string's (own texts come as Text)
    else if (v.what == Value::What::Slot)
        c.put(row, v.kind, v.bits);
    else if (v.what == Value::What::Text)
        c.put_text(row, v.text);
}

// A date-formatted number as from_excel reads it: a timestamp, a time of
// day or (for a duration format) a duration; nothing when the package would
// refuse it (its date warning, and an error cell).
std::optional<Value> date_value(const DateRules& d, int64_t style, const Val& v) {
    bool is_int = v.kind == Val::Kind::Int;
    if (d.durations.contains(style)) {
        DurationResult r = is_int ? duration_us_int(v.i) : duration_us_float(v.f);
        if (r.declined)
            return std::nullopt;
        return r.us ? Value::slot(Kind::Duration, static_cast<uint64_t>(*r.us)) : Value{};
    }
    SerialPoint p = is_int ? serial_point_int(d.epoch, v.i) : serial_point_float(d.epoch, v.f);
    switch (p.kind) {
    case DateKind::Declined:
        return std::nullopt;
    case DateKind::Time:
        return Value::slot(Kind::Time, static_cast<uint64_t>(p.us));
    case DateKind::DateTime:
        return Value::slot(Kind::Timestamp, static_cast<uint64_t>((p.day - UNIX_DAY) * US_PER_DAY + p.us));
    }
    return std::nullopt;
}

// What the package's reading gives, as a Python value, when the value is
// one only the interpreter made: an integer beyond 64 bits, a date of
// `t="d"`, a text of the package's helpers.
const PyDateTime_CAPI* datetime_api() {
    if (!PyDateTimeAPI)
        PyDateTime_IMPORT;
    return PyDateTimeAPI;
}

// Python values as cells hold them: None, bool, int (beyond 64 bits a float,
// beyond a float none), float, str, datetime, date (its midnight), time,
// timedelta (none beyond duration[us]); anything else by its str().
Result<Value> py_value(PyObject* o, std::string& text) {
    if (o == Py_None)
        return Value{};
    if (PyBool_Check(o))
        return Value::slot(Kind::Bool, o == Py_True);
    if (PyLong_Check(o)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (n == -1 && PyErr_Occurred())
                return fetched();
            return Value::slot(Kind::Int, static_cast<uint64_t>(n));
        }
        double f = PyLong_AsDouble(o);
        if (f == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                return fetched();
            PyErr_Clear();
            return Value{};
        }
        return Value::slot(Kind::Float, std::bit_cast<uint64_t>(f));
    }
    if (PyFloat_Check(o))
        return Value::slot(Kind::Float, std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(o)));
    const PyDateTime_CAPI* api = datetime_api();
    if (!api)
        return fetched();
    if (PyDateTime_Check(o) || PyDate_Check(o)) {
        int64_t day = days_from_civil(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o));
        int64_t us = 0;
        if (PyDateTime_Check(o))
            us = ((PyDateTime_DATE_GET_HOUR(o) * 60 + PyDateTime_DATE_GET_MINUTE(o)) * 60 +
                  int64_t{PyDateTime_DATE_GET_SECOND(o)}) * 1000000 + PyDateTime_DATE_GET_MICROSECOND(o);
        return Value::slot(Kind::Timestamp, static_cast<uint64_t>((day - UNIX_DAY) * US_PER_DAY + us));
    }
    if (PyTime_Check(o)) {
        int64_t us = ((PyDateTime_TIME_GET_HOUR(o) * 60 + PyDateTime_TIME_GET_MINUTE(o)) * 60 +
                      int64_t{PyDateTime_TIME_GET_SECOND(o)}) * 1000000 + PyDateTime_TIME_GET_MICROSECOND(o);
        return Value::slot(Kind::Time, static_cast<uint64_t>(us));
    }
    if (PyDelta_Check(o)) {
        int64_t us;
        if (__builtin_mul_overflow(int64_t{PyDateTime_DELTA_GET_DAYS(o)}, US_PER_DAY, &us) ||
            __builtin_add_overflow(us, int64_t{PyDateTime_DELTA_GET_SECONDS(o)} * 1000000 +
                                           PyDateTime_DELTA_GET_MICROSECONDS(o), &us))
            return Value{};
        return Value::slot(Kind::Duration, static_cast<uint64_t>(us));
    }
    Ref s = Ref::steal(PyUnicode_Check(o) ? Py_NewRef(o) : PyObject_Str(o));
    Py_ssize_t n = 0;
    const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
    if (!utf8)
        return fetched();
    text.assign(utf8, static_cast<size_t>(n));
    return Value::of_text(text);
}

// Column names: header texts left to right, one already taken getting
// ".1", ".2", ... (the first free); a column without a header text (none,
// or empty) takes its letter, or the letter with the first free suffix
// when a header text is that letter.
class Naming {
public:
    std::string header(std::string text) {
        if (taken_.insert(text).second)
            return text;
        int64_t& k = next_[text];
        if (k == 0)
            k = 1;
        std::string name;
        do {
            name = text + '.' + std::to_string(k++);
        } while (taken_.contains(name));
        taken_.insert(name);
        return name;
    }
    std::string letter(int64_t column) const {
        char buf[4];
        std::string base(buf, put_column(buf, column));
        if (!taken_.contains(base))
            return base;
        for (int64_t k = 1;; ++k) {
            std::string name = base + '.' + std::to_string(k);
            if (!taken_.contains(name))
                return name;
        }
    }

private:
    std::unordered_set<std::string> taken_;
    std::unordered_map<std::string, int64_t> next_;
};

std::string letters(int64_t column) {
    char buf[4];
    return std::string(buf, put_column(buf, column));
}

}  // namespace

struct Job::State {
    Options opt;
    DateRules dates;
    const StringTable& strings;
    int64_t header_sheet_row;  // 1-based; 0: none
    int64_t first_row;         // the first data row, 1-based
    int64_t last_row;          // the last data row asked for, 1-based
    int64_t date_errors = 0;
    int64_t max_shared = -1;
    // The order of the cells seen: each must come after the one before.
    int64_t at_row = 0, at_column = 0;
    // What the row being read is to the table, worked out once per row: its
    // table row, and the chunks of its batch.
    enum class Role : uint8_t { Skipped, Header, Data, Past };
    Role role = Role::Skipped;
    int64_t table_row = 0;    // (Data)
    int64_t in_batch = 0;     // its row in the batch
    std::vector<Chunk>* row_chunks = nullptr;
    // The header row's values, by column (row i of this chunk: column i + 1).
    Chunk header;
    std::string scratch;
    // Which table column a sheet column fills (-1: none); without a choice
    // of columns, column c fills table column c - 1.
    bool chosen = false, resolved = false;
    std::vector<int32_t> slot_of;
    std::vector<int64_t> sheet_column;  // of each table column, when chosen
    int64_t width = 0;                  // table columns so far (all columns: the last with a cell)
    // The batch being filled (table rows batch_start ...) and those done.
    int64_t batch_start = 0;
    std::vector<Chunk> chunks;
    struct Done {
        int64_t length;
        std::vector<Chunk> chunks;
    };
    std::vector<Done> done;
    Extent extent;
    // A name asked for that no column has, found when names were resolved.
    std::optional<std::string> unknown_name;

    State(Options o, DateRules d, const StringTable& s) : opt(std::move(o)), dates(std::move(d)), strings(s) {
        header_sheet_row = opt.header_row >= 0 ? opt.header_row + 1 : 0;
        first_row = header_sheet_row + 1 + opt.skip_rows;
        last_row = opt.n_rows >= 0 ? first_row + opt.n_rows - 1 : INT64_MAX;
        if (!opt.columns.empty()) {
            chosen = resolved = true;
            for (int64_t c : opt.columns)
                choose(c);
        } else if (opt.names.empty()) {
            resolved = true;
        }
    }

    void choose(int64_t column) {
        if (slot_of.size() <= static_cast<size_t>(column))
            slot_of.resize(static_cast<size_t>(column) + 1, -1);
        slot_of[static_cast<size_t>(column)] = static_cast<int32_t>(width++);
        sheet_column.push_back(column);
    }

    // The table column of sheet column `c`, or -1.
    int64_t slot(int64_t c) {
        if (chosen)
            return static_cast<size_t>(c) < slot_of.size() ? slot_of[static_cast<size_t>(c)] : -1;
        if (c > width)
            width = c;
        return c - 1;
    }

    std::string header_text(int64_t column) {
        std::string t;
        int64_t r = column - 1;
        if (r < header.length() && header.valid(r))
            append_text(t, header, r, strings.view());
        return t;
    }

    // Every sheet column's name, up to `upto`.
    std::vector<std::string> names(int64_t upto) {
        Naming naming;
        std::vector<std::string> out(static_cast<size_t>(upto));
        int64_t known = std::min(upto, header.length());
        std::vector<bool> named(static_cast<size_t>(upto));
        for (int64_t c = 1; c <= known; ++c) {
            std::string t = header_text(c);
            if (!t.empty()) {
                out[static_cast<size_t>(c - 1)] = naming.header(std::move(t));
                named[static_cast<size_t>(c - 1)] = true;
            }
        }
        for (int64_t c = 1; c <= upto; ++c) {
            if (!named[static_cast<size_t>(c - 1)])
                out[static_cast<size_t>(c - 1)] = naming.letter(c);
        }
        return out;
    }

    // Columns chosen by name, once the header row is read: each name is a
    // header's (as named) or a column's letter name.
    void resolve() {
        resolved = chosen = true;
        int64_t upto = std::max<int64_t>(header.length(), MAX_SHEET_COLUMN);
        std::vector<std::string> all = names(upto);
        std::unordered_map<std::string_view, int64_t> by_name;
        for (int64_t c = upto; c >= 1; --c)
            by_name[all[static_cast<size_t>(c - 1)]] = c;
        for (const std::string& n : opt.names) {
            auto it = by_name.find(n);
            if (it == by_name.end()) {
                unknown_name = n;
                return;
            }
            choose(it->second);
        }
    }

    // The chunks of table row `row`'s batch, finishing those before.
    std::vector<Chunk>& batch_of(int64_t row) {
        while (row >= batch_start + BATCH_ROWS) [[unlikely]] {
            // Each column starts as large as it grew in the batch before.
            std::vector<Chunk> next;
            next.reserve(chunks.size());
            for (const Chunk& c : chunks)
                next.emplace_back(std::min(c.capacity(), BATCH_ROWS));
            done.push_back({BATCH_ROWS, std::move(chunks)});
            chunks = std::move(next);
            batch_start += BATCH_ROWS;
        }
        return chunks;
    }

    [[nodiscard]] Result<void> enter_row(int64_t row) {
        at_row = row;
        at_column = 0;
        if (row > last_row) {
            role = Role::Past;
            return {};
        }
        if (row < 1 || row > MAX_ROW)
            return unsupported("a cell beyond the largest sheet");
        if (row == header_sheet_row) {
            role = Role::Header;
        } else if (row < first_row) {
            role = Role::Skipped;
        } else {
            role = Role::Data;
            if (!resolved)
                resolve();
            // The table's rows run to the last cell, in any column.
            table_row = row - first_row;
            extent.cell_rows = table_row + 1;
            row_chunks = &batch_of(table_row);
            in_batch = table_row - batch_start;
        }
        return {};
    }

    // The chunk of a data cell in sheet column `column` of the row entered
    // (null: a column not kept).
    Chunk* chunk_of(int64_t column) {
        int64_t s = slot(column);
        if (s < 0)
            return nullptr;
        std::vector<Chunk>& cs = *row_chunks;
        if (cs.size() <= static_cast<size_t>(s)) [[unlikely]]
            cs.resize(static_cast<size_t>(s) + 1);
        if (s >= extent.cell_columns)
            extent.cell_columns = s + 1;
        return &cs[static_cast<size_t>(s)];
    }

    void valued(const Chunk* c) {
        extent.value_rows = table_row + 1;
        int64_t s = c - row_chunks->data();
        if (s >= extent.value_columns)
            extent.value_columns = s + 1;
    }

    // A data cell of the row entered.
    void place(int64_t column, const Value& v) {
        Chunk* c = chunk_of(column);
        if (!c || v.null())
            return;
        put(*c, in_batch, v);
        valued(c);
    }

    // An error cell: null, or its text when asked for.
    Value error(std::string_view text, bool header_row) const {
        return opt.error_text || header_row ? Value::of_text(text) : Value{};
    }

    // The commonest cell, taken at once: a data cell (in order, its row
    // entered) holding a shared string or a number that is no date.
    bool quick(const CellRec& c) {
        if (role != Role::Data || c.column > MAX_SHEET_COLUMN || c.column < 1)
            return false;
        const Val& v = c.value;
        bool shared = v.kind == Val::Kind::SharedString;
        if (!shared && !((v.kind == Val::Kind::Int || v.kind == Val::Kind::Float) &&
                         (c.style_py || !dates.dates.contains(c.style))))
            return false;
        Chunk* chunk = chunk_of(c.column);
        if (shared)
            max_shared = std::max(max_shared, v.i);
        if (!chunk)
            return true;
        if (shared)
            chunk->put_index(in_batch, v.i);
        else if (v.kind == Val::Kind::Int)
            chunk->put(in_batch, Kind::Int, static_cast<uint64_t>(v.i));
        else
            chunk->put(in_batch, Kind::Float, std::bit_cast<uint64_t>(v.f));
        valued(chunk);
        return true;
    }

    // The value of a record that holds no Python object.
    Value value(const CellRec& c, bool header_row) {
        const Val& v = c.value;
        switch (v.kind) {
        case Val::Kind::None:
            return Value{};
        case Val::Kind::Int:
        case Val::Kind::Float:
            if (!c.style_py && dates.dates.contains(c.style)) {
                if (auto d = date_value(dates, c.style, v))
                    return *d;
                ++date_errors;
                return error(DATE_ERROR, header_row);
            }
            return v.kind == Val::Kind::Int ? Value::slot(Kind::Int, static_cast<uint64_t>(v.i))
                                            : Value::slot(Kind::Float, std::bit_cast<uint64_t>(v.f));
        case Val::Kind::Bool:
            return Value::slot(Kind::Bool, v.b);
        case Val::Kind::SharedString:
            return Value::slot(Kind::String, static_cast<uint64_t>(v.i));
        case Val::Kind::Str:
            if (!c.dtype_py && c.dtype == sheet::DT_E)
                return error(v.s, header_row);
            return Value::of_text(v.s);
        default:
            return Value{};
        }
    }

    // The value of a record that holds one (read with the interpreter).
    Result<Value> py_value_of(const CellRec& c, bool header_row) {
        const Val& v = c.value;
        if (v.kind != Val::Kind::Py)
            // Dates and shared formulas: not with the parser's settings here.
            return unsupported("a value the columnar job does not read");
        // A number the package's int() read (beyond 64 bits): as a serial
        // it is no date.
        if (PyLong_Check(v.py.get()) && !PyBool_Check(v.py.get()) && !c.style_py && dates.dates.contains(c.style)) {
            ++date_errors;
            return error(DATE_ERROR, header_row);
        }
        return py_value(v.py.get(), scratch);
    }

    // --- the table, once the sheet is read ---

    // The sheet column of each table column.
    std::vector<int64_t> table_columns() const {
        if (chosen)
            return sheet_column;
        std::vector<int64_t> out(static_cast<size_t>(std::max(width, header.length())));
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<int64_t>(i) + 1;
        return out;
    }

    // Each column's name, and the types asked for (`asked` marks them).
    bool name_fields(const std::vector<int64_t>& sheet_col, std::vector<Field>& fields, std::vector<bool>& asked,
                     Refusal& refusal) {
        // Names over the whole header row, whichever columns are kept.
        int64_t upto = header.length();
        for (int64_t c : sheet_col)
            upto = std::max(upto, c);
        std::vector<std::string> all = opt.header_row >= 0 ? names(upto) : std::vector<std::string>();
        fields.resize(sheet_col.size());
        asked.assign(sheet_col.size(), false);
        for (size_t i = 0; i < sheet_col.size(); ++i)
            fields[i].name = all.empty() ? letters(sheet_col[i]) : all[static_cast<size_t>(sheet_col[i] - 1)];
        for (const auto& [name, type] : opt.dtypes) {
            bool found = false;
            for (size_t i = 0; i < fields.size(); ++i) {
                if (fields[i].name == name) {
                    fields[i].type = type;
                    asked[i] = found = true;
                }
            }
            if (!found) {
                refusal.message = "no column named '" + name + "' (in dtypes)";
                return false;
            }
        }
        return true;
    }

    // The last batch (the rows from the last full one to the last cell),
    // and every batch as wide as the table.
    void close_batches(int64_t columns) {
        int64_t rows = extent.cell_rows;
        batch_of(rows - 1);
        if (rows > batch_start)
            done.push_back({rows - batch_start, std::move(chunks)});
        for (auto& d : done)
            d.chunks.resize(static_cast<size_t>(columns));
    }

    // Types by the rule, unless asked; a column of shared strings alone
    // keeps them as indexes into the string table.
    void type_fields(std::vector<Field>& fields, const std::vector<bool>& asked) const {
        for (size_t i = 0; i < fields.size(); ++i) {
            uint8_t mask = 0;
            bool shared_only = true;
            for (const auto& d : done) {
                mask |= d.chunks[i].mask();
                shared_only = shared_only && d.chunks[i].shared_only();
            }
            if (!asked[i])
                fields[i].type = infer(mask);
            fields[i].dictionary = fields[i].type == Type::String && mask == bit(Kind::String) && shared_only;
        }
    }

    // Every chunk made an array, batch by batch (each chunk's blocks let go
    // as its array takes them).
    bool make_batches(StringTable&& table, const std::vector<int64_t>& sheet_col, TableData& out,
                      Refusal& refusal) {
        bool any_dictionary = false;
        for (const Field& f : out.fields)
            any_dictionary = any_dictionary || f.dictionary;
        // `table` is the one the job has read from all along: once it is
        // the dictionary, its texts are read there.
        std::shared_ptr<const Array> dictionary = any_dictionary ? string_table_array(std::move(table)) : nullptr;
        StringsView texts = dictionary ? view_of(*dictionary) : table.view();
        SharedBlock zeros = share(Block::zeroed(static_cast<size_t>(BATCH_ROWS) * 8 + 8));
        out.nbytes = zeros->capacity() + (dictionary ? dictionary->values->capacity() + dictionary->data->capacity() : 0);
        int64_t start = 0;
        for (auto& d : done) {
            Batch b{d.length, {}};
            for (size_t i = 0; i < out.fields.size(); ++i) {
                Refused why;
                const Field& f = out.fields[i];
                auto a = convert(d.chunks[i], d.length, f.type, f.dictionary, texts, dictionary, zeros, why);
                if (!a) {
                    refusal.message = refused_text(f, sheet_col[i], start, why);
                    return false;
                }
                for (const SharedBlock* blk : {&a->validity, &a->values, &a->data}) {
                    if (*blk && *blk != zeros)
                        out.nbytes += (*blk)->capacity();
                }
                b.columns.push_back(std::move(a));
                d.chunks[i] = Chunk();
            }
            start += d.length;
            out.batches.push_back(std::move(b));
        }
        return true;
    }

    std::string refused_text(const Field& f, int64_t column, int64_t batch_start_row, const Refused& why) const {
        if (why.why == Refused::Why::TooLarge)
            return "column '" + f.name + "' holds more than 2 GiB of text in one batch of " +
                   std::to_string(BATCH_ROWS) + " rows";
        return "column '" + f.name + "' cannot be " + type_name(f.type) + ": cell " + letters(column) +
               std::to_string(first_row + batch_start_row + why.row) + " holds a " + kind_name(why.kind);
    }
};

Job::Job(Options options, DateRules dates, const StringTable& strings)
    : s_(std::make_unique<State>(std::move(options), std::move(dates), strings)) {}

Job::~Job() = default;

bool Job::done() const noexcept { return s_->at_row > s_->last_row; }

int64_t Job::max_shared() const noexcept { return s_->max_shared; }

Result<void> Job::cell(CellRec& c) {
    State& s = *s_;
    // In document order, each cell after the last: the package keeps the
    // later of two cells at one place, and places cells out of order where
    // they belong; the engine leaves both to it.
    if (c.row != s.at_row) [[unlikely]] {
        if (c.row < s.at_row)
            return unsupported("cells out of order");
        VLM_TRY(s.enter_row(c.row));
    } else if (c.column <= s.at_column) [[unlikely]] {
        return unsupported("cells out of order");
    }
    s.at_column = c.column;
    if (s.quick(c)) [[likely]]
        return {};
    // Every cell read is looked up in the string table, in rows passed over
    // too, as the package reads them.
    if (c.value.kind == Val::Kind::SharedString && c.value.i > s.max_shared)
        s.max_shared = c.value.i;
    if (s.role != State::Role::Data) [[unlikely]] {
        if (s.role == State::Role::Header) {
            if (c.column > MAX_SHEET_COLUMN)
                return unsupported("a cell beyond the largest sheet");
            Value v = c.value.kind < Val::Kind::SharedChild ? s.value(c, true) : VLM_TRY(s.py_value_of(c, true));
            put(s.header, c.column - 1, v);
        }
        return {};
    }
    if (c.column > MAX_SHEET_COLUMN || c.column < 1) [[unlikely]]
        return unsupported("a cell beyond the largest sheet");
    if (c.value.kind < Val::Kind::SharedChild) [[likely]] {
        s.place(c.column, s.value(c, false));
    } else {
        Value v = VLM_TRY(s.py_value_of(c, false));
        s.place(c.column, v);
    }
    return {};
}

bool Job::finish(StringTable&& strings, TableData& out, Refusal& refusal) {
    State& s = *s_;
    if (!s.resolved)
        s.resolve();
    if (s.unknown_name) {
        refusal.message = "no column named '" + *s.unknown_name + "'";
        return false;
    }
    std::vector<int64_t> sheet_col = s.table_columns();
    std::vector<bool> asked;
    if (!s.name_fields(sheet_col, out.fields, asked, refusal))
        return false;
    s.close_batches(static_cast<int64_t>(sheet_col.size()));
    s.type_fields(out.fields, asked);
    if (!s.make_batches(std::move(strings), sheet_col, out, refusal))
        return false;
    out.rows = s.extent.cell_rows;
    out.extent = s.extent;
    out.date_errors = s.date_errors;
    return true;
}

Result<bool> table_from_lists(const std::vector<std::string>& names, const std::vector<Type>& types,
                              PyObject* lists, TableData& out, Refusal& refusal) {
    // A sheet without a header whose columns are the lists, each of its type.
    Options opt;
    opt.header_row = -1;
    Py_ssize_t rows = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        opt.columns.push_back(static_cast<int64_t>(i) + 1);
        opt.dtypes.emplace_back(letters(static_cast<int64_t>(i) + 1), types[i]);
        Py_ssize_t n = PyList_GET_SIZE(PyList_GET_ITEM(lists, static_cast<Py_ssize_t>(i)));
        if (i > 0 && n != rows) {
            PyErr_SetString(PyExc_ValueError, "columns of different lengths");
            return fetched();
        }
        rows = n;
    }
    StringTable none;
    Job job(std::move(opt), DateRules{}, none);
    Job::State& s = *job.s_;
    for (Py_ssize_t r = 0; r < rows; ++r) {
        VLM_TRY(s.enter_row(r + 1));
        for (size_t i = 0; i < names.size(); ++i) {
            PyObject* list = PyList_GET_ITEM(lists, static_cast<Py_ssize_t>(i));
            // A list changed by a value's str() (a __str__ of the caller's):
            // read what is there, or stop.
            if (r >= PyList_GET_SIZE(list)) {
                PyErr_SetString(PyExc_ValueError, "a column changed while it was read");
                return fetched();
            }
            Ref item = Ref::borrow(PyList_GET_ITEM(list, r));
            Value v = VLM_TRY(py_value(item.get(), s.scratch));
            s.place(static_cast<int64_t>(i) + 1, v);
        }
    }
    // Every row counts, those without any value too.
    s.extent.cell_rows = rows;
    if (!job.finish(StringTable(), out, refusal))
        return false;
    for (size_t i = 0; i < names.size(); ++i)
        out.fields[i].name = names[i];
    return true;
}

}  // namespace vlm::table
