#include "properties/binning.h"

#include <cmath>
#include <ostream>

#include "center/findcenter.h"
#include "core/format.h"

namespace haloprof {

stage_result bin_particles(run_state& data, std::ostream& out) {
  constexpr float r2 = rmax * rmax;  // 0.010000001 in single precision

  std::int64_t nn = 0;
  data.vxc = data.vyc = data.vzc = 0;
  for (std::int64_t i = 0; i < data.nhalos; ++i) {
    if (!inside(data, i, r2)) continue;
    ++nn;
    data.vxc += data.vx[i];
    data.vyc += data.vy[i];
    data.vzc += data.vz[i];
  }
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

  data.dprof.fill(0);
  data.vrad.fill(0);
  data.vrad2.fill(0);
  data.vtan.fill(0);
  data.vrms.fill(0);
  data.nprof.fill(0);

  for (std::int64_t i = 0; i < data.nhalos; ++i) {
    const double dx = data.xpar[i] - data.xc;
    const double dy = data.ypar[i] - data.yc;
    const double dz = data.zpar[i] - data.zc;
    const auto dd = static_cast<float>((dx * dx + dy * dy) + dz * dz);
    if (!(dd < r2)) continue;
    // Softening keeps r at least 1e-4, so a particle on the center divides by no zero.
    const float r = std::sqrt(dd + 1e-8f);
    const auto ind = static_cast<int>(r / shell_width);
    if (ind < 0 || ind > run_state::ntab) return failure{exit_status::radius, "error: radius is to big"};

    ++data.nprof[ind];
    data.dprof[ind] += r;
    const double dvx = data.vx[i] - data.vxc;
    const double dvy = data.vy[i] - data.vyc;
    const double dvz = data.vz[i] - data.vzc;
    // Radial components in double, each kept in single and summed in single.
    const auto wvx = static_cast<float>(dx * dvx / r);
    const auto wvy = static_cast<float>(dy * dvy / r);
    const auto wvz = static_cast<float>(dz * dvz / r);
    const double vvr = (wvx + wvy) + wvz;
    const double vv = (dvx * dvx + dvy * dvy) + dvz * dvz;
    const double vvt = vv - vvr * vvr;
    data.vrms[ind] += vv;
    data.vrad[ind] += vvr;
    data.vrad2[ind] += vvr * vvr;
    data.vtan[ind] += vvt;
  }
  return std::nullopt;
}

}  // namespace haloprof
