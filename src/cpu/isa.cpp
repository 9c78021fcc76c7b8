#include "cpu/isa.h"

isa_level isa_best() {
#ifdef MORVANE_X86_VECTORS
    // The avx2 kernels count bits with the popcount instruction too.
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return avx2 ? isa_level::avx2 : isa_level::sse2;
#else
    return isa_level::scalar;
#endif
}

std::vector<isa_level> isa_levels_available() {
    std::vector<isa_level> levels{isa_level::scalar};
    for (isa_level level : {isa_level::sse2, isa_level::avx2})
        if (level <= isa_best()) levels.push_back(level);
    return levels;
}
