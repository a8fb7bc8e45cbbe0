#include "core/run_state.h"

#include <new>

namespace haloprof {

bool particle_array::allocate(std::int64_t n) {
  // Default-initialised: no time spent zeroing memory that the loading pass overwrites.
  data_.reset(new (std::nothrow) float[static_cast<std::size_t>(n)]);
  return data_ != nullptr || n == 0;
}

}  // namespace haloprof
