#include "density/density.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "support/bits.h"
#include "support/tiers.h"

namespace haloprof {
namespace {

using testing::bits;
using testing::for_each_tier;

struct cloud {
  std::vector<float> x, y, z;
  point_set view() const { return {x, y, z}; }
  void add(double a, double b, double c) {
    x.push_back(static_cast<float>(a));
    y.push_back(static_cast<float>(b));
    z.push_back(static_cast<float>(c));
  }
  std::size_t size() const { return x.size(); }
};

// Uniform in the cube [0, side)^3.
cloud uniform(std::size_t n, double side, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0, side);
  cloud c;
  for (std::size_t i = 0; i < n; ++i) c.add(u(rng), u(rng), u(rng));
  return c;
}

// Gaussian clumps of widths from 1e-4 to 1e-1 in a sparse background: densities over 10^6.
cloud clustered(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  cloud c;
  const double widths[] = {1e-4, 1e-3, 1e-2, 1e-1};
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 10 == 0) {
      c.add(u(rng), u(rng), u(rng));
      continue;
    }
    const double w = widths[i % 4];
    std::normal_distribution<double> g(0.5, w);
    c.add(g(rng), g(rng), g(rng));
  }
  return c;
}

// Uniform within 0.05 of the corners of the unit box, where every neighbourhood wraps.
cloud cornered(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-0.05, 0.05);
  cloud c;
  for (std::size_t i = 0; i < n; ++i) {
    const auto wrap = [](double v) { return v < 0 ? v + 1 : v; };
    c.add(wrap(u(rng)), wrap(u(rng)), i % 3 == 0 ? 1.0 : wrap(u(rng)));  // some exactly on the face at 1
  }
  return c;
}

// A uniform set where particle i is repeated i % k times more (at most k - 1 in one place).
cloud with_duplicates(std::size_t n, int k, std::uint64_t seed) {
  const cloud base = uniform(n / (static_cast<std::size_t>(k) / 2), 1, seed);
  cloud c;
  for (std::size_t i = 0; i < base.size() && c.size() < n; ++i)
    for (std::size_t copy = 0; copy < i % static_cast<std::size_t>(k); ++copy) c.add(base.x[i], base.y[i], base.z[i]);
  return c;
}

// The estimate written out plainly: every distance, sorted, the terms summed in double.
std::vector<double> brute_force(const cloud& src, const cloud& tgt, int k, double box, double mean) {
  std::vector<double> rho;
  for (std::size_t i = 0; i < tgt.size(); ++i) {
    std::vector<double> d2;
    for (std::size_t j = 0; j < src.size(); ++j) {
      double d[3] = {std::abs(double{src.x[j]} - tgt.x[i]), std::abs(double{src.y[j]} - tgt.y[i]),
                     std::abs(double{src.z[j]} - tgt.z[i])};
      if (box > 0)
        for (double& v : d) v = std::min(v, box - v);
      d2.push_back((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
    }
    std::sort(d2.begin(), d2.end());
    const double h = 0.5 * std::sqrt(d2[static_cast<std::size_t>(k - 1)]);
    double sum = 0;
    for (const double e : d2) {
      const double q = std::sqrt(e) / h;
      sum += q < 1 ? 1 - 1.5 * q * q + 0.75 * q * q * q : q < 2 ? 0.25 * (2 - q) * (2 - q) * (2 - q) : 0;
    }
    rho.push_back(sum / (M_PI * h * h * h) / mean);
  }
  return rho;
}

density_result run(const cloud& src, const cloud& tgt, const density_settings& s) {
  density_result out;
  const stage_status status = knn_density(src.view(), tgt.view(), s, out);
  EXPECT_TRUE(status.ok()) << (status.failed() ? status->message : "");
  return out;
}

density_result run(const cloud& all, const density_settings& s) {
  density_result out;
  const stage_status status = knn_density(all.view(), s, out);
  EXPECT_TRUE(status.ok()) << (status.failed() ? status->message : "");
  return out;
}

void expect_same_bits(const density_result& a, const density_result& b) {
  ASSERT_EQ(a.rho.size(), b.rho.size());
  for (std::size_t i = 0; i < a.rho.size(); ++i) {
    ASSERT_EQ(bits(a.rho[i]), bits(b.rho[i])) << "particle " << i << ": " << a.rho[i] << " " << b.rho[i];
    ASSERT_EQ(bits(a.reach[i]), bits(b.reach[i])) << "particle " << i;
  }
}

TEST(Density, MatchesTheEstimateWrittenOutPlainlyInEveryTier) {
  struct row {
    const char* name;
    cloud particles;
    int k;
    double box;
  };
  const row rows[] = {
      {"uniform, no box", uniform(1500, 1, 1), 32, 0},
      {"uniform, box", uniform(1500, 1, 2), 32, 1},
      {"uniform, k = 2", uniform(800, 1, 3), 2, 1},
      {"uniform, k = 100", uniform(1500, 1, 4), 100, 0},
      {"clustered", clustered(2500, 5), 32, 0},
      {"clustered, box", clustered(2500, 6), 32, 1},
      {"corners of a box", cornered(1500, 7), 32, 1},
      {"duplicates up to k - 1", with_duplicates(1500, 32, 8), 32, 1},
      {"duplicates, k = 8", with_duplicates(1000, 8, 9), 8, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    density_settings s;
    s.neighbours = r.k;
    s.box = r.box;
    s.mean_density = 1000;
    const std::vector<double> expected = brute_force(r.particles, r.particles, r.k, r.box, s.mean_density);
    density_result widest;
    for_each_tier([&](tier t) {
      const density_result got = run(r.particles, s);
      ASSERT_EQ(got.rho.size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_NEAR(got.rho[i], expected[i], 1e-12 * expected[i]) << "particle " << i;
      if (t == available_tiers().front())
        widest = got;
      else
        expect_same_bits(got, widest);
    });
  }
}

TEST(Density, PeriodicBoxIsTheSetWithItsImages) {
  // Positions on a grid of 2^-16, so that the images' coordinates are exact in single.
  cloud c = clustered(3000, 11);
  for (auto* v : {&c.x, &c.y, &c.z})
    for (float& f : *v) f = std::ldexp(std::floor(std::ldexp(f - std::floor(f), 16)), -16);
  cloud images;
  for (int i = -1; i <= 1; ++i)
    for (int j = -1; j <= 1; ++j)
      for (int l = -1; l <= 1; ++l)
        for (std::size_t p = 0; p < c.size(); ++p)
          images.add(double{c.x[p]} + i, double{c.y[p]} + j, double{c.z[p]} + l);
  density_settings periodic, open;
  periodic.box = 1;
  expect_same_bits(run(c, periodic), run(images, c, open));
}

TEST(Density, SameBitsForAnyThreadCountAndInputOrder) {
  const cloud c = clustered(140000, 12);  // enough for the tree to be sorted by 2 and 3 threads
  std::vector<std::size_t> order(c.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(13));
  cloud shuffled;
  for (const std::size_t i : order) shuffled.add(c.x[i], c.y[i], c.z[i]);
  for (const double box : {0.0, 1.0}) {
    SCOPED_TRACE(box);
    density_settings s;
    s.box = box;
    const density_result one = run(c, s);
    for (const int threads : {2, 3}) {
      s.threads = threads;
      expect_same_bits(run(c, s), one);
    }
    const density_result mixed = run(shuffled, s);
    density_result unmixed = mixed;
    for (std::size_t k = 0; k < order.size(); ++k) {
      unmixed.rho[order[k]] = mixed.rho[k];
      unmixed.reach[order[k]] = mixed.reach[k];
    }
    expect_same_bits(unmixed, one);
  }
}

TEST(Density, TargetsAmongTheSourcesGetTheirWholeSetDensities) {
  const cloud c = clustered(20000, 14);
  cloud some;
  for (std::size_t i = 0; i < c.size(); i += 7) some.add(c.x[i], c.y[i], c.z[i]);
  for (const double box : {0.0, 1.0}) {
    density_settings s;
    s.box = box;
    const density_result all = run(c, s), part = run(c, some, s);
    density_result expected;
    for (std::size_t i = 0; i < c.size(); i += 7) {
      expected.rho.push_back(all.rho[i]);
      expected.reach.push_back(all.reach[i]);
    }
    expect_same_bits(part, expected);
  }
}

TEST(Density, LatticeIsTheMeanEverywhereInABoxAndThinnerAtOpenFaces) {
  constexpr int side = 16;
  cloud c;
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j)
      for (int l = 0; l < side; ++l) c.add(i / double{side}, j / double{side}, l / double{side});
  density_settings s;
  s.box = 1;
  s.mean_density = side * side * side;
  const density_result boxed = run(c, s);
  for (std::size_t i = 0; i < c.size(); ++i) ASSERT_EQ(bits(boxed.rho[i]), bits(boxed.rho[0])) << "particle " << i;
  EXPECT_NEAR(boxed.rho[0], 1, 5e-4);

  s.box = 0;
  const density_result open = run(c, s);
  const auto at = [&](int i, int j, int l) { return open.rho[static_cast<std::size_t>((i * side + j) * side + l)]; };
  EXPECT_EQ(bits(at(8, 8, 8)), bits(boxed.rho[0]));  // deep inside, nothing missing
  EXPECT_LT(at(0, 8, 8), 0.9 * at(8, 8, 8));         // a face
  EXPECT_LT(at(0, 0, 0), at(0, 8, 8));               // a corner, thinner still
}

TEST(Density, DegenerateSetsFailWithTheirNumbers) {
  struct row {
    const char* name;
    cloud sources;
    int k;
    std::vector<std::string> words;  // the message names these
  };
  cloud crowded = uniform(100, 1, 15);
  for (int i = 0; i < 40; ++i) crowded.add(0.25, 0.5, 0.75);
  cloud nan = uniform(100, 1, 16);
  nan.y[42] = std::nanf("");
  const row rows[] = {
      {"fewer than k", uniform(31, 1, 17), 32, {"31 source particles", "32 neighbours"}},
      {"k at one position", crowded, 32, {"40 source particles", "(0.25 0.5 0.75)", "32 neighbours"}},
      {"exactly k at one position", crowded, 40, {"40 source particles", "40 neighbours"}},
      {"not finite", nan, 32, {"source particle 42", "not a finite number"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    density_settings s;
    s.neighbours = r.k;
    s.threads = 2;
    density_result out;
    const stage_status status = knn_density(r.sources.view(), s, out);
    ASSERT_TRUE(status.failed());
    EXPECT_EQ(status->status, exit_status::bad_snapshot);
    for (const std::string& w : r.words) EXPECT_NE(status->message.find(w), std::string::npos) << status->message;
  }
}

}  // namespace
}  // namespace haloprof
