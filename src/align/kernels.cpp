// The alignment kernels on 128-bit vectors (every x86-64 has them), and the
// choice among the levels.
#include "align/kernels_impl.h"

namespace {

void bounds_short(const uint32_t* masks, const uint32_t* length_masks, const int32_t* positions, size_t lanes,
                  const uint8_t* rows, size_t n, int* bounds) {
    bound_kernel<uint32_t, 16, 2>(masks, length_masks, positions, lanes, rows, n, bounds);
}
void bounds_medium(const uint64_t* masks, const uint64_t* length_masks, const int32_t* positions, size_t lanes,
                   const uint8_t* rows, size_t n, int* bounds) {
    bound_kernel<uint64_t, 16, 2>(masks, length_masks, positions, lanes, rows, n, bounds);
}
void scores(const int16_t* letters, size_t m, const int16_t* core, size_t n, int16_t* cells, int16_t* ends) {
    score_kernel<16>(letters, m, core, n, cells, ends);
}
uint64_t chunk_counts(const uint64_t* const* rows, size_t nrows, size_t first, size_t len, int used_planes, unsigned v, uint64_t* masks,
                                  uint64_t* planes) {
    return chunk_kernel<16>(rows, nrows, first, len, used_planes, v, masks, planes);
}

void short_counts(const uint64_t* core_words, const uint32_t* item_core, const uint64_t* seq_words, const uint32_t* item_seq, size_t n,
                  int* counts) {
    short_kernel<popcount_bytes>(core_words, item_core, seq_words, item_seq, n, counts);
}

const alignment_kernels sse2_kernels = {"sse2", isa_level::sse2, bounds_short, bounds_medium, scores, chunk_counts, short_counts};

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
extern const alignment_kernels avx2_kernels;

const alignment_kernels& alignment_kernels_for(isa_level level) {
    return level == isa_level::avx2 && isa_detected() == isa_level::avx2 ? avx2_kernels : sse2_kernels;
}
#else
const alignment_kernels& alignment_kernels_for(isa_level) { return sse2_kernels; }
#endif
