// Converting the text of one number to the nearest single-precision value.
#pragma once

#include <system_error>

namespace haloprof {

struct convert_result {
  const char* ptr;  // one past the number
  std::errc ec;     // std::errc{} for a number, std::errc::invalid_argument for none
};

// Converts the number at the start of [first, last) to the nearest float, ties to even, and
// stores it in `value`. A number is an optional sign; digits with an optional point (at
// least one digit); an optional exponent introduced by E, D or Q in either case or by its
// sign alone (1.5+3 is 1500), with at least one digit; or the words Inf, Infinity and NaN in
// any case, with an optional sign. `ptr` is one past the longest prefix that is a number,
// so [first, end) is one number exactly when ec is std::errc{} and ptr is end.
// Magnitudes beyond the float range give an infinity, those below half the smallest
// subnormal a zero, each with the number's sign. With no number, ptr is `first`, ec
// std::errc::invalid_argument and `value` is left alone.
// Reads no byte outside [first, last): hand it the end of the readable text rather than the
// end of the value, so that it can read eight bytes at a time.
convert_result convert_float(const char* first, const char* last, float& value) noexcept;

}  // namespace haloprof
