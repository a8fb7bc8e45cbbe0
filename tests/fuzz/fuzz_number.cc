// Any bytes as one number: either a clean refusal or a float; plain decimals (and the same
// with a D or Q exponent letter) must give exactly the bits of the C library's correctly
// rounded conversion.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "input/number.h"

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
  if (!haloprof::parse_float(s.data(), s.data() + s.size(), got)) std::abort();
  const float want = std::strtof(s.c_str(), nullptr);
  std::uint32_t a, b;
  std::memcpy(&a, &got, 4);
  std::memcpy(&b, &want, 4);
  if (a != b) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  float v = 12345.0f;
  const bool ok = haloprof::parse_float(s.data(), s.data() + s.size(), v);
  if (!ok && v != 12345.0f) std::abort();  // a refusal leaves the value alone
  if (plain_decimal(s)) {
    check_against_reference(s);
    const auto e = s.find_first_of("eE");
    if (e != std::string::npos) {
      for (char letter : {'d', 'Q'}) {
        std::string fortran = s;
        fortran[e] = letter;
        float f = 0, g = 0;
        if (!haloprof::parse_float(fortran.data(), fortran.data() + fortran.size(), f)) std::abort();
        haloprof::parse_float(s.data(), s.data() + s.size(), g);
        if (std::memcmp(&f, &g, 4) != 0) std::abort();
      }
    }
  }
  return 0;
}
