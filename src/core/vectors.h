// Which vector instructions the arithmetic passes use.
#pragma once

namespace haloprof {

// The vector instructions the passes over the particles and the text use: 8, the widest
// the processor has (AVX2 for the arithmetic, SSSE3 byte shuffles for reading numbers); 4,
// SSE2 only; 1, none. Every width gives the same results bit for bit; tests narrow it to
// compare them.
extern int vector_width;

// Whether the processor has AVX2, and SSSE3 (each asked once).
bool has_avx2();
bool has_ssse3();

}  // namespace haloprof
