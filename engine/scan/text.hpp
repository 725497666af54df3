// Byte-level helpers shared by the parser, the heuristics and the writers:
// vectorised search for a few significant bytes, UTF-8 validation with an
// ASCII fast path, and lenient UTF-8 repair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/scan/simd.hpp"

namespace gleave {

inline bool is_blank(unsigned char c) noexcept {
  return c == ' ' || c == '\t';
}
inline bool is_line_break(unsigned char c) noexcept {
  return c == '\n' || c == '\r';
}

// Finds a set of up to four bytes in a run of text. Build it once per parser
// or writer. Most runs end within a few bytes (fields are short), so the
// first bytes are looked up in a table one by one; a longer run goes to the
// vectorised search, 64 bytes at a time.
class ByteFinder {
 public:
  ByteFinder(unsigned char a, unsigned char b, unsigned char c, unsigned char d) noexcept
      : targets_{{a, b, c, d}, false} {
    for (const unsigned char x : {a, b, c, d}) hit_[x] = true;
  }

  // First position in [p, end) holding one of the bytes, or end.
  const char* find(const char* p, const char* end) const noexcept {
    const char* const short_end = end - p > kShortRun ? p + kShortRun : end;
    for (; p < short_end; ++p) {
      if (hit_[static_cast<unsigned char>(*p)]) return p;
    }
    return p == end ? end : simd::find(p, end, targets_);
  }

 private:
  static constexpr std::ptrdiff_t kShortRun = 16;
  bool hit_[256] = {};
  simd::Targets targets_;
};

// True when every byte is below 0x80. Short runs (fields) eight bytes at a
// time in a word; long ones with the vectorised search.
inline bool is_ascii(const char* p, std::size_t n) noexcept {
  if (n >= 64) {
    constexpr simd::Targets kHigh{{0x80, 0x80, 0x80, 0x80}, true};
    return simd::find(p, p + n, kHigh) == p + n;
  }
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

// Length of the longest prefix of [p, p + n) below 0x80.
inline std::size_t ascii_prefix(const char* p, std::size_t n) noexcept {
  constexpr simd::Targets kHigh{{0x80, 0x80, 0x80, 0x80}, true};
  return static_cast<std::size_t>(simd::find(p, p + n, kHigh) - p);
}

// Length of the longest valid UTF-8 prefix of [p, p + n).
std::size_t valid_utf8_prefix(const char* p, std::size_t n) noexcept;

// Appends [p, p + n) to out, each ill-formed sequence replaced by U+FFFD,
// one replacement per maximal subpart.
void append_utf8_lossy(std::string& out, const char* p, std::size_t n);

// Makes the bytes of s from `from` on valid UTF-8 in place.
void repair_utf8_tail(std::string& s, std::size_t from);

// The character whose code point equals the byte: the byte itself below
// 0x80, its two-byte UTF-8 form from 0x80 to 0xFF.
inline std::string byte_char(unsigned char b) {
  if (b < 0x80) return std::string(1, static_cast<char>(b));
  return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

// True when the field holds only Unicode White_Space characters (or nothing).
// The field must be valid UTF-8.
bool is_all_white_space(std::string_view field) noexcept;

}  // namespace gleave
