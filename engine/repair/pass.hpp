// The repair pass: one walk over a text that sorts every row into kept rows
// (unchanged, padded or merged) and quarantine records, handing each to a
// sink. The table and file front ends are sinks; so is anything else that
// wants the rows as they come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "heuristics.hpp"
#include "parser.hpp"
#include "text.hpp"

namespace gleave {

struct GleaveOptions {
  std::optional<unsigned char> delimiter;  // absent: sniffed
  unsigned char quote_char = '"';
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width rule
  bool repair_quotes = true;
};

struct QuarantineRecord {
  std::uint64_t line = 0;  // the parser's line counter right after the row
  std::string reason;
  std::vector<std::string> fields;  // as parsed: not padded, merged or re-quoted
};

// The counts of a pass: every row the parser returned is either kept
// (gleaved, possibly repaired) or quarantined.
struct GleaveCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t gleaved_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;  // the expected width in force
};

struct PassCounts : GleaveCounts {
  unsigned char delimiter = ',';
};

// Folds fields `width` to the last into field `width`, joined by `separator`.
inline void merge_surplus(Row& row, std::size_t width, std::string_view separator, std::string& scratch) {
  const std::size_t keep_end = row.field_begin(width - 1);
  scratch.clear();
  for (std::size_t i = width - 1; i < row.size(); ++i) {
    if (i != width - 1) scratch.append(separator);
    scratch.append(row.field(i));
  }
  row.bytes.resize(keep_end);
  row.bytes.append(scratch);
  row.ends.resize(width - 1);
  row.ends.push_back(row.bytes.size());
}

inline std::string reason_text(const char* head, std::uint64_t width) {
  return std::string(head) + std::to_string(width) + ")";
}

// Fills `row` with the fields of a plain line: the pieces between delimiters.
inline void split_plain_line(std::string_view line, unsigned char delimiter, Row& row) {
  row.clear();
  const char* p = line.data();
  const char* const end = p + line.size();
  while (true) {
    const void* hit = std::memchr(p, delimiter, static_cast<std::size_t>(end - p));
    const char* stop = hit == nullptr ? end : static_cast<const char*>(hit);
    row.push_field(std::string_view(p, static_cast<std::size_t>(stop - p)));
    if (stop == end) return;
    p = stop + 1;
  }
}


// One pass over the text. `sink.begin(delimiter, width)` learns the delimiter
// and width in force once they are settled; `sink.keep_line(line, ascii)`
// receives each kept row that is a plain line of the right width, as its
// bytes; `sink.keep(row)` each other kept row (already padded or merged), and
// `sink.reject(record)` each quarantined one. Any of them may return false to
// stop the pass early (a write failed).
template <class Sink>
PassCounts run_pass(std::string_view text, const GleaveOptions& options, Sink& sink) {
  PassCounts counts;
  // 1. An empty text has nothing to settle: every count 0, the comma.
  if (text.empty()) return counts;
  // 2. Delimiter and expected width: given, or detected over the whole text.
  counts.delimiter = options.delimiter ? *options.delimiter : sniff_delimiter(text);
  const std::uint64_t width = options.expected_columns ? *options.expected_columns
                                                       : infer_column_count(text, counts.delimiter);
  counts.inferred_columns = width;
  sink.begin(counts.delimiter, width);
  const std::string separator = byte_char(counts.delimiter);

  ResilientParser parser(text, counts.delimiter, options.quote_char, options.repair_quotes);
  Row row;
  std::string scratch;

  // 3. Judge every row on its own against the width: keep it as it is, pad
  //    it, merge its surplus fields, or quarantine it.
  auto judge = [&](Row& r) -> bool {
    ++counts.total_rows;
    const std::uint64_t n = r.size();
    const bool fits = width == 0 || n == width;
    const bool short_row = !fits && n < width;
    if (fits || (short_row && options.fill_ragged_rows) || (!short_row && options.merge_overflow)) {
      if (!fits) {
        if (short_row) {
          r.ends.resize(static_cast<std::size_t>(width), r.bytes.size());
        } else {
          merge_surplus(r, static_cast<std::size_t>(width), separator, scratch);
        }
        ++counts.repaired_rows;
      }
      ++counts.gleaved_rows;
      return sink.keep(r);
    }
    QuarantineRecord record;
    record.line = parser.line();
    record.reason = reason_text(
        short_row ? "Row has too few columns (expected " : "Row has extra columns (expected ",
        width);
    record.fields = r.to_strings();
    ++counts.quarantined_rows;
    return sink.reject(std::move(record));
  };

  bool go_on = true;
  auto on_plain_line = [&](std::string_view line, bool ascii, std::uint64_t fields) {
    if (width == 0 || fields == width) {  // the common row: its bytes go out unchanged
      ++counts.total_rows;
      ++counts.gleaved_rows;
      go_on = sink.keep_line(line, ascii);
    } else {
      split_plain_line(line, counts.delimiter, row);
      go_on = judge(row);
    }
    return go_on;
  };
  while (true) {
    parser.take_plain_lines(on_plain_line);
    if (!go_on) return counts;
    if (!parser.next_row(row)) break;
    if (!judge(row)) return counts;
  }
  return counts;
}

}  // namespace gleave
