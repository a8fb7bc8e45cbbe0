// The built haloprof run as a user runs it: in a directory of its own, the snapshot's
// name typed at the prompt.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/process.h"

namespace haloprof::testing {
namespace {
namespace fs = std::filesystem;

const fs::path golden_dir = fs::path(HALOPROF_DATA) / "golden";
const char* const golden_names[] = {"single", "shell1",  "forms",   "boundary", "overflow",
                                    "nanvel", "hdronly", "negzero", "neginf"};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

bool fixed_column(const std::string& l) {
  return l.rfind(" Center=", 0) == 0 || l.rfind(" particles=", 0) == 0 || l.rfind(" Densest", 0) == 0;
}

// A free-form line's words, with each number replaced by its value in single precision.
std::string free_form(const std::string& l) {
  std::istringstream in(l);
  std::string out;
  for (std::string word; in >> word;) {
    char* end = nullptr;
    const float v = std::strtof(word.c_str(), &end);
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    if (*end == '\0') {
      out += std::to_string(bits);
    } else {
      out += word;
    }
    out += ' ';
  }
  return out;
}

TEST(Golden, ReportAndFixedConsoleRecordsMatch) {
  for (const char* name : golden_names) {
    SCOPED_TRACE(name);
    temp_dir dir;
    fs::copy_file(golden_dir / (std::string(name) + ".txt"), dir / "snap.txt");
    const outcome o = run_haloprof(dir.path(), "snap.txt\n");
    ASSERT_EQ(0, o.status) << o.err;
    EXPECT_EQ("", o.err);
    EXPECT_EQ(read_file(golden_dir / (std::string(name) + ".report")), read_file(dir / "HaloProperties.dat"));

    const auto got = lines(o.out), want = lines(read_file(golden_dir / (std::string(name) + ".console")));
    ASSERT_EQ(want.size(), got.size()) << o.out;
    for (std::size_t i = 0; i < want.size(); ++i) {
      if (fixed_column(want[i])) {
        EXPECT_EQ(want[i], got[i]);
      } else {  // free-form: the same words, and numbers of the same single-precision value
        EXPECT_EQ(free_form(want[i]), free_form(got[i])) << got[i];
      }
    }
  }
}

TEST(Console, FirstRecordsOfAHeaderOnlySnapshot) {
  temp_dir dir;
  write_file(dir / "h.txt", "empty 0.5\n");
  const outcome o = run_haloprof(dir.path(), "h.txt\n");
  ASSERT_EQ(0, o.status);
  EXPECT_EQ(0, o.out.rfind("Enter file name:  Redshift= 0.5\n"
                           " Number of particles = 0\n"
                           " Center=    0.000    0.000    0.000 Max.density=      0.00 particle=            0\n"
                           " 0.05000000074505806 0.0025000002\n",
                           0))
      << o.out;
}

TEST(Console, BundledSampleHalo) {
  const fs::path sample = fs::path(HALOPROF_DATA) / ".." / ".." / "examples" / "halo.txt";
  temp_dir dir;
  const outcome o = run_haloprof(dir.path(), fs::absolute(sample).string() + "\n");
  ASSERT_EQ(0, o.status) << o.err;
  EXPECT_EQ(0, o.out.rfind("Enter file name:  Redshift= 0.5\n"
                           " Number of particles = 52768\n"
                           " Center=    0.512    0.487    0.503 Max.density= 104977.00 particle=         6405\n",
                           0))
      << o.out;
  // The sample is what the generator makes with these options, byte for byte.
  const outcome gen = run_program({HALOGEN_EXE, "--digits", "6"}, dir.path(), "");
  ASSERT_EQ(0, gen.status);
  EXPECT_TRUE(gen.out == read_file(sample));
}

TEST(Console, CommandLineArgumentsAreIgnored) {
  temp_dir a, b;
  for (const auto* d : {&a, &b}) fs::copy_file(golden_dir / "shell1.txt", *d / "s.txt");
  const outcome plain = run_haloprof(a.path(), "s.txt\n");
  const outcome with_args = run_program({HALOPROF_EXE, "--help", "other.txt"}, b.path(), "s.txt\n");
  EXPECT_EQ(plain.status, with_args.status);
  EXPECT_EQ(plain.out, with_args.out);
  EXPECT_EQ(read_file(a / "HaloProperties.dat"), read_file(b / "HaloProperties.dat"));
}

TEST(Report, RunsAppendWholeBlocks) {
  temp_dir dir;
  write_file(dir / "far.txt", "far 1.5\n0.2 0 0 1 1 1 -1\n");
  fs::copy_file(golden_dir / "neginf.txt", dir / "neginf.txt");
  // Nothing within 0.1 of the center: the redshift and center line and the header only.
  ASSERT_EQ(0, run_haloprof(dir.path(), "far.txt").status);
  const std::string far_block =
      "Z=   1.500 Center=     0.000    0.000    0.000\n"
      " r_in     <r>    r_out     Np     Overden Ovd(<r_out)  Mass     Vrms    Vradial    Vtangential  beta\n";
  EXPECT_EQ(far_block, read_file(dir / "HaloProperties.dat"));
  ASSERT_EQ(0, run_haloprof(dir.path(), "neginf.txt").status);
  ASSERT_EQ(0, run_haloprof(dir.path(), "neginf.txt").status);
  const std::string neginf = read_file(golden_dir / "neginf.report");
  EXPECT_EQ(far_block + neginf + neginf, read_file(dir / "HaloProperties.dat"));
}

TEST(Report, ConcurrentRunsNeverInterleave) {
  temp_dir dir;
  std::map<std::string, int> expected;  // block -> how many runs write it
  std::vector<std::unique_ptr<child>> runs;
  for (int round = 0; round < 3; ++round) {
    for (const char* name : golden_names) {
      const std::string file = std::string(name) + ".txt";
      if (round == 0) fs::copy_file(golden_dir / file, dir / file);
      ++expected[read_file(golden_dir / (std::string(name) + ".report"))];
      runs.push_back(std::make_unique<child>(std::vector<std::string>{HALOPROF_EXE}, dir.path(), file + "\n"));
    }
  }
  for (auto& r : runs) ASSERT_EQ(0, r->wait().status);

  // Cut the file into blocks at each "Z=" line; each must be one whole block.
  std::map<std::string, int> found;
  std::string block;
  for (const auto& l : lines(read_file(dir / "HaloProperties.dat"))) {
    if (l.rfind("Z=", 0) == 0 && !block.empty()) {
      ++found[block];
      block.clear();
    }
    block += l + "\n";
  }
  ++found[block];
  EXPECT_EQ(expected, found);
}

TEST(Report, AWriteCutShortIsTakenBackOff) {
  // A file size limit makes the write stop part way (EFBIG, with SIGXFSZ ignored): the
  // partial block must not stay behind.
  temp_dir dir;
  fs::copy_file(golden_dir / "shell1.txt", dir / "s.txt");
  const std::string earlier(400, 'e');
  write_file(dir / "HaloProperties.dat", earlier);
  const outcome o = run_program({"/bin/sh", "-c", std::string("trap '' XFSZ; ulimit -f 1; exec ") + HALOPROF_EXE},
                                dir.path(), "s.txt\n");
  EXPECT_EQ(6, o.status);
  EXPECT_EQ("cannot write report 'HaloProperties.dat': File too large\n", o.err);
  EXPECT_EQ(earlier, read_file(dir / "HaloProperties.dat"));
}

struct failing_run {
  const char* what;
  void (*setup)(const fs::path& dir);
  const char* answer;
  int status;
  const char* message;
  bool unprivileged;
};

void nothing(const fs::path&) {}

TEST(Failures, OneLineMessageExitStatusAndReportUntouched) {
  const failing_run cases[] = {
      {"missing snapshot", nothing, "nosuch.txt\n", 3, "cannot open snapshot 'nosuch.txt': No such file or directory\n",
       false},
      {"snapshot is a directory", [](const fs::path& d) { fs::create_directory(d / "snapdir"); }, "snapdir\n", 3,
       "cannot open snapshot 'snapdir': is a directory\n", false},
      {"unreadable snapshot",
       [](const fs::path& d) {
         write_file(d / "secret.txt", "h 0\n");
         fs::permissions(d / "secret.txt", fs::perms::none);
       },
       "secret.txt\n", 3, "cannot open snapshot 'secret.txt': Permission denied\n", true},
      {"no name at all", nothing, "", 2,
       "no snapshot file name given on standard input (expected a name such as halo.txt)\n", false},
      {"a comma for a name", nothing, " ,x\n", 2,
       "no snapshot file name given on standard input (expected a name such as halo.txt)\n", false},
      {"short particle record", [](const fs::path& d) { write_file(d / "s.txt", "h 0\n1 2 3 4 5 6 7\n1 2 3\n"); },
       "s.txt\n", 4, "s.txt:3: expected 7 values (x y z vx vy vz dens), found 3\n", false},
      {"report path is a directory",
       [](const fs::path& d) {
         fs::copy_file(golden_dir / "single.txt", d / "s.txt");
         fs::create_directory(d / "HaloProperties.dat");
       },
       "s.txt\n", 6, "cannot write report 'HaloProperties.dat': Is a directory\n", false},
      {"report directory read-only",
       [](const fs::path& d) {
         fs::create_directory(d / "ro");
         fs::copy_file(golden_dir / "single.txt", d / "s.txt");
         fs::permissions(d, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
       },
       "s.txt\n", 6, "cannot write report 'HaloProperties.dat': Permission denied\n", true},
      {"report file read-only",
       [](const fs::path& d) {
         fs::copy_file(golden_dir / "single.txt", d / "s.txt");
         write_file(d / "HaloProperties.dat", "earlier block\n");
         fs::permissions(d / "HaloProperties.dat",
                         fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
       },
       "s.txt\n", 6, "cannot write report 'HaloProperties.dat': Permission denied\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    temp_dir dir;
    c.setup(dir.path());
    const bool writable = (fs::status(dir.path()).permissions() & fs::perms::owner_write) != fs::perms::none;
    if (writable && !fs::exists(dir / "HaloProperties.dat")) write_file(dir / "HaloProperties.dat", "earlier block\n");
    const auto before = fs::is_regular_file(dir / "HaloProperties.dat") ? read_file(dir / "HaloProperties.dat") : "";
    std::vector<fs::path> entries_before(fs::directory_iterator(dir.path()), fs::directory_iterator());
    const outcome o =
        c.unprivileged ? run_haloprof_unprivileged(dir.path(), c.answer) : run_haloprof(dir.path(), c.answer);
    EXPECT_EQ(c.status, o.status);
    EXPECT_EQ(c.message, o.err);
    if (fs::is_regular_file(dir / "HaloProperties.dat")) {
      EXPECT_EQ(before, read_file(dir / "HaloProperties.dat"));
    }
    std::vector<fs::path> entries_after(fs::directory_iterator(dir.path()), fs::directory_iterator());
    EXPECT_EQ(entries_before.size(), entries_after.size()) << "a file was created";
  }
}

}  // namespace
}  // namespace haloprof::testing
