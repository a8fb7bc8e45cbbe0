// The driver: one run, the three stages in order.
#pragma once

#include <iosfwd>

#include "core/run_state.h"

namespace haloprof {

// Sets the initial search radius and runs readdata, findcenter and findproperties once
// each. On a fatal condition prints its one-line message on `err` and stops there.
// Returns the process exit status.
int run(run_state& data, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace haloprof
