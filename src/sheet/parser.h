// SheetParser: the XML of one worksheet part as a sequence of items in
// document order: a row of cell records, a captured element (its exact
// source bytes and the namespaces in scope), or the end. It walks the part
// as the package's own worksheet parser does, so that replaying the
// captured elements through the package gives the same worksheet.
#pragma once

#include "host/helpers.h"
#include "sheet/cell_rec.h"
#include "sheet/position.h"
#include "sheet/values.h"
#include "text/text_runs.h"
#include "utils/coord.h"
#include "utils/numparse.h"
#include "xml/reader.h"

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vlm::sheet {

struct Item {
    enum class Kind : unsigned char { Row, Element, End };
    Kind kind = Kind::End;
    int64_t row = 0;
    std::vector<CellRec> cells;
    size_t repeats = 0;  // Row: the cells folded into the record before them
    std::vector<Ref> warnings;  // Row, when warnings are deferred: date warning messages
    std::string bytes;  // Element
    Ref namespaces;     // Element: list of (prefix, uri)

    template <class F>
    void visit(F&& f) const {
        for (const CellRec& c : cells)
            c.visit(f);
        for (const Ref& w : warnings)
            f(w.get());
        f(namespaces.get());
    }
};

// The text collected for one cell. The views point into the owned strings
// on the event path (which decodes), and straight into the reader's buffer on
// the byte path, where the text needs no decoding; either way they are read
// only until the cell is interpreted, before the reader moves on. The owned
// strings keep their capacity from cell to cell.
struct CellBufs {
    std::string_view r, s, t, v, f, ft, fref, fsi;
    bool has_r = false, has_s = false, has_t = false, has_v = false, has_f = false;
    bool has_ft = false, has_fref = false, has_fsi = false;
    Ref inline_value;
    Ref table_attrs;
    // A plain inline string read without the interpreter.
    bool has_inline_text = false;
    std::string inline_text;
    std::string own_r, own_s, own_t, own_v, own_f, own_ft, own_fref, own_fsi;

    void clear() noexcept {
        r = s = t = v = f = ft = fref = fsi = {};
        has_r = has_s = has_t = has_v = has_f = has_ft = has_fref = has_fsi = false;
        inline_value.reset();
        table_attrs.reset();
        has_inline_text = false;
    }

    // Where an attribute the parser reads is kept: the cell's `r`, `s`, `t`,
    // or the `f` element's `t`, `ref`, `si`. Both paths go through these, so
    // the two cannot disagree on which attributes count.
    struct Field {
        std::string_view* view;
        std::string* own;
        bool* has;
    };
    std::optional<Field> cell_attr(std::string_view name) noexcept {
        if (name == "r")
            return Field{&r, &own_r, &has_r};
        if (name == "s")
            return Field{&s, &own_s, &has_s};
        if (name == "t")
            return Field{&t, &own_t, &has_t};
        return std::nullopt;
    }
    std::optional<Field> f_attr(std::string_view name) noexcept {
        if (name == "t")
            return Field{&ft, &own_ft, &has_ft};
        if (name == "ref")
            return Field{&fref, &own_fref, &has_fref};
        if (name == "si")
            return Field{&fsi, &own_fsi, &has_fsi};
        return std::nullopt;
    }
    // A value that needs no decoding, viewed where it stands (byte path).
    static void view(const Field& fd, std::string_view value) noexcept {
        *fd.view = value;
        *fd.has = true;
    }
    // A decoded value, kept in the field's own string (event path).
    static void keep(const Field& fd, std::string value) {
        *fd.own = std::move(value);
        *fd.view = *fd.own;
        *fd.has = true;
    }
};

bool forbid_dispatch(uint32_t ns, std::string_view local) noexcept;

// A consumer that takes each cell as soon as it is read, instead of a
// row's records gathered in its Item (the columnar job): one record is
// read into and handed over again and again, and rows come out empty.
class CellSink {
public:
    virtual ~CellSink() = default;
    // The record is the parser's; it is cleared once this returns.
    [[nodiscard]] virtual Result<void> cell(CellRec& c) = 0;
};

class SheetParser {
public:
    // Reads from `source`, which may be any byte source (a Python file,
    // bytes in memory).
    [[nodiscard]] static Result<std::unique_ptr<SheetParser>> make(std::unique_ptr<ByteSource> source,
                                                                   Helpers helpers, Settings settings,
                                                                   PyObject* actions, PyObject* row_dimensions);

    // The next item, into `out` (a new Item): the consumer's own storage,
    // so a row is not moved on its way out.
    [[nodiscard]] Result<void> next_item(Item& out);
    [[nodiscard]] Result<Item> next_item() {
        Item item;
        VLM_TRY(next_item(item));
        return item;
    }
    // Bytes of the source consumed so far.
    uint64_t offset() const noexcept { return reader_.buffer().dropped + reader_.buffer().pos; }
    const Settings& settings() const noexcept { return settings_; }
    // What the values of the records mean, and their conversion to Python.
    const ValueContext& values() const noexcept { return values_; }
    // Hands the value context over to a consumer that keeps the values; the
    // parser is done with once it has.
    ValueContext take_values() && { return std::move(values_); }

    PyObject* actions() const noexcept { return actions_.get(); }
    PyObject* row_dimensions() const noexcept { return row_dims_.get(); }

    // Takes back the cell storage of a row that has been handed out, so that
    // the rows to come reuse it instead of allocating their own.
    void recycle(std::vector<CellRec>&& cells) {
        cells.clear();
        if (cells.capacity() && spare_.size() < MAX_SPARE)
            spare_.push_back(std::move(cells));
    }

    // Cells go to `sink` as they are read (nullptr: into the rows' records).
    void set_sink(CellSink* sink) noexcept { sink_ = sink; }

    // A consumer that hands rows out later than it parses them asks for the
    // date warnings of a row to travel with the row, so that they reach
    // `actions` in document order with the captured elements around them.
    void defer_warnings() noexcept { defer_warnings_ = true; }

    // Calls f(PyObject*) for every Python object the parser holds.
    template <class F>
    void visit(F&& f) const {
        f(src_->object());
        helpers_.visit(f);
        settings_.visit(f);
        values_.visit(f);
        f(bufs_.inline_value.get());
        f(bufs_.table_attrs.get());
        sink_record_.visit(f);
        for (const Ref& w : warnings_)
            f(w.get());
        f(actions_.get());
        f(row_dims_.get());
    }

private:
    SheetParser(std::unique_ptr<ByteSource> source, Helpers h, Settings s, ValueContext v, PyObject* actions,
                PyObject* rd);

    [[nodiscard]] Result<void> capture_checked(Item& item);
    [[nodiscard]] Result<void> parse_row(Item& item);
    [[nodiscard]] Result<void> row_attrs(bool& other);
    [[nodiscard]] Result<void> row_cells(bool empty, Item& item);
    // `<row r="7">` at the read position, read from the bytes (fast_cells.cpp):
    // true with the row entered and its number set.
    bool quick_row_start();
    [[nodiscard]] Result<void> parse_cell(CellRec& out);
    // The byte-level paths (fast_cells.cpp): true when they read a whole
    // cell. quick_cell takes the commonest shapes, fast_cell any plain cell.
    [[nodiscard]] Result<bool> quick_cell(CellRec& out);
    [[nodiscard]] Result<bool> fast_cell(CellRec& out);
    [[nodiscard]] Result<void> cell_children();
    [[nodiscard]] Result<void> read_inline();
    [[nodiscard]] Result<void> style_of(CellRec& c);
    // Every step that makes or calls a Python object asks first: without
    // the interpreter (Settings::detached) the parse stops there.
    [[nodiscard]] Result<void> need_interpreter() const {
        if (settings_.detached) [[unlikely]]
            return unsupported(NEEDS_INTERPRETER);
        return {};
    }
    [[nodiscard]] Result<Ref> call(Helper h, PyObject* arg) const;
    [[nodiscard]] Result<Ref> py_int(std::string_view text) const;
    [[nodiscard]] Result<std::pair<int64_t, int64_t>> coordinate(std::string_view text) const;

    // Value interpretation (interpret.cpp).
    [[nodiscard]] Result<void> interpret(CellRec& c);
    [[nodiscard]] Result<void> formula(CellRec& c);
    [[nodiscard]] Result<void> shared_formula(CellRec& c, std::string text);
    [[nodiscard]] Result<void> value_of(CellRec& c, Val& out, int& dtype, bool cached);
    [[nodiscard]] Result<void> number(CellRec& c, Val& out, int& dtype, bool cached);
    [[nodiscard]] Result<void> date_value(CellRec& c, Val& out, int& dtype, bool cached);
    [[nodiscard]] Result<void> date_warning(Val& out, int& dtype, PyObject* number, bool cached);

    std::unique_ptr<ByteSource> src_;
    xml::Reader reader_;
    Helpers helpers_;
    Settings settings_;
    ValueContext values_;
    text::TextCtx text_ctx_;
    CellBufs bufs_;
    struct SiHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, size_t, SiHash, std::equal_to<>> shared_by_si_;
    std::optional<size_t> shared_no_si_;
    Position pos_;
    size_t row_cells_ = 0;  // cells of the last row: the next row's first guess
    RowDigits row_digits_;  // of the row being read, for its cells' references
    // Cell storage of rows handed out, for rows to come: about one 16 KiB
    // block of rows is in flight at a time.
    static constexpr size_t MAX_SPARE = 256;
    std::vector<std::vector<CellRec>> spare_;
    bool in_sheet_data_ = false;
    bool defer_warnings_ = false;
    std::vector<Ref> warnings_;  // of the row being read, when deferred
    CellSink* sink_ = nullptr;
    CellRec sink_record_;        // the one record a sink is handed
    Ref actions_, row_dims_;
    std::string scratch_;
};

}  // namespace vlm::sheet
