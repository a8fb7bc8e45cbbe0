// Any bytes as one number: either a clean refusal or a float; plain decimals (and the same
// with a D or Q exponent letter) must give exactly the bits of the C library's correctly
// rounded conversion. The conversion at the start of the bytes must find the number a plain
// character-by-character reading finds, and give the C library's bits for it.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "input/convert.h"
#include "support/numbers.h"

namespace {

// [-]digits[.digits][(e|E)[+|-]digits] with at least one mantissa digit.
bool plain_decimal(const std::string& s) {
  std::size_t i = 0, digits = 0;
  if (i < s.size() && s[i] == '-') ++i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') ++i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (digits == 0) return false;
  if (i == s.size()) return true;
  if (s[i] != 'e' && s[i] != 'E') return false;
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::size_t first = i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i > first && i == s.size();
}

void check_against_reference(const std::string& s) {
  float got = 0;
  if (!haloprof::testing::whole_number(s.data(), s.data() + s.size(), got)) std::abort();
  const float want = std::strtof(s.c_str(), nullptr);
  std::uint32_t a, b;
  std::memcpy(&a, &got, 4);
  std::memcpy(&b, &want, 4);
  if (a != b) std::abort();
}

bool digit(char c) { return c >= '0' && c <= '9'; }

bool word_at(const char* s, std::size_t n, std::size_t i, const char* w) {
  for (; *w != '\0'; ++w, ++i)
    if (i >= n || (s[i] | 0x20) != *w) return false;
  return true;
}

// The longest number at the start of s[0, n), read one character at a time, and its value:
// the words set directly, anything else rewritten for strtof (a minus sign, the mantissa,
// 'e', the exponent's sign and digits). Length 0 when there is no number.
std::size_t reference_number(const char* s, std::size_t n, float& value) {
  std::size_t i = 0;
  std::string text;
  const bool negative = n > 0 && s[0] == '-';
  if (n > 0 && (s[0] == '-' || s[0] == '+')) ++i;
  if (negative) text += '-';
  const std::size_t sign_end = i;
  std::size_t digits = 0;
  for (; i < n && digit(s[i]); ++i, ++digits) text += s[i];
  if (i < n && s[i] == '.') {
    text += s[i++];
    for (; i < n && digit(s[i]); ++i, ++digits) text += s[i];
  }
  if (digits == 0) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    i = sign_end;
    if (word_at(s, n, i, "inf")) value = negative ? -inf : inf;
    if (word_at(s, n, i, "nan")) value = negative ? -nan : nan;
    if (word_at(s, n, i, "infinity")) return i + 8;
    return word_at(s, n, i, "inf") || word_at(s, n, i, "nan") ? i + 3 : 0;
  }
  std::size_t end = i;
  char sign = '+';
  if (i < n && std::string_view("eEdDqQ").find(s[i]) != std::string_view::npos) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) sign = s[i++];
  } else if (i < n && (s[i] == '+' || s[i] == '-')) {
    sign = s[i++];
  }
  if (i > end && i < n && digit(s[i])) {
    text += 'e';
    text += sign;
    for (; i < n && digit(s[i]); ++i) text += s[i];
    end = i;
  }
  value = std::strtof(text.c_str(), nullptr);
  return end;
}

// The number at the start of the bytes, held alone (every byte read with a check) and
// followed by blanks (the common numbers read eight bytes at a time): the reference's
// length and bits, and a refusal that leaves the value alone.
void check_conversion(const char* s, std::size_t size, float want, std::size_t length) {
  float got = 12345.0f;
  const auto [ptr, ec] = haloprof::convert_float(s, s + size, got);
  if (length == 0) {
    if (ec != std::errc::invalid_argument || ptr != s || got != 12345.0f) std::abort();
    return;
  }
  if (ec != std::errc{} || ptr != s + length) std::abort();
  if (std::isnan(want) ? !std::isnan(got) || std::signbit(got) != std::signbit(want) : std::memcmp(&got, &want, 4) != 0)
    std::abort();
}

void check_conversion(const std::uint8_t* data, std::size_t size) {
  const char* s = reinterpret_cast<const char*>(data);  // exactly `size` bytes: a read beyond shows
  float want = 0;
  const std::size_t length = reference_number(s, size, want);
  check_conversion(s, size, want, length);
  std::string padded(s, size);
  padded.append(40, ' ');
  check_conversion(padded.data(), padded.size(), want, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_conversion(data, size);
  const std::string s(reinterpret_cast<const char*>(data), size);
  float v = 12345.0f;
  const bool ok = haloprof::testing::whole_number(s.data(), s.data() + s.size(), v);
  if (!ok && v != 12345.0f) std::abort();  // a refusal leaves the value alone
  if (plain_decimal(s)) {
    check_against_reference(s);
    const auto e = s.find_first_of("eE");
    if (e != std::string::npos) {
      for (char letter : {'d', 'Q'}) {
        std::string fortran = s;
        fortran[e] = letter;
        float f = 0, g = 0;
        if (!haloprof::testing::whole_number(fortran.data(), fortran.data() + fortran.size(), f)) std::abort();
        haloprof::testing::whole_number(s.data(), s.data() + s.size(), g);
        if (std::memcmp(&f, &g, 4) != 0) std::abort();
      }
    }
  }
  return 0;
}
