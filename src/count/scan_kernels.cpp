// The scans in plain code (any processor), and the choice among the levels.
#include "count/scan_kernels_impl.h"

namespace count {

namespace {
const scan_kernels scalar_scans = {"scalar",         isa_level::scalar, scalar_line_feed_bits, scalar_letter_masks,
                                   scalar_mask_copy, scalar_count_below, scalar_extremes, scalar_window_search};
}  // namespace

#ifdef MORVANE_X86_VECTORS
extern const scan_kernels sse2_scans;
extern const scan_kernels avx2_scans;
#endif

const scan_kernels& scan_kernels_for(isa_level level) {
#ifdef MORVANE_X86_VECTORS
    level = std::min(level, isa_detected());
    if (level == isa_level::avx2) return avx2_scans;
    if (level == isa_level::sse2) return sse2_scans;
#else
    (void)level;
#endif
    return scalar_scans;
}

const scan_kernels& scan_kernels_best() {
    static const scan_kernels& best = scan_kernels_for(isa_best());
    return best;
}

}  // namespace count
