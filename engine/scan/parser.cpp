#include "engine/scan/parser.hpp"

#include <cstring>

#include "engine/scan/simd.hpp"

namespace gleave {

std::vector<std::string> Row::to_strings() const {
  std::vector<std::string> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.emplace_back(field(i));
  return out;
}

Row Row::from_strings(const std::vector<std::string>& fields) {
  Row row;
  for (const auto& f : fields) row.push_field(f);
  return row;
}

namespace {

std::uint64_t start_past_bom(std::string_view text) noexcept {
  return text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

}  // namespace

ResilientParser::ResilientParser(std::string_view input, unsigned char delimiter,
                                 unsigned char quote_char, bool repair_quotes) noexcept
    // Control bytes of 0x80 and above stand for characters whose UTF-8 form
    // the fast path would not see: a delimiter 0xA6 sits inside C2 A6 (and
    // would split it into invalid fields), and a quote 0xC5 is written as
    // C3 85, which a field can hold without holding the byte C5 (and which
    // must then be quoted on output).
    : plain_lines_possible_(delimiter < 0x80 && quote_char < 0x80 && delimiter != quote_char &&
                            !is_line_break(delimiter) && !is_line_break(quote_char)),
      input_(input),
      position_(start_past_bom(input)),
      repair_quotes_(repair_quotes),
      delimiter_(delimiter),
      quote_char_(quote_char),
      unquoted_stop_(delimiter, '\n', '\r', '\n'),
      quoted_stop_(quote_char, '\n', '\r', quote_char) {}

void use_portable_scan(bool portable) noexcept {
  simd::force(portable ? simd::Impl::Scalar : simd::chosen_at_load());
}

ResilientParser::ResilientParser(std::string_view input, const Dialect& dialect) noexcept
    : ResilientParser(input, dialect.delimiter, dialect.quote_char.value.value_or('"'),
                      dialect.repair_quotes) {
  const std::optional<unsigned char>& quote = dialect.quote_char;
  set_quoting(quote.has_value());
  set_skip_leading_blanks(dialect.skip_initial_space);
  // An escaped quote is read as the quote itself. A file that escapes its
  // quotes escapes its delimiters outside quotes too. Without quoting an
  // escape means nothing.
  if (quote && dialect.escape_char.value) {
    set_escape(dialect.escape_char);
    set_escape_outside_quotes(dialect.escape_char);
  }
}

// Bit i of each mask is set when byte i of the block is an LF; a quote or a
// CR that is not the first half of a CR LF; the delimiter; 0x80 and above;
// or a byte that the two-byte UTF-8 check cannot vouch for. That check
// passes ASCII and well-formed two-byte sequences (Latin scripts, the bulk of
// non-ASCII text in CSV files); the bit falls on the byte where something
// else starts or where a continuation byte was due, so a line with none of
// these bits up to and including its line break is valid UTF-8. Bytes past
// `len` count as none; `next_is_lf` tells about the byte after a full block
// and `lead_before` whether the byte before the block opened a two-byte
// sequence.
ResilientParser::BlockMasks ResilientParser::scan_block(const char* p, std::size_t len,
                                                        bool next_is_lf,
                                                        bool lead_before) const noexcept {
  const simd::ByteMasks r = simd::classify(p, len, delimiter_, quote_char_);
  BlockMasks m;
  m.lf = r.lf;
  m.delim = r.delim;
  m.high = r.high;
  m.lead = r.lead;
  const std::uint64_t followed_by_lf = (r.lf >> 1) | (next_is_lf ? std::uint64_t{1} << 63 : 0);
  m.bad = r.quote | (r.cr & ~followed_by_lf);
  const std::uint64_t cont_due = (r.lead << 1) | (lead_before ? 1 : 0);
  m.utf8 = (r.high & ~r.lead & ~r.cont) | (r.cont ^ cont_due);
  if (len < 64) {
    const std::uint64_t valid = (std::uint64_t{1} << len) - 1;
    m.lf &= valid;
    m.bad &= valid;
    m.delim &= valid;
    m.high &= valid;
    m.lead &= valid;
    // A sequence cut short by the end of the input shows at bit `len`.
    m.utf8 &= valid | (std::uint64_t{1} << len);
  }
  return m;
}

void ResilientParser::set_escape(std::optional<unsigned char> escape) noexcept {
  escape_ = escape;
  const unsigned char e = escape ? *escape : '\r';
  quoted_stop_ = ByteFinder(quote_char_, '\n', '\r', e);
}

void ResilientParser::set_escape_outside_quotes(std::optional<unsigned char> escape) noexcept {
  bare_escape_ = escape;
  unquoted_stop_ = ByteFinder(delimiter_, '\n', '\r', escape ? *escape : '\n');
}

std::optional<std::vector<std::string>> ResilientParser::next_row() {
  Row row;
  if (!next_row(row)) return std::nullopt;
  return row.to_strings();
}

void ResilientParser::refill(std::string_view window, bool final) noexcept {
  const std::size_t shift = position_;
  if (runaway_from_ != SIZE_MAX) runaway_from_ = runaway_from_ > shift ? runaway_from_ - shift : 0;
  memo_from_ = 1;
  memo_to_ = 0;
  input_ = window;
  position_ = 0;
  row_end_ = 0;
  final_ = final;
  starved_ = false;
}

// Gives up on the row for want of input: it is read again from its first
// byte once the window holds more.
bool ResilientParser::starve(std::uint64_t first_line, std::size_t quote) noexcept {
  line_ = first_line;
  starved_ = true;
  starved_quote_ = quote;
  return false;
}

// Consumes the line break at p (CR LF as one) and ends the row. A CR that
// ends the window may be half of a CR LF.
bool ResilientParser::end_row(std::size_t p, std::uint64_t first_line) {
  const char c = input_[p];
  if (c == '\r' && p + 1 == input_.size() && !final_) return starve(first_line, SIZE_MAX);
  row_end_ = p++;
  if (c == '\r' && p < input_.size() && input_[p] == '\n') ++p;
  ++line_;
  position_ = p;
  return true;
}

void ResilientParser::finish_field(Row& row, std::size_t field_start) {
  const std::size_t n = row.bytes.size() - field_start;
  if (!is_ascii(row.bytes.data() + field_start, n)) repair_utf8_tail(row.bytes, field_start);
  row.ends.push_back(row.bytes.size());
}

// A quoted field whose opening quote never closes would swallow the rest of
// the input. It is read again as if its opening quote were an ordinary byte:
// the field then starts unquoted with the quote, and the row ends at its
// first line break. Nothing before that field changes, so the row goes on
// from there rather than from its first byte. True while bytes remain. A
// quote byte that is also the delimiter keeps its delimiter role when it is
// read again: the field before it ends there (empty), as the width
// inference, which counts it as a delimiter, expects.
[[gnu::always_inline]] inline bool ResilientParser::read_unquoted_again(RowScan& r) {
  r.row.bytes.resize(r.field_start);  // no field has ended since the quote
  line_ = r.line_at_open;
  r.p = r.quote_open + 1;
  if (quote_char_ == delimiter_) {
    r.row.ends.push_back(r.row.bytes.size());
    r.state = ScanState::FieldStart;
    r.ended_on_delimiter = true;
    return r.p < r.n;
  }
  r.row.bytes.push_back(static_cast<char>(quote_char_));
  r.state = ScanState::Unquoted;
  r.ended_on_delimiter = false;
  return r.p < r.n;
}

// A quoted field that reached the end of the input: every quoted field
// scanned from a line feed after its opening quote would reach it too.
[[gnu::always_inline]] inline bool ResilientParser::ran_to_the_end(RowScan& r) {
  if (r.quote_open + 1 < runaway_from_) runaway_from_ = r.quote_open + 1;
  return read_unquoted_again(r);
}

// Before the first byte of a field.
[[gnu::always_inline]] inline ResilientParser::Next ResilientParser::at_field_start(RowScan& r) {
  const auto c = static_cast<unsigned char>(r.s[r.p]);
  if (skip_leading_blanks_ && is_blank(c)) {
    while (r.p < r.n && is_blank(static_cast<unsigned char>(r.s[r.p]))) ++r.p;
    r.ended_on_delimiter = r.p == r.n;
    return Next::Scan;
  }
  r.field_start = r.row.bytes.size();
  if (c == quote_char_ && quoting_) {
    r.quote_open = r.p++;
    r.line_at_open = line_;
    r.state = ScanState::Quoted;
    r.ended_on_delimiter = false;
  } else if (c == delimiter_) {
    r.row.ends.push_back(r.row.bytes.size());
    ++r.p;
    r.ended_on_delimiter = true;
  } else if (is_line_break(c)) {
    r.row.ends.push_back(r.row.bytes.size());
    return row_read(end_row(r.p, r.first_line));
  } else {
    r.state = ScanState::Unquoted;  // the byte itself is taken by the run below
    r.ended_on_delimiter = false;
  }
  return Next::Scan;
}

// Inside a field that did not start with a quote.
[[gnu::always_inline]] inline ResilientParser::Next ResilientParser::in_unquoted(RowScan& r) {
  const char* stop = unquoted_stop_.find(r.s + r.p, r.s + r.n);
  r.row.bytes.append(r.s + r.p, static_cast<std::size_t>(stop - (r.s + r.p)));
  r.p = static_cast<std::size_t>(stop - r.s);
  r.ended_on_delimiter = false;
  if (r.p == r.n) return Next::Scan;
  const auto b = static_cast<unsigned char>(r.s[r.p]);
  if (bare_escape_ && b == *bare_escape_) {
    if (r.p + 1 == r.n && !final_) return row_read(starve(r.first_line, SIZE_MAX));
    const auto next = r.p + 1 < r.n ? static_cast<unsigned char>(r.s[r.p + 1]) : 0;
    const bool escapes = r.p + 1 < r.n && (next == delimiter_ || next == quote_char_ ||
                                           next == *bare_escape_ || is_line_break(next));
    if (escapes) ++r.p;  // the escape goes, the byte it escapes stays
    // An escaped line break is part of the field, and the line it ends counts.
    if (escapes && (next == '\n' || (next == '\r' && (r.p + 1 == r.n || r.s[r.p + 1] != '\n'))))
      ++line_;
    r.row.bytes.push_back(r.s[r.p++]);
    return Next::Scan;
  }
  finish_field(r.row, r.field_start);
  if (b != delimiter_) return row_read(end_row(r.p, r.first_line));
  ++r.p;
  r.state = ScanState::FieldStart;
  r.ended_on_delimiter = true;
  return Next::Scan;
}

// Inside a quoted field, line breaks included.
[[gnu::always_inline]] inline ResilientParser::Next ResilientParser::in_quoted(RowScan& r) {
  const char* stop = quoted_stop_.find(r.s + r.p, r.s + r.n);
  r.row.bytes.append(r.s + r.p, static_cast<std::size_t>(stop - (r.s + r.p)));
  r.p = static_cast<std::size_t>(stop - r.s);
  r.ended_on_delimiter = false;
  if (r.p == r.n) return Next::Scan;
  const std::size_t p = r.p;
  const auto b = static_cast<unsigned char>(r.s[p]);
  if (escape_ && b == *escape_ && p + 1 < r.n) {
    // Only a quote or the escape byte itself is escaped: a backslash
    // before anything else (C:\dir) is text, kept as it stands.
    const auto next = static_cast<unsigned char>(r.s[p + 1]);
    const bool escapes = next == quote_char_ || next == *escape_;
    r.row.bytes.push_back(r.s[escapes ? p + 1 : p]);
    r.p += escapes ? 2 : 1;
  } else if (escape_ && b == *escape_ && !final_) {
    return row_read(starve(r.first_line, r.quote_open));
  } else if (b == quote_char_) {
    return at_quote_in_field(r);
  } else if (b == '\n' && p >= runaway_from_ && !escape_) {
    // An earlier quoted field ran from before here to the end of the
    // input without closing, standing on this line feed on its way
    // (every scan does, without escapes): from here on this scan is
    // the same, so it runs away too, and need not find that out again.
    read_unquoted_again(r);
  } else if (b == '\r' && p + 1 == r.n && !final_) {
    return row_read(starve(r.first_line, r.quote_open));  // half of a CR LF, perhaps
  } else {
    // A line break inside the field counts as the line it ends: an LF,
    // or a CR that is not the first half of a CR LF (files with CR
    // line endings), so that later rows report the lines they are on.
    if (b == '\n' || (b == '\r' && (p + 1 == r.n || r.s[p + 1] != '\n'))) ++line_;
    r.row.bytes.push_back(static_cast<char>(b));
    ++r.p;
  }
  return Next::Scan;
}

// A quote byte inside a quoted field: a doubled quote, a closing quote, or
// (mending stray quotes) a quote that is text.
[[gnu::always_inline]] inline ResilientParser::Next ResilientParser::at_quote_in_field(RowScan& r) {
  if (r.p + 1 == r.n) {
    if (!final_) return row_read(starve(r.first_line, r.quote_open));
    ++r.p;
    r.state = ScanState::AfterQuote;
    return Next::Scan;
  }
  if (static_cast<unsigned char>(r.s[r.p + 1]) == quote_char_) {
    r.row.bytes.push_back(static_cast<char>(quote_char_));
    r.p += 2;
    return Next::Scan;
  }
  ++r.p;
  const bool closes = !repair_quotes_ || quote_closes(r.p);
  if (starved_) {
    // The look-ahead needs the end of this physical line. When the field
    // opened on this line, the row reaches that end however the field ends
    // (closing here or later, or running away and read again up to its
    // first line break): only a longer window decides it, and asking
    // whether the field runs away would read the rest of the line for
    // nothing.
    return row_read(starve(r.first_line, line_ == r.line_at_open ? SIZE_MAX : r.quote_open));
  }
  if (closes) {
    r.state = ScanState::AfterQuote;
  } else {
    r.row.bytes.push_back(static_cast<char>(quote_char_));
  }
  return Next::Scan;
}

// After a closing quote.
[[gnu::always_inline]] inline ResilientParser::Next ResilientParser::after_quote(RowScan& r) {
  const auto c = static_cast<unsigned char>(r.s[r.p]);
  r.ended_on_delimiter = false;
  if (c == delimiter_) {
    finish_field(r.row, r.field_start);
    ++r.p;
    r.state = ScanState::FieldStart;
    r.ended_on_delimiter = true;
  } else if (is_blank(c) && keep_blanks_after_quote_) {
    std::size_t j = r.p;
    while (j < r.n && is_blank(static_cast<unsigned char>(r.s[j])) &&
           static_cast<unsigned char>(r.s[j]) != delimiter_) {
      ++j;
    }
    if (j == r.n && !final_) return row_read(starve(r.first_line, SIZE_MAX));
    const bool text_follows = j < r.n && static_cast<unsigned char>(r.s[j]) != delimiter_ &&
                              !is_line_break(static_cast<unsigned char>(r.s[j]));
    if (text_follows) r.row.bytes.append(r.s + r.p, j - r.p);
    r.p = j;
  } else if (is_blank(c)) {
    ++r.p;
  } else if (is_line_break(c)) {
    finish_field(r.row, r.field_start);
    return row_read(end_row(r.p, r.first_line));
  } else {
    r.row.bytes.push_back(static_cast<char>(c));
    ++r.p;
    r.state = ScanState::Unquoted;
  }
  return Next::Scan;
}

// The end of the window: the row may go on past it, unless the input ends
// there (a row ended by the end of the input does not advance the line
// counter).
[[gnu::always_inline]] inline bool ResilientParser::at_window_end(RowScan& r) {
  if (!final_) {
    return starve(r.first_line, r.state == ScanState::Quoted ? r.quote_open : SIZE_MAX);
  }
  position_ = r.n;
  row_end_ = r.n;
  if (r.ended_on_delimiter) {
    if (r.row.size() == 0) return false;
    r.row.ends.push_back(r.row.bytes.size());
    return true;
  }
  finish_field(r.row, r.field_start);
  return true;
}

bool ResilientParser::next_row(Row& row) {
  row.clear();
  starved_ = false;
  if (position_ >= input_.size()) {
    starved_ = !final_;
    starved_quote_ = SIZE_MAX;
    return false;
  }
  RowScan r{row, input_.data(), input_.size(), static_cast<std::size_t>(position_), line_};
  while (r.p < r.n || (r.state == ScanState::Quoted && final_ && ran_to_the_end(r))) {
    Next next = Next::Scan;
    switch (r.state) {
      case ScanState::FieldStart: next = at_field_start(r); break;
      case ScanState::Unquoted: next = in_unquoted(r); break;
      case ScanState::Quoted: next = in_quoted(r); break;
      case ScanState::AfterQuote: next = after_quote(r); break;
    }
    if (next != Next::Scan) return next == Next::Yes;
  }
  return at_window_end(r);
}

// The stray-quote lookahead for the quote just before `after`: true when the
// quote closes the field, false when it is a literal inside the field.
bool ResilientParser::quote_closes(std::size_t after) {
  const char* const s = input_.data();
  const std::size_t n = input_.size();
  // A quote right before the delimiter closes its field. Tested before blanks
  // are skipped, so that a tab or space delimiter is not skipped as a blank:
  // otherwise "x"<TAB>"y" would read the quote after x as a stray one (the
  // quote after y looks like a closing quote) and glue the fields together.
  if (static_cast<unsigned char>(s[after]) == delimiter_) return true;
  std::size_t j = after;
  while (j < n && is_blank(static_cast<unsigned char>(s[j]))) ++j;
  if (j == n) {
    starved_ = !final_;
    return true;
  }
  const auto c = static_cast<unsigned char>(s[j]);
  if (c == delimiter_ || is_line_break(c)) return true;
  return !proper_quote_ahead(j);
}

// Whether a quote that looks like a proper closing quote (followed, after
// optional blanks, by the delimiter, a line break or the end of the input)
// stands at or after `from` on the current physical line.
//
// Such a quote stands right before (blanks apart) a delimiter or the line's
// end, so those are what is looked for: a line dense with stray quotes
// (`"a"a"a...`) is then crossed in one scan rather than stopping at each of
// its quotes. The first one found is the first such quote on the line: the
// blanks walked back over never cross a delimiter. A blank delimiter is
// skipped as a blank after a quote, so then only the line's end counts.
bool ResilientParser::proper_quote_ahead(std::size_t from) {
  if (from >= memo_from_ && from <= memo_to_) return memo_found_;
  const char* const s = input_.data();
  const std::size_t n = input_.size();
  memo_from_ = from;
  // The quote (at or after `from`) that blanks before `stop` follow, if any.
  auto quote_before = [&](std::size_t stop) -> std::size_t {
    std::size_t j = stop;
    while (j > from && is_blank(static_cast<unsigned char>(s[j - 1]))) --j;
    return j > from && static_cast<unsigned char>(s[j - 1]) == quote_char_ ? j - 1 : SIZE_MAX;
  };
  const bool blank_delimiter = is_blank(delimiter_);
  std::size_t k = from;
  while (true) {
    k = static_cast<std::size_t>(unquoted_stop_.find(s + k, s + n) - s);
    if (k == n || is_line_break(static_cast<unsigned char>(s[k]))) break;
    if (!blank_delimiter) {
      const std::size_t q = quote_before(k);
      if (q != SIZE_MAX) {
        memo_to_ = q;
        memo_found_ = true;
        return true;
      }
    }
    ++k;
  }
  if (k == n && !final_) {  // the line goes on past the window: nothing is decided
    starved_ = true;
    memo_from_ = 1;
    memo_to_ = 0;
    return false;
  }
  const std::size_t q = quote_before(k);
  memo_found_ = q != SIZE_MAX;
  memo_to_ = memo_found_ ? q : k;
  return memo_found_;
}

}  // namespace gleave

namespace gleave {

ResilientParser::QuotedEnd ResilientParser::scan_quoted(std::size_t from, std::size_t& resume) {
  const char* const s = input_.data();
  const std::size_t n = input_.size();
  starved_ = false;
  resume = from;
  std::size_t p = from;
  while (true) {
    p = static_cast<std::size_t>(quoted_stop_.find(s + p, s + n) - s);
    if (p == n) return final_ ? QuotedEnd::RunsAway : QuotedEnd::Starved;
    if (s[p] == '\n') {  // the state after a line feed is the quoted field alone
      resume = ++p;
      continue;
    }
    if (s[p] == '\r') {  // text inside the field
      ++p;
      continue;
    }
    if (escape_ && static_cast<unsigned char>(s[p]) == *escape_) {
      // As the field is read: an escaped quote or escape is text, and a
      // lone escape at the end of the input leaves the field open.
      if (p + 1 == n) return final_ ? QuotedEnd::RunsAway : QuotedEnd::Starved;
      const auto next = static_cast<unsigned char>(s[p + 1]);
      p += next == quote_char_ || next == *escape_ ? 2 : 1;
      continue;
    }
    if (p + 1 == n) {
      if (!final_) return QuotedEnd::Starved;
      resume = n;
      return QuotedEnd::Closes;
    }
    if (static_cast<unsigned char>(s[p + 1]) == quote_char_) {
      p += 2;
      continue;
    }
    ++p;
    const bool closes = !repair_quotes_ || quote_closes(p);
    if (starved_) return QuotedEnd::Starved;
    if (closes) {
      resume = p;
      return QuotedEnd::Closes;
    }
  }
}

}  // namespace gleave
