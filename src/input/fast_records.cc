#include "input/fast_records.h"

#include <algorithm>
#include <bit>
#include <system_error>

#include "core/kernels.h"
#include "core/run_state.h"
#include "input/convert.h"
#include "input/records.h"

#if defined(HALOPROF_X86)
#include <immintrin.h>
#endif

namespace haloprof {
namespace {

// The masks of the 64 bytes at p; bit i describes p[i]. All 64 bytes must be readable.
inline window_masks classify_window_scalar(const char* p) {
  window_masks m{0, 0, 0};
  for (int i = 0; i < 64; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    const bool stray = c < 0x20 || c == '/' || c == ',';
    if (stray || c == ' ') m.separator |= bit;
    if (stray) m.stray |= bit;
    if (c == ',') m.comma |= bit;
  }
  return m;
}

#if defined(HALOPROF_X86)
inline window_masks classify_window_sse2(const char* p) {
  window_masks m{0, 0, 0};
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i below = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    // Unsigned v < 0x20 as a signed comparison of both sides shifted by 0x80.
    const __m128i commas = _mm_cmpeq_epi8(v, comma);
    const __m128i stray =
        _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, bias), below), _mm_cmpeq_epi8(v, slash)), commas);
    const __m128i separator = _mm_or_si128(stray, _mm_cmpeq_epi8(v, space));
    const int shift = 16 * k;
    m.separator |= static_cast<std::uint64_t>(_mm_movemask_epi8(separator) & 0xffff) << shift;
    m.stray |= static_cast<std::uint64_t>(_mm_movemask_epi8(stray) & 0xffff) << shift;
    m.comma |= static_cast<std::uint64_t>(_mm_movemask_epi8(commas) & 0xffff) << shift;
  }
  return m;
}

// The same in 256-bit vectors, where the processor has AVX2.
__attribute__((target("avx2"))) inline window_masks classify_window_avx2(const char* p) {
  window_masks m{0, 0, 0};
  const __m256i space = _mm256_set1_epi8(' ');
  const __m256i comma = _mm256_set1_epi8(',');
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i below = _mm256_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  for (int k = 0; k < 2; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
    const __m256i commas = _mm256_cmpeq_epi8(v, comma);
    // Unsigned v < 0x20 as a signed comparison of both sides shifted by 0x80.
    const __m256i stray = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpgt_epi8(below, _mm256_xor_si256(v, bias)), _mm256_cmpeq_epi8(v, slash)), commas);
    const __m256i separator = _mm256_or_si256(stray, _mm256_cmpeq_epi8(v, space));
    const int shift = 32 * k;
    m.separator |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(separator))) << shift;
    m.stray |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(stray))) << shift;
    m.comma |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(commas))) << shift;
  }
  return m;
}

#endif

// One call per stretch of text, so that each tier's window classifier is inlined into its loop.
template <window_masks (*classify)(const char*)>
void classify_blocks(const char* p, int n, window_masks* out) {
  for (int b = 0; b < n; ++b) out[b] = classify(p + 64 * b);
}

#if defined(HALOPROF_X86)
__attribute__((target("avx2"))) inline void classify_blocks_avx2(const char* p, int n, window_masks* out) {
  for (int b = 0; b < n; ++b) out[b] = classify_window_avx2(p + 64 * b);
}
#endif

const tiered<classify_blocks_fn> classify_kernels HALOPROF_TIERS(classify_blocks<classify_window_scalar>,
                                                                 classify_blocks<classify_window_sse2>,
                                                                 classify_blocks_avx2);

// Whether a mask of W words has a bit set below position `stop`.
template <int W>
bool any_before(const std::uint64_t (&bits)[W], int stop) {
  for (int w = 0; w < W; ++w) {
    if (stop <= 64 * w) return false;
    const std::uint64_t below = stop >= 64 * (w + 1) ? ~std::uint64_t{0} : (std::uint64_t{1} << (stop - 64 * w)) - 1;
    if ((bits[w] & below) != 0) return true;
  }
  return false;
}

// Whether more than one bit of a mask of W words is set in [from, to).
template <int W>
bool several_in(const std::uint64_t (&bits)[W], int from, int to) {
  bool one = false;
  for (int w = 0; w < W; ++w) {
    const int lo = std::max(from, 64 * w) - 64 * w, hi = std::min(to, 64 * (w + 1)) - 64 * w;
    if (lo >= hi) continue;
    const std::uint64_t upto = hi == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
    const std::uint64_t x = bits[w] & upto & (~std::uint64_t{0} << lo);
    if (x == 0) continue;
    if (one || (x & (x - 1)) != 0) return true;
    one = true;
  }
  return false;
}

// Whether the commas of a record (a mask of W words) stand where commas may: none before
// its first value, and one at most between two values (two would leave an empty value
// between them).
template <int W>
bool commas_fit(const std::uint64_t (&comma)[W], const short_batch& batch) {
  if (batch.first[0] != 0) return false;
  for (int k = 0; k + 1 < 7; ++k)
    if (several_in<W>(comma, batch.last[k], batch.first[k + 1])) return false;
  return true;
}

// The position of the lowest set bit of a mask of W words, cleared; -1 when none is left.
template <int W>
int take_lowest(std::uint64_t (&bits)[W]) {
  for (int w = 0; w < W; ++w) {
    if (bits[w] != 0) {
      const int at = std::countr_zero(bits[w]);
      bits[w] &= bits[w] - 1;
      return 64 * w + at;
    }
  }
  return -1;
}

// The W words of a mask from bit `bit` of the classified blocks on.
template <int W>
void window(const window_masks* blocks, std::uint64_t window_masks::*mask, std::size_t bit, std::uint64_t (&bits)[W]) {
  const std::size_t b = bit / 64;
  const int shift = static_cast<int>(bit % 64);
  for (int w = 0; w < W; ++w) {
    const std::uint64_t x = blocks[b + static_cast<std::size_t>(w)].*mask,
                        y = blocks[b + static_cast<std::size_t>(w) + 1].*mask;
    bits[w] = (x >> shift) | ((y << 1) << (63 - shift));
  }
}

// Where the seven values of the record at bit `bit` start and end, within W words of
// masks: the end of the last, or -1 when it lies beyond, or -2 when a separator other
// than a blank comes before it.
template <int W>
int bounds(const window_masks* blocks, std::size_t bit, short_batch& batch) {
  std::uint64_t value[W], stray[W], comma[W], starts[W], ends[W];
  window<W>(blocks, &window_masks::separator, bit, value);
  window<W>(blocks, &window_masks::stray, bit, stray);
  window<W>(blocks, &window_masks::comma, bit, comma);
  // A value starts where a value byte (not a separator) follows a separator and ends at
  // the separator after it (the byte before the record is a separator); the shifts carry
  // from each word into the next.
  for (int w = 0; w < W; ++w) value[w] = ~value[w];
  for (int w = 0; w < W; ++w) {
    const std::uint64_t after = (value[w] << 1) | (w > 0 ? value[w - 1] >> 63 : 0);
    starts[w] = value[w] & ~after;
    ends[w] = ~value[w] & after;
  }
  for (int k = 0; k < column_count; ++k) {
    batch.first[k] = take_lowest<W>(starts);
    batch.last[k] = take_lowest<W>(ends);
  }
  const int stop = batch.last[column_count - 1];
  if (stop < 0) return -1;
  if (!any_before<W>(stray, stop)) return stop;  // blanks alone
  // Commas may separate values; anything else sends the record to the general path.
  for (int w = 0; w < W; ++w) stray[w] &= ~comma[w];
  return !any_before<W>(stray, stop) && commas_fit<W>(comma, batch) ? stop : -2;
}

// bounds<2> written out: the common case, kept short.
int bounds_short(const window_masks* blocks, std::size_t bit, short_batch& batch) {
  std::uint64_t separator[2], stray[2];
  window<2>(blocks, &window_masks::separator, bit, separator);
  const std::uint64_t value[2] = {~separator[0], ~separator[1]};
  const std::uint64_t after[2] = {value[0] << 1, (value[1] << 1) | (value[0] >> 63)};
  std::uint64_t starts[2] = {value[0] & ~after[0], value[1] & ~after[1]};
  std::uint64_t ends[2] = {~value[0] & after[0], ~value[1] & after[1]};
  const auto take_lowest = [](std::uint64_t(&bits)[2]) {
    if (bits[0] != 0) {
      const int at = std::countr_zero(bits[0]);
      bits[0] &= bits[0] - 1;
      return at;
    }
    if (bits[1] != 0) {
      const int at = std::countr_zero(bits[1]);
      bits[1] &= bits[1] - 1;
      return 64 + at;
    }
    return -1;
  };
  for (int k = 0; k < column_count; ++k) {
    batch.first[k] = take_lowest(starts);
    batch.last[k] = take_lowest(ends);
  }
  const int stop = batch.last[column_count - 1];
  if (stop < 0) return -1;
  // The bits below stop, in each word.
  const std::uint64_t below[2] = {stop >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << stop) - 1,
                                  stop > 64 ? (std::uint64_t{1} << (stop - 64)) - 1 : 0};
  window<2>(blocks, &window_masks::stray, bit, stray);
  if (((stray[0] & below[0]) | (stray[1] & below[1])) == 0) return stop;  // blanks alone
  // Commas may separate values; anything else sends the record to the general path.
  std::uint64_t comma[2];
  window<2>(blocks, &window_masks::comma, bit, comma);
  if (((stray[0] & ~comma[0] & below[0]) | (stray[1] & ~comma[1] & below[1])) != 0) return -2;
  return commas_fit<2>(comma, batch) ? stop : -2;
}

}  // namespace

classify_blocks_fn block_classifier() { return classify_kernels.get(); }

fast_records::fast_records(const char* begin, const char* end)
    : begin_(begin), end_(end), classify_(block_classifier()), decimals_(short_decimals_kernel()) {}

const char* fast_records::read(const char* p, float* const* columns, std::int64_t i) {
  // The masks and the digit reads (from 15 bytes before a value) must stay in the text.
  if (end_ - p < 64 * (words + 1) || p - begin_ < 16) return nullptr;
  if ((base_ == nullptr || p < base_ || p >= limit_) && !classify_from(p)) return nullptr;
  const auto bit = static_cast<std::size_t>(p - base_);
  short_batch batch;
  batch.record = p;
  // Most records take less than 128 bytes: two words of masks find their values.
  int stop = bounds_short(blocks_, bit, batch);
  if (stop == -1) stop = bounds<words>(blocks_, bit, batch);
  if (stop < 0 || !ends_value(p[stop])) return nullptr;  // a NUL, say, belongs to the value
  // Values of the common shape are converted together; any other sends the record to
  // be read value by value. A file keeps to one form, so after a record the batch turns
  // down, the next few go value by value straight away.
  if (batch_rest_ > 0) {
    --batch_rest_;
  } else {
    if (decimals_(batch, columns, i)) return p + stop;
    batch_rest_ = 31;
  }
  return one_by_one(p, batch.first, batch.last, columns, i);
}

// Values of other forms, each parsed on its own.
const char* fast_records::one_by_one(const char* p, const int* first, const int* last, float* const* columns,
                                     std::int64_t i) {
  for (int k = 0; k < column_count; ++k) {
    const auto [end, ec] = convert_float(p + first[k], end_, columns[k][i]);
    if (ec != std::errc{} || end != p + last[k]) return nullptr;
  }
  return p + last[column_count - 1];
}

// Classifies the blocks from the one that holds p on: up to `chunk` of them, and `words`
// more, so that a window of the record's bits from any byte before limit_ lies within them.
bool fast_records::classify_from(const char* p) {
  base_ = begin_ + ((p - begin_) & ~std::ptrdiff_t{63});
  const std::ptrdiff_t n = std::min<std::ptrdiff_t>(chunk + words, (end_ - base_) / 64);
  if (n < words + 1) return false;
  classify_(base_, static_cast<int>(n), blocks_);
  limit_ = base_ + 64 * (n - words);
  return p < limit_;
}

}  // namespace haloprof
