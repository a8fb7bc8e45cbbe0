#include "input/convert.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "input/digit_words.h"
#include "input/rounding.h"

// A number is read in one pass over its text, which finds its parts and gathers up to 19
// significant digits into an integer w, so that the value is w * 10^q. Then, from the
// cheapest to the dearest:
//  - w below 2^53 and |q| up to 22: both are exact doubles, so one multiplication or
//    division rounds w * 10^q once, correctly, to double; rounding that to float gives the
//    nearest float, except when the double lies exactly halfway between two floats, where
//    the side of the exact value is found from the exact remainder (Clinger's fast path).
//  - otherwise, q from -64 to 38: w times a 128-bit truncation of 5^q gives the leading bits
//    of the value, and they decide the rounding unless the truncation leaves a carry or a
//    tie in doubt (the Eisel-Lemire method: D. Lemire, "Number parsing at a gigabyte per
//    second", Software: Practice and Experience 51, 2021).
//  - what remains (more than 19 significant digits, or a rounding left in doubt, about one
//    value in billions of random ones) is rewritten for std::from_chars, which rounds any
//    number of digits exactly.
// The text is read in one of two ways. convert_float reads the common numbers, away from
// the end of the text, eight bytes at a time and with no calls but tail calls (so that it
// keeps to few registers), and hands anything else (integer parts of eight digits or more,
// exponents of three digits or more, words, broken numbers, the last bytes of the text, a
// doubtful rounding) to convert_carefully, which starts again and reads any number byte by
// byte, checking each against the end.

namespace haloprof {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr float infinity = std::numeric_limits<float>::infinity();

float with_sign(float magnitude, bool negative) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | (std::uint32_t{negative} << 31));
}

// ---------------------------------------------------------------------------------------
// The exact general path.

// std::from_chars leaves the value alone when the result leaves the float range.
// [first, last) is then a valid number in from_chars syntax, [-]digits[.digits][e[±]digits],
// and its decimal order of magnitude tells overflow (an infinity) from underflow (a zero):
// out-of-range results lie beyond 3.4e38 or below 1e-45, so the sign of the order decides.
float out_of_range_value(const char* first, const char* last) {
  const bool negative = *first == '-';
  const char* p = negative ? first + 1 : first;
  std::int64_t order = 0;  // the value lies in [10^(order-1), 10^order)
  bool leading_found = false, after_point = false;
  for (; p < last && (is_digit(*p) || *p == '.'); ++p) {
    if (*p == '.') {
      after_point = true;
    } else if (!leading_found) {
      if (*p != '0') leading_found = true;
      if (leading_found && !after_point) ++order;
      if (!leading_found && after_point) --order;
    } else if (!after_point) {
      ++order;
    }
  }
  std::int64_t exponent = 0;
  if (p < last) {  // 'e'
    ++p;
    bool exponent_negative = false;
    if (p < last && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    for (; p < last; ++p)
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
    if (exponent_negative) exponent = -exponent;
  }
  const float magnitude = order + exponent > 0 ? infinity : 0.0f;
  return negative ? -magnitude : magnitude;
}

// A number [first, last) of the syntax convert_float reads, rewritten in from_chars syntax
// as an integer of its significant digits times a power of ten, so that the decimal is still
// rounded only once. Every point halfway between two floats, and every float, is written
// exactly in far fewer than `kept` significant digits: so the digits beyond are replaced by
// a single 1 when any of them is not 0, which leaves the value strictly between the same two
// such points, and the rounding unchanged. The buffer is bounded, however long the number.
[[gnu::cold, gnu::noinline]] float general_value(const char* first, const char* last) {
  constexpr int kept = 800;
  char buf[1 + kept + 1 + 1 + 24];  // sign, digits, sticky digit, 'e', a 64-bit exponent
  char* q = buf;
  const char* p = first;
  if (*p == '-') *q++ = '-';
  if (*p == '-' || *p == '+') ++p;
  const char* const digits = q;
  std::int64_t scale = 0;  // the value is the digits times 10^scale, then the exponent
  bool after_point = false, dropped = false;
  for (; p != last && (is_digit(*p) || *p == '.'); ++p) {
    if (*p == '.') {
      after_point = true;
    } else if (q == digits && *p == '0') {
      scale -= after_point;  // a leading zero: only the point moves
    } else if (q - digits < kept) {
      *q++ = *p;
      scale -= after_point;
    } else {
      dropped |= *p != '0';
      scale += !after_point;
    }
  }
  if (q == digits) *q++ = '0';
  if (dropped) {
    *q++ = '1';
    --scale;
  }
  if (p != last) {                    // the exponent, held within reach of the order of any digits
    if (*p != '+' && *p != '-') ++p;  // the letter
    const bool exponent_negative = *p == '-';
    p += *p == '+' || *p == '-';
    std::int64_t exponent = 0;
    for (; p != last; ++p)
      if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (*p - '0');
    scale += exponent_negative ? -exponent : exponent;
  }
  *q++ = 'e';
  q = std::to_chars(q, buf + sizeof buf, scale).ptr;
  float value = 0.0f;
  const auto r = std::from_chars(buf, q, value);
  return r.ec == std::errc::result_out_of_range ? out_of_range_value(buf, q) : value;
}

// ---------------------------------------------------------------------------------------
// Clinger's fast path.

// The powers of ten that are exact doubles.
constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
static_assert(std::size(powers_of_ten) == largest_exact_power_of_ten + 1);

// Whether Clinger's path takes w * 10^q. The value then lies between 1e-22 and 1e38, well
// inside the range of normal floats.
bool clinger_takes(std::uint64_t w, std::int64_t q) {
  constexpr std::int64_t reach = largest_exact_power_of_ten;
  return w >> 53 == 0 && static_cast<std::uint64_t>(q + reach) <= static_cast<std::uint64_t>(2 * reach);
}

// w * 10^q rounded once to double.
double clinger_double(std::uint64_t w, int q) {
  const double x = static_cast<double>(w);
  const double p = powers_of_ten[q < 0 ? -q : q];
  return q < 0 ? x / p : x * p;
}

// The float nearest w * 10^q, Clinger's path taking it. When d is halfway between two
// floats, the exact value may lie on either side of it, or on it; the error of the rounded
// operation, which is itself a double and so comes exact out of a fused multiply-add, tells
// which. Nudged by one unit toward the exact value, d rounds to the float that value rounds to.
float clinger(std::uint64_t w, int q) {
  double d = clinger_double(w, q);
  if (halfway_between_floats(d)) {
    const double x = static_cast<double>(w);
    const double p = powers_of_ten[q < 0 ? -q : q];
    const double above = q < 0 ? std::fma(d, p, -x) : -std::fma(x, p, -d);  // the sign of d - w * 10^q
    auto bits = std::bit_cast<std::uint64_t>(d);
    if (above > 0) --bits;
    if (above < 0) ++bits;
    d = std::bit_cast<double>(bits);
  }
  return static_cast<float>(d);
}

// ---------------------------------------------------------------------------------------
// The Eisel-Lemire method for floats.

// Beyond these powers of ten every w from 1 to 10^19 gives zero or infinity: w * 10^-65 is
// below 1e-46, less than half the smallest subnormal (7e-46); 10^39 is above the largest float.
constexpr int smallest_power = -64;
constexpr int largest_power = 38;

// 5^q = significand * 2^(exponent - 127), the significand in [2^127, 2^128) and truncated
// where 5^q has more bits (q < 0, and q > 55).
struct power_of_five {
  std::uint64_t high, low;  // the significand's upper and lower 64 bits
  int exponent;             // floor(log2(5^q))
};

// A 192-bit integer, for building the table: 5^64 has 149 bits.
struct wide {
  std::uint64_t word[3]{};  // least significant first

  constexpr bool operator>=(const wide& b) const {
    for (int i = 2; i >= 0; --i)
      if (word[i] != b.word[i]) return word[i] > b.word[i];
    return true;
  }
  constexpr void operator-=(const wide& b) {
    std::uint64_t borrow = 0;
    for (int i = 0; i < 3; ++i) {
      const std::uint64_t d = word[i] - b.word[i] - borrow;
      borrow = (word[i] < b.word[i]) || (word[i] - b.word[i] < borrow);
      word[i] = d;
    }
  }
  constexpr void times(std::uint64_t f) {
    uint128 carry = 0;
    for (auto& w : word) {
      carry += uint128{w} * f;
      w = static_cast<std::uint64_t>(carry);
      carry >>= 64;
    }
  }
  constexpr int bit_width() const {
    for (int i = 2; i >= 0; --i)
      if (word[i] != 0) return 64 * i + static_cast<int>(std::bit_width(word[i]));
    return 0;
  }
};

constexpr power_of_five make_power(int q) {
  wide five;
  five.word[0] = 1;
  for (int i = 0; i < (q < 0 ? -q : q); ++i) five.times(5);
  const int width = five.bit_width();
  uint128 significand = 0;
  int exponent = 0;
  if (q >= 0) {  // 5^q < 2^128 here: shifted up, exactly
    significand = (uint128{five.word[1]} << 64 | five.word[0]) << (128 - width);
    exponent = width - 1;
  } else {
    // 1 / 5^-q in binary, by long division: its first one is at 2^-width (5^-q is no power
    // of two), and that one and the 127 bits after it make the significand.
    wide remainder;
    remainder.word[0] = 1;
    for (int place = 1; place <= width + 127; ++place) {
      remainder.times(2);
      const bool one = remainder >= five;
      if (one) remainder -= five;
      if (place >= width) significand = significand << 1 | uint128{one};
    }
    exponent = -width;
  }
  return {static_cast<std::uint64_t>(significand >> 64), static_cast<std::uint64_t>(significand), exponent};
}

struct power_table {
  power_of_five at[largest_power - smallest_power + 1];
};

constexpr power_table make_powers() {
  power_table t{};
  for (int q = smallest_power; q <= largest_power; ++q) t.at[q - smallest_power] = make_power(q);
  return t;
}

constexpr power_table powers_of_five = make_powers();

constexpr const power_of_five& power(int q) { return powers_of_five.at[q - smallest_power]; }

// Spot checks: 5^-1 = 0.0011001100...b, 5^1 = 101b, 5^27 the last power that fits 64 bits,
// 5^38 = 0x12CED32A16A1B11E8262889 (89 bits) and 5^-64 (from exact integer arithmetic).
static_assert(power(-1).high == 0xCCCCCCCCCCCCCCCC && power(-1).low == 0xCCCCCCCCCCCCCCCC && power(-1).exponent == -3);
static_assert(power(0).high == 0x8000000000000000 && power(0).low == 0 && power(0).exponent == 0);
static_assert(power(1).high == 0xA000000000000000 && power(1).low == 0 && power(1).exponent == 2);
static_assert(power(27).high == 7450580596923828125u << 1 && power(27).low == 0 && power(28).low != 0);
static_assert(power(38).high == 0x96769950B50D88F4 && power(38).low == 0x1314448000000000 && power(38).exponent == 88);
static_assert(power(-64).high == 0xA87FEA27A539E9A5 && power(-64).low == 0x3F2398D747B36224 &&
              power(-64).exponent == -149);

// The bits of the float nearest w * 10^q (w from 1 to 10^19, q from smallest_power to
// largest_power), or -1 when the truncated power leaves the rounding in doubt.
//
// The value is W * 5^q * 2^(q - lz), W being w shifted up lz places to fill 64 bits. W times
// the upper half of the power's significand gives the product's top 128 bits, short of less
// than 2^64 + 1 units of the lower word (what the lower half and the truncation would add).
// The float needs the top 25 bits of the upper word (24 of significand and the rounding
// bit; the product's leading bit is its top bit or the next one), and they are settled
// unless the 38 bits below them are all ones, when that shortfall may carry into them.
// Then the lower half of the power is multiplied in too, which leaves the top 128 bits
// short of less than 2 units: a carry remains possible only from the two largest lower words.
// A tie (the value exactly halfway between two floats) needs the product to be exact,
// which it is for q from 0 to 27 (5^q fits the upper half); for other q, where the
// truncation puts the product below the value, a product that looks exactly halfway
// stands for a value above it, and rounds up.
[[gnu::always_inline]] inline std::int64_t eisel_lemire(std::uint64_t w, int q) {
  const power_of_five& p = power(q);
  const int lz = std::countl_zero(w);
  const std::uint64_t scaled = w << lz;
  const uint128 product = uint128{scaled} * p.high;
  std::uint64_t high = static_cast<std::uint64_t>(product >> 64);
  std::uint64_t low = static_cast<std::uint64_t>(product);
  const bool exact = q >= 0 && q <= 27;
  constexpr std::uint64_t under_kept = (std::uint64_t{1} << 38) - 1;
  if ((high & under_kept) == under_kept) {
    const auto more = static_cast<std::uint64_t>((uint128{scaled} * p.low) >> 64);
    low += more;
    high += low < more;
    if (!exact && (high & under_kept) == under_kept && low >= ~std::uint64_t{0} - 1) return -1;
  }
  const int upper = static_cast<int>(high >> 63);   // whether the leading bit is the top one
  const std::uint64_t kept = high >> (38 + upper);  // 25 bits: the significand, then the rounding bit
  int exponent = 63 + upper + p.exponent + q - lz;  // the value lies in [2^exponent, 2^(exponent+1))
  if (exponent < -126) {
    // Below the normal floats: the float counts units of 2^-149, of which kept holds
    // 2^(exponent + 125). No tie is possible this far down (the odd part of w * 10^q has
    // more than 25 bits), so the rounding bit alone decides.
    const int shift = -125 - exponent;  // 2 or more
    // 2^23, rounded up from the subnormals, is the smallest normal float.
    return shift > 26 ? 0 : static_cast<std::int64_t>(((kept >> (shift - 1)) + 1) >> 1);
  }
  // Half a unit up, then truncated (the rounding bit is as random as the value: no branch
  // on it); but a tie with an even significand below it stays there.
  std::uint64_t significand = (kept + 1) >> 1;
  if (exact && (kept & 3) == 1 && (high & ((std::uint64_t{1} << (38 + upper)) - 1)) == 0 && low == 0) --significand;
  if (significand == std::uint64_t{1} << 24) {
    significand >>= 1;
    ++exponent;
  }
  if (exponent > 127) return std::bit_cast<std::uint32_t>(infinity);
  return static_cast<std::int64_t>(exponent + 127) << 23 | static_cast<std::int64_t>(significand & 0x7fffff);
}

// ---------------------------------------------------------------------------------------
// Reading the text.

// The characters that can start an exponent, a letter or a sign alone, looked up at once
// (most numbers end at a separator).
constexpr std::array<bool, 256> starts_exponent = [] {
  std::array<bool, 256> is{};
  for (const char c : {'e', 'E', 'd', 'D', 'q', 'Q', '+', '-'}) is[static_cast<unsigned char>(c)] = true;
  return is;
}();

// The digits of [first, last) (digits and at most one point) after its leading zeros.
std::int64_t significant_digits(const char* first, const char* last) {
  while (first != last && (*first == '0' || *first == '.')) ++first;
  std::int64_t n = last - first;
  for (const char* p = first; p != last; ++p) n -= *p == '.';
  return n;
}

// Inf, Infinity or NaN at p, after the sign that starts at first (if any).
[[gnu::cold, gnu::noinline]] convert_result word(const char* first, const char* p, const char* last, bool negative,
                                                 float& value) {
  const auto at = [&](const char* s, std::string_view w) {
    if (last - s < static_cast<std::ptrdiff_t>(w.size())) return false;
    for (std::size_t i = 0; i < w.size(); ++i)
      if (lower(s[i]) != w[i]) return false;
    return true;
  };
  if (at(p, "inf")) {
    value = negative ? -infinity : infinity;
    return {p + (at(p + 3, "inity") ? 8 : 3), std::errc{}};
  }
  if (at(p, "nan")) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    value = negative ? -nan : nan;
    return {p + 3, std::errc{}};
  }
  return {first, std::errc::invalid_argument};
}

// convert_float for any number, byte by byte.
[[gnu::cold, gnu::noinline]] convert_result convert_carefully(const char* first, const char* last, float& value) {
  const char* p = first;
  const bool negative = p != last && *p == '-';
  if (p != last && (*p == '-' || *p == '+')) ++p;

  // The mantissa: w gathers all its digits (modulo 2^64), right as long as at most 19
  // are significant.
  const char* const mantissa = p;
  std::uint64_t w = 0;
  std::int64_t digits = 0, decimals = 0;
  for (; p != last && is_digit(*p); ++p, ++digits) w = w * 10 + static_cast<std::uint64_t>(*p - '0');
  if (p != last && *p == '.')
    for (++p; p != last && is_digit(*p); ++p, ++digits, ++decimals) w = w * 10 + static_cast<std::uint64_t>(*p - '0');
  if (digits == 0) return word(first, mantissa, last, negative, value);
  const char* const mantissa_end = p;

  // The exponent, when a letter or a sign is followed by digits; otherwise the number ends
  // before the letter or sign. Its size is capped far beyond any that matters, but past any
  // count of decimals a text in memory can hold.
  std::int64_t exponent = 0;
  if (p != last && starts_exponent[static_cast<unsigned char>(*p)]) {
    const char* e = p + (*p != '+' && *p != '-');  // past the letter
    const bool exponent_negative = e != last && *e == '-';
    e += e != last && (*e == '+' || *e == '-');
    if (e != last && is_digit(*e)) {
      for (; e != last && is_digit(*e); ++e)
        if (exponent < std::int64_t{1} << 50) exponent = exponent * 10 + (*e - '0');
      if (exponent_negative) exponent = -exponent;
      p = e;
    }
  }

  const std::int64_t q = exponent - decimals;
  std::int64_t bits = -1;
  if (digits > 19 && significant_digits(mantissa, mantissa_end) > 19)
    value = general_value(first, p);
  else if (w == 0)
    value = with_sign(0.0f, negative);
  else if (clinger_takes(w, q))
    value = with_sign(clinger(w, static_cast<int>(q)), negative);
  else if (q < smallest_power)
    value = with_sign(0.0f, negative);
  else if (q > largest_power)
    value = with_sign(infinity, negative);
  else if ((bits = eisel_lemire(w, static_cast<int>(q))) >= 0)
    value = with_sign(std::bit_cast<float>(static_cast<std::uint32_t>(bits)), negative);
  else
    value = general_value(first, p);
  return {p, std::errc{}};
}

// The digit values of the bytes of `text` (right in its leading digits, meaningless after
// them) and how many digits lead it.
struct leading_run {
  std::uint64_t values;
  int n;
};
leading_run leading_run_of(std::uint64_t text) {
  const std::uint64_t values = digit_values(text);
  return {values, leading_digits(values)};
}

constexpr std::uint64_t small_powers_of_ten[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The exponent at p, eight bytes being readable there: `exponent` and where the number
// ends, which is p when no exponent follows; null for three digits or more.
[[gnu::always_inline]] inline const char* short_exponent(const char* p, std::int64_t& exponent) {
  exponent = 0;
  if (!starts_exponent[static_cast<unsigned char>(*p)]) return p;
  // A branch over the letter, not arithmetic: whether there is one is as regular as the
  // file's form, and when the branch is foreseen the bytes after it are found without
  // waiting for this one (the signs vary, and take no branch).
  const char* e = p;
  if (__builtin_expect(*e != '+' && *e != '-', 1)) ++e;
  const bool negative = *e == '-';
  e += *e == '+' || *e == '-';
  if (!is_digit(*e)) return p;
  exponent = *e++ - '0';
  if (is_digit(*e)) exponent = exponent * 10 + (*e++ - '0');
  if (is_digit(*e)) return nullptr;
  if (negative) exponent = -exponent;
  return e;
}

// The float nearest w * 10^q for the number [first, end), where Clinger's path does not
// take it.
[[gnu::always_inline]] inline convert_result finish_large_here(const char* first, const char* last, float& value,
                                                               std::uint64_t w, std::int64_t q, const char* end) {
  std::uint32_t bits;
  if (w == 0 || q < smallest_power) {
    bits = 0;
  } else if (q > largest_power) {
    bits = std::bit_cast<std::uint32_t>(infinity);
  } else {
    const std::int64_t b = eisel_lemire(w, static_cast<int>(q));
    if (b < 0) return convert_carefully(first, last, value);
    bits = static_cast<std::uint32_t>(b);
  }
  value = with_sign(std::bit_cast<float>(bits), *first == '-');
  return {end, std::errc{}};
}

// The same out of line, for convert_float, whose registers the 128-bit products would crowd.
[[gnu::noinline]] convert_result finish_large(const char* first, const char* last, float& value, std::uint64_t w,
                                              std::int64_t q, const char* end) {
  return finish_large_here(first, last, value, w, q, end);
}

// The float nearest w * 10^q for the number [first, end), where Clinger's path takes it.
[[gnu::always_inline]] inline convert_result finish_small(const char* first, const char* last, float& value,
                                                          std::uint64_t w, std::int64_t q, const char* end) {
  const double d = clinger_double(w, static_cast<int>(q));
  if (halfway_between_floats(d)) return convert_carefully(first, last, value);
  value = with_sign(static_cast<float>(d), *first == '-');
  return {end, std::errc{}};
}

// The rest of convert_float for a fraction of eight digits or more (numpy's %.18e), out
// of line for the same reason: w holds the digits before p, the fraction starts at
// `fraction`.
[[gnu::noinline]] convert_result long_fraction(const char* first, const char* last, float& value, const char* fraction,
                                               const char* p, std::uint64_t w) {
  if (last - p < 8) return convert_carefully(first, last, value);
  leading_run run = leading_run_of(load8(p));
  while (run.n == 8) {
    w = w * 100000000 + eight_digits(run.values);
    p += 8;
    if (last - p < 8) return convert_carefully(first, last, value);
    run = leading_run_of(load8(p));
  }
  if (run.n > 0) w = w * small_powers_of_ten[run.n] + first_digits(run.values, run.n);
  p += run.n;
  const std::int64_t digits = p - first - (*first == '-' || *first == '+') - 1;  // all but the point
  if (digits > 19 || last - p < 8) return convert_carefully(first, last, value);
  std::int64_t exponent;
  const char* const end = short_exponent(p, exponent);
  if (end == nullptr) return convert_carefully(first, last, value);
  const std::int64_t q = exponent - (p - fraction);
  if (clinger_takes(w, q)) return finish_small(first, last, value, w, q, end);
  return finish_large_here(first, last, value, w, q, end);
}

}  // namespace

convert_result convert_float(const char* first, const char* last, float& value) noexcept {
  // Eight bytes are read at once where eight remain, and the bytes after a mantissa (an
  // exponent's letter, sign and two digits, and the byte after them) where eight remain;
  // the first read takes a sign and eight bytes. All but the common cases go to functions
  // of their own, so that this one keeps to few registers.
  if (last - first < 9) return convert_carefully(first, last, value);
  const char* p = first;
  p += *p == '-' || *p == '+';

  const char* const mantissa = p;
  leading_run run = leading_run_of(load8(p));
  if (run.n == 8) return convert_carefully(first, last, value);  // integer parts of 8 digits or more: rare
  std::uint64_t w = run.n > 0 ? first_digits(run.values, run.n) : 0;
  p += run.n;
  std::int64_t decimals = 0;
  const bool point = *p == '.';
  if (point) {
    const char* const fraction = ++p;
    if (last - p < 8) return convert_carefully(first, last, value);
    run = leading_run_of(load8(p));
    if (run.n == 8) return long_fraction(first, last, value, fraction, p + 8, w * 100000000 + eight_digits(run.values));
    if (run.n > 0) w = w * small_powers_of_ten[run.n] + first_digits(run.values, run.n);
    p += run.n;
    decimals = run.n;
  }
  if (p - mantissa == point || last - p < 8)
    return convert_carefully(first, last, value);  // no digits: a word, or none
  std::int64_t exponent;
  const char* const end = short_exponent(p, exponent);
  if (end == nullptr) return convert_carefully(first, last, value);
  const std::int64_t q = exponent - decimals;
  if (clinger_takes(w, q)) return finish_small(first, last, value, w, q, end);
  return finish_large(first, last, value, w, q, end);
}

}  // namespace haloprof
