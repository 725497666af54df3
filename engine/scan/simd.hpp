// The byte classifier behind the vectorised scans: up to 64 bytes at a time
// into one bit mask per class of byte, with the widest instructions the
// processor offers (AVX-512, AVX2, SSE2, or portable code), chosen once at
// load time.
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

using Classifier = ByteMasks (*)(const char* p, std::size_t len, unsigned char delim,
                                 unsigned char quote) noexcept;

namespace detail {
extern Classifier g_classify;
}

// Classifies [p, p + len), len at most 64, with the implementation in force.
inline ByteMasks classify(const char* p, std::size_t len, unsigned char delim,
                          unsigned char quote) noexcept {
  return detail::g_classify(p, len, delim, quote);
}

bool supported(Impl impl) noexcept;
Impl best_supported() noexcept;
Impl active() noexcept;
Impl chosen_at_load() noexcept;  // the best, or the one the environment names
const char* name(Impl impl) noexcept;
// Switches implementation (tests); false, and no change, when unsupported.
bool force(Impl impl) noexcept;

}  // namespace gleave::simd
