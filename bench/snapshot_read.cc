// How fast snapshots are read: each file named on the command line is read whole (every
// type, positions, velocities, masses and ids) RUNS times in turn, one untimed read first,
// and the median and best rates printed in bytes of the snapshot's files per second.
//
//   halogen --snapshot-format gadget2 -o g2 && snapshot_read g2 [more snapshots ...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "snapshot/snapshot.h"

int main(int argc, char** argv) {
  using clock = std::chrono::steady_clock;
  const int runs = argc > 1 && std::string(argv[1]).starts_with("--runs=") ? std::atoi(argv[1] + 7) : 5;
  const int first = argc > 1 && std::string(argv[1]).starts_with("--runs=") ? 2 : 1;
  if (first >= argc || runs < 1) {
    std::fprintf(stderr, "usage: snapshot_read [--runs=N] SNAPSHOT...\n");
    return 2;
  }
  struct subject {
    std::string path, format;
    std::unique_ptr<haloprof::snapshot_reader> reader;
    double bytes = 0;
    std::vector<double> seconds;
  };
  std::vector<subject> subjects;
  for (int i = first; i < argc; ++i) {
    subject s{argv[i], "", nullptr, 0, {}};
    if (const haloprof::stage_status st = haloprof::open_snapshot(s.path, s.reader); st.failed()) {
      std::fprintf(stderr, "%s\n", st->message.c_str());
      return 1;
    }
    s.format = s.reader->info().format;
    for (const std::string& f : s.reader->info().files) s.bytes += static_cast<double>(std::filesystem::file_size(f));
    subjects.push_back(std::move(s));
  }
  double checksum = 0;  // keeps the reads from being optimised away
  const auto read_once = [&](subject& s) {
    const auto start = clock::now();
    const haloprof::stage_status st = s.reader->read(
        0x7f, haloprof::positions | haloprof::velocities | haloprof::masses | haloprof::ids, 1 << 20,
        [&](const haloprof::particle_chunk& c) {
          checksum += c.pos[0] + c.vel[0] + static_cast<double>(c.id[0]) + (c.mass.empty() ? 0 : c.mass[0]);
          return haloprof::stage_status{};
        });
    if (st.failed()) {
      std::fprintf(stderr, "%s\n", st->message.c_str());
      std::exit(1);
    }
    return std::chrono::duration<double>(clock::now() - start).count();
  };
  for (subject& s : subjects) read_once(s);
  // Runs taken in turn over the files, so that the machine's drift touches them all alike.
  for (int r = 0; r < runs; ++r)
    for (subject& s : subjects) s.seconds.push_back(read_once(s));
  std::printf("%-40s %-34s %10s %10s %10s\n", "snapshot", "format", "MB", "median MB/s", "best MB/s");
  for (subject& s : subjects) {
    std::sort(s.seconds.begin(), s.seconds.end());
    const double median = s.seconds[s.seconds.size() / 2];
    std::printf("%-40s %-34s %10.1f %10.0f %10.0f\n", s.path.c_str(), s.format.c_str(), s.bytes / 1e6,
                s.bytes / median / 1e6, s.bytes / s.seconds.front() / 1e6);
  }
  std::fprintf(stderr, "checksum %g\n", checksum);
  return 0;
}
