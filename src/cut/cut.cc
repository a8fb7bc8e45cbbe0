#include "cut/cut.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/run_state.h"
#include "core/shown.h"
#include "core/threads.h"
#include "cut/grid.h"
#include "cut/output.h"
#include "cut/units.h"
#include "density/density.h"
#include "snapshot/catalogue.h"
#include "snapshot/snapshot.h"

namespace haloprof {
namespace {

// haloprof's units: the mean number density, and the mass of one particle.
constexpr double haloprof_density = mean_number_density;
constexpr double haloprof_mass = particle_mass;

// Particles handed over by the reader at a time: enough for every thread to take a share.
constexpr std::size_t chunk_particles = std::size_t{1} << 17;

// How far a position may lie outside [0, box) and still be taken for a rounding of the
// box's edge (codes write a position equal to the box's side, or a step below 0): those are
// wrapped; positions beyond are refused.
constexpr double edge_tolerance = 1e-5;

std::string number(double v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// A value for a message: six significant digits.
std::string shown_number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string shortest(float v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

failure bad(const std::string& message) { return {exit_status::bad_snapshot, message}; }

// The snapshot's facts a cut rests on.
struct cut_frame {
  snapshot_info info;
  bool text = false;            // haloprof's own text form: already in haloprof's units
  double box = 0;               // periodic box side, snapshot length units; 0: none
  double mean_density = 0;      // of the chosen particles' count, per unit snapshot volume
  double scale = 1;             // haloprof length per snapshot length: (n / 160^3)^(1/3)
  double particle_mass = 0;     // of each chosen particle, snapshot mass units
  unsigned types = 0;           // the chosen types that have particles
  std::uint64_t particles = 0;  // of the chosen types
};

std::string type_list(unsigned types) {
  std::string s;
  for (int t = 0; t < particle_types; ++t)
    if (types >> t & 1u) s += (s.empty() ? "" : ",") + std::to_string(t);
  return s;
}

// The chosen particles' common mass and the mean density it gives: the mass of every
// particle of every type over the box's volume, over the mass of one chosen particle.
stage_status read_masses(snapshot_reader& reader, const cut_settings& s, const cut_observer& o, cut_frame& f) {
  const snapshot_info& info = reader.info();
  unsigned per_particle = 0;  // types with particles whose masses are not in the table
  double total = 0;
  for (int t = 0; t < particle_types; ++t) {
    if (info.count[t] == 0) continue;
    if (info.mass_table[t] > 0)
      total += info.mass_table[t] * static_cast<double>(info.count[t]);
    else
      per_particle |= 1u << t;
  }
  double lightest = std::numeric_limits<double>::infinity(), heaviest = 0;
  for (int t = 0; t < particle_types; ++t) {
    if ((f.types >> t & 1u) == 0 || info.mass_table[t] <= 0) continue;
    lightest = std::min(lightest, info.mass_table[t]);
    heaviest = std::max(heaviest, info.mass_table[t]);
  }
  if (per_particle != 0) {
    std::uint64_t done = 0, all = 0;
    for (int t = 0; t < particle_types; ++t)
      if (per_particle >> t & 1u) all += info.count[t];
    const stage_status read = reader.read(per_particle, masses, chunk_particles, [&](const particle_chunk& c) {
      const bool chosen = (f.types >> c.type & 1u) != 0;
      for (const double m : c.mass) {
        if (!std::isfinite(m) || m < 0)
          return stage_status(bad(info.files.front() + ": type " + std::to_string(c.type) + ": a mass of " + number(m) +
                                  " (expected a finite mass, not negative)"));
        total += m;
        if (chosen) {
          lightest = std::min(lightest, m);
          heaviest = std::max(heaviest, m);
        }
      }
      done += c.n;
      if (o.progress) o.progress("reading masses", static_cast<double>(done) / static_cast<double>(all));
      return stage_status();
    });
    if (read.failed()) return read;
  }
  if (!(heaviest > 0))
    return bad(info.files.front() + ": the particles of type " + type_list(f.types) + " have no mass");
  // haloprof counts particles: the chosen ones must weigh the same (to a float's rounding).
  if (heaviest - lightest > 1e-6 * heaviest)
    return bad(info.files.front() + ": the particles of type " + type_list(f.types) + " have unequal masses, from " +
               number(lightest) + " to " + number(heaviest) + " (a spread of " +
               number((heaviest - lightest) / heaviest * 100) + "%): expected one mass, as haloprof counts particles");
  f.particle_mass = heaviest;
  if (s.mean_density) {
    f.mean_density = *s.mean_density;
  } else if (f.box > 0) {
    f.mean_density = total / (f.box * f.box * f.box) / f.particle_mass;
  } else {
    return bad(info.files.front() + ": the snapshot has no box (BoxSize 0): give --mean-density");
  }
  return {};
}

stage_status make_frame(snapshot_reader& reader, const cut_settings& s, const cut_observer& o, cut_frame& f) {
  f.info = reader.info();
  const snapshot_info& info = f.info;
  f.text = info.has_densities;
  f.box = info.box;
  for (int t = 0; t < particle_types; ++t) {
    if ((s.types >> t & 1u) == 0 || info.count[t] == 0) continue;
    f.types |= 1u << t;
    f.particles += info.count[t];
  }
  if (f.types == 0)
    return bad(info.files.front() + ": no particles of type " + type_list(s.types) + " (the snapshot's types: " + [&] {
      unsigned present = 0;
      for (int t = 0; t < particle_types; ++t)
        if (info.count[t] > 0) present |= 1u << t;
      return type_list(present);
    }() + ")");
  if (f.particles >= (std::uint64_t{1} << 40)) return bad(info.files.front() + ": too many particles to cut");
  if (f.text && !s.mean_density) {
    // Already in haloprof's units.
    f.particle_mass = haloprof_mass;
    f.mean_density = haloprof_density;
  } else if (stage_status m = read_masses(reader, s, o, f); m.failed()) {
    return m;
  }
  if (!(f.mean_density > 0) || !std::isfinite(f.mean_density))
    return bad(info.files.front() + ": a mean density of " + number(f.mean_density) + " (expected a positive one)");
  f.scale = f.text && !s.mean_density ? 1 : std::cbrt(f.mean_density / haloprof_density);
  return {};
}

// A position wrapped into the box (a rounding step beyond its edges taken back in); false
// when it lies well outside or is not finite.
bool wrap(double& x, double box) {
  if (!std::isfinite(x)) return false;
  if (box <= 0) return true;
  if (x < 0 && x >= -edge_tolerance * box) {
    x += box;
    if (x >= box) x = 0;  // a step below 0 plus the side rounds up to the side
  } else if (x >= box && x <= (1 + edge_tolerance) * box) {
    x -= box;
  }
  return x >= 0 && x < box;
}

// A position as the cut keeps it: rounded to single precision (the density's positions),
// wrapped into the box. The double it returns is exactly the float.
bool kept_position(const double* stored, double box, float* out) {
  for (int a = 0; a < 3; ++a) {
    double x = stored[a];
    if (!wrap(x, box)) return false;
    float f = static_cast<float>(x);
    if (box > 0 && static_cast<double>(f) >= box) f = 0;  // rounded up to the side: the same point
    out[a] = f;
  }
  return true;
}

struct halo {
  std::int64_t id = 0;
  double x[3] = {0, 0, 0};  // snapshot units, in the box
  double reach = 0;         // sources within this of the centre (the cut's radius and a margin)
  bool done = false;
};

// The particles a pass keeps: those within reach of some pending halo's centre.
struct kept_particles {
  std::vector<float> x, y, z, vx, vy, vz, dens;
  std::vector<std::uint64_t> index;                 // among the chosen particles, in reading order
  std::vector<std::vector<std::uint32_t>> members;  // per halo: kept particles, in reading order
};

std::string position_text(const double* p) {
  return "(" + number(p[0]) + ", " + number(p[1]) + ", " + number(p[2]) + ")";
}

// One pass over the snapshot: keeps the particles within reach of the pending halos.
stage_status cut_pass(snapshot_reader& reader, const cut_frame& f, const cut_settings& s, const cut_observer& o,
                      std::vector<halo>& halos, bool keep_densities, int pass, kept_particles& kept) {
  std::vector<centre> centres;
  std::vector<std::size_t> pending;  // the halo of each centre
  for (std::size_t h = 0; h < halos.size(); ++h) {
    if (halos[h].done) continue;
    centres.push_back({{halos[h].x[0], halos[h].x[1], halos[h].x[2]}, halos[h].reach});
    pending.push_back(h);
  }
  const centre_grid grid(centres, f.box);
  kept = {};
  kept.members.resize(halos.size());
  unsigned fields = positions | velocities;
  if (keep_densities) fields |= densities;
  std::uint64_t done = 0;
  std::vector<float> position;      // the chunk's kept positions, 3 per particle
  std::vector<unsigned char> near;  // whether a particle of the chunk is within some reach
  const std::string what = pass == 0 ? "cutting halos" : "cutting halos again, farther out";
  return reader.read(f.types, fields, chunk_particles, [&](const particle_chunk& c) {
    position.resize(3 * c.n);
    near.assign(c.n, 0);
    // Membership on every core; the first bad position of the chunk, in file order.
    std::atomic<std::size_t> first_bad{c.n};
    in_stretches(s.threads, static_cast<std::int64_t>(c.n), [&](std::int64_t first, std::int64_t last) {
      for (auto i = static_cast<std::size_t>(first); i < static_cast<std::size_t>(last); ++i) {
        float* p = &position[3 * i];
        if (!kept_position(&c.pos[3 * i], f.box, p)) {
          for (std::size_t b = first_bad.load(); i < b && !first_bad.compare_exchange_weak(b, i);) {
          }
          return;
        }
        const double q[3] = {p[0], p[1], p[2]};
        grid.near(q, [&](std::size_t, double) { near[i] = 1; });
      }
    });
    if (const std::size_t b = first_bad.load(); b < c.n) {
      const double* p = &c.pos[3 * b];
      const bool finite = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
      return stage_status(bad(f.info.files.front() + ": type " + std::to_string(c.type) + ", particle " +
                              std::to_string(c.first + b) + ": position " + position_text(p) +
                              (finite ? " outside the box [0, " + number(f.box) + ")" : " is not finite")));
    }
    for (std::size_t i = 0; i < c.n; ++i) {
      if (!near[i]) continue;
      const auto k = static_cast<std::uint32_t>(kept.x.size());
      const float* p = &position[3 * i];
      kept.x.push_back(p[0]);
      kept.y.push_back(p[1]);
      kept.z.push_back(p[2]);
      for (int a = 0; a < 3; ++a) {
        // Peculiar velocities, in the snapshot's velocity unit, rounded once.
        const auto v = static_cast<float>(c.vel[3 * i + static_cast<std::size_t>(a)] * f.info.velocity_factor);
        (a == 0 ? kept.vx : a == 1 ? kept.vy : kept.vz).push_back(v);
      }
      if (keep_densities) kept.dens.push_back(static_cast<float>(c.dens[i]));
      kept.index.push_back(done + i);
      const double q[3] = {p[0], p[1], p[2]};
      grid.near(q, [&](std::size_t k_centre, double) { kept.members[pending[k_centre]].push_back(k); });
    }
    if (kept.x.size() >= (std::size_t{1} << 32) - chunk_particles)
      return stage_status(failure{exit_status::memory, "more than 4 billion particles to keep: cut fewer halos"});
    done += c.n;
    if (o.progress) o.progress(what, static_cast<double>(done) / static_cast<double>(f.particles));
    return stage_status();
  });
}

// A particle's offset from a halo's centre, in snapshot units, to the centre's image.
void offset_of(const kept_particles& kept, std::uint32_t k, const halo& h, double box, double* d) {
  d[0] = image_difference(kept.x[k], h.x[0], box);
  d[1] = image_difference(kept.y[k], h.x[1], box);
  d[2] = image_difference(kept.z[k], h.x[2], box);
}

std::string halo_name(const halo& h) { return "halo_" + std::to_string(h.id); }

// Whether a name is a halo file's, as a cut writes them: halo_ID.txt.
bool is_halo_file(const std::string& name) {
  if (!name.starts_with("halo_") || !name.ends_with(".txt") || name.size() <= 9) return false;
  const std::string_view id(name.data() + 5, name.size() - 9);
  const auto digits = id.starts_with('-') ? id.substr(1) : id;
  return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What each written halo holds, for the manifest.
struct written_halo {
  std::int64_t id;
  double x[3];
  std::uint64_t particles;
};

// The halo's file in haloprof's text form: a header with its name and the redshift, then
// one record per particle within the cut's radius, relative to the centre, in haloprof's
// units, each value in the shortest form that reads back to the same float; formatted on
// `threads` threads, in stretches joined in order.
std::string halo_text(const kept_particles& kept, const std::vector<std::uint32_t>& targets,
                      const std::vector<float>& dens, const halo& h, const cut_frame& f, int threads) {
  const std::size_t n = targets.size();
  const std::size_t parts = std::clamp<std::size_t>(n / 16384, 1, static_cast<std::size_t>(std::max(threads, 1)));
  std::vector<std::string> stretch(parts);
  const auto format_part = [&](std::size_t part) {
    std::string& text = stretch[part];
    const std::size_t first = n * part / parts, last = n * (part + 1) / parts;
    text.reserve((last - first) * 80);
    for (std::size_t j = first; j < last; ++j) {
      const std::uint32_t k = targets[j];
      double d[3];
      offset_of(kept, k, h, f.box, d);
      const float values[7] = {static_cast<float>(d[0] * f.scale),
                               static_cast<float>(d[1] * f.scale),
                               static_cast<float>(d[2] * f.scale),
                               kept.vx[k],
                               kept.vy[k],
                               kept.vz[k],
                               dens[j]};
      for (int v = 0; v < 7; ++v) {
        if (v > 0) text += ' ';
        char buf[32];
        text.append(buf, std::to_chars(buf, buf + sizeof buf, values[v]).ptr);
      }
      text += '\n';
    }
  };
  // A helper's want of memory is thrown again on this thread, once the helpers are joined.
  std::atomic<bool> no_memory{false};
  const auto format = [&](std::size_t part) {
    try {
      format_part(part);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  };
  {
    thread_group helpers;
    std::size_t part = 1;
    for (; part < parts; ++part)
      if (!helpers.start([&format, part] { format(part); })) break;
    format(0);
    for (; part < parts; ++part) format(part);  // the parts no thread could take
  }
  if (no_memory) throw std::bad_alloc();
  std::string text = halo_name(h) + " " + shortest(static_cast<float>(f.info.redshift)) + "\n";
  std::size_t size = text.size();
  for (const std::string& part : stretch) size += part.size();
  text.reserve(size);
  for (const std::string& part : stretch) text += part;
  return text;
}

// The halos' densities from their sources, each halo on its own, and their files; a halo
// whose kernels reach beyond its sources gets a farther reach and waits for the next pass.
// The halos done are added to `written`.
stage_status estimate_and_write(const kept_particles& kept, const cut_frame& f, const cut_settings& s,
                                const cut_observer& o, std::vector<halo>& halos, bool densities_known,
                                const std::vector<double>* all_densities, output_files& out,
                                std::vector<written_halo>& written) {
  const double radius = s.radius / f.scale;  // snapshot units
  std::vector<std::size_t> order;
  for (std::size_t h = 0; h < halos.size(); ++h)
    if (!halos[h].done) order.push_back(h);
  // The largest first: they run on every core, the rest one halo per core.
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return kept.members[a].size() > kept.members[b].size(); });
  std::vector<std::uint64_t> counts(halos.size(), 0);
  std::vector<stage_status> results(halos.size());
  std::vector<double> wanted(halos.size(), 0);   // the reach a halo found it needs, 0 when it had it
  std::vector<char> no_memory(halos.size(), 0);  // the halo's work could not have its memory
  const auto work = [&](std::size_t h, int threads) {
    const halo& centre = halos[h];
    const std::vector<std::uint32_t>& members = kept.members[h];
    std::vector<std::uint32_t> targets;
    std::vector<double> distance;
    for (const std::uint32_t k : members) {
      double d[3];
      offset_of(kept, k, centre, f.box, d);
      const double d2 = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
      if (d2 <= radius * radius) {
        targets.push_back(k);
        distance.push_back(std::sqrt(d2));
      }
    }
    if (targets.size() < static_cast<std::size_t>(s.neighbours)) {
      results[h] = bad(halo_name(centre) + ": " + std::to_string(targets.size()) + " particles within " +
                       shown_number(radius) + " of its centre " + position_text(centre.x) +
                       ", fewer than the density's " + std::to_string(s.neighbours) + " neighbours");
      return;
    }
    std::vector<float> dens(targets.size());
    if (densities_known) {
      for (std::size_t j = 0; j < targets.size(); ++j)
        dens[j] = all_densities != nullptr ? static_cast<float>((*all_densities)[kept.index[targets[j]]])
                                           : kept.dens[targets[j]];
    } else {
      std::vector<float> sx(members.size()), sy(members.size()), sz(members.size());
      std::vector<float> tx(targets.size()), ty(targets.size()), tz(targets.size());
      for (std::size_t j = 0; j < members.size(); ++j) {
        sx[j] = kept.x[members[j]];
        sy[j] = kept.y[members[j]];
        sz[j] = kept.z[members[j]];
      }
      for (std::size_t j = 0; j < targets.size(); ++j) {
        tx[j] = kept.x[targets[j]];
        ty[j] = kept.y[targets[j]];
        tz[j] = kept.z[targets[j]];
      }
      density_result r;
      const density_settings ds{
          .neighbours = s.neighbours, .box = f.box, .mean_density = f.mean_density, .threads = threads};
      if (stage_status e = knn_density({sx, sy, sz}, {tx, ty, tz}, ds, r); e.failed()) {
        results[h] = failure{e->status, halo_name(centre) + ": " + e->message};
        return;
      }
      // Every particle a target's kernel reaches must be among the sources.
      double needed = 0;
      for (std::size_t j = 0; j < targets.size(); ++j) needed = std::max(needed, distance[j] + r.reach[j]);
      if (needed > centre.reach * (1 - 1e-9)) {
        wanted[h] = needed * 1.05;
        return;
      }
      for (std::size_t j = 0; j < targets.size(); ++j) dens[j] = static_cast<float>(r.rho[j]);
    }
    counts[h] = targets.size();
    results[h] = out.write(halo_name(centre) + ".txt", halo_text(kept, targets, dens, centre, f, threads));
  };
  // On a helper thread, an exception would end the program: a halo that cannot have its
  // memory fails (its message made once the threads are done, when the memory is back).
  const auto one = [&](std::size_t h, int threads) {
    try {
      work(h, threads);
    } catch (const std::bad_alloc&) {
      no_memory[h] = 1;
    }
  };
  std::size_t next = 0;
  constexpr std::size_t big = std::size_t{1} << 18;  // sources enough to keep every core busy
  for (; next < order.size() && kept.members[order[next]].size() >= big; ++next) one(order[next], s.threads);
  {
    std::atomic<std::size_t> shared{next};
    std::atomic<std::size_t> finished{0};
    std::mutex tell;
    const auto worker = [&] {
      for (std::size_t i; (i = shared.fetch_add(1)) < order.size();) {
        one(order[i], 1);
        const std::size_t n = finished.fetch_add(1) + 1;
        const std::lock_guard hold(tell);
        try {
          if (o.progress) o.progress("densities", static_cast<double>(n) / static_cast<double>(order.size() - next));
        } catch (const std::bad_alloc&) {
          // A progress bar short of memory misses a step; the halos do not.
        }
      }
    };
    thread_group helpers;
    for (int t = 1; t < s.threads; ++t)
      if (!helpers.start(worker)) break;
    worker();
  }
  // In the catalogue's order: the first failure, then the files.
  for (std::size_t h = 0; h < halos.size(); ++h) {
    if (halos[h].done) continue;
    if (no_memory[h])
      return failure{exit_status::memory, halo_name(halos[h]) + ": not enough memory for its " +
                                              std::to_string(kept.members[h].size()) + " particles"};
    if (results[h].failed()) return results[h];
  }
  for (std::size_t h = 0; h < halos.size(); ++h) {
    if (halos[h].done) continue;
    if (wanted[h] > 0) {
      halos[h].reach = wanted[h];
      continue;
    }
    halos[h].done = true;
    written.push_back({halos[h].id, {halos[h].x[0], halos[h].x[1], halos[h].x[2]}, counts[h]});
  }
  return {};
}

// Centres from the catalogue, in snapshot units, in the box.
stage_status catalogue_centres(const cut_settings& s, const cut_frame& f, std::vector<halo>& halos) {
  halo_catalogue cat;
  if (stage_status r = read_catalogue(s.centres, cat); r.failed()) return r;
  // Catalogue length x factor = snapshot length: from the units of both files where the
  // snapshot declares its own (or --length-unit names it) and the catalogue does, else given.
  double factor = s.centres_unit.value_or(1);
  const declared_units& u = f.info.units;
  unit snapshot_length{std::nullopt, u.length_in_cm, u.length_h_exponent};
  if (!snapshot_length.cgs && s.length_unit) snapshot_length = named_unit(quantity::length, *s.length_unit);
  if (cat.length_in_cm && !snapshot_length.cgs && !s.centres_unit)
    return bad(s.centres + ": the catalogue gives its positions in " +
               declared_unit(quantity::length, cat.length_in_cm, cat.length_h_exponent).name.value_or("its unit") +
               " and the snapshot declares no length unit: give --centers-unit (catalogue length x F = snapshot "
               "length) or --length-unit");
  if (cat.length_in_cm && snapshot_length.cgs) {
    const int e_cat = cat.length_h_exponent.value_or(0), e_snap = snapshot_length.h_exponent.value_or(0);
    if (e_cat == e_snap || f.info.hubble) {
      const double h = e_cat == e_snap ? 1 : std::pow(*f.info.hubble, e_cat - e_snap);
      double declared = *cat.length_in_cm / *snapshot_length.cgs * h;
      // Codes round their units (3.086e21 cm for a kpc): a ratio within 0.1% of a power of
      // ten is the power of ten the halo finder applied.
      const double power = std::pow(10.0, std::round(std::log10(declared)));
      if (std::abs(declared / power - 1) < 1e-3) declared = power;
      if (s.centres_unit && std::abs(*s.centres_unit / declared - 1) > 1e-3)
        return bad(s.centres + ": the catalogue's and the snapshot's units give --centers-unit " +
                   shown_number(declared) + ", not " + shown_number(*s.centres_unit));
      factor = declared;
    }
  }
  std::vector<std::int64_t> ids;
  for (std::size_t row = 0; row < cat.halos.size(); ++row) {
    const catalogue_halo& c = cat.halos[row];
    halo h;
    h.id = c.id;
    for (int a = 0; a < 3; ++a) {
      h.x[a] = c.centre[a] * factor;
      if (!wrap(h.x[a], f.box))
        return bad(s.centres + ": halo " + std::to_string(c.id) + " (row " + std::to_string(row) + "): centre " +
                   position_text(c.centre) + (factor == 1 ? "" : " (times " + shown_number(factor) + ")") +
                   " lies outside the box [0, " + shown_number(f.box) + ")" +
                   (s.centres_unit ? "" : ": is the catalogue in another length unit? (--centers-unit)"));
    }
    halos.push_back(h);
    ids.push_back(c.id);
  }
  std::sort(ids.begin(), ids.end());
  if (const auto twice = std::adjacent_find(ids.begin(), ids.end()); twice != ids.end())
    return bad(s.centres + ": halo id " + std::to_string(*twice) + " comes twice: each halo needs a file of its own");
  return {};
}

// Every chosen particle's position and density, for peaks.
struct whole_box {
  std::vector<float> x, y, z;
  std::vector<double> rho;
};

stage_status whole_box_densities(snapshot_reader& reader, const cut_frame& f, const cut_settings& s,
                                 const cut_observer& o, whole_box& all) {
  const std::size_t n = f.particles;
  try {
    all.x.reserve(n);
    all.y.reserve(n);
    all.z.reserve(n);
  } catch (const std::bad_alloc&) {
    return failure{exit_status::memory, "cannot have the memory for every particle's position (" + std::to_string(n) +
                                            " particles), which --peaks needs"};
  }
  std::uint64_t done = 0;
  const bool keep = f.text && s.density.value_or(density_choice::keep) == density_choice::keep;
  if (keep) all.rho.reserve(n);
  const stage_status read =
      reader.read(f.types, positions | (keep ? densities : 0u), chunk_particles, [&](const particle_chunk& c) {
        for (std::size_t i = 0; i < c.n; ++i) {
          float p[3];
          if (!kept_position(&c.pos[3 * i], f.box, p))
            return stage_status(bad(f.info.files.front() + ": type " + std::to_string(c.type) + ", particle " +
                                    std::to_string(c.first + i) + ": position " + position_text(&c.pos[3 * i]) +
                                    " outside the box [0, " + number(f.box) + ") or not finite"));
          all.x.push_back(p[0]);
          all.y.push_back(p[1]);
          all.z.push_back(p[2]);
          if (keep) all.rho.push_back(static_cast<double>(static_cast<float>(c.dens[i])));
        }
        done += c.n;
        if (o.progress) o.progress("reading every particle", static_cast<double>(done) / static_cast<double>(n));
        return stage_status();
      });
  if (read.failed() || keep) return read;
  if (o.notice) o.notice("estimating the density of every particle (" + std::to_string(n) + "), which --peaks needs");
  density_result r;
  const density_settings ds{
      .neighbours = s.neighbours, .box = f.box, .mean_density = f.mean_density, .threads = s.threads};
  if (stage_status e = knn_density({all.x, all.y, all.z}, ds, r); e.failed()) return e;
  all.rho = std::move(r.rho);
  return {};
}

// A cell of a grid over the box, by its numbers along the axes.
struct cell_key {
  std::int64_t i, j, k;
  bool operator==(const cell_key&) const = default;
  struct hash {
    std::size_t operator()(const cell_key& c) const {
      const auto mix = [](std::uint64_t h, std::int64_t v) {
        return (h ^ static_cast<std::uint64_t>(v)) * 0x100000001b3u;
      };
      return static_cast<std::size_t>(mix(mix(mix(0xcbf29ce484222325u, c.i), c.j), c.k));
    }
  };
};

// The `peaks` densest particles, each farther than the separation from every denser one
// chosen: haloprof's own rule, the densest particle, applied to a box of many halos.
stage_status peak_centres(const whole_box& all, const cut_frame& f, const cut_settings& s, std::vector<halo>& halos) {
  std::vector<std::uint32_t> order(all.x.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  // Densest first; among equals the first in the file.
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return all.rho[a] > all.rho[b]; });
  const double apart = s.separation / f.scale;
  // The peaks chosen, by cells at least `apart` wide: a candidate looks at the 27 around its own.
  // Cells are counted in double before they become integers: a separation far below the
  // box, or the positions' spread without one, would count more than an integer holds.
  const std::int64_t cells =
      f.box > 0 ? static_cast<std::int64_t>(std::clamp(std::floor(f.box / apart), 1.0, double{1 << 20})) : 0;
  double width = apart;  // without a box: wide enough that no cell's number reaches 2^40
  if (f.box == 0)
    for (const std::vector<float>* axis : {&all.x, &all.y, &all.z})
      for (const float v : *axis) width = std::max(width, std::fabs(static_cast<double>(v)) * 0x1p-40);
  const auto cell_of = [&](const double* p, int a) {
    return f.box > 0 ? std::min(static_cast<std::int64_t>(p[a] / f.box * static_cast<double>(cells)), cells - 1)
                     : static_cast<std::int64_t>(std::floor(p[a] / width));
  };
  const auto key = [&](std::int64_t i, std::int64_t j, std::int64_t k) {
    if (cells > 0) {
      i = ((i % cells) + cells) % cells;
      j = ((j % cells) + cells) % cells;
      k = ((k % cells) + cells) % cells;
    }
    return cell_key{i, j, k};
  };
  std::unordered_map<cell_key, std::vector<std::size_t>, cell_key::hash> chosen;  // cell -> halos
  for (const std::uint32_t i : order) {
    if (halos.size() == static_cast<std::size_t>(s.peaks)) break;
    if (!(all.rho[i] > 0)) break;
    const double p[3] = {all.x[i], all.y[i], all.z[i]};
    const std::int64_t c[3] = {cell_of(p, 0), cell_of(p, 1), cell_of(p, 2)};
    bool alone = true;
    for (int dz = -1; dz <= 1 && alone; ++dz)
      for (int dy = -1; dy <= 1 && alone; ++dy)
        for (int dx = -1; dx <= 1 && alone; ++dx) {
          const auto found = chosen.find(key(c[0] + dx, c[1] + dy, c[2] + dz));
          if (found == chosen.end()) continue;
          for (const std::size_t h : found->second) {
            const double ex = image_difference(p[0], halos[h].x[0], f.box),
                         ey = image_difference(p[1], halos[h].x[1], f.box),
                         ez = image_difference(p[2], halos[h].x[2], f.box);
            if ((ex * ex + ey * ey) + ez * ez <= apart * apart) alone = false;
          }
        }
    if (!alone) continue;
    chosen[key(c[0], c[1], c[2])].push_back(halos.size());
    halo h;
    h.id = static_cast<std::int64_t>(halos.size());
    std::copy(p, p + 3, h.x);
    halos.push_back(h);
  }
  if (halos.empty()) return bad(f.info.files.front() + ": no particle of positive density to centre a halo on");
  return {};
}

// JSON of a double: its shortest form, null for a value that is not finite.
std::string json_number(std::optional<double> v) {
  if (!v || !std::isfinite(*v)) return "null";
  return number(*v);
}

// The length of the well-formed UTF-8 sequence at s[i], 0 where there is none (a byte of
// another encoding, an overlong form, a surrogate, a value past U+10FFFF).
std::size_t utf8_length(const std::string& s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  const std::size_t n = c < 0x80                 ? 1
                        : c >= 0xc2 && c <= 0xdf ? 2
                        : c >= 0xe0 && c <= 0xef ? 3
                        : c >= 0xf0 && c <= 0xf4 ? 4
                                                 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xc0) != 0x80) return 0;
  if ((c == 0xe0 && b(i + 1) < 0xa0) || (c == 0xed && b(i + 1) > 0x9f) || (c == 0xf0 && b(i + 1) < 0x90) ||
      (c == 0xf4 && b(i + 1) > 0x8f))
    return 0;
  return n;
}

// A JSON string, which is UTF-8: a byte that is not part of a UTF-8 character (a file name
// in Latin-1) becomes U+FFFD, so that every reader of the manifest can parse it.
std::string json_string(const std::optional<std::string>& s) {
  if (!s) return "null";
  std::string out = "\"";
  for (std::size_t i = 0; i < s->size();) {
    const char ch = (*s)[i];
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      constexpr char hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else if (const std::size_t n = utf8_length(*s, i); n > 1) {
      out.append(*s, i, n);
      i += n;
      continue;
    } else if (n == 0) {
      out += "\\ufffd";
    } else {
      out += ch;
    }
    ++i;
  }
  return out + "\"";
}

std::string json_int(std::optional<int> v) { return v ? std::to_string(*v) : "null"; }

unit chosen_unit(quantity q, const std::optional<std::string>& given, std::optional<double> cgs,
                 std::optional<int> h_exponent) {
  if (cgs) return declared_unit(q, cgs, h_exponent);
  if (given) return named_unit(q, *given);
  return {};
}

std::string manifest_text(const cut_settings& s, const cut_frame& f, const std::vector<written_halo>& written) {
  const declared_units& u = f.info.units;
  const unit length = chosen_unit(quantity::length, s.length_unit, u.length_in_cm, u.length_h_exponent);
  const unit mass = chosen_unit(quantity::mass, s.mass_unit, u.mass_in_g, u.mass_h_exponent);
  const unit velocity = chosen_unit(quantity::velocity, s.velocity_unit, u.velocity_in_cm_per_s, 0);
  std::string j = "{\n";
  j += "  \"snapshot\": " + json_string(s.snapshot) + ",\n";
  j += "  \"format\": " + json_string(f.info.format) + ",\n";
  j += "  \"redshift\": " + json_number(f.info.redshift) + ",\n";
  j += "  \"scale_factor\": " + (f.info.cosmological ? json_number(f.info.time) : std::string("null")) + ",\n";
  j += "  \"box\": " + (f.box > 0 ? json_number(f.box) : std::string("null")) + ",\n";
  j += "  \"hubble\": " + (f.info.hubble ? json_number(*f.info.hubble) : std::string("null")) + ",\n";
  j += "  \"mean_density\": " + json_number(f.mean_density) + ",\n";
  j += "  \"units\": {\"length\": " + json_number(1 / f.scale) +
       ", \"mass\": " + json_number(f.particle_mass / haloprof_mass) + ",\n";
  j += "            \"length_unit\": " + json_string(length.name) + ", \"mass_unit\": " + json_string(mass.name) +
       ", \"velocity_unit\": " + json_string(velocity.name) + ",\n";
  j += "            \"length_in_cm\": " + json_number(length.cgs) + ", \"mass_in_g\": " + json_number(mass.cgs) +
       ", \"velocity_in_cm_per_s\": " + json_number(velocity.cgs) + ",\n";
  j += "            \"length_h_exponent\": " + json_int(length.h_exponent) +
       ", \"mass_h_exponent\": " + json_int(mass.h_exponent) + "},\n";
  j += "  \"halos\": [";
  const double radius = s.radius / f.scale;
  for (std::size_t k = 0; k < written.size(); ++k) {
    const written_halo& h = written[k];
    j += k == 0 ? "\n" : ",\n";
    j += "    {\"id\": " + std::to_string(h.id) +
         ", \"file\": " + json_string("halo_" + std::to_string(h.id) + ".txt") + ", \"center\": [" +
         json_number(h.x[0]) + ", " + json_number(h.x[1]) + ", " + json_number(h.x[2]) +
         "], \"radius\": " + json_number(radius) + ", \"particles\": " + std::to_string(h.particles) + "}";
  }
  j += written.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return j;
}

}  // namespace

stage_status cut_halos(const cut_settings& s, const cut_observer& o) {
  std::unique_ptr<snapshot_reader> reader;
  if (stage_status r = open_snapshot(s.snapshot, reader, s.threads); r.failed()) return r;
  cut_frame f;
  if (stage_status r = make_frame(*reader, s, o, f); r.failed()) return r;
  const density_choice density = s.density.value_or(f.text ? density_choice::keep : density_choice::knn);
  if (density == density_choice::keep && !f.text)
    return bad(s.snapshot + ": the snapshot carries no densities to keep (" + f.info.format + "): use --density knn");
  const double radius = s.radius / f.scale;
  if (f.box > 0 && radius > 0.5 * f.box)
    return bad("--radius " + shown_number(s.radius) + " is " + shown_number(radius) +
               " in the snapshot's length unit, more than half the box's side (" + shown_number(0.5 * f.box) + ")");

  std::vector<halo> halos;
  whole_box all;
  if (s.peaks > 0) {
    if (stage_status r = whole_box_densities(*reader, f, s, o, all); r.failed()) return r;
    if (stage_status r = peak_centres(all, f, s, halos); r.failed()) return r;
  } else if (stage_status r = catalogue_centres(s, f, halos); r.failed()) {
    return r;
  }
  // The first reach: the cut's radius and twice the distance to the k-th neighbour at the
  // mean density (a kernel's reach outside a halo), grown while kernels reach farther.
  const double mean_reach = std::cbrt(3.0 * s.neighbours / (4.0 * std::numbers::pi * f.mean_density));
  const bool densities_known = s.peaks > 0 || density == density_choice::keep;
  for (halo& h : halos) h.reach = densities_known ? radius : radius + 2 * mean_reach;

  output_files out;
  if (stage_status r = out.open(s.output); r.failed()) return r;
  std::vector<written_halo> written;
  for (int pass = 0; std::any_of(halos.begin(), halos.end(), [](const halo& h) { return !h.done; }); ++pass) {
    if (pass == 8) {
      const auto far = std::find_if(halos.begin(), halos.end(), [](const halo& h) { return !h.done; });
      return failure{exit_status::internal, halo_name(*far) + ": its densities' kernels still reached beyond " +
                                                shown_number(far->reach) + " of its centre after 8 reads"};
    }
    kept_particles kept;
    const bool keep = density == density_choice::keep && s.peaks == 0;
    if (stage_status r = cut_pass(*reader, f, s, o, halos, keep, pass, kept); r.failed()) return r;
    if (stage_status r =
            estimate_and_write(kept, f, s, o, halos, densities_known, s.peaks > 0 ? &all.rho : nullptr, out, written);
        r.failed())
      return r;
  }
  // In the catalogue's order.
  std::unordered_map<std::int64_t, const written_halo*> by_id;
  for (const written_halo& w : written) by_id[w.id] = &w;
  std::vector<written_halo> ordered;
  for (const halo& h : halos) ordered.push_back(*by_id.at(h.id));
  if (stage_status r = out.write("halos.json", manifest_text(s, f, ordered)); r.failed()) return r;
  if (stage_status r = out.commit(is_halo_file); r.failed()) return r;
  if (o.line)
    for (const written_halo& w : ordered)
      o.line("halo_" + std::to_string(w.id) + ".txt: " + std::to_string(w.particles) + " particles within " +
             shown_number(radius) + " of " + position_text(w.x));
  return {};
}

}  // namespace haloprof
