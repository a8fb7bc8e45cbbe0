// halogen's halo catalogues: the halos it placed, as a halo finder would list them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct catalogue_entry {
  double centre[3];    // in the snapshot's length unit
  double radius;       // the virial radius, in the same unit
  double velocity[3];  // the bulk velocity, km/s
  std::int64_t particles;
  double mass;  // 10^10 Msun/h
};

enum class catalogue_format { ahf, plain };

// Writes the halos to `path`: AHF-style (a `#` header naming each column with its 1-based
// number in brackets, masses in Msun/h) or a plain list (`x y z radius` per line, the count
// and mass in a comment). False with the reason in `error` when the file cannot be written
// (it is then removed).
bool write_catalogue(const std::string& path, catalogue_format format, const std::vector<catalogue_entry>& halos,
                     std::string& error);
