// The steps of detection before and after the scoring: what a sample says
// of itself (a `sep=` line, a lone row's delimiter), the candidates worth
// reading, and the header and widths of the table chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dialect/dialect.hpp"
#include "engine/dialect/reading.hpp"

namespace gleave::dialect {

// Reads sample `s` as candidate `c` would (at most `max_rows` rows; when
// `complete`, `s` is the whole input): its rows and a type per cell.
void read_sample(std::string_view s, const Candidate& c, std::size_t max_rows, bool complete,
                 Reading& out);

// A first line `sep=X`: X, with `line_end` past that line.
std::optional<unsigned char> sep_line(std::string_view s, std::size_t& line_end);

// The delimiter of a sample of one row.
unsigned char single_line_delimiter(std::string_view line);

std::size_t count_byte(std::string_view s, char c);

// The candidate dialects worth reading on sample `s`.
void candidates(std::string_view s, const Dialect& o, std::vector<Candidate>& out);

// Scratch memory of the header step, kept from one detection to the next.
struct HeaderScratch {
  std::vector<std::string_view> head, fields;
  std::vector<CellType> types;
  std::vector<std::vector<std::pair<std::string_view, CellType>>> columns;
};

struct TableScratch {
  HeaderScratch header;
};

// Why the row a.table[top] of sample `s`, read as candidate `c`, is a
// header (a short named reason), or nullptr when it reads as a data row.
const char* header_evidence(std::string_view s, const Reading& r, const Analysis& a,
                            const Candidate& c, std::size_t top, HeaderScratch& work);

// The header, its width and the width to repair rows to, from the table's
// rows in `a`.
void describe_table(std::string_view s, const Reading& r, const Analysis& a, const Candidate& c,
                    Dialect& d, TableScratch& work);

}  // namespace gleave::dialect
