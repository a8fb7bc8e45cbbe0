// Reading a snapshot's text into the particle arrays.
//
// The paths a value can take, from the cheapest to the dearest, each giving exactly the
// float the next would give:
//  1. fast_records (fast_records.h) finds a plain record's seven values from bit masks of
//     the text, and record_batch.h converts them together in vector registers when all have
//     the common shape (fixed decimals of up to 14 digits, perhaps with a two-digit exponent);
//  2. a plain record whose values have other shapes: each value by convert_float
//     (convert.h), eight digits at a time, then Clinger's fast path or the Eisel-Lemire
//     product, and an exact general conversion for what those leave undecided;
//  3. anything else (tabs, empty values, broken records, the file's last bytes): the
//     general path of records.h, byte by byte, which also names the line of an error.
// The list is read in pieces on several threads and joined in file order, so that the
// result does not depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/run_state.h"
#include "core/status.h"
#include "input/progress.h"

namespace haloprof {

// How the text is read. Every choice gives the same results; tests compare them.
struct read_paths {
  bool fast_records = true;     // plain records by bit operations, the rest by the general path
  bool count_first = false;     // count the particles before making the arrays, even when
                                // arrays sized from the length of the text can be had
  int threads = 1;              // threads reading pieces of the particle list at once
  std::size_t piece_bytes = 0;  // the length of a piece; 0 chooses one from the threads
                                // and the length of the text
};

// What reading a snapshot found, each part as soon as the reading got that far, so that a
// failure still tells what came before it.
struct snapshot_findings {
  std::optional<float> redshift;      // once the header is read
  std::optional<std::int64_t> count;  // once the particles are counted
  bool loaded = false;                // the particles are in the arrays, and:
  float dmax = 0;                     //   the highest density above zero (0 when none) ...
  std::int64_t densest = 0;           //   ... and its particle, 1-based (0 when none)
};

// Creates the seven particle arrays of n elements, failing before any of them when their
// byte size cannot be represented. On failure every array is left empty.
stage_status allocate_particles(run_state& data, std::int64_t n);

// Reads the header and the particles of a snapshot held in [first, last), naming `file` in
// messages. Fills redshift, nhalos, the arrays (in the file's frame) and the offset x0, y0,
// z0 (the densest particle's position, 0 when none), and tells `found` what it found.
stage_status load_snapshot(run_state& data, const char* first, const char* last, const std::string& file,
                           snapshot_findings& found, const read_observer& observer = {}, read_paths paths = {});

// Moves the origin onto the offset x0, y0, z0: each position difference is formed in
// double and kept in single precision. Velocities and densities are not changed.
void shift_origin(run_state& data);

}  // namespace haloprof
