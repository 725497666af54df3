// The product layer's pass: any input is converted to UTF-8 once, its
// dialect is detected on a bounded sample (the parts the caller gave win),
// and the repair runs with that dialect. Lines above the table go to the
// quarantine with their own reason, blank lines are counted rather than
// padded into rows, and a header one name short of a row-label column gets
// its empty name at the front.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/base/byte_buffer.hpp"
#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/dialect/dialect.hpp"
#include "engine/repair/pass.hpp"

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
  bool comment_given = false;
  std::optional<unsigned char> comment_char;  // when comment_given; nullopt: no comments
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
  std::uint64_t comment_rows = 0;          // comment lines, quarantined
  std::uint64_t runaway_quotes = 0;        // quoted fields that swallowed rows, read again as rows
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
// `whole_input` says `input` is all there is (not the first bytes of a
// longer input): which of several tables is largest is then settled on all
// of it when the sample could not. Never throws but std::bad_alloc.
PreparedText prepare_text(std::string_view input, const GleaveOptions& options,
                          const DialectRequest& request, bool keep_evidence = false,
                          bool whole_input = true);

// The same for the first bytes of a longer input (`complete` false): the
// encoding is named from them, and they are cut at the last whole line (or
// whole code unit) before conversion, so that no character is split.
PreparedText prepare_sample(std::string_view prefix, bool complete, const GleaveOptions& options,
                            const DialectRequest& request, bool keep_evidence);

// At most `max` bytes from the start of a file (path, or descriptor when
// fd >= 0, read from where it stands and put back there when it can seek);
// `complete` says the file ended. With `interrupt`, waits on a pipe or FIFO
// ask it whether to stop at least every 50 ms.
struct Prefix {
  std::string bytes;
  bool complete = false;
};
Result<Prefix> read_prefix(const std::string& path, int fd, std::size_t max,
                           Interrupt* interrupt = nullptr);

// True when reading `raw` as strict CSV (fields quoted whole with doubled
// quotes inside, or unquoted without a quote byte) gives exactly the fields
// of `row`: the row can then be written as it came.
bool reads_back_as(std::string_view raw, const Row& row, unsigned char delimiter,
                   unsigned char quote);

inline constexpr std::string_view kPreambleReason = "Preamble line above the table";
inline constexpr std::string_view kOtherTableReason = "Row of another table in the file";
inline constexpr std::string_view kFootnoteReason = "Footnote line below the table";
inline constexpr std::string_view kRepeatedHeaderReason = "Repeated header row";
inline constexpr std::string_view kCommentReason = "Comment line";

struct ProductCounts : PassCounts {
  std::uint64_t preamble_rows = 0;
  std::uint64_t blank_rows = 0;
  std::uint64_t other_table_rows = 0;
  std::uint64_t footnote_rows = 0;
  std::uint64_t repeated_header_rows = 0;
  std::uint64_t comment_rows = 0;
  std::uint64_t runaway_quotes = 0;
};

// Reads one physical line (no line break in it) as strict CSV into `row`:
// a field is either quoted whole, with doubled quotes inside, or unquoted
// with no quote byte. False when the line is not strict CSV. With
// `literal_open` a quote that opens a field and never closes on the line is
// text (the rest of the line is then split at every delimiter).
bool read_strict_line(std::string_view line, unsigned char delimiter, unsigned char quote,
                      bool literal_open, Row& row);

// Whether `raw`, one row that spans several physical lines, is a quote run
// away: every line after its first reads as strict CSV of exactly `width`
// fields. A quoted field that really spans lines never allows that, since
// its last line holds its closing quote after text. The lines are returned
// in `lines`.
bool runaway_row(std::string_view raw, unsigned char delimiter, unsigned char quote,
                 std::uint64_t width, std::vector<std::string_view>& lines, Row& scratch);

// The same names, once their blanks around them are cut and their letters
// folded to lower case: a header written again by another export.
bool same_names(const Row& a, const Row& b);

// What the pass carries from one row to the next: whether the table's
// first row is still to come, the header a later row may repeat, a blank
// line just read, and rows held until the next row says what they are.
// A pass over part of a text starts from the carry of the row before it
// and hands on the carry of the row after it (see PassRange).
struct PassCarry {
  struct Held {
    Row row;
    std::string raw;
    std::uint64_t line = 0, offset = 0;
  };
  bool first_row = true;
  bool after_blank = false;
  bool blocks_seen = false;
  std::string header_text, header_plain;
  Row header_names;
  std::vector<Held> held;
  std::size_t held_count = 0;

  // The carry as bytes, held rows' lines counted back from `line` (the
  // line of the row it is carried to): two carries at the same row are the
  // same when their bytes are, whatever each pass numbered its lines from.
  std::string pack(std::uint64_t line) const;
  // Reads pack()'s bytes for a pass that numbers that row `line`; false
  // when they are not a carry.
  static bool unpack(std::string_view bytes, std::uint64_t line, PassCarry& out);
};

// A pass over part of a text, when the sink has
//   sink.range() -> PassRange*
// (null: the whole text). With `mid_table` the text starts at a row start
// of the table (no mark, no preamble), on line `first_line`, with `carry`.
// The pass stops before the first row that starts at or after `stop_at`
// (an offset in the text), leaving `carry`, `end_offset` and `end_line`
// as they stand there, and `stopped` true; else it reads to the end.
struct PassRange {
  bool mid_table = false;
  std::uint64_t first_line = 1;
  std::uint64_t stop_at = UINT64_MAX;
  PassCarry carry;
  bool stopped = false;
  std::uint64_t end_offset = 0;
  std::uint64_t end_line = 0;
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
// repeated_header_rows. And
//   sink.comment(line, raw) -> bool
// for a line, above or inside the table, that starts with the dialect's
// comment character, counted as comment_rows. A row whose quoted field ran
// on over whole lines of the table's width (see runaway_row) is read again
// as those lines, each a row, and counted in runaway_quotes. Preamble rows are
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
  PassRange* range = nullptr;
  if constexpr (requires { sink.range(); }) range = sink.range();
  PassCarry whole_carry;
  PassCarry& carry = range != nullptr ? range->carry : whole_carry;
  const bool mid_table = range != nullptr && range->mid_table;
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
  std::size_t pos = !mid_table && text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  std::uint64_t line_number = range != nullptr ? range->first_line : 1;
  auto drop_before = [&](std::size_t at) {
    if (!source.advance(at)) return false;
    text = source.window();
    pos -= at;
    return true;
  };
  // Another table above this one is read by the parser, as rows: a quoted
  // line break in it must not make two records of one row.
  const std::uint64_t above_from = d.other_table_above_line;
  const std::uint64_t table_line = d.preamble_lines + 1;
  const std::uint64_t line_by_line = mid_table ? 0
                                     : above_from != 0 && above_from <= d.preamble_lines
                                         ? above_from - 1
                                         : d.preamble_lines;
  const auto comment = d.comment_char;
  auto is_comment = [&](std::string_view raw) {
    return comment && !raw.empty() && static_cast<unsigned char>(raw[0]) == *comment;
  };
  auto set_aside_comment = [&](std::uint64_t line, std::string_view raw) -> bool {
    ++counts.total_rows;
    ++counts.quarantined_rows;
    ++counts.comment_rows;
    if constexpr (requires { sink.comment(line, raw); }) return sink.comment(line, raw);
    return true;
  };
  for (std::uint64_t k = 0; k < line_by_line; ++k) {
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
    } else if (is_comment(raw)) {
      if (!set_aside_comment(line_number, raw)) return counts;
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
  if (line_by_line > 0 || range != nullptr) parser.resume_at(pos, line_number);

  Row row;
  std::string scratch;
  RowVerdict verdict;
  verdict.expected = width;
  bool& first_row = carry.first_row;  // the next non-blank row is the table's first
  // A header of names, one row, two or more columns: a later row that
  // repeats it to the letter is no data. Its text is kept from the first row.
  const bool watch_header = d.header && d.header_rows <= 1 && width >= 2;
  // The header's text, its names, and its names written with no quotes
  // (empty when a name holds a delimiter, a quote or a line break): a later
  // row is the header again when its text or its names are the header's,
  // or, right after a blank line (another export begins), its names are the
  // header's but for letter case and blanks around them.
  std::string &header_text = carry.header_text, &header_plain = carry.header_plain;
  Row& header_names = carry.header_names;
  Row names;
  bool& after_blank = carry.after_blank;
  auto note_header = [&](std::string_view raw, const Row* parsed) {
    if (!watch_header || !first_row) return;
    header_text.assign(raw);
    if (parsed != nullptr) {
      header_names = *parsed;
    } else {
      split_plain_line(raw, d.delimiter, header_names);
    }
    header_plain.clear();
    for (std::size_t i = 0; i < header_names.size(); ++i) {
      const std::string_view f = header_names.field(i);
      if (f.find_first_of(std::string{static_cast<char>(d.delimiter), static_cast<char>(quote),
                                      '\n', '\r'}) != std::string_view::npos) {
        header_plain.clear();
        break;
      }
      if (i > 0) header_plain.push_back(static_cast<char>(d.delimiter));
      header_plain.append(f);
    }
  };
  auto repeats_header = [&](std::string_view raw, const Row* parsed) {
    if (!watch_header || first_row) return false;
    if (raw == header_text || (!header_plain.empty() && raw == header_plain)) return true;
    const bool same_width = parsed != nullptr && parsed->size() == header_names.size();
    if (same_width && parsed->bytes == header_names.bytes && parsed->ends == header_names.ends) {
      return true;
    }
    if (!after_blank) return false;
    if (parsed == nullptr) {
      split_plain_line(raw, d.delimiter, names);
      parsed = &names;
    }
    return same_names(*parsed, header_names);
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
  auto in_table_above = [&](std::uint64_t line) {
    return above_from != 0 && line_by_line < d.preamble_lines && line < table_line;
  };
  // Stacked blocks: a title ("Report B", or padded: "Report B,,") and rows of
  // nothing but delimiters stand between the header and its repetition.
  // Such rows are held until the next row says what they are: before the
  // header again they are the next block's preamble; before anything else
  // (or at the end, unless blocks were seen) they are rows of the table.
  using Held = PassCarry::Held;
  constexpr std::size_t kMaxHeld = 8;
  std::vector<Held>& held = carry.held;
  std::size_t& held_count = carry.held_count;
  bool& blocks_seen = carry.blocks_seen;
  std::function<bool(Row&)> place;
  // A row of delimiters only, or of one cell and then delimiters only (a
  // title, padded or not), under a header that may be repeated.
  auto filler = [&](std::string_view raw, std::uint64_t fields) {
    if (!watch_header || first_row || held_count == kMaxHeld || fields == 0 || fields > width) {
      return false;
    }
    if (fields == 1) return !raw.empty() && raw.find(static_cast<char>(quote)) == raw.npos;
    const std::size_t first_end = raw.find(static_cast<char>(d.delimiter));
    return first_end != std::string_view::npos &&
           raw.find_first_not_of(static_cast<char>(d.delimiter), first_end) ==
               std::string_view::npos &&
           raw.find(static_cast<char>(quote)) == std::string_view::npos;
  };
  auto holds = [&](const Row& r, std::string_view raw) { return filler(raw, r.size()); };
  auto hold = [&](const Row& r) {
    if (held.size() <= held_count) held.emplace_back();
    Held& h = held[held_count++];
    h.row = r;
    h.raw.assign(verdict.raw);
    h.line = verdict.line;
    h.offset = verdict.offset;
    return true;
  };
  // Hands the held rows on: set aside when `block` (a new block begins), else
  // placed as rows.
  auto release = [&](bool block) -> bool {
    if (held_count == 0) return true;
    const RowVerdict now = verdict;
    bool ok = true;
    for (std::size_t i = 0; i < held_count && ok; ++i) {
      Held& h = held[i];
      verdict.line = h.line;
      verdict.offset = h.offset;
      verdict.raw = h.raw;
      if (block) {
        ++counts.total_rows;
        ++counts.quarantined_rows;
        ++counts.preamble_rows;
        if constexpr (requires { sink.preamble(h.line, std::string_view(h.raw)); }) {
          ok = sink.preamble(h.line, std::string_view(h.raw));
        }
      } else {
        ok = place(h.row);
      }
    }
    blocks_seen = blocks_seen || block;
    held_count = 0;
    verdict = now;
    return ok;
  };
  // At the end, rows of delimiters only after blocks were seen close the
  // last block; anything else held is rows of the table.
  auto release_at_end = [&]() -> bool {
    bool separators = blocks_seen && held_count > 0;
    for (std::size_t i = 0; i < held_count && separators; ++i) {
      separators =
          held[i].raw.find_first_not_of(static_cast<char>(d.delimiter)) == std::string_view::npos;
    }
    return release(separators);
  };
  auto judge = [&](Row& r) -> bool {
    const std::uint64_t n = r.size();
    if (n == 1 && r.field(0).empty() &&
        verdict.raw.find(static_cast<char>(quote)) == verdict.raw.npos) {
      ++counts.blank_rows;
      after_blank = true;
      return true;
    }
    const bool blank_before = std::exchange(after_blank, false);
    if (is_comment(verdict.raw)) return set_aside_comment(verdict.line, verdict.raw);
    if (in_table_above(verdict.line)) {
      ++counts.total_rows;
      ++counts.quarantined_rows;
      ++counts.other_table_rows;
      if constexpr (requires { sink.other_table(verdict.line, verdict.raw); }) {
        return sink.other_table(verdict.line, verdict.raw);
      }
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
    after_blank = blank_before;
    if (holds(r, verdict.raw)) return hold(r);
    const bool repeated = repeats_header(verdict.raw, &r);
    after_blank = false;
    if (!release(repeated)) return false;
    if (repeated) return set_aside_header(verdict.line, verdict.raw);
    return place(r);
  };
  place = [&](Row& r) -> bool {
    const std::uint64_t n = r.size();
    note_header(verdict.raw, &r);
    const bool header_row = std::exchange(first_row, false);
    ++counts.total_rows;
    verdict.actual = n;
    const bool fits = width == 0 || n == width;
    const bool short_row = !fits && n < width;
    // A header one name short is padded even when short rows are not:
    // quarantined, it would leave its names to the first row of data.
    const bool short_header = short_row && header_row && d.header;
    if (fits || (short_row && (options.fill_ragged_rows || short_header)) ||
        (!short_row && options.merge_overflow)) {
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

  // Rows of quoted fields read as the dialect says: an escape character
  // makes strict lines a different matter, and without quoting nothing runs.
  const bool check_runaways = d.quote_char.has_value() && !d.escape_char && width >= 2;
  auto spans_lines = [](std::string_view raw) {
    return std::memchr(raw.data(), '\n', raw.size()) != nullptr ||
           std::memchr(raw.data(), '\r', raw.size()) != nullptr;
  };
  std::vector<std::string_view> runaway_lines;
  Row runaway_scratch;
  bool go_on = true;
  // A part of the text ends before the first row from its stop on (the
  // end of the text is no row: the part that reaches it ends the table).
  auto stops_at = [&](std::uint64_t offset, std::uint64_t line) {
    if (range == nullptr || offset < range->stop_at) return false;
    if (source.complete() && offset >= source.base() + text.size()) return false;
    range->stopped = true;
    range->end_offset = offset;
    range->end_line = line;
    return true;
  };
  std::uint64_t plain_line = 0;
  auto on_plain_line = [&](std::string_view line, bool ascii, std::uint64_t fields) {
    const std::uint64_t number = plain_line++;
    if (stops_at(source.base() + static_cast<std::uint64_t>(line.data() - text.data()), number)) {
      return go_on = false;
    }
    const bool plain = !line.empty() && !is_comment(line) && !in_other_table(number) &&
                       !in_table_above(number) && !filler(line, fields);
    if (plain && repeats_header(line, nullptr)) {
      after_blank = false;
      go_on = release(true) && set_aside_header(number, line);
    } else if (plain && (width == 0 || fields == width)) {
      after_blank = false;
      if (!release(false)) return go_on = false;
      note_header(line, nullptr);
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
    if (stops_at(verdict.offset, verdict.line)) return counts;
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
    // A quote that swallowed whole rows of the table: those lines are read
    // again as the rows they are.
    if (check_runaways && spans_lines(verdict.raw) && !in_other_table(verdict.line) &&
        !in_table_above(verdict.line) &&
        runaway_row(verdict.raw, d.delimiter, quote, width, runaway_lines, runaway_scratch)) {
      ++counts.runaway_quotes;
      const std::uint64_t first_line = verdict.line;
      const std::uint64_t first_offset = verdict.offset;
      for (std::size_t i = 0; i < runaway_lines.size(); ++i) {
        const std::string_view piece = runaway_lines[i];
        read_strict_line(piece, d.delimiter, quote, i == 0, row);
        verdict.line = first_line + i;
        verdict.offset =
            first_offset + static_cast<std::uint64_t>(piece.data() - runaway_lines[0].data());
        verdict.raw = piece;
        if (!judge(row)) return counts;
      }
      continue;
    }
    if (!judge(row)) return counts;
  }
  release_at_end();
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
