// The two detection heuristics over any text: the sniffer always names one of
// its four candidates, the width is the most frequent among the first 100
// non-blank rows, and neither is thrown by a leading byte-order mark.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/detect/heuristics.hpp"
#include "engine/scan/parser.hpp"
#include "engine/scan/text.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

// Widths of the first 100 rows that are not one blank field; the most
// frequent, the earliest seen on a tie; 0 when there is none.
std::uint64_t expected_width(std::string_view text, unsigned char delimiter) {
  gleave::ResilientParser parser(text, delimiter, '"', true);
  std::vector<std::pair<std::uint64_t, int>> seen;
  gleave::Row row;
  for (int counted = 0; counted < 100 && parser.next_row(row);) {
    if (row.size() == 1 && gleave::is_all_white_space(row.field(0))) continue;
    ++counted;
    bool found = false;
    for (auto& [w, n] : seen) {
      if (w == row.size()) ++n, found = true;
    }
    if (!found) seen.emplace_back(row.size(), 1);
  }
  std::pair<std::uint64_t, int> best{0, 0};
  for (const auto& e : seen) {
    if (e.second > best.second) best = e;
  }
  return best.first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 1);
  const std::string_view text = h.rest();

  const unsigned char sniffed = gleave::sniff_delimiter(text);
  FUZZ_CHECK(sniffed == ',' || sniffed == ';' || sniffed == '\t' || sniffed == '|');
  FUZZ_CHECK(gleave::sniff_delimiter(text) == sniffed);

  const unsigned char given = fuzz::pick_delimiter(h.byte(0), h.byte(0) ^ 0x3C);
  for (const unsigned char d : {sniffed, given}) {
    const std::uint64_t width = gleave::infer_column_count(text, d);
    FUZZ_CHECK(width == expected_width(text, d));
  }

  // A byte-order mark in front changes nothing (unless the text already has
  // one: only the first is skipped).
  if (text.substr(0, 3) != "\xEF\xBB\xBF") {
    const std::string with_bom = "\xEF\xBB\xBF" + std::string(text);
    FUZZ_CHECK(gleave::sniff_delimiter(with_bom) == sniffed);
    FUZZ_CHECK(gleave::infer_column_count(with_bom, given) ==
               gleave::infer_column_count(text, given));
  }
  return 0;
}
