// Byte-level helpers shared by the parser, the heuristics and the writers:
// vectorised search for a few significant bytes, UTF-8 validation with an
// ASCII fast path, and lenient UTF-8 repair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gleave {

inline bool is_blank(unsigned char c) noexcept {
  return c == ' ' || c == '\t';
}
inline bool is_line_break(unsigned char c) noexcept {
  return c == '\n' || c == '\r';
}

// Finds a set of up to four bytes in a run of text, sixteen bytes at a time.
// Build it once per parser or writer: the broadcast registers are set up in
// the constructor, not in the hot loop.
class ByteFinder {
 public:
  ByteFinder(unsigned char a, unsigned char b, unsigned char c, unsigned char d) noexcept {
    for (const unsigned char x : {a, b, c, d}) hit_[x] = true;
#if defined(__SSE2__)
    va_ = _mm_set1_epi8(static_cast<char>(a));
    vb_ = _mm_set1_epi8(static_cast<char>(b));
    vc_ = _mm_set1_epi8(static_cast<char>(c));
    vd_ = _mm_set1_epi8(static_cast<char>(d));
#endif
  }

  // First position in [p, end) holding one of the bytes, or end. Long runs
  // go sixteen bytes at a time; short ones (most fields) by table look-up.
  const char* find(const char* p, const char* end) const noexcept {
#if defined(__SSE2__)
    while (end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i hit =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va_), _mm_cmpeq_epi8(x, vb_)),
                       _mm_or_si128(_mm_cmpeq_epi8(x, vc_), _mm_cmpeq_epi8(x, vd_)));
      const int mask = _mm_movemask_epi8(hit);
      if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
      p += 16;
    }
#endif
    while (p < end && !hit_[static_cast<unsigned char>(*p)]) ++p;
    return p;
  }

 private:
  bool hit_[256] = {};
#if defined(__SSE2__)
  __m128i va_, vb_, vc_, vd_;
#endif
};

// True when every byte is below 0x80.
inline bool is_ascii(const char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  std::uint64_t acc = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
  return (acc & 0x8080808080808080ULL) == 0;
}

// Length of the longest valid UTF-8 prefix of [p, p + n).
std::size_t valid_utf8_prefix(const char* p, std::size_t n) noexcept;

// Appends [p, p + n) to out, each ill-formed sequence replaced by U+FFFD,
// one replacement per maximal subpart.
void append_utf8_lossy(std::string& out, const char* p, std::size_t n);

// Makes the bytes of s from `from` on valid UTF-8 in place.
void repair_utf8_tail(std::string& s, std::size_t from);

// Appends the character whose code point equals the byte: the byte itself
// below 0x80, its two-byte UTF-8 form from 0x80 to 0xFF.
inline void append_byte_char(std::string& out, unsigned char b) {
  if (b < 0x80) {
    out.push_back(static_cast<char>(b));
  } else {
    out.push_back(static_cast<char>(0xC0 | (b >> 6)));
    out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
  }
}

inline std::string byte_char(unsigned char b) {
  std::string s;
  append_byte_char(s, b);
  return s;
}

// True when the field holds only Unicode White_Space characters (or nothing).
// The field must be valid UTF-8.
bool is_all_white_space(std::string_view field) noexcept;

}  // namespace gleave
