#include "simd.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GLEAVE_X86_DISPATCH 1
#endif

namespace gleave::simd {

namespace {

ByteMasks classify_scalar(const char* p, std::size_t len, unsigned char delim,
                          unsigned char quote) noexcept {
  ByteMasks r{0, 0, 0, 0, 0, 0, 0};
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

#ifdef GLEAVE_X86_DISPATCH

// 0x80..0xBF are continuation bytes and 0xC2..0xDF lead bytes of two-byte
// sequences; as signed bytes both are ranges below zero.
__attribute__((target("avx512bw,avx512f"))) ByteMasks classify_avx512(
    const char* p, std::size_t len, unsigned char delim, unsigned char quote) noexcept {
  const __mmask64 valid = len == 64 ? ~__mmask64{0} : (__mmask64{1} << len) - 1;
  const __m512i x = _mm512_maskz_loadu_epi8(valid, p);  // bytes past len read as zero
  ByteMasks r;
  r.lf = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\n'));
  r.cr = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\r'));
  r.quote = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(quote))) & valid;
  r.delim = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(delim))) & valid;
  r.high = _mm512_movepi8_mask(x);
  r.lead = _mm512_cmpgt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xC1))) &
           _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xE0)));
  r.cont = _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8(static_cast<char>(0xC0)));
  return r;
}

// Copies a short tail into a zeroed 64-byte block and masks the result.
template <class Full>
ByteMasks classify_padded(Full full, const char* p, std::size_t len, unsigned char delim,
                          unsigned char quote) noexcept {
  if (len == 64) return full(p, delim, quote);
  alignas(64) char padded[64];
  std::memset(padded, 0, sizeof padded);
  std::memcpy(padded, p, len);
  ByteMasks r = full(padded, delim, quote);
  const std::uint64_t valid = (std::uint64_t{1} << len) - 1;
  r.quote &= valid;  // a zero quote or delimiter byte would match the padding
  r.delim &= valid;
  return r;
}

__attribute__((target("avx2"))) inline std::uint64_t bits(__m256i v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
}

__attribute__((target("avx2"))) ByteMasks classify_avx2_full(const char* p, unsigned char delim,
                                                             unsigned char quote) noexcept {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i q = _mm256_set1_epi8(static_cast<char>(quote));
  const __m256i d = _mm256_set1_epi8(static_cast<char>(delim));
  const __m256i lead_lo = _mm256_set1_epi8(static_cast<char>(0xC1));
  const __m256i lead_hi = _mm256_set1_epi8(static_cast<char>(0xE0));
  const __m256i cont_hi = _mm256_set1_epi8(static_cast<char>(0xC0));
  ByteMasks r{0, 0, 0, 0, 0, 0, 0};
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

__attribute__((target("avx2"))) ByteMasks classify_avx2(const char* p, std::size_t len,
                                                        unsigned char delim,
                                                        unsigned char quote) noexcept {
  return classify_padded(classify_avx2_full, p, len, delim, quote);
}

inline std::uint64_t bits(__m128i v) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(v)));
}

ByteMasks classify_sse2_full(const char* p, unsigned char delim, unsigned char quote) noexcept {
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i d = _mm_set1_epi8(static_cast<char>(delim));
  const __m128i lead_lo = _mm_set1_epi8(static_cast<char>(0xC1));
  const __m128i lead_hi = _mm_set1_epi8(static_cast<char>(0xE0));
  const __m128i cont_hi = _mm_set1_epi8(static_cast<char>(0xC0));
  ByteMasks r{0, 0, 0, 0, 0, 0, 0};
  for (int quarter = 0; quarter < 4; ++quarter) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * quarter));
    const int shift = 16 * quarter;
    r.lf |= bits(_mm_cmpeq_epi8(x, lf)) << shift;
    r.cr |= bits(_mm_cmpeq_epi8(x, cr)) << shift;
    r.quote |= bits(_mm_cmpeq_epi8(x, q)) << shift;
    r.delim |= bits(_mm_cmpeq_epi8(x, d)) << shift;
    r.high |= bits(x) << shift;
    r.lead |= bits(_mm_and_si128(_mm_cmpgt_epi8(x, lead_lo), _mm_cmplt_epi8(x, lead_hi))) << shift;
    r.cont |= bits(_mm_cmplt_epi8(x, cont_hi)) << shift;
  }
  return r;
}

ByteMasks classify_sse2(const char* p, std::size_t len, unsigned char delim,
                        unsigned char quote) noexcept {
  return classify_padded(classify_sse2_full, p, len, delim, quote);
}

#endif

Classifier classifier_of(Impl impl) noexcept {
  switch (impl) {
#ifdef GLEAVE_X86_DISPATCH
    case Impl::Avx512: return classify_avx512;
    case Impl::Avx2: return classify_avx2;
    case Impl::Sse2: return classify_sse2;
#endif
    default: return classify_scalar;
  }
}

Impl g_active = Impl::Scalar;
Impl g_at_load = Impl::Scalar;

// The best implementation, or the one GLEAVE_FORCE_IMPL names.
Classifier pick_at_load() noexcept {
  g_active = best_supported();
  if (const char* forced = std::getenv("GLEAVE_FORCE_IMPL")) {
    for (const Impl impl : {Impl::Scalar, Impl::Sse2, Impl::Avx2, Impl::Avx512}) {
      if (std::string_view(forced) == name(impl) && supported(impl)) g_active = impl;
    }
  }
  g_at_load = g_active;
  return classifier_of(g_active);
}

}  // namespace

namespace detail {
Classifier g_classify = pick_at_load();
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

Impl best_supported() noexcept {
  for (const Impl impl : {Impl::Avx512, Impl::Avx2, Impl::Sse2}) {
    if (supported(impl)) return impl;
  }
  return Impl::Scalar;
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
  detail::g_classify = classifier_of(impl);
  return true;
}

}  // namespace gleave::simd
