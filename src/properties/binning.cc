#include "properties/binning.h"

#include <bit>
#include <cmath>
#include <ostream>

#include "core/format.h"
#include "core/geometry.h"
#include "core/kernels.h"

namespace haloprof {
namespace {

constexpr float r2 = rmax * rmax;  // 0.010000001 in single precision

// The velocity sums over the particles strictly inside rmax, in file order: the count and
// the three sums in double of the widened velocities.
struct bulk_totals {
  std::int64_t nn = 0;
  double sums[3] = {0, 0, 0};
};

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

// The kernels take the particles from `first` on and add them to what is there; every
// tier gives the same bits.
using bulk_fn = void (*)(const run_state& data, std::int64_t first, bulk_totals& t);
using bin_fn = bool (*)(run_state& data, std::int64_t first);  // false: a shell index out of range

void bulk_sums_scalar(const run_state& data, std::int64_t first, bulk_totals& t) {
  for (std::int64_t i = first; i < data.nhalos; ++i) {
    if (!inside(offset_from(data.xpar[i], data.ypar[i], data.zpar[i], data.xc, data.yc, data.zc).dd, r2)) continue;
    ++t.nn;
    t.sums[0] += data.vx[i];
    t.sums[1] += data.vy[i];
    t.sums[2] += data.vz[i];
  }
}

bool bin_scalar(run_state& data, std::int64_t first) {
  for (std::int64_t i = first; i < data.nhalos; ++i) {
    const offset o = offset_from(data.xpar[i], data.ypar[i], data.zpar[i], data.xc, data.yc, data.zc);
    if (!inside(o.dd, r2)) continue;
    // Softening keeps r at least 1e-4, so a particle on the center divides by no zero.
    const float r = std::sqrt(o.dd + 1e-8f);
    const auto ind = static_cast<int>(r / shell_width);
    const double dvx = data.vx[i] - data.vxc;
    const double dvy = data.vy[i] - data.vyc;
    const double dvz = data.vz[i] - data.vzc;
    // Radial components in double, each kept in single and summed in single.
    const auto wvx = static_cast<float>(o.dx * dvx / r);
    const auto wvy = static_cast<float>(o.dy * dvy / r);
    const auto wvz = static_cast<float>(o.dz * dvz / r);
    const double vvr = (wvx + wvy) + wvz;
    const double vv = (dvx * dvx + dvy * dvy) + dvz * dvz;
    if (!add_to_shell(data, ind, {r, vv, vvr, vv - vvr * vvr})) return false;
  }
  return true;
}

#if defined(HALOPROF_X86)
// Four particles at a time where the processor has AVX2: lane by lane the same IEEE
// operations, in the same order, as the one-particle loops above, which take the rest.

__attribute__((target("avx2"))) inline offsets4 offsets_at(const run_state& data, std::int64_t i) {
  return offsets_avx2(_mm_loadu_ps(data.xpar.data() + i), _mm_loadu_ps(data.ypar.data() + i),
                      _mm_loadu_ps(data.zpar.data() + i), _mm256_set1_pd(data.xc), _mm256_set1_pd(data.yc),
                      _mm256_set1_pd(data.zc));
}

// Outside particles add +0.0, which changes no sum that starts at +0.0.
__attribute__((target("avx2"))) void bulk_sums_avx2(const run_state& data, std::int64_t first, bulk_totals& t) {
  __m256d total = _mm256_setr_pd(t.sums[0], t.sums[1], t.sums[2], 0);
  __m256i count = _mm256_setzero_si256();
  std::int64_t i = first;
  for (; i + 4 <= data.nhalos; i += 4) {
    const __m128 in = inside_sse2(offsets_at(data, i).dd, _mm_set1_ps(r2));
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
  alignas(32) double sums[4];
  _mm256_store_pd(sums, total);
  for (int k = 0; k < 3; ++k) t.sums[k] = sums[k];
  alignas(32) std::int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), count);
  t.nn += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  bulk_sums_scalar(data, i, t);
}

// The shell terms of four particles at once, added to the profile in file order. The
// divisions, most of the cost, go four at a time.
__attribute__((target("avx2"))) bool bin_avx2(run_state& data, std::int64_t first) {
  const __m256d vxc = _mm256_set1_pd(data.vxc), vyc = _mm256_set1_pd(data.vyc), vzc = _mm256_set1_pd(data.vzc);
  std::int64_t i = first;
  for (; i + 4 <= data.nhalos; i += 4) {
    const offsets4 o = offsets_at(data, i);
    unsigned members = static_cast<unsigned>(_mm_movemask_ps(inside_sse2(o.dd, _mm_set1_ps(r2))));
    if (members == 0) continue;
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
    for (; members != 0; members &= members - 1) {
      const int k = std::countr_zero(members);
      if (!add_to_shell(data, static_cast<int>(shells[k]), {rs[k], vvs[k], vvrs[k], vvts[k]})) return false;
    }
  }
  return bin_scalar(data, i);
}

const tiered<bulk_fn> bulk_kernels{{bulk_sums_scalar, bulk_sums_scalar, bulk_sums_avx2}};
const tiered<bin_fn> bin_kernels{{bin_scalar, bin_scalar, bin_avx2}};
#else
const tiered<bulk_fn> bulk_kernels{{bulk_sums_scalar, bulk_sums_scalar, bulk_sums_scalar}};
const tiered<bin_fn> bin_kernels{{bin_scalar, bin_scalar, bin_scalar}};
#endif

}  // namespace

void bulk_velocity(run_state& data, std::ostream& out) {
  bulk_totals t;
  bulk_kernels.get()(data, 0, t);
  data.vxc = t.sums[0];
  data.vyc = t.sums[1];
  data.vzc = t.sums[2];
  if (t.nn != 0) {
    data.vxc /= static_cast<double>(t.nn);
    data.vyc /= static_cast<double>(t.nn);
    data.vzc /= static_cast<double>(t.nn);
  }
  out << record()
             .text(" particles= ")
             .i(t.nn, 8)
             .text(" Velocity Center= ")
             .f(data.vxc, 9, 3)
             .f(data.vyc, 9, 3)
             .f(data.vzc, 9, 3)
             .str();
}

stage_status bin_shells(run_state& data) {
  data.dprof.fill(0);
  data.vrad.fill(0);
  data.vrad2.fill(0);
  data.vtan.fill(0);
  data.vrms.fill(0);
  data.nprof.fill(0);
  if (!bin_kernels.get()(data, 0)) return failure{exit_status::radius, "error: radius is to big"};
  return {};
}

stage_status bin_particles(run_state& data, std::ostream& out) {
  bulk_velocity(data, out);
  return bin_shells(data);
}

}  // namespace haloprof
