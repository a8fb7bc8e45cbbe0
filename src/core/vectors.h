// Which vector instructions the arithmetic passes use.
#pragma once

namespace haloprof {

// The widest vectors the passes over the particles use: 8 lanes (AVX2, where the processor
// has it), 4 (SSE2) or 1. Every width gives the same results bit for bit; tests narrow it
// to compare them.
extern int vector_width;

// Whether the processor has AVX2 (asked once).
bool has_avx2();

}  // namespace haloprof
