// Reading HDF5 snapshots from the page cache: the reader's chunks of positions (and of
// every field), beside the library converting the same float Coordinates to double itself,
// in one run. MB/s are of the bytes the file stores. The snapshots (4M particles, halogen's
// Gadget-4 and SWIFT layouts) are written to the temporary directory once and removed at exit.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "snapshot/hdf5_id.h"
#include "snapshot/snapshot.h"
#include "synthetic_snapshot.h"

namespace {

using namespace haloprof;
constexpr std::size_t particles = std::size_t{1} << 22;

struct files {
  std::string dir = (std::filesystem::temp_directory_path() / ("snapshot_bench." + std::to_string(getpid()))).string();
  std::string gadget4 = dir + "/gadget4.hdf5", swift = dir + "/swift.hdf5";
  files() {
    std::filesystem::create_directories(dir);
    synthetic_snapshot s;
    s.box = 100000;
    s.redshift = 1;
    s.particle_mass = 0.1;
    std::uint64_t state = 1;
    for (std::size_t i = 0; i < particles; ++i) {
      for (int k = 0; k < 6; ++k) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        (k < 3 ? s.pos : s.vel).push_back(static_cast<float>(static_cast<double>(state >> 40) / 16777216.0 * 1e5));
      }
      s.ids.push_back(i + 1);
    }
    std::string error;
    if (!write_hdf5(gadget4, s, {hdf5_options::layout::gadget4, 1}, error) ||
        !write_hdf5(swift, s, {hdf5_options::layout::swift, 1}, error))
      std::fprintf(stderr, "snapshot_bench: %s\n", error.c_str());
  }
  ~files() { std::filesystem::remove_all(dir); }
};

const files& snapshots() {
  static const files f;
  return f;
}

void read_snapshot(benchmark::State& state, const std::string& path, unsigned fields, double stored_bytes) {
  std::unique_ptr<snapshot_reader> reader;
  if (open_snapshot(path, reader).failed()) {
    state.SkipWithError("cannot open the snapshot");
    return;
  }
  for (auto _ : state) {
    double sum = 0;
    const stage_status s = reader->read(1u << 1, fields, std::size_t{1} << 20, [&](const particle_chunk& c) {
      sum += c.pos.empty() ? 0 : c.pos[0];
      return stage_status();
    });
    if (s.failed()) state.SkipWithError(s->message.c_str());
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(static_cast<double>(state.iterations()) * stored_bytes));
}

void reader_float_positions(benchmark::State& state) {
  read_snapshot(state, snapshots().gadget4, positions, 12.0 * particles);
}
void reader_double_positions(benchmark::State& state) {
  read_snapshot(state, snapshots().swift, positions, 24.0 * particles);
}
void reader_gadget4_every_field(benchmark::State& state) {
  read_snapshot(state, snapshots().gadget4, positions | velocities | masses | ids, 32.0 * particles);
}

// The same float Coordinates in the same pieces, converted to double by the library.
void library_conversion(benchmark::State& state) {
  const hsize_t piece = static_cast<hsize_t>(state.range(0));
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  const hdf5_id f(H5Fopen(snapshots().gadget4.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  const hdf5_id d(f ? H5Dopen2(f.get(), "/PartType1/Coordinates", H5P_DEFAULT) : H5I_INVALID_HID);
  std::vector<double> out(3 * piece);
  for (auto _ : state) {
    for (hsize_t at = 0; at < particles; at += piece) {
      const hsize_t start[2] = {at, 0}, count[2] = {std::min<hsize_t>(piece, particles - at), 3};
      const hdf5_id space(H5Dget_space(d.get())), memory(H5Screate_simple(2, count, nullptr));
      H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
      if (H5Dread(d.get(), H5T_NATIVE_DOUBLE, memory.get(), space.get(), H5P_DEFAULT, out.data()) < 0)
        state.SkipWithError("cannot read");
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(static_cast<double>(state.iterations()) * 12.0 * particles));
}

}  // namespace

BENCHMARK(reader_float_positions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(library_conversion)->Arg(1 << 17)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(reader_double_positions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(reader_gadget4_every_field)->Unit(benchmark::kMillisecond)->UseRealTime();
