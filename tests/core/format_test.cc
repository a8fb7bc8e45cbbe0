#include "core/format.h"

#include <gtest/gtest.h>
#include <cmath>
#include <limits>

namespace haloprof {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::string F(double v, int w, int d) {
  std::string s;
  put_fixed(s, v, w, d);
  return s;
}
std::string ES(double v, int w, int d) {
  std::string s;
  put_scientific(s, v, w, d);
  return s;
}
std::string I(std::int64_t v, int w) {
  std::string s;
  put_int(s, v, w);
  return s;
}

TEST(Fixed, LayoutRoundingAndOverflow) {
  struct {
    double v;
    int w, d;
    const char* want;
  } rows[] = {
      {0.5, 9, 3, "    0.500"},
      {-0.0017, 8, 4, " -0.0017"},
      {10000.0, 8, 3, "********"},
      {9999.9994, 8, 3, "9999.999"},
      {9999.9996, 8, 3, "********"},  // rounds up to 10000.000
      {-0.0, 9, 3, "   -0.000"},      // negative zero keeps its sign
      {-0.0001, 9, 3, "   -0.000"},   // and so does a negative rounding to zero
      {0.5, 4, 3, ".500"},            // leading zero dropped: one character too narrow
      {-0.5, 5, 3, "-.500"},
      {0.5, 3, 3, "***"},  // two too narrow: asterisks
      {0.5, 5, 3, "0.500"},
      {0.125, 9, 2, "     0.12"},  // exact tie: to even
      {0.375, 9, 2, "     0.38"},
      {2.5, 3, 0, " 2."},
      {0.0, 1, 0, "*"},  // found by fuzzing: never a lone point
      {123456.5, 9, 3, "*********"},
      {0.0013594868, 9, 5, "  0.00136"},
      {1e300, 9, 2, "*********"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.want, F(r.v, r.w, r.d)) << r.v << " F" << r.w << "." << r.d;
}

TEST(Fixed, FloatsRoundFromTheirOwnValue) {
  // 0.0025000002f is 0.00250000018...: through a 7-digit decimal it would read 0.0025000,
  // from its own value it rounds up at 9 decimals.
  EXPECT_EQ("0.002500000", F(0.0025000002f, 11, 9));
  EXPECT_EQ("0.0025000002", F(0.0025000002f, 12, 10));
  // 1.005f is 1.00499999523...: rounds down, where its shortest text "1.005" would tie.
  EXPECT_EQ("     1.00", F(1.005f, 9, 2));
  // 0.125f is an exact tie and goes to even; 0.135f lies above the tie and goes up.
  EXPECT_EQ("     0.12", F(0.125f, 9, 2));
  EXPECT_EQ("     0.14", F(0.135f, 9, 2));
  // 2.675 as a double is 2.67499999999999982236431605997495353221893310546875.
  EXPECT_EQ("     2.67", F(2.675, 9, 2));
}

TEST(Fixed, SpecialValues) {
  struct {
    double v;
    int w;
    const char* want;
  } rows[] = {
      {nan, 9, "      NaN"}, {nan, 3, "NaN"},     {nan, 2, "**"},   {inf, 9, " Infinity"},
      {inf, 8, "Infinity"},  {inf, 7, "    Inf"}, {inf, 2, "**"},   {-inf, 9, "-Infinity"},
      {-inf, 8, "    -Inf"}, {-inf, 4, "-Inf"},   {-inf, 3, "***"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.want, F(r.v, r.w, 2)) << r.v << " w=" << r.w;
    EXPECT_EQ(r.want, ES(r.v, r.w, 2)) << r.v << " w=" << r.w;
  }
}

TEST(Scientific, Layout) {
  struct {
    double v;
    int w, d;
    const char* want;
  } rows[] = {
      {21100.0f, 12, 4, "  2.1100E+04"},
      {189900.0f, 12, 4, "  1.8990E+05"},
      {0.0, 12, 4, "  0.0000E+00"},
      {-0.0, 12, 4, " -0.0000E+00"},
      {99999.5, 12, 4, "  1.0000E+05"},  // the carry moves into the exponent
      {1.23456e-7, 12, 4, "  1.2346E-07"},
      {-1.5e38, 12, 4, " -1.5000E+38"},
      {1.4e-45, 12, 4, "  1.4000E-45"},
      {1e100, 12, 4, "  1.0000+100"},  // a three-digit exponent takes the letter's place
      {1e-300, 12, 4, "  1.0000-300"},
      {12345.0, 9, 4, "*********"},
      {21125.0, 12, 3, "   2.112E+04"},  // tie to even
  };
  for (const auto& r : rows) EXPECT_EQ(r.want, ES(r.v, r.w, r.d)) << r.v;
}

TEST(Integer, Layout) {
  EXPECT_EQ("       0", I(0, 8));
  EXPECT_EQ(" 1234567", I(1234567, 8));
  EXPECT_EQ("12345678", I(12345678, 8));
  EXPECT_EQ("********", I(123456789, 8));
  EXPECT_EQ("      -5", I(-5, 8));
  EXPECT_EQ("*******", I(-1234567, 7));
  EXPECT_EQ("********", I(std::numeric_limits<std::int64_t>::min(), 8));
}

TEST(FreeForm, ShortestTextInItsOwnPrecision) {
  EXPECT_EQ(" 0.05000000074505806 0.0025000002\n",
            free_line().num(static_cast<double>(0.05f)).num(0.0025000002f).str());
  EXPECT_EQ(" Redshift= 2.5\n", free_line().text("Redshift= ").num(2.5f).str());
  EXPECT_EQ(" number-density= 4096000\n", free_line().text("number-density= ").num(4096000.0f).str());
  EXPECT_EQ(" Number of particles = 12\n", free_line().text("Number of particles = ").num(std::int64_t{12}).str());
  EXPECT_EQ(" a 0.1 0.1\n", free_line().text("a").num(0.1f).num(0.1).str());
  EXPECT_EQ(" NaN -Infinity\n", free_line().num(static_cast<float>(nan)).num(-inf).str());
}

TEST(FortranE, LayoutRoundingAndSpecials) {
  const auto E = [](double v, int w, int d, char letter = 'E') {
    std::string s;
    put_fortran_e(s, v, w, d, letter);
    return s;
  };
  EXPECT_EQ("  0.4402578E+00", E(0.44025784, 15, 7));
  EXPECT_EQ(" -0.1234567E+03", E(-123.45674, 15, 7));
  EXPECT_EQ("0.1000D+01", E(0.99996, 0, 4, 'D'));  // the carry moves the exponent
  EXPECT_EQ("    0.0000E+00", E(0.0, 14, 4));      // zero keeps exponent 00
  EXPECT_EQ("0.1235E-100", E(1.2345e-101, 0, 4));  // three exponent digits
  EXPECT_EQ("      NaN", E(nan, 9, 4));
  EXPECT_EQ("-Infinity", E(-inf, 0, 4));
  EXPECT_EQ("*****", E(1.0, 5, 0));
}

TEST(Record, ItemsFollowWithoutSeparators) {
  EXPECT_EQ("Z=   1.000 Center=     0.500    0.250   -0.125\n",
            record().text("Z=").f(1.0f, 8, 3).text(" Center= ").f(0.5, 9, 3).f(0.25, 9, 3).f(-0.125, 9, 3).str());
  EXPECT_EQ("     2.00-Infinity\n", record().f(2.0, 9, 2).f(-inf, 9, 3).str());
}

}  // namespace
}  // namespace haloprof
