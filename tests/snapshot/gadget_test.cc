// Gadget-2 binary snapshots built by hand, record by record, read back: every variant of
// the format, and every kind of damage with its whole message.
#include <gtest/gtest.h>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "snapshot/formats.h"
#include "support/process.h"

namespace haloprof::testing {
namespace {

using counts = std::array<std::int32_t, 6>;

// A snapshot to build. Particle k of type t (counted over the whole snapshot) sits at
// (100 t + k + 0.25, + 0.5, + 0.75) with velocity (-k, 2k, t), id 1000 t + k (+ 2^40 with
// 8-byte ids), and in a MASS block mass 0.125 (k + 1).
struct variant {
  bool big = false;
  int format = 1;
  bool wide = false;  // double positions, velocities and masses
  bool long_ids = false;
  bool totals = true;         // npartTotal filled in
  std::vector<counts> npart;  // per file
  std::array<double, 6> mass{};
  double time = 0.5, redshift = 1, box = 1000;
  std::int32_t num_files = -1;  // -1: the number of files
  bool extra_blocks = false;    // an unknown block before POS (format 2) or after ID (format 1)
};

double pos_of(int t, std::uint64_t k, int a) { return 100.0 * t + static_cast<double>(k) + 0.25 * (a + 1); }
double vel_of(int t, std::uint64_t k, int a) {
  return a == 0 ? -static_cast<double>(k) : a == 1 ? 2.0 * static_cast<double>(k) : t;
}
std::uint64_t id_of(int t, std::uint64_t k, bool long_ids) { return 1000u * t + k + (long_ids ? 1ull << 40 : 0); }
double mass_of(std::uint64_t k) { return 0.125 * static_cast<double>(k + 1); }

struct bytes {
  bool big;
  std::string out;
  template <typename T>
  void put(T v) {
    auto u = std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(v);
    if (big) u = sizeof u == 4 ? __builtin_bswap32(static_cast<std::uint32_t>(u)) : __builtin_bswap64(u);
    out.append(reinterpret_cast<const char*>(&u), sizeof u);
  }
  void real(double v, bool wide) { wide ? put(v) : put(static_cast<float>(v)); }
};

// One record: its label (format 2), its bytes, and lengths to write instead of the true ones.
struct rec {
  std::string label, payload;
  std::optional<std::uint32_t> before = {}, after = {}, stated = {};
};

// The records of file f of v.
std::vector<rec> blocks_of(const variant& v, std::size_t f) {
  bytes head{v.big, {}}, pos{v.big, {}}, vel{v.big, {}}, id{v.big, {}}, mass{v.big, {}};
  for (auto n : v.npart[f]) head.put(n);
  for (auto m : v.mass) head.put(m);
  for (double x : {v.time, v.redshift}) head.put(x);
  head.put(std::int64_t{0});  // flag_sfr, flag_feedback
  for (int t = 0; t < 6; ++t) {
    std::uint32_t total = 0;
    for (const counts& file : v.npart) total += v.totals ? static_cast<std::uint32_t>(file[t]) : 0;
    head.put(total);
  }
  head.put(std::int32_t{0});  // flag_cooling
  head.put(v.num_files >= 0 ? v.num_files : static_cast<std::int32_t>(v.npart.size()));
  for (double x : {v.box, 0.3, 0.7, 0.7}) head.put(x);
  head.out.resize(256, '\0');  // flags, zero high words, padding
  for (int t = 0; t < 6; ++t) {
    std::uint64_t k = 0;
    for (std::size_t g = 0; g < f; ++g) k += static_cast<std::uint64_t>(v.npart[g][t]);
    for (std::int32_t i = 0; i < v.npart[f][t]; ++i, ++k) {
      for (int a = 0; a < 3; ++a) pos.real(pos_of(t, k, a), v.wide), vel.real(vel_of(t, k, a), v.wide);
      v.long_ids ? id.put(id_of(t, k, true)) : id.put(static_cast<std::uint32_t>(id_of(t, k, false)));
      if (v.mass[t] == 0) mass.real(mass_of(k), v.wide);
    }
  }
  std::vector<rec> out = {{"HEAD", head.out}};
  if (v.extra_blocks && v.format == 2) out.push_back({"U", std::string(12, 'u')});
  out.insert(out.end(), {{"POS", pos.out}, {"VEL", vel.out}, {"ID", id.out}});
  if (!mass.out.empty()) out.push_back({"MASS", mass.out});
  if (v.extra_blocks && v.format == 1) out.push_back({"", std::string(20, 'r')});
  return out;
}

// File f of v as bytes, its records first changed by `change`.
std::string file_of(const variant& v, std::size_t f = 0, const std::function<void(std::vector<rec>&)>& change = {}) {
  std::vector<rec> blocks = blocks_of(v, f);
  if (change) change(blocks);
  bytes b{v.big, {}};
  for (const rec& r : blocks) {
    const auto n = static_cast<std::uint32_t>(r.payload.size());
    if (v.format == 2) {
      b.put(std::uint32_t{8});
      b.out += (r.label + "    ").substr(0, 4);
      b.put(r.stated.value_or(n + 8));
      b.put(std::uint32_t{8});
    }
    b.put(r.before.value_or(n));
    b.out += r.payload;
    b.put(r.after.value_or(n));
  }
  return b.out;
}

// Writes v as dir/snap (one file) or dir/snap.0 ...; the first's path.
std::string write_variant(const temp_dir& dir, const variant& v) {
  const auto name = [&](std::size_t f) { return v.npart.size() == 1 ? "snap" : "snap." + std::to_string(f); };
  for (std::size_t f = 0; f < v.npart.size(); ++f) write_file(dir / name(f), file_of(v, f));
  return (dir / name(0)).string();
}

stage_status read_all(snapshot_reader& r, unsigned types, unsigned fields, std::size_t chunk,
                      const std::function<void(const particle_chunk&)>& take) {
  return r.read(types, fields, chunk, [&](const particle_chunk& c) {
    take(c);
    return stage_status{};
  });
}

constexpr std::array<double, 6> table{0, 0.5};  // type 1 from the mass table
constexpr unsigned every_field = positions | velocities | masses | ids;

TEST(GadgetSnapshot, EveryVariantReadsBack) {
  struct row {
    const char* what;
    variant v;
    const char* format;
    bool cosmological;
  };
  const counts seven = {0, 7};
  const row rows[] = {
      {"format 1", {.npart = {seven}, .mass = table}, "Gadget-2 format 1, little-endian", true},
      {"format 1, big-endian, an unknown block after ID",
       {.big = true, .npart = {seven}, .mass = table, .extra_blocks = true},
       "Gadget-2 format 1, big-endian",
       true},
      {"format 2, an unknown block before POS",
       {.format = 2, .npart = {seven}, .mass = table, .extra_blocks = true},
       "Gadget-2 format 2, little-endian",
       true},
      {"format 2, big-endian, double, 8-byte ids",
       {.big = true, .format = 2, .wide = true, .long_ids = true, .npart = {seven}, .mass = table},
       "Gadget-2 format 2, big-endian",
       true},
      {"a MASS block for two types, a third from the table",
       {.npart = {{3, 4, 2}}, .mass = {0, 0, 0.3}},
       "Gadget-2 format 1, little-endian",
       true},
      {"MASS in double, big-endian",
       {.big = true, .wide = true, .npart = {{3, 4}}},
       "Gadget-2 format 1, big-endian",
       true},
      {"three files, one without type 0",
       {.format = 2, .npart = {{2, 3}, {0, 5}, {1, 4}}, .mass = table},
       "Gadget-2 format 2, little-endian",
       true},
      {"BoxSize 0 and time 0",
       {.npart = {seven}, .mass = table, .time = 0, .redshift = 0, .box = 0},
       "Gadget-2 format 1, little-endian",
       false},
      {"npartTotal and num_files 0",
       {.totals = false, .npart = {seven}, .mass = table, .num_files = 0},
       "Gadget-2 format 1, little-endian",
       true},
      {"a time past 1 is no scale factor",
       {.npart = {seven}, .mass = table, .time = 2, .redshift = 0},
       "Gadget-2 format 1, little-endian",
       false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    temp_dir dir;
    std::unique_ptr<snapshot_reader> reader;
    const stage_status opened = open_snapshot(write_variant(dir, r.v), reader);
    ASSERT_TRUE(opened.ok()) << opened->message;
    const snapshot_info& info = reader->info();
    EXPECT_EQ(r.format, info.format);
    EXPECT_EQ(r.v.npart.size(), info.files.size());
    EXPECT_EQ(r.v.box, info.box);
    EXPECT_EQ(r.v.time, info.time);
    EXPECT_EQ(r.cosmological, info.cosmological);
    EXPECT_EQ(r.cosmological ? std::sqrt(r.v.time) : 1.0, info.velocity_factor);
    std::map<int, std::vector<double>> pos, vel, mass;
    std::map<int, std::vector<std::uint64_t>> id;
    for (int t = 0; t < 6; ++t) {
      EXPECT_EQ(r.v.mass[t], info.mass_table[t]);
      std::uint64_t count = 0;
      for (const counts& file : r.v.npart) count += static_cast<std::uint64_t>(file[t]);
      EXPECT_EQ(count, info.count[t]);
      for (std::uint64_t k = 0; k < count; ++k) {
        for (int a = 0; a < 3; ++a) pos[t].push_back(pos_of(t, k, a)), vel[t].push_back(vel_of(t, k, a));
        id[t].push_back(id_of(t, k, r.v.long_ids));
        if (r.v.mass[t] == 0) mass[t].push_back(mass_of(k));
      }
    }
    // Chunks of 1, 3 and more than any type has: boundaries inside blocks and across files.
    for (const std::size_t chunk : {1, 3, 1000}) {
      SCOPED_TRACE(chunk);
      std::map<int, std::vector<double>> got_pos, got_vel, got_mass;
      std::map<int, std::vector<std::uint64_t>> got_id;
      const stage_status s = read_all(*reader, 0x3f, every_field, chunk, [&](const particle_chunk& c) {
        EXPECT_LE(c.n, chunk);
        EXPECT_EQ(got_id[c.type].size(), c.first);
        got_pos[c.type].insert(got_pos[c.type].end(), c.pos.begin(), c.pos.end());
        got_vel[c.type].insert(got_vel[c.type].end(), c.vel.begin(), c.vel.end());
        got_mass[c.type].insert(got_mass[c.type].end(), c.mass.begin(), c.mass.end());
        got_id[c.type].insert(got_id[c.type].end(), c.id.begin(), c.id.end());
      });
      ASSERT_TRUE(s.ok()) << s->message;
      EXPECT_EQ(pos, got_pos);
      EXPECT_EQ(vel, got_vel);
      EXPECT_EQ(id, got_id);
      // Only the types without a mass in the table have their masses handed out.
      std::erase_if(got_mass, [](const auto& m) { return m.second.empty(); });
      EXPECT_EQ(mass, got_mass);
    }
  }
}

TEST(GadgetSnapshot, OnlyTheTypesAndFieldsAsked) {
  temp_dir dir;
  std::unique_ptr<snapshot_reader> reader;
  ASSERT_TRUE(open_snapshot(write_variant(dir, {.npart = {{3, 4, 2}}, .mass = {0, 0, 0.3}}), reader).ok());
  std::vector<double> pos;
  ASSERT_TRUE(read_all(*reader, 1u << 2, positions, 2, [&](const particle_chunk& c) {
                EXPECT_EQ(2, c.type);
                EXPECT_TRUE(c.vel.empty() && c.mass.empty() && c.id.empty());
                pos.insert(pos.end(), c.pos.begin(), c.pos.end());
              }).ok());
  EXPECT_EQ((std::vector<double>{200.25, 200.5, 200.75, 201.25, 201.5, 201.75}), pos);
  // A failure of the consumer stops the reading and comes back as it was.
  int calls = 0;
  const stage_status stopped = reader->read(0x3f, positions, 1, [&](const particle_chunk&) -> stage_status {
    ++calls;
    return failure{exit_status::internal, "enough"};
  });
  ASSERT_TRUE(stopped.failed());
  EXPECT_EQ("enough", stopped->message);
  EXPECT_EQ(1, calls);
}

void set_int(std::vector<rec>& b, std::size_t at, std::int32_t v) { std::memcpy(&b[0].payload[at], &v, 4); }

TEST(GadgetSnapshot, DamagedFilesAreRefusedWithOneLine) {
  // Five particles of type 1 in 264 + 68 + 68 + 28 = 428 bytes: POS at offset 264.
  const variant one{.npart = {{0, 5}}, .mass = table};
  const variant two{.npart = {{0, 2}, {0, 2}}, .mass = table}, three{.npart = {{0, 2}, {0, 2}, {0, 2}}, .mass = table};
  variant two_earlier = two, two_big = two, labelled = one, no_table = one, lighter = one, no_side = one;
  lighter.mass = {0, -0.5};
  no_side.box = std::nan("");
  two_earlier.time = 0.25;
  two_big.big = true;
  labelled.format = 2;
  no_table.mass = {};
  struct row {
    const char* what;
    std::map<std::string, std::string> files;  // name in the directory -> content
    std::string message;                       // '@' stands for the directory and a slash
  };
  const row rows[] = {
      {"a record longer than the file",
       {{"snap", file_of(one).substr(0, 300)}},
       "@snap: block POS: record length 60 at offset 264 runs past the end of the file (300 bytes)"},
      {"record lengths before and after differ",
       {{"snap", file_of(one, 0, [](auto& b) { b[1].after = 56; })}},
       "@snap: block POS: record length 60 before and 56 after"},
      {"a count the file cannot hold",
       {{"snap", file_of(one, 0, [](auto& b) { set_int(b, 4, 100000000); })}},
       "@snap: header: 100000000 particles need at least 1200000000 bytes of positions, more than the file's 428"},
      {"a negative count",
       {{"snap", file_of(one, 0, [](auto& b) { set_int(b, 4, -5); })}},
       "@snap: header: npart[1] is -5"},
      {"POS of another count",
       {{"snap", file_of(one, 0, [](auto& b) { b[1].payload.resize(56); })}},
       "@snap: block POS: 56 bytes, expected 12 or 24 for each of the header's 5 particles (60 or 120)"},
      {"ID of another count",
       {{"snap", file_of(one, 0, [](auto& b) { b[3].payload.resize(30); })}},
       "@snap: block ID: 30 bytes, expected 4 or 8 for each of the header's 5 particles (20 or 40)"},
      {"format 1 without the MASS block its mass table asks for",
       {{"snap", file_of(no_table, 0, [](auto& b) { b.pop_back(); })}},
       "@snap: block MASS: missing: the file ends after block ID (428 bytes)"},
      {"not a Gadget file",
       {{"snap", std::string("\x64\0\0\0 some text", 14)}},
       "@snap: not a Gadget snapshot: its first record length is 100, expected 256 (the header) or 8 (a label)"},
      {"format 2 header of another length",
       {{"snap", file_of(labelled, 0, [](auto& b) { b[0].payload.resize(200); })}},
       "@snap: block HEAD: record length 200, expected 256"},
      {"format 2 starting with another block",
       {{"snap", file_of(labelled, 0, [](auto& b) { b[0].label = "PO\x01"; })}},
       "@snap: the first block is 'PO\\x01', expected HEAD"},
      {"format 2 label giving another length",
       {{"snap", file_of(labelled, 0, [](auto& b) { b[1].stated = 60; })}},
       "@snap: block POS: its label gives it 60 bytes, the record takes 68 with its lengths"},
      {"format 2 without POS",
       {{"snap", file_of(labelled, 0, [](auto& b) { b[1].label = "POT"; })}},
       "@snap: no POS block"},
      {"a member missing",
       {{"snap.0", file_of(three, 0)}, {"snap.1", file_of(three, 1)}},
       "@snap.2: missing: @snap.0 names 3 files"},
      {"a member from another snapshot",
       {{"snap.0", file_of(two, 0)}, {"snap.1", file_of(two_earlier, 1)}},
       "@snap.1: from another snapshot: time 0.25, the first file's 0.5"},
      {"a member of the other byte order",
       {{"snap.0", file_of(two, 0)}, {"snap.1", file_of(two_big, 1)}},
       "@snap.1: from another snapshot: written as Gadget-2 format 1, big-endian, the first file as Gadget-2 format "
       "1, little-endian"},
      {"totals the files do not add up to",
       {{"snap.0", file_of(two, 0, [](auto& b) { set_int(b, 100, 5); })},
        {"snap.1", file_of(two, 1, [](auto& b) { set_int(b, 100, 5); })}},
       "@snap.0: the header's total of type-1 particles is 5, the 2 files hold 4"},
      {"a negative mass in the table",
       {{"snap", file_of(lighter)}},
       "@snap: header: mass[1] is -0.5, expected 0 (masses in the MASS block) or a positive mass"},
      {"a box side that is not a number",
       {{"snap", file_of(no_side)}},
       "@snap: header: BoxSize is nan, expected 0 (no box) or a positive side"},
      {"several files, a name without .0",
       {{"snap", file_of(two, 0)}},
       "@snap: the header says the snapshot has 2 files, and this name does not end in .0 as the first one's does"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    temp_dir dir;
    for (const auto& [name, content] : r.files) write_file(dir / name, content);
    std::unique_ptr<snapshot_reader> reader;
    const stage_status s = open_gadget_snapshot((dir / r.files.begin()->first).string(), reader);
    ASSERT_TRUE(s.failed());
    EXPECT_EQ(exit_status::bad_snapshot, s->status);
    std::string want = r.message;
    for (std::size_t at; (at = want.find('@')) != std::string::npos;) want.replace(at, 1, (dir / "").string());
    EXPECT_EQ(want, s->message);
  }
}

TEST(GadgetSnapshot, DamageFoundWhenReading) {
  temp_dir dir;
  const std::string path = (dir / "snap").string();
  // Format 2 without VEL: refused when velocities are asked for, before any chunk.
  write_file(path,
             file_of({.format = 2, .npart = {{0, 5}}, .mass = table}, 0, [](auto& b) { b.erase(b.begin() + 2); }));
  std::unique_ptr<snapshot_reader> reader;
  ASSERT_TRUE(open_snapshot(path, reader).ok());
  const auto nothing = [](const particle_chunk&) {};
  EXPECT_TRUE(read_all(*reader, 0x3f, positions | ids, 100, nothing).ok());
  stage_status s = read_all(*reader, 0x3f, positions | velocities, 100, nothing);
  ASSERT_TRUE(s.failed());
  EXPECT_EQ(exit_status::bad_snapshot, s->status);
  EXPECT_EQ(path + ": no VEL block", s->message);
  // Cut after it was opened.
  std::filesystem::resize_file(path, 300);
  s = read_all(*reader, 0x3f, positions, 100, nothing);
  ASSERT_TRUE(s.failed());
  EXPECT_EQ(exit_status::snapshot_changed, s->status);
  EXPECT_EQ(path + ": changed since it was opened: 408 bytes then, 300 now", s->message);
}

}  // namespace
}  // namespace haloprof::testing
