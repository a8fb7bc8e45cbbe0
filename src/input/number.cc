#include "input/number.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace haloprof {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_lower(const char* first, const char* last, std::string_view word) {
  if (static_cast<std::size_t>(last - first) != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (lower(first[i]) != word[i]) return false;
  return true;
}

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
  if (p < last) {  // 'e' or 'E'
    ++p;
    bool exponent_negative = false;
    if (p < last && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    for (; p < last; ++p)
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
    if (exponent_negative) exponent = -exponent;
  }
  const float magnitude = order + exponent > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
  return negative ? -magnitude : magnitude;
}

// Converts a token already in from_chars syntax; false unless all of it is one number.
bool convert(const char* first, const char* last, float& out) {
  float value;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ptr != last) return false;
  if (ec == std::errc::result_out_of_range) {
    out = out_of_range_value(first, last);
    return true;
  }
  if (ec != std::errc()) return false;
  out = value;
  return true;
}

// The full number syntax: rewrites the token into from_chars syntax (no plus sign, the
// exponent letter as 'e') and converts that, so the decimal is still rounded only once.
bool parse_general(const char* first, const char* last, float& out) {
  const char* p = first;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';

  if (p < last && !is_digit(*p) && *p != '.') {
    constexpr float inf = std::numeric_limits<float>::infinity();
    if (equals_lower(p, last, "inf") || equals_lower(p, last, "infinity")) {
      out = negative ? -inf : inf;
      return true;
    }
    if (equals_lower(p, last, "nan")) {
      const float nan = std::numeric_limits<float>::quiet_NaN();
      out = negative ? -nan : nan;
      return true;
    }
    return false;
  }

  const char* mantissa = p;
  std::size_t digits = 0;
  for (; p < last && is_digit(*p); ++p) ++digits;
  if (p < last && *p == '.') ++p;
  for (; p < last && is_digit(*p); ++p) ++digits;
  if (digits == 0) return false;
  const char* mantissa_end = p;

  char exponent_sign = '+';
  const char* exponent = p;
  if (p < last) {
    switch (*p) {
      case 'e': case 'E': case 'd': case 'D': case 'q': case 'Q':
        ++p;
        if (p < last && (*p == '+' || *p == '-')) exponent_sign = *p++;
        break;
      case '+': case '-':
        exponent_sign = *p++;
        break;
      default:
        return false;
    }
    exponent = p;
    while (p < last && is_digit(*p)) ++p;
    if (p == exponent || p != last) return false;
  }

  // Sign, mantissa, 'e', exponent sign, exponent digits.
  const auto mantissa_len = static_cast<std::size_t>(mantissa_end - mantissa);
  const auto exponent_len = static_cast<std::size_t>(last - exponent);
  const std::size_t size = 1 + mantissa_len + 2 + exponent_len;
  char small[256];
  std::string large;
  char* buf = small;
  if (size > sizeof small) {
    large.resize(size);
    buf = large.data();
  }
  char* q = buf;
  if (negative) *q++ = '-';
  q = std::copy(mantissa, mantissa_end, q);
  if (exponent_len > 0) {
    *q++ = 'e';
    *q++ = exponent_sign;
    q = std::copy(exponent, last, q);
  }
  return convert(buf, q, out);
}

}  // namespace

bool parse_float(const char* first, const char* last, float& out) {
  if (first == last) return false;
  // Plain decimals, by far the common case, go straight through; the rest is rewritten.
  if (*first != '+' && convert(first, last, out)) return true;
  return parse_general(first, last, out);
}

}  // namespace haloprof
