// Bulk velocity and radial binning of the particles within rmax of the center.
#pragma once

#include <iosfwd>

#include "core/run_state.h"

namespace haloprof {

constexpr float rmax = 0.1f;                           // radius of the analysed sphere
constexpr float shell_width = rmax / run_state::ntab;  // 0.0016666667 in single precision

// Sets the bulk velocity vxc, vyc, vzc to the mean velocity of the particles strictly
// inside rmax (zero when there are none) and prints it.
void bulk_velocity(run_state& data, std::ostream& out);

// Zeroes the profile tables and sums, per shell, the count, radii, squared speeds and
// radial velocities relative to the bulk velocity, over the particles inside rmax. Fails
// with "error: radius is to big" should a shell index leave 0..ntab.
stage_status bin_shells(run_state& data);

// Both, in that order.
stage_status bin_particles(run_state& data, std::ostream& out);

}  // namespace haloprof
