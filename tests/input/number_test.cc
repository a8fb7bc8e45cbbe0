#include "support/bits.h"
#include "support/numbers.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>

namespace haloprof {
namespace {

using testing::bits;

bool parse(const std::string& s, float& v) { return testing::whole_number(s.data(), s.data() + s.size(), v); }

TEST(Number, Forms) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  struct { const char* text; float want; } rows[] = {
      {"0.5", 0.5f},          {"+.5", 0.5f},           {"-1.5E3", -1500.0f},    {"500e-3", 0.5f},
      {"0.5d0", 0.5f},        {"0.5D0", 0.5f},         {"5.0q-1", 0.5f},        {"5.0Q-1", 0.5f},
      {"1.5+3", 1500.0f},     {"1.5-3", 0.0015f},      {"2.E+1", 20.0f},        {"7", 7.0f},
      {"0.50E+00", 0.5f},     {"1e0", 1.0f},           {"-0", -0.0f},           {"1.d+2", 100.0f},
      {"Inf", inf},           {"-infinity", -inf},     {"+INFINITY", inf},      {"iNf", inf},
      {"1e39", inf},          {"-1e400", -inf},        {"3.4028236e38", inf},   {"1e-46", 0.0f},
      {"-1e-999999999999", -0.0f}, {"1e999999999999999999999", inf},
      {"3.4028235e38", 3.4028235e38f},
      {"1.4e-45", 1.4e-45f},  {"1e-45", 1.4e-45f},    // subnormals, the smallest among them
      {"1.1754942e-38", 1.1754942e-38f},
      // Exactly halfway between 1 and the next float: ties go to even (1), and anything
      // above the tie, however far out the digit, goes up.
      {"1.000000059604644775390625", 1.0f},
      {"1.000000059604644775390625000000000001", 1.0000001f},
      {"1.000000178813934326171875", 1.0000002f},  // halfway, even neighbour above
      // Read through double first, this rounds to 1.0000000596046448 and then to 1.0000001.
      {"1.00000005960464477539", 1.0f},
      {"16777217", 16777216.0f},
  };
  for (const auto& r : rows) {
    float v = 42;
    ASSERT_TRUE(parse(r.text, v)) << r.text;
    EXPECT_EQ(bits(r.want), bits(v)) << r.text << " gave " << v;
  }
  for (const char* t : {"nan", "NaN", "-NAN", "+nan"}) {
    float v = 0;
    ASSERT_TRUE(parse(t, v)) << t;
    EXPECT_TRUE(std::isnan(v)) << t;
  }
}

TEST(Number, NotNumbers) {
  for (const char* t : {"", "+", "-", ".", "e5", "1e", "1e+", "1.5+", "1.5e+3x", "abc", "0x10", "1..2",
                        "1,5", "3*0.5", "infinit", "nanx", "1 2", "--1", "+-1", "1e5.0", "1d", "d5", " 1",
                        "1 ", "infinityx"}) {
    float v = 42;
    EXPECT_FALSE(parse(t, v)) << "'" << t << "'";
    EXPECT_EQ(42.0f, v);
  }
}

// Against the C library's correctly rounded strtof: random floats printed at every
// precision and in several forms must read back to the same bits.
TEST(Number, AgreesWithReferenceConversion) {
  std::mt19937_64 rng(20261208);
  char text[64];
  long checked = 0;
  for (int n = 0; n < 300000; ++n) {
    float f;
    const auto u = static_cast<std::uint32_t>(rng());
    std::memcpy(&f, &u, sizeof f);
    if (!std::isfinite(f)) continue;
    const int digits = 1 + static_cast<int>(rng() % 12);
    const int form = static_cast<int>(rng() % 4);
    if (form == 0) std::snprintf(text, sizeof text, "%.*e", digits, static_cast<double>(f));
    if (form == 1) std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
    if (form == 2) std::snprintf(text, sizeof text, "%+.*E", digits, static_cast<double>(f));
    if (form == 3) std::snprintf(text, sizeof text, "%.*f", digits, static_cast<double>(f));
    const float want = std::strtof(text, nullptr);
    // The same number with a Fortran exponent letter must read the same.
    std::string fortran(text);
    const auto e = fortran.find_first_of("eE");
    if (e != std::string::npos) fortran[e] = "dDqQ"[rng() % 4];
    float got = 0, got_fortran = 0;
    ASSERT_TRUE(parse(text, got)) << text;
    ASSERT_TRUE(parse(fortran, got_fortran)) << fortran;
    ASSERT_EQ(bits(want), bits(got)) << text;
    ASSERT_EQ(bits(want), bits(got_fortran)) << fortran;
    ++checked;
  }
  EXPECT_GT(checked, 200000);
}

}  // namespace
}  // namespace haloprof
