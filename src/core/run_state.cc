#include "core/run_state.h"

#include <cstdlib>

namespace haloprof {

bool particle_array::allocate(std::int64_t n) {
  // Left uninitialised: no time spent zeroing memory that the loading pass overwrites.
  // The caller has checked that the byte count fits in 64 bits.
  const auto bytes = static_cast<std::size_t>(n) * sizeof(float);
  data_.reset();  // under a memory limit the old and the new block may not fit side by side
  data_.reset(static_cast<float*>(std::malloc(bytes > 0 ? bytes : 1)));
  return data_ != nullptr;
}

void particle_array::shrink(std::int64_t n) {
  // In place for a block of its own (the allocator shrinks the mapping); should the
  // allocator refuse, the larger block stays, which is no harm.
  const auto bytes = static_cast<std::size_t>(n) * sizeof(float);
  if (void* p = std::realloc(data_.get(), bytes > 0 ? bytes : 1)) {
    (void)data_.release();
    data_.reset(static_cast<float*>(p));
  }
}

std::string record_values_named() {
  std::string s = std::to_string(column_count) + " values (";
  for (const std::string_view name : column_names) s.append(name).append(" ");
  s.back() = ')';
  return s;
}

}  // namespace haloprof
