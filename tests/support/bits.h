// The bit pattern of a float or a double, for comparisons that tell -0.0 from 0.0 and NaNs apart.
#pragma once

#include <cstdint>
#include <cstring>

namespace haloprof::testing {

inline std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline std::uint64_t bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

}  // namespace haloprof::testing
