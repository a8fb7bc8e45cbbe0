// First stage: ask for the snapshot's name, load its particles and move the origin onto
// the densest one.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "core/run_state.h"

namespace haloprof {

// Prompts on `out`, reads the name from `in`, reads the snapshot and leaves in `data`:
// redshift, nhalos, the particle arrays in the frame centred on the densest particle, and
// that particle's position as the offset x0, y0, z0. Prints the redshift, the particle
// count and the densest particle on `out`.
stage_status readdata(run_state& data, std::istream& in, std::ostream& out);

// The snapshot name typed at the prompt: blank lines and leading blanks are passed over; a
// bare name ends at a blank, a comma or the line end; a name in apostrophes or quotation
// marks may hold blanks (a doubled quote stands for one). Empty when no name is supplied.
std::optional<std::string> read_file_name(std::istream& in);

// Creates the seven particle arrays of n elements, failing before any of them when their
// byte size cannot be represented. On failure every array is left empty.
stage_status allocate_particles(run_state& data, std::int64_t n);

// Moves the origin onto the offset x0, y0, z0: each position difference is formed in
// double and kept in single precision. Velocities and densities are not changed.
void shift_origin(run_state& data);

// Called now and then while a pass scans the text: pass 1 counts, pass 2 loads; `at` is
// how far the pass has come. Pass 0 (with a null `at`) announces a console line between
// the passes.
using scan_progress = std::function<void(int pass, const char* at)>;

// How the text is read. Every choice gives the same results; tests compare them.
struct read_paths {
  bool fast_records = true;  // plain records by bit operations, the rest by the general path
  bool count_first = false;  // count the particles before making the arrays, even when
                             // arrays sized from the length of the text can be had
};

// Reads the header and the particles of a snapshot held in [first, last), naming `file` in
// messages. Fills redshift, nhalos, the arrays (still in the file's frame) and the offset,
// and writes the console records of the redshift, the count and the densest particle.
stage_status load_snapshot(run_state& data, const char* first, const char* last, const std::string& file,
                           std::ostream& out, const scan_progress& progress = {}, read_paths paths = {});

}  // namespace haloprof
