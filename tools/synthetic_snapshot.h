// halogen's whole box as a simulation code writes it: the particles in a simulation's units,
// and the writers of the binary and HDF5 snapshot formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One particle type (dark matter, type 1) in a periodic box, in output units: lengths in
// `length_in_cm`, masses in `mass_in_g`, velocities in `velocity_in_cm_per_s` (comoving
// positions, peculiar velocities: each writer stores them in its format's convention, e.g.
// Gadget's u = v / sqrt(a)).
struct synthetic_snapshot {
  std::vector<float> pos;          // 3n: x, y, z of each particle, in [0, box)
  std::vector<float> vel;          // 3n: peculiar velocities
  std::vector<std::uint64_t> ids;  // n
  double box = 0;                  // side of the periodic box
  double particle_mass = 0;        // every particle's
  double redshift = 0;
  bool cosmological = true;  // false: time 0 written, velocities stored plain
  double hubble = 0.7, omega0 = 0.3, omega_lambda = 0.7;
  double length_in_cm = 3.085678e21;  // kpc (positions in kpc/h)
  double mass_in_g = 1.989e43;        // 10^10 Msun (masses in 10^10 Msun/h)
  double velocity_in_cm_per_s = 1e5;  // km/s
};

struct gadget_options {
  int format = 1;  // 1: no labels; 2: a label record before each block
  bool big_endian = false;
  bool double_positions = false;  // POS and VEL as double
  bool long_ids = false;          // 8-byte IDs
  bool mass_block = false;        // the mass table left 0 and a MASS block written
  int files = 1;                  // path.0, path.1, ... when more than one
};

// Writes `s` as a Gadget-2 binary snapshot at `path` (or path.0 ... path.N-1); false with
// the reason in `error` when a file cannot be written (no file is then left behind).
bool write_gadget(const std::string& path, const synthetic_snapshot& s, const gadget_options& o, std::string& error);

struct hdf5_options {
  enum class layout { gadget4, swift } code = layout::gadget4;
  int files = 1;  // NAME.0.hdf5 ... when more than one (path given as NAME.hdf5)
};

// Writes `s` as an HDF5 snapshot in the layout of the code named; as write_gadget.
bool write_hdf5(const std::string& path, const synthetic_snapshot& s, const hdf5_options& o, std::string& error);
