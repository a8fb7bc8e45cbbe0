#include "core/geometry.h"

namespace haloprof {
namespace {

std::int64_t sphere_members_scalar(const float* x, const float* y, const float* z, std::int64_t first,
                                   std::int64_t count, double xc, double yc, double zc, float r2,
                                   std::uint32_t* members) {
  std::int64_t m = 0;
  for (std::int64_t k = 0; k < count; ++k) {
    const std::int64_t i = first + k;
    if (inside(offset_from(x[i], y[i], z[i], xc, yc, zc).dd, r2)) members[m++] = static_cast<std::uint32_t>(k);
  }
  return m;
}

#if defined(HALOPROF_X86)
// Eight particles at a time by the quick test; the exact test for groups with a particle
// between the margins.
__attribute__((target("avx2"))) std::int64_t sphere_members_avx2(const float* x, const float* y, const float* z,
                                                                 std::int64_t first, std::int64_t count, double xc,
                                                                 double yc, double zc, float r2,
                                                                 std::uint32_t* members) {
  const quick_test q(xc, yc, zc, r2);
  const __m256 qx = _mm256_set1_ps(q.fx), qy = _mm256_set1_ps(q.fy), qz = _mm256_set1_ps(q.fz);
  const __m256 in_below = _mm256_set1_ps(q.sure_in), out_above = _mm256_set1_ps(q.sure_out);
  std::int64_t k = 0, m = 0;
  for (; k + 8 <= count; k += 8) {
    const std::int64_t i = first + k;
    const __m256 near =
        quick_distance_avx2(_mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i), _mm256_loadu_ps(z + i), qx, qy, qz);
    const auto in = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(near, in_below, _CMP_LT_OQ)));
    const auto out = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(near, out_above, _CMP_GT_OQ)));
    if (out == 0xff) continue;
    for (unsigned undecided = ~out & 0xff; undecided != 0; undecided &= undecided - 1) {
      const int lane = std::countr_zero(undecided);
      if ((in >> lane & 1) != 0 || inside(offset_from(x[i + lane], y[i + lane], z[i + lane], xc, yc, zc).dd, r2))
        members[m++] = static_cast<std::uint32_t>(k + lane);
    }
  }
  for (; k < count; ++k) {
    const std::int64_t i = first + k;
    if (inside(offset_from(x[i], y[i], z[i], xc, yc, zc).dd, r2)) members[m++] = static_cast<std::uint32_t>(k);
  }
  return m;
}

#endif

const tiered<sphere_members_fn> members_kernels HALOPROF_TIERS(sphere_members_scalar, sphere_members_scalar,
                                                               sphere_members_avx2);

}  // namespace

sphere_members_fn sphere_members_kernel() { return members_kernels.get(); }

}  // namespace haloprof
