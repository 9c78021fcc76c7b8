// The alignment kernels on 256-bit vectors.
#include "align/kernels_impl.h"

#if defined(__x86_64__) || defined(__i386__)
#define AVX2_TARGET __attribute__((target("avx2,popcnt")))

namespace {

AVX2_TARGET void bounds_short(const uint32_t* masks, const uint32_t* length_masks, const int32_t* positions, size_t lanes,
                              const uint8_t* rows, size_t n, int* bounds) {
    bound_kernel<uint32_t, 32, 4>(masks, length_masks, positions, lanes, rows, n, bounds);
}
AVX2_TARGET void bounds_medium(const uint64_t* masks, const uint64_t* length_masks, const int32_t* positions, size_t lanes,
                               const uint8_t* rows, size_t n, int* bounds) {
    bound_kernel<uint64_t, 32, 4>(masks, length_masks, positions, lanes, rows, n, bounds);
}
AVX2_TARGET void scores(const int16_t* letters, size_t m, const int16_t* core, size_t n, int16_t* cells, int16_t* ends) {
    score_kernel<32>(letters, m, core, n, cells, ends);
}
AVX2_TARGET uint64_t chunk_counts(const uint64_t* const* rows, size_t nrows, size_t first, size_t len, int used_planes, unsigned v, uint64_t* masks,
                                  uint64_t* planes) {
    return chunk_kernel<32>(rows, nrows, first, len, used_planes, v, masks, planes);
}

AVX2_TARGET inline int popcount_instruction(uint64_t x) { return __builtin_popcountll(x); }
AVX2_TARGET void short_counts(const uint64_t* core_words, const uint32_t* item_core, const uint64_t* seq_words, const uint32_t* item_seq,
                              size_t n, int* counts) {
    short_kernel<popcount_instruction>(core_words, item_core, seq_words, item_seq, n, counts);
}

}  // namespace

extern const alignment_kernels avx2_kernels = {"avx2", isa_level::avx2, bounds_short, bounds_medium, scores, chunk_counts, short_counts};
#endif
