// The columnar job: a worksheet's cells, as the sheet parser reads them,
// into typed columns cut in record batches, with no Python object per cell.
//
// The table's rows are the sheet's rows from the first data row (after the
// header row and the rows skipped) to the last row holding a cell; its
// columns run from A to the last column holding a cell (or are the ones
// asked for). Each cell lands at its own row and column; a row the sheet
// leaves out is a row of nulls. Values follow the package's reading with
// data_only: a formula gives its cached value, a number whose style shows a
// date or a duration a timestamp, time of day or duration (from_excel's
// arithmetic), an error cell null (or its text), a date out of range too.
//
// The job decides nothing the package would decide differently: cells out
// of document order (the package keeps the last of two at one place), or
// beyond the largest sheet a spreadsheet can have, are declined, and the
// package reads the sheet itself.
#pragma once

#include "dates/dates.h"
#include "host/helpers.h"
#include "sheet/parser.h"
#include "table/column.h"

#include <memory>
#include <string>
#include <vector>

namespace vlm::table {

// What the caller asked for, resolved by the package.
struct Options {
    int64_t header_row = 0;             // 0-based sheet row of the names; -1: none (named by letter)
    int64_t skip_rows = 0;              // rows passed over between it (or the top) and the data
    int64_t n_rows = -1;                // at most this many data rows; -1: all
    std::vector<int64_t> columns;       // sheet columns (1-based) to keep, in this order; or
    std::vector<std::string> names;     // columns to keep by name, in this order; or neither: all
    std::vector<std::pair<std::string, Type>> dtypes;  // types asked for, by name
    bool error_text = false;            // error cells as their text, not null
};

// How numbers become dates: the style ids whose formats show dates and
// durations, and the workbook's epoch.
struct DateRules {
    IntSet dates, durations;
    Epoch epoch{};
};

// One record batch, its columns in the table's order.
struct Batch {
    int64_t length = 0;
    std::vector<std::shared_ptr<const Array>> columns;
};

struct Field {
    std::string name;
    Type type = Type::Null;
    bool dictionary = false;  // int32 indexes into the string table
};

// Where the sheet's cells and values lie, in table rows and columns: how far
// a reading that trims what holds no value would cut.
struct Extent {
    int64_t cell_rows = 0, cell_columns = 0;    // rows and columns up to the last cell
    int64_t value_rows = 0, value_columns = 0;  // up to the last cell holding a value
};

struct TableData {
    std::vector<Field> fields;
    std::vector<Batch> batches;
    int64_t rows = 0;
    Extent extent;
    int64_t date_errors = 0;  // date-formatted numbers out of range, read as errors
    size_t nbytes = 0;        // the buffers' bytes (the zero block and string table counted once)
};

// A fault in what the caller asked for (a name no column has, a value the
// type asked for cannot take): raised as ValueError once the interpreter is
// back.
struct Refusal {
    std::string message;
};

// The sheet parser's consumer: each cell as it is read, in document order.
class Job final : public sheet::CellSink {
public:
    // `strings` must outlive the job.
    Job(Options options, DateRules dates, const StringTable& strings);
    ~Job() override;

    [[nodiscard]] Result<void> cell(sheet::CellRec& c) override;
    // Past the last row asked for: reading further changes nothing.
    bool done() const noexcept;
    // The largest shared-string index the cells hold (-1: none), for a
    // reading that learns the string table's size only afterwards.
    int64_t max_shared() const noexcept;
    // The table, or (false) the refusal of what was asked. `strings` is the
    // string table, handed over: it becomes the dictionary of the columns
    // that keep shared strings as indexes.
    [[nodiscard]] bool finish(StringTable&& strings, TableData& out, Refusal& refusal);

private:
    friend Result<bool> table_from_lists(const std::vector<std::string>&, const std::vector<Type>&, PyObject*,
                                         TableData&, Refusal&);
    struct State;
    std::unique_ptr<State> s_;
};

// A table from the package's own columns (its reading when the engine
// declines): one list of values per column, each already of its column's
// type. With the interpreter.
[[nodiscard]] Result<bool> table_from_lists(const std::vector<std::string>& names, const std::vector<Type>& types,
                                            PyObject* lists, TableData& out, Refusal& refusal);

}  // namespace vlm::table
