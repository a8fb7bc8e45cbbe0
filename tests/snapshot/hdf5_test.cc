// The HDF5 snapshot and group catalogue readers on small files written here with the HDF5
// C API in each code's layout, and on the files halogen's writers make.
#include <gtest/gtest.h>
#include <unistd.h>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "snapshot/catalogue.h"
#include "snapshot/hdf5_id.h"
#include "snapshot/snapshot.h"
#include "synthetic_snapshot.h"

namespace haloprof {
namespace {

namespace fs = std::filesystem;

class scratch {
 public:
  scratch()
      : path_(fs::temp_directory_path() / ("hdf5_test." + std::to_string(getpid()) + "." + std::to_string(next_++))) {
    fs::create_directories(path_);
  }
  ~scratch() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline int next_ = 0;
  fs::path path_;
};

// ---- Writing test files with the C API ----

enum class num { i32, u32, i64, u64, f32, f64 };

hid_t type_of(num n) {
  const hid_t types[] = {H5T_NATIVE_INT32,  H5T_NATIVE_UINT32, H5T_NATIVE_INT64,
                         H5T_NATIVE_UINT64, H5T_NATIVE_FLOAT,  H5T_NATIVE_DOUBLE};
  return types[static_cast<int>(n)];
}

// An attribute of values given as doubles, stored as `n` (a scalar when `scalar`).
void attribute(hid_t object, const char* name, num n, const std::vector<double>& v, bool scalar = false) {
  const hsize_t size = v.size();
  if (H5Aexists(object, name) > 0) H5Adelete(object, name);  // rewritten
  const hdf5_id space(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &size, nullptr));
  const hdf5_id a(H5Acreate2(object, name, type_of(n), space.get(), H5P_DEFAULT, H5P_DEFAULT));
  ASSERT_GE(H5Awrite(a.get(), H5T_NATIVE_DOUBLE, v.data()), 0) << name;
}
void scalar(hid_t object, const char* name, double v, num n = num::f64) { attribute(object, name, n, {v}, true); }

void text(hid_t object, const char* name, const char* value, H5T_cset_t cset = H5T_CSET_ASCII) {
  const hdf5_id type(H5Tcopy(H5T_C_S1)), space(H5Screate(H5S_SCALAR));
  H5Tset_size(type.get(), std::strlen(value));
  H5Tset_cset(type.get(), cset);
  if (H5Aexists(object, name) > 0) H5Adelete(object, name);  // rewritten
  const hdf5_id a(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT));
  ASSERT_GE(H5Awrite(a.get(), type.get(), value), 0);
}

hdf5_id group(hid_t parent, const char* name) {
  const htri_t exists = H5Lexists(parent, name, H5P_DEFAULT);
  return hdf5_id(exists > 0 ? H5Gopen2(parent, name, H5P_DEFAULT)
                            : H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
}

// A dataset of rows of `width` (a list for width 0), from doubles, stored as `n`.
hdf5_id rows(hid_t parent, const char* name, num n, const std::vector<double>& v, hsize_t width, hsize_t chunk) {
  const hsize_t dims[2] = {width ? v.size() / width : v.size(), width};
  const int rank = width ? 2 : 1;
  const hdf5_id space(H5Screate_simple(rank, dims, nullptr)), create(H5Pcreate(H5P_DATASET_CREATE));
  const hsize_t chunks[2] = {std::min(chunk, dims[0]), width};
  if (chunk) H5Pset_chunk(create.get(), rank, chunks);
  hdf5_id d(H5Dcreate2(parent, name, type_of(n), space.get(), H5P_DEFAULT, create.get(), H5P_DEFAULT));
  EXPECT_GE(H5Dwrite(d.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()), 0) << name;
  return d;
}

// Particle i of type t, by a rule the reader cannot know: exact in single precision.
double coordinate(int t, std::uint64_t i, int axis) { return t * 100.0 + static_cast<double>(i) + 0.25 * axis; }
double velocity(int t, std::uint64_t i, int axis) { return -0.5 * static_cast<double>(i + t) + axis; }
double own_mass(int t, std::uint64_t i) { return 1 + 0.5 * static_cast<double>(i) + t; }
std::uint64_t id_of(int t, std::uint64_t i) { return 1000 * static_cast<std::uint64_t>(t) + i + 1; }

enum class code { gadget4, arepo, gizmo, swift };

struct layout_case {
  const char* name;
  code layout;
  num counts, values;
  int files;
  std::map<int, std::uint64_t> count;  // whole snapshot, per type
  std::map<int, double> mass_table;    // types left out: 0, a Masses dataset
  double time, redshift, box;
  hsize_t storage_chunk;          // 0: contiguous
  bool cosmological_flag = true;  // ComovingIntegrationOn / "Cosmological run", where written
  // What the reader should find.
  const char* format;
  bool cosmological;
  double expected_time, velocity_factor, expected_box;
  std::optional<double> length_in_cm, mass_in_g, velocity_in_cm_per_s;
  std::optional<int> length_h, mass_h;
  bool swift_parameters = false;  // SWIFT's units and h in /Parameters alone, as text
};

std::string member(const scratch& dir, int files, int k) {
  return dir / (files == 1 ? "snap.hdf5" : "snap." + std::to_string(k) + ".hdf5");
}

void write_case(const scratch& dir, const layout_case& c) {
  const bool swift = c.layout == code::swift;
  const int types = swift ? 7 : 6;
  std::vector<double> total(types, 0), table(types, 0);
  for (auto [t, n] : c.count) total[t] = static_cast<double>(n);
  for (auto [t, m] : c.mass_table) table[t] = m;
  for (int k = 0; k < c.files; ++k) {
    const hdf5_id f(H5Fcreate(member(dir, c.files, k).c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    const hdf5_id header = group(f.get(), "Header");
    std::vector<double> here(types, 0);
    for (auto [t, n] : c.count) here[t] = static_cast<double>(n * (k + 1) / c.files - n * k / c.files);
    attribute(header.get(), "NumPart_ThisFile", c.counts, here);
    attribute(header.get(), "NumPart_Total", c.counts, total);
    if (c.layout != code::gadget4)
      attribute(header.get(), "NumPart_Total_HighWord", num::u32, std::vector<double>(types, 0));
    attribute(header.get(), "MassTable", num::f64, table);
    const auto one = [&](const char* name, double v, num n = num::f64) {
      if (swift)
        attribute(header.get(), name, n, {v});  // SWIFT's scalars are lists of one
      else
        scalar(header.get(), name, v, n);
    };
    one("Time", c.time);
    one("Redshift", c.redshift);
    one("NumFilesPerSnapshot", c.files, num::i32);
    if (swift)
      attribute(header.get(), "BoxSize", num::f64, {c.box, c.box, c.box});
    else
      scalar(header.get(), "BoxSize", c.box);
    const char* a_name = swift ? "a-scale exponent" : "a_scaling";
    const char* h_name = swift ? "h-scale exponent" : "h_scaling";
    const bool scaled = c.layout != code::gizmo;
    if (c.layout == code::gadget4) {
      const hdf5_id p = group(f.get(), "Parameters");
      scalar(p.get(), "UnitLength_in_cm", 3.085678e21);
      scalar(p.get(), "UnitMass_in_g", 1.989e43);
      scalar(p.get(), "UnitVelocity_in_cm_per_s", 1e5);
      scalar(p.get(), "ComovingIntegrationOn", c.cosmological_flag, num::i32);
      scalar(p.get(), "HubbleParam", 0.7);
    } else if (c.layout == code::arepo) {
      scalar(header.get(), "UnitLength_in_cm", 3.085678e24);
      scalar(header.get(), "UnitMass_in_g", 1.989e43);
      scalar(header.get(), "UnitVelocity_in_cm_per_s", 1e5);
      scalar(header.get(), "HubbleParam", 0.7);
      scalar(group(f.get(), "Parameters").get(), "ComovingIntegrationOn", c.cosmological_flag, num::i32);
    } else if (c.layout == code::gizmo) {
      scalar(header.get(), "HubbleParam", 0.7);
    } else {
      text(header.get(), "Code", "SWIFT");
      one("Scale-factor", 1 / (1 + c.redshift));
      const hdf5_id cosmology = group(f.get(), "Cosmology"), units = group(f.get(), "Units");
      attribute(cosmology.get(), "Cosmological run", num::i32, {double(c.cosmological_flag)});
      if (c.swift_parameters) {
        const hdf5_id p = group(f.get(), "Parameters");
        text(p.get(), "InternalUnitSystem:UnitLength_in_cgs", "3.085678e24");
        text(p.get(), "InternalUnitSystem:UnitMass_in_cgs", " 1.989e43");
        text(p.get(), "InternalUnitSystem:UnitVelocity_in_cgs", "1e5");
        text(p.get(), "Cosmology:h", "0.7");
      } else {
        attribute(cosmology.get(), "h", num::f64, {0.7});
        attribute(units.get(), "Unit length in cgs (U_L)", num::f64, {3.085678e24});
        attribute(units.get(), "Unit mass in cgs (U_M)", num::f64, {1.989e43});
        attribute(units.get(), "Unit time in cgs (U_t)", num::f64, {3.085678e19});
      }
      attribute(group(f.get(), "RuntimePars").get(), "PeriodicBoundariesOn", num::i32, {double(c.expected_box != 0)});
    }
    for (auto [t, n] : c.count) {
      const std::uint64_t from = n * k / c.files, to = n * (k + 1) / c.files;
      if (from == to) continue;
      std::vector<double> x, v, m, id;
      for (std::uint64_t i = from; i < to; ++i) {
        for (int axis = 0; axis < 3; ++axis) x.push_back(coordinate(t, i, axis)), v.push_back(velocity(t, i, axis));
        m.push_back(own_mass(t, i));
        id.push_back(static_cast<double>(id_of(t, i)));
      }
      const hdf5_id g = group(f.get(), ("PartType" + std::to_string(t)).c_str());
      const hdf5_id pos = rows(g.get(), "Coordinates", c.values, x, 3, c.storage_chunk);
      const hdf5_id vel = rows(g.get(), "Velocities", c.values, v, 3, c.storage_chunk);
      rows(g.get(), "ParticleIDs", c.counts == num::i32 ? num::u32 : num::u64, id, 0, c.storage_chunk);
      if (scaled) {
        scalar(pos.get(), h_name, swift ? 0 : -1);
        scalar(vel.get(), a_name, swift ? 0 : 0.5);
      }
      if (c.mass_table.count(t) == 0) {
        const hdf5_id mass = rows(g.get(), "Masses", c.values, m, 0, c.storage_chunk);
        if (scaled) scalar(mass.get(), h_name, swift ? 0 : -1);
      }
    }
  }
}

const std::vector<layout_case>& layout_cases() {
  const double kpc = 3.085678e21, mpc = 3.085678e24, msun10 = 1.989e43, kms = 1e5;
  // clang-format off
  static const std::vector<layout_case> cases = {
      {"Gadget-4, float, int64 counts, gas masses per particle",
       code::gadget4, num::i64, num::f32, 1, {{0, 3}, {1, 5}}, {{1, 0.5}}, 0.5, 1, 100, 0, true,
       "HDF5, Gadget-4 layout", true, 0.5, std::sqrt(0.5), 100, kpc, msun10, kms, -1, -1},
      {"AREPO, double, uint32 counts and high words, units in /Header, storage chunks of 3",
       code::arepo, num::u32, num::f64, 1, {{1, 7}, {4, 2}}, {{1, 0.25}}, 0.25, 3, 50, 3, true,
       "HDF5, AREPO layout", true, 0.25, 0.5, 50, mpc, msun10, kms, -1, -1},
      {"GIZMO, three files, int32 counts: cosmological by its time",
       code::gizmo, num::i32, num::f32, 3, {{0, 4}, {1, 9}}, {{1, 2}}, 0.5, 1, 20, 0, true,
       "HDF5, GIZMO layout", true, 0.5, std::sqrt(0.5), 20, {}, {}, {}, {}, {}},
      {"SWIFT, seven types, double, every type's masses per particle",
       code::swift, num::i64, num::f64, 1, {{1, 6}, {6, 2}}, {}, 0.8, 1, 30, 4, true,
       "HDF5, SWIFT layout", true, 0.5, 1, 30, mpc, msun10, kms, 0, 0},
      {"Gadget-4, BoxSize 0, not comoving: no factor for Time 0",
       code::gadget4, num::u64, num::f32, 2, {{1, 4}}, {{1, 1}}, 0, 0, 0, 0, false,
       "HDF5, Gadget-4 layout", false, 0, 1, 0, kpc, msun10, kms, -1, -1},  // masses per h as lengths: the family's rule
      {"SWIFT, open boundaries, not cosmological, units and h only as parameter text",
       code::swift, num::i32, num::f32, 1, {{1, 3}}, {}, 3.5, 0, 30, 0, false,
       "HDF5, SWIFT layout", false, 3.5, 1, 0, mpc, msun10, kms, 0, 0, true},
  };
  // clang-format on
  return cases;
}

// Every particle of every type a reader hands out, in order, with the chunks' sizes.
struct collected {
  std::map<int, std::vector<double>> pos, vel, mass;
  std::map<int, std::vector<std::uint64_t>> id;
  std::map<int, std::uint64_t> next;  // the index the type's next chunk must start at
  std::size_t largest = 0;
};

stage_status collect(snapshot_reader& r, unsigned types, unsigned fields, std::size_t chunk, collected& c) {
  return r.read(types, fields, chunk, [&](const particle_chunk& p) -> stage_status {
    EXPECT_EQ(c.next[p.type], p.first) << "the chunks of a type follow each other";
    c.next[p.type] += p.n;
    c.largest = std::max(c.largest, p.n);
    c.pos[p.type].insert(c.pos[p.type].end(), p.pos.begin(), p.pos.end());
    c.vel[p.type].insert(c.vel[p.type].end(), p.vel.begin(), p.vel.end());
    c.mass[p.type].insert(c.mass[p.type].end(), p.mass.begin(), p.mass.end());
    c.id[p.type].insert(c.id[p.type].end(), p.id.begin(), p.id.end());
    return {};
  });
}

TEST(Hdf5Snapshot, LayoutsReadBack) {
  for (const layout_case& c : layout_cases()) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    write_case(dir, c);
    std::unique_ptr<snapshot_reader> reader;
    const stage_status opened = open_snapshot(member(dir, c.files, 0), reader);
    ASSERT_TRUE(opened.ok()) << opened->message;
    const snapshot_info& info = reader->info();
    EXPECT_EQ(c.format, info.format);
    EXPECT_EQ(static_cast<std::size_t>(c.files), info.files.size());
    for (int t = 0; t < particle_types; ++t) EXPECT_EQ(c.count.count(t) ? c.count.at(t) : 0, info.count[t]) << t;
    for (auto [t, m] : c.mass_table) EXPECT_EQ(m, info.mass_table[t]);
    EXPECT_EQ(c.cosmological, info.cosmological);
    EXPECT_EQ(c.expected_time, info.time);
    EXPECT_EQ(c.redshift, info.redshift);
    EXPECT_EQ(c.expected_box, info.box);
    EXPECT_EQ(c.velocity_factor, info.velocity_factor);
    EXPECT_EQ(0.7, info.hubble.value_or(0));
    EXPECT_EQ(c.length_in_cm, info.units.length_in_cm);
    EXPECT_EQ(c.mass_in_g, info.units.mass_in_g);
    EXPECT_NEAR(c.velocity_in_cm_per_s.value_or(0), info.units.velocity_in_cm_per_s.value_or(0), 1e-9);
    EXPECT_EQ(c.length_h, info.units.length_h_exponent);
    EXPECT_EQ(c.mass_h, info.units.mass_h_exponent);

    // Every field in chunks of 4 (cutting datasets and storage chunks), then positions of
    // one type alone in one chunk: the same particles.
    collected all, some;
    ASSERT_TRUE(collect(*reader, 0x7f, positions | velocities | masses | ids, 4, all).ok());
    EXPECT_LE(all.largest, 4u);
    const int first_type = c.count.begin()->first;
    ASSERT_TRUE(collect(*reader, 1u << first_type, positions, 1000, some).ok());
    EXPECT_EQ(all.pos[first_type], some.pos[first_type]);
    EXPECT_TRUE(some.vel[first_type].empty() && some.id[first_type].empty());
    EXPECT_EQ(1u, some.pos.size());
    for (auto [t, n] : c.count) {
      std::vector<double> x, v, m;
      std::vector<std::uint64_t> id;
      for (std::uint64_t i = 0; i < n; ++i) {
        for (int axis = 0; axis < 3; ++axis) x.push_back(coordinate(t, i, axis)), v.push_back(velocity(t, i, axis));
        if (!c.mass_table.count(t)) m.push_back(own_mass(t, i));
        id.push_back(id_of(t, i));
      }
      EXPECT_EQ(x, all.pos[t]) << "type " << t;
      EXPECT_EQ(v, all.vel[t]) << "type " << t;
      EXPECT_EQ(m, all.mass[t]) << "type " << t;
      EXPECT_EQ(id, all.id[t]) << "type " << t;
    }
  }
}

// A change to the files of a layout case that makes them wrong.
struct bad_case {
  const char* name;
  int layout;  // index into layout_cases()
  std::function<void(const scratch&)> damage;
  exit_status status;
  std::string message;  // '@' stands for the scratch directory
};

void edit(const std::string& path, const std::function<void(hid_t)>& change) {
  const hdf5_id f(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
  ASSERT_TRUE(f);
  change(f.get());
}

TEST(Hdf5Snapshot, BadInputs) {
  const auto header = [](hid_t f, const std::function<void(hid_t)>& change) { change(group(f, "Header").get()); };
  const std::vector<bad_case> cases = {
      {"no /Header", 0,
       [](const scratch& d) { edit(d / "snap.hdf5", [](hid_t f) { H5Ldelete(f, "/Header", H5P_DEFAULT); }); },
       exit_status::bad_snapshot, "@snap.hdf5: no /Header group: not a snapshot of a known HDF5 layout"},
      {"no Coordinates for a counted type", 0,
       [](const scratch& d) {
         edit(d / "snap.hdf5", [](hid_t f) { H5Ldelete(f, "/PartType1/Coordinates", H5P_DEFAULT); });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /Header NumPart_ThisFile counts 5 particles of type 1, but there is no /PartType1/Coordinates"},
      {"more particles counted than the dataset holds", 0,
       [&](const scratch& d) {
         edit(d / "snap.hdf5", [&](hid_t f) {
           header(f, [](hid_t h) {
             attribute(h, "NumPart_ThisFile", num::i64, {3, 6, 0, 0, 0, 0});
             attribute(h, "NumPart_Total", num::i64, {3, 6, 0, 0, 0, 0});
           });
         });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /PartType1/Coordinates: expected 6 rows of 3 (NumPart_ThisFile), found 5 rows of 3"},
      {"a total with a high word the files do not hold", 1,
       [&](const scratch& d) {
         edit(d / "snap.hdf5", [&](hid_t f) {
           header(f, [](hid_t h) { attribute(h, "NumPart_Total_HighWord", num::u32, {0, 1, 0, 0, 0, 0}); });
         });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /Header NumPart_Total counts 4294967303 particles of type 1, but the file holds 7 "
       "(NumPart_ThisFile)"},
      {"a member missing", 2, [](const scratch& d) { fs::remove(d / "snap.1.hdf5"); }, exit_status::bad_snapshot,
       "@snap.1.hdf5: missing: the snapshot of @snap.0.hdf5 has 3 files (/Header NumFilesPerSnapshot)"},
      {"a member of another snapshot", 2,
       [&](const scratch& d) {
         edit(d / "snap.2.hdf5", [&](hid_t f) { header(f, [](hid_t h) { scalar(h, "Time", 0.25); }); });
       },
       exit_status::bad_snapshot,
       "@snap.2.hdf5: /Header Time is 0.25 where @snap.0.hdf5 has 0.5: a file of another snapshot"},
      {"unequal box sides", 3,
       [&](const scratch& d) {
         edit(d / "snap.hdf5", [&](hid_t f) {
           header(f, [](hid_t h) { attribute(h, "BoxSize", num::f64, {30, 30, 20}); });
         });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /Header: attribute BoxSize: the sides 30, 30 and 20 differ: expected a cubic box"},
      {"a mass table entry that is not a number", 0,
       [&](const scratch& d) {
         edit(d / "snap.hdf5", [&](hid_t f) {
           header(f, [](hid_t h) { attribute(h, "MassTable", num::f64, {0, std::nan(""), 0, 0, 0, 0}); });
         });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /Header: attribute MassTable: type 1 has the mass nan, expected 0 (a Masses dataset) or a "
       "positive mass"},
      {"a velocity scaling that is not a number", 0,
       [](const scratch& d) {
         edit(d / "snap.hdf5", [](hid_t f) {
           scalar(hdf5_id(H5Dopen2(f, "/PartType0/Velocities", H5P_DEFAULT)).get(), "a_scaling", std::nan(""));
         });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /PartType0/Velocities: attribute a_scaling is nan, expected a finite power"},
      {"a velocity scaling that makes every velocity 0", 0,
       [](const scratch& d) {
         edit(d / "snap.hdf5", [](hid_t f) {
           for (const char* v : {"/PartType0/Velocities", "/PartType1/Velocities"})
             scalar(hdf5_id(H5Dopen2(f, v, H5P_DEFAULT)).get(), "a_scaling", 1e300);
         });
       },
       exit_status::bad_snapshot,
       "@snap.hdf5: /PartType0/Velocities: attribute a_scaling is 1e+300: at the scale factor 0.5 the velocities "
       "would be multiplied by 0"},
      {"not an HDF5 file behind the signature", 0, [](const scratch& d) { fs::resize_file(d / "snap.hdf5", 96); },
       exit_status::bad_snapshot, "@snap.hdf5: not a readable HDF5 file: truncated file: eof = 96"},
  };
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    write_case(dir, layout_cases()[static_cast<std::size_t>(c.layout)]);
    c.damage(dir);
    std::unique_ptr<snapshot_reader> reader;
    const stage_status s =
        open_snapshot(member(dir, layout_cases()[static_cast<std::size_t>(c.layout)].files, 0), reader);
    ASSERT_TRUE(s.failed());
    std::string expected = c.message;
    for (std::size_t at; (at = expected.find('@')) != std::string::npos;) expected.replace(at, 1, dir / "");
    EXPECT_EQ(c.status, s->status);
    // The library's own reason goes on with figures of its own: compare up to it.
    EXPECT_EQ(expected, s->message.substr(0, expected.size()));
  }
}

TEST(Hdf5Snapshot, OddAttributesGiveTheFactsTheyHold) {
  // Strings as h5py and other writers store them (UTF-8), and a unit no length can have.
  const auto utf8 = [](const char* where, const char* name, const char* value) {
    return [=](hid_t f) { text(group(f, where).get(), name, value, H5T_CSET_UTF8); };
  };
  const struct {
    const char* name;
    int layout;
    const char* file;
    std::function<void(hid_t)> change;
    const char* format;
    std::optional<double> length_in_cm;
  } cases[] = {
      {"SWIFT's Code in UTF-8", 3, "snap.hdf5", utf8("/Header", "Code", "SWIFT"), "HDF5, SWIFT layout", 3.085678e24},
      {"a unit in SWIFT's parameter text, in UTF-8", 5, "snap.hdf5",
       utf8("/Parameters", "InternalUnitSystem:UnitLength_in_cgs", "3.085678e24"), "HDF5, SWIFT layout", 3.085678e24},
      {"a negative to_cgs on the positions: no unit", 2, "snap.0.hdf5",
       [](hid_t f) { scalar(hdf5_id(H5Dopen2(f, "/PartType0/Coordinates", H5P_DEFAULT)).get(), "to_cgs", -1); },
       "HDF5, GIZMO layout", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    write_case(dir, layout_cases()[static_cast<std::size_t>(c.layout)]);
    edit(dir / c.file, c.change);
    std::unique_ptr<snapshot_reader> reader;
    const stage_status s = open_snapshot(dir / c.file, reader);
    ASSERT_TRUE(s.ok()) << s->message;
    EXPECT_EQ(c.format, reader->info().format);
    EXPECT_EQ(c.length_in_cm, reader->info().units.length_in_cm);
  }
}

TEST(Hdf5Snapshot, AFileCutWhileReadIsReported) {
  // The library reads what a file lost as zeros: each cut must be told, never read as values.
  const struct {
    const char* name;
    bool during;  // cut once the first chunk is out, else between opening and reading
  } cases[] = {{"cut after it was opened", false}, {"cut while its chunks are read", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    write_case(dir, layout_cases()[1]);
    const std::string path = dir / "snap.hdf5";
    const auto size = fs::file_size(path);
    std::unique_ptr<snapshot_reader> reader;
    ASSERT_TRUE(open_snapshot(path, reader).ok());
    if (!c.during) fs::resize_file(path, size - 1);
    std::size_t chunks = 0;
    const stage_status s = reader->read(0x7f, positions | velocities, 1, [&](const particle_chunk&) {
      if (c.during && chunks++ == 0) fs::resize_file(path, size - 1);
      return stage_status();
    });
    ASSERT_TRUE(s.failed());
    EXPECT_EQ(exit_status::snapshot_changed, s->status);
    EXPECT_EQ(path + ": changed since it was opened: " + std::to_string(size) + " bytes then, " +
                  std::to_string(size - 1) + " now",
              s->message);
  }
}

// ---- halogen's writers ----

synthetic_snapshot small_box(bool cosmological) {
  synthetic_snapshot s;
  const std::size_t n = 1000;
  std::uint64_t state = 12345;
  const auto next = [&] {  // a fixed LCG: the same values everywhere
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<float>(static_cast<double>(state >> 11) * 0x1.0p-53);
  };
  for (std::size_t i = 0; i < n; ++i) {
    for (int axis = 0; axis < 3; ++axis) s.pos.push_back(100 * next()), s.vel.push_back(600 * next() - 300);
    s.ids.push_back(i + 1);
  }
  s.box = 100;
  s.particle_mass = 0.3 * 27.7536627e-9 * 1e6 / n;
  s.redshift = 1;
  s.cosmological = cosmological;
  return s;
}

TEST(Hdf5Writer, SnapshotsReadBackToTheSameParticles) {
  using layout = hdf5_options::layout;
  const struct {
    const char* name;
    layout code;
    int files;
    bool cosmological;
  } cases[] = {{"Gadget-4", layout::gadget4, 1, true},
               {"Gadget-4, three files", layout::gadget4, 3, true},
               {"Gadget-4, two files, not cosmological", layout::gadget4, 2, false},
               {"SWIFT", layout::swift, 1, true},
               {"SWIFT, three files, not cosmological", layout::swift, 3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    const synthetic_snapshot s = small_box(c.cosmological);
    std::string error;
    ASSERT_TRUE(write_hdf5(dir / "box.hdf5", s, {c.code, c.files}, error)) << error;
    std::unique_ptr<snapshot_reader> reader;
    const stage_status opened = open_snapshot(dir / (c.files == 1 ? "box.hdf5" : "box.0.hdf5"), reader);
    ASSERT_TRUE(opened.ok()) << opened->message;
    const snapshot_info& info = reader->info();
    const bool swift = c.code == layout::swift;
    EXPECT_EQ(swift ? "HDF5, SWIFT layout" : "HDF5, Gadget-4 layout", info.format);
    EXPECT_EQ(static_cast<std::size_t>(c.files), info.files.size());
    EXPECT_EQ(s.ids.size(), info.count[1]);
    EXPECT_EQ(s.box, info.box);
    EXPECT_EQ(c.cosmological, info.cosmological);
    EXPECT_EQ(c.cosmological ? 0.5 : 0, info.time);
    EXPECT_EQ(c.cosmological ? 1 : 0, info.redshift);
    EXPECT_EQ(0.7, info.hubble.value_or(0));
    // Both layouts declare the same physical unit: kpc/h, with or without h in the unit.
    ASSERT_TRUE(info.units.length_in_cm && info.units.length_h_exponent && info.units.velocity_in_cm_per_s);
    EXPECT_DOUBLE_EQ(3.085678e21 / 0.7, *info.units.length_in_cm * std::pow(0.7, *info.units.length_h_exponent));
    EXPECT_DOUBLE_EQ(1e5, *info.units.velocity_in_cm_per_s);
    EXPECT_EQ(swift ? 0 : s.particle_mass, info.mass_table[1]);

    collected got;
    ASSERT_TRUE(collect(*reader, 1u << 1, positions | velocities | masses | ids, 333, got).ok());
    ASSERT_EQ(s.pos.size(), got.pos[1].size());
    ASSERT_EQ(s.vel.size(), got.vel[1].size());
    for (std::size_t k = 0; k < s.pos.size(); ++k) {
      ASSERT_EQ(s.pos[k], got.pos[1][k]) << k;
      ASSERT_NEAR(s.vel[k], got.vel[1][k] * info.velocity_factor, 1e-6 * 300) << k;
    }
    EXPECT_EQ(s.ids, got.id[1]);
    EXPECT_EQ(swift ? std::vector<double>(s.ids.size(), static_cast<float>(s.particle_mass)) : std::vector<double>{},
              got.mass[1]);
  }
}

TEST(Hdf5Writer, AFailedWriteLeavesNothing) {
  const struct {
    const char* name;
    int files;
    const char* blocked;  // a directory in the way of this file's name
    const char* error;
  } cases[] = {{"the third file's name taken by a directory", 3, "box.2.hdf5", "cannot rename '"},
               {"a directory that does not exist", 1, nullptr, "cannot create '"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    if (c.blocked) fs::create_directory(dir / c.blocked);
    std::string error;
    const std::string path = c.blocked ? dir / "box.hdf5" : dir / "none/box.hdf5";
    EXPECT_FALSE(write_hdf5(path, small_box(true), {hdf5_options::layout::gadget4, c.files}, error));
    EXPECT_EQ(0u, error.rfind(c.error, 0)) << error;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir / "")) left.push_back(e.path().filename());
    EXPECT_EQ(c.blocked ? std::vector<std::string>{c.blocked} : std::vector<std::string>{}, left);
  }
}

// ---- The group catalogue ----

TEST(Hdf5Catalogue, GroupCentresAndRadii) {
  const struct {
    const char* name;
    std::vector<int> groups;  // per file
    int total;                // Ngroups_Total
    bool radius, units;
    const char* error;                          // nullptr: reads; '@' the scratch directory
    std::optional<double> time = std::nullopt;  // /Header Time, where written
  } cases[] = {
      {"one file, radii, units in /Parameters", {3}, 3, true, true, nullptr},
      {"three files, one of them empty, no radii", {2, 0, 3}, 5, false, false, nullptr},
      {"two files whose Time is not a number", {1, 2}, 3, true, false, nullptr, std::nan("")},
      {"a total the files do not hold",
       {2, 3},
       6,
       true,
       false,
       "@fof_subhalo_tab_010.0.hdf5: /Header Ngroups_Total counts 6 groups, but the 2 files hold 5 (Ngroups_ThisFile)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch dir;
    const int files = static_cast<int>(c.groups.size());
    int row = 0;
    for (int k = 0; k < files; ++k) {
      const hdf5_id f(H5Fcreate((dir / "fof_subhalo_tab_010." + std::to_string(k) + ".hdf5").c_str(), H5F_ACC_TRUNC,
                                H5P_DEFAULT, H5P_DEFAULT));
      const hdf5_id header = group(f.get(), "Header"), groups = group(f.get(), "Group");
      scalar(header.get(), "Ngroups_ThisFile", c.groups[k], num::i32);
      scalar(header.get(), "Ngroups_Total", c.total, files == 1 ? num::i64 : num::i32);
      scalar(header.get(), "NumFiles", files, num::i32);
      if (c.time) scalar(header.get(), "Time", *c.time);
      if (c.units) scalar(group(f.get(), "Parameters").get(), "UnitLength_in_cm", 3.085678e24);
      std::vector<double> pos, radius;
      for (int i = 0; i < c.groups[k]; ++i, ++row) {
        for (int axis = 0; axis < 3; ++axis) pos.push_back(10.0 * row + axis);
        radius.push_back(0.5 + row);
      }
      if (pos.empty()) continue;
      const hdf5_id d = rows(groups.get(), "GroupPos", files == 1 ? num::f32 : num::f64, pos, 3, 0);
      if (c.units) scalar(d.get(), "h_scaling", -1);
      if (c.radius) rows(groups.get(), "Group_R_Crit200", num::f32, radius, 0, 0);
    }
    halo_catalogue catalogue;
    const stage_status s = read_catalogue(dir / "fof_subhalo_tab_010.0.hdf5", catalogue);
    if (c.error) {
      std::string expected = c.error;
      expected.replace(0, 1, dir / "");
      ASSERT_TRUE(s.failed());
      EXPECT_EQ(exit_status::bad_snapshot, s->status);
      EXPECT_EQ(expected, s->message);
      continue;
    }
    ASSERT_TRUE(s.ok()) << s->message;
    EXPECT_EQ("Gadget-4/AREPO group catalogue", catalogue.format);
    ASSERT_EQ(static_cast<std::size_t>(c.total), catalogue.halos.size());
    for (int i = 0; i < c.total; ++i) {
      const catalogue_halo& h = catalogue.halos[static_cast<std::size_t>(i)];
      EXPECT_EQ(i, h.id);
      EXPECT_EQ((std::vector<double>{10.0 * i, 10.0 * i + 1, 10.0 * i + 2}),
                std::vector<double>(h.centre, h.centre + 3));
      EXPECT_EQ(c.radius ? std::optional<double>(0.5 + i) : std::nullopt, h.radius);
    }
    EXPECT_EQ(c.units ? std::optional<double>(3.085678e24) : std::nullopt, catalogue.length_in_cm);
    EXPECT_EQ(c.units ? std::optional<int>(-1) : std::nullopt, catalogue.length_h_exponent);
  }
}

}  // namespace
}  // namespace haloprof
