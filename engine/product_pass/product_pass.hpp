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

// The pass's set-aside handlers (see RepairPass), each handing its row to
// `Derived::set_aside(line, reason, raw)` with the reason the quarantine
// file gives it: one place for what every product sink writes of a row it
// leaves out.
template <class Derived>
class SetAsideByReason {
 public:
  bool preamble(std::uint64_t line, std::string_view raw) {
    return self().set_aside(line, kPreambleReason, raw);
  }
  bool other_table(std::uint64_t line, std::string_view raw) {
    return self().set_aside(line, kOtherTableReason, raw);
  }
  bool footnote(std::uint64_t line, std::string_view raw) {
    return self().set_aside(line, kFootnoteReason, raw);
  }
  bool repeated_header(std::uint64_t line, std::string_view raw) {
    return self().set_aside(line, kRepeatedHeaderReason, raw);
  }
  bool comment(std::uint64_t line, std::string_view raw) {
    return self().set_aside(line, kCommentReason, raw);
  }
  bool reject(const RowVerdict& verdict, const Row&) {
    return self().set_aside(verdict.line, reason(verdict), verdict.raw);
  }

 protected:
  // The reason of a quarantined row. The width is the same for every row of
  // a pass: its two texts are made once.
  const std::string& reason(const RowVerdict& verdict) {
    if (!reasons_made_ || reasons_width_ != verdict.expected) {
      too_few_ = reason_text(Verdict::TooFew, verdict.expected);
      too_many_ = reason_text(Verdict::TooMany, verdict.expected);
      reasons_width_ = verdict.expected;
      reasons_made_ = true;
    }
    return verdict.verdict == Verdict::TooMany ? too_many_ : too_few_;
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
  std::string too_few_, too_many_;
  std::uint64_t reasons_width_ = 0;
  bool reasons_made_ = false;
};

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

// The rules a pass reads rows by. The product's read a text whose dialect
// was settled before the pass (prepare_text): lines above the table go to
// the quarantine with their own reason, blank lines are counted rather than
// padded into rows, blanks after a closing quote are kept, and a quote that
// swallowed whole rows is read again as those rows. The core's settle the
// delimiter and the width the caller left open on the text's first rows
// (sniff_delimiter, infer_column_count), read every line as a row, blank
// ones included, drop blanks after a closing quote, and know no header,
// preamble, comment or other table.
struct PassRules {
  bool detect_on_text = false;  // settle delimiter and width on the text itself
  bool skip_blank_rows = true;
  bool keep_blanks_after_closing_quote = true;
  bool reread_runaways = true;
};
inline constexpr PassRules kProductRules{};
inline constexpr PassRules kCoreRules{true, false, false, false};

// The repair pass, with the sink contract of engine/repair/pass.hpp, plus
// (under the product's rules)
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
// counted as quarantined; blank rows are in no count but blank_rows.
template <class Input, class Sink>
class RepairPass {
 public:
  RepairPass(Input& source, const GleaveOptions& options, const PassRules& rules, Sink& sink)
      : src_(source), options_(options), rules_(rules), sink_(sink) {}

  // With `dialect` null the rules must detect on the text; the dialect, when
  // given, must outlive the pass.
  ProductCounts run(const Dialect* dialect) {
    if (dialect == nullptr) {
      if (!settle_on_text()) return counts_;
    } else {
      d_ = dialect;
      counts_.delimiter = d_->delimiter;
      counts_.inferred_columns = d_->expected_width;
      // A sink that names columns learns how many rows the header spans.
      if constexpr (requires { sink_.header_rows(std::uint32_t{}); }) {
        sink_.header_rows(d_->header ? d_->header_rows : 1);
      }
      sink_.begin(d_->delimiter, d_->expected_width);
      if (!first_window()) return counts_;
    }
    text_ = src_.window();
    setup();
    if (!read_preamble()) return counts_;
    start_parser();
    if (!read_rows()) return counts_;
    release_at_end();
    return counts_;
  }

 private:
  // The first window holds a whole byte-order mark, if there is one. False:
  // the text is empty, or reading failed.
  bool first_window() {
    while (src_.window().size() < 3 && !src_.complete()) {
      if (!src_.advance(0)) return false;
    }
    return !src_.window().empty();
  }

  // The core's dialect: the delimiter and the expected width given, or
  // detected (each heuristic reads the first rows only, on a prefix long
  // enough for them). An empty text settles nothing: every count 0, the comma.
  bool settle_on_text() {
    if (!first_window()) return false;
    if (options_.delimiter) {
      counts_.delimiter = *options_.delimiter;
    } else {
      const auto d = settle_on_prefix(src_, [](std::string_view w, bool c, const RunawayProbe& p) {
        return sniff_delimiter(w, c, p);
      });
      if (!d) return false;
      counts_.delimiter = *d;
    }
    std::uint64_t width = 0;
    if (options_.expected_columns) {
      width = *options_.expected_columns;
    } else {
      const unsigned char delimiter = counts_.delimiter;
      const auto w =
          settle_on_prefix(src_, [delimiter](std::string_view t, bool c, const RunawayProbe& p) {
            return infer_column_count(t, c, delimiter, p);
          });
      if (!w) return false;
      width = *w;
    }
    counts_.inferred_columns = width;
    detected_.delimiter = counts_.delimiter;
    detected_.quote_char = options_.quote_char;
    detected_.expected_width = width;
    d_ = &detected_;
    sink_.begin(counts_.delimiter, width);
    return true;
  }

  void setup() {
    const Dialect& d = *d_;
    width_ = d.expected_width;
    separator_ = byte_char(d.delimiter);
    quote_ = d.quote_char.value_or('"');
    pos_ = text_.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    above_from_ = d.other_table_above_line;
    table_line_ = d.preamble_lines + 1;
    // Another table above this one is read by the parser, as rows: a quoted
    // line break in it must not make two records of one row.
    line_by_line_ =
        above_from_ != 0 && above_from_ <= d.preamble_lines ? above_from_ - 1 : d.preamble_lines;
    other_from_ = d.other_table_line;
    notes_from_ = d.footnote_line;
    // A header of names, one row, two or more columns: a later row that
    // repeats it to the letter is no data. Its text is kept from the first row.
    watch_header_ = d.header && d.header_rows <= 1 && width_ >= 2;
    // Rows of quoted fields read as the dialect says: an escape character
    // makes strict lines a different matter, and without quoting nothing runs.
    check_runaways_ =
        rules_.reread_runaways && d.quote_char.has_value() && !d.escape_char && width_ >= 2;
    verdict_.expected = width_;
  }

  bool drop_before(std::size_t at) {
    if (!src_.advance(at)) return false;
    text_ = src_.window();
    pos_ -= at;
    return true;
  }

  // 1. The preamble, line by line (the window goes on past a line that
  //    runs to its end).
  bool read_preamble() {
    for (std::uint64_t k = 0; k < line_by_line_; ++k) {
      if (pos_ == text_.size() && !src_.complete() && !drop_before(pos_)) return false;
      if (pos_ >= text_.size()) break;
      std::size_t end;
      while (true) {
        end = text_.find_first_of("\r\n", pos_);
        // A CR at the window's end may be half of a CR LF.
        const bool decided = end != std::string_view::npos && end + 1 < text_.size();
        if (decided || src_.complete()) break;
        if (!drop_before(pos_)) return false;
      }
      if (end == std::string_view::npos) end = text_.size();
      const std::string_view raw = text_.substr(pos_, end - pos_);
      if (raw.find_first_not_of(" \t") == std::string_view::npos) {
        ++counts_.blank_rows;
      } else if (is_comment(raw)) {
        if (!set_aside_comment(line_number_, raw)) return false;
      } else {
        ++counts_.total_rows;
        ++counts_.quarantined_rows;
        ++counts_.preamble_rows;
        if constexpr (requires { sink_.preamble(line_number_, raw); }) {
          if (!sink_.preamble(line_number_, raw)) return false;
        }
      }
      ++line_number_;
      pos_ = end == text_.size()                                                      ? end
             : text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n' ? end + 2
                                                                                      : end + 1;
    }
    return true;
  }

  void start_parser() {
    const Dialect& d = *d_;
    parser_.emplace(text_, d.delimiter, quote_, options_.repair_quotes);
    ResilientParser& parser = *parser_;
    parser.set_final(src_.complete());
    parser.set_quoting(d.quote_char.has_value());
    parser.set_skip_leading_blanks(d.skip_initial_space);
    // An escaped quote is read as the quote itself; the rows are written with
    // doubled quotes like any other, so nothing is lost or counted.
    if (d.quote_char && d.escape_char) parser.set_escape(d.escape_char);
    parser.set_keep_blanks_after_closing_quote(rules_.keep_blanks_after_closing_quote);
    if (line_by_line_ > 0) parser.resume_at(pos_, line_number_);
  }

  bool is_comment(std::string_view raw) const {
    const auto comment = d_->comment_char;
    return comment && !raw.empty() && static_cast<unsigned char>(raw[0]) == *comment;
  }
  bool set_aside_comment(std::uint64_t line, std::string_view raw) {
    ++counts_.total_rows;
    ++counts_.quarantined_rows;
    ++counts_.comment_rows;
    if constexpr (requires { sink_.comment(line, raw); }) return sink_.comment(line, raw);
    return true;
  }

  // The header's text, its names, and its names written with no quotes
  // (empty when a name holds a delimiter, a quote or a line break): a later
  // row is the header again when its text or its names are the header's,
  // or, right after a blank line (another export begins), its names are the
  // header's but for letter case and blanks around them.
  void note_header(std::string_view raw, const Row* parsed) {
    if (!watch_header_ || !first_row_) return;
    const unsigned char delimiter = d_->delimiter;
    header_text_.assign(raw);
    if (parsed != nullptr) {
      header_names_ = *parsed;
    } else {
      split_plain_line(raw, delimiter, header_names_);
    }
    header_plain_.clear();
    const std::string special{static_cast<char>(delimiter), static_cast<char>(quote_), '\n', '\r'};
    for (std::size_t i = 0; i < header_names_.size(); ++i) {
      const std::string_view f = header_names_.field(i);
      if (f.find_first_of(special) != std::string_view::npos) {
        header_plain_.clear();
        break;
      }
      if (i > 0) header_plain_.push_back(static_cast<char>(delimiter));
      header_plain_.append(f);
    }
  }
  bool repeats_header(std::string_view raw, const Row* parsed) {
    if (!watch_header_ || first_row_) return false;
    if (raw == header_text_ || (!header_plain_.empty() && raw == header_plain_)) return true;
    const bool same_width = parsed != nullptr && parsed->size() == header_names_.size();
    if (same_width && parsed->bytes == header_names_.bytes && parsed->ends == header_names_.ends) {
      return true;
    }
    if (!after_blank_) return false;
    if (parsed == nullptr) {
      split_plain_line(raw, d_->delimiter, names_);
      parsed = &names_;
    }
    return same_names(*parsed, header_names_);
  }
  bool set_aside_header(std::uint64_t line, std::string_view raw) {
    ++counts_.total_rows;
    ++counts_.quarantined_rows;
    ++counts_.repeated_header_rows;
    if constexpr (requires { sink_.repeated_header(line, raw); }) {
      return sink_.repeated_header(line, raw);
    }
    return true;
  }

  // From the line where another table begins, no row is this table's.
  bool in_other_table(std::uint64_t line) const {
    return (other_from_ != 0 && line >= other_from_) || (notes_from_ != 0 && line >= notes_from_);
  }
  bool in_table_above(std::uint64_t line) const {
    return above_from_ != 0 && line_by_line_ < d_->preamble_lines && line < table_line_;
  }
  bool set_aside_other_table(std::uint64_t line, std::string_view raw) {
    ++counts_.other_table_rows;
    if constexpr (requires { sink_.other_table(line, raw); }) return sink_.other_table(line, raw);
    return true;
  }

  // Stacked blocks: a title ("Report B", or padded: "Report B,,") and rows of
  // nothing but delimiters stand between the header and its repetition.
  // Such rows are held until the next row says what they are: before the
  // header again they are the next block's preamble; before anything else
  // (or at the end, unless blocks were seen) they are rows of the table.
  // A row of delimiters only, or of one cell and then delimiters only (a
  // title, padded or not), under a header that may be repeated.
  bool filler(std::string_view raw, std::uint64_t fields) const {
    if (!watch_header_ || first_row_ || held_count_ == kMaxHeld || fields == 0 || fields > width_) {
      return false;
    }
    const auto delimiter = static_cast<char>(d_->delimiter);
    if (fields == 1) return !raw.empty() && raw.find(static_cast<char>(quote_)) == raw.npos;
    const std::size_t first_end = raw.find(delimiter);
    return first_end != std::string_view::npos &&
           raw.find_first_not_of(delimiter, first_end) == std::string_view::npos &&
           raw.find(static_cast<char>(quote_)) == std::string_view::npos;
  }
  bool hold(const Row& r) {
    if (held_.size() <= held_count_) held_.emplace_back();
    Held& h = held_[held_count_++];
    h.row = r;
    h.raw.assign(verdict_.raw);
    h.line = verdict_.line;
    h.offset = verdict_.offset;
    return true;
  }
  // Hands the held rows on: set aside when `block` (a new block begins), else
  // placed as rows.
  bool release(bool block) {
    if (held_count_ == 0) return true;
    const RowVerdict now = verdict_;
    bool ok = true;
    for (std::size_t i = 0; i < held_count_ && ok; ++i) {
      Held& h = held_[i];
      verdict_.line = h.line;
      verdict_.offset = h.offset;
      verdict_.raw = h.raw;
      if (block) {
        ++counts_.total_rows;
        ++counts_.quarantined_rows;
        ++counts_.preamble_rows;
        if constexpr (requires { sink_.preamble(h.line, std::string_view(h.raw)); }) {
          ok = sink_.preamble(h.line, std::string_view(h.raw));
        }
      } else {
        ok = place(h.row);
      }
    }
    blocks_seen_ = blocks_seen_ || block;
    held_count_ = 0;
    verdict_ = now;
    return ok;
  }
  // At the end, rows of delimiters only after blocks were seen close the
  // last block; anything else held is rows of the table.
  bool release_at_end() {
    bool separators = blocks_seen_ && held_count_ > 0;
    for (std::size_t i = 0; i < held_count_ && separators; ++i) {
      separators = held_[i].raw.find_first_not_of(static_cast<char>(d_->delimiter)) ==
                   std::string_view::npos;
    }
    return release(separators);
  }

  // 2. Every row on its own against the width; under the product's rules a
  //    blank row is only counted, and a header one name short of a
  //    row-label column is padded at the front. `verdict_` already holds
  //    where the row stands.
  bool judge(Row& r) {
    const std::uint64_t n = r.size();
    if (rules_.skip_blank_rows && n == 1 && r.field(0).empty() &&
        verdict_.raw.find(static_cast<char>(quote_)) == verdict_.raw.npos) {
      ++counts_.blank_rows;
      after_blank_ = true;
      return true;
    }
    const bool blank_before = std::exchange(after_blank_, false);
    if (is_comment(verdict_.raw)) return set_aside_comment(verdict_.line, verdict_.raw);
    const bool above = in_table_above(verdict_.line);
    if (above || in_other_table(verdict_.line)) {
      ++counts_.total_rows;
      ++counts_.quarantined_rows;
      if (!above && (other_from_ == 0 || verdict_.line < other_from_)) {
        ++counts_.footnote_rows;
        if constexpr (requires { sink_.footnote(verdict_.line, verdict_.raw); }) {
          return sink_.footnote(verdict_.line, verdict_.raw);
        }
        return true;
      }
      return set_aside_other_table(verdict_.line, verdict_.raw);
    }
    after_blank_ = blank_before;
    if (filler(verdict_.raw, r.size())) return hold(r);
    const bool repeated = repeats_header(verdict_.raw, &r);
    after_blank_ = false;
    if (!release(repeated)) return false;
    if (repeated) return set_aside_header(verdict_.line, verdict_.raw);
    return place(r);
  }
  bool place(Row& r) {
    const std::uint64_t n = r.size();
    note_header(verdict_.raw, &r);
    const bool header_row = std::exchange(first_row_, false);
    ++counts_.total_rows;
    verdict_.actual = n;
    const bool fits = width_ == 0 || n == width_;
    const bool short_row = !fits && n < width_;
    // A header one name short is padded even when short rows are not:
    // quarantined, it would leave its names to the first row of data.
    const bool short_header = short_row && header_row && d_->header;
    if (fits || (short_row && (options_.fill_ragged_rows || short_header)) ||
        (!short_row && options_.merge_overflow)) {
      verdict_.verdict = Verdict::Kept;
      if (!fits) {
        if (short_row && header_row && d_->header_missing_first && n + 1 == width_) {
          r.ends.insert(r.ends.begin(), 0);
          verdict_.verdict = Verdict::Padded;
        } else if (short_row) {
          r.ends.resize(static_cast<std::size_t>(width_), r.bytes.size());
          verdict_.verdict = Verdict::Padded;
        } else {
          merge_surplus(r, static_cast<std::size_t>(width_), separator_, scratch_);
          verdict_.verdict = Verdict::Merged;
        }
        ++counts_.repaired_rows;
      }
      ++counts_.gleaved_rows;
      return sink_.keep(static_cast<const Row&>(r), static_cast<const RowVerdict&>(verdict_));
    }
    verdict_.verdict = short_row ? Verdict::TooFew : Verdict::TooMany;
    ++counts_.quarantined_rows;
    return sink_.reject(static_cast<const RowVerdict&>(verdict_), static_cast<const Row&>(r));
  }

  // A plain line is one physical line: the lines taken are numbered on. The
  // common row, a plain line of the right width, goes out unchanged.
  bool on_plain_line(std::string_view line, bool ascii, std::uint64_t fields) {
    const std::uint64_t number = plain_line_++;
    const bool plain = (!line.empty() || !rules_.skip_blank_rows) && !is_comment(line) &&
                       !in_other_table(number) && !in_table_above(number) && !filler(line, fields);
    if (plain && repeats_header(line, nullptr)) {
      after_blank_ = false;
      go_on_ = release(true) && set_aside_header(number, line);
    } else if (plain && (width_ == 0 || fields == width_)) {
      after_blank_ = false;
      if (!release(false)) return go_on_ = false;
      note_header(line, nullptr);
      first_row_ = false;
      ++counts_.total_rows;
      ++counts_.gleaved_rows;
      go_on_ = sink_.keep_line(line, ascii);
    } else {
      split_plain_line(line, d_->delimiter, row_);
      verdict_.line = number;
      verdict_.offset = src_.base() + static_cast<std::uint64_t>(line.data() - text_.data());
      verdict_.raw = line;
      go_on_ = judge(row_);
    }
    return go_on_;
  }

  // Every row to the end of the input; false when the sink or the input
  // stopped the pass.
  bool read_rows() {
    ResilientParser& parser = *parser_;
    const Dialect& d = *d_;
    while (true) {
      plain_line_ = parser.line();
      parser.take_plain_lines([this](std::string_view line, bool ascii, std::uint64_t fields) {
        return on_plain_line(line, ascii, fields);
      });
      if (!go_on_) return false;
      const std::uint64_t start = parser.position();
      verdict_.line = parser.line();
      verdict_.offset = src_.base() + start;
      if (!parser.next_row(row_)) {
        if (!parser.starved()) return true;
        // 3. The row goes on past the window. A quoted field that runs to
        //    the end of the input is told so (its row then ends on its first
        //    line); any other row is read again over a longer window.
        const std::size_t q = parser.starved_quote();
        if (q != SIZE_MAX && !parser.known_runaway(q) &&
            src_.runs_away(q, d.delimiter, quote_, options_.repair_quotes,
                           d.quote_char ? d.escape_char : std::nullopt) ==
                std::optional<bool>(true)) {
          parser.set_runaway(q);
          continue;
        }
        if (!src_.advance(static_cast<std::size_t>(start))) return false;
        text_ = src_.window();
        parser.refill(text_, src_.complete());
        continue;
      }
      verdict_.raw = text_.substr(static_cast<std::size_t>(start),
                                  static_cast<std::size_t>(parser.row_end() - start));
      if (!(reread_runaway() ? go_on_ : judge(row_))) return false;
    }
  }

  // A quote that swallowed whole rows of the table: those lines are read
  // again as the rows they are (true; go_on_ says whether the sink took
  // them). False: the row is no such row.
  bool reread_runaway() {
    if (!check_runaways_ || !spans_lines(verdict_.raw) || in_other_table(verdict_.line) ||
        in_table_above(verdict_.line) ||
        !runaway_row(verdict_.raw, d_->delimiter, quote_, width_, runaway_lines_,
                     runaway_scratch_)) {
      return false;
    }
    ++counts_.runaway_quotes;
    const std::uint64_t first_line = verdict_.line;
    const std::uint64_t first_offset = verdict_.offset;
    for (std::size_t i = 0; i < runaway_lines_.size(); ++i) {
      const std::string_view piece = runaway_lines_[i];
      read_strict_line(piece, d_->delimiter, quote_, i == 0, row_);
      verdict_.line = first_line + i;
      verdict_.offset =
          first_offset + static_cast<std::uint64_t>(piece.data() - runaway_lines_[0].data());
      verdict_.raw = piece;
      if (!judge(row_)) return go_on_ = false;
    }
    return true;
  }
  static bool spans_lines(std::string_view raw) {
    return std::memchr(raw.data(), '\n', raw.size()) != nullptr ||
           std::memchr(raw.data(), '\r', raw.size()) != nullptr;
  }

  struct Held {
    Row row;
    std::string raw;
    std::uint64_t line = 0, offset = 0;
  };
  static constexpr std::size_t kMaxHeld = 8;

  Input& src_;
  const GleaveOptions& options_;
  PassRules rules_;
  Sink& sink_;
  ProductCounts counts_;
  Dialect detected_;  // the dialect settled on the text (the core's rules)
  const Dialect* d_ = &detected_;
  std::optional<ResilientParser> parser_;
  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint64_t line_number_ = 1;
  std::uint64_t width_ = 0;
  std::string separator_;
  unsigned char quote_ = '"';
  std::uint64_t above_from_ = 0, table_line_ = 0, line_by_line_ = 0;
  std::uint64_t other_from_ = 0, notes_from_ = 0;
  bool watch_header_ = false;
  bool check_runaways_ = false;
  Row row_;
  std::string scratch_;
  RowVerdict verdict_;
  bool first_row_ = true;  // the next non-blank row is the table's first
  std::string header_text_, header_plain_;
  Row header_names_, names_;
  bool after_blank_ = false;
  std::vector<Held> held_;
  std::size_t held_count_ = 0;
  bool blocks_seen_ = false;
  std::vector<std::string_view> runaway_lines_;
  Row runaway_scratch_;
  bool go_on_ = true;
  std::uint64_t plain_line_ = 0;  // the number of the next plain line
};

// The product's pass over prepared text. The UTF-8 text comes as a window
// (see WholeText) over the text whose dialect `in` settled; in.text is not
// read.
template <class Input, class Sink>
requires requires(Input& i) {
  i.advance(std::size_t{});
}
ProductCounts run_product_pass(const PreparedText& in, Input& source, const GleaveOptions& options,
                               Sink& sink) {
  RepairPass<Input, Sink> pass(source, options, kProductRules, sink);
  return pass.run(&in.dialect);
}

template <class Sink>
ProductCounts run_product_pass(const PreparedText& in, const GleaveOptions& options, Sink& sink) {
  WholeText whole{in.text};
  return run_product_pass(in, whole, options, sink);
}

// The core's pass: its own detection on the text, every line a row.
template <class Input, class Sink>
requires requires(Input& i) {
  i.advance(std::size_t{});
}
PassCounts run_pass(Input& in, const GleaveOptions& options, Sink& sink) {
  RepairPass<Input, Sink> pass(in, options, kCoreRules, sink);
  return pass.run(nullptr);
}

template <class Sink>
PassCounts run_pass(std::string_view text, const GleaveOptions& options, Sink& sink) {
  WholeText whole{text};
  return run_pass(whole, options, sink);
}

// The report of a pass over prepared text.
InputReport input_report(const PreparedText& in, const ProductCounts& counts);

}  // namespace gleave
