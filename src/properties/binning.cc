#include "properties/binning.h"

#include <bit>
#include <cmath>
#include <ostream>
#include <span>
#include <vector>

#include "core/format.h"
#include "core/geometry.h"
#include "core/kernels.h"
#include "core/threads.h"

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
  data.dprof[t.ind] += t.r;
  data.vrms[t.ind] += t.vv;
  data.vrad[t.ind] += t.vvr;
  data.vrad2[t.ind] += t.vvr * t.vvr;
  data.vtan[t.ind] += t.vvt;
  return true;
}

// Particles that lie inside rmax, gathered into arrays of their own (on the stack of the
// thread that works out their terms: it takes no memory that a limit could refuse).
struct gathered {
  static constexpr std::int64_t most = 256;
  float x[most], y[most], z[most], vx[most], vy[most], vz[most];
  std::int64_t n = 0;
  std::int64_t size() const { return n; }
};

// The shell terms of the gathered particles from `from` on, appended in order. Every tier
// gives the same bits.
using terms_fn = void (*)(const gathered& p, std::int64_t from, const run_state& data, std::vector<shell_terms>& out);

void shell_terms_scalar(const gathered& p, std::int64_t from, const run_state& data, std::vector<shell_terms>& out) {
  for (std::int64_t i = from; i < p.size(); ++i) {
    const offset o = offset_from(p.x[i], p.y[i], p.z[i], data.xc, data.yc, data.zc);
    // Softening keeps r at least 1e-4, so a particle on the center divides by no zero.
    const float r = std::sqrt(o.dd + 1e-8f);
    const double dvx = p.vx[i] - data.vxc;
    const double dvy = p.vy[i] - data.vyc;
    const double dvz = p.vz[i] - data.vzc;
    // Radial components in double, each kept in single and summed in single.
    const auto wvx = static_cast<float>(o.dx * dvx / r);
    const auto wvy = static_cast<float>(o.dy * dvy / r);
    const auto wvz = static_cast<float>(o.dz * dvz / r);
    const double vvr = (wvx + wvy) + wvz;
    const double vv = (dvx * dvx + dvy * dvy) + dvz * dvz;
    out.push_back({static_cast<int>(r / shell_width), r, vv, vvr, vv - vvr * vvr});
  }
}

#if defined(HALOPROF_X86)
// Four particles at a time where the processor has AVX2: lane by lane the same IEEE
// operations, in the same order, as the one-particle loop above, which takes the rest. The
// divisions, most of the cost, go four at a time.
__attribute__((target("avx2"))) void shell_terms_avx2(const gathered& p, std::int64_t from, const run_state& data,
                                                      std::vector<shell_terms>& out) {
  const __m256d cx = _mm256_set1_pd(data.xc), cy = _mm256_set1_pd(data.yc), cz = _mm256_set1_pd(data.zc);
  const __m256d vxc = _mm256_set1_pd(data.vxc), vyc = _mm256_set1_pd(data.vyc), vzc = _mm256_set1_pd(data.vzc);
  std::int64_t i = from;
  for (; i + 4 <= p.size(); i += 4) {
    const offsets4 o = offsets_avx2(_mm_loadu_ps(&p.x[i]), _mm_loadu_ps(&p.y[i]), _mm_loadu_ps(&p.z[i]), cx, cy, cz);
    const __m128 r = _mm_sqrt_ps(_mm_add_ps(o.dd, _mm_set1_ps(1e-8f)));
    const __m128 shell = _mm_div_ps(r, _mm_set1_ps(shell_width));
    const __m256d rd = _mm256_cvtps_pd(r);
    const __m256d dvx = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(&p.vx[i])), vxc);
    const __m256d dvy = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(&p.vy[i])), vyc);
    const __m256d dvz = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(&p.vz[i])), vzc);
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
    for (int k = 0; k < 4; ++k) out.push_back({shells[k], rs[k], vvs[k], vvrs[k], vvts[k]});
  }
  shell_terms_scalar(p, i, data, out);
}

const tiered<terms_fn> terms_kernels{{shell_terms_scalar, shell_terms_scalar, shell_terms_avx2}};
#else
const tiered<terms_fn> terms_kernels{{shell_terms_scalar, shell_terms_scalar, shell_terms_scalar}};
#endif

// The particles inside rmax, block by block in file order: `pick` works out what each
// contributes on data.threads threads, `use` takes it in order.
template <typename T, typename Pick, typename Use>
void over_members(const run_state& data, const Pick& pick, const Use& use) {
  constexpr std::int64_t block = std::int64_t{1} << 13;
  pick_in_order<T>(
      data.threads, data.nhalos, block,
      [&](std::int64_t first, std::int64_t count, std::vector<T>& out) {
        std::uint32_t members[block];
        const std::int64_t m = sphere_members(data.xpar.data(), data.ypar.data(), data.zpar.data(), first, count,
                                              data.xc, data.yc, data.zc, r2, members);
        pick(first, std::span<const std::uint32_t>(members, static_cast<std::size_t>(m)), out);
      },
      use);
}

}  // namespace

void bulk_velocity(run_state& data, std::ostream& out) {
  struct velocity {
    float vx, vy, vz;
  };
  std::int64_t nn = 0;
  double sums[3] = {0, 0, 0};
  over_members<velocity>(
      data,
      [&](std::int64_t first, std::span<const std::uint32_t> members, std::vector<velocity>& v) {
        for (const std::uint32_t k : members) v.push_back({data.vx[first + k], data.vy[first + k], data.vz[first + k]});
      },
      [&](std::int64_t, const std::vector<velocity>& v) {
        nn += static_cast<std::int64_t>(v.size());
        for (const velocity& p : v) {
          sums[0] += p.vx;
          sums[1] += p.vy;
          sums[2] += p.vz;
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
  const terms_fn terms = terms_kernels.get();
  bool in_range = true;
  over_members<shell_terms>(
      data,
      [&](std::int64_t first, std::span<const std::uint32_t> members, std::vector<shell_terms>& out) {
        gathered p;
        for (std::size_t m = 0; m < members.size(); m += gathered::most) {
          p.n = std::min<std::int64_t>(gathered::most, static_cast<std::int64_t>(members.size() - m));
          for (std::int64_t k = 0; k < p.n; ++k) {
            const std::int64_t i = first + members[m + static_cast<std::size_t>(k)];
            p.x[k] = data.xpar[i];
            p.y[k] = data.ypar[i];
            p.z[k] = data.zpar[i];
            p.vx[k] = data.vx[i];
            p.vy[k] = data.vy[i];
            p.vz[k] = data.vz[i];
          }
          terms(p, 0, data, out);
        }
      },
      [&](std::int64_t, const std::vector<shell_terms>& out) {
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
