#include "center/findcenter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
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

// v where the mask is all ones, +0.0 where it is zero.
inline float masked(float v, std::uint32_t mask) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) & mask);
}

void print_center(std::ostream& out, record& line, const run_state& data, float r2) {
  out << line.f(data.xc, 9, 5).f(data.yc, 9, 5).f(data.zc, 9, 5).text(" Search Radius= ").f(r2, 9, 5).str();
}

}  // namespace

float shrink_r2(float r2) {
  // The factor shrinks the squared radius, so the radius itself shrinks by sqrt(0.97).
  return std::sqrt(r2) > 0.0015f ? r2 * 0.97f : r2;
}

namespace {

// Adds the particles held in the arrays x, y, z, dens [0, m) to t, in file order. Every
// tier below gives the same bits. A particle outside the sphere gets terms of +0.0, which
// change no bit of a sum that starts at +0.0 (such a sum never becomes -0.0), so every
// particle is added and no branch is taken on membership.
using accumulate_fn = void (*)(const float* x, const float* y, const float* z, const float* dens, std::int64_t m,
                               double xc, double yc, double zc, float r2, sphere_totals& t);

void accumulate_scalar(const float* x, const float* y, const float* z, const float* dens, std::int64_t m, double xc,
                       double yc, double zc, float r2, sphere_totals& t) {
  // Local sums stay in registers; through the reference they would go to memory.
  std::int64_t count = 0;
  double s = t.s, sx = t.sx, sy = t.sy, sz = t.sz;
  for (std::int64_t k = 0; k < m; ++k) {
    const bool in = inside(offset_from(x[k], y[k], z[k], xc, yc, zc).dd, r2);
    count += in;
    const std::uint32_t mask = in ? ~std::uint32_t{0} : 0;
    s += static_cast<double>(masked(dens[k], mask));
    sx += static_cast<double>(masked(x[k] * dens[k], mask));
    sy += static_cast<double>(masked(y[k] * dens[k], mask));
    sz += static_cast<double>(masked(z[k] * dens[k], mask));
  }
  t.count += count;
  t.s = s;
  t.sx = sx;
  t.sy = sy;
  t.sz = sz;
}

#if defined(HALOPROF_X86)

// Four particles at a time: the membership tests and the products in vector registers.
// The sums run in two pairs, (s, sx) and (sy, sz), each pair one vector addition per
// particle: lane by lane the same roundings as four scalar chains. Counts in 32-bit lanes:
// callers hand over at most 2^30 particles at once.
void accumulate_sse2(const float* x, const float* y, const float* z, const float* dens, std::int64_t m, double xc,
                     double yc, double zc, float r2, sphere_totals& t) {
  const __m128d cx = _mm_set1_pd(xc), cy = _mm_set1_pd(yc), cz = _mm_set1_pd(zc);
  const __m128 radius2 = _mm_set1_ps(r2);
  __m128i members = _mm_setzero_si128();
  __m128d sums_low = _mm_set_pd(t.sx, t.s), sums_high = _mm_set_pd(t.sz, t.sy);
  // Only groups of four with a particle between the margins take the exact test.
  const quick_test q(xc, yc, zc, r2);
  const __m128 qx = _mm_set1_ps(q.fx), qy = _mm_set1_ps(q.fy), qz = _mm_set1_ps(q.fz);
  const __m128 in_below = _mm_set1_ps(q.sure_in), out_above = _mm_set1_ps(q.sure_out);
  std::int64_t k = 0;
  for (; k + 4 <= m; k += 4) {
    const __m128 px = _mm_loadu_ps(x + k), py = _mm_loadu_ps(y + k), pz = _mm_loadu_ps(z + k);
    const __m128 d = _mm_loadu_ps(dens + k);
    const __m128 near = quick_distance_sse2(px, py, pz, qx, qy, qz);
    __m128 in = _mm_cmplt_ps(near, in_below);
    if (_mm_movemask_ps(_mm_or_ps(in, _mm_cmpgt_ps(near, out_above))) != 0xf) {
      const __m128 dd = _mm_movelh_ps(
          squared_distance_sse2(px, py, pz, cx, cy, cz),
          squared_distance_sse2(_mm_movehl_ps(px, px), _mm_movehl_ps(py, py), _mm_movehl_ps(pz, pz), cx, cy, cz));
      in = inside_sse2(dd, radius2);
    }
    members = _mm_sub_epi32(members, _mm_castps_si128(in));
    // Rows w, wx, wy, wz of the four particles, turned into one column per particle.
    __m128 w = _mm_and_ps(d, in), wx = _mm_and_ps(_mm_mul_ps(px, d), in);
    __m128 wy = _mm_and_ps(_mm_mul_ps(py, d), in), wz = _mm_and_ps(_mm_mul_ps(pz, d), in);
    _MM_TRANSPOSE4_PS(w, wx, wy, wz);
    for (const __m128 terms : {w, wx, wy, wz}) {
      sums_low = _mm_add_pd(sums_low, _mm_cvtps_pd(terms));
      sums_high = _mm_add_pd(sums_high, _mm_cvtps_pd(_mm_movehl_ps(terms, terms)));
    }
  }
  alignas(16) double pairs[4];
  _mm_store_pd(pairs, sums_low);
  _mm_store_pd(pairs + 2, sums_high);
  t.set_sums(pairs);
  alignas(16) std::int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), members);
  t.count += std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  accumulate_scalar(x + k, y + k, z + k, dens + k, m - k, xc, yc, zc, r2, t);
}

// Eight particles at a time: the four sums (s, sx, sy, sz) in one vector, one vector
// addition per particle, lane by lane the same roundings as four scalar chains.
__attribute__((target("avx2"))) void accumulate_avx2(const float* x, const float* y, const float* z, const float* dens,
                                                     std::int64_t m, double xc, double yc, double zc, float r2,
                                                     sphere_totals& t) {
  const quick_test q(xc, yc, zc, r2);
  const __m256 qx = _mm256_set1_ps(q.fx), qy = _mm256_set1_ps(q.fy), qz = _mm256_set1_ps(q.fz);
  const __m256 in_below = _mm256_set1_ps(q.sure_in), out_above = _mm256_set1_ps(q.sure_out);
  const __m256d cx = _mm256_set1_pd(xc), cy = _mm256_set1_pd(yc), cz = _mm256_set1_pd(zc);
  const __m256 radius2 = _mm256_set1_ps(r2);
  __m256i members = _mm256_setzero_si256();
  __m256d total = _mm256_setr_pd(t.s, t.sx, t.sy, t.sz);
  std::int64_t k = 0;
  for (; k + 8 <= m; k += 8) {
    const __m256 px = _mm256_loadu_ps(x + k), py = _mm256_loadu_ps(y + k), pz = _mm256_loadu_ps(z + k);
    const __m256 d = _mm256_loadu_ps(dens + k);
    const __m256 near = quick_distance_avx2(px, py, pz, qx, qy, qz);
    __m256 in = _mm256_cmp_ps(near, in_below, _CMP_LT_OQ);
    if (_mm256_movemask_ps(_mm256_or_ps(in, _mm256_cmp_ps(near, out_above, _CMP_GT_OQ))) != 0xff) {
      const __m128 low =
          offsets_avx2(_mm256_castps256_ps128(px), _mm256_castps256_ps128(py), _mm256_castps256_ps128(pz), cx, cy, cz)
              .dd;
      const __m128 high = offsets_avx2(_mm256_extractf128_ps(px, 1), _mm256_extractf128_ps(py, 1),
                                       _mm256_extractf128_ps(pz, 1), cx, cy, cz)
                              .dd;
      in = _mm256_insertf128_ps(_mm256_castps128_ps256(inside_sse2(low, _mm256_castps256_ps128(radius2))),
                                inside_sse2(high, _mm256_castps256_ps128(radius2)), 1);
    }
    members = _mm256_sub_epi32(members, _mm256_castps_si256(in));
    // Rows w, wx, wy, wz of the eight particles, turned into one column per particle: the
    // low halves hold particles 0 to 3, the high halves 4 to 7.
    const __m256 w = _mm256_and_ps(d, in), wx = _mm256_and_ps(_mm256_mul_ps(px, d), in);
    const __m256 wy = _mm256_and_ps(_mm256_mul_ps(py, d), in), wz = _mm256_and_ps(_mm256_mul_ps(pz, d), in);
    const __m256 t0 = _mm256_unpacklo_ps(w, wx), t1 = _mm256_unpackhi_ps(w, wx);
    const __m256 t2 = _mm256_unpacklo_ps(wy, wz), t3 = _mm256_unpackhi_ps(wy, wz);
    const __m256 c0 = _mm256_shuffle_ps(t0, t2, 0x44), c1 = _mm256_shuffle_ps(t0, t2, 0xee);
    const __m256 c2 = _mm256_shuffle_ps(t1, t3, 0x44), c3 = _mm256_shuffle_ps(t1, t3, 0xee);
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_castps256_ps128(c0)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_castps256_ps128(c1)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_castps256_ps128(c2)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_castps256_ps128(c3)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_extractf128_ps(c0, 1)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_extractf128_ps(c1, 1)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_extractf128_ps(c2, 1)));
    total = _mm256_add_pd(total, _mm256_cvtps_pd(_mm256_extractf128_ps(c3, 1)));
  }
  alignas(32) double sums[4];
  _mm256_store_pd(sums, total);
  t.set_sums(sums);
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), members);
  for (const std::int32_t n : lanes) t.count += n;
  accumulate_scalar(x + k, y + k, z + k, dens + k, m - k, xc, yc, zc, r2, t);
}

#endif

const tiered<accumulate_fn> accumulate_kernels HALOPROF_TIERS(accumulate_scalar, accumulate_sse2, accumulate_avx2);

// Picks the particles strictly inside the sphere of squared radius r2 around (xc, yc, zc)
// on data.threads threads and hands them to `use` in file order.
template <typename Use>
void members_in_order(const run_state& data, double xc, double yc, double zc, float r2, const Use& use) {
  constexpr std::int64_t block = std::int64_t{1} << 15;
  const sphere_members_fn members_of = sphere_members_kernel();
  pick_in_order<std::uint32_t>(
      data.threads, data.nhalos, block,
      [&](std::int64_t first, std::int64_t count, std::vector<std::uint32_t>& picked) {
        // A block's members, on the heap: 128 KiB is too much for a small stack.
        thread_local std::unique_ptr<std::uint32_t[]> members;
        if (!members) members.reset(new std::uint32_t[block]);
        const std::int64_t m = members_of(data.xpar.data(), data.ypar.data(), data.zpar.data(), first, count, xc, yc,
                                          zc, r2, members.get());
        picked.insert(picked.end(), members.get(), members.get() + m);  // within the room it has
      },
      use);
}

// The particles that may lie in the spheres of the coming iterations: those within a
// reach of an anchor point, in file order. Any other particle is outside every sphere that
// fits within the reach, so passes over the list give the sums of passes over all.
class candidate_list {
 public:
  // Whether the sphere of squared radius r2 around the current center fits within the
  // reach, with room to spare for the rounding of the membership test (well below 1e-6).
  bool covers(const run_state& data, float r2) const {
    if (!valid_) return false;
    const double d = std::sqrt((data.xc - ax_) * (data.xc - ax_) + (data.yc - ay_) * (data.yc - ay_) +
                               (data.zc - az_) * (data.zc - az_));
    return d + std::sqrt(static_cast<double>(r2)) * (1 + 1e-6) <= reach_ * (1 - 1e-6);
  }

  // Collects the particles within 1.1 times the radius around the current center. Gives up
  // (for the rest of the run) when the list would not save much time or would cost too
  // much memory.
  void collect(const run_state& data, float r2) {
    valid_ = false;
    if (abandoned_) return;
    if (data.nhalos > std::int64_t{0xffffffff}) {
      abandoned_ = true;
      return;
    }
    ax_ = data.xc;
    ay_ = data.yc;
    az_ = data.zc;
    reach_ = 1.1 * std::sqrt(static_cast<double>(r2));
    const auto reach2 = static_cast<float>(reach_ * reach_);
    // An index and a copy of the position and density: 20 bytes a candidate, 48 MiB at most.
    constexpr std::int64_t most = (std::int64_t{48} << 20) / 20;
    const std::int64_t limit = std::min(most, data.nhalos / 2);
    for (std::vector<float>* a : {&x_, &y_, &z_, &dens_}) a->clear();
    index_.clear();
    try {
      gather(data, reach2, limit);
    } catch (const std::bad_alloc&) {  // no room for the list: passes over every particle
      abandoned_ = true;
    }
    if (abandoned_) {
      for (std::vector<float>* a : {&x_, &y_, &z_, &dens_}) *a = {};
      index_ = {};
    }
    valid_ = !abandoned_;
  }

  // The sums over the candidates, in file order.
  sphere_totals sums(const run_state& data, float r2) const {
    sphere_totals t;
    accumulate_kernels.get()(x_.data(), y_.data(), z_.data(), dens_.data(), static_cast<std::int64_t>(x_.size()),
                             data.xc, data.yc, data.zc, r2, t);
    return t;
  }

  const std::vector<std::uint32_t>& index() const { return index_; }

 private:
  void gather(const run_state& data, float reach2, std::int64_t limit) {
    members_in_order(data, ax_, ay_, az_, reach2, [&](std::int64_t first, const std::vector<std::uint32_t>& picked) {
      if (abandoned_) return;
      if (static_cast<std::int64_t>(index_.size() + picked.size()) > limit) {
        abandoned_ = true;
        return;
      }
      for (const std::uint32_t k : picked) {
        const std::int64_t i = first + k;
        index_.push_back(static_cast<std::uint32_t>(i));
        x_.push_back(data.xpar[i]);
        y_.push_back(data.ypar[i]);
        z_.push_back(data.zpar[i]);
        dens_.push_back(data.dens[i]);
      }
    });
  }

  std::vector<std::uint32_t> index_;  // the candidates' places in the arrays
  std::vector<float> x_, y_, z_, dens_;
  double ax_ = 0, ay_ = 0, az_ = 0, reach_ = 0;
  bool valid_ = false, abandoned_ = false;
};

}  // namespace

sphere_totals sphere_sums(const run_state& data, float r2) {
  // In stretches of 2^30 particles: the vector passes count members in 32-bit lanes.
  constexpr std::int64_t stretch = std::int64_t{1} << 30;
  const accumulate_fn accumulate = accumulate_kernels.get();
  sphere_totals t;
  // On this thread alone: the pass waits on its additions, which must follow file order one
  // after another, so other threads testing membership would not make it shorter.
  for (std::int64_t first = 0; first < data.nhalos; first += stretch)
    accumulate(data.xpar.data() + first, data.ypar.data() + first, data.zpar.data() + first, data.dens.data() + first,
               std::min(stretch, data.nhalos - first), data.xc, data.yc, data.zc, r2, t);
  return t;
}

void findcenter(run_state& data, std::ostream& out) {
  data.xc = data.yc = data.zc = 0;
  float r2 = initial_r2(data.rad);
  out << free_line().num(data.rad).num(r2).str();

  // The first pass goes over every particle. A list of candidates pays for the scan that
  // collects it only when the spheres hold a small part of the snapshot (a halo in a large
  // box); otherwise passes over the whole arrays, read in order, are as fast.
  candidate_list near;
  bool sparse = false;
  for (int j = 0; j < 20; ++j) {
    if (sparse && !near.covers(data, r2)) near.collect(data, r2);
    const sphere_totals t = near.covers(data, r2) ? near.sums(data, r2) : sphere_sums(data, r2);
    const std::int64_t nn = t.count;
    const double am = t.s, xx = t.sx, yy = t.sy, zz = t.sz;
    // Divide by the larger of the weight and 1: a small (or NaN) weight leaves the sums as
    // they are, and an empty sphere puts the center back at the origin.
    if (am >= 1) {
      data.xc = xx / am;
      data.yc = yy / am;
      data.zc = zz / am;
    } else {
      data.xc = xx;
      data.yc = yy;
      data.zc = zz;
    }
    if (j == 0) sparse = nn < data.nhalos / 4;
    r2 = shrink_r2(r2);
    record line;
    line.text(" particles= ").i(nn, 8).text(" Center= ");
    print_center(out, line, data, r2);
  }

  // Snap onto the densest particle of the last sphere: strictly denser than any before it.
  std::int64_t ii = 0;
  double densest = 0;
  const auto consider = [&](std::int64_t i) {
    // The density first: once the maximum has risen, few particles pass it, and the
    // membership test is left for those.
    if (static_cast<double>(data.dens[i]) > densest &&
        inside(offset_from(data.xpar[i], data.ypar[i], data.zpar[i], data.xc, data.yc, data.zc).dd, r2)) {
      densest = data.dens[i];
      ii = i + 1;
    }
  };
  if (near.covers(data, r2)) {
    for (const std::uint32_t i : near.index()) consider(i);
  } else {
    for (std::int64_t i = 0; i < data.nhalos; ++i) consider(i);
  }
  float shown_density = 0;
  if (ii > 0) {
    data.xc = data.xpar[ii - 1];
    data.yc = data.ypar[ii - 1];
    data.zc = data.zpar[ii - 1];
    shown_density = data.dens[ii - 1];
  }
  record line;
  line.text(" Densest ").f(shown_density, 9, 2).text(" Center= ");
  print_center(out, line, data, r2);
}

}  // namespace haloprof
