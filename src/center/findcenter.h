// Second stage: refine the halo center by a density-weighted shrinking sphere.
#pragma once

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

// One pass of the search: the number of particles strictly inside the sphere of squared
// radius r2 around the current center (xc, yc, zc), their summed density weights and
// density-weighted positions, each term formed in single precision and added in double,
// in file order.
void sphere_sums(const run_state& data, float r2, std::int64_t& nn, double& am, double& xx, double& yy,
                 double& zz);

}  // namespace haloprof
