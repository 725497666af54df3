#include "parser.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
      quoted_stop_(quote_char, '\n', quote_char, quote_char),
      lookahead_stop_(quote_char, '\n', '\r', '\r') {}

namespace {

// Raw byte classes of up to 64 bytes, one bit per byte.
struct RawMasks {
  std::uint64_t lf, cr, quote, delim, high, lead, cont;
};

RawMasks classify_scalar(const char* p, std::size_t len, unsigned char delim,
                         unsigned char quote) noexcept {
  RawMasks r{0, 0, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (c == '\n') r.lf |= bit;
    if (c == '\r') r.cr |= bit;
    if (c == quote) r.quote |= bit;
    if (c == delim) r.delim |= bit;
    if (c >= 0x80) r.high |= bit;
    if (c >= 0xC2 && c <= 0xDF) r.lead |= bit;
    if (c >= 0x80 && c <= 0xBF) r.cont |= bit;
  }
  return r;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define GLEAVE_X86_DISPATCH 1

// 0x80..0xBF are continuation bytes and 0xC2..0xDF lead bytes of two-byte
// sequences; as signed bytes both are ranges below zero.
__attribute__((target("avx512bw,avx512f"))) RawMasks classify_avx512(const char* p, std::size_t len,
                                                                     unsigned char delim,
                                                                     unsigned char quote) noexcept {
  const __mmask64 valid = len == 64 ? ~__mmask64{0} : (__mmask64{1} << len) - 1;
  const __m512i x = _mm512_maskz_loadu_epi8(valid, p);  // bytes past len read as zero
  RawMasks r;
  r.lf = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\n'));
  r.cr = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\r'));
  r.quote = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(quote)));
  r.delim = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(delim)));
  r.high = _mm512_movepi8_mask(x);
  r.lead = _mm512_cmpgt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xC1))) &
           _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xE0)));
  r.cont = _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xC0)));
  return r;
}

__attribute__((target("avx2"))) inline std::uint64_t bits(__m256i v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
}

__attribute__((target("avx2"))) RawMasks classify_avx2(const char* p, std::size_t len,
                                                       unsigned char delim,
                                                       unsigned char quote) noexcept {
  alignas(32) char padded[64];
  if (len < 64) {
    std::memset(padded, 0, sizeof padded);
    std::memcpy(padded, p, len);
    p = padded;
  }
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i q = _mm256_set1_epi8(static_cast<char>(quote));
  const __m256i d = _mm256_set1_epi8(static_cast<char>(delim));
  const __m256i lead_lo = _mm256_set1_epi8(static_cast<char>(0xC1));
  const __m256i lead_hi = _mm256_set1_epi8(static_cast<char>(0xE0));
  const __m256i cont_hi = _mm256_set1_epi8(static_cast<char>(0xC0));
  RawMasks r{0, 0, 0, 0, 0, 0, 0};
  for (int half = 0; half < 2; ++half) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
    const int shift = 32 * half;
    r.lf |= bits(_mm256_cmpeq_epi8(x, lf)) << shift;
    r.cr |= bits(_mm256_cmpeq_epi8(x, cr)) << shift;
    r.quote |= bits(_mm256_cmpeq_epi8(x, q)) << shift;
    r.delim |= bits(_mm256_cmpeq_epi8(x, d)) << shift;
    r.high |= bits(x) << shift;
    r.lead |= bits(_mm256_and_si256(_mm256_cmpgt_epi8(x, lead_lo), _mm256_cmpgt_epi8(lead_hi, x)))
              << shift;
    r.cont |= bits(_mm256_cmpgt_epi8(cont_hi, x)) << shift;
  }
  return r;
}

using Classifier = RawMasks (*)(const char*, std::size_t, unsigned char, unsigned char) noexcept;

Classifier pick_classifier() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f")) {
    return classify_avx512;
  }
  if (__builtin_cpu_supports("avx2")) return classify_avx2;
  return classify_scalar;
}

Classifier g_classify = pick_classifier();
#endif

}  // namespace

void use_portable_scan(bool portable) noexcept {
#ifdef GLEAVE_X86_DISPATCH
  g_classify = portable ? classify_scalar : pick_classifier();
#else
  (void)portable;
#endif
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
#ifdef GLEAVE_X86_DISPATCH
  const RawMasks r = g_classify(p, len, delimiter_, quote_char_);
#else
  const RawMasks r = classify_scalar(p, len, delimiter_, quote_char_);
#endif
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
  row_end_ = p;
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
        if (c == quote_char_ && quoting_) {
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
        } else if (is_blank(c) && keep_blanks_after_quote_) {
          std::size_t j = p;
          while (j < n && is_blank(static_cast<unsigned char>(s[j])) &&
                 static_cast<unsigned char>(s[j]) != delimiter_) {
            ++j;
          }
          const bool text_follows = j < n && static_cast<unsigned char>(s[j]) != delimiter_ &&
                                    !is_line_break(static_cast<unsigned char>(s[j]));
          if (text_follows) row.bytes.append(s + p, j - p);
          p = j;
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
  row_end_ = n;
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
