#include "parser.hpp"

#include <cstring>

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
    // A delimiter byte of 0x80 or above can sit inside a valid UTF-8 character
    // (0xA6 in C2 A6), which the fast path would split into invalid fields.
    : plain_lines_possible_(delimiter < 0x80 && delimiter != quote_char &&
                            !is_line_break(delimiter) && !is_line_break(quote_char)),
      input_(input),
      position_(start_past_bom(input)),
      repair_quotes_(repair_quotes),
      delimiter_(delimiter),
      quote_char_(quote_char),
      unquoted_stop_(delimiter, '\n', '\r', '\n'),
      quoted_stop_(quote_char, '\n', quote_char, quote_char),
      lookahead_stop_(quote_char, '\n', '\r', '\r') {}

// Bit i of each mask is set when byte i of the block is an LF; a quote or a
// CR that is not the first half of a CR LF; the delimiter; 0x80 and above.
// Bytes past `len` count as none; `next_is_lf` tells about the byte after a
// full block.
ResilientParser::BlockMasks ResilientParser::scan_block(const char* p, std::size_t len,
                                                        bool next_is_lf) const noexcept {
  BlockMasks m{0, 0, 0, 0};
  std::uint64_t cr = 0;
#if defined(__SSE2__)
  alignas(16) char padded[64];
  if (len < 64) {
    std::memset(padded, 0, sizeof padded);
    std::memcpy(padded, p, len);
    p = padded;
  }
  const __m128i lf_v = _mm_set1_epi8('\n');
  const __m128i cr_v = _mm_set1_epi8('\r');
  const __m128i quote_v = _mm_set1_epi8(static_cast<char>(quote_char_));
  const __m128i delim_v = _mm_set1_epi8(static_cast<char>(delimiter_));
  auto bits = [](__m128i v) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(v)));
  };
  for (int i = 0; i < 4; ++i) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    const int shift = 16 * i;
    m.lf |= bits(_mm_cmpeq_epi8(x, lf_v)) << shift;
    cr |= bits(_mm_cmpeq_epi8(x, cr_v)) << shift;
    m.bad |= bits(_mm_cmpeq_epi8(x, quote_v)) << shift;
    m.delim |= bits(_mm_cmpeq_epi8(x, delim_v)) << shift;
    m.high |= bits(x) << shift;
  }
#else
  for (std::size_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (c == '\n') m.lf |= bit;
    if (c == '\r') cr |= bit;
    if (c == quote_char_) m.bad |= bit;
    if (c == delimiter_) m.delim |= bit;
    if (c >= 0x80) m.high |= bit;
  }
#endif
  const std::uint64_t followed_by_lf = (m.lf >> 1) | (next_is_lf ? std::uint64_t{1} << 63 : 0);
  m.bad |= cr & ~followed_by_lf;
  if (len < 64) {
    const std::uint64_t valid = (std::uint64_t{1} << len) - 1;
    m.lf &= valid;
    m.bad &= valid;
    m.delim &= valid;
    m.high &= valid;
  }
  return m;
}

void ResilientParser::set_escape(std::optional<unsigned char> escape) noexcept {
  escape_ = escape;
  const unsigned char e = escape ? *escape : quote_char_;
  quoted_stop_ = ByteFinder(quote_char_, '\n', e, e);
}

std::optional<std::vector<std::string>> ResilientParser::next_row() {
  Row row;
  if (!next_row(row)) return std::nullopt;
  return row.to_strings();
}

// Consumes the line break at p (CR LF as one) and ends the row.
bool ResilientParser::end_row(std::size_t p) {
  const char c = input_[p++];
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

bool ResilientParser::next_row(Row& row) {
  row.clear();
  const char* const s = input_.data();
  const std::size_t n = input_.size();
  std::size_t p = position_;
  if (p >= n) return false;

  ScanState state = ScanState::FieldStart;
  bool ended_on_delimiter = false;
  std::size_t field_start = 0;  // where the field being built starts in row.bytes

  while (p < n) {
    const auto c = static_cast<unsigned char>(s[p]);
    switch (state) {
      case ScanState::FieldStart:  // before the first byte of a field
        if (skip_leading_blanks_ && is_blank(c)) {
          while (p < n && is_blank(static_cast<unsigned char>(s[p]))) ++p;
          ended_on_delimiter = p == n;
          continue;
        }
        field_start = row.bytes.size();
        if (c == quote_char_) {
          ++p;
          state = ScanState::Quoted;
          ended_on_delimiter = false;
        } else if (c == delimiter_) {
          row.ends.push_back(row.bytes.size());
          ++p;
          ended_on_delimiter = true;
        } else if (is_line_break(c)) {
          row.ends.push_back(row.bytes.size());
          return end_row(p);
        } else {
          state = ScanState::Unquoted;  // the byte itself is taken by the run below
          ended_on_delimiter = false;
        }
        break;

      case ScanState::Unquoted: {  // inside a field that did not start with a quote
        const char* stop = unquoted_stop_.find(s + p, s + n);
        row.bytes.append(s + p, static_cast<std::size_t>(stop - (s + p)));
        p = static_cast<std::size_t>(stop - s);
        ended_on_delimiter = false;
        if (p == n) break;
        finish_field(row, field_start);
        if (static_cast<unsigned char>(s[p]) == delimiter_) {
          ++p;
          state = ScanState::FieldStart;
          ended_on_delimiter = true;
        } else {
          return end_row(p);
        }
        break;
      }

      case ScanState::Quoted: {  // inside a quoted field, line breaks included
        const char* stop = quoted_stop_.find(s + p, s + n);
        row.bytes.append(s + p, static_cast<std::size_t>(stop - (s + p)));
        p = static_cast<std::size_t>(stop - s);
        ended_on_delimiter = false;
        if (p == n) break;
        const auto b = static_cast<unsigned char>(s[p]);
        if (escape_ && b == *escape_ && p + 1 < n) {
          row.bytes.push_back(s[p + 1]);  // taken literally, an LF included
          p += 2;
        } else if (b == quote_char_) {
          if (p + 1 == n) {
            ++p;
            state = ScanState::AfterQuote;
          } else if (static_cast<unsigned char>(s[p + 1]) == quote_char_) {
            row.bytes.push_back(static_cast<char>(quote_char_));
            p += 2;
          } else {
            ++p;
            if (!repair_quotes_ || quote_closes(p)) {
              state = ScanState::AfterQuote;
            } else {
              row.bytes.push_back(static_cast<char>(quote_char_));
            }
          }
        } else {
          if (b == '\n') ++line_;
          row.bytes.push_back(static_cast<char>(b));
          ++p;
        }
        break;
      }

      case ScanState::AfterQuote:  // after a closing quote
        ended_on_delimiter = false;
        if (c == delimiter_) {
          finish_field(row, field_start);
          ++p;
          state = ScanState::FieldStart;
          ended_on_delimiter = true;
        } else if (is_blank(c)) {
          ++p;
        } else if (is_line_break(c)) {
          finish_field(row, field_start);
          return end_row(p);
        } else {
          row.bytes.push_back(static_cast<char>(c));
          ++p;
          state = ScanState::Unquoted;
        }
        break;
    }
  }

  // End of input: a row ended by it does not advance the line counter.
  position_ = n;
  if (ended_on_delimiter) {
    if (row.size() == 0) return false;
    row.ends.push_back(row.bytes.size());
    return true;
  }
  finish_field(row, field_start);
  return true;
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
  if (j == n) return true;
  const auto c = static_cast<unsigned char>(s[j]);
  if (c == delimiter_ || is_line_break(c)) return true;
  return !proper_quote_ahead(j);
}

// Whether a quote that looks like a proper closing quote (followed, after
// optional blanks, by the delimiter, a line break or the end of the input)
// stands at or after `from` on the current physical line.
bool ResilientParser::proper_quote_ahead(std::size_t from) {
  if (from >= memo_from_ && from <= memo_to_) return memo_found_;
  const char* const s = input_.data();
  const std::size_t n = input_.size();
  memo_from_ = from;
  std::size_t k = from;
  while (true) {
    k = static_cast<std::size_t>(lookahead_stop_.find(s + k, s + n) - s);
    if (k == n || is_line_break(static_cast<unsigned char>(s[k]))) {
      memo_to_ = k;
      memo_found_ = false;
      return false;
    }
    // A candidate quote.
    std::size_t m = k + 1;
    while (m < n && is_blank(static_cast<unsigned char>(s[m]))) ++m;
    if (m == n || static_cast<unsigned char>(s[m]) == delimiter_ ||
        is_line_break(static_cast<unsigned char>(s[m]))) {
      memo_to_ = k;
      memo_found_ = true;
      return true;
    }
    ++k;
  }
}

}  // namespace gleave
