// Detection heuristics that drive the tolerant parser over the start of a
// text: which delimiter it uses, and how many columns it is meant to have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace gleave {

// One of comma, semicolon, tab or vertical bar; the comma when nothing
// scores. Reads at most 50 non-blank rows per candidate.
unsigned char sniff_delimiter(std::string_view text);

// The most frequent width among the first 100 non-blank rows; 0 when the
// text holds no such row.
std::uint64_t infer_column_count(std::string_view text, unsigned char delimiter);

// Told where a quoted field opens in the text (the offset of its quote) and
// the delimiter, says whether that field runs to the end of the whole input
// without closing; nothing when it cannot tell. Lets a prefix decide a row
// whose quote never closes without reading the rest of the input.
using RunawayProbe = std::function<std::optional<bool>(std::size_t quote, unsigned char delimiter)>;

// The same over the first bytes of a longer input (`complete` false): the
// answer over the whole input, or nothing when the prefix is too short to
// tell (a row the heuristics read goes on past its end). Blank rows do not
// count towards the budgets, so no fixed length is enough.
std::optional<unsigned char> sniff_delimiter(std::string_view prefix, bool complete,
                                             const RunawayProbe& probe);
std::optional<std::uint64_t> infer_column_count(std::string_view prefix, bool complete,
                                                unsigned char delimiter, const RunawayProbe& probe);

}  // namespace gleave
