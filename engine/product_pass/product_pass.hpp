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

// The input as UTF-8 with its dialect settled.
struct PreparedText {
  ByteBuffer converted;   // the UTF-8 text when the input had to be converted
  std::string_view text;  // the UTF-8 text: in the input, or in `converted`
  // With the caller's parts in force, the encoding read and the bytes
  // replaced or read as cp1252.
  Dialect dialect;
  std::string error;  // non-empty when the input could not be converted at all

  bool ok() const noexcept { return error.empty(); }
  // The quote byte for the parser and the writer: the dialect's, or the
  // double quote (written only around fields that need it) when the input
  // has no quoting.
  unsigned char quote_byte() const noexcept { return dialect.quote_char.value.value_or('"'); }
};

// True when `name` is an encoding transcode_to_utf8 accepts.
bool encoding_known(std::string_view name);

// Converts `input` and detects its dialect around the parts `given` holds,
// which are then put in force over the detected ones (Dialect::take_given).
// The text views `input` when it was valid UTF-8 already, so `input` must
// outlive the result. `whole_input` says `input` is all there is (not the
// first bytes of a longer input): which of several tables is largest is
// then settled on all of it when the sample could not. Never throws but
// std::bad_alloc.
PreparedText prepare_text(std::string_view input, const Dialect& given, bool whole_input = true);

// The same for the first bytes of a longer input (`complete` false): the
// encoding is named from them, and they are cut at the last whole line (or
// whole code unit) before conversion, so that no character is split.
PreparedText prepare_sample(std::string_view prefix, bool complete, const Dialect& given);

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
  // Under rules that detect on the text, `dialect` holds the parts given
  // and the rest is settled on the text; else it is the dialect in force.
  // It must outlive the pass.
  RepairPass(Input& source, const Dialect& dialect, const PassRules& rules, Sink& sink)
      : src_(source), d_(&dialect), rules_(rules), sink_(sink), carry_(pick_carry(sink)) {}

  ProductCounts run() {
    if (rules_.detect_on_text) {
      if (!settle_on_text()) return counts_;
    } else {
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
  PassCarry& pick_carry(Sink& sink) {
    if constexpr (requires { sink.range(); }) range_ = sink.range();
    return range_ != nullptr ? range_->carry : own_carry_;
  }
  bool mid_table() const noexcept { return range_ != nullptr && range_->mid_table; }
  // A part of the text ends before the first row from its stop on (the
  // end of the text is no row: the part that reaches it ends the table).
  bool stops_at(std::uint64_t offset, std::uint64_t line) {
    if (range_ == nullptr || offset < range_->stop_at) return false;
    if (src_.complete() && offset >= src_.base() + text_.size()) return false;
    range_->stopped = true;
    range_->end_offset = offset;
    range_->end_line = line;
    return true;
  }

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
    if (d_->delimiter.given) {
      counts_.delimiter = d_->delimiter;
    } else {
      const auto d = settle_on_prefix(src_, [](std::string_view w, bool c, const RunawayProbe& p) {
        return sniff_delimiter(w, c, p);
      });
      if (!d) return false;
      counts_.delimiter = *d;
    }
    std::uint64_t width = 0;
    if (d_->expected_width.given) {
      width = d_->expected_width;
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
    detected_ = *d_;
    detected_.delimiter.value = counts_.delimiter;
    detected_.expected_width.value = width;
    d_ = &detected_;
    sink_.begin(counts_.delimiter, width);
    return true;
  }

  void setup() {
    const Dialect& d = *d_;
    width_ = d.expected_width;
    separator_ = byte_char(d.delimiter);
    quote_ = d.quote_char.value.value_or('"');
    pos_ = !mid_table() && text_.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    if (range_ != nullptr) line_number_ = range_->first_line;
    above_from_ = d.other_table_above_line;
    table_line_ = d.preamble_lines + 1;
    // Another table above this one is read by the parser, as rows: a quoted
    // line break in it must not make two records of one row.
    line_by_line_ = mid_table()                                           ? 0
                    : above_from_ != 0 && above_from_ <= d.preamble_lines ? above_from_ - 1
                                                                          : d.preamble_lines;
    other_from_ = d.other_table_line;
    notes_from_ = d.footnote_line;
    // A header of names, one row, two or more columns: a later row that
    // repeats it to the letter is no data. Its text is kept from the first row.
    watch_header_ = d.header && d.header_rows <= 1 && width_ >= 2;
    // Rows of quoted fields read as the dialect says: an escape character
    // makes strict lines a different matter, and without quoting nothing runs.
    check_runaways_ = rules_.reread_runaways && d.quote_char.value.has_value() &&
                      !d.escape_char.value && width_ >= 2;
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
    // An escaped quote is read as the quote itself; the rows are written with
    // doubled quotes like any other, so nothing is lost or counted.
    parser_.emplace(text_, *d_);
    ResilientParser& parser = *parser_;
    parser.set_final(src_.complete());
    parser.set_keep_blanks_after_closing_quote(rules_.keep_blanks_after_closing_quote);
    if (line_by_line_ > 0 || range_ != nullptr) parser.resume_at(pos_, line_number_);
  }

  bool is_comment(std::string_view raw) const {
    const std::optional<unsigned char>& comment = d_->comment_char;
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
    if (!watch_header_ || !carry_.first_row) return;
    const unsigned char delimiter = d_->delimiter;
    carry_.header_text.assign(raw);
    if (parsed != nullptr) {
      carry_.header_names = *parsed;
    } else {
      split_plain_line(raw, delimiter, carry_.header_names);
    }
    carry_.header_plain.clear();
    const std::string special{static_cast<char>(delimiter), static_cast<char>(quote_), '\n', '\r'};
    for (std::size_t i = 0; i < carry_.header_names.size(); ++i) {
      const std::string_view f = carry_.header_names.field(i);
      if (f.find_first_of(special) != std::string_view::npos) {
        carry_.header_plain.clear();
        break;
      }
      if (i > 0) carry_.header_plain.push_back(static_cast<char>(delimiter));
      carry_.header_plain.append(f);
    }
  }
  bool repeats_header(std::string_view raw, const Row* parsed) {
    if (!watch_header_ || carry_.first_row) return false;
    if (raw == carry_.header_text || (!carry_.header_plain.empty() && raw == carry_.header_plain))
      return true;
    const bool same_width = parsed != nullptr && parsed->size() == carry_.header_names.size();
    if (same_width && parsed->bytes == carry_.header_names.bytes &&
        parsed->ends == carry_.header_names.ends) {
      return true;
    }
    if (!carry_.after_blank) return false;
    if (parsed == nullptr) {
      split_plain_line(raw, d_->delimiter, names_);
      parsed = &names_;
    }
    return same_names(*parsed, carry_.header_names);
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
    if (!watch_header_ || carry_.first_row || carry_.held_count == kMaxHeld || fields == 0 ||
        fields > width_) {
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
    if (carry_.held.size() <= carry_.held_count) carry_.held.emplace_back();
    Held& h = carry_.held[carry_.held_count++];
    h.row = r;
    h.raw.assign(verdict_.raw);
    h.line = verdict_.line;
    h.offset = verdict_.offset;
    return true;
  }
  // Hands the held rows on: set aside when `block` (a new block begins), else
  // placed as rows.
  bool release(bool block) {
    if (carry_.held_count == 0) return true;
    const RowVerdict now = verdict_;
    bool ok = true;
    for (std::size_t i = 0; i < carry_.held_count && ok; ++i) {
      Held& h = carry_.held[i];
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
    carry_.blocks_seen = carry_.blocks_seen || block;
    carry_.held_count = 0;
    verdict_ = now;
    return ok;
  }
  // At the end, rows of delimiters only after blocks were seen close the
  // last block; anything else held is rows of the table.
  bool release_at_end() {
    bool separators = carry_.blocks_seen && carry_.held_count > 0;
    for (std::size_t i = 0; i < carry_.held_count && separators; ++i) {
      separators = carry_.held[i].raw.find_first_not_of(static_cast<char>(d_->delimiter)) ==
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
      carry_.after_blank = true;
      return true;
    }
    const bool blank_before = std::exchange(carry_.after_blank, false);
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
    carry_.after_blank = blank_before;
    if (filler(verdict_.raw, r.size())) return hold(r);
    const bool repeated = repeats_header(verdict_.raw, &r);
    carry_.after_blank = false;
    if (!release(repeated)) return false;
    if (repeated) return set_aside_header(verdict_.line, verdict_.raw);
    return place(r);
  }
  bool place(Row& r) {
    const std::uint64_t n = r.size();
    note_header(verdict_.raw, &r);
    const bool header_row = std::exchange(carry_.first_row, false);
    ++counts_.total_rows;
    verdict_.actual = n;
    const bool fits = width_ == 0 || n == width_;
    const bool short_row = !fits && n < width_;
    // A header one name short is padded even when short rows are not:
    // quarantined, it would leave its names to the first row of data.
    const bool short_header = short_row && header_row && d_->header;
    if (fits || (short_row && (d_->fill_ragged_rows.value || short_header)) ||
        (!short_row && d_->merge_overflow.value)) {
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
    if (stops_at(src_.base() + static_cast<std::uint64_t>(line.data() - text_.data()), number)) {
      return go_on_ = false;
    }
    const bool plain = (!line.empty() || !rules_.skip_blank_rows) && !is_comment(line) &&
                       !in_other_table(number) && !in_table_above(number) && !filler(line, fields);
    if (plain && repeats_header(line, nullptr)) {
      carry_.after_blank = false;
      go_on_ = release(true) && set_aside_header(number, line);
    } else if (plain && (width_ == 0 || fields == width_)) {
      carry_.after_blank = false;
      if (!release(false)) return go_on_ = false;
      note_header(line, nullptr);
      carry_.first_row = false;
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
      if (stops_at(verdict_.offset, verdict_.line)) return false;
      if (!parser.next_row(row_)) {
        if (!parser.starved()) return true;
        // 3. The row goes on past the window. A quoted field that runs to
        //    the end of the input is told so (its row then ends on its first
        //    line); any other row is read again over a longer window.
        const std::size_t q = parser.starved_quote();
        if (q != SIZE_MAX && !parser.known_runaway(q) &&
            src_.runs_away(q, d.delimiter, quote_, d.repair_quotes,
                           d.quote_char.value ? d.escape_char.value : std::nullopt) ==
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

  using Held = PassCarry::Held;
  static constexpr std::size_t kMaxHeld = 8;

  Input& src_;
  const Dialect* d_;  // the dialect in force
  PassRules rules_;
  Sink& sink_;
  ProductCounts counts_;
  Dialect detected_;  // the dialect settled on the text (the core's rules)
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
  // What goes from row to row: this pass's own, or a part's (PassRange).
  PassRange* range_ = nullptr;
  PassCarry own_carry_;
  PassCarry& carry_ = own_carry_;
  Row names_;
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
ProductCounts run_product_pass(const PreparedText& in, Input& source, Sink& sink) {
  RepairPass<Input, Sink> pass(source, in.dialect, kProductRules, sink);
  return pass.run();
}

template <class Sink>
ProductCounts run_product_pass(const PreparedText& in, Sink& sink) {
  WholeText whole{in.text};
  return run_product_pass(in, whole, sink);
}

// The core's pass: the delimiter and the width not given in `dialect`
// detected on the text, every line a row.
template <class Input, class Sink>
requires requires(Input& i) {
  i.advance(std::size_t{});
}
PassCounts run_pass(Input& in, const Dialect& dialect, Sink& sink) {
  RepairPass<Input, Sink> pass(in, dialect, kCoreRules, sink);
  return pass.run();
}

template <class Sink>
PassCounts run_pass(std::string_view text, const Dialect& dialect, Sink& sink) {
  WholeText whole{text};
  return run_pass(whole, dialect, sink);
}

// How the product pass read its input: the dialect in force (the encoding,
// the bytes replaced) and what the pass set aside.
struct InputRead {
  Dialect dialect;  // without the evidence of detection
  ProductCounts counts;
};
InputRead input_read(const PreparedText& in, const ProductCounts& counts);

}  // namespace gleave
