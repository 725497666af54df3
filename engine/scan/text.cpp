#include "text.hpp"

namespace gleave {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// For a lead byte: how many continuation bytes follow, and the range the
// first of them must fall in (the others are always 80..BF). Returns 0 for a
// byte that cannot start a sequence.
struct Lead {
  int more;
  unsigned char lo, hi;
};

inline Lead classify(unsigned char b) noexcept {
  if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
  if (b == 0xE0) return {2, 0xA0, 0xBF};
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return {2, 0x80, 0xBF};
  if (b == 0xED) return {2, 0x80, 0x9F};
  if (b == 0xF0) return {3, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
  if (b == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

// Length of the sequence starting at p[i] when it is well formed; otherwise
// the negated length of its maximal subpart (at least 1).
inline long sequence_at(const unsigned char* p, std::size_t n, std::size_t i) noexcept {
  const Lead lead = classify(p[i]);
  if (lead.more == 0) return -1;
  std::size_t j = i + 1;
  for (int k = 0; k < lead.more; ++k, ++j) {
    const unsigned char lo = k == 0 ? lead.lo : 0x80;
    const unsigned char hi = k == 0 ? lead.hi : 0xBF;
    if (j >= n || p[j] < lo || p[j] > hi) return -static_cast<long>(j - i);
  }
  return static_cast<long>(j - i);
}

}  // namespace

std::size_t valid_utf8_prefix(const char* s, std::size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time while a block holds only ASCII and well-formed
  // two-byte sequences (Latin scripts); anything else goes one sequence at a
  // time below, which also finds where an ill-formed sequence starts.
  const __m128i lead_lo = _mm_set1_epi8(static_cast<char>(0xC1));  // signed compares
  const __m128i lead_hi = _mm_set1_epi8(static_cast<char>(0xE0));
  const __m128i cont_hi = _mm_set1_epi8(static_cast<char>(0xC0));
  while (i + 16 <= n) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(x));
    if (high == 0) {
      i += 16;
      continue;
    }
    const auto lead = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(x, lead_lo), _mm_cmplt_epi8(x, lead_hi))));
    const auto cont = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(x, cont_hi)));
    const bool two_byte_only =
        (lead | cont) == high && (lead & 0x8000u) == 0 && cont == ((lead << 1) & 0xFFFFu);
    if (two_byte_only) {
      i += 16;
      continue;
    }
    i += static_cast<std::size_t>(__builtin_ctz(high));  // first non-ASCII byte
    const long len = sequence_at(p, n, i);
    if (len < 0) return i;
    i += static_cast<std::size_t>(len);
  }
#endif
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const long len = sequence_at(p, n, i);
    if (len < 0) return i;
    i += static_cast<std::size_t>(len);
  }
  return n;
}

void append_utf8_lossy(std::string& out, const char* s, std::size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  std::size_t i = 0;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(s + i, n - i);
    out.append(s + i, good);
    i += good;
    if (i >= n) break;
    const long len = sequence_at(p, n, i);  // negative here: ill-formed
    out.append(kReplacement, 3);
    i += static_cast<std::size_t>(-len);
  }
}

void repair_utf8_tail(std::string& s, std::size_t from) {
  const std::size_t n = s.size() - from;
  const std::size_t good = valid_utf8_prefix(s.data() + from, n);
  if (good == n) return;
  const std::string tail(s.data() + from + good, n - good);
  s.resize(from + good);
  append_utf8_lossy(s, tail.data(), tail.size());
}

namespace {

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_all_white_space(std::string_view field) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(field.data());
  const std::size_t n = field.size();
  std::size_t i = 0;
  while (i < n) {
    char32_t c = p[i];
    std::size_t len = 1;
    if (c >= 0xF0) {
      len = 4;
    } else if (c >= 0xE0) {
      len = 3;
    } else if (c >= 0xC0) {
      len = 2;
    }
    if (i + len > n) return false;
    if (len > 1) {
      c &= (0x7F >> len);
      for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (!is_white_space(c)) return false;
    i += len;
  }
  return true;
}

}  // namespace gleave
