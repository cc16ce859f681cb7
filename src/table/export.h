// A table handed to Arrow consumers through the C data interface: its
// schema (a struct of its fields), each record batch (a struct array of its
// columns), and a stream of the batches. Nothing is copied: every exported
// array keeps the blocks it points into alive (shared with the table and
// with every other export), and lets them go when its consumer releases it,
// in whatever order consumers release what they took, early or late.
#pragma once

#include "table/arrow.h"
#include "table/job.h"

#include <memory>

namespace vlm::table {

using SharedTable = std::shared_ptr<const TableData>;

void export_schema(const TableData& table, ArrowSchema* out);
void export_batch(const SharedTable& table, size_t batch, ArrowArray* out);
void export_stream(SharedTable table, ArrowArrayStream* out);

}  // namespace vlm::table
