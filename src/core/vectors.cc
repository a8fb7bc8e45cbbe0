#include "core/vectors.h"

namespace haloprof {

int vector_width = 8;

bool has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

bool has_ssse3() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  return ssse3;
#else
  return false;
#endif
}

}  // namespace haloprof
