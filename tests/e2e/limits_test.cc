// Runs under limits, signals and unruly neighbours: each ends with its own exit status and
// at most one whole line on standard error, never by a signal or a hang, and
// HaloProperties.dat only ever gains whole blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace haloprof::testing {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto most = 20s;  // no run here takes a second: longer is a hang

// A generated halo (about 53,000 particles, 3.5 MB) and the block a plain run appends.
struct halo {
  std::string text, block;
};
const halo& sample() {
  static const halo h = [] {
    temp_dir dir;
    halo made;
    if (run_program({HALOGEN_EXE, "-o", "s.txt"}, dir.path(), "").status != 0) return made;
    made.text = read_file(dir / "s.txt");
    if (run_haloprof(dir.path(), "s.txt\n").status == 0) made.block = read_file(dir / "HaloProperties.dat");
    return made;
  }();
  return h;
}

// A halo in a background of 110,000 particles (8.7 MB): the spheres hold a small part of
// it, so the center finder gathers a list of candidates, block by block.
const halo& background() {
  static const halo h = [] {
    temp_dir dir;
    halo made;
    if (run_program({HALOGEN_EXE, "-b", "0.3", "-o", "s.txt"}, dir.path(), "").status != 0) return made;
    made.text = read_file(dir / "s.txt");
    if (run_haloprof(dir.path(), "s.txt\n").status == 0) made.block = read_file(dir / "HaloProperties.dat");
    return made;
  }();
  return h;
}

// Where line `line` (from 1) of `text` starts.
std::size_t line_start(const std::string& text, int line) {
  std::size_t start = 0;
  for (int l = 1; l < line; ++l) start = text.find('\n', start) + 1;
  return start;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Whether some of the file's data still waits in memory for its place on the disk (file
// systems that allocate at write-back say so); nullopt where the file system does not tell.
std::optional<bool> awaits_disk(const fs::path& p) {
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  constexpr int room = 64;
  alignas(fiemap) char buffer[sizeof(fiemap) + room * sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(buffer);
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = room;
  const bool told = ioctl(fd, FS_IOC_FIEMAP, map) == 0;
  close(fd);
  if (!told) return std::nullopt;
  for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
    if ((map->fm_extents[i].fe_flags & (FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_UNKNOWN)) != 0) return true;
  return false;
}

// How many processes wait for a lock on the file `p` (from /proc/locks).
int waiting_for_lock(const fs::path& p) {
  struct stat st {};
  if (stat(p.c_str(), &st) != 0) return 0;
  std::istringstream locks(read_file("/proc/locks"));
  int n = 0;
  for (std::string line; std::getline(locks, line);)
    if (line.find(" -> ") != std::string::npos && line.find(":" + std::to_string(st.st_ino) + " ") != std::string::npos)
      ++n;
  return n;
}

bool soon(const std::function<bool()>& done) {
  for (const auto until = std::chrono::steady_clock::now() + most; std::chrono::steady_clock::now() < until;) {
    if (done()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// The sample snapshot beside a report holding `report_text`, whose lock another program
// holds until release().
struct held_report {
  temp_dir dir;
  const fs::path report = dir / "HaloProperties.dat";
  int held = -1;
  explicit held_report(const std::string& report_text) {
    write_file(dir / "s.txt", sample().text);
    write_file(report, report_text);
    held = open(report.c_str(), O_RDWR | O_CLOEXEC);
    if (held < 0 || flock(held, LOCK_EX) != 0) ADD_FAILURE() << "cannot lock " << report;
  }
  void release() {
    if (held >= 0) close(held);
    held = -1;
  }
  ~held_report() { release(); }
};

struct scene {
  const fs::path dir;
  child_options options;
  std::string answer = "s.txt\n";
  std::vector<int> held{};              // descriptors of the test's, closed at the end of the case
  std::vector<std::jthread> helpers{};  // joined after `held` is closed
  ~scene() {
    for (const int fd : held) close(fd);
  }
  int keep(int fd) {
    held.push_back(fd);
    return fd;
  }
};

struct limit_case {
  const char* what;
  std::function<void(scene&)> arrange;  // after s.txt and an earlier block are in place
  int status;
  std::string message;                 // standard error, "" for none
  bool adds_block;                     // else the report stays as it was
  bool needs_plain_memory = false;     // limits on address space and data: not under sanitizers
  const halo& (*snapshot)() = sample;  // what s.txt and the earlier block come from
};

TEST(Limits, EachEndsWithItsStatusAndAtMostOneWholeLine) {
  ASSERT_FALSE(sample().block.empty());
  const std::string console_lost = " (the run is complete and its report was written)";
  const std::string long_name(1 << 20, 'n');
  // A vertical tab in the x of line 501, whose x is a number of 7 digits or more.
  const std::size_t x501 = line_start(sample().text, 501);
  const std::string x = sample().text.substr(x501, sample().text.find(' ', x501) - x501);
  const limit_case cases[] = {
      {"a complete run: the block is on the disk", [](scene&) {}, 0, "", true},
      {"a file-size limit that cuts the block short",
       [](scene& s) {
         s.options.limits = {{RLIMIT_FSIZE, fs::file_size(s.dir / "HaloProperties.dat") + sample().block.size() / 2}};
       },
       6, "cannot write report 'HaloProperties.dat': File too large", false},
      {"a snapshot that is a FIFO",
       [](scene& s) {
         ASSERT_EQ(0, mkfifo((s.dir / "f").c_str(), 0644));
         s.answer = "f\n";
       },
       3, "cannot open snapshot 'f': is not a regular file (the snapshot is mapped into memory, so it must be a file)",
       false},
      {"a report that is a FIFO",
       [](scene& s) {
         fs::remove(s.dir / "HaloProperties.dat");
         ASSERT_EQ(0, mkfifo((s.dir / "HaloProperties.dat").c_str(), 0644));
       },
       6, "cannot write report 'HaloProperties.dat': is not a regular file", false},
      {"an address-space limit smaller than the snapshot",
       [](scene& s) {
         write_file(s.dir / "big.txt", "h 0\n0.5 0.5 0.5 0 0 0 1\n");
         fs::resize_file(s.dir / "big.txt", std::uintmax_t{1} << 30);  // sparse: takes no room
         s.options.limits = {{RLIMIT_AS, 256ul << 20}};
         s.answer = "big.txt\n";
       },
       5, "cannot map snapshot 'big.txt' into memory: Cannot allocate memory", false, true},
      {"standard output closed", [](scene& s) { s.options.out = child_options::closed; }, 9,
       "cannot write to standard output: Bad file descriptor" + console_lost, true},
      {"standard output a full device",
       [](scene& s) { s.options.out = s.keep(open("/dev/full", O_WRONLY | O_CLOEXEC)); }, 9,
       "cannot write to standard output: No space left on device" + console_lost, true},
      {"standard output a pipe nobody reads",
       [](scene& s) {
         int ends[2];
         ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
         close(ends[0]);
         s.options.out = s.keep(ends[1]);
       },
       9, "cannot write to standard output: Broken pipe" + console_lost, true},
      {"standard output a non-blocking pipe, full until its reader catches up",
       [](scene& s) {
         int ends[2];
         ASSERT_EQ(0, pipe2(ends, O_CLOEXEC | O_NONBLOCK));
         const std::string chunk(4096, 'x');
         while (write(ends[1], chunk.data(), chunk.size()) > 0) {
         }
         s.options.out = s.keep(ends[1]);
         s.helpers.emplace_back([reader = ends[0]] {
           std::this_thread::sleep_for(300ms);
           pollfd ready{reader, POLLIN, 0};
           char sink[1 << 16];
           for (ssize_t n = 1; n != 0 && poll(&ready, 1, -1) > 0;) n = read(reader, sink, sizeof sink);
           close(reader);
         });
       },
       0, "", true},
      {"control characters in the name", [](scene& s) { s.answer = "\x1b[2J\x7f\xc2\x9bq.txt\n"; }, 3,
       "cannot open snapshot '\\x1b[2J\\x7f\\xc2\\x9bq.txt': No such file or directory", false},
      {"a name of a megabyte, ending in a control character", [&](scene& s) { s.answer = long_name + "\a\n"; }, 3,
       "cannot open snapshot '" + long_name.substr(0, 120) + "..." + long_name.substr(0, 119) +
           "\\x07': File name too long",
       false},
      {"a name after 16 MiB of blanks", [](scene& s) { s.answer = std::string((1 << 24) - 2, ' ') + "s.txt\n"; }, 0, "",
       true},
      {"a quoted name ending in a blank, beside the name without it",
       [](scene& s) {
         fs::rename(s.dir / "s.txt", s.dir / "s.txt ");
         write_file(s.dir / "s.txt", "h 0\n1 2 3\n");
         s.answer = "'s.txt '\n";
       },
       0, "", true},
      {"line ends that are carriage returns alone",
       [](scene& s) {
         std::string text = sample().text;
         std::replace(text.begin(), text.end(), '\n', '\r');
         write_file(s.dir / "s.txt", text);
       },
       0, "", true},
      {"a stray byte in a particle's first value",
       [&](scene& s) {
         std::string text = sample().text;
         text[x501 + 3] = '\v';
         write_file(s.dir / "s.txt", text);
       },
       4, "s.txt:501: value 1 (x) is not a number: '" + x.substr(0, 3) + "\\x0b" + x.substr(4) + "'", false},
      {"a file-size limit on a report the run creates: none is left",
       [](scene& s) {
         fs::remove(s.dir / "HaloProperties.dat");
         s.options.limits = {{RLIMIT_FSIZE, 100}};
       },
       6, "cannot write report 'HaloProperties.dat': File too large", false},
      {"a stack limit of 64 KiB",
       [](scene& s) {
         s.options.limits = {{RLIMIT_STACK, 64ul << 10}};
       },
       0, "", true, false, background},
      {"a stack limit of 128 KiB",
       [](scene& s) {
         s.options.limits = {{RLIMIT_STACK, 128ul << 10}};
       },
       0, "", true, false, background},
      {"a stack limit below what a run needs",
       [](scene& s) {
         s.options.limits = {{RLIMIT_STACK, 32ul << 10}};
       },
       5, "the stack limit (ulimit -s) of 32 KiB is below the 64 KiB a run needs", false, false, background},
  };
  ASSERT_FALSE(background().block.empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
#ifdef HALOPROF_SANITIZED
    if (c.needs_plain_memory) continue;  // the sanitizers' shadow memory needs no limit
#endif
    const halo& h = c.snapshot();
    temp_dir dir;
    scene s{dir.path(), {}};
    write_file(dir / "s.txt", h.text);
    write_file(dir / "HaloProperties.dat", h.block);
    c.arrange(s);
    if (::testing::Test::HasFatalFailure()) continue;
    // Standard error as a socket that keeps each write apart: the line must come in one.
    int err[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, err));
    s.options.err = err[1];
    child run({HALOPROF_EXE}, dir.path(), s.answer, s.options);
    close(err[1]);
    const outcome o = run.wait(most);
    std::vector<std::string> writes;
    char piece[1 << 12];
    for (ssize_t n; (n = recv(err[0], piece, sizeof piece, MSG_DONTWAIT)) > 0;) writes.emplace_back(piece, n);
    close(err[0]);

    EXPECT_EQ(0, o.signal);
    EXPECT_EQ(c.status, o.status);
    EXPECT_EQ(c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message + "\n"}, writes);
    // (A report that the arrangement removed must stay absent or hold the blocks.)
    if (fs::is_regular_file(dir / "HaloProperties.dat")) {
      const std::string report = read_file(dir / "HaloProperties.dat");
      EXPECT_TRUE(h.block + (c.adds_block ? h.block : "") == report)
          << report.size() << " bytes in " << count(report, "Z=") << " blocks";
      if (c.adds_block) {
        EXPECT_NE(std::optional<bool>{true}, awaits_disk(dir / "HaloProperties.dat"));
      }
    }
  }
}

TEST(Limits, SnapshotChangedWhileReadIsToldNotFollowed) {
  // Six times the sample's particles (21 MB): long enough a read to be caught in it.
  const std::string& text = sample().text;
  const std::size_t header_end = text.find('\n') + 1;
  std::string big = text;
  for (int k = 0; k < 5; ++k) big.append(text, header_end);
  const struct {
    const char* what;
    void (*change)(const fs::path&);
  } changes[] = {
      {"cut shorter", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 3); }},
      {"written over in place",
       [](const fs::path& p) {
         const int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
         ASSERT_EQ(2, pwrite(fd, "9 ", 2, static_cast<off_t>(fs::file_size(p) / 2)));
         close(fd);
       }},
      {"written over in place, its modification time put back (as copies keeping times do)", [](const fs::path& p) {
         struct stat before {};
         ASSERT_EQ(0, stat(p.c_str(), &before));
         const int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
         ASSERT_EQ(2, pwrite(fd, "9 ", 2, static_cast<off_t>(fs::file_size(p) / 2)));
         close(fd);
         const timespec kept[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(0, utimensat(AT_FDCWD, p.c_str(), kept, 0));
       }}};
  for (const auto& change : changes) {
    SCOPED_TRACE(change.what);
    temp_dir dir;
    int caught = 0;
    // A try whose run ends before the change finds it is a complete run: try a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
      write_file(dir / "v.txt", big);
      const timespec long_ago[2] = {{1, 0}, {1, 0}};  // a change must show in the time too
      ASSERT_EQ(0, utimensat(AT_FDCWD, (dir / "v.txt").c_str(), long_ago, 0));
      const std::string report_before = read_file(dir / "HaloProperties.dat");
      child run({HALOPROF_EXE}, dir.path(), "v.txt\n");
      const std::string maps = "/proc/" + std::to_string(run.pid()) + "/maps";
      const std::string state = "/proc/" + std::to_string(run.pid()) + "/stat";
      bool mapped = false;
      soon([&] {
        mapped = read_file(maps).find((dir / "v.txt").string()) != std::string::npos;
        const std::string now = read_file(state);  // empty or Z (a zombie) once it has ended
        return mapped || now.empty() || now.find(") Z ") != std::string::npos;
      });
      if (mapped) {  // held still while the file changes, so that the change lands mid-read
        kill(run.pid(), SIGSTOP);
        change.change(dir / "v.txt");
        kill(run.pid(), SIGCONT);
      }
      const outcome o = run.wait(most);
      ASSERT_EQ(0, o.signal);
      if (o.status == 8) {
        ++caught;
        EXPECT_EQ("snapshot 'v.txt' changed while being read\n", o.err);
        EXPECT_EQ(report_before, read_file(dir / "HaloProperties.dat"));
      } else {
        ASSERT_EQ(0, o.status) << o.err;
        EXPECT_EQ(count(report_before, "Z=") + 1, count(read_file(dir / "HaloProperties.dat"), "Z="));
      }
    }
    EXPECT_LT(0, caught) << "no run was caught reading";
  }
}

TEST(Limits, WhereAMemoryLimitSufficesEveryLargerOneDoes) {
#ifdef HALOPROF_SANITIZED
  GTEST_SKIP() << "the sanitizers' shadow memory needs no limit";
#endif
  ASSERT_FALSE(sample().block.empty());
  temp_dir dir;
  write_file(dir / "s.txt", sample().text);
  // The arrays are first sized from the text (4 bytes an element for each of seven, an
  // element per 14 bytes), then, when that fails, from the count of particles.
  const auto particles = static_cast<unsigned long>(count(sample().text, "\n") - 1);
  const unsigned long first_try = 28 * (sample().text.size() / 14), step = 2 * particles;
  std::optional<unsigned long> enough;
  for (unsigned long limit = 28 * particles; !enough || limit < *enough + first_try + 2 * step; limit += step) {
    SCOPED_TRACE(limit);
    fs::remove(dir / "HaloProperties.dat");
    child_options limited;
    limited.limits = {{RLIMIT_DATA, limit}};
    const outcome o = run_haloprof(dir.path(), "s.txt\n", limited);
    if (o.status == 0 && !enough) enough = limit;
    if (enough) {
      ASSERT_EQ(0, o.status) << "a smaller limit sufficed: " << *enough;
      EXPECT_EQ(sample().block, read_file(dir / "HaloProperties.dat"));
    } else {
      ASSERT_EQ(5, o.status);
      EXPECT_EQ("Allocation would exceed memory limit\n", o.err);
    }
  }
}

TEST(Limits, AReportReplacedWhileRunsWaitGetsEveryBlock) {
  ASSERT_FALSE(sample().block.empty());
  // Another program holds the report's lock while the runs come to wait for it, then
  // rewrites the report elsewhere and renames it over the path, as editors and tidying
  // scripts do, before letting go.
  held_report h(sample().block);
  const auto& dir = h.dir;
  const auto& report = h.report;
  constexpr int runs = 4;
  std::vector<std::unique_ptr<child>> waiting;
  for (int k = 0; k < runs; ++k)
    waiting.push_back(std::make_unique<child>(std::vector<std::string>{HALOPROF_EXE}, dir.path(), "s.txt\n"));
  EXPECT_TRUE(soon([&] { return waiting_for_lock(report) == runs; }));
  write_file(dir / "copy", read_file(report));
  fs::rename(dir / "copy", report);
  h.release();
  for (auto& r : waiting) EXPECT_EQ(0, r->wait(most).status);
  std::string all;
  for (int k = 0; k <= runs; ++k) all += sample().block;
  EXPECT_EQ(all, read_file(report));
}

TEST(Limits, AWaitForTheLockIsToldOnceOnATerminal) {
  ASSERT_FALSE(sample().block.empty());
  held_report h("");
  const auto& dir = h.dir;
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_LE(0, terminal);
  ASSERT_EQ(0, grantpt(terminal));
  ASSERT_EQ(0, unlockpt(terminal));
  const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const auto start = std::chrono::steady_clock::now();
  child_options on_terminal;
  on_terminal.err = side;
  child run({HALOPROF_EXE}, dir.path(), "s.txt\n", on_terminal);
  close(side);
  std::string told;
  const auto read_terminal = [&] {
    char piece[256];
    for (ssize_t n; (n = read(terminal, piece, sizeof piece)) > 0;) told.append(piece, n);
  };
  fcntl(terminal, F_SETFL, O_NONBLOCK);
  EXPECT_TRUE(soon([&] {
    read_terminal();
    return told.find('\n') != std::string::npos;
  }));
  EXPECT_LE(1s, std::chrono::steady_clock::now() - start);
  std::this_thread::sleep_for(1200ms);  // time enough to be told twice
  h.release();
  EXPECT_EQ(0, run.wait(most).status);
  read_terminal();
  close(terminal);
  EXPECT_EQ("waiting for another program to finish writing 'HaloProperties.dat'\r\n", told);
  EXPECT_EQ(sample().block, read_file(h.report));
}

TEST(Limits, AllCoresStopWhereTheListEnds) {
  // The sample, a line of words, then 128 MB of further records (a second list, as some
  // files carry): nothing after the words is read, so the run takes about the memory of the
  // halo alone, on any number of cores, and whether or not the particles are counted first.
  ASSERT_FALSE(sample().block.empty());
  temp_dir dir;
  const std::string& text = sample().text;
  const std::string more = text.substr(text.find('\n') + 1);
  {
    std::ofstream out(dir / "long.txt", std::ios::binary);
    out << text << "end of the halo; another list follows\n";
    for (std::size_t n = 0; n < (std::size_t{128} << 20); n += more.size()) out << more;
  }
  write_file(dir / "s.txt", text);
  const long alone = run_haloprof(dir.path(), "s.txt\n").peak_kib;
  std::vector<child_options> ways(1);
#ifndef HALOPROF_SANITIZED
  ways.emplace_back().limits = {{RLIMIT_DATA, 160ul << 20}};  // no arrays for 128 MB of text: counted first
#endif
  for (const child_options& way : ways) {
    SCOPED_TRACE(way.limits.empty() ? "arrays sized from the text" : "particles counted first");
    fs::remove(dir / "HaloProperties.dat");
    const outcome o = run_haloprof(dir.path(), "long.txt\n", way);
    ASSERT_EQ(0, o.status) << o.err;
    EXPECT_EQ(sample().block, read_file(dir / "HaloProperties.dat"));
    EXPECT_LT(o.peak_kib, alone + 48 * 1024) << "the halo alone: " << alone << " KiB";
  }
}

// Sets or clears the append-only attribute; false where the file system or the user cannot.
bool append_only(const fs::path& p, bool on) {
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return done;
}

TEST(Limits, AnAppendOnlyReportGetsWholeBlocksOrNone) {
  // A write cut short cannot be taken back off a report that may only grow: the block that
  // the file-size limit has no room for is not begun.
  ASSERT_FALSE(sample().block.empty());
  temp_dir dir;
  write_file(dir / "s.txt", sample().text);
  const fs::path report = dir / "HaloProperties.dat";
  write_file(report, sample().block);
  if (!append_only(report, true)) GTEST_SKIP() << "the append-only attribute cannot be set here: " << strerror(errno);
  child_options limited;
  limited.limits = {{RLIMIT_FSIZE, sample().block.size() * 3 / 2}};
  const outcome cut = run_haloprof(dir.path(), "s.txt\n", limited);
  const outcome whole = run_haloprof(dir.path(), "s.txt\n");
  const std::string after = read_file(report);
  append_only(report, false);
  EXPECT_EQ(6, cut.status);
  EXPECT_EQ("cannot write report 'HaloProperties.dat': File too large\n", cut.err);
  EXPECT_EQ(0, whole.status) << whole.err;
  EXPECT_TRUE(sample().block + sample().block == after) << after.size() << " bytes";
}

// Runs haloprof in `cwd` as the unprivileged user "nobody" (as itself when not root),
// leaving the permissions as the test set them.
outcome run_as_nobody(const fs::path& cwd, const std::string& input, const temp_dir& bin) {
  if (geteuid() != 0) return run_haloprof(cwd, input);
  fs::copy_file(HALOPROF_EXE, bin / "haloprof", fs::copy_options::overwrite_existing);
  fs::permissions(bin.path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::others_read);
  return run_program(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", (bin / "haloprof").string()}, cwd,
      input);
}

TEST(Limits, ADropBoxDirectoryGetsItsBlock) {
  // A directory that may be written and entered but not read (mode 0333): the report's
  // name is put on the disk without opening the directory.
  ASSERT_FALSE(sample().block.empty());
  temp_dir dir, bin;
  const fs::path box = dir / "box";
  fs::create_directory(box);
  write_file(box / "s.txt", sample().text);
  fs::permissions(box / "s.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(box, fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write | fs::perms::group_exec |
                           fs::perms::others_write | fs::perms::others_exec);
  const outcome o = run_as_nobody(box, "s.txt\n", bin);
  fs::permissions(box, fs::perms::owner_all);
  EXPECT_EQ(0, o.status) << o.err;
  EXPECT_EQ(sample().block, read_file(box / "HaloProperties.dat"));
}

TEST(Limits, AReportThatIsALinkHasItsTargetsDirectorySynced) {
  // HaloProperties.dat is a link into another directory: the name put on the disk is the
  // one in the directory holding the file, which the run therefore opens (and no other).
  ASSERT_FALSE(sample().block.empty());
  temp_dir dir;
  fs::create_directory(dir / "run");
  fs::create_directory(dir / "kept");
  write_file(dir / "run" / "s.txt", sample().text);
  write_file(dir / "kept" / "report", sample().block);
  fs::create_symlink("../kept/report", dir / "run" / "HaloProperties.dat");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_LE(0, watch);
  ASSERT_LE(0, inotify_add_watch(watch, (dir / "kept").c_str(), IN_OPEN));
  const outcome o = run_haloprof(dir / "run", "s.txt\n");
  EXPECT_EQ(0, o.status) << o.err;
  EXPECT_EQ(sample().block + sample().block, read_file(dir / "kept" / "report"));
  alignas(inotify_event) char events[4096];
  bool directory_opened = false;
  for (ssize_t n = read(watch, events, sizeof events), at = 0; n > 0 && at < n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(events + at);
    directory_opened = directory_opened || (e->len == 0 && (e->mask & IN_ISDIR) != 0);
    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
  }
  close(watch);
  EXPECT_TRUE(directory_opened);
}

TEST(Limits, AReportRemovedWhileARunWaitsGetsNoBlockInTheDark) {
  // The lock's holder removes the report and leaves at its path what cannot be resolved:
  // the run must not write into the removed file it still holds.
  ASSERT_FALSE(sample().block.empty());
  held_report h(sample().block);
  const auto& dir = h.dir;
  const auto& report = h.report;
  child run({HALOPROF_EXE}, dir.path(), "s.txt\n");
  EXPECT_TRUE(soon([&] { return waiting_for_lock(report) == 1; }));
  fs::remove(report);
  fs::create_symlink("HaloProperties.dat", report);  // a loop
  h.release();
  const outcome o = run.wait(most);
  EXPECT_EQ(6, o.status);
  EXPECT_EQ("cannot write report 'HaloProperties.dat': Too many levels of symbolic links\n", o.err);
}

}  // namespace
}  // namespace haloprof::testing
