// The byte-by-byte UTF-8 rules that the validator, the vectorised fast path
// and the lenient decoder share.
#pragma once

#include <cstddef>

namespace gleave::utf8 {

// For a lead byte: how many continuation bytes follow, and the range the
// first of them must fall in (the others are always 80..BF). Returns 0 for a
// byte that cannot start a sequence.
struct Lead {
  int more;
  unsigned char lo, hi;
};

inline Lead lead_of(unsigned char b) noexcept {
  if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
  if (b == 0xE0) return {2, 0xA0, 0xBF};
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return {2, 0x80, 0xBF};
  if (b == 0xED) return {2, 0x80, 0x9F};
  if (b == 0xF0) return {3, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
  if (b == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

// Length of the sequence starting at p[i] (0x80 or above) when it is well
// formed; otherwise the negated length of its maximal subpart (at least 1).
inline long sequence_at(const unsigned char* p, std::size_t n, std::size_t i) noexcept {
  const Lead lead = lead_of(p[i]);
  if (lead.more == 0) return -1;
  std::size_t j = i + 1;
  for (int k = 0; k < lead.more; ++k, ++j) {
    const unsigned char lo = k == 0 ? lead.lo : 0x80;
    const unsigned char hi = k == 0 ? lead.hi : 0xBF;
    if (j >= n || p[j] < lo || p[j] > hi) return -static_cast<long>(j - i);
  }
  return static_cast<long>(j - i);
}

// Length of the longest valid prefix of [p, p + n), one byte at a time.
inline std::size_t valid_prefix(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
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

}  // namespace gleave::utf8
