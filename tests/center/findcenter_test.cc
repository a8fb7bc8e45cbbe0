#include "center/findcenter.h"

#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "core/format.h"
#include "support/bits.h"
#include "support/state.h"
#include "support/tiers.h"

namespace haloprof {
namespace {
using testing::make_state;
using testing::particle;

std::string run_findcenter(run_state& data) {
  std::ostringstream out;
  findcenter(data, out);
  return out.str();
}

// The console line of iteration `j` (1-based) or, for j = 21, the final one.
std::string line(const std::string& console, int j) {
  std::istringstream in(console);
  std::string l;
  for (int k = 0; k <= j; ++k) std::getline(in, l);
  return l;
}

TEST(CenterRadius, SquaredRadiusSequenceInSinglePrecision) {
  float r2 = initial_r2(initial_search_radius);
  EXPECT_EQ(0.0025000002f, r2);
  const float want[] = {0.0024250003f, 0.0023522503f, 0.0022816828f};
  for (float w : want) EXPECT_EQ(w, r2 = shrink_r2(r2));
  for (int j = 3; j < 20; ++j) r2 = shrink_r2(r2);
  EXPECT_EQ(0.0013594868f, r2);
  EXPECT_EQ(0.0000022f, shrink_r2(0.0000022f));  // radius below 0.0015: no more shrinking

  auto data = make_state({});
  const std::string console = run_findcenter(data);
  EXPECT_EQ(" 0.05000000074505806 0.0025000002", line(console, 0));
  EXPECT_EQ(" particles=        0 Center=   0.00000  0.00000  0.00000 Search Radius=   0.00243", line(console, 1));
  EXPECT_EQ(" particles=        0 Center=   0.00000  0.00000  0.00000 Search Radius=   0.00136", line(console, 20));
  EXPECT_EQ(" Densest      0.00 Center=   0.00000  0.00000  0.00000 Search Radius=   0.00136", line(console, 21));
}

TEST(CenterWeights, WhatEachParticleAdds) {
  struct case_ {
    const char* what;
    std::vector<particle> ps;
    const char* first_iteration;
  } cases[] = {
      {"summed density below 1: undivided sums",
       {{0.01f, 0, 0, 0, 0, 0, 0.3f}, {0.02f, 0, 0, 0, 0, 0, 0.3f}},
       " particles=        2 Center=   0.00900  0.00000  0.00000 Search Radius=   0.00243"},
      {"zero density counts but adds nothing",
       {{0, 0, 0, 0, 0, 0, 10}, {0.01f, 0.01f, 0, 0, 0, 0, 0}},
       " particles=        2 Center=   0.00000  0.00000  0.00000 Search Radius=   0.00243"},
      {"negative density subtracts",
       {{0, 0, 0, 0, 0, 0, 10}, {0.01f, 0, 0, 0, 0, 0, -5}},
       " particles=        2 Center=  -0.01000  0.00000  0.00000 Search Radius=   0.00243"},
      {"NaN weight divides nothing",
       {{0, 0, 0, 0, 0, 0, 10}, {0.01f, 0, 0, 0, 0, 0, NAN}},
       " particles=        2 Center=       NaN      NaN      NaN Search Radius=   0.00243"},
  };
  for (auto& c : cases) {
    auto data = make_state(c.ps);
    EXPECT_EQ(c.first_iteration, line(run_findcenter(data), 1)) << c.what;
  }
}

TEST(CenterSphere, ParticleExactlyOnTheSphereIsOutside) {
  // Find the float x whose squared distance rounds exactly to the first r2.
  const float r2 = initial_r2(initial_search_radius);
  float x = std::sqrt(r2);
  while (static_cast<float>(static_cast<double>(x) * x) < r2) x = std::nextafter(x, 1.0f);
  while (static_cast<float>(static_cast<double>(x) * x) > r2) x = std::nextafter(x, 0.0f);
  ASSERT_EQ(r2, static_cast<float>(static_cast<double>(x) * x));
  const float below = std::nextafter(x, 0.0f);
  ASSERT_LT(static_cast<float>(static_cast<double>(below) * below), r2);

  auto on = make_state({{0, 0, 0, 0, 0, 0, 1}, {x, 0, 0, 0, 0, 0, 1}});
  EXPECT_EQ(0, line(run_findcenter(on), 1).find(" particles=        1 "));
  auto in = make_state({{0, 0, 0, 0, 0, 0, 1}, {below, 0, 0, 0, 0, 0, 1}});
  EXPECT_EQ(0, line(run_findcenter(in), 1).find(" particles=        2 "));
}

// The rule written plainly: one particle at a time, in file order.
struct plain_sums {
  std::int64_t nn = 0;
  double am = 0, xx = 0, yy = 0, zz = 0;
};
plain_sums plain_sphere_sums(const run_state& d, float r2) {
  plain_sums t;
  for (std::int64_t i = 0; i < d.nhalos; ++i) {
    const double dx = d.xpar[i] - d.xc, dy = d.ypar[i] - d.yc, dz = d.zpar[i] - d.zc;
    if (!(static_cast<float>((dx * dx + dy * dy) + dz * dz) < r2)) continue;
    ++t.nn;
    t.am += d.dens[i];
    t.xx += d.xpar[i] * d.dens[i];
    t.yy += d.ypar[i] * d.dens[i];
    t.zz += d.zpar[i] * d.dens[i];
  }
  return t;
}

// The vectorised pass, at every vector width, must agree bit for bit with the plain rule, above all for particles
// within a few units of the last place of the sphere, centers that single precision
// cannot hold, and values that are not finite.
TEST(CenterSphere, VectorisedPassAgreesWithThePlainRule) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const double centers[][3] = {{0, 0, 0}, {0.001234567891, -0.00071, 0.0003}, {0.3, 0.1, -0.2}, {1e3, 1e3, -1e3}};
  const float radii2[] = {initial_r2(initial_search_radius), 0.0013594868f, 1e-6f};
  for (const bool specials : {false, true}) {  // infinite and NaN values, which swamp the sums
    for (const auto& c : centers) {
      for (const float r2 : radii2) {
        std::vector<particle> ps;
        const double r = std::sqrt(static_cast<double>(r2));
        for (int i = 0; i < 4003; ++i) {
          // A direction, then a distance near the radius, nudged by a few units of the last place.
          double u[3] = {unit(rng), unit(rng), unit(rng)};
          const double norm = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
          const double dist = i % 3 == 0 ? r * std::abs(unit(rng)) * 2 : r * (1 + 1e-7 * unit(rng));
          float p[3];
          for (int k = 0; k < 3; ++k) {
            p[k] = static_cast<float>(c[k] + u[k] / norm * dist);
            for (int nudge = static_cast<int>(rng() % 5) - 2; nudge != 0; nudge += nudge > 0 ? -1 : 1)
              p[k] = std::nextafter(p[k], nudge > 0 ? INFINITY : -INFINITY);
          }
          // Weights over many orders of magnitude, so that the sums round and their order shows.
          float dens = static_cast<float>(std::exp(30 * unit(rng)) * unit(rng));
          if (specials && i % 97 == 0) dens = NAN;
          if (specials && i % 89 == 0) dens = INFINITY;
          if (specials && i % 101 == 0) p[rng() % 3] = i % 2 ? NAN : -INFINITY;
          ps.push_back({p[0], p[1], p[2], 0, 0, 0, dens});
        }
        auto data = make_state(ps);
        data.xc = c[0];
        data.yc = c[1];
        data.zc = c[2];
        const plain_sums want = plain_sphere_sums(data, r2);
        testing::for_each_tier([&](tier t) {
          const std::string_view width = tier_name(t);
          const sphere_totals got_sums = sphere_sums(data, r2);
          const std::int64_t nn = got_sums.count;
          const double am = got_sums.s, xx = got_sums.sx, yy = got_sums.sy, zz = got_sums.sz;
          EXPECT_EQ(want.nn, nn) << r2 << " width " << width;
          // Bit for bit, but any NaN for a NaN: which of two NaNs an addition passes on is
          // the compiler's choice of operand order, and no output shows it.
          for (const auto& [got, expected] : {std::pair{am, want.am}, {xx, want.xx}, {yy, want.yy}, {zz, want.zz}}) {
            if (!(std::isnan(got) && std::isnan(expected))) {
              EXPECT_EQ(testing::bits(expected), testing::bits(got)) << r2 << " center " << c[0] << " width " << width;
            }
          }
        });
      }
    }
  }
}

// A small halo in a large box takes the candidate-list passes, a halo that fills the box
// the passes over every particle: both must print what the plain iteration prints.
TEST(CenterSearch, EveryPathPrintsWhatThePlainIterationPrints) {
  struct shape {
    float spread;
    int halo_every;  // one particle in this many belongs to the halo, the rest to the box
    float box;       // half the box's side
    float drift;     // the halo's offset from the origin along x: the center moves
  };
  for (const shape sh : {shape{0.01f, 6, 2, 0}, shape{0.02f, 1, 2, 0}, shape{0.03f, 4, 0.5f, 0.04f}}) {
    std::mt19937 rng(11);
    std::normal_distribution<float> halo(0, sh.spread);
    std::uniform_real_distribution<float> box(-sh.box, sh.box), dens(1, 1000);
    std::vector<particle> ps;
    for (int i = 0; i < 80000; ++i) {  // more than two blocks of the threaded passes
      const bool in_halo = i % sh.halo_every == 0;
      float p[3];
      for (float& v : p) v = in_halo ? halo(rng) : box(rng);
      if (in_halo) p[0] += sh.drift;
      ps.push_back({p[0], p[1], p[2], 0, 0, 0, dens(rng)});
    }
    auto data = make_state(ps);
    const std::string console = run_findcenter(data);
    auto threaded = make_state(ps);  // the tests on several threads, the sums in order
    threaded.threads = 3;
    ASSERT_EQ(console, run_findcenter(threaded)) << sh.spread;

    auto plain = make_state(ps);
    float r2 = initial_r2(plain.rad);
    for (int j = 1; j <= 20; ++j) {
      const plain_sums t = plain_sphere_sums(plain, r2);
      const double w = t.am >= 1 ? t.am : 1;
      plain.xc = t.xx / w;
      plain.yc = t.yy / w;
      plain.zc = t.zz / w;
      r2 = shrink_r2(r2);
      char want[120];
      std::snprintf(want, sizeof want, " particles=%9lld Center=", static_cast<long long>(t.nn));
      ASSERT_EQ(0, line(console, j).find(want)) << sh.spread << " iteration " << j << ": " << line(console, j);
      const std::string center = record().f(plain.xc, 9, 5).f(plain.yc, 9, 5).f(plain.zc, 9, 5).str();
      EXPECT_EQ(center.substr(0, 27), line(console, j).substr(29, 27)) << sh.spread << " iteration " << j;
    }
  }
}

TEST(CenterSnap, NoPositiveDensityLeavesTheIteratedCenter) {
  auto data = make_state({{0.01f, 0, 0, 0, 0, 0, -0.5f}, {0.011f, 0, 0, 0, 0, 0, 0}});
  const std::string console = run_findcenter(data);
  EXPECT_EQ(" Densest      0.00 Center=  -0.00500  0.00000  0.00000 Search Radius=   0.00136", line(console, 21));
}

TEST(CenterSnap, FindsADenseClumpAwayFromTheDensestParticle) {
  // A lone spike at the origin is the file's densest particle; a heavy clump sits 0.045
  // away. The sphere drifts onto the clump, loses the spike, and snaps onto the clump's
  // densest member.
  std::vector<particle> ps{{0, 0, 0, 0, 0, 0, 1000}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> offset(-0.004f, 0.004f);
  for (int i = 0; i < 400; ++i) {
    const float dx = offset(rng), dy = offset(rng), dz = offset(rng);
    const float dens = 100.0f / (1.0f + 1e5f * (dx * dx + dy * dy + dz * dz));
    ps.push_back({0.045f + dx, dy, dz, 0, 0, 0, dens});
  }
  ps.push_back({0.0451f, 0.0002f, -0.0001f, 0, 0, 0, 500});  // the clump's densest
  auto data = make_state(ps);
  const std::string console = run_findcenter(data);
  EXPECT_EQ(0.0451f, static_cast<float>(data.xc));
  EXPECT_EQ(0.0002f, static_cast<float>(data.yc));
  EXPECT_EQ(-0.0001f, static_cast<float>(data.zc));
  EXPECT_EQ(" Densest    500.00 Center=   0.04510  0.00020 -0.00010 Search Radius=   0.00136", line(console, 21));
}

}  // namespace
}  // namespace haloprof
