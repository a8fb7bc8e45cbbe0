// A density for every particle from its k nearest neighbours, for snapshots that carry none
// (dark matter): h_i is half the distance to the k-th nearest particle (the particle itself
// counted among them) and rho_i the sum over the particles within 2 h_i of the cubic-spline
// kernel W(r, h_i), whose support is 2h. Particles have equal masses, so rho is a number
// density; it is returned over a mean number density the caller gives.
//
// The results are exact in this sense: the neighbours are the k nearest by the distance in
// double precision from the single-precision positions (to the nearest image in a periodic
// box), and the sum over them is taken exactly, so that it does not depend on the order of
// the terms, then rounded once. A particle's density is therefore the same to the bit
// whatever the order of the input, the thread count or the vector instructions, and the same
// in a cut-out as in the whole snapshot when the cut-out's sources reach far enough.
#pragma once

#include <span>
#include <vector>

#include "core/status.h"

namespace haloprof {

// Positions as a structure of arrays, the three of equal length.
struct point_set {
  std::span<const float> x, y, z;
};

struct density_settings {
  int neighbours = 32;      // k >= 2, the particle itself among them
  double box = 0;           // side of the periodic box (positions modulo it); 0: no box
  double mean_density = 1;  // the number density the result is divided by, > 0
  int threads = 1;          // at most this many threads (programs: usable_cores())
};

struct density_result {
  std::vector<double> rho;    // per target: the estimate over mean_density
  std::vector<double> reach;  // per target: 2h, the distance to its k-th neighbour
};

// Densities of `targets` from neighbours among `sources` (a target that is also a source
// finds itself at distance 0 and counts itself). A cut-out gets the densities it has in the
// whole snapshot when its sources hold every particle within `reach` of each target.
// Fails with one line: exit_status::bad_snapshot for fewer than k sources, for k or more
// sources at one position (h = 0) and for a coordinate that is not finite;
// exit_status::memory for want of memory; exit_status::internal for settings out of range
// or arrays of unequal length. `out` is unspecified after a failure.
stage_status knn_density(const point_set& sources, const point_set& targets, const density_settings& s,
                         density_result& out);

// The same with the targets being the sources themselves.
stage_status knn_density(const point_set& particles, const density_settings& s, density_result& out);

}  // namespace haloprof
