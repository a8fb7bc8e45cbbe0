// Second stage: refine the halo center by a density-weighted shrinking sphere.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "core/run_state.h"

namespace haloprof {

// Starting from the origin (the densest particle of the file), moves the center 20 times
// to the density-weighted mean position inside a sphere whose squared radius shrinks by
// 0.97 per step, then snaps it onto the densest particle inside the last sphere. Reads
// rad, nhalos and the positions and densities; writes xc, yc, zc and the console.
// When the last sphere holds no particle of positive density the center stays where the
// iterations left it and the density is shown as 0.00.
void findcenter(run_state& data, std::ostream& out);

// The first squared search radius: rad squared in double, kept in single precision.
inline float initial_r2(double rad) { return static_cast<float>(rad * rad); }

// One shrink step: while the radius exceeds 0.0015 the squared radius shrinks by 0.97,
// both compared and multiplied in single precision.
float shrink_r2(float r2);

// The sums over the particles of one sphere, taken in file order: each term is formed in
// single precision, widened and added in double, so the order of the additions is part of
// the result.
struct sphere_totals {
  std::int64_t count = 0;                // particles inside (nn)
  double s = 0, sx = 0, sy = 0, sz = 0;  // summed density weights (am), density-weighted positions (xx, yy, zz)

  // The four sums as a vector kernel leaves them in memory: s, sx, sy, sz.
  void set_sums(const double* sums) {
    s = sums[0];
    sx = sums[1];
    sy = sums[2];
    sz = sums[3];
  }
};

// One pass of the search: the sums over the particles strictly inside the sphere of squared
// radius r2 around the current center (xc, yc, zc).
sphere_totals sphere_sums(const run_state& data, float r2);

}  // namespace haloprof
