// First stage: ask for the snapshot's name, load its particles and move the origin onto
// the densest one.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

#include "core/run_state.h"
#include "input/load.h"

namespace haloprof {

// Prompts on `out`, reads the name from `in`, reads the snapshot on data.threads threads
// and leaves in `data`: redshift, nhalos, the particle arrays in the frame centred on the
// densest particle, and that particle's position as the offset x0, y0, z0. Prints the
// redshift, the particle count and the densest particle on `out`.
stage_status readdata(run_state& data, std::istream& in, std::ostream& out);

// The snapshot name typed at the prompt: blank lines and leading blanks are passed over; a
// bare name ends at a blank, a comma or the line end; a name in apostrophes or quotation
// marks may hold blanks (a doubled quote stands for one). Empty when no name is supplied.
// A line is read up to its first `longest_answer` bytes.
inline constexpr std::size_t longest_answer = std::size_t{1} << 24;
std::optional<std::string> read_file_name(std::istream& in);

// Moves the origin onto the offset x0, y0, z0: each position difference is formed in
// double and kept in single precision. Velocities and densities are not changed.
void shift_origin(run_state& data);

}  // namespace haloprof
