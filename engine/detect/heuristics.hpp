// Detection heuristics that drive the tolerant parser over the start of a
// text: which delimiter it uses, and how many columns it is meant to have.
#pragma once

#include <cstdint>
#include <string_view>

namespace gleave {

// One of comma, semicolon, tab or vertical bar; the comma when nothing
// scores. Reads at most 50 non-blank rows per candidate.
unsigned char sniff_delimiter(std::string_view text);

// The most frequent width among the first 100 non-blank rows; 0 when the
// text holds no such row.
std::uint64_t infer_column_count(std::string_view text, unsigned char delimiter);

}  // namespace gleave
