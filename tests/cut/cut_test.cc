// The cut's geometry and unit names: which centres a particle belongs to, against a plain
// scan, in a periodic box and without one; the units a file declares, named.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cut/grid.h"
#include "cut/units.h"

namespace haloprof {
namespace {

TEST(CentreGrid, FindsWhatAPlainScanFinds) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unit(0, 1);
  // Boxes of one, two and many cells a side, wide reaches and narrow, and no box.
  for (const double box : {0.0, 1.0}) {
    for (const double reach : {0.6, 0.3, 0.07, 0.01}) {
      SCOPED_TRACE(::testing::Message() << "box " << box << ", reach " << reach);
      std::vector<centre> centres;
      for (int k = 0; k < 40; ++k) centres.push_back({{unit(rng), unit(rng), unit(rng)}, reach * (0.5 + unit(rng))});
      centres.push_back({{0.001, 0.999, 0.5}, reach});  // by a face, and so across it
      const centre_grid grid(centres, box);
      for (int n = 0; n < 4000; ++n) {
        // Points inside the box, and beyond the centres' reach where there is none.
        const double spread = box > 0 ? 1 : 1.6;
        const double p[3] = {unit(rng) * spread - (spread - 1) / 2, unit(rng) * spread - (spread - 1) / 2,
                             unit(rng) * spread - (spread - 1) / 2};
        std::vector<std::size_t> want, got;
        for (std::size_t k = 0; k < centres.size(); ++k) {
          double d2 = 0;
          for (int a = 0; a < 3; ++a) {
            const double d = image_difference(p[a], centres[k].x[a], box);
            d2 += d * d;
          }
          if (d2 <= centres[k].reach * centres[k].reach) want.push_back(k);
        }
        grid.near(p, [&](std::size_t k, double) { got.push_back(k); });
        std::sort(got.begin(), got.end());
        ASSERT_EQ(want, got) << p[0] << " " << p[1] << " " << p[2];
      }
    }
  }
}

TEST(Units, DeclaredAndNamed) {
  struct row {
    quantity q;
    double cgs;
    int h;
    const char* name;
  } rows[] = {
      {quantity::length, 3.085678e21, -1, "kpc/h"},   {quantity::length, 3.0856776e24, 0, "Mpc"},
      {quantity::mass, 1.989e43, -1, "1e10 Msun/h"},  {quantity::mass, 1.98841e33, 0, "Msun"},
      {quantity::velocity, 1e5, 0, "km/s"},           {quantity::length, 2.5e21, -1, "2.5e+21 cm/h"},
      {quantity::mass, 1.989e43, 2, "1e10 Msun h^2"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(r.name, declared_unit(r.q, r.cgs, r.h).name.value_or("none")) << r.name;
  }
  EXPECT_FALSE(declared_unit(quantity::length, std::nullopt, -1).name);
  const unit kpc = named_unit(quantity::length, "kpc/h");
  EXPECT_EQ(3.085678e21, kpc.cgs.value_or(0));
  EXPECT_EQ(-1, kpc.h_exponent.value_or(0));
  const unit odd = named_unit(quantity::mass, "furlongs");
  EXPECT_EQ("furlongs", odd.name.value_or(""));
  EXPECT_FALSE(odd.cgs);
}

}  // namespace
}  // namespace haloprof
