// The conversion of one number: hard cases from a table, then random numbers in the forms
// snapshots are written in against the C library's correctly rounded strtof.
#include "input/convert.h"
#include "core/format.h"
#include "support/bits.h"

#include <gtest/gtest.h>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace haloprof {
namespace {

using testing::bits;

// Converts `text` twice: held in a buffer of exactly its size, where every byte is read
// with a check (a read past the end shows under the address sanitizer), and followed by
// blanks, where the common numbers are read eight bytes at a time. Both must find the same
// number. Returns its length, -1 when there is none.
class exact_buffers {
 public:
  int convert(const std::string& text, float& value) {
    if (text.size() >= buffers_.size()) buffers_.resize(text.size() + 1);
    auto& b = buffers_[text.size()];
    if (!b) b = std::make_unique<char[]>(text.size());
    std::memcpy(b.get(), text.data(), text.size());
    float padded_value = value;
    const int length = convert_one(b.get(), b.get() + text.size(), value);
    padded_.assign(text).append(40, ' ');
    const int padded_length = convert_one(padded_.data(), padded_.data() + padded_.size(), padded_value);
    if (padded_length != length || bits(padded_value) != bits(value)) {
      ADD_FAILURE() << "'" << text << "' followed by blanks gave " << padded_value << " of length " << padded_length
                    << ", alone " << value << " of length " << length;
      return -3;
    }
    return length;
  }

 private:
  static int convert_one(const char* first, const char* last, float& value) {
    const auto [ptr, ec] = convert_float(first, last, value);
    if (ec != std::errc{}) return ptr == first ? -1 : -2;  // -2: a failure that moved ptr
    return static_cast<int>(ptr - first);
  }

  std::vector<std::unique_ptr<char[]>> buffers_;
  std::string padded_;
};

TEST(Convert, HardCases) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float max = std::numeric_limits<float>::max();
  constexpr float tiny = std::numeric_limits<float>::denorm_min();  // 1.4e-45
  constexpr float least_normal = std::numeric_limits<float>::min();
  const float largest_subnormal = std::nextafter(least_normal, 0.0f);
  struct row {
    const char* text;
    int length;  // of the number at its start
    float want;
  } rows[] = {
      // Ties to even, exact in double (Clinger's path) and in the 128-bit product (19 digits,
      // Eisel-Lemire: (2^24 + 1) 2^39, (2^24 + 9) 2^33 through 10^1); just beside a tie.
      {"16777219", 8, 16777220.0f},
      {"8388608.5", 9, 8388608.0f},
      {"-8388609.5", 10, -8388610.0f},
      {"9223372586610589696", 19, 9223372586610589696.0f},
      {"9223372586610589697", 19, 9223372586610589697.0f},
      {"9223372586610589695", 19, 9223372586610589695.0f},
      {"14411526538526720e1", 19, 144115265385267200.0f},
      {"14411520096075776e1", 19, 144115200960757760.0f},  // (2^25 + 3) 2^32: above the tie by its last bit
      {"1.000000059604644775390626", 26, 1.0000001f},
      {"1.000000059604644775390624", 26, 1.0f},
      // 16 digits whose nearest double lies halfway between two floats, above and below.
      {"8.603257649271669e+18", 21, 8.603257649271669e+18f},
      {"2.316092031029686e+23", 21, 2.316092031029686e+23f},
      {"2.498324464750207e+21", 21, 2.498324464750207e+21f},
      {"4.574264191917865e+29", 21, 4.574264191917865e+29f},
      // 19 significant digits take the fast paths, 20 the general one.
      {"1.000000059604644775", 20, 1.0f},
      {"1.000000059604644776", 20, 1.0000001f},
      {"1.0000000596046447753", 21, 1.0f},
      {"1.0000000596046447754", 21, 1.0000001f},
      {"4.40257845577690688e-01", 23, 4.40257845577690688e-01f},
      // The smallest subnormal and half of it (a tie, to zero), the normal boundary.
      {"7.0064923216240854e-46", 22, tiny},
      {"7.0064923216240853e-46", 22, 0.0f},
      {"-1e-46", 6, -0.0f},
      {"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625e-46",
       110, 0.0f},
      {"1.1754942807573643e-38", 22, least_normal},
      {"1.1754942807573642e-38", 22, largest_subnormal},
      {"1.17549435e-38", 14, least_normal},
      {"2.5e-40", 7, 2.5e-40f},
      // The largest float and where infinity begins: FLT_MAX + half its last place, a tie to the even infinity.
      {"3.402823567797336616e38", 23, max},
      {"3.402823567797336617e38", 23, inf},
      {"340282356779733661637539395458142568448", 39, inf},
      {"340282356779733661637539395458142568447", 39, max},
      {"-1e39", 5, -inf},
      {"1e99999999999999999999", 22, inf},
      {"1e-99999999999999999999", 23, 0.0f},
      {"0e99999999999", 13, 0.0f},
      {"-0.0e-5", 7, -0.0f},
      // Leading zeros do not count as digits; they still move the point.
      {"0.000000000000000000000000000001e30", 35, 1.0f},
      {"0000000000000000000000000000012.5", 33, 12.5f},
      {"0.000000000000000000000000000000000000000000001", 47, tiny},
      {"-0.0000000000000000000000000000000000000000000000000000000000000001", 67, -0.0f},
      {"0.00000000000000000000000000000000000000000000000000000000000000001e+68", 71, 1000.0f},
      // Exponent letters, the sign alone, the forms users write; words.
      {"2.5e-1", 6, 0.25f},
      {"2.5E-1", 6, 0.25f},
      {"2.5D-1", 6, 0.25f},
      {"2.5d-1", 6, 0.25f},
      {"2.5Q-1", 6, 0.25f},
      {"2.5q-1", 6, 0.25f},
      {"1.5+3", 5, 1500.0f},
      {"-7.5-1", 6, -0.75f},
      {"0.4402578E+00", 13, 0.4402578f},
      {"1.D+2", 5, 100.0f},
      {"+.5", 3, 0.5f},
      {"-.5e-3", 6, -0.0005f},
      {"-275.320997", 11, -275.320997f},
      {"-1234567", 8, -1234567.0f},
      {"12345678.12345678 ", 17, 12345678.12345678f},
      {"inf", 3, inf},
      {"-Infinity", 9, -inf},
      {"+INF", 4, inf},
      {"iNfInItY", 8, inf},
      {"0.5d0", 5, 0.5f},
      {"5.0q-1", 6, 0.5f},
      {"1.5-3", 5, 0.0015f},
      {"2.E+1", 5, 20.0f},
      {"-0", 2, -0.0f},
      {"1e-45", 5, tiny},
      {"1.4e-45", 7, tiny},
      {"16777217", 8, 16777216.0f},
      {"-1e-999999999999", 16, -0.0f},
      {"1.000000059604644775390625000000000001", 38, 1.0000001f},
      // Where the number ends: the longest beginning that is one.
      {"1e", 1, 1.0f},
      {"1.5+", 3, 1.5f},
      {"1.5e+", 3, 1.5f},
      {"1.5ee3", 3, 1.5f},
      {"1..2", 2, 1.0f},
      {"1.5e3x", 5, 1500.0f},
      {"0x10", 1, 0.0f},
      {"1.5D+03 2", 7, 1500.0f},
      {"1.5+3e4", 5, 1500.0f},
      {"1.5e123", 7, inf},
      {"infinit", 3, inf},
      {"infinityx", 8, inf},
  };
  exact_buffers buffers;
  for (const row& r : rows) {
    float v = 42;
    EXPECT_EQ(r.length, buffers.convert(r.text, v)) << r.text;
    EXPECT_EQ(bits(r.want), bits(v)) << r.text << " gave " << v;
  }
  for (const char* t : {"nan", "NaN", "-NAN", "+nan", "nan(1)"}) {
    float v = 0;
    EXPECT_EQ(3 + (*t == '-' || *t == '+'), buffers.convert(t, v)) << t;
    EXPECT_EQ(bits(*t == '-' ? -std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::quiet_NaN()),
              bits(v))
        << t;
  }
  // Every byte that is no digit ends the digits before it, wherever it comes among eight.
  for (int c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') continue;
    for (int k = 1; k <= 9; ++k) {
      const std::string digits = std::string("123456789").substr(0, static_cast<std::size_t>(k));
      for (const std::string& number : {digits, "-0." + digits}) {
        float v = 42;
        const int length = static_cast<int>(number.size()) + (c == '.' && number[0] != '-');  // "123." is a number
        ASSERT_EQ(length, buffers.convert(number + static_cast<char>(c), v)) << number << " and byte " << c;
        ASSERT_EQ(bits(std::strtof(number.c_str(), nullptr)), bits(v)) << number << " and byte " << c;
      }
    }
  }
  for (const char* t : {"", "-", "+", ".", "-.", "+-1", "e5", ".e5", "x", " 1", "in", "na", "-i", "--1", ",5"}) {
    float v = 42;
    EXPECT_EQ(-1, buffers.convert(t, v)) << "'" << t << "'";
    EXPECT_EQ(42.0f, v) << "'" << t << "'";
  }
  // Tokens that begin with a number but are not one, as a snapshot's value must be.
  for (const char* t : {"1e", "1e+", "1.5+", "1.5e+3x", "0x10", "1..2", "1,5", "3*0.5", "infinit", "nanx", "1 2",
                        "1e5.0", "1d", "d5", "1 ", "infinityx"}) {
    float v = 42;
    EXPECT_NE(static_cast<int>(std::strlen(t)), buffers.convert(t, v)) << "'" << t << "'";
  }
}

// Exact halfway points between floats written with 17 to 19 significant digits after a
// point: too many digits for Clinger's path, and a negative power of ten, whose truncation
// puts the 128-bit product just below the tie (by less than a unit of its lower word), where
// the product leaves the rounding in doubt and the exact path must decide. Ties go to the
// even float, here the one above.
TEST(Convert, TiesJustBelowTheTruncatedProduct) {
  exact_buffers buffers;
  char text[64];
  int rows = 0;
  for (const float base : {256.0f, 300.0f, 700.0f, 1000.0f, 2049.0f, 3000.0f, 4000.0f}) {
    for (std::uint32_t k = 1; k < 80; k += 2) {  // odd significands: the tie goes up
      const float below = std::bit_cast<float>(std::bit_cast<std::uint32_t>(base) | 1u) + 0.0f;
      const float lo = std::bit_cast<float>(std::bit_cast<std::uint32_t>(below) + k - 1);
      const double tie = (double{lo} + double{std::nextafter(lo, 1e30f)}) / 2;  // exact
      std::snprintf(text, sizeof text, "%.25f", tie);
      std::string number = text;
      number.erase(number.find_last_not_of('0') + 1);
      float got = 0;
      ASSERT_EQ(static_cast<int>(number.size()), buffers.convert(number, got)) << number;
      ASSERT_EQ(bits(std::strtof(number.c_str(), nullptr)), bits(got)) << number;
      ++rows;
    }
  }
  EXPECT_EQ(280, rows);
}

// The one random sweep: values printed the ways snapshots print them (printf's forms at
// every precision, the shortest digits, Fortran's fields), and digit strings of any length
// with the point and exponent anywhere: the bits of strtof, by the careful path (the text
// alone) and by the fast one (text to spare). The same numbers with a D or Q
// exponent letter or with the sign alone, and followed by a character that ends them, must
// read the same.
TEST(Convert, AgreesWithTheReferenceOnRandomNumbers) {
  std::mt19937_64 rng(20260412);
  exact_buffers buffers;
  char text[128];
  for (int n = 0; n < 1000000; ++n) {
    const int form = static_cast<int>(rng() % 9);
    // Any finite float, or a double spread evenly in magnitude over the float range and beyond.
    float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (!std::isfinite(f)) f = 1.0f;
    const double x =
        form < 4 ? f : std::exp(std::uniform_real_distribution<double>(-106.0, 90.0)(rng)) * (rng() % 2 ? -1 : 1);
    const int digits = 1 + static_cast<int>(rng() % 18);  // up to the 19 of numpy's default
    switch (form) {
      case 0:
        std::snprintf(text, sizeof text, "%.*g", digits, x);
        break;
      case 1:
        *std::to_chars(text, text + sizeof text, f).ptr = '\0';
        break;  // the shortest
      case 2:
      case 4:
        std::snprintf(text, sizeof text, rng() % 2 ? "%.*e" : "%+.*E", digits, x);
        break;
      case 3:
      case 5:
        std::snprintf(text, sizeof text, "%.18e", x);
        break;
      case 6:
        std::snprintf(text, sizeof text, "%.*f", digits, std::fmod(x, 1e7));
        break;
      case 7: {  // Fortran's E15.7: 0.dddddddE+ee
        std::string field;
        put_fortran_e(field, x, 0, 7);
        std::snprintf(text, sizeof text, "%s", field.c_str());
        break;
      }
      default: {  // 1 to 25 random digits, the point anywhere or nowhere, maybe an exponent
        const int length = 1 + static_cast<int>(rng() % 25), point = static_cast<int>(rng() % (length + 2));
        std::string s = rng() % 2 ? "-" : "";
        for (int k = 0; k < length; ++k)
          s += (k == point ? "." : "") + std::string(1, static_cast<char>('0' + rng() % 10));
        if (rng() % 2) s += "e" + std::to_string(static_cast<int>(rng() % 100) - 60);
        std::snprintf(text, sizeof text, "%s", s.c_str());
      }
    }
    const std::string number = text;
    const float want = std::strtof(text, nullptr);
    float got = 0;
    ASSERT_EQ(static_cast<int>(number.size()), buffers.convert(number, got)) << number;
    ASSERT_EQ(bits(want), bits(got)) << number;

    std::string other = number;
    const auto letter = other.find_first_of("eE");
    if (letter != std::string::npos && rng() % 2 && (other[letter + 1] == '+' || other[letter + 1] == '-'))
      other.erase(letter, 1);
    else if (letter != std::string::npos)
      other[letter] = "dDqQ"[rng() % 4];
    const std::size_t length = other.size();
    if (rng() % 2) other += " ,x\neE+-/"[rng() % 9];
    ASSERT_EQ(static_cast<int>(length), buffers.convert(other, got)) << other;
    ASSERT_EQ(bits(want), bits(got)) << other;
  }
}

// Points halfway between neighbouring floats, printed to 8 to 20 significant digits: the
// nearest decimals lie just above or below, or on, the tie, where double rounding and a
// truncated power of five would go wrong.
TEST(Convert, AgreesWithTheReferenceNearTies) {
  std::mt19937_64 rng(31);
  exact_buffers buffers;
  char text[64];
  for (int n = 0; n < 200000; ++n) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng() % 0x7f7fffffu));  // finite, below FLT_MAX
    const double tie = (double{f} + double{std::nextafter(f, std::numeric_limits<float>::infinity())}) / 2;  // exact
    std::snprintf(text, sizeof text, "%.*e", 7 + static_cast<int>(rng() % 13), tie);
    const std::string number = text;
    float got = 0;
    ASSERT_EQ(static_cast<int>(number.size()), buffers.convert(number, got)) << number;
    ASSERT_EQ(bits(std::strtof(text, nullptr)), bits(got)) << number;
  }
}

// Numbers longer than any float needs, against strtof: exact ties and ties with a 1 far
// behind them, long integer parts, long runs of leading zeros, and the same in exponent form.
TEST(Convert, ManyThousandDigitsRoundAsTheirValue) {
  exact_buffers buffers;
  const std::string zeros(3000, '0');
  const std::string rows[] = {
      "1.000000059604644775390625" + zeros,
      "1.000000059604644775390625" + zeros + "1",
      "-16777217" + zeros + "e-3000",
      "16777217" + zeros + "1e-3001",
      "16777217." + zeros + "1",
      "-0." + zeros + "16777217e3008",
      "3402823567797336616375393954581425684" + zeros + "e-2999",
      "3.402823567797336616" + zeros + "1e38",
      "7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625" +
          zeros + "1e-46",
      "1" + zeros + zeros + zeros,
      "0." + zeros + zeros + "1e6000",
  };
  for (const std::string& number : rows) {
    float got = 0;
    ASSERT_EQ(static_cast<int>(number.size()), buffers.convert(number, got)) << number.substr(0, 40);
    EXPECT_EQ(bits(std::strtof(number.c_str(), nullptr)), bits(got)) << number.substr(0, 40) << "…";
  }
}

}  // namespace
}  // namespace haloprof
