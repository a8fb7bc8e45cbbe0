#include <gtest/gtest.h>
#include <cmath>
#include <random>
#include <sstream>

#include "properties/binning.h"
#include "properties/report.h"
#include "support/bits.h"
#include "support/state.h"
#include "support/tiers.h"

namespace haloprof {
namespace {
using testing::make_state;

struct binned {
  run_state data;
  std::string console;
  stage_status result;
};

binned bin(std::vector<testing::particle> ps, double center = 0, int threads = 1) {
  binned b{make_state(ps), {}, {}};
  b.data.threads = threads;
  b.data.xc = b.data.yc = b.data.zc = center;
  std::ostringstream out;
  b.result = bin_particles(b.data, out);
  b.console = out.str();
  return b;
}

// The rows of the report block, without records A and B.
std::string rows(run_state& data) {
  const std::string block = compose_report(data);
  return block.substr(block.find('\n', block.find('\n') + 1) + 1);
}

TEST(Binning, ParticleOnTheCenter) {
  auto b = bin({{0, 0, 0, 3, 4, 0, 1}});
  ASSERT_TRUE(b.result.ok());
  EXPECT_EQ(" particles=        1 Velocity Center=     3.000    4.000    0.000\n", b.console);
  // A partner outside shell 0 cancels the bulk velocity, so the center particle moves.
  b = bin({{0, 0, 0, 3, 4, 0, 1}, {0.05f, 0, 0, -3, -4, 0, 0}});
  ASSERT_TRUE(b.result.ok());
  EXPECT_EQ(1, b.data.nprof[0]);
  EXPECT_EQ(std::sqrt(1e-8f), static_cast<float>(b.data.dprof[0]));  // softened radius 1e-4
  EXPECT_EQ(0.0, b.data.vrad[0]);
  EXPECT_EQ(b.data.vrms[0], b.data.vtan[0]);  // all of vv is tangential
}

TEST(Binning, PurelyRadialMotionLeavesASmallPositiveTangentialPart) {
  // Two particles on opposite sides moving outwards: the bulk velocity is exactly zero and
  // each moves purely radially.
  for (float speed : {1.0f, 250.0f, -3000.0f}) {
    auto b = bin({{0, 0, 0, 0, 0, 0, 10},
                  {0.03f, 0.04f, 0, 0.6f * speed, 0.8f * speed, 0, 1},
                  {-0.03f, -0.04f, 0, -0.6f * speed, -0.8f * speed, 0, 1}});
    ASSERT_TRUE(b.result.ok());
    ASSERT_EQ(0.0, b.data.vxc);
    const int shell = static_cast<int>(std::sqrt(0.0025f + 1e-8f) / shell_width);
    EXPECT_GT(b.data.vtan[shell], 0.0) << speed;
    EXPECT_LT(b.data.vtan[shell], 1e-5 * speed * speed) << speed;
  }
}

TEST(Binning, NothingWithinTheSphere) {
  auto b = bin({{0.2f, 0, 0, 5, 5, 5, 1}, {0, 0.0999999f, 0.01f, 1, 1, 1, 1}});
  ASSERT_TRUE(b.result.ok());
  EXPECT_EQ(" particles=        0 Velocity Center=     0.000    0.000    0.000\n", b.console);
  for (int i = 0; i <= run_state::ntab; ++i) EXPECT_EQ(0, b.data.nprof[i]);
  EXPECT_EQ("", rows(b.data));
}

TEST(Binning, RadialComponentsAreSummedInFileOrderInSinglePrecision) {
  // Two radial components cancel exactly and the third survives; summed the other way
  // round in single precision the small one would be lost, printing 0.00.
  const float a = 0.03f, c = 0.04f;
  const auto r = std::sqrt(
      static_cast<float>((static_cast<double>(a) * a + static_cast<double>(a) * a) + static_cast<double>(c) * c) +
      1e-8f);
  const float u = 1e8f;
  const float w = 1.234f;
  auto b = bin({{0, 0, 0, -u, u, -w, 10}, {a, a, c, u, -u, w, 1}});
  ASSERT_TRUE(b.result.ok());
  const int shell = static_cast<int>(r / shell_width);
  const std::string row = rows(b.data);
  const std::string second = row.substr(row.find('\n') + 1);
  EXPECT_EQ(static_cast<double>(static_cast<float>(c * static_cast<double>(w) / r)), b.data.vrad[shell]);
  // c * w / r = 0.04 * 1.234 / 0.0583 = 0.8466
  EXPECT_EQ("     0.85", second.substr(8 * 4 + 10 * 2 + 12 + 9, 9)) << row;
}

// The vector passes must give the one-particle rule's sums bit for bit: particles at the
// edge of the sphere, on the center, speeds over many orders of magnitude, counts that
// leave a remainder of every size, and NaN or infinite values.
TEST(Binning, EveryVectorWidthGivesTheSameSums) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(-1, 1);
  const double c = 0.0021234567891;  // the center: no float
  for (const bool specials : {false, true}) {
    for (const int n : {0, 1, 3, 6, 4001, 30001}) {  // the last in several blocks of the threaded passes
      std::vector<testing::particle> ps;
      for (int i = 0; i < n; ++i) {
        double u[3] = {unit(rng), unit(rng), unit(rng)};
        const double norm = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
        const double dist = i % 3 == 0 ? 0.1 * (1 + 1e-7 * unit(rng)) : 0.11 * std::abs(unit(rng));
        float p[3], v[3];
        for (int k = 0; k < 3; ++k) {
          p[k] = i % 50 == 0 ? 0.0f : static_cast<float>(c + u[k] / norm * dist);
          v[k] = static_cast<float>(std::exp(20 * unit(rng)) * unit(rng));
        }
        if (i % 7 == 1) {  // on the sphere itself, where the squared distance rounds to r2
          p[0] = static_cast<float>(c + 0.1);
          p[1] = p[2] = static_cast<float>(c);
          const auto dd = [&] {
            const double d[3] = {p[0] - c, p[1] - c, p[2] - c};
            return static_cast<float>((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
          };
          for (int step = 0; step < 64 && dd() != rmax * rmax; ++step)
            p[0] = std::nextafter(p[0], dd() < rmax * rmax ? INFINITY : 0.0f);
        }
        if (specials && i % 97 == 0) v[rng() % 3] = i % 2 ? NAN : INFINITY;
        if (specials && i % 101 == 0) p[rng() % 3] = NAN;
        ps.push_back({p[0], p[1], p[2], v[0], v[1], v[2], 1});
      }
      ASSERT_TRUE(force_tier(tier::scalar));
      binned want = bin(ps, c);
      ASSERT_TRUE(want.result.ok());
      testing::for_each_tier([&](tier t) {
        for (const int threads : {1, 3}) {
          const std::string width = std::string(tier_name(t)) + ", " + std::to_string(threads) + " threads";
          binned got = bin(ps, c, threads);
          ASSERT_TRUE(got.result.ok());
          EXPECT_EQ(want.console, got.console) << n << " width " << width;
          EXPECT_EQ(want.data.nprof, got.data.nprof) << n << " width " << width;
          // Bit for bit, but any NaN for a NaN (which NaN an addition passes on is not shown).
          const auto same = [](double a, double b) {
            return (std::isnan(a) && std::isnan(b)) || testing::bits(a) == testing::bits(b);
          };
          for (int i = 0; i <= run_state::ntab; ++i) {
            for (const auto& [a, b] : {std::pair{want.data.dprof[i], got.data.dprof[i]},
                                       {want.data.vrms[i], got.data.vrms[i]},
                                       {want.data.vrad[i], got.data.vrad[i]},
                                       {want.data.vrad2[i], got.data.vrad2[i]},
                                       {want.data.vtan[i], got.data.vtan[i]}})
              EXPECT_TRUE(same(a, b)) << n << " width " << width << " shell " << i << ": " << a << " vs " << b;
          }
          for (const auto& [a, b] :
               {std::pair{want.data.vxc, got.data.vxc}, {want.data.vyc, got.data.vyc}, {want.data.vzc, got.data.vzc}})
            EXPECT_TRUE(same(a, b)) << n << " width " << width;
        }
      });
    }
  }
}

TEST(Report, RowsWorkedByHand) {
  // One particle on the center alone in shell 0, moving with the bulk velocity (beta NaN),
  // shells 1 and 2 empty, then 8 particles at distance 0.003*sqrt(3) = 0.0052 in shell 3
  // moving outwards at sqrt(3): shell volume 4.188 * (0.0066667^3 - 0.005^3) holds 2.938
  // particles at the mean density, the sphere within 0.0066667 holds 5.083; the softened
  // radius makes the radial speed 1.73173, leaving sqrt(3 - 1.73173^2) = 0.033 tangential.
  std::vector<testing::particle> ps{{0, 0, 0, 0, 0, 0, 10}};
  const float s = 0.003f;
  for (int k = 0; k < 8; ++k) {
    const float x = (k & 4) ? s : -s, y = (k & 2) ? s : -s, z = (k & 1) ? s : -s;
    ps.push_back({x, y, z, x > 0 ? 1.0f : -1.0f, y > 0 ? 1.0f : -1.0f, z > 0 ? 1.0f : -1.0f, 1});
  }
  auto b = bin(ps);
  ASSERT_TRUE(b.result.ok());
  b.data.redshift = 0.25f;
  b.data.x0 = 10.5;
  b.data.y0 = -1234567.0;
  EXPECT_EQ(
      "Z=   0.250 Center=    10.500*********    0.000\n"
      " r_in     <r>    r_out     Np     Overden Ovd(<r_out)  Mass     Vrms    Vradial    Vtangential  beta\n"
      "  0.0000  0.0001  0.0017       1    12.592    12.592  2.1100E+04     0.00     0.00     0.00      NaN\n"
      "  0.0050  0.0052  0.0067       8     2.723     1.771  1.8990E+05     1.73     1.73     0.03    1.000\n",
      compose_report(b.data));
}

TEST(Report, LoneParticleWithTangentialMotion) {
  // The second particle only cancels the bulk velocity; it has a row of its own further out.
  auto b = bin({{0, 0, 0, 0, 2, 0, 10}, {0.05f, 0, 0, 0, -2, 0, 0}});
  ASSERT_TRUE(b.result.ok());
  const std::string r = rows(b.data);
  EXPECT_EQ("  0.0000  0.0001  0.0017       1    12.592    12.592  2.1100E+04     2.00     0.00     2.00-Infinity\n",
            r.substr(0, r.find('\n') + 1));
}

}  // namespace
}  // namespace haloprof
