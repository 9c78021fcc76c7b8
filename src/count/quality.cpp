// Quality masking of reads.
#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "count/count.h"
#include "io/error.h"

namespace count {

namespace {

#ifdef __SSE2__
// Sixteen bytes from offset n: lanes of which the last n are set.
alignas(16) const char lane_masks[32] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

inline int64_t lane_sum(__m128i bytes) {
    __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
}
#endif

}  // namespace

int64_t mask_bases(const settings& s, char* seq, const char* qual, size_t length) {
    return mask_copy(s, seq, seq, qual, length);
}

int64_t mask_copy(const settings& s, char* out, const char* seq, const char* qual, size_t length) {
    // A score (signed quality byte - quality_adj) below quality_cutoff is the
    // same as a signed quality byte below quality_adj + quality_cutoff.
    const int64_t threshold = static_cast<int64_t>(s.quality_adj) + s.quality_cutoff;
    int64_t masked = 0;
    size_t i = 0;
#ifdef __SSE2__
    if (length >= 16) {
        // Sixteen bases at a time; a threshold beyond the signed byte range
        // masks everything (above) or nothing (below).
        const __m128i all_low = _mm_set1_epi8(threshold > 127 ? -1 : 0);
        const __m128i limit = _mm_set1_epi8(static_cast<char>(std::clamp<int64_t>(threshold, -128, 127)));
        const __m128i n_base = _mm_set1_epi8('N');
        const __m128i no_call = _mm_set1_epi8('.');
        __m128i tally = _mm_setzero_si128();  // per lane: masked bases, up to 255
        int rounds = 0;
        auto step = [&](size_t at, __m128i counted_lanes) {
            __m128i bases = _mm_loadu_si128(reinterpret_cast<const __m128i*>(seq + at));
            __m128i scores = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qual + at));
            __m128i low = _mm_or_si128(_mm_cmplt_epi8(scores, limit), all_low);
            __m128i to_n = _mm_or_si128(low, _mm_cmpeq_epi8(bases, no_call));
            bases = _mm_or_si128(_mm_and_si128(to_n, n_base), _mm_andnot_si128(to_n, bases));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), bases);
            tally = _mm_sub_epi8(tally, _mm_and_si128(low, counted_lanes));  // low lanes are -1
            if (++rounds == 255) {
                masked += lane_sum(tally);
                tally = _mm_setzero_si128();
                rounds = 0;
            }
        };
        for (; i + 16 <= length; i += 16) step(i, _mm_set1_epi8(-1));
        if (i < length) {
            // The last sixteen bases, overlapping ones already done: they come
            // out the same again, and only the new lanes count.
            size_t fresh = length - i;
            step(length - 16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(lane_masks + fresh)));
        }
        return masked + lane_sum(tally);
    }
#endif
    for (; i < length; ++i) {
        bool low = static_cast<signed char>(qual[i]) < threshold;
        masked += low;
        out[i] = low || seq[i] == '.' ? 'N' : seq[i];
    }
    return masked;
}

int64_t below_range(const settings& s, const char* qual, size_t length) {
    const int64_t floor = static_cast<int64_t>(s.quality_adj) + std::min(s.quality_lo, 0);
    size_t i = 0;
    int64_t below = 0;
#ifdef __SSE2__
    // Sixteen at a time: in a run with errors many reads have a masked base,
    // so this runs often. Floors beyond the signed byte range: all or none.
    if (length >= 16 && floor > -128) {
        if (floor > 127) return static_cast<int64_t>(length);
        const __m128i limit = _mm_set1_epi8(static_cast<char>(floor));
        __m128i tally = _mm_setzero_si128();  // per lane, up to 255
        int rounds = 0;
        auto step = [&](size_t at, __m128i counted_lanes) {
            __m128i scores = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qual + at));
            tally = _mm_sub_epi8(tally, _mm_and_si128(_mm_cmplt_epi8(scores, limit), counted_lanes));
            if (++rounds == 255) {
                below += lane_sum(tally);
                tally = _mm_setzero_si128();
                rounds = 0;
            }
        };
        for (; i + 16 <= length; i += 16) step(i, _mm_set1_epi8(-1));
        if (i < length) step(length - 16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(lane_masks + (length - i))));
        return below + lane_sum(tally);
    }
#endif
    for (; i < length; ++i) below += static_cast<signed char>(qual[i]) < floor;
    return below;
}

void quality_extremes(const char* qual, size_t length, unsigned char& lowest, unsigned char& highest) {
#ifdef __SSE2__
    // Sixteen at a time: up to 100,000 reads pass here before the encoding
    // is known. The last sixteen may overlap ones already seen, which
    // changes no extreme.
    if (length >= 16) {
        __m128i low = _mm_set1_epi8(static_cast<char>(lowest));
        __m128i high = _mm_set1_epi8(static_cast<char>(highest));
        auto take = [&](size_t at) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qual + at));
            low = _mm_min_epu8(low, bytes);
            high = _mm_max_epu8(high, bytes);
        };
        size_t i = 0;
        for (; i + 16 <= length; i += 16) take(i);
        if (i < length) take(length - 16);
        // Folded in halves down to the first byte.
        low = _mm_min_epu8(low, _mm_srli_si128(low, 8));
        high = _mm_max_epu8(high, _mm_srli_si128(high, 8));
        low = _mm_min_epu8(low, _mm_srli_si128(low, 4));
        high = _mm_max_epu8(high, _mm_srli_si128(high, 4));
        low = _mm_min_epu8(low, _mm_srli_si128(low, 2));
        high = _mm_max_epu8(high, _mm_srli_si128(high, 2));
        low = _mm_min_epu8(low, _mm_srli_si128(low, 1));
        high = _mm_max_epu8(high, _mm_srli_si128(high, 1));
        lowest = static_cast<unsigned char>(_mm_cvtsi128_si32(low));
        highest = static_cast<unsigned char>(_mm_cvtsi128_si32(high));
        return;
    }
#endif
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(qual[i]);
        lowest = std::min(lowest, c);
        highest = std::max(highest, c);
    }
}

int quality_filter(const settings& s, char* seq, const char* qual) {
    size_t length = std::strlen(seq);
    if (length != std::strlen(qual)) fail(3, "Sequence length and quality length mismatch\n");
    return static_cast<int>(mask_bases(s, seq, qual, length));
}

}  // namespace count
