// The two passes of the density estimate that run per neighbour, one kernel per vector tier
// (core/kernels.h), every tier giving the same bits:
//  - the sieve: which of a group's candidates lie within a radius of one target, in single
//    precision. The caller widens the radius by the single-precision roundings, so that the
//    sieve keeps every candidate within the radius by the exact distance, and a few more;
//  - the kernel sum over a target's neighbours, exact in any order.
#pragma once

#include <cstdint>

#include "core/kernels.h"

namespace haloprof::density_detail {

// Writes to `out` the indices j of the candidates (x[j], y[j], z[j]), j < n, whose squared
// distance from (px, py, pz), rounded to single step by step as (dx² + dy²) + dz², is at most
// r2; returns how many. n is a multiple of 8 (pad with coordinates of 3e38); `out` has room
// for n + 8 indices. Every tier keeps the same indices in the same order.
using scan_fn = std::uint32_t (*)(const float* x, const float* y, const float* z, std::uint32_t n, float px, float py,
                                  float pz, float r2, std::uint32_t* out);

extern const tiered<scan_fn> scan_kernels;

// sum_j w(sqrt(d2[j]) / h) for j < m, w the cubic spline 1 - 1.5 q^2 + 0.75 q^3 (q < 1),
// 0.25 (2 - q)^3 (q < 2), 0 beyond, without its normalisation. The terms are added as
// fixed-point numbers of 92 bits below the largest term's leading bit, whose integer sums
// do not depend on the order of the terms, and the total is rounded to double once. h > 0;
// `w` is scratch for m values.
using spline_sum_fn = double (*)(const double* d2, std::uint32_t m, double h, double* w);

extern const tiered<spline_sum_fn> spline_sum_kernels;

}  // namespace haloprof::density_detail
