// The one byte classifier behind every vectorised scan of the engine: up to
// 64 bytes at a time into one bit mask per class of byte, with the widest
// instructions the processor offers (AVX-512, AVX2, SSE2, or portable code),
// chosen once at load time. The scans below (the parser's block masks, the
// search for a few bytes, field splitting, the UTF-8 fast path) are each
// written once over that classifier and built for every implementation, so
// that no mask is computed two ways.
//
// GLEAVE_FORCE_IMPL=avx512|avx2|sse2|scalar in the environment at load time
// selects one implementation instead (one the processor lacks is ignored),
// so that the differential tests can run once per implementation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gleave::simd {

enum class Impl : std::uint8_t { Scalar, Sse2, Avx2, Avx512 };

// Bit i is set when byte i is an LF; a CR; the quote; the delimiter; 0x80 or
// above; a lead byte of a two-byte UTF-8 sequence (C2..DF); a continuation
// byte (80..BF). Bytes past `len` are in no class.
struct ByteMasks {
  std::uint64_t lf, cr, quote, delim, high, lead, cont;
};

// What a search or a split stops at: any of four bytes (repeat one to look
// for fewer) and, when `high` is set, any byte of 0x80 or above.
struct Targets {
  unsigned char bytes[4];
  bool high;
};

// The scans of one implementation.
struct Kernels {
  ByteMasks (*classify)(const char* p, std::size_t len, unsigned char delim,
                        unsigned char quote) noexcept;
  const char* (*find)(const char* p, const char* end, const Targets& t) noexcept;
  std::uint64_t (*match)(const char* p, std::size_t len, const Targets& t) noexcept;
  std::size_t (*valid_utf8_prefix)(const char* p, std::size_t n) noexcept;
};

namespace detail {
extern Kernels g_kernels;
}

// Classifies [p, p + len), len at most 64.
inline ByteMasks classify(const char* p, std::size_t len, unsigned char delim,
                          unsigned char quote) noexcept {
  return detail::g_kernels.classify(p, len, delim, quote);
}

// First position in [p, end) holding a target, or end.
inline const char* find(const char* p, const char* end, const Targets& t) noexcept {
  return detail::g_kernels.find(p, end, t);
}

// Bit i set when byte i of [p, p + len) is a target; len at most 64.
inline std::uint64_t match(const char* p, std::size_t len, const Targets& t) noexcept {
  return detail::g_kernels.match(p, len, t);
}

// Length of the longest valid UTF-8 prefix of [p, p + n). Blocks of ASCII
// and two-byte sequences (Latin scripts) go 64 bytes at a time; anything
// else one sequence at a time.
inline std::size_t valid_utf8_prefix(const char* p, std::size_t n) noexcept {
  return detail::g_kernels.valid_utf8_prefix(p, n);
}

bool supported(Impl impl) noexcept;
Impl active() noexcept;
Impl chosen_at_load() noexcept;  // the best, or the one the environment names
const char* name(Impl impl) noexcept;
// Switches implementation (tests); false, and no change, when unsupported.
bool force(Impl impl) noexcept;

}  // namespace gleave::simd
