#include "engine/detect/heuristics.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "engine/scan/parser.hpp"

namespace gleave {

namespace {

constexpr unsigned char kCandidates[] = {',', ';', '\t', '|'};
constexpr std::size_t kSniffBudget = 50;
constexpr std::size_t kInferBudget = 100;
constexpr unsigned char kQuote = '"';

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
// returns how many were counted, or nothing when a row goes on past the end
// of an incomplete prefix.
std::optional<std::size_t> count_widths(std::string_view text, bool complete,
                                        unsigned char delimiter, std::size_t budget,
                                        const RunawayProbe& probe, Frequencies& freq, Row& row) {
  ResilientParser parser(text, delimiter, kQuote, true);
  parser.set_final(complete);
  std::size_t counted = 0;
  while (counted < budget) {
    if (!parser.next_row(row)) {
      if (!parser.starved()) break;
      // A quoted field open at the end of the prefix: when it is known to
      // run to the end of the input, the row is decided without reading on.
      const std::size_t quote = parser.starved_quote();
      if (quote == SIZE_MAX || parser.known_runaway(quote) || !probe) return std::nullopt;
      const std::optional<bool> away = probe(quote, delimiter);
      if (!away || !*away) return std::nullopt;
      parser.set_runaway(quote);
      continue;
    }
    if (is_blank_row(row)) continue;
    freq.add(row.size());
    ++counted;
  }
  return counted;
}

}  // namespace

std::optional<unsigned char> sniff_delimiter(std::string_view text, bool complete,
                                             const RunawayProbe& probe) {
  // 1. The comma is the provisional winner; a later candidate must score
  //    strictly higher to replace it.
  double best_score = -1.0;
  unsigned char best = ',';
  // One row's buffers for every candidate: a row of hundreds of megabytes
  // (a line of stray quotes) is then given memory once, not four times.
  Row row;
  for (const unsigned char candidate : kCandidates) {
    // 2. Field counts of up to 50 non-blank rows under this candidate.
    Frequencies freq;
    const std::optional<std::size_t> counted =
        count_widths(text, complete, candidate, kSniffBudget, probe, freq, row);
    if (!counted) return std::nullopt;
    const std::size_t rows = *counted;
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

unsigned char sniff_delimiter(std::string_view text) {
  return *sniff_delimiter(text, true, {});
}

std::optional<std::uint64_t> infer_column_count(std::string_view text, bool complete,
                                                unsigned char delimiter,
                                                const RunawayProbe& probe) {
  // 1. Widths of up to 100 non-blank rows; one-field rows take part.
  Frequencies freq;
  Row row;
  if (!count_widths(text, complete, delimiter, kInferBudget, probe, freq, row)) {
    return std::nullopt;
  }
  // 2. No counted row: no width.
  if (freq.empty()) return 0;
  // 3. The most frequent width, first seen winning a tie.
  return freq.mode(0).first;
}

}  // namespace gleave

namespace gleave {

std::uint64_t infer_column_count(std::string_view text, unsigned char delimiter) {
  return *infer_column_count(text, true, delimiter, {});
}

}  // namespace gleave
