#include "density/simd.h"

#include <algorithm>
#include <array>
#include <cmath>

#if defined(HALOPROF_X86)
#include <immintrin.h>
#endif

namespace haloprof::density_detail {
namespace {

__extension__ typedef unsigned __int128 uint128;

// The spline at q, each tier's lanes rounding as this: both pieces formed, one chosen.
inline double spline(double q) {
  const double inner = (1 - 1.5 * q * q) + 0.75 * q * q * q;
  const double t = 2 - q;
  const double outer = 0.25 * t * t * t;
  return q < 1 ? inner : q < 2 ? outer : 0.0;
}

// The scale that puts the largest term in [2^30, 2^31): with q < 2 in double every term
// above zero lies above 2^-160, so the scale stays finite.
inline int fixed_shift(double largest) { return 30 - std::ilogb(largest); }

// A scaled term a in [0, 2^31) as three 31-bit digits: whole, then two below the point.
// Each step is exact: the fraction of a double, a power-of-two scaling, a truncation.
struct digits3 {
  std::int64_t d0, d1, d2;
};

inline void add_digits(double a, digits3& s) {
  const auto c0 = static_cast<std::int32_t>(a);
  const double r1 = (a - c0) * 0x1p31;
  const auto c1 = static_cast<std::int32_t>(r1);
  const double r2 = (r1 - c1) * 0x1p31;
  const auto c2 = static_cast<std::int32_t>(r2);
  s.d0 += c0;
  s.d1 += c1;
  s.d2 += c2;
}

inline double total(const digits3& s, int shift) {
  const uint128 t =
      (static_cast<uint128>(s.d0) << 62) + (static_cast<uint128>(s.d1) << 31) + static_cast<uint128>(s.d2);
  return std::ldexp(static_cast<double>(t), -62 - shift);
}

double spline_sum_scalar(const double* d2, std::uint32_t m, double h, double* w) {
  double largest = 0;
  for (std::uint32_t j = 0; j < m; ++j) {
    w[j] = spline(std::sqrt(d2[j]) / h);
    largest = std::max(largest, w[j]);
  }
  if (largest == 0) return 0;
  const int shift = fixed_shift(largest);
  const double up = std::ldexp(1.0, shift);
  digits3 s{0, 0, 0};
  for (std::uint32_t j = 0; j < m; ++j) add_digits(w[j] * up, s);
  return total(s, shift);
}

std::uint32_t scan_scalar(const float* x, const float* y, const float* z, std::uint32_t n, float px, float py, float pz,
                          float r2, std::uint32_t* out) {
  std::uint32_t m = 0;
  for (std::uint32_t j = 0; j < n; ++j) {
    const float dx = x[j] - px, dy = y[j] - py, dz = z[j] - pz;
    out[m] = j;
    m += (dx * dx + dy * dy) + dz * dz <= r2;  // written always, kept when inside: no branch
  }
  return m;
}

#if defined(HALOPROF_X86)

std::uint32_t scan_sse2(const float* x, const float* y, const float* z, std::uint32_t n, float px, float py, float pz,
                        float r2, std::uint32_t* out) {
  const __m128 cx = _mm_set1_ps(px), cy = _mm_set1_ps(py), cz = _mm_set1_ps(pz), limit = _mm_set1_ps(r2);
  std::uint32_t m = 0;
  for (std::uint32_t j = 0; j < n; j += 4) {
    const __m128 dx = _mm_sub_ps(_mm_loadu_ps(x + j), cx);
    const __m128 dy = _mm_sub_ps(_mm_loadu_ps(y + j), cy);
    const __m128 dz = _mm_sub_ps(_mm_loadu_ps(z + j), cz);
    const __m128 dd = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
    for (unsigned bits = static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(dd, limit))); bits != 0; bits &= bits - 1)
      out[m++] = j + static_cast<std::uint32_t>(__builtin_ctz(bits));
  }
  return m;
}

// For each 8-bit mask, the lanes it sets in order, one byte each.
constexpr std::array<std::uint64_t, 256> lane_lists = [] {
  std::array<std::uint64_t, 256> lists{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned at = 0;
    for (unsigned lane = 0; lane < 8; ++lane)
      if (mask >> lane & 1) lists[mask] |= std::uint64_t{lane} << (8 * at++);
  }
  return lists;
}();

// The kept indices of eight candidates go out in one store, their count added: no branch per
// candidate.
__attribute__((target("avx2"))) std::uint32_t scan_avx2(const float* x, const float* y, const float* z, std::uint32_t n,
                                                        float px, float py, float pz, float r2, std::uint32_t* out) {
  const __m256 cx = _mm256_set1_ps(px), cy = _mm256_set1_ps(py), cz = _mm256_set1_ps(pz), limit = _mm256_set1_ps(r2);
  std::uint32_t m = 0;
  for (std::uint32_t j = 0; j < n; j += 8) {
    const __m256 dx = _mm256_sub_ps(_mm256_loadu_ps(x + j), cx);
    const __m256 dy = _mm256_sub_ps(_mm256_loadu_ps(y + j), cy);
    const __m256 dz = _mm256_sub_ps(_mm256_loadu_ps(z + j), cz);
    const __m256 dd = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(dd, limit, _CMP_LE_OQ)));
    const __m256i lanes = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(lane_lists[mask])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + m),
                        _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j))));
    m += static_cast<std::uint32_t>(__builtin_popcount(mask));
  }
  return m;
}

// Four terms at a time, lane by lane the scalar kernel's roundings; the digit sums are
// integers, so the lanes' order of addition does not matter.
__attribute__((target("avx2"))) double spline_sum_avx2(const double* d2, std::uint32_t m, double h, double* w) {
  const __m256d one = _mm256_set1_pd(1), two = _mm256_set1_pd(2), hv = _mm256_set1_pd(h);
  const __m256d c15 = _mm256_set1_pd(1.5), c075 = _mm256_set1_pd(0.75), c025 = _mm256_set1_pd(0.25);
  __m256d most = _mm256_setzero_pd();
  std::uint32_t j = 0;
  for (; j + 4 <= m; j += 4) {
    const __m256d q = _mm256_div_pd(_mm256_sqrt_pd(_mm256_loadu_pd(d2 + j)), hv);
    const __m256d inner = _mm256_add_pd(_mm256_sub_pd(one, _mm256_mul_pd(_mm256_mul_pd(c15, q), q)),
                                        _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(c075, q), q), q));
    const __m256d t = _mm256_sub_pd(two, q);
    const __m256d outer = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(c025, t), t), t);
    const __m256d below2 = _mm256_and_pd(outer, _mm256_cmp_pd(q, two, _CMP_LT_OQ));
    const __m256d v = _mm256_blendv_pd(below2, inner, _mm256_cmp_pd(q, one, _CMP_LT_OQ));
    _mm256_storeu_pd(w + j, v);
    most = _mm256_max_pd(most, v);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, most);
  double largest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  for (std::uint32_t r = j; r < m; ++r) {
    w[r] = spline(std::sqrt(d2[r]) / h);
    largest = std::max(largest, w[r]);
  }
  if (largest == 0) return 0;
  const int shift = fixed_shift(largest);
  const __m256d up = _mm256_set1_pd(std::ldexp(1.0, shift)), digit = _mm256_set1_pd(0x1p31);
  __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0;
  for (j = 0; j + 4 <= m; j += 4) {
    const __m256d a = _mm256_mul_pd(_mm256_loadu_pd(w + j), up);
    const __m128i c0 = _mm256_cvttpd_epi32(a);
    const __m256d r1 = _mm256_mul_pd(_mm256_sub_pd(a, _mm256_cvtepi32_pd(c0)), digit);
    const __m128i c1 = _mm256_cvttpd_epi32(r1);
    const __m256d r2 = _mm256_mul_pd(_mm256_sub_pd(r1, _mm256_cvtepi32_pd(c1)), digit);
    const __m128i c2 = _mm256_cvttpd_epi32(r2);
    s0 = _mm256_add_epi64(s0, _mm256_cvtepi32_epi64(c0));
    s1 = _mm256_add_epi64(s1, _mm256_cvtepi32_epi64(c1));
    s2 = _mm256_add_epi64(s2, _mm256_cvtepi32_epi64(c2));
  }
  alignas(32) std::int64_t v0[4], v1[4], v2[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(v0), s0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(v1), s1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(v2), s2);
  digits3 s{v0[0] + v0[1] + v0[2] + v0[3], v1[0] + v1[1] + v1[2] + v1[3], v2[0] + v2[1] + v2[2] + v2[3]};
  const double scale = std::ldexp(1.0, shift);
  for (; j < m; ++j) add_digits(w[j] * scale, s);
  return total(s, shift);
}

}  // namespace

const tiered<scan_fn> scan_kernels{{scan_scalar, scan_sse2, scan_avx2}};
const tiered<spline_sum_fn> spline_sum_kernels{{spline_sum_scalar, spline_sum_scalar, spline_sum_avx2}};

#else

}  // namespace

const tiered<scan_fn> scan_kernels{{scan_scalar, scan_scalar, scan_scalar}};
const tiered<spline_sum_fn> spline_sum_kernels{{spline_sum_scalar, spline_sum_scalar, spline_sum_scalar}};

#endif

}  // namespace haloprof::density_detail
