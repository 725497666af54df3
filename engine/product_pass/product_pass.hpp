// The product layer's pass: any input is converted to UTF-8 once, its
// dialect is detected on a bounded sample (the parts the caller gave win),
// and the repair runs with that dialect. Lines above the table go to the
// quarantine with their own reason, blank lines are counted rather than
// padded into rows, and a header one name short of a row-label column gets
// its empty name at the front.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "byte_buffer.hpp"
#include "dialect/dialect.hpp"
#include "error.hpp"
#include "pass.hpp"

namespace gleave {

// What the caller fixed about the input beyond the repair options; every
// part left empty is detected.
struct DialectRequest {
  std::string encoding;  // empty: detected; else any name iconv knows
  bool quote_given = false;
  std::optional<unsigned char> quote_char;  // when quote_given; nullopt: no quoting
  std::optional<bool> skip_initial_space;
  std::optional<std::uint64_t> preamble_lines;
  bool escape_given = false;
  std::optional<unsigned char> escape_char;  // when escape_given; nullopt: quotes are doubled
};

// How the input was read, for the summary and detect().
struct InputReport {
  std::string encoding;
  std::uint64_t replaced_bytes = 0;  // bytes that could not be decoded, written as U+FFFD
  std::uint64_t fallback_bytes = 0;  // bytes of detected UTF-8 that were not, read as cp1252
  std::optional<unsigned char> quote_char;
  bool skip_initial_space = false;
  std::optional<unsigned char> escape_char;
  std::uint64_t preamble_lines = 0;  // physical lines above the table
  bool header = false;
  bool not_a_table = false;
  std::uint64_t preamble_rows = 0;         // non-blank preamble lines, quarantined
  std::uint64_t blank_rows = 0;            // blank lines skipped
  std::uint32_t tables = 0;                // tables seen in the detection sample
  std::uint64_t other_table_rows = 0;      // rows of the tables after the first, quarantined
  std::uint64_t footnote_rows = 0;         // notes under the table, quarantined
  std::uint64_t repeated_header_rows = 0;  // later rows that repeat the header, quarantined
};

// The input as UTF-8 with its dialect settled.
struct PreparedText {
  ByteBuffer converted;   // the UTF-8 text when the input had to be converted
  std::string_view text;  // the UTF-8 text: in the input, or in `converted`
  Dialect dialect;        // with the caller's parts in force
  std::string encoding;
  std::uint64_t replaced = 0;
  std::uint64_t fallback = 0;  // see InputReport::fallback_bytes
  std::string error;           // non-empty when the input could not be converted at all

  bool ok() const noexcept { return error.empty(); }
  // The quote byte for the parser and the writer: the dialect's, or the
  // double quote (written only around fields that need it) when the input
  // has no quoting.
  unsigned char quote_byte() const noexcept { return dialect.quote_char.value_or('"'); }
};

// True when `name` is an encoding transcode_to_utf8 accepts.
bool encoding_known(std::string_view name);

// Converts `input` and detects its dialect. The text views `input` when it
// was valid UTF-8 already, so `input` must outlive the result. A given
// delimiter or expected width in `options` overrides the detected one.
// Never throws but std::bad_alloc.
PreparedText prepare_text(std::string_view input, const GleaveOptions& options,
                          const DialectRequest& request, bool keep_evidence = false);

// The same for the first bytes of a longer input (`complete` false): the
// encoding is named from them, and they are cut at the last whole line (or
// whole code unit) before conversion, so that no character is split.
PreparedText prepare_sample(std::string_view prefix, bool complete, const GleaveOptions& options,
                            const DialectRequest& request, bool keep_evidence);

// At most `max` bytes from the start of a file (path, or descriptor when
// fd >= 0, read from where it stands); `complete` says the file ended.
struct Prefix {
  std::string bytes;
  bool complete = false;
};
Result<Prefix> read_prefix(const std::string& path, int fd, std::size_t max);

// True when reading `raw` as strict CSV (fields quoted whole with doubled
// quotes inside, or unquoted without a quote byte) gives exactly the fields
// of `row`: the row can then be written as it came.
bool reads_back_as(std::string_view raw, const Row& row, unsigned char delimiter,
                   unsigned char quote);

inline constexpr std::string_view kPreambleReason = "Preamble line above the table";
inline constexpr std::string_view kOtherTableReason = "Row of another table in the file";
inline constexpr std::string_view kFootnoteReason = "Footnote line below the table";
inline constexpr std::string_view kRepeatedHeaderReason = "Repeated header row";

struct ProductCounts : PassCounts {
  std::uint64_t preamble_rows = 0;
  std::uint64_t blank_rows = 0;
  std::uint64_t other_table_rows = 0;
  std::uint64_t footnote_rows = 0;
  std::uint64_t repeated_header_rows = 0;
};

// Runs the repair over prepared text with run_pass's sink contract, plus
//   sink.preamble(line, raw) -> bool
// for each non-blank line above the table, when the sink has that member
// (the line's number and bytes, without its line break), and
//   sink.header_rows(n)
// before begin, when it has that member: the rows the header spans, and
//   sink.other_table(line, raw) -> bool
// for each row from the line where another table begins (see
// Dialect::other_table_line), when it has that member; such rows are
// counted as quarantined and as other_table_rows, never kept. Likewise
//   sink.footnote(line, raw) -> bool
// for each row from Dialect::footnote_line, counted as footnote_rows. And
//   sink.repeated_header(line, raw) -> bool
// for a later row whose text is the header's own, to the letter (exports
// put together from several files repeat it), counted as
// repeated_header_rows. Preamble rows are
// counted as quarantined; blank rows are in no count but blank_rows. The
// UTF-8 text comes as a window (see run_pass) over the text whose dialect
// `in` settled; in.text is not read.
template <class Input, class Sink>
requires requires(Input& i) {
  i.advance(std::size_t{});
}
ProductCounts run_product_pass(const PreparedText& in, Input& source, const GleaveOptions& options,
                               Sink& sink) {
  ProductCounts counts;
  const Dialect& d = in.dialect;
  counts.delimiter = d.delimiter;
  const std::uint64_t width = d.expected_width;
  counts.inferred_columns = width;
  // A sink that names columns learns how many rows the header spans.
  if constexpr (requires { sink.header_rows(std::uint32_t{}); }) {
    sink.header_rows(d.header ? d.header_rows : 1);
  }
  sink.begin(d.delimiter, width);
  // The first window holds a whole byte-order mark, if there is one.
  while (source.window().size() < 3 && !source.complete()) {
    if (!source.advance(0)) return counts;
  }
  std::string_view text = source.window();
  if (text.empty()) return counts;
  const std::string separator = byte_char(d.delimiter);
  const unsigned char quote = in.quote_byte();

  // 1. The preamble, line by line (the window goes on past a line that
  //    runs to its end).
  std::size_t pos = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  std::uint64_t line_number = 1;
  auto drop_before = [&](std::size_t at) {
    if (!source.advance(at)) return false;
    text = source.window();
    pos -= at;
    return true;
  };
  for (std::uint64_t k = 0; k < d.preamble_lines; ++k) {
    if (pos == text.size() && !source.complete() && !drop_before(pos)) return counts;
    if (pos >= text.size()) break;
    std::size_t end;
    while (true) {
      end = text.find_first_of("\r\n", pos);
      // A CR at the window's end may be half of a CR LF.
      const bool decided = end != std::string_view::npos && end + 1 < text.size();
      if (decided || source.complete()) break;
      if (!drop_before(pos)) return counts;
    }
    if (end == std::string_view::npos) end = text.size();
    const std::string_view raw = text.substr(pos, end - pos);
    if (raw.find_first_not_of(" \t") == std::string_view::npos) {
      ++counts.blank_rows;
    } else if (d.other_table_above_line != 0 && line_number >= d.other_table_above_line) {
      ++counts.total_rows;
      ++counts.quarantined_rows;
      ++counts.other_table_rows;
      if constexpr (requires { sink.other_table(line_number, raw); }) {
        if (!sink.other_table(line_number, raw)) return counts;
      }
    } else {
      ++counts.total_rows;
      ++counts.quarantined_rows;
      ++counts.preamble_rows;
      if constexpr (requires { sink.preamble(line_number, raw); }) {
        if (!sink.preamble(line_number, raw)) return counts;
      }
    }
    ++line_number;
    pos = end == text.size()                                                    ? end
          : text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? end + 2
                                                                                : end + 1;
  }

  ResilientParser parser(text, d.delimiter, quote, options.repair_quotes);
  parser.set_final(source.complete());
  parser.set_quoting(d.quote_char.has_value());
  parser.set_skip_leading_blanks(d.skip_initial_space);
  // An escaped quote is read as the quote itself; the rows are written with
  // doubled quotes like any other, so nothing is lost or counted.
  if (d.quote_char) parser.set_escape(d.escape_char);
  parser.set_keep_blanks_after_closing_quote(true);
  if (d.preamble_lines > 0) parser.resume_at(pos, line_number);

  Row row;
  std::string scratch;
  RowVerdict verdict;
  verdict.expected = width;
  bool first_row = true;  // the next non-blank row is the table's first
  // A header of names, one row, two or more columns: a later row that
  // repeats it to the letter is no data. Its text is kept from the first row.
  const bool watch_header = d.header && d.header_rows <= 1 && width >= 2;
  std::string header_text;
  auto repeats_header = [&](std::string_view raw) {
    return watch_header && !first_row && raw.size() == header_text.size() && raw == header_text;
  };
  auto set_aside_header = [&](std::uint64_t line, std::string_view raw) -> bool {
    ++counts.total_rows;
    ++counts.quarantined_rows;
    ++counts.repeated_header_rows;
    if constexpr (requires { sink.repeated_header(line, raw); }) {
      return sink.repeated_header(line, raw);
    }
    return true;
  };

  // 2. Every row on its own against the width, as in run_pass; a blank row
  //    is only counted, and a header one name short of a row-label column
  //    is padded at the front.
  // From the line where another table begins, no row is this table's.
  const std::uint64_t other_from = d.other_table_line;
  const std::uint64_t notes_from = d.footnote_line;
  auto in_other_table = [&](std::uint64_t line) {
    return (other_from != 0 && line >= other_from) || (notes_from != 0 && line >= notes_from);
  };
  auto judge = [&](Row& r) -> bool {
    const std::uint64_t n = r.size();
    if (n == 1 && r.field(0).empty() &&
        verdict.raw.find(static_cast<char>(quote)) == verdict.raw.npos) {
      ++counts.blank_rows;
      return true;
    }
    if (in_other_table(verdict.line)) {
      ++counts.total_rows;
      ++counts.quarantined_rows;
      if (other_from == 0 || verdict.line < other_from) {
        ++counts.footnote_rows;
        if constexpr (requires { sink.footnote(verdict.line, verdict.raw); }) {
          return sink.footnote(verdict.line, verdict.raw);
        }
        return true;
      }
      ++counts.other_table_rows;
      if constexpr (requires { sink.other_table(verdict.line, verdict.raw); }) {
        return sink.other_table(verdict.line, verdict.raw);
      }
      return true;
    }
    if (repeats_header(verdict.raw)) return set_aside_header(verdict.line, verdict.raw);
    if (watch_header && first_row) header_text.assign(verdict.raw);
    const bool header_row = std::exchange(first_row, false);
    ++counts.total_rows;
    verdict.actual = n;
    const bool fits = width == 0 || n == width;
    const bool short_row = !fits && n < width;
    if (fits || (short_row && options.fill_ragged_rows) || (!short_row && options.merge_overflow)) {
      verdict.verdict = Verdict::Kept;
      if (!fits) {
        if (short_row && header_row && d.header_missing_first && n + 1 == width) {
          r.ends.insert(r.ends.begin(), 0);
          verdict.verdict = Verdict::Padded;
        } else if (short_row) {
          r.ends.resize(static_cast<std::size_t>(width), r.bytes.size());
          verdict.verdict = Verdict::Padded;
        } else {
          merge_surplus(r, static_cast<std::size_t>(width), separator, scratch);
          verdict.verdict = Verdict::Merged;
        }
        ++counts.repaired_rows;
      }
      ++counts.gleaved_rows;
      return sink.keep(static_cast<const Row&>(r), static_cast<const RowVerdict&>(verdict));
    }
    verdict.verdict = short_row ? Verdict::TooFew : Verdict::TooMany;
    ++counts.quarantined_rows;
    return sink.reject(static_cast<const RowVerdict&>(verdict), static_cast<const Row&>(r));
  };

  bool go_on = true;
  std::uint64_t plain_line = 0;
  auto on_plain_line = [&](std::string_view line, bool ascii, std::uint64_t fields) {
    const std::uint64_t number = plain_line++;
    if (repeats_header(line)) {
      go_on = set_aside_header(number, line);
    } else if (!line.empty() && (width == 0 || fields == width) && !in_other_table(number)) {
      if (watch_header && first_row) header_text.assign(line);
      first_row = false;
      ++counts.total_rows;
      ++counts.gleaved_rows;
      go_on = sink.keep_line(line, ascii);
    } else {
      split_plain_line(line, d.delimiter, row);
      verdict.line = number;
      verdict.offset = source.base() + static_cast<std::uint64_t>(line.data() - text.data());
      verdict.raw = line;
      go_on = judge(row);
    }
    return go_on;
  };
  while (true) {
    plain_line = parser.line();
    parser.take_plain_lines(on_plain_line);
    if (!go_on) return counts;
    const std::uint64_t start = parser.position();
    verdict.line = parser.line();
    verdict.offset = source.base() + start;
    if (!parser.next_row(row)) {
      if (!parser.starved()) break;
      // The row goes on past the window, as in run_pass.
      const std::size_t q = parser.starved_quote();
      if (q != SIZE_MAX && !parser.known_runaway(q) &&
          source.runs_away(q, d.delimiter, quote, options.repair_quotes,
                           d.quote_char ? d.escape_char : std::nullopt) ==
              std::optional<bool>(true)) {
        parser.set_runaway(q);
        continue;
      }
      if (!source.advance(static_cast<std::size_t>(start))) return counts;
      text = source.window();
      parser.refill(text, source.complete());
      continue;
    }
    verdict.raw = text.substr(static_cast<std::size_t>(start),
                              static_cast<std::size_t>(parser.row_end() - start));
    if (!judge(row)) return counts;
  }
  return counts;
}

template <class Sink>
ProductCounts run_product_pass(const PreparedText& in, const GleaveOptions& options, Sink& sink) {
  WholeText whole{in.text};
  return run_product_pass(in, whole, options, sink);
}

// The report of a pass over prepared text.
InputReport input_report(const PreparedText& in, const ProductCounts& counts);

}  // namespace gleave
