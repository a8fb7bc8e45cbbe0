// Reading the particles of a simulation code's snapshot, whatever its format: the header's
// facts and the particles of chosen types in chunks, in the snapshot's own units.
//
// Formats are told apart by the first bytes of the file, never by its name. Every count and
// length read from a file is checked against the file's size (and against the others that
// must agree) before anything is allocated; a failure names the file and the block or
// dataset, what was expected and what was found.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/status.h"

namespace haloprof {

// Gadget's six particle types, and SWIFT's seventh (neutrinos).
inline constexpr int particle_types = 7;

// The units a file declares, where it declares them (a Gadget binary declares none).
struct declared_units {
  std::optional<double> length_in_cm;          // one length unit of the positions, in cm
  std::optional<double> mass_in_g;             // one mass unit, in g
  std::optional<double> velocity_in_cm_per_s;  // one velocity unit of the stored velocities
  // The powers of the Hubble parameter h the quantities carry (-1 for kpc/h and 10^10 Msun/h).
  std::optional<int> length_h_exponent, mass_h_exponent;
};

// What a snapshot's header (or headers) say, with the facts a reader derived from them.
struct snapshot_info {
  std::string format;              // for messages and the manifest: "Gadget-2 format 2, big-endian", ...
  std::vector<std::string> files;  // every file of the snapshot, in order
  std::array<std::uint64_t, particle_types> count{};  // particles per type in the whole snapshot
  std::array<double, particle_types> mass_table{};    // a type's mass; 0: each particle carries its own
  double time = 0;                                    // the scale factor in cosmological runs, else a time
  double redshift = 0;
  double box = 0;                // side of the periodic box; 0 when there is none
  bool cosmological = false;     // from the file's flags or parameters where it has them
  std::optional<double> hubble;  // HubbleParam, where given
  // Stored velocity x this = peculiar velocity, in the stored velocity's unit: sqrt(a) for
  // Gadget's u = v / sqrt(a) in a cosmological run, 1 where velocities are stored plain.
  double velocity_factor = 1;
  declared_units units;
  bool has_densities = false;  // haloprof's text form: a density per particle, in its units
};

// What a chunk carries, as bits of a mask. Densities come only from haloprof's text form,
// which carries one per particle.
enum particle_field : unsigned { positions = 1, velocities = 2, masses = 4, ids = 8, densities = 16 };

// Up to `n` consecutive particles of one type, in the snapshot's units, widened to double
// from whatever the file stores. Spans a reader does not fill (a field not asked for, or
// masses the mass table gives) are empty.
struct particle_chunk {
  int type = 0;
  std::uint64_t first = 0;  // index of the first among the type's particles, whole snapshot
  std::size_t n = 0;
  std::span<const double> pos;        // 3n: x, y, z of each particle in turn
  std::span<const double> vel;        // 3n: as stored (times velocity_factor: peculiar)
  std::span<const double> mass;       // n
  std::span<const std::uint64_t> id;  // n
  std::span<const double> dens;       // n, where the snapshot carries densities
};

// Called for each chunk; a failure stops the reading and is returned by read().
using chunk_sink = std::function<stage_status(const particle_chunk&)>;

class snapshot_reader {
 public:
  virtual ~snapshot_reader() = default;
  virtual const snapshot_info& info() const = 0;
  // Reads the particles of the types whose bits are set in `types` (bit t for type t), the
  // `fields` asked for, in chunks of at most `chunk` particles, file by file in the order
  // of info().files and type by type within a file, handing each chunk to `use`. Memory
  // stays bounded by the chunk, not by the snapshot. May be called more than once.
  virtual stage_status read(unsigned types, unsigned fields, std::size_t chunk, const chunk_sink& use) = 0;
};

// Opens a snapshot given by its first file (a multi-file snapshot's others are found from
// the header's file count), telling the format from the file's first bytes; anything that is
// neither a Gadget-2 binary nor an HDF5 file is read as haloprof's text form (on `threads`
// threads). Fails with cannot_open when the file cannot be read, bad_snapshot when it is no
// snapshot of a known format or its headers are inconsistent.
stage_status open_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader, int threads = 1);

}  // namespace haloprof
