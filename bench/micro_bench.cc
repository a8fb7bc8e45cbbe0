// Micro-benchmarks: number parsing (numbers/s, MB/s), the loading stage on a snapshot in
// memory, one center-finder pass and the whole center finder (particles/s). Not run by the test suite.
#include <benchmark/benchmark.h>

#include <charconv>
#include <malloc.h>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "center/findcenter.h"
#include "input/number.h"
#include "input/readdata.h"

namespace {

// Values as a snapshot holds them: positions near 0.5, velocities of hundreds, densities,
// printed with 7 significant digits and one blank after each.
std::string snapshot_numbers(int count, std::chars_format form) {
  std::mt19937_64 rng(42);
  std::normal_distribution<float> velocity(0.0f, 300.0f);
  std::uniform_real_distribution<float> position(0.4f, 0.6f), density(1.0f, 1e4f);
  std::string text;
  char buf[64];
  for (int i = 0; i < count; ++i) {
    const int column = i % 7;
    const float v = column < 3 ? position(rng) : column < 6 ? velocity(rng) : density(rng);
    const auto r = form == std::chars_format::scientific ? std::to_chars(buf, buf + sizeof buf, v, form, 6)
                                                         : std::to_chars(buf, buf + sizeof buf, v, form, 7);
    text.append(buf, r.ptr);
    text += column == 6 ? '\n' : ' ';
  }
  text.append(32, ' ');  // slack, as in a file with more records after these
  return text;
}

void scan(benchmark::State& state, std::chars_format form) {
  const int count = 1 << 20;
  const std::string text = snapshot_numbers(count, form);
  for (auto _ : state) {
    const char* p = text.data();
    const char* end = text.data() + text.size();
    float sum = 0;
    for (int i = 0; i < count; ++i) {
      float v;
      const auto r = haloprof::scan_value(p, end, v);
      sum += v;
      p = r.end + 1;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// Values whose bounds are already known, as the record reader hands them over.
void BM_parse_token(benchmark::State& state) {
  const int count = 1 << 20;
  const std::string text = snapshot_numbers(count, std::chars_format::general);
  std::vector<std::pair<int, int>> bounds;
  for (std::size_t i = 0, start = 0; i < text.size() && static_cast<int>(bounds.size()) < count; ++i) {
    if (text[i] == ' ' || text[i] == '\n') {
      bounds.emplace_back(static_cast<int>(start), static_cast<int>(i));
      start = i + 1;
    }
  }
  const char* base = text.data();
  const char* end = base + text.size();
  for (auto _ : state) {
    float sum = 0;
    for (const auto& [a, b] : bounds) {
      float v;
      haloprof::parse_token(base + a, base + b, end, v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_parse_token);

// The loading stage on a snapshot held in memory: both passes over the text, no page
// faults on the file (the particle arrays come from memory the allocator keeps).
void BM_load_snapshot(benchmark::State& state) {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const int particles = 1 << 20;
  const std::string text = "bench 0.5\n" + snapshot_numbers(7 * particles, std::chars_format::general);
  for (auto _ : state) {
    haloprof::run_state data;
    std::ostringstream out;
    const haloprof::stage_status loaded = haloprof::load_snapshot(data, text.data(), text.data() + text.size(), "bench", out);
    if (loaded.failed() || data.nhalos != particles) state.SkipWithError("the snapshot did not load");
    benchmark::DoNotOptimize(data.dens[0]);
  }
  state.SetItemsProcessed(state.iterations() * particles);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_load_snapshot)->Unit(benchmark::kMillisecond);

void BM_scan_general(benchmark::State& s) { scan(s, std::chars_format::general); }
void BM_scan_scientific(benchmark::State& s) { scan(s, std::chars_format::scientific); }
BENCHMARK(BM_scan_general);
BENCHMARK(BM_scan_scientific);

// A cuspy halo around the origin with a uniform background, as the center finder sees
// it after the shift: most particles lie inside the first spheres.
haloprof::run_state center_input(std::int64_t n) {
  haloprof::run_state data;
  data.nhalos = n;
  for (auto* a : {&data.xpar, &data.ypar, &data.zpar, &data.dens}) a->allocate(n);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> background(-0.5f, 0.5f);
  std::uniform_real_distribution<float> pos(-0.04f, 0.04f);
  std::uniform_real_distribution<float> dens(1.0f, 1e5f);
  for (std::int64_t i = 0; i < n; ++i) {
    auto& p = i % 5 == 0 ? background : pos;
    data.xpar[i] = p(rng);
    data.ypar[i] = p(rng);
    data.zpar[i] = p(rng);
    data.dens[i] = dens(rng);
  }
  data.rad = 0.05f;
  return data;
}

void BM_center_pass(benchmark::State& state) {
  const auto data = center_input(state.range(0));
  for (auto _ : state) {
    std::int64_t nn;
    double am, xx, yy, zz;
    haloprof::sphere_sums(data, 0.0025000002f, nn, am, xx, yy, zz);
    benchmark::DoNotOptimize(am + xx + yy + zz);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
// The whole center finder: 20 passes and the final snap, particles/s of the snapshot.
void BM_findcenter(benchmark::State& state) {
  auto data = center_input(state.range(0));
  for (auto _ : state) {
    std::ostringstream out;
    haloprof::findcenter(data, out);
    benchmark::DoNotOptimize(data.xc);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_findcenter)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_center_pass)->Arg(1 << 16)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
