// Any bytes as a snapshot file: the reader loads particles or fails with a one-line
// message, and reads exactly what the plainest way of reading (the general path, after
// counting the particles) reads; whatever it loads then goes through the centering,
// binning and report composition without a crash. The vector tier, the threads and the
// pieces vary with the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "center/findcenter.h"
#include "core/kernels.h"
#include "input/load.h"
#include "properties/binning.h"
#include "properties/report.h"
#include "support/findings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that reading one past the end is caught.
  char* text = static_cast<char*>(std::malloc(size ? size : 1));
  std::memcpy(text, data, size);
  const auto tiers = haloprof::available_tiers();
  haloprof::force_tier(tiers[size % tiers.size()]);
  haloprof::run_state state;
  state.rad = haloprof::initial_search_radius;
  std::ostringstream out;
  // Pieces on several threads too, their boundaries anywhere.
  const haloprof::read_paths paths{.threads = 1 + static_cast<int>(size % 3), .piece_bytes = 1 + size * 7 % 97};
  haloprof::snapshot_findings found;
  const auto result = haloprof::load_snapshot(state, text, text + size, "fuzz.txt", found, {}, paths);

  haloprof::run_state plain;
  haloprof::snapshot_findings plain_found;
  const auto plain_result = haloprof::load_snapshot(plain, text, text + size, "fuzz.txt", plain_found, {},
                                                    {.fast_records = false, .count_first = true});
  if (result.failed() != plain_result.failed() ||
      haloprof::testing::describe(state, found) != haloprof::testing::describe(plain, plain_found))
    std::abort();
  if (result.failed() && result->message != plain_result->message) std::abort();
  if (result.ok()) {
    if (state.nhalos != plain.nhalos) std::abort();
    for (const auto array :
         {&haloprof::run_state::xpar, &haloprof::run_state::ypar, &haloprof::run_state::zpar, &haloprof::run_state::vx,
          &haloprof::run_state::vy, &haloprof::run_state::vz, &haloprof::run_state::dens})
      if (state.nhalos > 0 && std::memcmp((state.*array).data(), (plain.*array).data(),
                                          sizeof(float) * static_cast<std::size_t>(state.nhalos)) != 0)
        std::abort();
  }

  if (result.failed()) {
    if (result->message.empty() || result->message.find('\n') != std::string::npos) std::abort();
  } else {
    if (state.nhalos < 0 || static_cast<std::size_t>(state.nhalos) > size) std::abort();
    haloprof::shift_origin(state);
    haloprof::findcenter(state, out);
    if (haloprof::bin_particles(state, out).ok()) {
      const std::string block = haloprof::compose_report(state);
      if (block.empty()) std::abort();
    }
  }
  std::free(text);
  return 0;
}
