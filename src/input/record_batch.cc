#include "input/record_batch.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/kernels.h"
#include "input/digit_words.h"

namespace haloprof {
namespace {

// A value of a batch read as the common shape: a first '-' is its sign, its first point
// (if any) drops out, and the rest must be one to eight digits; the conversion checks that
// they are.
struct short_shape {
  int point;  // the point's place counted back from the end (1 to 9), 0 when there is none
  int n;      // the bytes left for digits
  bool negative;
};

// Whether a value of `length` bytes can have the common shape, and that shape: from the
// masks of the 16 bytes before its end (bit 15 the last byte) that hold a point or a minus.
inline bool shape_of(int length, unsigned points, unsigned minuses, short_shape& s) {
  const int from = 16 - (length < 16 ? length : 16);  // the value's first byte among the 16
  points &= 0xffffu << from;
  s.negative = (minuses >> from) & 1;
  s.point = points != 0 ? 16 - std::countr_zero(points) : 0;
  s.n = length - static_cast<int>(s.negative) - (points != 0);
  return static_cast<unsigned>(s.n - 1) < 8 && length <= 16;  // "-", "." and "-." are no numbers
}

// The digit values (0..9) of a value of that shape in the eight bytes of a word, the last
// digit in the top byte: the nine bytes before its end, as two overlapping words, the
// digits before the point from the lower word and those after it from the upper one, so
// that the point drops out; the bytes below the first digit are cleared. A byte of the
// value that is no digit (other than its sign and point) gives a byte above 9.
inline std::uint64_t short_digits(const char* end, const short_shape& s) {
  // Bytes below place j of a word, for j up to 8; nothing from 9 on.
  static constexpr std::uint64_t below[16] = {0,
                                              0xffULL,
                                              0xffffULL,
                                              0xffffffULL,
                                              0xffffffffULL,
                                              0xffffffffffULL,
                                              0xffffffffffffULL,
                                              0xffffffffffffffULL,
                                              ~0ULL};
  const std::uint64_t lower = load8(end - 9), upper = load8(end - 8);
  const std::uint64_t split = below[(9 - s.point) & 15];  // no point: 9, all from the upper
  const std::uint64_t text = (lower & split) | (upper & ~split);
  return (text ^ 0x3030303030303030ULL) & ~below[(8 - s.n) & 15];
}

// 10^(point - 1): what a value's digits are divided by, for each place of its point.
constexpr float point_divisor[10] = {1e0f, 1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f};

#if defined(HALOPROF_X86)
// The shapes of a batch's values; false when any cannot have the common shape.
inline bool shapes_of(const short_batch& batch, int count, short_shape* shapes, __m128i* texts) {
  bool fits = true;
  for (int k = 0; k < count; ++k) {
    texts[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(batch.record + batch.last[k] - 16));
    const auto points = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(texts[k], _mm_set1_epi8('.'))));
    const auto minuses = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(texts[k], _mm_set1_epi8('-'))));
    fits &= shape_of(batch.last[k] - batch.first[k], points, minuses, shapes[k]);
  }
  return fits;
}

// The last steps for four values (`left` of them real) whose digits make m: the range
// check, one correctly rounded division per lane (m and the powers of ten are exact
// floats), the signs, and each lane straight to its place (read back from a vector store,
// the lanes would wait).
inline bool finish_four(__m128i m, const short_shape* shapes, int left, float* const* columns, std::int64_t i) {
  if (_mm_movemask_epi8(_mm_cmpgt_epi32(m, _mm_set1_epi32(1 << 24))) != 0) return false;
  const auto divisor = [&](int k) { return k < left ? point_divisor[shapes[k].point] : 1.0f; };
  const auto sign = [&](int k) { return k < left && shapes[k].negative ? static_cast<int>(0x80000000u) : 0; };
  const __m128 quotient =
      _mm_div_ps(_mm_cvtepi32_ps(m), _mm_setr_ps(divisor(0), divisor(1), divisor(2), divisor(3)));
  const __m128 result =
      _mm_castsi128_ps(_mm_or_si128(_mm_castps_si128(quotient), _mm_setr_epi32(sign(0), sign(1), sign(2), sign(3))));
  _mm_store_ss(columns[0] + i, result);
  if (left > 1) _mm_store_ss(columns[1] + i, _mm_shuffle_ps(result, result, 1));
  if (left > 2) _mm_store_ss(columns[2] + i, _mm_shuffle_ps(result, result, 2));
  if (left > 3) _mm_store_ss(columns[3] + i, _mm_shuffle_ps(result, result, 3));
  return true;
}

// Whether every byte of two vectors of digit values is 0..9: anything else in a value (a
// second point, an exponent, a sign out of place) sends the values to be converted one by
// one.
inline bool all_digits(__m128i ab, __m128i cd) {
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i above = _mm_or_si128(_mm_subs_epu8(ab, nine), _mm_subs_epu8(cd, nine));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(above, _mm_setzero_si128())) == 0xffff;
}
#endif

#if defined(HALOPROF_X86)
// Byte shuffles that gather a value's digits from the 16 bytes before its end, for each
// place of its point (0 to 9) and digit count (1 to 8): the digits in order, the point left
// out, into the top bytes of the low (half 0) or high (half 1) eight bytes; zero elsewhere.
struct digit_shuffles {
  alignas(16) std::int8_t control[2][10][8][16];
};

constexpr digit_shuffles make_digit_shuffles() {
  digit_shuffles t{};
  for (int half = 0; half < 2; ++half) {
    for (int point = 0; point < 10; ++point) {
      for (int n = 1; n <= 8; ++n) {
        std::int8_t* c = t.control[half][point][n - 1];
        for (int o = 0; o < 16; ++o) c[o] = -128;  // a set high bit gives a zero byte
        for (int j = 1; j <= n; ++j) {             // the j-th digit from the end
          const int back = point != 0 && j >= point ? j + 1 : j;  // its distance from the end
          c[8 * half + 8 - j] = static_cast<std::int8_t>(16 - back);
        }
      }
    }
  }
  return t;
}

constexpr digit_shuffles digit_shuffle = make_digit_shuffles();

// The digit values of a value, from the 16 bytes before its end, into the given half of a
// vector (see short_digits).
__attribute__((target("ssse3"))) inline __m128i gather_digits(__m128i text, const short_shape& s, int half) {
  const auto* control = digit_shuffle.control[half][s.point][s.n - 1];
  return _mm_shuffle_epi8(_mm_xor_si128(text, _mm_set1_epi8('0')),
                          _mm_load_si128(reinterpret_cast<const __m128i*>(control)));
}

// short_decimals with byte shuffles (SSSE3), where the processor has them: each value's
// digits gathered by one shuffle, and the pairs of digits formed by one multiply-add.
__attribute__((target("ssse3"), always_inline)) inline bool short_decimals_ssse3(const short_batch& batch, int count,
                                                            float* const* columns, std::int64_t i) {
  short_shape shapes[8];
  __m128i texts[8];
  if (!shapes_of(batch, count, shapes, texts)) return false;
  const __m128i tens = _mm_set1_epi16(0x010a);          // 10, 1 in each pair of bytes
  const __m128i hundreds = _mm_set1_epi32(0x00010064);  // 100, 1 in each pair of 16-bit lanes
  const __m128i myriads = _mm_set1_epi32(0x00012710);   // 10000, 1
  for (int first = 0; first < count; first += 4) {
    const int left = count - first;
    // (No lambda here: it would not share this function's instruction set.)
    __m128i ab = gather_digits(texts[first], shapes[first], 0), cd = _mm_setzero_si128();
    if (left > 1) ab = _mm_or_si128(ab, gather_digits(texts[first + 1], shapes[first + 1], 1));
    if (left > 2) cd = gather_digits(texts[first + 2], shapes[first + 2], 0);
    if (left > 3) cd = _mm_or_si128(cd, gather_digits(texts[first + 3], shapes[first + 3], 1));
    if (!all_digits(ab, cd)) return false;
    // The first byte of each value is its most significant digit: it takes the weight.
    const __m128i fours = _mm_packs_epi32(_mm_madd_epi16(_mm_maddubs_epi16(ab, tens), hundreds),
                                          _mm_madd_epi16(_mm_maddubs_epi16(cd, tens), hundreds));
    if (!finish_four(_mm_madd_epi16(fours, myriads), shapes + first, left, columns + first, i)) return false;
  }
  return true;
}
#endif

}  // namespace

namespace {

// The kernels take the seven values of a record: with the count known, the loops over
// the values unroll.
using short_decimals_fn = bool (*)(const short_batch& batch, float* const* columns, std::int64_t i);
constexpr int record_values = 7;

bool short_decimals_scalar(const short_batch& batch, float* const* columns, std::int64_t i) {
  constexpr int count = record_values;
  for (int k = 0; k < count; ++k) {
    // The shape from the bytes themselves.
    const char* end = batch.record + batch.last[k];
    unsigned points = 0, minuses = 0;
    for (int b = 0; b < 16; ++b) {
      points |= static_cast<unsigned>(end[b - 16] == '.') << b;
      minuses |= static_cast<unsigned>(end[b - 16] == '-') << b;
    }
    short_shape shape;
    if (!shape_of(batch.last[k] - batch.first[k], points, minuses, shape)) return false;
    const std::uint64_t digits = short_digits(end, shape);
    if (above_nine(digits) != 0) return false;  // every byte a digit value, 0..9
    const std::uint32_t m = eight_digits(digits);
    if (m > (1u << 24)) return false;
    // m and the power of ten are exact floats: one correctly rounded division, or none.
    const float v = static_cast<float>(m) / point_divisor[shape.point];
    columns[k][i] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) | (std::uint32_t{shape.negative} << 31));
  }
  return true;
}

#if defined(HALOPROF_X86)
bool short_decimals_sse2(const short_batch& batch, float* const* columns, std::int64_t i) {
  constexpr int count = record_values;
  short_shape shapes[8];
  __m128i texts[8];
  if (!shapes_of(batch, count, shapes, texts)) return false;
  // Four values at a time, in 16-bit and 32-bit lanes: pairs of digits, then fours, then
  // the eights, each step one multiply-add of neighbouring lanes.
  const __m128i zero = _mm_setzero_si128();
  const __m128i tens = _mm_set1_epi32(0x0001000a);      // 10, 1 in each pair of 16-bit lanes
  const __m128i hundreds = _mm_set1_epi32(0x00010064);  // 100, 1
  const __m128i myriads = _mm_set1_epi32(0x00012710);   // 10000, 1
  for (int first = 0; first < count; first += 4) {
    const int left = count - first;
    const auto digits = [&](int k) {
      return k < left ? static_cast<long long>(short_digits(batch.record + batch.last[first + k], shapes[first + k])) : 0;
    };
    const __m128i ab = _mm_set_epi64x(digits(1), digits(0));
    const __m128i cd = _mm_set_epi64x(digits(3), digits(2));
    if (!all_digits(ab, cd)) return false;
    // The first byte of each value is its most significant digit: it takes the weight.
    const __m128i pairs_ab = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(ab, zero), tens),
                                             _mm_madd_epi16(_mm_unpackhi_epi8(ab, zero), tens));
    const __m128i pairs_cd = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(cd, zero), tens),
                                             _mm_madd_epi16(_mm_unpackhi_epi8(cd, zero), tens));
    const __m128i fours =
        _mm_packs_epi32(_mm_madd_epi16(pairs_ab, hundreds), _mm_madd_epi16(pairs_cd, hundreds));
    if (!finish_four(_mm_madd_epi16(fours, myriads), shapes + first, left, columns + first, i)) return false;
  }
  return true;
}

__attribute__((target("ssse3"))) bool short_record_ssse3(const short_batch& batch, float* const* columns,
                                                          std::int64_t i) {
  return short_decimals_ssse3(batch, record_values, columns, i);
}

const tiered<short_decimals_fn> short_decimals_kernels{
    {short_decimals_scalar, short_decimals_sse2, short_record_ssse3}};
#else
const tiered<short_decimals_fn> short_decimals_kernels{
    {short_decimals_scalar, short_decimals_scalar, short_decimals_scalar}};
#endif

}  // namespace

bool short_decimals(const short_batch& batch, float* const* columns, std::int64_t i) {
  return short_decimals_kernels.get()(batch, columns, i);
}

}  // namespace haloprof
