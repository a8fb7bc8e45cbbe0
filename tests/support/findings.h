// What a reading found, as text, so that two ways of reading can be compared at once.
#pragma once

#include <string>

#include "core/run_state.h"
#include "input/load.h"
#include "support/bits.h"

namespace haloprof::testing {

inline std::string describe(const run_state& data, const snapshot_findings& f) {
  std::string s;
  if (f.redshift) s += "redshift " + std::to_string(bits(*f.redshift)) + "; ";
  if (f.count) s += "count " + std::to_string(*f.count) + "; ";
  if (f.loaded)
    s += "densest " + std::to_string(f.densest) + " of " + std::to_string(bits(f.dmax)) + " at " +
         std::to_string(bits(data.x0)) + " " + std::to_string(bits(data.y0)) + " " + std::to_string(bits(data.z0));
  return s;
}

}  // namespace haloprof::testing
