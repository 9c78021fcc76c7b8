// The instruction levels that vector code comes in, and the one this
// processor runs: every table of kernels is chosen by it, once.
#pragma once

#include <vector>

// scalar: plain code for any processor; sse2: 128-bit vectors (every
// x86-64); avx2: 256-bit vectors.
enum class isa_level { scalar, sse2, avx2 };

// Where the vector levels exist: x86-64 always has SSE2; 32-bit x86 where
// the compiler was told so.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define MORVANE_X86_VECTORS 1
#endif

// The widest level this processor runs.
isa_level isa_detected();
// The level the kernels run at: isa_detected(), or a lower one when the
// environment variable MORVANE_ISA (scalar, sse2 or avx2) asks for it.
isa_level isa_best();
// Every level this processor runs, narrowest first.
std::vector<isa_level> isa_levels_available();
