// The scans on 256-bit vectors; texts shorter than 32 bytes go to the
// 128-bit forms, compiled here for the same target.
#include "count/scan_kernels.h"

#ifdef MORVANE_X86_VECTORS
#include <algorithm>
#include <cstring>
#include <immintrin.h>
#include <type_traits>

// Everything from here on is compiled for AVX2: it runs only once the
// processor has been found to have it.
#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "count/scan_kernels_impl.h"

namespace count {
namespace {

struct avx2_ops {
    using vec = __m256i;
    using narrower = sse2_ops;
    static constexpr size_t width = 32;
    static vec load(const char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(char* p, vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static vec splat(char c) { return _mm256_set1_epi8(c); }
    static vec zero() { return _mm256_setzero_si256(); }
    static vec eq(vec a, vec b) { return _mm256_cmpeq_epi8(a, b); }
    static vec lt(vec a, vec b) { return _mm256_cmpgt_epi8(b, a); }
    static vec sub(vec a, vec b) { return _mm256_sub_epi8(a, b); }
    static vec min(vec a, vec b) { return _mm256_min_epu8(a, b); }
    static vec max(vec a, vec b) { return _mm256_max_epu8(a, b); }
    static uint64_t bits(vec v) { return static_cast<uint32_t>(_mm256_movemask_epi8(v)); }
    static int64_t sum(vec v) {
        vec sums = _mm256_sad_epu8(v, zero());
        __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        return _mm_cvtsi128_si32(halves) + _mm_cvtsi128_si32(_mm_srli_si128(halves, 8));
    }
    static unsigned char lowest(vec v) {
        return sse2_ops::lowest(_mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
    }
    static unsigned char highest(vec v) {
        return sse2_ops::highest(_mm_max_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
    }
};

}  // namespace

extern const scan_kernels avx2_scans = {"avx2",
                                        isa_level::avx2,
                                        vector_line_feed_bits<avx2_ops>,
                                        vector_letter_masks<avx2_ops>,
                                        vector_mask_copy<avx2_ops>,
                                        vector_count_below<avx2_ops>,
                                        vector_extremes<avx2_ops>,
                                        vector_window_search<avx2_ops>};

}  // namespace count

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
