// The bit pattern of a float, for comparisons that tell -0.0 from 0.0 and NaNs apart.
#pragma once

#include <cstdint>
#include <cstring>

namespace haloprof::testing {

inline std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

}  // namespace haloprof::testing
