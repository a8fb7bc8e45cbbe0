// Loading the particle arrays from a snapshot's text: sizing the arrays, cutting the
// particle list into pieces at record boundaries and reading the pieces on several threads,
// with exactly the result of one pass from front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "core/run_state.h"
#include "input/records.h"

namespace haloprof {

// How the text is read. Every choice gives the same results; tests compare them.
struct read_paths {
  bool fast_records = true;  // plain records by bit operations, the rest by the general path
  bool count_first = false;  // count the particles before making the arrays, even when
                             // arrays sized from the length of the text can be had
  int threads = 1;           // threads reading pieces of the particle list at once
  std::size_t piece_bytes = 0;  // the length of a piece; 0 chooses one from the threads
                                // and the length of the text
};

// Creates the seven particle arrays of n elements, failing before any of them when their
// byte size cannot be represented. On failure every array is left empty.
stage_status allocate_particles(run_state& data, std::int64_t n);

// Reads the header and the particles of a snapshot held in [first, last), naming `file` in
// messages. Fills redshift, nhalos, the arrays (still in the file's frame) and the offset,
// and writes the console records of the redshift, the count and the densest particle.
stage_status load_snapshot(run_state& data, const char* first, const char* last, const std::string& file,
                           std::ostream& out, const scan_progress& progress = {}, read_paths paths = {});

}  // namespace haloprof
