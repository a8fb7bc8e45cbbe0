// Running a check once per vector instruction tier the processor has.
#pragma once

#include <gtest/gtest.h>
#include <cstdio>
#include <string>

#include "core/kernels.h"

namespace haloprof::testing {

// Calls check(t) with each tier forced in turn, widest first, and says which tiers this
// processor cannot run; the widest tier is active again afterwards.
template <typename Check>
void for_each_tier(Check check) {
  for (const tier t : {tier::avx2, tier::sse2, tier::scalar}) {
    if (!force_tier(t)) {
      std::printf("  (tier %s skipped: not on this processor)\n", std::string(tier_name(t)).c_str());
      continue;
    }
    SCOPED_TRACE("tier " + std::string(tier_name(t)));
    check(t);
  }
  force_tier(available_tiers().front());
}

}  // namespace haloprof::testing
