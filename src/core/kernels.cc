#include "core/kernels.h"

#include <array>
#include <atomic>
#include <vector>

namespace haloprof {
namespace {

// The one place that asks the processor what it has.
std::vector<tier> find_tiers() {
  std::vector<tier> tiers;
#if defined(HALOPROF_X86)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("ssse3")) tiers.push_back(tier::avx2);
  tiers.push_back(tier::sse2);  // part of every x86-64 processor
#endif
  tiers.push_back(tier::scalar);
  return tiers;
}

const std::vector<tier>& tiers() {
  static const std::vector<tier> found = find_tiers();
  return found;
}

// Chosen before main() runs; only tests change it.
std::atomic<tier> active{tiers().front()};

}  // namespace

std::string_view tier_name(tier t) {
  constexpr std::array<std::string_view, tier_count> names = {"scalar", "sse2", "avx2"};
  return names[static_cast<int>(t)];
}

std::span<const tier> available_tiers() { return tiers(); }

tier active_tier() { return active.load(std::memory_order_relaxed); }

bool force_tier(tier t) {
  for (const tier a : tiers()) {
    if (a == t) {
      active.store(t, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

}  // namespace haloprof
