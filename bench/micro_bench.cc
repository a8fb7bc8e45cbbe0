// Micro-benchmarks: number parsing (numbers/s, MB/s; in the forms snapshots are written
// in), the loading stage on a snapshot in memory, one center-finder pass and the whole
// center finder (particles/s). Not run by the test suite.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "center/findcenter.h"
#include "core/format.h"
#include "input/convert.h"
#include "input/load.h"

namespace {

// The forms users write snapshots in, each value of a snapshot's seven columns (positions
// near 0.5, velocities of hundreds, densities over four decades) followed by one blank:
// 7 significant digits (at most 8 digits, the plain form), the shortest that reads back,
// 9 significant digits, C's %.6f and %.7e, Fortran's E15.7, numpy's %.18e.
enum class form { plain8, shortest, general9, fixed6, sci7, fortran, sci18 };

std::string form_numbers(int count, form f) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> velocity(0.0, 300.0);
  std::uniform_real_distribution<double> position(0.4, 0.6), log_density(0.0, 4.0);
  std::string text;
  char buf[64];
  for (int i = 0; i < count; ++i) {
    const int column = i % 7;
    const double v = column < 3 ? position(rng) : column < 6 ? velocity(rng) : std::pow(10.0, log_density(rng));
    const auto fv = static_cast<float>(v);
    switch (f) {
      case form::plain8:
        std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::general, 7).ptr[0] = '\0';
        break;
      case form::shortest:
        std::to_chars(buf, buf + sizeof buf, fv).ptr[0] = '\0';
        break;
      case form::general9:
        std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(fv));
        break;
      case form::fixed6:
        std::snprintf(buf, sizeof buf, "%.6f", v);
        break;
      case form::sci7:
        std::snprintf(buf, sizeof buf, "%.7e", v);
        break;
      case form::fortran: {  // E15.7: 0.dddddddE+ee
        std::string field;
        haloprof::put_fortran_e(field, v, 0, 7);
        std::snprintf(buf, sizeof buf, "%s", field.c_str());
        break;
      }
      case form::sci18:
        std::snprintf(buf, sizeof buf, "%.18e", v);
        break;
    }
    text += buf;
    text += column == 6 ? '\n' : ' ';
  }
  text.append(32, ' ');  // slack, as in a file with more records after these
  return text;
}

// Values whose bounds are already known, as the record reader hands them over: each
// conversion stands alone, and the end it finds is only checked.
template <typename Convert>
void convert_bounded(benchmark::State& state, form f, Convert convert) {
  const int count = 1 << 20;
  const std::string text = form_numbers(count, f);
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
    int wrong = 0;
    for (const auto& [a, b] : bounds) {
      float v;
      wrong += !convert(base + a, base + b, end, v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(wrong);
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_convert_float(benchmark::State& state, form f) {
  convert_bounded(state, f, [](const char* first, const char* last, const char* end, float& v) {
    return haloprof::convert_float(first, end, v).ptr == last;
  });
}
// The core of the exact general path, the way all but the plain form were read before:
// std::from_chars on text already in its syntax.
void BM_from_chars(benchmark::State& state, form f) {
  convert_bounded(state, f, [](const char* first, const char* last, const char*, float& v) {
    return std::from_chars(first, last, v).ptr == last;
  });
}
#define FORM_BENCHMARKS(bm)                            \
  BENCHMARK_CAPTURE(bm, plain8, form::plain8);         \
  BENCHMARK_CAPTURE(bm, shortest, form::shortest);     \
  BENCHMARK_CAPTURE(bm, general9, form::general9);     \
  BENCHMARK_CAPTURE(bm, fixed6, form::fixed6);         \
  BENCHMARK_CAPTURE(bm, sci7, form::sci7);             \
  BENCHMARK_CAPTURE(bm, fortran_e15_7, form::fortran); \
  BENCHMARK_CAPTURE(bm, sci18, form::sci18)
FORM_BENCHMARKS(BM_convert_float);
FORM_BENCHMARKS(BM_from_chars);

// The loading stage on a snapshot held in memory: both passes over the text, no page
// faults on the file (the particle arrays come from memory the allocator keeps).
void BM_load_snapshot(benchmark::State& state) {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const int particles = 1 << 20;
  const std::string text = "bench 0.5\n" + form_numbers(7 * particles, form::plain8);
  for (auto _ : state) {
    haloprof::run_state data;
    haloprof::snapshot_findings found;
    const haloprof::stage_status loaded =
        haloprof::load_snapshot(data, text.data(), text.data() + text.size(), "bench", found);
    if (loaded.failed() || data.nhalos != particles) state.SkipWithError("the snapshot did not load");
    benchmark::DoNotOptimize(data.dens[0]);
  }
  state.SetItemsProcessed(state.iterations() * particles);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_load_snapshot)->Unit(benchmark::kMillisecond);

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
  data.rad = haloprof::initial_search_radius;
  return data;
}

void BM_center_pass(benchmark::State& state) {
  const auto data = center_input(state.range(0));
  for (auto _ : state) {
    const haloprof::sphere_totals t = haloprof::sphere_sums(data, 0.0025000002f);
    benchmark::DoNotOptimize(t.s + t.sx + t.sy + t.sz);
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
