// The scans on 128-bit vectors (every x86-64 has them).
#include "count/scan_kernels_impl.h"

#ifdef MORVANE_X86_VECTORS
namespace count {

extern const scan_kernels sse2_scans = {"sse2",
                                        isa_level::sse2,
                                        vector_line_feed_bits<sse2_ops>,
                                        vector_letter_masks<sse2_ops>,
                                        vector_mask_copy<sse2_ops>,
                                        vector_count_below<sse2_ops>,
                                        vector_extremes<sse2_ops>,
                                        vector_window_search<sse2_ops>};

}  // namespace count
#endif
