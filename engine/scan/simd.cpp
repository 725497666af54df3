#include "engine/scan/simd.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/scan/utf8.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GLEAVE_X86_DISPATCH 1
#endif

namespace gleave::simd {

namespace {

// What one block of up to 64 bytes holds: bit i of eq[k] is set when byte i
// equals needle k; high, lead and cont as in ByteMasks. Bits past the
// block's length are clear in every mask.
struct Block {
  std::uint64_t eq[4];
  std::uint64_t high, lead, cont;
};

using Needles = unsigned char[4];

inline std::uint64_t valid_bits(std::size_t len) noexcept {
  return len >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << len) - 1;
}

// The classifier, once per implementation: Isa::classify(p, len, needles)
// for len at most 64. Everything else in this file is written over it, and
// inlined into each implementation's kernels, where the compiler drops the
// masks a kernel does not read.

struct Scalar {
  static Block classify(const char* p, std::size_t len, const Needles& n) noexcept {
    Block b{{0, 0, 0, 0}, 0, 0, 0};
    for (std::size_t i = 0; i < len; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      const std::uint64_t bit = std::uint64_t{1} << i;
      for (int k = 0; k < 4; ++k) {
        if (c == n[k]) b.eq[k] |= bit;
      }
      if (c >= 0x80) b.high |= bit;
      if (c >= 0xC2 && c <= 0xDF) b.lead |= bit;
      if (c >= 0x80 && c <= 0xBF) b.cont |= bit;
    }
    return b;
  }
};

#ifdef GLEAVE_X86_DISPATCH

#define GLEAVE_AVX512 __attribute__((target("avx512bw,avx512f")))
#define GLEAVE_AVX2 __attribute__((target("avx2")))

// 0x80..0xBF are continuation bytes and 0xC2..0xDF lead bytes of two-byte
// sequences; as signed bytes both are ranges below zero, so signed compares
// find them, and the zero bytes that stand in past the end are in neither.

struct Avx512 {
  GLEAVE_AVX512 static Block classify(const char* p, std::size_t len, const Needles& n) noexcept {
    const __mmask64 valid = valid_bits(len);
    const __m512i x = _mm512_maskz_loadu_epi8(valid, p);  // bytes past len read as zero
    Block b;
    for (int k = 0; k < 4; ++k) {
      b.eq[k] = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(n[k]))) & valid;
    }
    b.high = _mm512_movepi8_mask(x);
    b.lead = _mm512_cmpgt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xC1))) &
             _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xE0)));
    b.cont = _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xC0)));
    return b;
  }
};

// For the narrower units: a short block is copied into a zeroed one of 64
// bytes, rather than reading past the end of the caller's bytes.
template <class Full>
inline Block classify_padded(const char* p, std::size_t len, const Needles& n) noexcept {
  if (len >= 64) return Full::full(p, n);
  alignas(64) char padded[64];
  std::memset(padded, 0, sizeof padded);
  std::memcpy(padded, p, len);
  Block b = Full::full(padded, n);
  const std::uint64_t valid = valid_bits(len);
  for (std::uint64_t& m : b.eq) m &= valid;  // a zero needle would match the padding
  return b;
}

struct Avx2 {
  GLEAVE_AVX2 static std::uint64_t bits(__m256i v) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
  }
  GLEAVE_AVX2 static Block full(const char* p, const Needles& n) noexcept {
    const __m256i lead_lo = _mm256_set1_epi8(static_cast<char>(0xC1));
    const __m256i lead_hi = _mm256_set1_epi8(static_cast<char>(0xE0));
    const __m256i cont_hi = _mm256_set1_epi8(static_cast<char>(0xC0));
    Block b{{0, 0, 0, 0}, 0, 0, 0};
    for (int half = 0; half < 2; ++half) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
      const int shift = 32 * half;
      for (int k = 0; k < 4; ++k) {
        b.eq[k] |= bits(_mm256_cmpeq_epi8(x, _mm256_set1_epi8(static_cast<char>(n[k])))) << shift;
      }
      b.high |= bits(x) << shift;
      b.lead |= bits(_mm256_and_si256(_mm256_cmpgt_epi8(x, lead_lo), _mm256_cmpgt_epi8(lead_hi, x)))
                << shift;
      b.cont |= bits(_mm256_cmpgt_epi8(cont_hi, x)) << shift;
    }
    return b;
  }
  GLEAVE_AVX2 static Block classify(const char* p, std::size_t len, const Needles& n) noexcept {
    return classify_padded<Avx2>(p, len, n);
  }
};

struct Sse2 {
  static std::uint64_t bits(__m128i v) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(v)));
  }
  static Block full(const char* p, const Needles& n) noexcept {
    const __m128i lead_lo = _mm_set1_epi8(static_cast<char>(0xC1));
    const __m128i lead_hi = _mm_set1_epi8(static_cast<char>(0xE0));
    const __m128i cont_hi = _mm_set1_epi8(static_cast<char>(0xC0));
    Block b{{0, 0, 0, 0}, 0, 0, 0};
    for (int quarter = 0; quarter < 4; ++quarter) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * quarter));
      const int shift = 16 * quarter;
      for (int k = 0; k < 4; ++k) {
        b.eq[k] |= bits(_mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(n[k])))) << shift;
      }
      b.high |= bits(x) << shift;
      b.lead |= bits(_mm_and_si128(_mm_cmpgt_epi8(x, lead_lo), _mm_cmplt_epi8(x, lead_hi)))
                << shift;
      b.cont |= bits(_mm_cmplt_epi8(x, cont_hi)) << shift;
    }
    return b;
  }
  static Block classify(const char* p, std::size_t len, const Needles& n) noexcept {
    return classify_padded<Sse2>(p, len, n);
  }
};

#endif

// The kernels, written once over Isa::classify.

template <class Isa>
inline ByteMasks classify_with(const char* p, std::size_t len, unsigned char delim,
                               unsigned char quote) noexcept {
  const Needles n = {'\n', '\r', quote, delim};
  const Block b = Isa::classify(p, len, n);
  return ByteMasks{b.eq[0], b.eq[1], b.eq[2], b.eq[3], b.high, b.lead, b.cont};
}

inline std::uint64_t hits(const Block& b, const Targets& t) noexcept {
  return b.eq[0] | b.eq[1] | b.eq[2] | b.eq[3] | (t.high ? b.high : 0);
}

template <class Isa>
inline const char* find_with(const char* p, const char* end, const Targets& t) noexcept {
  for (; end - p >= 64; p += 64) {
    const std::uint64_t m = hits(Isa::classify(p, 64, t.bytes), t);
    if (m != 0) return p + __builtin_ctzll(m);
  }
  if (p == end) return end;
  const std::uint64_t m = hits(Isa::classify(p, static_cast<std::size_t>(end - p), t.bytes), t);
  return m != 0 ? p + __builtin_ctzll(m) : end;
}

template <class Isa>
inline std::uint64_t match_with(const char* p, std::size_t len, const Targets& t) noexcept {
  return hits(Isa::classify(p, len, t.bytes), t);
}

// A block of ASCII and whole two-byte sequences passes at once. Otherwise
// the block is taken up to where something else starts (or the two-byte
// sequence before it), and that sequence is judged on its own; then blocks
// go on from the byte after it.
template <class Isa>
inline std::size_t valid_utf8_prefix_with(const char* s, std::size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  const Needles none = {0, 0, 0, 0};  // unused: the compiler drops these compares
  std::size_t i = 0;
  while (i < n) {
    const std::size_t len = n - i < 64 ? n - i : 64;
    const Block b = Isa::classify(s + i, len, none);
    // Bit set where a byte is neither ASCII nor part of a two-byte sequence,
    // or where a continuation byte was due (bit len when the block's last
    // byte is a lead and the text ends there) or came unasked.
    const std::uint64_t bad = (b.high & ~b.lead & ~b.cont) | (b.cont ^ (b.lead << 1));
    const bool lead_last = (b.lead >> (len - 1)) & 1;  // its continuation is in the next block
    if (bad == 0 && !lead_last) {
      i += len;
      continue;
    }
    std::size_t j = bad != 0 ? static_cast<std::size_t>(__builtin_ctzll(bad)) : 64;
    if (j > len - 1)
      j = len - 1;  // only lead_last: the lead itself
    else if (j > 0 && ((b.lead >> (j - 1)) & 1))
      --j;   // the sequence began a byte before
    i += j;  // a byte of 0x80 or above
    const long seq = utf8::sequence_at(p, n, i);
    if (seq < 0) return i;
    i += static_cast<std::size_t>(seq);
  }
  return n;
}

template <class Isa>
constexpr Kernels kernels_of() noexcept {
  return Kernels{classify_with<Isa>, find_with<Isa>, match_with<Isa>, valid_utf8_prefix_with<Isa>};
}

#ifdef GLEAVE_X86_DISPATCH

// Each implementation's kernels, with the classifier inlined into them: the
// target attribute lets the compiler inline intrinsics of that width.
#define GLEAVE_KERNELS(Isa, attr)                                                          \
  attr __attribute__((flatten)) ByteMasks classify_##Isa(                                  \
      const char* p, std::size_t len, unsigned char delim, unsigned char quote) noexcept { \
    return classify_with<Isa>(p, len, delim, quote);                                       \
  }                                                                                        \
  attr __attribute__((flatten))                                                            \
  const char* find_##Isa(const char* p, const char* end, const Targets& t) noexcept {      \
    return find_with<Isa>(p, end, t);                                                      \
  }                                                                                        \
  attr __attribute__((flatten))                                                            \
  std::uint64_t match_##Isa(const char* p, std::size_t len, const Targets& t) noexcept {   \
    return match_with<Isa>(p, len, t);                                                     \
  }                                                                                        \
  attr __attribute__((flatten))                                                            \
  std::size_t valid_utf8_prefix_##Isa(const char* p, std::size_t n) noexcept {             \
    return valid_utf8_prefix_with<Isa>(p, n);                                              \
  }                                                                                        \
  constexpr Kernels kKernels##Isa = {classify_##Isa, find_##Isa, match_##Isa,              \
                                     valid_utf8_prefix_##Isa};

GLEAVE_KERNELS(Avx512, GLEAVE_AVX512)
GLEAVE_KERNELS(Avx2, GLEAVE_AVX2)
GLEAVE_KERNELS(Sse2, )

#endif

Kernels kernels_for(Impl impl) noexcept {
  switch (impl) {
#ifdef GLEAVE_X86_DISPATCH
    case Impl::Avx512: return kKernelsAvx512;
    case Impl::Avx2: return kKernelsAvx2;
    case Impl::Sse2: return kKernelsSse2;
#endif
    default: return kernels_of<Scalar>();
  }
}

Impl best_supported() noexcept {
  for (const Impl impl : {Impl::Avx512, Impl::Avx2, Impl::Sse2}) {
    if (supported(impl)) return impl;
  }
  return Impl::Scalar;
}

Impl g_active = Impl::Scalar;
Impl g_at_load = Impl::Scalar;

// The best implementation, or the one GLEAVE_FORCE_IMPL names.
Kernels pick_at_load() noexcept {
  g_active = best_supported();
  if (const char* forced = std::getenv("GLEAVE_FORCE_IMPL")) {
    for (const Impl impl : {Impl::Scalar, Impl::Sse2, Impl::Avx2, Impl::Avx512}) {
      if (std::string_view(forced) == name(impl) && supported(impl)) g_active = impl;
    }
  }
  g_at_load = g_active;
  return kernels_for(g_active);
}

}  // namespace

namespace detail {
Kernels g_kernels = pick_at_load();
}

bool supported(Impl impl) noexcept {
  switch (impl) {
    case Impl::Scalar: return true;
#ifdef GLEAVE_X86_DISPATCH
    case Impl::Sse2: return true;  // part of x86-64
    case Impl::Avx2: __builtin_cpu_init(); return __builtin_cpu_supports("avx2");
    case Impl::Avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f");
#endif
    default: return false;
  }
}

Impl active() noexcept {
  return g_active;
}

Impl chosen_at_load() noexcept {
  return g_at_load;
}

const char* name(Impl impl) noexcept {
  switch (impl) {
    case Impl::Sse2: return "sse2";
    case Impl::Avx2: return "avx2";
    case Impl::Avx512: return "avx512";
    default: return "scalar";
  }
}

bool force(Impl impl) noexcept {
  if (!supported(impl)) return false;
  g_active = impl;
  detail::g_kernels = kernels_for(impl);
  return true;
}

}  // namespace gleave::simd
