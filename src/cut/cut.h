// Cutting halos out of a simulation's snapshot: the particles of the chosen types around
// each centre, in haloprof's units (a mean number density of 160^3 per unit volume, 21100
// mass units a particle), with a density per particle equal to the one it has in the whole
// snapshot; one haloprof text file per halo, and a manifest of the units and the halos.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/status.h"

namespace haloprof {

enum class density_choice {
  knn,   // estimated afresh from the k nearest neighbours
  keep,  // the snapshot's own (haloprof's text form carries one)
};

struct cut_settings {
  std::string snapshot;                   // the snapshot's (first) file
  std::string output;                     // the directory the halo files and halos.json go to
  std::string centres;                    // a halo catalogue; empty when the centres are peaks
  int peaks = 0;                          // > 0: the centres are the `peaks` densest particles ...
  double separation = 0.1;                // ... each this far (haloprof length) from every denser one
  unsigned types = 1u << 1;               // bit t for particle type t
  double radius = 0.15;                   // of the cut, in haloprof's length unit
  int neighbours = 32;                    // the density's k
  std::optional<double> mean_density;     // particles per unit snapshot volume; else from the masses
  std::optional<double> centres_unit;     // catalogue length x this = snapshot length
  std::optional<density_choice> density;  // default: keep for text, knn otherwise
  std::optional<std::string> length_unit, mass_unit, velocity_unit;  // names, where the file has none
  int threads = 1;
};

// What a cut tells while it runs: the work under way and how far it is (0 to 1), for a
// progress bar; a notice of long work, for a terminal; and a line per halo written, for
// standard output.
struct cut_observer {
  std::function<void(std::string_view what, double done)> progress;
  std::function<void(const std::string& notice)> notice;
  std::function<void(const std::string& line)> line;
};

// Cuts the halos. The halo files and the manifest appear together at the end: a failure
// leaves the output directory as it was (temporary files removed). Failures: cannot_open
// (a file cannot be read), bad_snapshot (a snapshot, catalogue or choice that cannot be
// cut: the message names the file and what was found), memory, report (the output cannot
// be written), snapshot_changed (the snapshot changed while read), internal (kernels that
// kept reaching farther, pass after pass). The observer's progress may be called from
// helper threads, one call at a time.
stage_status cut_halos(const cut_settings& settings, const cut_observer& observer);

}  // namespace haloprof
