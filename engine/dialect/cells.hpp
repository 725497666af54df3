// Cell types for dialect scoring: a field that reads as a number (decimal
// point or comma, grouping, sign, currency, percent), a date or time, a
// boolean or missing-value word, or clean text is evidence that the dialect
// cut the line in the right places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gleave::dialect {

enum class CellType : std::uint8_t {
  Empty,
  Number,
  Date,    // dates, times and timestamps
  Word,    // booleans and missing-value markers
  Text,    // letters, digits, blanks and common punctuation
  Quoted,  // quoted text that is not one of the above
  Tabbed,  // words with tabs between, under another delimiter (see below)
  Other,   // anything else: likely a piece of a wrongly cut field
};

// Words with tabs between them are clean text when the tabs are not the
// delimiter, but a tab-delimited file cut by another delimiter yields them
// too: they count as typed only once the tab is known to cut the rows
// unsteadily (see the scoring), and never otherwise.
inline bool is_typed(CellType t) noexcept {
  return t != CellType::Other && t != CellType::Tabbed;
}
inline bool is_value(CellType t) noexcept {
  return t == CellType::Number || t == CellType::Date || t == CellType::Word;
}
inline bool is_text(CellType t) noexcept {
  return t == CellType::Text || t == CellType::Quoted;
}

// Classifies the bytes of an unquoted field read with `delimiter`. A comma
// inside a number is a decimal or grouping comma only when the comma is not
// the delimiter.
CellType classify_cell(std::string_view cell, unsigned char delimiter) noexcept;

bool is_number(std::string_view s, bool comma_ok) noexcept;
bool is_date_or_time(std::string_view s) noexcept;

// The length of a date with the month named at the start of `s` ("Jan 1
// 1990", "January 1, 1990", "1 Jan 1990", "Sept. 30 2001": one blank
// between the parts), or 0.
std::size_t month_date_length(std::string_view s) noexcept;

}  // namespace gleave::dialect
