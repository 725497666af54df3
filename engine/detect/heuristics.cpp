#include "heuristics.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "parser.hpp"

namespace gleave {

namespace {

constexpr unsigned char kCandidates[] = {',', ';', '\t', '|'};
constexpr std::size_t kSniffBudget = 50;
constexpr std::size_t kInferBudget = 100;

// A row of one field that holds only White_Space says nothing about width.
bool is_blank_row(const Row& row) noexcept {
  return row.size() == 1 && is_all_white_space(row.field(0));
}

// Field count -> occurrences, kept in order of first occurrence in the text.
// Ties between equally frequent counts go to the one seen first: a fixed rule,
// so the same text always gives the same answer.
class Frequencies {
 public:
  void add(std::uint64_t width) {
    for (auto& [w, n] : table_) {
      if (w == width) {
        ++n;
        return;
      }
    }
    table_.emplace_back(width, 1);
  }
  bool empty() const noexcept { return table_.empty(); }

  // The most frequent width among those of at least `min_width` (first seen
  // wins a tie), with its number of occurrences; {0, 0} when there is none.
  std::pair<std::uint64_t, int> mode(std::uint64_t min_width) const noexcept {
    std::pair<std::uint64_t, int> best{0, 0};
    for (const auto& [w, n] : table_) {
      if (w >= min_width && n > best.second) best = {w, n};
    }
    return best;
  }

 private:
  std::vector<std::pair<std::uint64_t, int>> table_;
};

// Reads up to `budget` non-blank rows under the delimiter into `freq`;
// returns how many were counted.
std::size_t count_widths(std::string_view text, unsigned char delimiter, std::size_t budget,
                         Frequencies& freq) {
  ResilientParser parser(text, delimiter, '"', true);
  Row row;
  std::size_t counted = 0;
  while (counted < budget && parser.next_row(row)) {
    if (is_blank_row(row)) continue;
    freq.add(row.size());
    ++counted;
  }
  return counted;
}

}  // namespace

unsigned char sniff_delimiter(std::string_view text) {
  // 1. The comma is the provisional winner; a later candidate must score
  //    strictly higher to replace it.
  double best_score = -1.0;
  unsigned char best = ',';
  for (const unsigned char candidate : kCandidates) {
    // 2. Field counts of up to 50 non-blank rows under this candidate.
    Frequencies freq;
    const std::size_t rows = count_widths(text, candidate, kSniffBudget, freq);
    // 3. Score: share of rows with the most frequent multi-field width,
    //    weighted by ln(width) from three fields on.
    double score = 0.0;
    const bool enough_rows = rows >= 2;
    const auto [width, hits] = freq.mode(2);
    const bool has_multi_field_width = width >= 2;
    if (enough_rows && has_multi_field_width) {
      score = (static_cast<double>(hits) / static_cast<double>(rows)) *
              std::max(std::log(static_cast<double>(width)), 1.0);
    }
    // 4. Strictly better only: an equal score keeps the earlier candidate.
    if (score > best_score) {
      best_score = score;
      best = candidate;
    }
  }
  return best;
}

std::uint64_t infer_column_count(std::string_view text, unsigned char delimiter) {
  // 1. Widths of up to 100 non-blank rows; one-field rows take part.
  Frequencies freq;
  count_widths(text, delimiter, kInferBudget, freq);
  // 2. No counted row: no width.
  if (freq.empty()) return 0;
  // 3. The most frequent width, first seen winning a tie.
  return freq.mode(0).first;
}

}  // namespace gleave
