// Digits eight at a time: bit operations on 8-byte words of text, the first byte of the
// text in the lowest byte of the word.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace haloprof {

inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Each digit byte becomes its value 0..9; every other byte becomes more than 9.
inline std::uint64_t digit_values(std::uint64_t text) { return text ^ 0x3030303030303030ULL; }

// The high bit of each byte of x set where that byte is 10 or more (no carries cross bytes).
inline std::uint64_t above_nine(std::uint64_t x) {
  const std::uint64_t high = x & 0x8080808080808080ULL;
  const std::uint64_t low = x & 0x7f7f7f7f7f7f7f7fULL;
  return ((low + 0x7676767676767676ULL) | high) & 0x8080808080808080ULL;
}

// How many of the eight bytes whose digit values are `values` are digits before the first
// that is not.
inline int leading_digits(std::uint64_t values) {
  const std::uint64_t not_digit = above_nine(values);
  return not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
}

// The number spelled by eight digit values 0..9, the first (most significant) in the
// lowest byte: pairs, fours and the eight are combined with three multiplications.
inline std::uint32_t eight_digits(std::uint64_t d) {
  d = d * 10 + (d >> 8);
  d = (((d & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
       (((d >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
      32;
  return static_cast<std::uint32_t>(d);
}

// The number spelled by the first n (1 to 8) of eight digit values: they move to the top
// bytes, so that zeros lead them and the bytes after them drop out.
inline std::uint32_t first_digits(std::uint64_t values, int n) { return eight_digits(values << (8 * (8 - n))); }

}  // namespace haloprof
