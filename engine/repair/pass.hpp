// What the repair pass works with: its row verdicts and the
// contract of the sinks it hands rows to. The pass itself (RepairPass, in
// engine/product_pass/product_pass.hpp) is one walk over a text that sorts
// every row into kept rows (unchanged, padded or merged) and quarantine
// records, handing each to a sink. The table and file front ends are sinks;
// so is anything else that wants the rows as they come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/detect/heuristics.hpp"
#include "engine/scan/parser.hpp"
#include "engine/scan/text.hpp"

namespace gleave {

// What the pass made of one row. Kept: written as parsed; Padded: short, filled
// with empty fields; Merged: its surplus fields folded into the last column;
// TooFew / TooMany: quarantined.
enum class Verdict : std::uint8_t { Kept, Padded, Merged, TooFew, TooMany };

inline bool is_quarantined(Verdict v) noexcept {
  return v == Verdict::TooFew || v == Verdict::TooMany;
}

// One row's verdict with where the row stood in the text. `raw` runs from the
// row's first byte up to its terminating line break (CR LF, LF or CR), which
// it excludes; a row ended by the end of the text runs to that end. It points
// into the text of the pass and, over a text in memory, lives as long as that
// text; over input read a window at a time, during the sink's call only.
struct RowVerdict {
  Verdict verdict = Verdict::Kept;
  std::uint64_t expected = 0;  // the width in force (0: no width rule)
  std::uint64_t actual = 0;    // the number of fields as parsed
  std::uint64_t line = 0;      // the physical line on which the row begins
  std::uint64_t offset = 0;    // byte offset of the row's first byte in the text
  std::string_view raw;
};

// A quarantined row as stored until its line is written: where it stands in
// the text, not its fields. Its fields come back by reading the row again
// (QuarantineLines), so a record costs 24 bytes however wide the row.
struct QuarantineRecord {
  std::uint64_t line = 0;    // the physical line on which the row begins
  std::uint64_t offset = 0;  // byte offset of the row's first byte in the text
  std::uint64_t size : 63 = 0;
  std::uint64_t too_many : 1 = 0;

  static QuarantineRecord of(const RowVerdict& v) noexcept {
    QuarantineRecord r;
    r.line = v.line;
    r.offset = v.offset;
    r.size = v.raw.size();
    r.too_many = v.verdict == Verdict::TooMany;
    return r;
  }
  Verdict verdict() const noexcept { return too_many ? Verdict::TooMany : Verdict::TooFew; }
  std::string_view raw(std::string_view text) const noexcept {
    return text.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
  }
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
inline void merge_surplus(Row& row, std::size_t width, std::string_view separator,
                          std::string& scratch) {
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

// "Row has too few columns (expected W)" or "Row has extra columns (expected W)".
inline std::string reason_text(Verdict verdict, std::uint64_t width) {
  return std::string(verdict == Verdict::TooFew ? "Row has too few columns (expected "
                                                : "Row has extra columns (expected ") +
         std::to_string(width) + ")";
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

// The sink contract. One pass over the text calls, in this order:
//   sink.begin(delimiter, width)
//     once, when the delimiter and the width in force are settled;
//   sink.keep_line(line, ascii) -> bool
//     for each row that is a plain line of the right width: its bytes
//     (without the line break), kept unchanged; `ascii` tells whether every
//     byte is below 0x80. The common row, and it costs nothing more;
//   sink.keep(row, verdict) -> bool
//     for each other kept row: the row as it is kept (already padded or
//     merged), with its verdict (Kept, Padded or Merged);
//   sink.reject(verdict, fields) -> bool
//     for each quarantined row: its verdict (TooFew or TooMany) and its
//     fields as parsed (not padded, merged or re-quoted).
// Any call but begin may return false to stop the pass early (a write
// failed). The row, the fields and the verdict's raw span are valid during
// the call only, except that over a text in memory the raw span lives as
// long as the text.
//
// The input is a window over the text: `window()`, `complete()` (the window
// ends where the text ends), `base()` (the offset of the window in the
// text), `advance(keep)` (drop the bytes before `keep`, read on; false when
// reading failed, which ends the pass) and `runs_away(quote, delimiter,
// quote_char, repair_quotes)` (see ChunkedText). A text in memory is one
// window that is complete.
struct WholeText {
  std::string_view text;
  std::string_view window() const noexcept { return text; }
  bool complete() const noexcept { return true; }
  std::uint64_t base() const noexcept { return 0; }
  bool advance(std::size_t) noexcept { return false; }
  std::optional<bool> runs_away(std::size_t, unsigned char, unsigned char, bool,
                                std::optional<unsigned char> = std::nullopt) noexcept {
    return std::nullopt;
  }
};

// Settles one heuristic over the shortest prefix of the input that decides
// it: `detect(prefix, complete, probe)` answers, or says the prefix is too
// short, and the window grows (keeping every byte) until it answers.
template <class Input, class Detect>
auto settle_on_prefix(Input& in, Detect&& detect)
    -> std::optional<typename std::invoke_result_t<Detect, std::string_view, bool,
                                                   const RunawayProbe&>::value_type> {
  const RunawayProbe probe = [&in](std::size_t quote, unsigned char delimiter) {
    return in.runs_away(quote, delimiter, '"', true);
  };
  while (true) {
    if (auto answer = detect(in.window(), in.complete(), probe)) return answer;
    if (in.complete() || !in.advance(0)) return std::nullopt;
  }
}

// The fields and the line of quarantine records, read again from the text
// of the pass that made them (the same parser from the row's first byte
// gives the same fields, read by the dialect of the pass). Reuses one row
// for every record.
class QuarantineLines {
 public:
  QuarantineLines(std::string_view text, const Dialect& dialect)
      : delimiter_(dialect.delimiter),
        parser_(text, dialect),
        too_few_(reason_text(Verdict::TooFew, dialect.expected_width)),
        too_many_(reason_text(Verdict::TooMany, dialect.expected_width)) {}

  // The record's fields as parsed; valid until the next call.
  const Row& fields(const QuarantineRecord& record) {
    parser_.resume_at(record.offset, record.line);
    if (!parser_.next_row(row_)) row_.clear();  // never: a record is a row of the text
    return row_;
  }
  const std::string& reason(const QuarantineRecord& record) const noexcept {
    return record.too_many ? too_many_ : too_few_;
  }
  unsigned char delimiter() const noexcept { return delimiter_; }

 private:
  unsigned char delimiter_;
  ResilientParser parser_;
  std::string too_few_, too_many_;
  Row row_;
};

}  // namespace gleave
