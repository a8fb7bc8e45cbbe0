// Classifying 64 bytes of snapshot text at once, one bit per byte, so that the values of
// a record can be found with bit operations instead of a byte-by-byte walk.
#pragma once

#include <cstdint>

#include "core/kernels.h"

namespace haloprof {

struct window_masks {
  std::uint64_t separator;  // ends a value: ' ', ',', '/' and bytes below 0x20 (line feed, tab, ...)
  std::uint64_t stray;      // a separator other than ' ' (a comma too)
  std::uint64_t comma;      // ','
};

// The masks of the 64 bytes at p; bit i describes p[i]. All 64 bytes must be readable.
inline window_masks classify_window_scalar(const char* p) {
  window_masks m{0, 0, 0};
  for (int i = 0; i < 64; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    const bool stray = c < 0x20 || c == '/' || c == ',';
    if (stray || c == ' ') m.separator |= bit;
    if (stray) m.stray |= bit;
    if (c == ',') m.comma |= bit;
  }
  return m;
}

#if defined(HALOPROF_X86)
inline window_masks classify_window_sse2(const char* p) {
  window_masks m{0, 0, 0};
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i below = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    // Unsigned v < 0x20 as a signed comparison of both sides shifted by 0x80.
    const __m128i commas = _mm_cmpeq_epi8(v, comma);
    const __m128i stray =
        _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, bias), below), _mm_cmpeq_epi8(v, slash)), commas);
    const __m128i separator = _mm_or_si128(stray, _mm_cmpeq_epi8(v, space));
    const int shift = 16 * k;
    m.separator |= static_cast<std::uint64_t>(_mm_movemask_epi8(separator) & 0xffff) << shift;
    m.stray |= static_cast<std::uint64_t>(_mm_movemask_epi8(stray) & 0xffff) << shift;
    m.comma |= static_cast<std::uint64_t>(_mm_movemask_epi8(commas) & 0xffff) << shift;
  }
  return m;
}

// The same in 256-bit vectors, where the processor has AVX2.
__attribute__((target("avx2"))) inline window_masks classify_window_avx2(const char* p) {
  window_masks m{0, 0, 0};
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i below = _mm256_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  for (int k = 0; k < 2; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
    const __m256i commas = _mm256_cmpeq_epi8(v, comma);
    // Unsigned v < 0x20 as a signed comparison of both sides shifted by 0x80.
    const __m256i stray = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpgt_epi8(below, _mm256_xor_si256(v, bias)), _mm256_cmpeq_epi8(v, slash)), commas);
    const __m256i separator = _mm256_or_si256(stray, _mm256_cmpeq_epi8(v, space));
    const int shift = 32 * k;
    m.separator |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(separator))) << shift;
    m.stray |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(stray))) << shift;
    m.comma |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(commas))) << shift;
  }
  return m;
}

#endif

// The masks of n consecutive windows from p on, into out[0, n): one call per stretch of
// text, so that each tier's window classifier is inlined into its loop.
using classify_blocks_fn = void (*)(const char* p, int n, window_masks* out);

template <window_masks (*classify)(const char*)>
void classify_blocks(const char* p, int n, window_masks* out) {
  for (int b = 0; b < n; ++b) out[b] = classify(p + 64 * b);
}

#if defined(HALOPROF_X86)
__attribute__((target("avx2"))) inline void classify_blocks_avx2(const char* p, int n, window_masks* out) {
  for (int b = 0; b < n; ++b) out[b] = classify_window_avx2(p + 64 * b);
}
#endif

#if defined(HALOPROF_X86)
inline constexpr tiered<classify_blocks_fn> classify_kernels{
    {classify_blocks<classify_window_scalar>, classify_blocks<classify_window_sse2>, classify_blocks_avx2}};
#else
inline constexpr tiered<classify_blocks_fn> classify_kernels{
    {classify_blocks<classify_window_scalar>, classify_blocks<classify_window_scalar>,
     classify_blocks<classify_window_scalar>}};
#endif

}  // namespace haloprof
