// Building a run state by hand, as the reader would leave it.
#pragma once

#include <vector>

#include "core/run_state.h"

namespace haloprof::testing {

struct particle {
  float x, y, z, vx, vy, vz, dens;
};

// Particles in the shifted frame, the search radius set as the driver sets it.
inline run_state make_state(const std::vector<particle>& ps) {
  run_state data;
  data.rad = initial_search_radius;
  data.nhalos = static_cast<std::int64_t>(ps.size());
  for (particle_array* a : {&data.xpar, &data.ypar, &data.zpar, &data.dens, &data.vx, &data.vy, &data.vz})
    a->allocate(data.nhalos);
  for (std::size_t i = 0; i < ps.size(); ++i) {
    const auto k = static_cast<std::int64_t>(i);
    data.xpar[k] = ps[i].x;
    data.ypar[k] = ps[i].y;
    data.zpar[k] = ps[i].z;
    data.vx[k] = ps[i].vx;
    data.vy[k] = ps[i].vy;
    data.vz[k] = ps[i].vz;
    data.dens[k] = ps[i].dens;
  }
  return data;
}

}  // namespace haloprof::testing
