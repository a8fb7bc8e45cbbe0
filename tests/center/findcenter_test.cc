#include "center/findcenter.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

#include "support/state.h"

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
  float r2 = initial_r2(0.05f);
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
  const float r2 = initial_r2(0.05f);
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
