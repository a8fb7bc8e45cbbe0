// Any bytes as a snapshot file: the reader loads particles or fails with a one-line
// message; whatever it loads then goes through the centering, binning and report
// composition without a crash.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "center/findcenter.h"
#include "input/readdata.h"
#include "properties/binning.h"
#include "properties/report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that reading one past the end is caught.
  char* text = static_cast<char*>(std::malloc(size ? size : 1));
  std::memcpy(text, data, size);
  haloprof::run_state state;
  state.rad = 0.05f;
  std::ostringstream out;
  const auto result = haloprof::load_snapshot(state, text, text + size, "fuzz.txt", out);
  if (result) {
    if (result->message.empty() || result->message.find('\n') != std::string::npos) std::abort();
  } else {
    if (state.nhalos < 0 || static_cast<std::size_t>(state.nhalos) > size) std::abort();
    haloprof::shift_origin(state);
    haloprof::findcenter(state, out);
    if (!haloprof::bin_particles(state, out)) {
      const std::string block = haloprof::compose_report(state);
      if (block.empty()) std::abort();
    }
  }
  std::free(text);
  return 0;
}
