// Any value, width and decimals: every field is exactly w characters, and a finite value
// that fits reads back within half a unit of its last decimal.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/format.h"

namespace {

double read_back(std::string s) {
  // A three-digit exponent is written without its letter: 1.0000+100.
  const auto sign = s.find_last_of("+-");
  if (s.find('E') == std::string::npos && sign != std::string::npos && sign > 0 && s[sign - 1] != ' ')
    s.insert(sign, "E");
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (*end != '\0') std::abort();
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 11) return 0;
  double v;
  std::memcpy(&v, data, 8);
  const int w = data[8] % 48;
  const int d = data[9] % 24;
  const bool single = data[10] & 1;
  if (single) v = static_cast<float>(v);

  std::string f, e, i;
  haloprof::put_fixed(f, v, w, d);
  haloprof::put_scientific(e, v, w, d);
  haloprof::put_int(i, static_cast<std::int64_t>(data[10]) * 1000003 - 7, w);
  for (const std::string* s : {&f, &e, &i})
    if (s->size() != static_cast<std::size_t>(w)) std::abort();
  if (!std::isfinite(v)) return 0;

  if (f.find('*') == std::string::npos && w > 0) {
    const double back = read_back(f);
    const double half = 0.5 * std::pow(10.0, -d);
    if (std::fabs(back - v) > half * (1 + 1e-9) + std::fabs(v) * 1e-15) std::abort();
    if (std::signbit(v) != (f.find('-') != std::string::npos)) std::abort();
  }
  if (e.find('*') == std::string::npos && w > 0 && v != 0) {
    const double back = read_back(e);
    if (std::isinf(back)) return 0;  // rounded up past the largest double: nothing to compare
    const int exponent = std::atoi(e.c_str() + e.find_last_of("+-"));
    const double half = 0.5 * std::pow(10.0, exponent - d);
    if (std::fabs(back - v) > half * (1 + 1e-6) + std::fabs(v) * 1e-15) std::abort();
  }
  return 0;
}
