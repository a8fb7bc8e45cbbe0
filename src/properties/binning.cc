#include "properties/binning.h"

#include <bit>
#include <cmath>
#include <ostream>
#include <vector>

#include "core/format.h"
#include "core/geometry.h"
#include "core/kernels.h"
#include "core/threads.h"

#if defined(HALOPROF_X86)
#include <immintrin.h>
#endif

namespace haloprof {
namespace {

constexpr float r2 = rmax * rmax;  // 0.010000001 in single precision

// One particle's share of its shell's sums.
struct shell_terms {
  int ind;              // its shell
  float r;              // softened distance from the center
  double vv, vvr, vvt;  // squared speed, radial velocity, tangential part of vv
};

// Adds one particle's terms to its shell; false when the index leaves 0..ntab.
bool add_to_shell(run_state& data, const shell_terms& t) {
  if (t.ind < 0 || t.ind > run_state::ntab) return false;
  ++data.nprof[t.ind];
  data.dprof[t.ind] += static_cast<double>(t.r);
  data.vrms[t.ind] += t.vv;
  data.vrad[t.ind] += t.vvr;
  data.vrad2[t.ind] += t.vvr * t.vvr;
  data.vtan[t.ind] += t.vvt;
  return true;
}

// The velocity of a particle inside rmax, for the bulk velocity.
struct velocity {
  float vx, vy, vz;
};

// The kernels append, in file order, what the particles [first, first + count) inside rmax
// contribute: their velocities, or their shell terms. Every tier gives the same bits.
using velocities_fn = void (*)(const run_state& data, std::int64_t first, std::int64_t count,
                               std::vector<velocity>& out);
using terms_fn = void (*)(const run_state& data, std::int64_t first, std::int64_t count, std::vector<shell_terms>& out);

void velocities_scalar(const run_state& data, std::int64_t first, std::int64_t count, std::vector<velocity>& out) {
  for (std::int64_t i = first; i < first + count; ++i)
    if (inside(offset_from(data.xpar[i], data.ypar[i], data.zpar[i], data.xc, data.yc, data.zc).dd, r2))
      out.push_back({data.vx[i], data.vy[i], data.vz[i]});
}

void shell_terms_scalar(const run_state& data, std::int64_t first, std::int64_t count, std::vector<shell_terms>& out) {
  for (std::int64_t i = first; i < first + count; ++i) {
    const offset o = offset_from(data.xpar[i], data.ypar[i], data.zpar[i], data.xc, data.yc, data.zc);
    if (!inside(o.dd, r2)) continue;
    // Softening keeps r at least 1e-4, so a particle on the center divides by no zero.
    const float r = std::sqrt(o.dd + 1e-8f);
    const double dvx = static_cast<double>(data.vx[i]) - data.vxc;
    const double dvy = static_cast<double>(data.vy[i]) - data.vyc;
    const double dvz = static_cast<double>(data.vz[i]) - data.vzc;
    // Radial components in double, each kept in single and summed in single.
    const auto wvx = static_cast<float>(o.dx * dvx / static_cast<double>(r));
    const auto wvy = static_cast<float>(o.dy * dvy / static_cast<double>(r));
    const auto wvz = static_cast<float>(o.dz * dvz / static_cast<double>(r));
    const double vvr = (wvx + wvy) + wvz;
    const double vv = (dvx * dvx + dvy * dvy) + dvz * dvz;
    out.push_back({static_cast<int>(r / shell_width), r, vv, vvr, vv - vvr * vvr});
  }
}

#if defined(HALOPROF_X86)
// Four particles at a time where the processor has AVX2: lane by lane the same IEEE
// operations, in the same order, as the one-particle loops above, which take the rest.

__attribute__((target("avx2"))) inline offsets4 offsets_at(const run_state& data, std::int64_t i) {
  return offsets_avx2(_mm_loadu_ps(data.xpar.data() + i), _mm_loadu_ps(data.ypar.data() + i),
                      _mm_loadu_ps(data.zpar.data() + i), _mm256_set1_pd(data.xc), _mm256_set1_pd(data.yc),
                      _mm256_set1_pd(data.zc));
}

__attribute__((target("avx2"))) void velocities_avx2(const run_state& data, std::int64_t first, std::int64_t count,
                                                     std::vector<velocity>& out) {
  std::int64_t i = first;
  for (; i + 4 <= first + count; i += 4) {
    unsigned members = static_cast<unsigned>(_mm_movemask_ps(inside_sse2(offsets_at(data, i).dd, _mm_set1_ps(r2))));
    for (; members != 0; members &= members - 1) {
      const std::int64_t k = i + std::countr_zero(members);
      out.push_back({data.vx[k], data.vy[k], data.vz[k]});
    }
  }
  velocities_scalar(data, i, first + count - i, out);
}

// The divisions, most of the cost, go four at a time.
__attribute__((target("avx2"))) void shell_terms_avx2(const run_state& data, std::int64_t first, std::int64_t count,
                                                      std::vector<shell_terms>& out) {
  const __m256d vxc = _mm256_set1_pd(data.vxc), vyc = _mm256_set1_pd(data.vyc), vzc = _mm256_set1_pd(data.vzc);
  std::int64_t i = first;
  for (; i + 4 <= first + count; i += 4) {
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
    alignas(16) float rs[4];
    alignas(16) std::int32_t shells[4];
    alignas(32) double vvs[4], vvrs[4], vvts[4];
    _mm_store_ps(rs, r);
    _mm_store_si128(reinterpret_cast<__m128i*>(shells), _mm_cvttps_epi32(shell));
    _mm256_store_pd(vvs, vv);
    _mm256_store_pd(vvrs, vvr);
    _mm256_store_pd(vvts, vvt);
    for (; members != 0; members &= members - 1) {
      const int k = std::countr_zero(members);
      out.push_back({shells[k], rs[k], vvs[k], vvrs[k], vvts[k]});
    }
  }
  shell_terms_scalar(data, i, first + count - i, out);
}

#endif

const tiered<velocities_fn> velocities_kernels HALOPROF_TIERS(velocities_scalar, velocities_scalar, velocities_avx2);
const tiered<terms_fn> terms_kernels HALOPROF_TIERS(shell_terms_scalar, shell_terms_scalar, shell_terms_avx2);

// The particles inside rmax, block by block in file order: what they contribute is worked
// out on data.threads threads by `kernel`, and `use` takes it in order.
template <typename T, typename Use>
void over_members(const run_state& data, void (*kernel)(const run_state&, std::int64_t, std::int64_t, std::vector<T>&),
                  const Use& use) {
  pick_in_order<T>(
      data.threads, data.nhalos, std::int64_t{1} << 13,
      [&](std::int64_t first, std::int64_t count, std::vector<T>& out) { kernel(data, first, count, out); }, use);
}

}  // namespace

void bulk_velocity(run_state& data, std::ostream& out) {
  std::int64_t nn = 0;
  double sums[3] = {0, 0, 0};
  over_members<velocity>(data, velocities_kernels.get(), [&](std::int64_t, const std::vector<velocity>& v) {
    nn += static_cast<std::int64_t>(v.size());
    for (const velocity& p : v) {
      sums[0] += static_cast<double>(p.vx);
      sums[1] += static_cast<double>(p.vy);
      sums[2] += static_cast<double>(p.vz);
    }
  });
  data.vxc = sums[0];
  data.vyc = sums[1];
  data.vzc = sums[2];
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
}

stage_status bin_shells(run_state& data) {
  data.dprof.fill(0);
  data.vrad.fill(0);
  data.vrad2.fill(0);
  data.vtan.fill(0);
  data.vrms.fill(0);
  data.nprof.fill(0);
  bool in_range = true;
  over_members<shell_terms>(data, terms_kernels.get(), [&](std::int64_t, const std::vector<shell_terms>& out) {
    for (const shell_terms& t : out) in_range = in_range && add_to_shell(data, t);
  });
  // The check comes before any table update in file order; a later particle cannot change
  // the outcome, since the run stops.
  if (!in_range) return failure{exit_status::radius, "error: radius is to big"};
  return {};
}

stage_status bin_particles(run_state& data, std::ostream& out) {
  bulk_velocity(data, out);
  return bin_shells(data);
}

}  // namespace haloprof
