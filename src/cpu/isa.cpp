#include "cpu/isa.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

isa_level isa_detected() {
#ifdef MORVANE_X86_VECTORS
    // The avx2 kernels count bits with the popcount instruction too.
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return avx2 ? isa_level::avx2 : isa_level::sse2;
#else
    return isa_level::scalar;
#endif
}

namespace {

// MORVANE_ISA=scalar|sse2|avx2 caps the level, so that the tests can run
// whole sub-commands on each level this processor has and compare outputs.
isa_level chosen() {
    isa_level best = isa_detected();
    const char* asked = std::getenv("MORVANE_ISA");
    if (asked == nullptr || *asked == '\0') return best;
    isa_level cap;
    if (std::strcmp(asked, "scalar") == 0)
        cap = isa_level::scalar;
    else if (std::strcmp(asked, "sse2") == 0)
        cap = isa_level::sse2;
    else if (std::strcmp(asked, "avx2") == 0)
        cap = isa_level::avx2;
    else {
        std::fprintf(stderr, "Warning: MORVANE_ISA=%s is not scalar, sse2 or avx2; ignored\n", asked);
        return best;
    }
    return cap < best ? cap : best;
}

}  // namespace

isa_level isa_best() {
    static const isa_level level = chosen();
    return level;
}

std::vector<isa_level> isa_levels_available() {
    std::vector<isa_level> levels{isa_level::scalar};
    for (isa_level level : {isa_level::sse2, isa_level::avx2})
        if (level <= isa_detected()) levels.push_back(level);
    return levels;
}
