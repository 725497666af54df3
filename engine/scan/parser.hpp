// ResilientParser: the tolerant CSV tokenizer. It never rejects input:
// unbalanced quotes, quotes inside fields, text after a closing quote, mixed
// line endings and invalid UTF-8 all yield rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan/dialect.hpp"
#include "engine/scan/text.hpp"

namespace gleave {

// One row: the field bytes back to back in one buffer plus the end offset of
// each field. A caller reuses one Row for a whole pass, so tokenizing millions
// of rows allocates nothing per field once the buffers have grown.
struct Row {
  std::string bytes;
  std::vector<std::size_t> ends;

  std::size_t size() const noexcept { return ends.size(); }
  std::size_t field_begin(std::size_t i) const noexcept { return i == 0 ? 0 : ends[i - 1]; }
  std::string_view field(std::size_t i) const noexcept {
    const std::size_t b = field_begin(i);
    return std::string_view(bytes.data() + b, ends[i] - b);
  }
  void clear() noexcept {
    bytes.clear();
    ends.clear();
  }
  void push_field(std::string_view f) {
    bytes.append(f);
    ends.push_back(bytes.size());
  }
  std::vector<std::string> to_strings() const;
  static Row from_strings(const std::vector<std::string>& fields);
};

class ResilientParser {
 public:
  // Starts past a UTF-8 byte-order mark when the text begins with one.
  ResilientParser(std::string_view input, unsigned char delimiter, unsigned char quote_char,
                  bool repair_quotes) noexcept;
  // Reads as the dialect says: its delimiter, quote (or no quoting), blanks
  // after a delimiter, escape (inside quoted fields and out) and quote
  // repair.
  ResilientParser(std::string_view input, const Dialect& dialect) noexcept;

  // Fills `row` with the next row and returns true, or returns false at the
  // end of the input (and on every call after that). A quoted field whose
  // opening quote never closes before the end of the input does not take the
  // rest of the input: the row is read as if that quote were an ordinary
  // byte starting an unquoted field (and so on for a later such field), so
  // it ends at its first line break like any row. The work stays linear in
  // the input however many such fields it holds.
  bool next_row(Row& row);
  std::optional<std::vector<std::string>> next_row();

  // Fast path for the common row. A physical line that ends in LF or CR LF
  // (or the end of the input), holds no quote byte and no other CR, and is
  // valid UTF-8 is one the state machine would split at every delimiter and
  // nothing else; written back, its fields give the same bytes. This takes
  // consecutive such lines, calling
  //   on_line(std::string_view line, bool ascii, std::uint64_t fields)
  // with each line's bytes (without its line break), whether they are all
  // ASCII and how many fields they hold. It stops before the first line that
  // is not plain, at the end of the input, or after a line for which on_line
  // returned false. Returns the number of lines taken; the parser is then
  // exactly as if next_row had read them.
  template <class OnLine>
  std::uint64_t take_plain_lines(OnLine&& on_line);

  // Number of the physical line on which the next row begins.
  std::uint64_t line() const noexcept { return line_; }
  std::uint64_t position() const noexcept { return position_; }
  // Where the row next_row last returned ends: the offset of its terminating
  // line break, or the end of the input.
  std::uint64_t row_end() const noexcept { return row_end_; }
  // Goes back (or on) to a row start that an earlier parse over the same text
  // reported, with the line counter it had there: the rows from there are
  // the same again.
  void resume_at(std::uint64_t position, std::uint64_t line) noexcept {
    position_ = position;
    line_ = line;
  }

  // Input read a window at a time. With `final` false the end of the input is
  // only the end of the bytes read so far: a row, a lookahead or a line break
  // that would need a byte past it is not decided. next_row then returns
  // false with starved() true, the position and the line counter still at
  // the row's first byte, and the caller hands over a longer window with
  // refill. Nothing else changes: a row is parsed again from its first byte,
  // and gives what one parse over the whole input gives.
  void set_final(bool final) noexcept { final_ = final; }
  bool starved() const noexcept { return starved_; }
  // Goes on over `window`, whose first byte is the byte at position() in the
  // window before: positions count from there on (the line counter and the
  // runaway memo carry over; a byte-order mark is skipped only at the start).
  void refill(std::string_view window, bool final) noexcept;
  // After starving inside a quoted field: where its opening quote stands.
  std::size_t starved_quote() const noexcept { return starved_quote_; }
  // Whether the quoted field that opened at `quote` (its bytes starting at
  // `quote` + 1) is known to run to the end of the input.
  bool known_runaway(std::size_t quote) const noexcept { return runaway_from_ <= quote + 1; }
  // Learned elsewhere (scan_quoted over the rest of the input): the quoted
  // field that opened at `quote` runs to the end of the input.
  void set_runaway(std::size_t quote) noexcept {
    if (quote + 1 < runaway_from_) runaway_from_ = quote + 1;
  }

  // How a quoted field whose bytes start at `from` ends: at a closing quote
  // (`resume` is then just past it), by running to the end of the input, or
  // not decided in this window (`resume` is then a line start inside the
  // field from which the same scan goes on over a window that starts there).
  enum class QuotedEnd : std::uint8_t { Closes, RunsAway, Starved };
  QuotedEnd scan_quoted(std::size_t from, std::size_t& resume);

  // Backslash-style escapes inside quoted fields and blanks skipped before a
  // field: dialect options of the product pass (the core's pass leaves both
  // off).
  void set_escape(std::optional<unsigned char> escape) noexcept;
  // The same escape outside quotes: `a\,b` is one field `a,b` (an escape
  // before a delimiter, quote, line break or itself is dropped, as writers
  // that quote nothing escape them). Product pass only.
  void set_escape_outside_quotes(std::optional<unsigned char> escape) noexcept;
  void set_skip_leading_blanks(bool skip) noexcept { skip_leading_blanks_ = skip; }
  // Dialect options of the product layer; the defaults are the core's
  // behaviour. With quoting off the quote byte is ordinary text everywhere.
  // Keeping the blanks after a closing quote makes `"a" (b)` read as `a (b)`
  // rather than `a(b)`; blanks before a delimiter or line break still go.
  void set_quoting(bool on) noexcept { quoting_ = on; }
  void set_keep_blanks_after_closing_quote(bool keep) noexcept { keep_blanks_after_quote_ = keep; }

 private:
  enum class ScanState : std::uint8_t { FieldStart, Unquoted, Quoted, AfterQuote };
  // What a step of the state machine says: read on, or the row is read
  // (next_row returns true) or not (false: the end, or a starved window).
  enum class Next : std::int8_t { Scan = -1, No = 0, Yes = 1 };
  // One row as it is read: where the scan stands, its state, and the field
  // being built.
  struct RowScan {
    Row& row;
    const char* const s;
    const std::size_t n;
    std::size_t p;
    std::uint64_t first_line;
    ScanState state = ScanState::FieldStart;
    bool ended_on_delimiter = false;
    std::size_t field_start = 0;  // where the field being built starts in row.bytes
    std::size_t quote_open = 0;   // the opening quote of the quoted field being built
    std::uint64_t line_at_open = 0;
  };
  // The steps of next_row, one per state, and what ends it.
  Next at_field_start(RowScan& r);
  Next in_unquoted(RowScan& r);
  Next in_quoted(RowScan& r);
  Next at_quote_in_field(RowScan& r);
  Next after_quote(RowScan& r);
  bool at_window_end(RowScan& r);
  bool read_unquoted_again(RowScan& r);
  bool ran_to_the_end(RowScan& r);
  static Next row_read(bool read) noexcept { return read ? Next::Yes : Next::No; }

  struct BlockMasks {
    std::uint64_t lf, bad, delim, high, lead, utf8;
  };
  BlockMasks scan_block(const char* p, std::size_t len, bool next_is_lf,
                        bool lead_before) const noexcept;

  bool end_row(std::size_t p, std::uint64_t first_line);
  bool starve(std::uint64_t first_line, std::size_t quote) noexcept;
  void finish_field(Row& row, std::size_t field_start);
  bool quote_closes(std::size_t after_quote);
  bool proper_quote_ahead(std::size_t from);

  bool plain_lines_possible_;  // the fast path is valid for these control bytes

  std::string_view input_;
  std::uint64_t position_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t row_end_ = 0;
  std::optional<unsigned char> escape_;
  std::optional<unsigned char> bare_escape_;  // the escape outside quotes
  bool repair_quotes_;
  bool skip_leading_blanks_ = false;
  bool quoting_ = true;
  bool keep_blanks_after_quote_ = false;
  bool final_ = true;     // the input ends where the window ends
  bool starved_ = false;  // the last call needed a byte past the window
  std::size_t starved_quote_ = SIZE_MAX;
  unsigned char delimiter_;
  unsigned char quote_char_;

  ByteFinder unquoted_stop_;  // delimiter, LF, CR, the escape outside quotes
  ByteFinder quoted_stop_;    // quote, LF, CR, escape

  // Memo of the stray-quote lookahead. Queries move forward only, so the
  // answer of one scan of a line serves every later quote on that line that
  // starts at or before the proper closing quote found (or the line's end).
  // Every quoted field scanned from a line feed at or after this offset runs
  // to the end of the input without closing (see next_row).
  std::size_t runaway_from_ = SIZE_MAX;

  std::size_t memo_from_ = 1;
  std::size_t memo_to_ = 0;
  bool memo_found_ = false;
};

// The plain-line scan classifies bytes with simd::classify. Tests switch to
// the portable classifier with this to cover it too (false: back to the one
// chosen at load time).
void use_portable_scan(bool portable) noexcept;

inline int popcount64(std::uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

template <class OnLine>
std::uint64_t ResilientParser::take_plain_lines(OnLine&& on_line) {
  if (!plain_lines_possible_ || skip_leading_blanks_ || bare_escape_) return 0;
  const char* const base = input_.data();
  const std::size_t n = input_.size();
  std::uint64_t taken = 0;
  std::size_t line_start = position_;
  std::uint64_t delimiters = 0;
  bool high = false;     // the line holds a byte of 0x80 or above
  bool suspect = false;  // ... and one the two-byte check could not vouch for

  // Ends the line [line_start, end): true to go on.
  auto finish_line = [&](std::size_t end, bool has_lf) -> bool {
    std::size_t len = end - line_start;
    if (suspect && valid_utf8_prefix(base + line_start, len) != len) return false;
    if (has_lf && len != 0 && base[end - 1] == '\r') --len;  // CR LF ends the row as one
    position_ = has_lf ? end + 1 : end;
    if (has_lf) ++line_;
    row_end_ = line_start + len;
    ++taken;
    const bool more = on_line(std::string_view(base + line_start, len), !high, delimiters + 1);
    line_start = position_;
    delimiters = 0;
    high = suspect = false;
    return more;
  };

  // Lines start at the current position, after a line break (or the start of
  // the text), so no two-byte sequence is open there.
  bool lead_before = false;
  for (std::size_t block = position_; block < n; block += 64) {
    const std::size_t len = n - block < 64 ? n - block : 64;
    const bool next_is_lf = block + 64 < n && base[block + 64] == '\n';
    BlockMasks m = scan_block(base + block, len, next_is_lf, lead_before);
    lead_before = (m.lead >> 63) != 0;
    while (true) {
      if (m.lf == 0) {  // the current line goes on past this block
        if (m.bad != 0) return taken;
        delimiters += static_cast<std::uint64_t>(popcount64(m.delim));
        high = high || m.high != 0;
        suspect = suspect || m.utf8 != 0;
        break;
      }
      const int k = __builtin_ctzll(m.lf);
      const std::uint64_t before = (std::uint64_t{1} << k) - 1;
      if ((m.bad & before) != 0) return taken;
      delimiters += static_cast<std::uint64_t>(popcount64(m.delim & before));
      high = high || (m.high & before) != 0;
      suspect = suspect || (m.utf8 & (before | (std::uint64_t{1} << k))) != 0;
      if (!finish_line(block + static_cast<std::size_t>(k), true)) return taken;
      const std::uint64_t after = ~((std::uint64_t{2} << k) - 1);  // 0 when k is 63
      m.lf &= after;
      m.bad &= after;
      m.delim &= after;
      m.high &= after;
      m.utf8 &= after;
    }
  }
  if (line_start < n && final_) {      // a last line without a line break
    suspect = suspect || lead_before;  // a two-byte sequence cut short by the end
    finish_line(n, false);
  }
  return taken;
}

}  // namespace gleave
