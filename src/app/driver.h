// The driver: one run, the three stages in order.
#pragma once

#include <iosfwd>

#include "core/run_state.h"

namespace haloprof {

// The console of a run: the answer to the prompt comes from `in`, the progress lines go to
// `out`; messages, the progress bar and notices go to `err`.
struct console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool err_is_terminal = false;  // a progress bar and the lock's notice only on a terminal
};

// Sets the initial search radius and runs readdata, findcenter and findproperties once
// each. On a fatal condition prints its one-line message on the console's `err` and stops
// there. Returns the process exit status.
int run(run_state& data, const console& c);

}  // namespace haloprof
