// The sphere membership rule every stage shares: a particle's offset from a center in
// double precision (single positions widened), the squared distance summed as
// (dx² + dy²) + dz², each square and sum rounded on its own, then rounded to single; the
// particle is inside when that single value is strictly below the squared radius, so a
// particle exactly on the sphere is outside and a NaN distance is never inside.
// Scalar and vector forms; each vector lane rounds exactly as the scalar form.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/kernels.h"

#if defined(HALOPROF_X86)
#include <immintrin.h>
#endif

namespace haloprof {

struct offset {
  double dx, dy, dz;  // from the center
  float dd;           // squared distance, rounded to single
};

inline offset offset_from(float x, float y, float z, double xc, double yc, double zc) {
  const double dx = static_cast<double>(x) - xc;
  const double dy = static_cast<double>(y) - yc;
  const double dz = static_cast<double>(z) - zc;
  return {dx, dy, dz, static_cast<float>((dx * dx + dy * dy) + dz * dz)};
}

inline bool inside(float dd, float r2) { return dd < r2; }

// A first test in single precision settles almost every particle: one that lies well
// inside or well outside by the single-precision distance from the center rounded to
// single is inside or outside by the exact test too. The margins cover the center's
// rounding to single (at most 2^-24 of the coordinate on each axis, or half the smallest
// subnormal), the roundings of the single-precision arithmetic (a few units in 2^24 of the
// distance) and those of the exact test (a few units in 2^53, then the rounding to single
// next to r2). The center's rounding is bounded, not measured as fx - xc: an optimiser
// that folds that difference to zero (gcc 12 does, in some builds) would leave no margin.
struct quick_test {
  float fx, fy, fz;  // the center in single precision
  float sure_in;     // a squared single-precision distance below this is inside
  float sure_out;    // one above this is outside

  quick_test(double xc, double yc, double zc, float r2)
      : fx(static_cast<float>(xc)), fy(static_cast<float>(yc)), fz(static_cast<float>(zc)) {
    const double off = std::max({std::abs(xc), std::abs(yc), std::abs(zc)}) * 0x1p-24 +
                       static_cast<double>(std::numeric_limits<float>::denorm_min());
    const double r = std::sqrt(static_cast<double>(r2));
    const double reach = 2 * off + r * 0x1p-20;
    const double lower = r > reach ? (r - reach) * (r - reach) * (1 - 0x1p-18) : 0;
    const double upper = (r + reach) * (r + reach) * (1 + 0x1p-18);
    // Rounded towards the inside of the margins: below `lower`, above `upper` once single.
    sure_in = static_cast<float>(lower);
    if (static_cast<double>(sure_in) > lower) sure_in = std::nextafter(sure_in, 0.0f);
    sure_out = static_cast<float>(upper);
    if (static_cast<double>(sure_out) < upper)
      sure_out = std::nextafter(sure_out, std::numeric_limits<float>::infinity());
  }
};

// Writes to members[0, m) the offsets (from `first`) of the particles [first, first + count)
// of the arrays x, y, z that lie strictly inside the sphere of squared radius r2 around
// (xc, yc, zc), in file order, and returns m. `members` has room for `count`. A pass takes
// the active tier's kernel once.
using sphere_members_fn = std::int64_t (*)(const float* x, const float* y, const float* z, std::int64_t first,
                                           std::int64_t count, double xc, double yc, double zc, float r2,
                                           std::uint32_t* members);
sphere_members_fn sphere_members_kernel();

#if defined(HALOPROF_X86)

// Two particles (lanes 0 and 1 of the positions) in 128-bit vectors; the squared distances
// land in lanes 0 and 1 of the result.
inline __m128 squared_distance_sse2(__m128 px, __m128 py, __m128 pz, __m128d cx, __m128d cy, __m128d cz) {
  const __m128d dx = _mm_sub_pd(_mm_cvtps_pd(px), cx);
  const __m128d dy = _mm_sub_pd(_mm_cvtps_pd(py), cy);
  const __m128d dz = _mm_sub_pd(_mm_cvtps_pd(pz), cz);
  return _mm_cvtpd_ps(_mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz)));
}

// All ones in the lanes strictly inside; false for NaN (an ordered comparison).
inline __m128 inside_sse2(__m128 dd, __m128 r2) { return _mm_cmplt_ps(dd, r2); }

// The quick test's squared distances of four particles, in single precision from the center
// rounded to single (q): to be compared with quick_test's sure_in and sure_out.
inline __m128 quick_distance_sse2(__m128 px, __m128 py, __m128 pz, __m128 qx, __m128 qy, __m128 qz) {
  const __m128 ex = _mm_sub_ps(px, qx), ey = _mm_sub_ps(py, qy), ez = _mm_sub_ps(pz, qz);
  return _mm_add_ps(_mm_add_ps(_mm_mul_ps(ex, ex), _mm_mul_ps(ey, ey)), _mm_mul_ps(ez, ez));
}

// The same for eight particles.
__attribute__((target("avx2"))) inline __m256 quick_distance_avx2(__m256 px, __m256 py, __m256 pz, __m256 qx, __m256 qy,
                                                                  __m256 qz) {
  const __m256 ex = _mm256_sub_ps(px, qx), ey = _mm256_sub_ps(py, qy), ez = _mm256_sub_ps(pz, qz);
  return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(ex, ex), _mm256_mul_ps(ey, ey)), _mm256_mul_ps(ez, ez));
}

struct offsets4 {
  __m256d dx, dy, dz;  // from the center, in double
  __m128 dd;           // squared distances, rounded to single
};

// Four particles in 256-bit vectors of doubles.
__attribute__((target("avx2"))) inline offsets4 offsets_avx2(__m128 px, __m128 py, __m128 pz, __m256d cx, __m256d cy,
                                                             __m256d cz) {
  const __m256d dx = _mm256_sub_pd(_mm256_cvtps_pd(px), cx);
  const __m256d dy = _mm256_sub_pd(_mm256_cvtps_pd(py), cy);
  const __m256d dz = _mm256_sub_pd(_mm256_cvtps_pd(pz), cz);
  const __m128 dd = _mm256_cvtpd_ps(
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz)));
  return {dx, dy, dz, dd};
}

#endif

}  // namespace haloprof
