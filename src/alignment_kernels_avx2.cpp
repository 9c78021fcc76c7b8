// The alignment kernels on 256-bit vectors.
#include "alignment_kernels_impl.h"

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
AVX2_TARGET void add_rows(const uint64_t* const* rows, size_t nrows, size_t blocks, int used_planes, uint64_t* planes,
                          unsigned first_guess, size_t reached[guesses]) {
    add_rows_kernel(rows, nrows, blocks, used_planes, planes, first_guess, reached);
}
AVX2_TARGET std::pair<size_t, size_t> count_at_least(const uint64_t* planes, size_t blocks, unsigned v, int used_planes) {
    return count_at_least_kernel(planes, blocks, v, used_planes);
}

}  // namespace

extern const alignment_kernels avx2_kernels = {"avx2", isa_level::avx2, bounds_short, bounds_medium, scores, add_rows, count_at_least};
#endif
