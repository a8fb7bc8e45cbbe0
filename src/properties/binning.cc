#include "properties/binning.h"

#include <bit>
#include <cmath>
#include <ostream>

#include "center/findcenter.h"
#include "core/format.h"
#include "core/vectors.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define HALOPROF_AVX2 1
#endif

namespace haloprof {
namespace {

constexpr float r2 = rmax * rmax;  // 0.010000001 in single precision

// One particle's share of its shell's sums.
struct shell_terms {
  float r;              // softened distance from the center
  double vv, vvr, vvt;  // squared speed, radial velocity, tangential part of vv
};

// Adds one particle's terms to shell ind; false when the index leaves 0..ntab.
bool add_to_shell(run_state& data, int ind, const shell_terms& t) {
  if (ind < 0 || ind > run_state::ntab) return false;
  ++data.nprof[ind];
  data.dprof[ind] += t.r;
  data.vrms[ind] += t.vv;
  data.vrad[ind] += t.vvr;
  data.vrad2[ind] += t.vvr * t.vvr;
  data.vtan[ind] += t.vvt;
  return true;
}

#if defined(HALOPROF_AVX2)
// Four particles at a time where the processor has AVX2: lane by lane the same IEEE
// operations, in the same order, as the one-particle loops below.

struct four_offsets {
  __m256d dx, dy, dz;  // from the center, in double
  __m128 dd;           // squared distance, rounded to single
  __m128 in;           // all ones where the particle lies strictly inside rmax
};

__attribute__((target("avx2"))) inline four_offsets offsets(const run_state& data, std::int64_t i) {
  const __m256d dx = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(data.xpar.data() + i)), _mm256_set1_pd(data.xc));
  const __m256d dy = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(data.ypar.data() + i)), _mm256_set1_pd(data.yc));
  const __m256d dz = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(data.zpar.data() + i)), _mm256_set1_pd(data.zc));
  const __m128 dd = _mm256_cvtpd_ps(
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz)));
  return {dx, dy, dz, dd, _mm_cmplt_ps(dd, _mm_set1_ps(r2))};  // false for NaN
}

// The velocity sums over the particles inside rmax; returns how many particles it took
// (a multiple of 4). Outside particles add +0.0, which changes no sum that starts at +0.0.
__attribute__((target("avx2"))) std::int64_t bulk_sums_avx2(const run_state& data, std::int64_t& nn,
                                                            double (&sums)[3]) {
  __m256d total = _mm256_setr_pd(sums[0], sums[1], sums[2], 0);
  __m256i count = _mm256_setzero_si256();
  std::int64_t i = 0;
  for (; i + 4 <= data.nhalos; i += 4) {
    const __m128 in = offsets(data, i).in;
    count = _mm256_sub_epi64(count, _mm256_cvtepi32_epi64(_mm_castps_si128(in)));
    // Rows vx, vy, vz of the four particles, turned into one column per particle.
    __m128 a = _mm_and_ps(_mm_loadu_ps(data.vx.data() + i), in);
    __m128 b = _mm_and_ps(_mm_loadu_ps(data.vy.data() + i), in);
    __m128 c = _mm_and_ps(_mm_loadu_ps(data.vz.data() + i), in);
    __m128 d = _mm_setzero_ps();
    _MM_TRANSPOSE4_PS(a, b, c, d);
    total = _mm256_add_pd(total, _mm256_cvtps_pd(a));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(b));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(c));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(d));
  }
  alignas(32) double t[4];
  _mm256_store_pd(t, total);
  for (int k = 0; k < 3; ++k) sums[k] = t[k];
  alignas(32) std::int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), count);
  nn += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  return i;
}

// The shell terms of the particles inside rmax, added to the profile in file order;
// returns how many particles it took (a multiple of 4), or -1 when a shell index leaves
// 0..ntab. The divisions, most of the cost, go four at a time.
__attribute__((target("avx2"))) std::int64_t bin_avx2(run_state& data) {
  const __m256d vxc = _mm256_set1_pd(data.vxc), vyc = _mm256_set1_pd(data.vyc), vzc = _mm256_set1_pd(data.vzc);
  std::int64_t i = 0;
  for (; i + 4 <= data.nhalos; i += 4) {
    const four_offsets o = offsets(data, i);
    unsigned inside = static_cast<unsigned>(_mm_movemask_ps(o.in));
    if (inside == 0) continue;
    const __m128 r = _mm_sqrt_ps(_mm_add_ps(o.dd, _mm_set1_ps(1e-8f)));
    const __m128 shell = _mm_div_ps(r, _mm_set1_ps(shell_width));
    const __m256d rd = _mm256_cvtps_pd(r);
    const __m256d dvx = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(data.vx.data() + i)), vxc);
    const __m256d dvy = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(data.vy.data() + i)), vyc);
    const __m256d dvz = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(data.vz.data() + i)), vzc);
    const __m128 wvx = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_mul_pd(o.dx, dvx), rd));
    const __m128 wvy = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_mul_pd(o.dy, dvy), rd));
    const __m128 wvz = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_mul_pd(o.dz, dvz), rd));
    const __m256d vvr = _mm256_cvtps_pd(_mm_add_ps(_mm_add_ps(wvx, wvy), wvz));
    const __m256d vv =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dvx, dvx), _mm256_mul_pd(dvy, dvy)), _mm256_mul_pd(dvz, dvz));
    const __m256d vvt = _mm256_sub_pd(vv, _mm256_mul_pd(vvr, vvr));
    alignas(16) float rs[4], shells[4];
    alignas(32) double vvs[4], vvrs[4], vvts[4];
    _mm_store_ps(rs, r);
    _mm_store_ps(shells, shell);
    _mm256_store_pd(vvs, vv);
    _mm256_store_pd(vvrs, vvr);
    _mm256_store_pd(vvts, vvt);
    for (; inside != 0; inside &= inside - 1) {
      const int k = std::countr_zero(inside);
      if (!add_to_shell(data, static_cast<int>(shells[k]), {rs[k], vvs[k], vvrs[k], vvts[k]})) return -1;
    }
  }
  return i;
}
#endif

}  // namespace

stage_status bin_particles(run_state& data, std::ostream& out) {
  const failure too_far{exit_status::radius, "error: radius is to big"};
#if defined(HALOPROF_AVX2)
  const bool avx2 = has_avx2() && vector_width >= 8;
#else
  const bool avx2 = false;
#endif

  std::int64_t nn = 0;
  double sums[3] = {0, 0, 0};
  std::int64_t i = 0;
#if defined(HALOPROF_AVX2)
  if (avx2) i = bulk_sums_avx2(data, nn, sums);
#endif
  data.vxc = sums[0];
  data.vyc = sums[1];
  data.vzc = sums[2];
  for (; i < data.nhalos; ++i) {
    if (!inside(data, i, r2)) continue;
    ++nn;
    data.vxc += data.vx[i];
    data.vyc += data.vy[i];
    data.vzc += data.vz[i];
  }
  if (nn != 0) {
    data.vxc /= static_cast<double>(nn);
    data.vyc /= static_cast<double>(nn);
    data.vzc /= static_cast<double>(nn);
  }
  out << record()
             .text(" particles= ")
             .i(nn, 8)
             .text(" Velocity Center= ")
             .f(data.vxc, 9, 3)
             .f(data.vyc, 9, 3)
             .f(data.vzc, 9, 3)
             .str();

  data.dprof.fill(0);
  data.vrad.fill(0);
  data.vrad2.fill(0);
  data.vtan.fill(0);
  data.vrms.fill(0);
  data.nprof.fill(0);

  i = 0;
#if defined(HALOPROF_AVX2)
  if (avx2) {
    i = bin_avx2(data);
    if (i < 0) return too_far;
  }
#endif
  for (; i < data.nhalos; ++i) {
    const double dx = data.xpar[i] - data.xc;
    const double dy = data.ypar[i] - data.yc;
    const double dz = data.zpar[i] - data.zc;
    const auto dd = static_cast<float>((dx * dx + dy * dy) + dz * dz);
    if (!(dd < r2)) continue;
    // Softening keeps r at least 1e-4, so a particle on the center divides by no zero.
    const float r = std::sqrt(dd + 1e-8f);
    const auto ind = static_cast<int>(r / shell_width);
    const double dvx = data.vx[i] - data.vxc;
    const double dvy = data.vy[i] - data.vyc;
    const double dvz = data.vz[i] - data.vzc;
    // Radial components in double, each kept in single and summed in single.
    const auto wvx = static_cast<float>(dx * dvx / r);
    const auto wvy = static_cast<float>(dy * dvy / r);
    const auto wvz = static_cast<float>(dz * dvz / r);
    const double vvr = (wvx + wvy) + wvz;
    const double vv = (dvx * dvx + dvy * dvy) + dvz * dvz;
    if (!add_to_shell(data, ind, {r, vv, vvr, vv - vvr * vvr})) return too_far;
  }
  return {};
}

}  // namespace haloprof
