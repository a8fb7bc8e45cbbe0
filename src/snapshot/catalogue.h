// Reading halo centres from a halo finder's catalogue, whatever its kind: told apart by
// content, never by the file's name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/status.h"
#include "snapshot/snapshot.h"

namespace haloprof {

struct catalogue_halo {
  std::int64_t id = 0;           // the catalogue's own id, or the row counted from 0
  double centre[3] = {0, 0, 0};  // in the catalogue's length unit
  std::optional<double> radius;  // in the same unit as the centre, where the catalogue gives one
};

struct halo_catalogue {
  std::string format;  // "AHF", "Rockstar", "Gadget-4/AREPO group catalogue", "plain list"
  std::vector<catalogue_halo> halos;
  // The length unit of the centres where the catalogue declares it (the units of its
  // positions), so that a factor to the snapshot's unit can come from both files.
  std::optional<double> length_in_cm;
  std::optional<int> length_h_exponent;
};

// Reads every halo of the catalogue at `path`: an AHF .AHF_halos file (columns found by the
// names in its header), a Rockstar out_*.list, a Gadget-4/AREPO group catalogue in HDF5
// (Group/GroupPos), or a plain list of `x y z [radius]` per line with # comments. A failure
// names the file and the line (or dataset): cannot_open when it cannot be read,
// bad_snapshot when its content is not one of these.
stage_status read_catalogue(const std::string& path, halo_catalogue& catalogue);

}  // namespace haloprof
