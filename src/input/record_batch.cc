#include "input/record_batch.h"

#include <bit>
#include <cstdint>

#include "core/kernels.h"
#include "core/run_state.h"
#include "input/digit_words.h"
#include "input/rounding.h"

#if defined(HALOPROF_X86)
#include <immintrin.h>
#endif

// A value of a common shape is a mantissa, [-]digits[.digits] in at most 16 bytes with at
// most 14 digits, perhaps followed by an exponent of a letter, a sign and two digits. The
// mantissa's digits make an integer m below 10^14 < 2^53, an exact double; with k digits
// after its point and the exponent e (0 without one), the value is m * 10^q, q = e - k.
// For |q| up to 22, 10^|q| is an exact double too (5^22 < 2^53), and one multiplication
// (q >= 0) or division (q < 0) rounds m * 10^q correctly to double (Clinger's fast path);
// a record with a larger |q| goes value by value. Rounding that double to float gives the
// nearest float unless the double lies exactly halfway between two floats: the exact value
// may then lie on either side of it (with 13 or more digits after the point, or a product
// beyond 2^53, it can), and the record goes to convert_float, which decides from the exact
// value. A minus sign rides on the divisor (-1 when multiplying): m / -p is -(m / p) in
// every rounding.
//
// The kernels read the 16 bytes that end where each mantissa ends. A mantissa's length,
// its first byte and its first point give its shape; its other bytes, moved together over
// the point and right-aligned with zeros before them, must then all be digits. They give
// two 8-digit halves, hi and lo, through multiply-adds of neighbouring bytes and lanes, and
// m = hi * 10^8 + lo is exact in double.
//
// Each vector kernel comes in two forms: one for records of plain decimals alone, the
// commonest, which never looks for an exponent and divides by 10^k alone, and one for
// records with exponents, which looks at the four bytes that end each value, multiplies
// and divides. The plain one hands a record to the other when it finds an exponent letter
// in the first value, or a byte that is no digit in any.

namespace haloprof {
namespace {

constexpr int most_digits = 14;

// A value's shape.
struct decimal_shape {
  int point;  // the point's place counted back from the mantissa's end (1: its last byte), 0 when none
  int n;      // the bytes left for digits
  int scale;  // its entry in `divisors` (a plain decimal) or in `scales` (with exponents)
};

// 10^k for each place of the point (k one less than the place; 0 with no point), then -10^k.
struct divisor_table {
  double value[32];
};

constexpr divisor_table make_divisors() {
  divisor_table t{};
  double power = 1;
  for (int point = 0; point < 16; ++point) {
    if (point > 1) power *= 10;
    t.value[point] = power;
    t.value[16 + point] = -power;
  }
  return t;
}

constexpr divisor_table divisors = make_divisors();

// The powers 10^q that Clinger's path takes, q from -22 to 22, as a multiplier and a
// divisor, one of them 1: at q + 22 for a positive number, at largest_scale + 1 + q + 22
// for a negative one, whose divisor is negative.
constexpr int largest_exact_power = largest_exact_power_of_ten;
constexpr int largest_scale = 2 * largest_exact_power;

struct scale_table {
  double multiplier[2 * (largest_scale + 1)];
  double divisor[2 * (largest_scale + 1)];
};

constexpr scale_table make_scales() {
  scale_table t{};
  for (int q = -largest_exact_power; q <= largest_exact_power; ++q) {
    double power = 1;  // every product exact: 10^22 = 2^22 5^22, and 5^22 < 2^53
    for (int j = 0; j < (q < 0 ? -q : q); ++j) power *= 10;
    for (int negative = 0; negative < 2; ++negative) {
      const int at = negative * (largest_scale + 1) + q + largest_exact_power;
      t.multiplier[at] = q > 0 ? power : 1;
      t.divisor[at] = (q < 0 ? power : 1) * (negative != 0 ? -1 : 1);
    }
  }
  return t;
}

constexpr scale_table scales = make_scales();
static_assert(scales.multiplier[largest_scale] == 1e22 && scales.divisor[largest_scale + 1] == -1e22);

// Whether the byte four before a value's end, c, is a letter that starts an exponent:
// E, D or Q in either case.
inline bool exponent_letter(char c) {
  const unsigned lower = static_cast<unsigned char>(c) | 0x20u;
  return lower == 'e' || lower == 'd' || lower == 'q';
}

// The bytes taken by the exponent that ends a value of `length` bytes at `end`, a letter,
// a sign and two digits: 4, with its value in `exponent`; 0 when no letter stands four
// bytes before the end (a plain decimal); -1 when one does and the value has no common
// shape (the sign alone, one digit or three, no mantissa before the letter).
inline int exponent_at(const char* end, int length, int& exponent) {
  exponent = 0;
  if (!exponent_letter(end[-4])) return 0;
  const char sign = end[-3];
  const unsigned tens = static_cast<unsigned char>(end[-2]) - unsigned{'0'};
  const unsigned ones = static_cast<unsigned char>(end[-1]) - unsigned{'0'};
  if (length < 5 || (sign != '+' && sign != '-') || tens > 9 || ones > 9) return -1;
  exponent = static_cast<int>(10 * tens + ones);
  if (sign == '-') exponent = -exponent;
  return 4;
}

// Whether a mantissa of `length` bytes, its first a minus when `negative`, can have the
// common shape, and that shape: from the mask of the points among the 16 bytes that end
// where it ends (bit 15 its last byte). With `exponents`, the exponent scales it too, and
// the power of ten q = exponent - k must lie within Clinger's reach. The bytes left for
// digits are yet to be checked.
template <bool exponents>
inline bool shape_of(int length, bool negative, unsigned points, int exponent, decimal_shape& s) {
  points &= 0xffffu << ((16 - length) & 15);  // the mantissa's own, if it has at most 16 bytes
  s.point = 16 - std::countr_zero(points | 0x10000u);
  s.n = length - static_cast<int>(negative) - (points != 0);
  // One to most_digits bytes left (so at most 16 in all): "-", "." and "-." are no numbers.
  const bool digits = static_cast<unsigned>(s.n - 1) < static_cast<unsigned>(most_digits);
  if constexpr (!exponents) {
    s.scale = 16 * static_cast<int>(negative) + s.point;
    return digits;
  }
  const int q = exponent - (s.point - (s.point != 0));
  s.scale = (largest_scale + 1) * static_cast<int>(negative) + q + largest_exact_power;
  return digits && static_cast<unsigned>(q + largest_exact_power) <= static_cast<unsigned>(largest_scale);
}

// The high bits of the eight bytes of x, byte 0's lowest, as eight bits.
unsigned byte_bits(std::uint64_t x) {
  return static_cast<unsigned>((((x >> 7) & 0x0101010101010101ULL) * 0x0102040810204080ULL) >> 56);
}

// The high bit of each byte of x set where that byte is zero (no carries cross bytes).
std::uint64_t zero_bytes(std::uint64_t x) {
  constexpr std::uint64_t low = 0x7f7f7f7f7f7f7f7fULL;
  return ~(((x & low) + low) | x) & ~low;
}

// The top `count` bytes (0 to 16) of a 16-byte word.
uint128 top_bytes(int count) { return count == 0 ? 0 : ~uint128{0} << (8 * (16 - count)); }

bool short_decimals_scalar(const short_batch& batch, float* const* columns, std::int64_t i) {
  constexpr std::uint64_t dots = 0x2e2e2e2e2e2e2e2eULL;
  for (int k = 0; k < column_count; ++k) {
    const char* end = batch.record + batch.last[k];
    int length = batch.last[k] - batch.first[k];
    int exponent;
    const int tail = exponent_at(end, length, exponent);
    if (tail < 0) return false;
    end -= tail;
    length -= tail;
    const std::uint64_t low = load8(end - 16), high = load8(end - 8);
    const unsigned points = byte_bits(zero_bytes(low ^ dots)) | byte_bits(zero_bytes(high ^ dots)) << 8;
    decimal_shape s;
    if (!shape_of<true>(length, batch.record[batch.first[k]] == '-', points, exponent, s)) return false;
    // The digits before the point move up one byte, over it.
    const uint128 values = uint128{digit_values(high)} << 64 | digit_values(low);
    const uint128 after = top_bytes(s.point != 0 ? s.point - 1 : 16);
    const uint128 digits = ((values & after) | ((values << 8) & ~after)) & top_bytes(s.n);
    const auto first = static_cast<std::uint64_t>(digits), last = static_cast<std::uint64_t>(digits >> 64);
    if ((above_nine(first) | above_nine(last)) != 0) return false;
    const std::uint64_t m = std::uint64_t{eight_digits(first)} * 100000000 + eight_digits(last);
    const double q = static_cast<double>(m) * scales.multiplier[s.scale] / scales.divisor[s.scale];
    if (halfway_between_floats(q)) return false;
    columns[k][i] = static_cast<float>(q);
  }
  return true;
}

#if defined(HALOPROF_X86)
// The shape of value k of a batch, and the 16 bytes that end its mantissa as digit values
// (a digit's byte its value 0..9, any other byte more than 9).
template <bool exponents>
inline bool shape_at(const short_batch& batch, int k, __m128i& values, decimal_shape& s) {
  const char* end = batch.record + batch.last[k];
  int length = batch.last[k] - batch.first[k];
  int exponent = 0;
  if constexpr (exponents) {
    const int tail = exponent_at(end, length, exponent);
    if (tail < 0) return false;
    end -= tail;
    length -= tail;
  }
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
  values = _mm_xor_si128(text, _mm_set1_epi8('0'));
  const auto points = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('.'))));
  return shape_of<exponents>(length, batch.record[batch.first[k]] == '-', points, exponent, s);
}

// The doubles nearest two values, whose mantissas' digits are m, each scaled by its entry
// in the kernel's table.
template <bool exponents>
inline __m128d scaled_sse2(__m128d m, int a, int b) {
  if constexpr (!exponents) return _mm_div_pd(m, _mm_setr_pd(divisors.value[a], divisors.value[b]));
  const __m128d product = _mm_mul_pd(m, _mm_setr_pd(scales.multiplier[a], scales.multiplier[b]));
  return _mm_div_pd(product, _mm_setr_pd(scales.divisor[a], scales.divisor[b]));
}

// The bytes of a vector of digit values that are more than 9 (anything but a digit: a
// second point, an exponent, a sign out of place), as their excess over 9.
inline __m128i above_nine_sse2(__m128i values) { return _mm_subs_epu8(values, _mm_set1_epi8(9)); }

// The digits of a value for the sse2 kernel, which has no byte shuffles: the bytes before
// the point, shifted up by one, replace it and those before.
inline __m128i digits_without_shuffle(__m128i values, const decimal_shape& s) {
  alignas(16) static constexpr std::uint8_t ramp[32] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  const auto top = [](int count) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(ramp + count)); };
  const __m128i after = top(s.point != 0 ? s.point - 1 : 16);
  const __m128i moved = _mm_or_si128(_mm_and_si128(after, values), _mm_andnot_si128(after, _mm_slli_si128(values, 1)));
  return _mm_and_si128(moved, top(s.n));
}

// The eight-digit halves of two values' digits: hi and lo of a, then of b, in 32-bit lanes.
inline __m128i halves_sse2(__m128i a, __m128i b) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i tens = _mm_set1_epi32(0x0001000a);      // 10, 1 in each pair of 16-bit lanes
  const __m128i hundreds = _mm_set1_epi32(0x00010064);  // 100, 1
  const __m128i myriads = _mm_set1_epi32(0x00012710);   // 10000, 1
  // The first byte of each pair is the more significant digit: it takes the weight.
  const auto fours = [&](__m128i v) {
    const __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(v, zero), tens),
                                          _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), tens));
    return _mm_madd_epi16(pairs, hundreds);
  };
  return _mm_madd_epi16(_mm_packs_epi32(fours(a), fours(b)), myriads);
}

template <bool exponents>
bool decimals_sse2(const short_batch& batch, float* const* columns, std::int64_t i) {
  // A record that is no plain decimals may have exponents.
  const auto otherwise = [&] {
    if constexpr (exponents)
      return false;
    else
      return decimals_sse2<true>(batch, columns, i);
  };
  if (!exponents && exponent_letter(batch.record[batch.last[0] - 4])) return otherwise();
  __m128i digits[8];
  int scale[8];
  __m128i strays = _mm_setzero_si128();
  for (int k = 0; k < column_count; ++k) {
    __m128i values;
    decimal_shape s;
    if (!shape_at<exponents>(batch, k, values, s)) return otherwise();
    digits[k] = digits_without_shuffle(values, s);
    strays = _mm_or_si128(strays, above_nine_sse2(digits[k]));
    scale[k] = s.scale;
    // Checked after the first value, which tells most other forms apart, and after the last.
    if ((k == 0 || k == column_count - 1) && _mm_movemask_epi8(_mm_cmpeq_epi8(strays, _mm_setzero_si128())) != 0xffff)
      return otherwise();
  }
  digits[7] = _mm_setzero_si128();
  scale[7] = exponents ? largest_exact_power : 0;  // no scaling
  // Two values at a time: two doubles to a register.
  const __m128i tail = _mm_set_epi32(0, static_cast<int>(float_tail), 0, static_cast<int>(float_tail));
  const __m128i half = _mm_set_epi32(-1, static_cast<int>(float_half), -1, static_cast<int>(float_half));
  __m128i halfways = _mm_setzero_si128();  // (the high words never match)
  __m128 results[4];
  for (int p = 0; p < 4; ++p) {
    const __m128i split = _mm_shuffle_epi32(halves_sse2(digits[2 * p], digits[2 * p + 1]), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128d m = _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(split), _mm_set1_pd(1e8)),
                                 _mm_cvtepi32_pd(_mm_unpackhi_epi64(split, split)));
    const __m128d q = scaled_sse2<exponents>(m, scale[2 * p], scale[2 * p + 1]);
    halfways = _mm_or_si128(halfways, _mm_cmpeq_epi32(_mm_and_si128(_mm_castpd_si128(q), tail), half));
    results[p] = _mm_cvtpd_ps(q);
  }
  if (_mm_movemask_epi8(halfways) != 0) return false;
  for (int k = 0; k < column_count; ++k) {
    const __m128 r = results[k / 2];
    _mm_store_ss(columns[k] + i, k % 2 == 0 ? r : _mm_shuffle_ps(r, r, 1));
  }
  return true;
}

// Byte shuffles that gather a value's digits from its 16 bytes, for each place of its point
// (0 to 15) and count of bytes left for digits (1 to most_digits; up to 15 may index it):
// those bytes in order, the point left out, into the top bytes; zero below them.
struct digit_shuffles {
  alignas(16) std::int8_t control[16][16][16];
};

constexpr digit_shuffles make_digit_shuffles() {
  digit_shuffles t{};
  for (int point = 0; point < 16; ++point) {
    for (int n = 0; n < 16; ++n) {
      std::int8_t* c = t.control[point][n];
      for (int o = 0; o < 16; ++o) c[o] = -128;                 // a set high bit gives a zero byte
      for (int j = 1; j <= n && j <= most_digits; ++j) {        // the j-th digit from the end
        const int back = point != 0 && j >= point ? j + 1 : j;  // its distance from the end
        c[16 - j] = static_cast<std::int8_t>(16 - back);
      }
    }
  }
  return t;
}

constexpr digit_shuffles digit_shuffle = make_digit_shuffles();

// The eight-digit halves of four values' digits, a value in each 128-bit half of `ac` and of
// `bd`: the hi of the four in order, then their lo, in 32-bit lanes.
__attribute__((target("avx2"), always_inline)) inline __m256i halves_avx2(__m256i ac, __m256i bd) {
  const __m256i tens = _mm256_set1_epi16(0x010a);          // 10, 1 in each pair of bytes
  const __m256i hundreds = _mm256_set1_epi32(0x00010064);  // 100, 1 in each pair of 16-bit lanes
  const __m256i myriads = _mm256_set1_epi32(0x00012710);   // 10000, 1
  // The first byte of each pair is the more significant digit: it takes the weight.
  const __m256i fours_ac = _mm256_madd_epi16(_mm256_maddubs_epi16(ac, tens), hundreds);
  const __m256i fours_bd = _mm256_madd_epi16(_mm256_maddubs_epi16(bd, tens), hundreds);
  // The pack interleaves the halves: a, b | c, d.
  const __m256i eights = _mm256_madd_epi16(_mm256_packs_epi32(fours_ac, fours_bd), myriads);
  return _mm256_permutevar8x32_epi32(eights, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

// The doubles nearest four values, whose mantissas' digits are m, each scaled by its entry
// v[j] in the kernel's table.
template <bool exponents>
__attribute__((target("avx2"), always_inline)) inline __m256d scaled_avx2(__m256d m, const int* v) {
  if constexpr (!exponents)
    return _mm256_div_pd(
        m, _mm256_setr_pd(divisors.value[v[0]], divisors.value[v[1]], divisors.value[v[2]], divisors.value[v[3]]));
  const __m256d product = _mm256_mul_pd(m, _mm256_setr_pd(scales.multiplier[v[0]], scales.multiplier[v[1]],
                                                          scales.multiplier[v[2]], scales.multiplier[v[3]]));
  return _mm256_div_pd(
      product, _mm256_setr_pd(scales.divisor[v[0]], scales.divisor[v[1]], scales.divisor[v[2]], scales.divisor[v[3]]));
}

// With byte shuffles (SSSE3) to gather the digits, 256-bit integer multiply-adds and four
// double divisions at a time (AVX2).
template <bool exponents>
__attribute__((target("avx2"))) bool decimals_avx2(const short_batch& batch, float* const* columns, std::int64_t i) {
  // A record that is no plain decimals may have exponents.
  const auto otherwise = [&] {
    if constexpr (exponents)
      return false;
    else
      return decimals_avx2<true>(batch, columns, i);
  };
  if (!exponents && exponent_letter(batch.record[batch.last[0] - 4])) return otherwise();
  __m128i digits[8];
  int scale[8];
#pragma GCC unroll 7
  for (int k = 0; k < column_count; ++k) {
    __m128i values;
    decimal_shape s;
    if (!shape_at<exponents>(batch, k, values, s)) return otherwise();
    const auto* control = reinterpret_cast<const __m128i*>(digit_shuffle.control[s.point][s.n]);
    digits[k] = _mm_shuffle_epi8(values, _mm_load_si128(control));
    scale[k] = s.scale;
    // The first value tells most other forms apart: they stop here.
    if (k == 0 && !_mm_test_all_zeros(above_nine_sse2(digits[0]), above_nine_sse2(digits[0]))) return otherwise();
  }
  digits[7] = _mm_setzero_si128();
  scale[7] = exponents ? largest_exact_power : 0;  // no scaling
  const __m256i nine = _mm256_set1_epi8(9);
  const __m256i tail = _mm256_set1_epi64x(float_tail);
  const __m256i half = _mm256_set1_epi64x(float_half);
  __m256i strays = _mm256_setzero_si256();
  __m256i halfways = _mm256_setzero_si256();
  __m128 results[2];
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    const __m128i* d = digits + 4 * h;
    const __m256i ac = _mm256_setr_m128i(d[0], d[2]), bd = _mm256_setr_m128i(d[1], d[3]);
    strays = _mm256_or_si256(strays, _mm256_or_si256(_mm256_subs_epu8(ac, nine), _mm256_subs_epu8(bd, nine)));
    const __m256i split = halves_avx2(ac, bd);
    const __m256d hi = _mm256_cvtepi32_pd(_mm256_castsi256_si128(split));
    const __m256d m =
        _mm256_add_pd(_mm256_mul_pd(hi, _mm256_set1_pd(1e8)), _mm256_cvtepi32_pd(_mm256_extracti128_si256(split, 1)));
    const __m256d q = scaled_avx2<exponents>(m, scale + 4 * h);
    halfways = _mm256_or_si256(halfways, _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(q), tail), half));
    results[h] = _mm256_cvtpd_ps(q);
  }
  if (!_mm256_testz_si256(strays, strays)) return otherwise();
  if (!_mm256_testz_si256(halfways, halfways)) return false;
  _mm_store_ss(columns[0] + i, results[0]);
  _mm_store_ss(columns[1] + i, _mm_movehdup_ps(results[0]));
  _mm_store_ss(columns[2] + i, _mm_movehl_ps(results[0], results[0]));
  _mm_store_ss(columns[3] + i, _mm_shuffle_ps(results[0], results[0], 3));
  _mm_store_ss(columns[4] + i, results[1]);
  _mm_store_ss(columns[5] + i, _mm_movehdup_ps(results[1]));
  _mm_store_ss(columns[6] + i, _mm_movehl_ps(results[1], results[1]));
  return true;
}
#endif

// The kernels take the seven values of a record: with the count known, the loops over
// the values unroll.
const tiered<short_decimals_fn> short_decimals_kernels HALOPROF_TIERS(short_decimals_scalar, decimals_sse2<false>,
                                                                      decimals_avx2<false>);

}  // namespace

bool short_decimals(const short_batch& batch, float* const* columns, std::int64_t i) {
  return short_decimals_kernels.get()(batch, columns, i);
}

short_decimals_fn short_decimals_kernel() { return short_decimals_kernels.get(); }

}  // namespace haloprof
