// HDF5 snapshots as Gadget-4, AREPO, GIZMO and SWIFT write them: a /Header group of
// attributes, and a group /PartTypeT per particle type holding Coordinates, Velocities,
// Masses and ParticleIDs, one row per particle; a snapshot of several files numbers them
// NAME.0.hdf5, NAME.1.hdf5, ... and each file's header counts its own particles.
//
// Every member's header is read and checked when the snapshot is opened (the totals, the
// file count, the time, the box and the mass table must agree; each counted type must have
// datasets of as many rows), so that read() meets no surprise it could have seen at once.
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <optional>

#include "snapshot/formats.h"
#include "snapshot/hdf5_io.h"

namespace haloprof {
namespace {

// Rows read from a dataset at a time: 3 MiB of double positions, enough to keep the
// library's per-call cost out of sight and small enough to stay in the cache levels.
constexpr hsize_t piece_rows = hsize_t{1} << 17;

enum class layout { gadget4, arepo, gizmo, swift };

const char* layout_name(layout l) {
  switch (l) {
    case layout::gadget4:
      return "HDF5, Gadget-4 layout";
    case layout::arepo:
      return "HDF5, AREPO layout";
    case layout::gizmo:
      return "HDF5, GIZMO layout";
    case layout::swift:
      return "HDF5, SWIFT layout";
  }
  return "HDF5";
}

using type_counts = std::array<std::uint64_t, particle_types>;

// What one member's /Header says, the totals with their high words added.
struct header_facts {
  type_counts this_file{}, total{};
  std::array<double, particle_types> mass_table{};
  std::int64_t files = 1;
  double time = 0, redshift = 0, box = 0;
  bool high_words = false;             // NumPart_Total_HighWord present (AREPO, GIZMO, SWIFT)
  std::optional<double> scale_factor;  // SWIFT's, beside its Time (the cosmic time)
};

failure bad(const std::string& message) { return failure{exit_status::bad_snapshot, message}; }

std::string type_group(int t) { return "/PartType" + std::to_string(t); }

// A per-type list of counts: at most one entry per type, none negative.
stage_status read_counts(const hdf5_object& header, const char* name, bool required, type_counts& out, bool& present) {
  std::vector<std::int64_t> v;
  if (stage_status s = read_numbers(header, name, v, required); s.failed()) return s;
  present = !v.empty();
  out.fill(0);
  if (v.size() > out.size())
    return bad(header.where() + ": attribute " + name + ": expected at most " + std::to_string(particle_types) +
               " values (one per particle type), found " + std::to_string(v.size()));
  for (std::size_t t = 0; t < v.size(); ++t) {
    if (v[t] < 0)
      return bad(header.where() + ": attribute " + name + ": type " + std::to_string(t) + " has " +
                 std::to_string(v[t]) + " particles");
    out[t] = static_cast<std::uint64_t>(v[t]);
  }
  return {};
}

stage_status read_header(const hdf5_file& file, header_facts& h) {
  const hdf5_object header = open_object(file, "/Header");
  if (!header) return bad(file.name + ": no /Header group: not a snapshot of a known HDF5 layout");
  bool present = false;
  type_counts high{};
  if (stage_status s = read_counts(header, "NumPart_ThisFile", true, h.this_file, present); s.failed()) return s;
  if (stage_status s = read_counts(header, "NumPart_Total", true, h.total, present); s.failed()) return s;
  if (stage_status s = read_counts(header, "NumPart_Total_HighWord", false, high, h.high_words); s.failed()) return s;
  for (int t = 0; t < particle_types; ++t) {
    if (high[t] >= (std::uint64_t{1} << 32))
      return bad(header.where() + ": attribute NumPart_Total_HighWord: type " + std::to_string(t) + " has " +
                 std::to_string(high[t]) + ", beyond 32 bits");
    // A total that needs more than 32 bits is a 64-bit total already, with no high word.
    if (h.total[t] < (std::uint64_t{1} << 32)) h.total[t] += high[t] << 32;
  }

  std::vector<double> masses, box;
  if (stage_status s = read_numbers(header, "MassTable", masses, true); s.failed()) return s;
  if (masses.size() > h.mass_table.size())
    return bad(header.where() + ": attribute MassTable: expected at most " + std::to_string(particle_types) +
               " values (one per particle type), found " + std::to_string(masses.size()));
  h.mass_table.fill(0);
  std::copy(masses.begin(), masses.end(), h.mass_table.begin());
  for (std::size_t t = 0; t < masses.size(); ++t)
    if (!(masses[t] >= 0) || !std::isfinite(masses[t]))
      return bad(header.where() + ": attribute MassTable: type " + std::to_string(t) + " has the mass " +
                 number_text(masses[t]) + ", expected 0 (a Masses dataset) or a positive mass");

  std::optional<double> time, redshift;
  std::optional<std::int64_t> files;
  if (stage_status s = read_number(header, "Time", time, true); s.failed()) return s;
  if (stage_status s = read_number(header, "Redshift", redshift, true); s.failed()) return s;
  if (stage_status s = read_number(header, "NumFilesPerSnapshot", files, true); s.failed()) return s;
  if (stage_status s = read_number(header, "Scale-factor", h.scale_factor, false); s.failed()) return s;
  if (stage_status s = read_numbers(header, "BoxSize", box, true); s.failed()) return s;
  h.time = *time;
  h.redshift = *redshift;
  h.files = std::max<std::int64_t>(*files, 1);  // some writers leave 0 in a single file
  if (*files < 0)
    return bad(header.where() + ": attribute NumFilesPerSnapshot: expected 1 or more, found " + std::to_string(*files));
  if (box.size() != 1 && box.size() != 3)
    return bad(header.where() + ": attribute BoxSize: expected one value or three, found " +
               std::to_string(box.size()));
  if (box.size() == 3 && (box[0] != box[1] || box[0] != box[2]))
    return bad(header.where() + ": attribute BoxSize: the sides " + number_text(box[0]) + ", " + number_text(box[1]) +
               " and " + number_text(box[2]) + " differ: expected a cubic box");
  h.box = box[0];
  if (!(h.box >= 0) || !std::isfinite(h.box))
    return bad(header.where() + ": attribute BoxSize: expected a side of 0 or more, found " + number_text(h.box));
  if (!std::isfinite(h.time) || !std::isfinite(h.redshift))
    return bad(header.where() + ": Time " + number_text(h.time) + " and Redshift " + number_text(h.redshift) +
               ": expected finite values");
  return {};
}

// How a member's header differs from that of the file the snapshot was opened by, "" when
// it agrees; PATH stands for that file's name.
std::string disagreement(const header_facts& h, const header_facts& first) {
  for (int t = 0; t < particle_types; ++t) {
    if (h.total[t] != first.total[t])
      return "NumPart_Total counts " + std::to_string(h.total[t]) + " particles of type " + std::to_string(t) +
             " where PATH counts " + std::to_string(first.total[t]);
    if (h.mass_table[t] != first.mass_table[t])
      return "MassTable gives type " + std::to_string(t) + " the mass " + number_text(h.mass_table[t]) +
             " where PATH gives " + number_text(first.mass_table[t]);
  }
  if (h.files != first.files)
    return "NumFilesPerSnapshot is " + std::to_string(h.files) + " where PATH says " + std::to_string(first.files);
  if (h.time != first.time) return "Time is " + number_text(h.time) + " where PATH has " + number_text(first.time);
  if (h.box != first.box) return "BoxSize is " + number_text(h.box) + " where PATH has " + number_text(first.box);
  return {};
}

// The per-dataset facts of the scaling attributes, from the first dataset that has them.
struct scaling_facts {
  std::optional<double> velocity_a;  // Velocities: stored = peculiar / a^velocity_a
  std::string velocity_a_from;       // where it was found, for a disagreement's message
  std::string velocity_a_file;       // in which member
  std::optional<double> length_h, mass_h;
  std::optional<double> length_cgs, mass_cgs, velocity_cgs;  // Gadget-4's and AREPO's to_cgs
};

// Checks that `d` has `rows` rows of `width` (a list when width is 1).
stage_status check_rows(const hdf5_object& d, const dataset_shape& shape, std::uint64_t rows, hsize_t width) {
  const bool fits = shape.rows == rows && (width == 1 ? shape.rank == 1 : shape.rank == 2 && shape.width == width);
  if (fits) return {};
  const std::string expected =
      width == 1 ? std::to_string(rows) + " values" : std::to_string(rows) + " rows of " + std::to_string(width);
  const std::string found = shape.rank == 1 ? std::to_string(shape.rows) + " values"
                                            : std::to_string(shape.rows) + " rows of " + std::to_string(shape.width);
  return bad(d.where() + ": expected " + expected + " (NumPart_ThisFile), found " + found);
}

stage_status read_scaling(const hdf5_object& d, const char* attribute, std::optional<double>& into) {
  if (into.has_value()) return {};
  return read_number(d, attribute, into, false);
}

// Checks every counted type's datasets of one member and gathers their scaling attributes.
stage_status check_datasets(const hdf5_file& file, const header_facts& h, bool swift, scaling_facts& scaling) {
  const char* a_name = swift ? "a-scale exponent" : "a_scaling";
  const char* h_name = swift ? "h-scale exponent" : "h_scaling";
  for (int t = 0; t < particle_types; ++t) {
    const std::uint64_t n = h.this_file[t];
    if (n == 0) continue;
    const std::string group = type_group(t);
    hdf5_object d;
    dataset_shape shape;
    if (stage_status s = open_rows(file, group + "/Coordinates", false, d, shape); s.failed()) return s;
    if (!d)
      return bad(file.name + ": /Header NumPart_ThisFile counts " + std::to_string(n) + " particles of type " +
                 std::to_string(t) + ", but there is no " + group + "/Coordinates");
    if (stage_status s = check_rows(d, shape, n, 3); s.failed()) return s;
    if (stage_status s = read_scaling(d, h_name, scaling.length_h); s.failed()) return s;
    if (!swift)
      if (stage_status s = read_scaling(d, "to_cgs", scaling.length_cgs); s.failed()) return s;

    if (stage_status s = open_rows(file, group + "/Velocities", false, d, shape); s.failed()) return s;
    if (d) {
      if (stage_status s = check_rows(d, shape, n, 3); s.failed()) return s;
      std::optional<double> a;
      if (stage_status s = read_number(d, a_name, a, false); s.failed()) return s;
      if (a && !std::isfinite(*a))
        return bad(d.where() + ": attribute " + a_name + " is " + number_text(*a) + ", expected a finite power");
      if (a && scaling.velocity_a && *a != *scaling.velocity_a)
        return bad(d.where() + ": attribute " + a_name + " is " + number_text(*a) + " where " +
                   scaling.velocity_a_from + " has " + number_text(*scaling.velocity_a) +
                   ": the types' velocities are stored differently");
      if (a && !scaling.velocity_a) {
        scaling.velocity_a = a;
        scaling.velocity_a_from = d.path;
        scaling.velocity_a_file = file.name;
      }
      if (!swift)
        if (stage_status s = read_scaling(d, "to_cgs", scaling.velocity_cgs); s.failed()) return s;
    }

    if (stage_status s = open_rows(file, group + "/Masses", false, d, shape); s.failed()) return s;
    if (d) {
      if (stage_status s = check_rows(d, shape, n, 1); s.failed()) return s;
      if (stage_status s = read_scaling(d, h_name, scaling.mass_h); s.failed()) return s;
      if (!swift)
        if (stage_status s = read_scaling(d, "to_cgs", scaling.mass_cgs); s.failed()) return s;
    }
    if (stage_status s = open_rows(file, group + "/ParticleIDs", false, d, shape); s.failed()) return s;
    if (d)
      if (stage_status s = check_rows(d, shape, n, 1); s.failed()) return s;
  }
  return {};
}

// A unit in cgs from the first of the groups that declares it; nullopt when none does
// (or declares nothing usable: a unit is positive and finite).
stage_status declared_unit(const hdf5_file& file, std::initializer_list<const char*> groups, const char* name,
                           std::optional<double>& unit) {
  unit.reset();
  for (const char* g : groups) {
    const hdf5_object group = open_object(file, g);
    if (!group || !has_attribute(group, name)) continue;
    if (stage_status s = read_number(group, name, unit, true); s.failed()) return s;
    if (!(*unit > 0) || !std::isfinite(*unit)) unit.reset();
    return {};
  }
  return {};
}

std::optional<int> whole_exponent(const std::optional<double>& e) {
  if (!e || *e != std::round(*e) || std::fabs(*e) > 100) return std::nullopt;
  return static_cast<int>(*e);
}

// A flag such as ComovingIntegrationOn from the first group that has it.
stage_status declared_flag(const hdf5_file& file, std::initializer_list<const char*> groups, const char* name,
                           std::optional<bool>& flag) {
  flag.reset();
  for (const char* g : groups) {
    const hdf5_object group = open_object(file, g);
    if (!group || !has_attribute(group, name)) continue;
    std::optional<double> v;
    if (stage_status s = read_number(group, name, v, true); s.failed()) return s;
    flag = *v != 0;
    return {};
  }
  return {};
}

// What a file declares of its cosmology and units beside the header's counts.
struct declarations {
  std::optional<bool> cosmological;  // the file's own flag, where it has one
  double a = 0;                      // the scale factor, if the run is cosmological
  bool periodic = true;
  std::optional<double> length, mass, velocity, hubble;
};

// SWIFT's: /Cosmology (or /Policy), /RuntimePars and /Units, else the parameter file's
// values, which SWIFT copies into /Parameters as text.
stage_status swift_declarations(const hdf5_file& file, const header_facts& first, declarations& d) {
  if (stage_status s = declared_flag(file, {"/Cosmology"}, "Cosmological run", d.cosmological); s.failed()) return s;
  if (!d.cosmological)
    if (stage_status s = declared_flag(file, {"/Policy"}, "cosmological integration", d.cosmological); s.failed())
      return s;
  d.a = first.scale_factor.value_or(first.time);  // SWIFT's Time is the cosmic time
  std::optional<bool> periodic;
  if (stage_status s = declared_flag(file, {"/RuntimePars"}, "PeriodicBoundariesOn", periodic); s.failed()) return s;
  d.periodic = periodic.value_or(true);
  std::optional<double> time;
  if (stage_status s = declared_unit(file, {"/Units"}, "Unit length in cgs (U_L)", d.length); s.failed()) return s;
  if (stage_status s = declared_unit(file, {"/Units"}, "Unit mass in cgs (U_M)", d.mass); s.failed()) return s;
  if (stage_status s = declared_unit(file, {"/Units"}, "Unit time in cgs (U_t)", time); s.failed()) return s;
  if (d.length && time) d.velocity = *d.length / *time;
  if (stage_status s = declared_unit(file, {"/Cosmology"}, "h", d.hubble); s.failed()) return s;
  const auto parameter = [&](const char* name, std::optional<double>& v) {
    return v ? stage_status() : declared_unit(file, {"/Parameters"}, name, v);
  };
  if (stage_status s = parameter("InternalUnitSystem:UnitLength_in_cgs", d.length); s.failed()) return s;
  if (stage_status s = parameter("InternalUnitSystem:UnitMass_in_cgs", d.mass); s.failed()) return s;
  if (stage_status s = parameter("InternalUnitSystem:UnitVelocity_in_cgs", d.velocity); s.failed()) return s;
  return parameter("Cosmology:h", d.hubble);
}

// Gadget-4's in /Parameters, AREPO's in /Header or /Parameters, else the datasets' to_cgs.
stage_status gadget_declarations(const hdf5_file& file, const header_facts& first, const scaling_facts& scaling,
                                 declarations& d) {
  const std::initializer_list<const char*> groups = {"/Parameters", "/Header"};
  if (stage_status s = declared_flag(file, groups, "ComovingIntegrationOn", d.cosmological); s.failed()) return s;
  d.a = first.time;
  if (stage_status s = declared_unit(file, groups, "UnitLength_in_cm", d.length); s.failed()) return s;
  if (stage_status s = declared_unit(file, groups, "UnitMass_in_g", d.mass); s.failed()) return s;
  if (stage_status s = declared_unit(file, groups, "UnitVelocity_in_cm_per_s", d.velocity); s.failed()) return s;
  if (stage_status s = declared_unit(file, {"/Header", "/Parameters"}, "HubbleParam", d.hubble); s.failed()) return s;
  // A unit is positive and finite; a dataset's to_cgs that is not declares nothing.
  const auto usable = [](std::optional<double> u) { return u && *u > 0 && std::isfinite(*u) ? u : std::nullopt; };
  if (!d.length) d.length = usable(scaling.length_cgs);
  if (!d.mass) d.mass = usable(scaling.mass_cgs);
  if (!d.velocity) d.velocity = usable(scaling.velocity_cgs);
  return {};
}

class hdf5_snapshot final : public snapshot_reader {
 public:
  hdf5_snapshot(snapshot_info info, std::vector<type_counts> per_file, std::vector<std::uint64_t> sizes)
      : info_(std::move(info)), per_file_(std::move(per_file)), sizes_(std::move(sizes)) {}
  const snapshot_info& info() const override { return info_; }
  stage_status read(unsigned types, unsigned fields, std::size_t chunk, const chunk_sink& use) override;

 private:
  stage_status read_type(const hdf5_file& file, int t, std::uint64_t n, std::uint64_t first, unsigned fields,
                         hsize_t piece, const chunk_sink& use);

  snapshot_info info_;
  std::vector<type_counts> per_file_;  // NumPart_ThisFile of each member
  std::vector<std::uint64_t> sizes_;   // each member's bytes when the snapshot was opened
  // Buffers of one piece each, kept across calls.
  std::vector<double> pos_, vel_, mass_;
  std::vector<std::uint64_t> id_;
  std::vector<float> staging_;
};

stage_status hdf5_snapshot::read(unsigned types, unsigned fields, std::size_t chunk, const chunk_sink& use) {
  quiet_hdf5();
  const auto wanted = [&](int t) { return (types >> t & 1u) != 0; };
  std::uint64_t most = 0;
  for (const type_counts& c : per_file_)
    for (int t = 0; t < particle_types; ++t)
      if (wanted(t)) most = std::max(most, c[t]);
  const hsize_t piece = std::min<hsize_t>({std::max<std::size_t>(chunk, 1), piece_rows, most});
  bool per_particle_masses = false;
  for (int t = 0; t < particle_types; ++t) per_particle_masses |= wanted(t) && info_.mass_table[t] == 0;
  const std::size_t p = static_cast<std::size_t>(piece);
  pos_.resize(fields & positions ? 3 * p : 0);
  vel_.resize(fields & velocities ? 3 * p : 0);
  mass_.resize(fields & masses && per_particle_masses ? p : 0);
  id_.resize(fields & ids ? p : 0);

  type_counts first{};
  for (std::size_t k = 0; k < per_file_.size(); ++k) {
    hdf5_file file;
    // Before the library reads it: a file cut since would look damaged to it.
    struct stat st {};
    if (::stat(info_.files[k].c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) != sizes_[k])
      return failure{exit_status::snapshot_changed, info_.files[k] +
                                                        ": changed since it was opened: " + std::to_string(sizes_[k]) +
                                                        " bytes then, " + std::to_string(st.st_size) + " now"};
    if (stage_status s = open_hdf5_file(info_.files[k], file); s.failed()) return s;
    for (int t = 0; t < particle_types; ++t) {
      const std::uint64_t n = per_file_[k][t];
      if (n > 0 && wanted(t))
        if (stage_status s = read_type(file, t, n, first[t], fields, piece, use); s.failed()) return s;
      first[t] += n;
    }
  }
  return {};
}

stage_status hdf5_snapshot::read_type(const hdf5_file& file, int t, std::uint64_t n, std::uint64_t first,
                                      unsigned fields, hsize_t piece, const chunk_sink& use) {
  const std::string group = type_group(t);
  const bool own_masses = (fields & masses) && info_.mass_table[t] == 0;
  struct field {
    const char* name;
    bool wanted;
    hsize_t width;
    hdf5_object d;
    dataset_shape shape;
  } f[4] = {{"Coordinates", (fields & positions) != 0, 3, {}, {}},
            {"Velocities", (fields & velocities) != 0, 3, {}, {}},
            {"Masses", own_masses, 1, {}, {}},
            {"ParticleIDs", (fields & ids) != 0, 1, {}, {}}};
  for (field& x : f) {
    if (!x.wanted) continue;
    if (stage_status s = open_rows(file, group + "/" + x.name, false, x.d, x.shape); s.failed()) return s;
    if (!x.d) {
      if (&x == &f[2])
        return bad(file.name + ": " + group + " has no Masses, and MassTable gives type " + std::to_string(t) +
                   " no mass");
      return bad(file.name + ": no dataset " + group + "/" + x.name);
    }
    if (stage_status s = check_rows(x.d, x.shape, n, x.width); s.failed()) return s;
  }
  // Pieces that end on the storage chunks of the positions, where they are chunked.
  const hsize_t c = f[0].shape.chunk_rows;
  const hsize_t step = c > 0 && piece > c ? piece - piece % c : piece;
  // A read that fails on a file cut since it was opened: the cut is the news.
  const auto unless_changed = [&](const stage_status& s) {
    stage_status changed = check_unchanged(file);
    return changed.failed() ? changed : s;
  };
  for (std::uint64_t at = 0; at < n; at += step) {
    const hsize_t m = std::min<hsize_t>(step, n - at);
    const std::size_t mm = static_cast<std::size_t>(m);
    particle_chunk chunk;
    chunk.type = t;
    chunk.first = first + at;
    chunk.n = mm;
    if (f[0].wanted) {
      if (stage_status s = read_rows(f[0].d, f[0].shape, at, m, pos_.data(), staging_); s.failed())
        return unless_changed(s);
      chunk.pos = {pos_.data(), 3 * mm};
    }
    if (f[1].wanted) {
      if (stage_status s = read_rows(f[1].d, f[1].shape, at, m, vel_.data(), staging_); s.failed())
        return unless_changed(s);
      chunk.vel = {vel_.data(), 3 * mm};
    }
    if (f[2].wanted) {
      if (stage_status s = read_rows(f[2].d, f[2].shape, at, m, mass_.data(), staging_); s.failed())
        return unless_changed(s);
      chunk.mass = {mass_.data(), mm};
    }
    if (f[3].wanted) {
      if (stage_status s = read_rows(f[3].d, f[3].shape, at, m, id_.data()); s.failed()) return unless_changed(s);
      chunk.id = {id_.data(), mm};
    }
    // What was read came from the file as it was opened, not from the bytes it lost since.
    if (stage_status s = check_unchanged(file); s.failed()) return s;
    if (stage_status s = use(chunk); s.failed()) return s;
  }
  return {};
}

// Whether a time and redshift look like a cosmological run's scale factor, for files that
// carry no flag: a in (0, 1] with 1 + z = 1/a.
bool looks_cosmological(double a, double z) { return a > 0 && a <= 1 && std::fabs((1 + z) * a - 1) <= 1e-5; }

}  // namespace

stage_status open_hdf5_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader) {
  hdf5_file file;
  if (stage_status s = open_hdf5_file(path, file); s.failed()) return s;
  header_facts first;
  if (stage_status s = read_header(file, first); s.failed()) return s;
  std::optional<std::string> code;
  if (stage_status s = read_text(open_object(file, "/Header"), "Code", code); s.failed()) return s;
  const bool swift = code && code->rfind("SWIFT", 0) == 0;

  // Every member, the file given included (which need not be number 0), in order.
  snapshot_info info;
  std::vector<type_counts> per_file;
  std::vector<std::uint64_t> sizes;
  scaling_facts scaling;
  for (std::int64_t k = 0; k < first.files; ++k) {
    const std::optional<std::string> name = first.files == 1 ? path : member_name(path, k);
    if (!name)
      return bad(path + ": /Header NumFilesPerSnapshot is " + std::to_string(first.files) +
                 ", but the name has no file number to count the others from (expected NAME.0.hdf5)");
    if (::access(name->c_str(), F_OK) != 0 && errno == ENOENT)
      return bad(*name + ": missing: the snapshot of " + path + " has " + std::to_string(first.files) +
                 " files (/Header NumFilesPerSnapshot)");
    hdf5_file member;
    if (stage_status s = open_hdf5_file(*name, member); s.failed()) return s;
    header_facts h;
    if (stage_status s = read_header(member, h); s.failed()) return s;
    if (std::string d = disagreement(h, first); !d.empty())
      return bad(*name + ": /Header " + d.replace(d.find("PATH"), 4, path) + ": a file of another snapshot");
    if (stage_status s = check_datasets(member, h, swift, scaling); s.failed()) return s;
    per_file.push_back(h.this_file);
    sizes.push_back(member.size);
    info.files.push_back(*name);
  }

  // The totals: what the files hold, except where a single file's writer left them at 0.
  type_counts held{};
  for (const type_counts& c : per_file)
    for (int t = 0; t < particle_types; ++t) held[t] += c[t];
  const bool sloppy =
      first.files == 1 && std::all_of(first.total.begin(), first.total.end(), [](auto n) { return n == 0; });
  for (int t = 0; t < particle_types && !sloppy; ++t)
    if (held[t] != first.total[t])
      return bad(
          path + ": /Header NumPart_Total counts " + std::to_string(first.total[t]) + " particles of type " +
          std::to_string(t) + ", but " +
          (first.files == 1 ? std::string("the file holds ") : "the " + std::to_string(first.files) + " files hold ") +
          std::to_string(held[t]) + " (NumPart_ThisFile)");

  declarations d;
  if (stage_status s = swift ? swift_declarations(file, first, d) : gadget_declarations(file, first, scaling, d);
      s.failed())
    return s;
  // The layout, by what the file says: SWIFT names itself; Gadget-4 writes 64-bit totals and
  // no high words; AREPO declares its units, GIZMO (like the older codes) does not.
  const layout l = swift                                                    ? layout::swift
                   : !first.high_words                                      ? layout::gadget4
                   : d.length || d.mass || d.velocity || scaling.velocity_a ? layout::arepo
                                                                            : layout::gizmo;
  info.format = layout_name(l);
  info.count = held;
  info.mass_table = first.mass_table;
  info.redshift = first.redshift;
  info.box = d.periodic ? first.box : 0;
  info.time = first.time;
  // Cosmology from the file's own flag where it has one, else from its time and redshift.
  info.cosmological = d.cosmological.value_or(looks_cosmological(d.a, first.redshift));
  if (info.cosmological) {
    if (!(d.a > 0))
      return bad(path + ": /Header: a cosmological run with the scale factor " + number_text(d.a) +
                 ": expected a value above 0");
    info.time = d.a;
  }
  info.hubble = d.hubble;
  // Velocities as stored times a^exponent are peculiar; Gadget-like codes that say nothing
  // store u = v / sqrt(a), SWIFT peculiar velocities. Outside cosmology no factor applies
  // (a "time" of 0 must not zero them).
  const double exponent = scaling.velocity_a.value_or(swift ? 0.0 : 0.5);
  if (info.cosmological) info.velocity_factor = exponent == 0.5 ? std::sqrt(d.a) : std::pow(d.a, exponent);
  if (!(info.velocity_factor > 0) || !std::isfinite(info.velocity_factor))
    return bad(scaling.velocity_a_file + ": " + scaling.velocity_a_from + ": attribute " +
               (swift ? "a-scale exponent" : "a_scaling") + " is " + number_text(exponent) + ": at the scale factor " +
               number_text(d.a) + " the velocities would be multiplied by " + number_text(info.velocity_factor));
  info.units.length_in_cm = d.length;
  info.units.mass_in_g = d.mass;
  info.units.velocity_in_cm_per_s = d.velocity;
  info.units.length_h_exponent = whole_exponent(scaling.length_h);
  info.units.mass_h_exponent = whole_exponent(scaling.mass_h);
  // The codes of the Gadget family give every unit per h alike: a file that says the power of
  // h of its lengths but, with no Masses dataset, not that of its masses, has the same.
  if (!swift && !info.units.mass_h_exponent && info.units.mass_in_g)
    info.units.mass_h_exponent = info.units.length_h_exponent;

  reader = std::make_unique<hdf5_snapshot>(std::move(info), std::move(per_file), std::move(sizes));
  return {};
}

}  // namespace haloprof
