// The fast paths (numbers read with text to spare, plain records) must give exactly what
// the general paths give, bit for bit, message for message.
#include <gtest/gtest.h>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/format.h"
#include "input/load.h"
#include "input/record_batch.h"
#include "support/bits.h"
#include "support/findings.h"
#include "support/numbers.h"
#include "support/tiers.h"

namespace haloprof {
namespace {

using testing::bits;

__extension__ typedef unsigned __int128 uint128;

// A value as a snapshot might print it, in one of several forms, or in `form` with
// `digits` when given (a file keeps to one).
std::string print(std::mt19937_64& rng, float f, int form = -1, int digits = 0) {
  char buf[80];
  if (digits == 0) digits = 1 + static_cast<int>(rng() % 18);  // up to the 19 of numpy's default
  const auto v = static_cast<double>(f);
  switch (form >= 0 ? form : rng() % 7) {
    case 0:
      std::snprintf(buf, sizeof buf, "%.*g", digits, v);
      break;
    case 1:
      std::snprintf(buf, sizeof buf, "%.*e", digits, v);
      break;
    case 2:
      std::snprintf(buf, sizeof buf, "%.*f", digits, v);
      break;
    case 3:
      std::snprintf(buf, sizeof buf, "%+.*E", digits, v);
      break;
    case 4:
      std::snprintf(buf, sizeof buf, "%.*e", digits, v);
      buf[std::strcspn(buf, "e")] = 'D';
      break;
    case 5: {  // Fortran's E and D fields: 0.ddddE+xx
      std::string field;
      put_fortran_e(field, v, 0, digits, rng() % 2 ? 'E' : 'D');
      return field;
    }
    default:
      std::snprintf(buf, sizeof buf, "%.*g", digits, v);
      break;
  }
  return buf;
}

float random_value(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0:
      return std::uniform_real_distribution<float>(0.4f, 0.6f)(rng);
    case 1:
      return std::normal_distribution<float>(0.0f, 300.0f)(rng);
    case 2:
      return std::exp(std::uniform_real_distribution<float>(-20.0f, 20.0f)(rng));
    default: {
      float f;
      const auto u = static_cast<std::uint32_t>(rng());
      std::memcpy(&f, &u, sizeof f);
      return std::isfinite(f) ? f : 1.0f;
    }
  }
}

TEST(FastPath, AdversarialNumbers) {
  for (const char* t : {"1.000000059604644775390625",
                        "1.0000000596046448",
                        "0.1",
                        "0.99999997",
                        "16777216",
                        "16777217",
                        "16777218",
                        "1677721.7",
                        "0.000000016777217",
                        "123456789",
                        "0.123456789",
                        "1e-45",
                        "1.4e-45",
                        "7e-46",
                        "1.1754942e-38",
                        "3.4028235e38",
                        "3.4028236e38",
                        "1e39",
                        "-0",
                        "-0.0",
                        "+.5",
                        "5.",
                        ".5",
                        "-.5e-3",
                        "1.5+3",
                        "2.5D-1",
                        "9.999999e9",
                        "0.0000001",
                        "1e-10",
                        "1e10",
                        "9999999e-10",
                        "4398127e-7",
                        "0.4398127",
                        "-123.456",
                        "1.234e+02",
                        "0.30000001",
                        "2.7182817",
                        "1e0",
                        "00000001.5",
                        "0.00000000"}) {
    const std::string padded = std::string(t) + std::string(32, ' ');
    const char* last = padded.data() + std::strlen(t);
    float fast = 0, general = 0;
    ASSERT_TRUE(testing::whole_number(padded.data(), last, fast, padded.data() + padded.size())) << t;
    ASSERT_TRUE(testing::whole_number(t, t + std::strlen(t), general)) << t;
    EXPECT_EQ(bits(general), bits(fast)) << t;
  }
}

// Every way of reading the text, held in a buffer of exactly its size (so that a read past
// the end is caught under the address sanitizer), must agree with the plainest one, the
// general path after counting, on every value, every console line and every message.
void expect_readers_agree(const std::string& text) {
  const auto buffer = std::make_unique<char[]>(text.size());
  std::memcpy(buffer.get(), text.data(), text.size());
  const char* first = buffer.get();
  const char* last = first + text.size();
  run_state plain;
  snapshot_findings plain_found;
  const auto p = load_snapshot(plain, first, last, "s", plain_found, {}, {.fast_records = false, .count_first = true});
  // Every way of reading at the widest tier, the fast records at every tier, and pieces
  // on several threads, short enough that records, blank lines, the end of the list and
  // broken records fall on every side of their boundaries.
  const tier widest = available_tiers().front();
  std::vector<std::pair<read_paths, tier>> ways = {{{true, true}, widest}, {{false, false}, widest}};
  for (const tier t : available_tiers()) ways.push_back({{true, false}, t});
  for (read_paths pieces : {read_paths{true, false, 2, 1}, read_paths{true, false, 3, 61},
                            read_paths{false, false, 2, 200}, read_paths{true, true, 4, 97}}) {
    pieces.piece_bytes = std::max(pieces.piece_bytes, text.size() / 1000);  // a large text in a thousand
    ways.push_back({pieces, widest});
  }
  for (const auto& [paths, t] : ways) {
    run_state other;
    snapshot_findings other_found;
    force_tier(t);
    const auto o = load_snapshot(other, first, last, "s", other_found, {}, paths);
    force_tier(available_tiers().front());
    const std::string how = std::string(paths.fast_records ? "fast" : "general") +
                            (paths.count_first ? ", counted" : "") + ", tier " + std::string(tier_name(t)) + ", " +
                            std::to_string(paths.threads) + " threads, pieces of " + std::to_string(paths.piece_bytes);
    ASSERT_EQ(p.failed(), o.failed()) << how << "\n" << text;
    EXPECT_EQ(testing::describe(plain, plain_found), testing::describe(other, other_found)) << how;
    if (p.failed()) {
      EXPECT_EQ(p->message, o->message) << how;
      continue;
    }
    ASSERT_EQ(plain.nhalos, other.nhalos) << how;
    for (std::int64_t i = 0; i < plain.nhalos; ++i) {
      const float* a[7] = {&plain.xpar[i], &plain.ypar[i], &plain.zpar[i], &plain.vx[i],
                           &plain.vy[i],   &plain.vz[i],   &plain.dens[i]};
      const float* b[7] = {&other.xpar[i], &other.ypar[i], &other.zpar[i], &other.vx[i],
                           &other.vy[i],   &other.vz[i],   &other.dens[i]};
      for (int k = 0; k < 7; ++k) ASSERT_EQ(bits(*a[k]), bits(*b[k])) << how << ": particle " << i << " value " << k;
    }
  }
}

// A random snapshot, mostly plain records with blanks, some with commas, tabs, carriage
// returns, blank records, long records and broken ones; file % 3 == 0 keeps to one form.
std::string random_snapshot(std::mt19937_64& rng, int file) {
  const char* separators[] = {" ", " ", " ", "  ", "\t", ", ", ",", " , ", ",,", ", ,"};
  // One file in three keeps to one form: %.Ne, %.Nf, Fortran's E and D fields.
  const int form = file % 3 == 0 ? std::array{1, 2, 4, 5}[rng() % 4] : -1;
  const int digits = form >= 0 ? 1 + static_cast<int>(rng() % 14) : 0;
  std::string text = "snap 0.5\n";
  const int records = 1 + static_cast<int>(rng() % 200);
  for (int r = 0; r < records; ++r) {
    if (rng() % 50 == 0) text += "\n";
    if (rng() % 20 == 0) text += "  ";
    if (rng() % 400 == 0) text += ", ";  // an empty first value ends the list
    const int values = rng() % 400 == 0 ? 5 : 7 + static_cast<int>(rng() % 3 == 0 ? rng() % 4 : 0);
    for (int k = 0; k < values; ++k) {
      if (k > 0) text += rng() % 10 == 0 ? separators[rng() % 10] : " ";
      text += rng() % 2000 == 0 ? std::string("x1") : print(rng, random_value(rng), form, digits);
    }
    text += rng() % 30 == 0 ? "\r\n" : "\n";
  }
  if (rng() % 3 == 0) text += "end of particles\n";
  return text;
}

// Both readers must agree on every value and every message.
TEST(FastPath, RecordsAgreeWithTheGeneralPath) {
  std::mt19937_64 rng(9);
  for (int file = 0; file < 300; ++file) expect_readers_agree(random_snapshot(rng, file));
}

// A text whose lines end with a carriage return alone reads as the same text with line
// feeds: values, console lines and messages (their line numbers too), on every way of reading.
TEST(FastPath, LoneCarriageReturnsEndLines) {
  std::mt19937_64 rng(10);
  for (int file = 0; file < 60; ++file) {
    std::string lf = random_snapshot(rng, file);
    for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
    std::string cr = lf;
    std::replace(cr.begin(), cr.end(), '\n', '\r');
    run_state a, b;
    snapshot_findings found_a, found_b;
    const auto ra =
        load_snapshot(a, lf.data(), lf.data() + lf.size(), "s", found_a, {}, {.threads = 3, .piece_bytes = 300});
    const auto rb =
        load_snapshot(b, cr.data(), cr.data() + cr.size(), "s", found_b, {}, {.threads = 3, .piece_bytes = 300});
    ASSERT_EQ(ra.failed(), rb.failed()) << lf;
    if (ra.failed()) {
      EXPECT_EQ(ra->message, rb->message);
    }
    EXPECT_EQ(testing::describe(a, found_a), testing::describe(b, found_b));
    ASSERT_EQ(a.nhalos, b.nhalos);
    for (std::int64_t i = 0; ra.ok() && i < a.nhalos; ++i)
      for (int k = 0; k < 7; ++k) ASSERT_EQ(bits(a.column_data()[k][i]), bits(b.column_data()[k][i])) << i;
    expect_readers_agree(cr);
  }
}

// A million decimals of one to fifteen digits, the point anywhere or nowhere, in half the
// records with an exponent that leaves a power of ten within 10^-22 to 10^22 (now and then
// just beyond): the batch conversion at every vector width must give the general path's bits.
TEST(FastPath, AMillionDecimalsInRecords) {
  std::mt19937_64 rng(13);
  std::string text = "plain 0.5\n";
  for (int r = 0; r < 150000; ++r) {
    const bool exponents = r % 2 == 1;
    for (int k = 0; k < 7; ++k) {
      const int digits = 1 + static_cast<int>(rng() % 15);
      const int point = static_cast<int>(rng() % (digits + 2));  // before digit `point`; none past the end
      std::string v = rng() % 2 ? "-" : "";
      for (int d = 0; d < digits; ++d) {
        if (d == point) v += '.';
        v += static_cast<char>('0' + rng() % 10);
      }
      if (point == digits) v += '.';
      if (exponents) {
        const int q = rng() % 200 == 0 ? (rng() % 2 ? 23 : -23) : static_cast<int>(rng() % 45) - 22;
        const int e = q + (point <= digits ? digits - point : 0);
        v += "eEdDqQ"[rng() % 6];
        v += e < 0 ? '-' : '+';
        v += std::to_string(std::abs(e) / 10) + std::to_string(std::abs(e) % 10);
      }
      text += (k > 0 ? " " : "") + v;
    }
    text += "\n";
  }
  expect_readers_agree(text);
}

// Decimals whose correctly rounded double lies exactly halfway between two floats: rounding
// that double again would pick the even float, but only the exact decimal tells which is
// nearer. A float midpoint is s / 2^j, s odd of 25 bits; a decimal N / 10^k that is not
// one rounds to one when it lies within half a unit of the double's last place, 2^-(29+j),
// of it: N / 10^k = (s 5^k + e) / (5^k 2^j) with e odd and |e| <= 5^k / 2^29, which takes
// k >= 13 digits after the point; they are written with an exponent as well. A product
// n 10^q (q > 0) beyond 2^53 is rounded too: n 5^q = s 2^t + e, 0 < |e| < 2^(t-29), rounds to
// the midpoint s 2^t. The midpoints themselves (16777217, 8388608.5, ...) round to even,
// rightly.
TEST(FastPath, DecimalsWhoseDoubleIsHalfwayBetweenFloats) {
  std::vector<std::string> values;
  // n 10^p as C's %e writes it, the letter and the sign varied.
  const auto e_form = [&](std::uint64_t n, int p) {
    const std::string d = std::to_string(n);
    const int e = static_cast<int>(d.size()) - 1 + p;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s%c.%s%c%c%02d", values.size() % 2 ? "-" : "", d[0], d.c_str() + 1,
                  "eEdD"[values.size() / 2 % 4], e < 0 ? '-' : '+', std::abs(e));
    return std::string(buf);
  };
  // N / 10^k in [8, 10) (j = 21) and in [0.5, 1) (j = 25); N = (s 5^k + e) / 2^(j-k).
  for (const auto& [k, shift, most] : {std::tuple{13, 8, 1}, std::tuple{14, 11, 11}}) {
    std::uint64_t five = 1;
    for (int q = 0; q < k; ++q) five *= 5;
    for (std::uint64_t s = (1u << 24) + 1; s < (1u << 25) && values.size() < 70u * (k - 12); s += 2) {
      for (int e = -most; e <= most; e += 2) {
        const std::uint64_t sum = s * five + static_cast<std::uint64_t>(e);
        const std::uint64_t n = sum >> shift;
        if (n << shift != sum || n >= 100000000000000) continue;
        std::string digits = std::to_string(n);
        digits.insert(digits.size() - static_cast<std::size_t>(k), ".");
        ASSERT_EQ(0x10000000u, bits(static_cast<double>(n) / std::pow(10.0, k)) & 0x1fffffff) << digits;
        values.push_back((values.size() % 2 ? "-" : "") + digits);
        values.push_back(e_form(n, -k));
      }
    }
  }
  for (int q = 4; q <= 6; ++q) {
    std::uint64_t five = 1;
    for (int j = 0; j < q; ++j) five *= 5;
    int t = 0;  // the largest that keeps n = (s 2^t + e) / 5^q below 10^14
    while ((uint128{1} << (t + 26)) <= uint128{100000000000000} * five) ++t;
    for (std::uint64_t s = (1u << 24) + 1, found = 0; found < 12; s += 2) {
      for (const int e : {-1, 1}) {
        const uint128 sum = (uint128{s} << t) + static_cast<uint128>(e);
        if (sum % five != 0) continue;
        const auto n = static_cast<std::uint64_t>(sum / five);
        ASSERT_EQ(0x10000000u, bits(static_cast<double>(n) * std::pow(10.0, q)) & 0x1fffffff) << n << "e" << q;
        values.push_back(e_form(n, q));
        ++found;
      }
    }
  }
  for (int q = 15; q <= 46; ++q) {  // between 2^q and the next float, in at most 14 digits
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.*f", std::max(0, 24 - q), std::ldexp(1.0, q) + std::ldexp(1.0, q - 24));
    values.push_back(buf);
  }
  std::string text = "h 0\n";
  for (std::size_t v = 0; v < (values.size() + 6) / 7 * 7; ++v)  // whole records
    text += values[v % values.size()] + (v % 7 == 6 ? "\n" : " ");
  expect_readers_agree(text);
}

// The batch takes a record exactly when each of its values has the common shape and a
// rounding it can settle, at every tier, and then gives convert_float's bits.
TEST(FastPath, TheBatchTakesTheCommonShapeAlone) {
  const struct {
    std::string value;
    bool taken;
  } rows[] = {{"0.5051334", true},
              {"-66.223160", true},
              {"3534.891357", true},
              {"-1234567.8901234", true},
              {".12345678901234", true},
              {"99999999999999", true},
              {"5.", true},
              {"-.5", true},
              {"-0", true},
              {"123456789012345", false},
              {"-12345678.9012345", false},
              {"16777217", false},
              {"8.0000319480896", false},
              {"1e5", false},
              {"1.5-3", false},
              {"+1.5", false},
              {"1.2.3", false},
              {"-", false},
              {"-.", false},
              {std::string("1\0"
                           "5",
                           3),
               false},
              {"1:5", false},
              {"2\xb5", false},
              // With an exponent: a letter, a sign, two digits, 10^-22 to 10^22 in all.
              {"4.4025785e-01", true},
              {"-0.4402578E+00", true},
              {"-1.5D+03", true},
              {"1e+05", true},
              {"5.e-01", true},
              {".5E+00", true},
              {"2.5d-07", true},
              {"1.25q+02", true},
              {"-7.5Q-03", true},
              {"1e+22", true},
              {"-1e-22", true},
              {"99999999999999e+22", true},
              {".12345678901234e-08", true},
              {"-1.2345678901234e+00", true},
              {"-0.0000000E+00", true},
              {"1e5", false},
              {"1.5+3", false},
              {"1.5+03", false},
              {"1e+123", false},
              {"1e-1", false},
              {"1.5e+", false},
              {"1.5ee+01", false},
              {"1.2345678e-30", false},
              {"1e+23", false},
              {"1.0e-22", false},
              {".12345678901234e-09", false},
              {"+1.5e+00", false},
              {"1.5e*03", false},
              {"1.5e+0x", false},
              {"1.5f+03", false},
              {"e+05", false},
              {"-.e+05", false},
              {"123456789012345e+00", false},
              {"1.5e+03.", false},
              {"8.0000319480896e+00", false}};
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    // The value in one column of a record of plain values, with text to spare around it.
    std::string text(16, ' ');
    short_batch batch{};
    for (int k = 0; k < 7; ++k) {
      batch.first[k] = static_cast<int>(text.size()) - 16;
      text += k == static_cast<int>(r % 7) ? rows[r].value : "-25.125";
      batch.last[k] = static_cast<int>(text.size()) - 16;
      text += ' ';
    }
    batch.record = text.data() + 16;
    testing::for_each_tier([&](tier) {
      float values[7] = {}, *columns[7];
      for (int k = 0; k < 7; ++k) columns[k] = &values[k];
      ASSERT_EQ(rows[r].taken, short_decimals(batch, columns, 0)) << rows[r].value;
      for (int k = 0; k < 7 && rows[r].taken; ++k) {
        float general = 0;
        ASSERT_TRUE(testing::whole_number(batch.record + batch.first[k], batch.record + batch.last[k], general));
        EXPECT_EQ(bits(general), bits(values[k])) << rows[r].value;
      }
    });
  }
}

// Values of every shape in every column, in records the fast path reads: each shape in a
// file of its own, between plain records, so that a shape the fast path took for a number
// cannot hide behind an earlier error.
TEST(FastPath, ValuesOfEveryShapeInEveryColumn) {
  const char* shapes[] = {"5.",
                          ".5",
                          "-.5",
                          "-5.",
                          "0",
                          "-0",
                          "-0.0",
                          "12345678",
                          "1234567.8",
                          ".12345678",
                          "-12345678",
                          "16777216",
                          "16777217",
                          "99999999",
                          "0.0000001",
                          "1.",
                          "-1234.567",
                          "123456789",
                          "1.5-3",
                          "1e5",
                          "-1.5E+3",
                          "--5",
                          "5-",
                          "-5-",
                          "1.2.3",
                          ".",
                          "-",
                          "-.",
                          "5..",
                          "0x10",
                          "inf",
                          "nan",
                          "+1.5",
                          "9-9",
                          "1.-2",
                          "-.-5",
                          "-1234567.8901234",
                          "123456789012345",
                          ".50002321600914",
                          "-1.5E+03",
                          "0.4402578D+00",
                          "1.5e+0",
                          "1e+23",
                          "1.5e+03.",
                          "5.e-01"};
  const std::string plain = "0.5051334 0.489532 0.4986668 -315.3293 1171.112 735.3419 35224.17\n";
  for (const char* shape : shapes) {
    for (int column = 0; column < 7; ++column) {
      std::string text = "s 0\n";
      for (int r = 0; r < 3; ++r) text += plain;
      for (int k = 0; k < 7; ++k) text += std::string(k > 0 ? " " : "") + (k == column ? shape : "1.25");
      text += "\n";
      for (int r = 0; r < 3; ++r) text += plain;
      SCOPED_TRACE(std::string(shape) + " in column " + std::to_string(column + 1));
      expect_readers_agree(text);
    }
  }
}

// The shortest records there can be, one-digit values, fill the arrays sized from the length
// of the text to the last element, with or without the last line end, whatever the pieces.
TEST(FastPath, MinimalRecordsFillArraysSizedFromTheText) {
  for (const int records : {1, 2, 3, 100, 20000}) {
    for (const bool last_line_end : {true, false}) {
      std::string text = "h 0\n";
      for (int r = 0; r < records; ++r) text += "1 2 3 4 5 6 7\n";
      if (!last_line_end) text.pop_back();
      SCOPED_TRACE(::testing::Message() << records << " records" << (last_line_end ? "" : ", no last line end"));
      expect_readers_agree(text);
      for (const read_paths paths : {read_paths{}, read_paths{true, false, 2, 14}, read_paths{true, false, 3, 29},
                                     read_paths{false, false, 4, 4096}}) {
        run_state data;
        snapshot_findings found;
        ASSERT_TRUE(load_snapshot(data, text.data(), text.data() + text.size(), "s", found, {}, paths).ok());
        EXPECT_EQ(records, data.nhalos);
        EXPECT_EQ(7.0f, data.dens[records - 1]);
      }
    }
  }
}

// Equal highest densities in different pieces: the first in the file is the densest.
TEST(FastPath, EqualDensitiesInSeveralPiecesTheFirstWins) {
  std::string text = "h 0\n";
  for (int r = 0; r < 60; ++r)
    text += "0." + std::to_string(10 + r) + " 0.5 0.5 1 2 3 " + (r % 20 == 7 ? "9.5" : "4.25") + "\n";
  expect_readers_agree(text);
  run_state data;
  snapshot_findings found;
  ASSERT_TRUE(
      load_snapshot(data, text.data(), text.data() + text.size(), "s", found, {}, {.threads = 3, .piece_bytes = 50})
          .ok());
  EXPECT_EQ(9.5f, found.dmax);
  EXPECT_EQ(8, found.densest);
}

// Values that run into the last bytes of the file, where the fast scans must stop short.
TEST(FastPath, ValuesAtTheEndOfTheFileAreReadInBounds) {
  for (const char* record : {"", "1 2 3 4 5 6 7\n"}) {
    for (int digits = 1; digits <= 90; ++digits) {
      std::vector<std::string> tails = {"", " 2 3 4 5 6 7", "\n"};
      for (int decimals = 0; decimals <= 17; ++decimals) tails.push_back("." + std::string(decimals, '5'));
      for (const auto& tail : tails) {
        expect_readers_agree(std::string("h 0\n") + record + std::string(digits, '2') + tail);
        expect_readers_agree(std::string("h 0\n") + record + "-0." + std::string(digits, '2') + tail);
      }
    }
  }
}

}  // namespace
}  // namespace haloprof
