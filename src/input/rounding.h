// The rounding rules the two number readers (convert.cc, one value at a time, and
// record_batch.cc, seven at once) share.
#pragma once

#include <bit>
#include <cstdint>

namespace haloprof {

// For exact products of 64-bit integers.
__extension__ typedef unsigned __int128 uint128;

// Every power of ten up to 10^22 is an exact double (5^22 < 2^53): a mantissa below 2^53
// times or over such a power is rounded once, correctly, by one double operation
// (Clinger's fast path).
inline constexpr int largest_exact_power_of_ten = 22;

// A float has 29 fewer fraction bits than a double: d lies halfway between two floats
// when its low 29 bits (float_tail) are 1 followed by zeros (float_half). Rounding d to
// float would then round twice: the exact value must decide.
inline constexpr std::uint64_t float_tail = 0x1fffffff;
inline constexpr std::uint64_t float_half = 0x10000000;

inline bool halfway_between_floats(double d) { return (std::bit_cast<std::uint64_t>(d) & float_tail) == float_half; }

}  // namespace haloprof
