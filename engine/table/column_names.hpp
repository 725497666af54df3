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

// column_1, column_2, ..., column_width.
std::vector<std::string> positional_names(std::size_t width);

// Whether the UTF-8 text holds only Python whitespace (true when empty).
bool is_python_blank(std::string_view s) noexcept;

}  // namespace gleave::table
