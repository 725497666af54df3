// Which rows of a candidate's reading make up the table: a preamble above
// it, a header of several rows, other tables above or below, and notes
// under it. Each rule moves rows out of the table only on its own named
// evidence; when unsure, a row stays in the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/dialect/reading.hpp"

namespace gleave::dialect {

// Where the table starts: the index into `nonblank` of its first row.
std::size_t table_start(const Reading& r, const std::vector<std::uint32_t>& nonblank,
                        std::uint32_t width);

// How many rows the header of `a.table` spans (1 for a plain header).
std::uint32_t header_rows(const Reading& r, const Analysis& a);

struct Tables {
  std::uint32_t count = 0;
  bool table_above = false;  // the rows above the table's own start with a header
  std::size_t begin = 0;     // index into Analysis::table of the table's first row (its header)
  std::size_t end = 0;       // ... and of the first row of the next table, or table.size()
  std::uint32_t widest = 0;  // the widest of the tables' widths
};

// The tables in the sample and which of them is the table.
Tables find_tables(std::string_view s, const Reading& r, const Analysis& a, unsigned char delim,
                   int quote);

// The index into a.table of the first footnote (a.table.size() when none).
std::size_t footnotes(std::string_view s, const Reading& r, const Analysis& a, bool end_known,
                      unsigned char delimiter);

}  // namespace gleave::dialect
