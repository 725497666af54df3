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

#include "text.hpp"

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

  // Fills `row` with the next row and returns true, or returns false at the
  // end of the input (and on every call after that).
  bool next_row(Row& row);
  std::optional<std::vector<std::string>> next_row();

  // Fast path for the common row. When the next physical line ends in LF (or
  // the end of the input), holds no quote byte and no CR, is valid UTF-8 and
  // has exactly `fields` fields (any number when `fields` is 0), the state
  // machine would split it at every delimiter and nothing else; and written
  // back, its fields give the same bytes. Then this takes the row, sets `line`
  // to its bytes without the LF and returns true. Otherwise it returns false
  // and leaves the parser as it was.
  bool take_plain_line(std::uint64_t fields, std::string_view& line);

  // Number of the physical line on which the next row begins.
  std::uint64_t line() const noexcept { return line_; }
  std::uint64_t position() const noexcept { return position_; }

  // Not used by the repair pass or the heuristics; part of the tokenizer all
  // the same, for callers that need backslash escapes or padded fields.
  void set_escape(std::optional<unsigned char> escape) noexcept;
  void set_skip_leading_blanks(bool skip) noexcept { skip_leading_blanks_ = skip; }

 private:
  enum class ScanState : std::uint8_t { FieldStart, Unquoted, Quoted, AfterQuote };

  bool end_row(std::size_t p);
  void finish_field(Row& row, std::size_t field_start);
  bool quote_closes(std::size_t after_quote);
  bool proper_quote_ahead(std::size_t from);

  bool plain_lines_possible_;  // the fast path is valid for these control bytes

  std::string_view input_;
  std::uint64_t position_ = 0;
  std::uint64_t line_ = 1;
  std::optional<unsigned char> escape_;
  bool repair_quotes_;
  bool skip_leading_blanks_ = false;
  unsigned char delimiter_;
  unsigned char quote_char_;

  ByteFinder unquoted_stop_;  // delimiter, LF, CR
  ByteFinder quoted_stop_;    // quote, LF, escape
  ByteFinder lookahead_stop_;  // quote, LF, CR

  // Memo of the stray-quote lookahead. Queries move forward only, so the
  // answer of one scan of a line serves every later quote on that line that
  // starts at or before the proper closing quote found (or the line's end).
  std::size_t memo_from_ = 1;
  std::size_t memo_to_ = 0;
  bool memo_found_ = false;
};

}  // namespace gleave
