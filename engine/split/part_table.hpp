// One part of a large file read straight into an Arrow table: the part's
// pass (as repair_part runs it) hands its kept rows to a table builder
// instead of writing them, so that a partition of a data frame costs one
// reading of its bytes and no CSV in between. What the pass sets aside is
// kept as the part's quarantine lines, numbered as the part numbers them.
#pragma once

#include <string>
#include <vector>

#include "engine/split/split.hpp"
#include "engine/table/table_builder.hpp"

namespace gleave {

struct PartTableRequest {
  // `header`: the part's first kept row is the table's header (the first
  // kept row of the file); with names given it is read and dropped.
  table::TableOptions options;
  // The table's column names, given so that every part has the same ones
  // (the first part's header row is then dropped); empty: the header's or
  // positional names.
  std::vector<std::string> names;
  // Columns kept as their exact field texts, whatever their values look
  // like: a text column of the whole file stays text in every part.
  std::vector<bool> text;
  // Kept rows dropped before the first one taken: the header rows (of a
  // header the dialect says spans several) that fall in this part.
  std::uint64_t skip_rows = 0;
};

struct PartTable {
  PartResult part;
  table::ArrowTable table;
  // The quarantine lines of the part (with the file's header line for the
  // first part), as a quarantine file of the part would hold them.
  std::string set_aside;
  std::uint64_t set_aside_rows = 0;
  // With header: how many rows the header spans, as the dialect says.
  std::uint64_t header_rows = 0;
};

// Reads one part into a table. Never throws but std::bad_alloc.
Result<PartTable> table_part(PartRequest& request, const PartTableRequest& table_request);

}  // namespace gleave
