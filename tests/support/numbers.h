// One token read as one number, all of it, as the snapshot reader reads a value.
#pragma once

#include <system_error>

#include "input/convert.h"

namespace haloprof::testing {

// Whether [first, last) is one number; `v` is set only when it is. The conversion may
// read up to `readable` (to [first, last) itself by default).
inline bool whole_number(const char* first, const char* last, float& v, const char* readable = nullptr) {
  float x;
  const auto [end, ec] = convert_float(first, readable != nullptr ? readable : last, x);
  if (ec != std::errc{} || end != last) return false;
  v = x;
  return true;
}

}  // namespace haloprof::testing
