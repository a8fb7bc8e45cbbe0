// Classifying 64 bytes of snapshot text at once, one bit per byte, so that the values of
// a record can be found with bit operations instead of a byte-by-byte walk.
#pragma once

#include <cstdint>

namespace haloprof {

struct window_masks {
  std::uint64_t separator;  // ends a value: ' ', ',', '/' and bytes below 0x20 (line feed, tab, ...)
  std::uint64_t stray;      // a separator other than ' ' (a comma too)
  std::uint64_t comma;      // ','
};

// The masks of n consecutive windows from p on, into out[0, n); all their bytes readable.
using classify_blocks_fn = void (*)(const char* p, int n, window_masks* out);

// The active tier's classifier: fetched once per pass, so that the tier is settled once.
classify_blocks_fn block_classifier();

}  // namespace haloprof
