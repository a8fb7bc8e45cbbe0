#include "input/record_batch.h"

#include <bit>
#include <cstdint>

#include "core/kernels.h"
#include "input/digit_words.h"

// A value of the common shape, [-]digits[.digits] in at most 16 bytes with at most 14
// digits, is the integer m of its digits, below 10^14 < 2^53 and so an exact double, over
// 10^k, k the digits after its point, at most 14 and so an exact double too. One double
// division rounds m / 10^k correctly (Clinger's fast path), and rounding that double to
// float gives the nearest float unless the double lies exactly halfway between two floats:
// the exact quotient may then lie on either side of it (with 13 or 14 digits after the
// point it can), and the record goes to convert_float, which decides from the exact value.
// A minus sign rides on the divisor: m / -10^k is -(m / 10^k) in every rounding.
//
// The kernels read the 16 bytes that end where each value ends. A value's length, its
// first byte and its first point give its shape; its other bytes, moved together over the
// point and right-aligned with zeros before them, must then all be digits. They give two
// 8-digit halves, hi and lo, through multiply-adds of neighbouring bytes and lanes, and
// m = hi * 10^8 + lo is exact in double.

namespace haloprof {
namespace {

constexpr int record_values = 7;
constexpr int most_digits = 14;

// A value's shape.
struct decimal_shape {
  int point;    // the point's place counted back from the value's end (1: its last byte), 0 when none
  int n;        // the bytes left for digits
  int divisor;  // its entry in `divisors`
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

// Whether a value of `length` bytes, its first a minus when `negative`, can have the
// common shape, and that shape: from the mask of the points among the 16 bytes that end
// where it ends (bit 15 its last byte). The bytes left for digits are yet to be checked.
inline bool shape_of(int length, bool negative, unsigned points, decimal_shape& s) {
  points &= 0xffffu << ((16 - length) & 15);  // the value's own, if it has at most 16 bytes
  s.point = 16 - std::countr_zero(points | 0x10000u);
  s.n = length - static_cast<int>(negative) - (points != 0);
  s.divisor = 16 * static_cast<int>(negative) + s.point;
  // One to most_digits bytes left (so at most 16 in all): "-", "." and "-." are no numbers.
  return static_cast<unsigned>(s.n - 1) < static_cast<unsigned>(most_digits);
}

// A float has 29 fewer fraction bits than a double: d lies halfway between two floats
// when its low 29 bits are 1 followed by zeros.
constexpr std::uint64_t float_tail = 0x1fffffff;
constexpr std::uint64_t float_half = 0x10000000;

bool halfway(double d) { return (std::bit_cast<std::uint64_t>(d) & float_tail) == float_half; }

__extension__ typedef unsigned __int128 uint128;

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
  for (int k = 0; k < record_values; ++k) {
    const char* end = batch.record + batch.last[k];
    const std::uint64_t low = load8(end - 16), high = load8(end - 8);
    const unsigned points = byte_bits(zero_bytes(low ^ dots)) | byte_bits(zero_bytes(high ^ dots)) << 8;
    decimal_shape s;
    if (!shape_of(batch.last[k] - batch.first[k], batch.record[batch.first[k]] == '-', points, s)) return false;
    // The digits before the point move up one byte, over it.
    const uint128 values = uint128{digit_values(high)} << 64 | digit_values(low);
    const uint128 after = top_bytes(s.point != 0 ? s.point - 1 : 16);
    const uint128 digits = ((values & after) | ((values << 8) & ~after)) & top_bytes(s.n);
    const auto first = static_cast<std::uint64_t>(digits), last = static_cast<std::uint64_t>(digits >> 64);
    if ((above_nine(first) | above_nine(last)) != 0) return false;
    const std::uint64_t m = std::uint64_t{eight_digits(first)} * 100000000 + eight_digits(last);
    const double q = static_cast<double>(m) / divisors.value[s.divisor];
    if (halfway(q)) return false;
    columns[k][i] = static_cast<float>(q);
  }
  return true;
}

#if defined(HALOPROF_X86)
// The shape of value k of a batch, and its 16 bytes as digit values (a digit's byte its
// value 0..9, any other byte more than 9).
inline bool shape_at(const short_batch& batch, int k, __m128i& values, decimal_shape& s) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(batch.record + batch.last[k] - 16));
  values = _mm_xor_si128(text, _mm_set1_epi8('0'));
  const auto points = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('.'))));
  return shape_of(batch.last[k] - batch.first[k], batch.record[batch.first[k]] == '-', points, s);
}

// The bytes of a vector of digit values that are more than 9 (anything but a digit: a
// second point, an exponent, a sign out of place), as their excess over 9.
inline __m128i above_nine_sse2(__m128i values) { return _mm_subs_epu8(values, _mm_set1_epi8(9)); }

// The digits of a value for the sse2 kernel, which has no byte shuffles: the bytes before
// the point, shifted up by one, replace it and those before.
inline __m128i digits_without_shuffle(__m128i values, const decimal_shape& s) {
  alignas(16) static constexpr std::uint8_t ramp[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                                        0,    0,    0,    0,    0,    0,    0,    0,
                                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
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

bool short_decimals_sse2(const short_batch& batch, float* const* columns, std::int64_t i) {
  __m128i digits[8];
  int divisor[8];
  __m128i strays = _mm_setzero_si128();
  for (int k = 0; k < record_values; ++k) {
    __m128i values;
    decimal_shape s;
    if (!shape_at(batch, k, values, s)) return false;
    digits[k] = digits_without_shuffle(values, s);
    strays = _mm_or_si128(strays, above_nine_sse2(digits[k]));
    divisor[k] = s.divisor;
    // Checked after the first value, which tells most other forms apart, and after the last.
    if ((k == 0 || k == record_values - 1) && _mm_movemask_epi8(_mm_cmpeq_epi8(strays, _mm_setzero_si128())) != 0xffff)
      return false;
  }
  digits[7] = _mm_setzero_si128();
  divisor[7] = 0;
  // Two values at a time: two doubles to a register.
  const __m128i tail = _mm_set_epi32(0, static_cast<int>(float_tail), 0, static_cast<int>(float_tail));
  const __m128i half = _mm_set_epi32(-1, static_cast<int>(float_half), -1, static_cast<int>(float_half));
  __m128i halfways = _mm_setzero_si128();  // (the high words never match)
  __m128 results[4];
  for (int p = 0; p < 4; ++p) {
    const __m128i split = _mm_shuffle_epi32(halves_sse2(digits[2 * p], digits[2 * p + 1]), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128d m = _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(split), _mm_set1_pd(1e8)),
                                 _mm_cvtepi32_pd(_mm_unpackhi_epi64(split, split)));
    const __m128d q =
        _mm_div_pd(m, _mm_setr_pd(divisors.value[divisor[2 * p]], divisors.value[divisor[2 * p + 1]]));
    halfways = _mm_or_si128(halfways, _mm_cmpeq_epi32(_mm_and_si128(_mm_castpd_si128(q), tail), half));
    results[p] = _mm_cvtpd_ps(q);
  }
  if (_mm_movemask_epi8(halfways) != 0) return false;
  for (int k = 0; k < record_values; ++k) {
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

// With byte shuffles (SSSE3) to gather the digits, 256-bit integer multiply-adds and four
// double divisions at a time (AVX2).
__attribute__((target("avx2"))) bool short_decimals_avx2(const short_batch& batch, float* const* columns,
                                                          std::int64_t i) {
  __m128i digits[8];
  int divisor[8];
#pragma GCC unroll 7
  for (int k = 0; k < record_values; ++k) {
    __m128i values;
    decimal_shape s;
    if (!shape_at(batch, k, values, s)) return false;
    const auto* control = reinterpret_cast<const __m128i*>(digit_shuffle.control[s.point][s.n]);
    digits[k] = _mm_shuffle_epi8(values, _mm_load_si128(control));
    divisor[k] = s.divisor;
    // The first value tells most other forms apart: they stop here.
    if (k == 0 && !_mm_test_all_zeros(above_nine_sse2(digits[0]), above_nine_sse2(digits[0]))) return false;
  }
  digits[7] = _mm_setzero_si128();
  divisor[7] = 0;
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
    const __m256d m = _mm256_add_pd(_mm256_mul_pd(hi, _mm256_set1_pd(1e8)),
                                    _mm256_cvtepi32_pd(_mm256_extracti128_si256(split, 1)));
    const int* v = divisor + 4 * h;
    const __m256d q = _mm256_div_pd(m, _mm256_setr_pd(divisors.value[v[0]], divisors.value[v[1]],
                                                      divisors.value[v[2]], divisors.value[v[3]]));
    halfways = _mm256_or_si256(halfways, _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(q), tail), half));
    results[h] = _mm256_cvtpd_ps(q);
  }
  if (!_mm256_testz_si256(strays, strays) || !_mm256_testz_si256(halfways, halfways)) return false;
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
using short_decimals_fn = bool (*)(const short_batch& batch, float* const* columns, std::int64_t i);

#if defined(HALOPROF_X86)
const tiered<short_decimals_fn> short_decimals_kernels{
    {short_decimals_scalar, short_decimals_sse2, short_decimals_avx2}};
#else
const tiered<short_decimals_fn> short_decimals_kernels{
    {short_decimals_scalar, short_decimals_scalar, short_decimals_scalar}};
#endif

}  // namespace

bool short_decimals(const short_batch& batch, float* const* columns, std::int64_t i) {
  return short_decimals_kernels.get()(batch, columns, i);
}

}  // namespace haloprof
