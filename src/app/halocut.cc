// halocut: from a simulation's snapshot to haloprof's input, one file per halo.
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "app/console.h"
#include "app/progress_bar.h"
#include "core/shown.h"
#include "core/status.h"
#include "core/threads.h"
#include "cut/cut.h"
#include "snapshot/snapshot.h"

namespace {

using haloprof::exit_status;

constexpr const char* usage_text =
    "usage: halocut SNAPSHOT -o DIR (--centers CATALOGUE | --peaks N) [options]\n"
    "Cuts the halos of a simulation's snapshot into haloprof's input: DIR/halo_ID.txt for each halo (its\n"
    "particles within the radius, relative to its centre, in haloprof's units, with a density per particle)\n"
    "and DIR/halos.json (the units and the halos). SNAPSHOT is a Gadget-2 binary file, an HDF5 file\n"
    "(Gadget-4, AREPO, GIZMO, SWIFT), or haloprof's text form of a whole box; for a snapshot of several\n"
    "files, its first (snap_010.0, snap_010.0.hdf5). Formats are told by content.\n"
    "  -o, --output DIR        the directory for the halo files (made when missing)\n"
    "  --centers CATALOGUE     the halos' centres: an AHF .AHF_halos file, a Rockstar out_*.list, a\n"
    "                          Gadget-4/AREPO group catalogue (fof_subhalo_tab_*.hdf5), or a plain list of\n"
    "                          x y z per line (# comments)\n"
    "  --peaks N               the centres are the N densest particles, each farther than --separation from\n"
    "                          every denser one (needs every particle's density)\n"
    "  --separation D          for --peaks, in haloprof's length unit (default 0.1)\n"
    "  --type T[,T...]         particle types to cut (default 1, the dark matter)\n"
    "  --radius R              the cut's radius in haloprof's length unit (default 0.15)\n"
    "  --neighbours K          the density's k nearest neighbours (default 32)\n"
    "  --mean-density N        the mean number density of the chosen particles, per unit snapshot volume\n"
    "                          (default: the mass of every particle over the box's volume, over a chosen\n"
    "                          particle's mass); needed where the snapshot has no box\n"
    "  --centers-unit F        catalogue length x F = snapshot length (default: from the units both files\n"
    "                          declare, else 1)\n"
    "  --density knn|keep      estimate the densities afresh (the default for binary and HDF5 snapshots) or\n"
    "                          keep the snapshot's own (the default for haloprof's text form)\n"
    "  --length-unit NAME      the snapshot's length unit (kpc/h, Mpc/h, ...) where the file declares none\n"
    "  --mass-unit NAME        its mass unit (1e10 Msun/h, Msun/h, ...) where the file declares none\n"
    "  --velocity-unit NAME    its velocity unit (km/s, ...) where the file declares none\n"
    "  -h, --help              this text\n"
    "Exit status: 0 done, 2 a wrong command line, 3 a file that cannot be opened, 4 a snapshot, catalogue or\n"
    "choice that cannot be cut, 5 memory, 6 the output cannot be written, 8 the snapshot changed while read,\n"
    "9 the halo files written but standard output lost.\n";

struct usage_error {
  std::string message;
};

double positive(std::string_view option, std::string_view text) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc{} || end != text.data() + text.size() || !(v > 0) || !std::isfinite(v))
    throw usage_error{std::string(option) + ": expected a positive number, found '" + std::string(text) + "'"};
  return v;
}

int count(std::string_view option, std::string_view text, int least) {
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc{} || end != text.data() + text.size() || v < least)
    throw usage_error{std::string(option) + ": expected a whole number of at least " + std::to_string(least) +
                      ", found '" + std::string(text) + "'"};
  return v;
}

unsigned types(std::string_view text) {
  unsigned mask = 0;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const int t = count("--type", text.substr(at, comma - at), 0);
    if (t >= haloprof::particle_types)
      throw usage_error{"--type: particle types run from 0 to " + std::to_string(haloprof::particle_types - 1) +
                        ", found " + std::to_string(t)};
    mask |= 1u << t;
    at = comma + 1;
  }
  return mask;
}

haloprof::cut_settings parse(int argc, char** argv, bool& help) {
  haloprof::cut_settings s;
  std::vector<std::string_view> free;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      help = true;
      return s;
    }
    if (!a.starts_with("-") || a == "-") {
      free.push_back(a);
      continue;
    }
    // --name=value and --name value alike.
    std::string_view name = a, value;
    bool inline_value = false;
    if (const auto eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    const auto take = [&]() -> std::string_view {
      if (inline_value) return value;
      if (i + 1 >= argc) throw usage_error{std::string(name) + ": expected a value"};
      return argv[++i];
    };
    if (name == "-o" || name == "--output") {
      s.output = take();
    } else if (name == "--centers") {
      s.centres = take();
    } else if (name == "--peaks") {
      s.peaks = count(name, take(), 1);
    } else if (name == "--separation") {
      s.separation = positive(name, take());
    } else if (name == "--type") {
      s.types = types(take());
    } else if (name == "--radius") {
      s.radius = positive(name, take());
    } else if (name == "--neighbours") {
      s.neighbours = count(name, take(), 2);
    } else if (name == "--mean-density") {
      s.mean_density = positive(name, take());
    } else if (name == "--centers-unit") {
      s.centres_unit = positive(name, take());
    } else if (name == "--density") {
      const std::string_view d = take();
      if (d != "knn" && d != "keep")
        throw usage_error{"--density: expected knn or keep, found '" + std::string(d) + "'"};
      s.density = d == "knn" ? haloprof::density_choice::knn : haloprof::density_choice::keep;
    } else if (name == "--length-unit") {
      s.length_unit = std::string(take());
    } else if (name == "--mass-unit") {
      s.mass_unit = std::string(take());
    } else if (name == "--velocity-unit") {
      s.velocity_unit = std::string(take());
    } else {
      throw usage_error{"unknown option '" + std::string(a) + "' (halocut --help lists them)"};
    }
  }
  if (free.size() != 1)
    throw usage_error{free.empty() ? "expected a snapshot"
                                   : "expected one snapshot, found " + std::to_string(free.size()) + " names"};
  s.snapshot = free.front();
  if (s.output.empty()) throw usage_error{"expected -o DIR, the directory for the halo files"};
  if (s.centres.empty() == (s.peaks == 0)) throw usage_error{"expected either --centers CATALOGUE or --peaks N"};
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const bool stdout_closed = haloprof::prepare_process();
  haloprof::console_buffer console(STDOUT_FILENO, stdout_closed ? EBADF : 0);
  std::ostream out(&console);
  haloprof::console_buffer errors(STDERR_FILENO, 0);
  std::ostream err(&errors);
  try {
    bool help = false;
    haloprof::cut_settings settings;
    try {
      settings = parse(argc, argv, help);
    } catch (const usage_error& e) {
      haloprof::print_line(err, "halocut: " + haloprof::one_line(e.message));
      return static_cast<int>(exit_status::command_line);
    }
    if (help) {
      out << usage_text << std::flush;
      return 0;
    }
    settings.threads = haloprof::usable_cores();
    const bool terminal = isatty(STDERR_FILENO) == 1;
    haloprof::progress_bar bar(err, terminal);
    const haloprof::cut_observer observer{.progress = [&](std::string_view what, double done) { bar.show(what, done); },
                                          .notice =
                                              [&](const std::string& notice) {
                                                if (!terminal) return;
                                                bar.clear();
                                                haloprof::print_line(err, haloprof::one_line(notice));
                                              },
                                          .line =
                                              [&](const std::string& line) {
                                                bar.clear();
                                                out << line << '\n' << std::flush;
                                              }};
    const haloprof::stage_status result = haloprof::cut_halos(settings, observer);
    bar.clear();
    out.flush();
    if (result.failed()) {
      // Names and option values in a message may hold any byte: it stays one line.
      haloprof::print_line(err, "halocut: " + haloprof::one_line(result->message));
      return static_cast<int>(result->status);
    }
    // The files are in place: the cut is complete even though nobody could read its lines.
    if (console.error() != 0) {
      haloprof::print_line(err, std::string("halocut: cannot write to standard output: ") +
                                    std::strerror(console.error()) + " (the halo files and halos.json were written)");
      return static_cast<int>(exit_status::console_lost);
    }
  } catch (const std::bad_alloc&) {
    err.flush();
    haloprof::write_line(STDERR_FILENO, "halocut: not enough memory");
    return static_cast<int>(exit_status::memory);
  } catch (const std::exception& e) {
    haloprof::print_line(err, std::string("halocut: internal error: ") + e.what());
    return static_cast<int>(exit_status::internal);
  }
  return 0;
}
