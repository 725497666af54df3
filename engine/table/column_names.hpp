// Column names for a table: from a header row, or column_1, column_2, ...
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace gleave::table {

// Unique, non-empty names for `width` columns from the header cells `raw`
// (valid UTF-8), the way the pandas loaders name them: a blank cell (only
// characters Python's str.isspace accepts) or a missing one becomes
// "Unnamed: i" (i counts from 0); a repeated name gets ".1", ".2", ...
// appended, skipping any suffix that is the header name of another column.
// Linear in the total length of the names: each base name remembers the
// next suffix to try, and a suffix once refused stays refused.
std::vector<std::string> unique_header_names(std::vector<std::string> raw, std::size_t width);

// One row of header cells from a header of several rows, column by column:
// a label in a row above the last (a group: a year over its quarters)
// carries on to the right over the empty cells after it, up to the next
// label in that row; the labels of a column are then joined with a blank,
// top to bottom, empty ones left out ("2019 q1"). This is the name a
// pandas user gets by flattening a MultiIndex header with " ".join.
std::vector<std::string> combine_header_rows(const std::vector<std::vector<std::string>>& rows);

// column_1, column_2, ..., column_width.
std::vector<std::string> positional_names(std::size_t width);

// Whether the UTF-8 text holds only Python whitespace (true when empty).
bool is_python_blank(std::string_view s) noexcept;

}  // namespace gleave::table
