// prescan_sheet(source, want_rows, corners, helpers): a worksheet's layout
// without its cells, in one pass. The elements before and after sheetData
// are captured through the reader, as the sheet parser captures them;
// sheetData itself is walked as raw bytes, and only the tags the caller
// needs are read: rows for their attributes (and their numbers), cells
// in the rows of the corners asked for.
//
//   {"head": [(bytes, namespaces), ...], "tail": [...],
//    "rows": [(3, [("r", "3"), ("ht", "20")]), ...],
//    "corners": {(1, 1): "4", (9, 2): None}}
#pragma once

#include "sheet/position.h"
#include "xml/plain.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vlm::prescan {

// The corner cells asked for, and what the scan found at each.
class CornerSet {
public:
    struct Corner {
        int64_t row;
        int64_t column;
        bool found = false;
        std::optional<std::string> style;  // the `s` text of the last cell there
    };

    void add(int64_t row, int64_t column) { items_.push_back({row, column, false, std::nullopt}); }
    // Sorts and drops repeats; the queries below need it.
    void seal();
    bool empty() const noexcept { return items_.empty(); }
    // Asked once per cell tag: the rows are few and sorted.
    bool has_row(int64_t row) const noexcept;
    Corner* find(int64_t row, int64_t column) noexcept;
    const std::vector<Corner>& items() const noexcept { return items_; }

private:
    std::vector<Corner> items_;
    std::vector<int64_t> rows_;
};

// One pass over a worksheet part; owns nothing but the lists it builds.
class SheetScan {
public:
    SheetScan(xml::Reader& r, PyObject* row_index, bool want_rows, CornerSet& corners) noexcept
        : r_(r), row_index_(row_index), want_rows_(want_rows), corners_(corners) {}

    // The result dict, keys in the order head, tail, rows, corners.
    [[nodiscard]] Result<Ref> run();

private:
    // An attribute of a row or cell tag: the package's key and the value,
    // decoded; `ascii` when the fast scan took it (then it is plain ASCII).
    struct Field {
        std::string_view name;
        std::string_view value;
        bool prefixed;
        bool ascii;
    };

    [[nodiscard]] Result<void> capture(PyObject* into);
    // sheet_data.cpp: the raw walk and the two tags it reads.
    [[nodiscard]] Result<void> sheet_data();
    [[nodiscard]] Result<const char*> row_tag(xml::PlainScan& s);
    [[nodiscard]] Result<const char*> cell_tag(xml::PlainScan& s);
    [[nodiscard]] Result<const char*> read_attrs(xml::PlainScan& s, size_t name_len);
    [[nodiscard]] Result<int64_t> call_row_index(std::string_view text);
    [[nodiscard]] Result<void> report_row();
    Ref name_str(std::string_view name);
    Ref field_pair(const Field& f);

    xml::Reader& r_;
    PyObject* row_index_;  // borrowed from the caller's helpers for the call
    bool want_rows_;
    CornerSet& corners_;
    sheet::Position pos_;
    Ref head_, tail_, rows_;
    std::vector<Field> fields_;           // of the tag just read
    std::deque<std::string> decoded_;     // their decoded texts (stable addresses)
    std::vector<std::pair<std::string, Ref>> names_;  // attribute names met, as str
    // (name, value) tuples met, keyed by name, a zero byte and value: most
    // rows repeat the attributes of the row before.
    std::unordered_map<std::string, Ref> pairs_;
};

// Adds the module function prescan_sheet.
int add_prescan_sheet(PyObject* module);

}  // namespace vlm::prescan
