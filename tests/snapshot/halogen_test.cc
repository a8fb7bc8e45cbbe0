// halogen's box written as Gadget-2 binary snapshots read back to the very particles of
// its text form, and its halo catalogues read back to the halos it placed.
#include <gtest/gtest.h>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "snapshot/catalogue.h"
#include "snapshot/snapshot.h"
#include "support/process.h"

namespace haloprof::testing {
namespace {

constexpr std::size_t box_particles = 160 * 160 * 160;

outcome halogen(const temp_dir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {HALOGEN_EXE, "--seed", "3"});
  return run_program(args, dir.path(), "");
}

// The text form's positions and velocities, as the single-precision values written.
struct text_box {
  std::vector<float> pos, vel;
};

text_box read_text(const std::filesystem::path& p) {
  const std::string text = read_file(p);
  text_box box;
  box.pos.reserve(3 * box_particles);
  box.vel.reserve(3 * box_particles);
  const char* c = text.data() + text.find('\n') + 1;
  const char* end = text.data() + text.size();
  while (c < end) {
    float v[7];
    for (float& x : v) {
      while (*c == ' ') ++c;
      c = std::from_chars(c, end, x).ptr;
    }
    box.pos.insert(box.pos.end(), v, v + 3);
    box.vel.insert(box.vel.end(), v + 3, v + 6);
    c = std::find(c, end, '\n') + 1;
  }
  return box;
}

TEST(HalogenSnapshot, GadgetFilesHoldTheTextFormsParticles) {
  temp_dir dir;
  // Nine digits give the single-precision values exactly; --box-size 1 keeps the unit cube.
  for (const char* face : {"", "--across-face"}) {
    std::vector<std::string> args = {"--shape", "box", "--digits", "9", "-o", *face ? "face.txt" : "box.txt"};
    if (*face) args.push_back(face);
    const outcome o = halogen(dir, args);
    ASSERT_EQ(0, o.status) << o.err;
  }
  const text_box plain = read_text(dir / "box.txt"), across = read_text(dir / "face.txt");
  ASSERT_EQ(3 * box_particles, plain.pos.size());

  struct row {
    std::vector<std::string> args;
    const char* format;
    std::size_t files;
    bool cosmological;
    const text_box& text;
  };
  const row rows[] = {
      {{"--snapshot-format", "gadget1", "--catalogue", "cat.txt", "--catalogue-format", "plain"},
       "Gadget-2 format 1, little-endian",
       1,
       true,
       plain},
      {{"--snapshot-format", "gadget2", "--big-endian", "--files", "3", "--mass-block", "--catalogue", "cat.ahf"},
       "Gadget-2 format 2, big-endian",
       3,
       true,
       plain},
      {{"--snapshot-format", "gadget1", "--big-endian", "--double", "--long-ids", "--files", "2", "--across-face",
        "--catalogue", "face.ahf"},
       "Gadget-2 format 1, big-endian",
       2,
       true,
       across},
      {{"--snapshot-format", "gadget2", "--non-cosmological", "--double"},
       "Gadget-2 format 2, little-endian",
       1,
       false,
       plain},
  };
  for (const row& r : rows) {
    std::string all;
    for (const std::string& a : r.args) all += a + " ";
    SCOPED_TRACE(all);
    std::vector<std::string> args = r.args;
    args.insert(args.end(), {"--box-size", "1", "-o", "snap"});
    const outcome o = halogen(dir, args);
    ASSERT_EQ(0, o.status) << o.err;
    std::unique_ptr<snapshot_reader> reader;
    const stage_status opened = open_snapshot((dir / (r.files == 1 ? "snap" : "snap.0")).string(), reader);
    ASSERT_TRUE(opened.ok()) << opened->message;
    const snapshot_info& info = reader->info();
    EXPECT_EQ(r.format, info.format);
    EXPECT_EQ(r.files, info.files.size());
    EXPECT_EQ(box_particles, info.count[1]);
    EXPECT_EQ(1.0, info.box);
    EXPECT_EQ(r.cosmological, info.cosmological);
    EXPECT_EQ(r.cosmological ? 0.5 : 0.0, info.redshift);
    // 0.3 of the critical density, 27.7536627e-9 x 10^10 Msun/h per (kpc/h)^3, over the particles.
    const double mass = 0.3 * 27.7536627e-9 / static_cast<double>(box_particles);
    std::size_t next = 0, wrong_pos = 0, wrong_vel = 0, wrong_mass = 0, outside = 0;
    // Chunks larger than the reader's pieces of a few MiB, ending inside blocks and files.
    const stage_status s =
        reader->read(2, positions | velocities | masses | ids, 1000000, [&](const particle_chunk& c) {
          for (std::size_t i = 0; i < c.n; ++i, ++next) {
            EXPECT_EQ(next + 1, c.id[i]);
            for (std::size_t a = 0; a < 3; ++a) {
              const double x = c.pos[3 * i + a], t = r.text.pos[3 * next + a];
              outside += !(x >= 0 && x < 1);
              // The text is not wrapped without --across-face: a value rounding up to 1 is 0 here.
              wrong_pos += x != t && !(t == 1.0f && x == 0);
              const double v = c.vel[3 * i + a] * info.velocity_factor, tv = r.text.vel[3 * next + a];
              wrong_vel += r.cosmological ? std::fabs(v - tv) > 1e-6 * std::fabs(tv) : v != tv;
            }
            wrong_mass += std::fabs((c.mass.empty() ? info.mass_table[1] : c.mass[i]) - mass) > 1e-7 * mass;
          }
          return stage_status{};
        });
    ASSERT_TRUE(s.ok()) << s->message;
    EXPECT_EQ(box_particles, next);
    EXPECT_EQ(0u, wrong_pos);
    EXPECT_EQ(0u, wrong_vel);
    EXPECT_EQ(0u, wrong_mass);
    EXPECT_EQ(0u, outside);
  }

  // The catalogues: the same six halos in either form, the given one first; across the
  // face, the last one's centre within a third of its radius of x = 0.
  halo_catalogue listed, ahf, face;
  ASSERT_TRUE(read_catalogue((dir / "cat.txt").string(), listed).ok());
  ASSERT_TRUE(read_catalogue((dir / "cat.ahf").string(), ahf).ok());
  ASSERT_TRUE(read_catalogue((dir / "face.ahf").string(), face).ok());
  EXPECT_EQ("plain list", listed.format);
  EXPECT_EQ("AHF", ahf.format);
  ASSERT_EQ(6u, listed.halos.size());
  ASSERT_EQ(6u, ahf.halos.size());
  ASSERT_EQ(6u, face.halos.size());
  for (std::size_t k = 0; k < 6; ++k) {
    EXPECT_EQ(static_cast<std::int64_t>(k), ahf.halos[k].id);
    for (int a = 0; a < 3; ++a) EXPECT_EQ(listed.halos[k].centre[a], ahf.halos[k].centre[a]);
    EXPECT_EQ(listed.halos[k].radius, ahf.halos[k].radius);
  }
  EXPECT_EQ(0.512, ahf.halos[0].centre[0]);
  EXPECT_EQ(0.487, ahf.halos[0].centre[1]);
  EXPECT_EQ(0.503, ahf.halos[0].centre[2]);
  const catalogue_halo& last = face.halos[5];
  EXPECT_LT(last.centre[0], *last.radius / 3);
  EXPECT_GT(last.centre[0], 0);
}

TEST(HalogenSnapshot, AFailedWriteRemovesItsFiles) {
  temp_dir dir;
  std::filesystem::create_directory(dir / "snap.1");  // the second file cannot be written
  const outcome o = halogen(dir, {"--snapshot-format", "gadget2", "--files", "3", "-o", "snap"});
  EXPECT_EQ(1, o.status);
  EXPECT_EQ("halogen: cannot write 'snap.1': Is a directory\n", o.err);
  EXPECT_FALSE(std::filesystem::exists(dir / "snap.0"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "snap.1"));
}

}  // namespace
}  // namespace haloprof::testing
