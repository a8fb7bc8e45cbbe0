// First stage: ask for the snapshot's name, load its particles and move the origin onto
// the densest one.
#pragma once

#include <iosfwd>
#include <string>

#include "core/run_state.h"
#include "core/status.h"
#include "input/load.h"

namespace haloprof {

// Prompts on `out`, reads the name from `in`, reads the snapshot on data.threads threads
// and leaves in `data`: redshift, nhalos, the particle arrays in the frame centred on the
// densest particle, and that particle's position as the offset x0, y0, z0. Prints what the
// reading found (the redshift, the particle count, the densest particle) on `out`, also
// before a failure, as far as it got; a progress bar goes to `err` when `err_terminal`.
stage_status readdata(run_state& data, std::istream& in, std::ostream& out, std::ostream& err, bool err_terminal);

// The console lines of what the reading found, as far as it got.
std::string findings_lines(const run_state& data, const snapshot_findings& found);

}  // namespace haloprof
