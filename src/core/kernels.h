// Which vector instructions the passes over the particles and the text use.
//
// Every pass that has vector kernels writes one per instruction tier (`…_avx2`, `…_sse2`,
// `…_scalar`) and calls the one of the active tier. The tier is chosen once, at start-up,
// from what the processor has; every tier gives the same results bit for bit, and tests
// force each tier in turn to compare them.
#pragma once

#include <span>
#include <string_view>

// The vector kernels are written for x86-64 with GCC-style target attributes; elsewhere
// only the scalar tier exists. Files that write vector kernels include <immintrin.h>.
#if defined(__x86_64__) && defined(__GNUC__)
#define HALOPROF_X86 1
#endif

namespace haloprof {

// From none to the widest. avx2: AVX2 for the arithmetic, SSSE3 byte shuffles for reading
// numbers; sse2: 128-bit vectors only; scalar: one value at a time.
enum class tier : int { scalar = 0, sse2 = 1, avx2 = 2 };
inline constexpr int tier_count = 3;

std::string_view tier_name(tier t);

// The tiers this processor can run, widest first (scalar always among them).
std::span<const tier> available_tiers();

// The tier the passes use: the widest available unless a test forced another.
tier active_tier();

// Makes every pass use tier t; false, changing nothing, when the processor cannot run it.
// For tests and fuzz targets: the program itself always runs the widest tier.
bool force_tier(tier t);

// A table of one kernel per tier, indexed by the active tier. A pass fetches its kernel once,
// with get(), and calls it for all its work.
template <typename F>
struct tiered {
  F by_tier[tier_count];
  F get() const { return by_tier[static_cast<int>(active_tier())]; }
};

// The initializer of a tiered table: `const tiered<F> kernels HALOPROF_TIERS(scalar, sse2, avx2);`.
// Where the vector tiers do not exist their kernels are not compiled, and the scalar kernel
// stands for every tier.
#if defined(HALOPROF_X86)
#define HALOPROF_TIERS(scalar, sse2, avx2) \
  {                                        \
    { scalar, sse2, avx2 }                 \
  }
#else
#define HALOPROF_TIERS(scalar, sse2, avx2) \
  {                                        \
    { scalar, scalar, scalar }             \
  }
#endif

}  // namespace haloprof
