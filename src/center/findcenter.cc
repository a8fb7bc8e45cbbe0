#include "center/findcenter.h"

#include <cmath>
#include <ostream>

#include "core/format.h"

namespace haloprof {
namespace {

void print_center(std::ostream& out, record& line, const run_state& data, float r2) {
  out << line.f(data.xc, 9, 5)
             .f(data.yc, 9, 5)
             .f(data.zc, 9, 5)
             .text(" Search Radius= ")
             .f(r2, 9, 5)
             .str();
}

}  // namespace

float shrink_r2(float r2) {
  // The factor shrinks the squared radius, so the radius itself shrinks by sqrt(0.97).
  return std::sqrt(r2) > 0.0015f ? r2 * 0.97f : r2;
}

void findcenter(run_state& data, std::ostream& out) {
  data.xc = data.yc = data.zc = 0;
  float r2 = initial_r2(data.rad);
  out << free_line().num(data.rad).num(r2).str();

  for (int j = 0; j < 20; ++j) {
    std::int64_t nn = 0;
    double am = 0, xx = 0, yy = 0, zz = 0;
    for (std::int64_t i = 0; i < data.nhalos; ++i) {
      if (!inside(data, i, r2)) continue;
      ++nn;
      // Each weighted coordinate is formed in single precision, then summed in double.
      am += data.dens[i];
      xx += data.xpar[i] * data.dens[i];
      yy += data.ypar[i] * data.dens[i];
      zz += data.zpar[i] * data.dens[i];
    }
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
    r2 = shrink_r2(r2);
    record line;
    line.text(" particles= ").i(nn, 8).text(" Center= ");
    print_center(out, line, data, r2);
  }

  // Snap onto the densest particle of the last sphere: strictly denser than any before it.
  std::int64_t ii = 0;
  double densest = 0;
  for (std::int64_t i = 0; i < data.nhalos; ++i) {
    if (inside(data, i, r2) && static_cast<double>(data.dens[i]) > densest) {
      densest = data.dens[i];
      ii = i + 1;
    }
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
