// The bodies of count's scans: plain loops (the scalar level, and the
// vector levels' texts shorter than a vector) and vector loops written once
// over a class of the level's operations; each level's file compiles them
// for its own target. Everything here has internal linkage, so the levels'
// copies never meet at link time.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "count/scan_kernels.h"

#ifdef MORVANE_X86_VECTORS
#include <emmintrin.h>
#endif

namespace count {
namespace {

// ---------------------------------------------------------------------------
// Plain loops

inline void scalar_line_feed_bits(const char* p, size_t words, uint64_t* bits) {
    for (size_t w = 0; w < words; ++w, p += 64) {
        uint64_t b = 0;
        for (int i = 0; i < 64; ++i) b |= static_cast<uint64_t>(p[i] == '\n') << i;
        bits[w] = b;
    }
}

inline void clear_masks(size_t length, uint64_t* const masks[4]) {
    const size_t words = length / 64 + 2;
    for (int c = 0; c < 4; ++c) std::fill(masks[c], masks[c] + words, 0);
}

inline void scalar_letter_masks(const char* read, size_t length, uint64_t* const masks[4]) {
    clear_masks(length, masks);
    for (size_t i = 0; i < length; ++i) {
        const uint64_t bit = uint64_t{1} << (i & 63);
        switch (read[i]) {
            case 'A': masks[0][i >> 6] |= bit; break;
            case 'C': masks[1][i >> 6] |= bit; break;
            case 'G': masks[2][i >> 6] |= bit; break;
            case 'T': masks[3][i >> 6] |= bit; break;
            default: break;
        }
    }
}

inline uint32_t scalar_window_search(const window_constant& constant, uint32_t limit, const char* text, size_t starts,
                                     size_t, size_t& at) {
    uint32_t best = limit + 1;
    for (size_t s = 0; s < starts && best > 0; ++s) {
        uint32_t found = 0;
        for (uint32_t care = constant.care; care != 0 && found < best; care &= care - 1) {
            const int i = __builtin_ctz(care);
            found += text[s + static_cast<size_t>(i)] != constant.letters[i];
        }
        if (found < best) {
            best = found;
            at = s;
        }
    }
    return best;
}

inline int64_t scalar_mask_copy(int64_t threshold, char* out, const char* seq, const char* qual, size_t length) {
    int64_t masked = 0;
    for (size_t i = 0; i < length; ++i) {
        bool low = static_cast<signed char>(qual[i]) < threshold;
        masked += low;
        out[i] = low || seq[i] == '.' ? 'N' : seq[i];
    }
    return masked;
}

inline int64_t scalar_count_below(int64_t floor, const char* qual, size_t length) {
    int64_t below = 0;
    for (size_t i = 0; i < length; ++i) below += static_cast<signed char>(qual[i]) < floor;
    return below;
}

inline void scalar_extremes(const char* qual, size_t length, unsigned char& lowest, unsigned char& highest) {
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(qual[i]);
        lowest = std::min(lowest, c);
        highest = std::max(highest, c);
    }
}

// ---------------------------------------------------------------------------
// Vector loops. Ops gives the vector type, its width in bytes, the level
// that takes texts shorter than that (narrower: another Ops, or
// plain_loops) and the operations on bytes: load, store, splat, zero, eq,
// lt (signed), sub, min and max (unsigned), bits (the lanes' top bits),
// sum (of the bytes), lowest and highest (of the lanes). Vectors combine
// with & | ~ directly.

struct plain_loops {};

// From lane_masks + 32 - width + n: a vector whose last n lanes are set.
alignas(32) constexpr char lane_masks[64] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                             0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

template <class Ops>
inline typename Ops::vec last_lanes(size_t n) {
    return Ops::load(lane_masks + 32 - Ops::width + n);
}

template <class Ops>
void vector_line_feed_bits(const char* p, size_t words, uint64_t* bits) {
    const typename Ops::vec line_feed = Ops::splat('\n');
    for (size_t w = 0; w < words; ++w, p += 64) {
        uint64_t b = 0;
        for (size_t k = 0; k < 64; k += Ops::width) b |= Ops::bits(Ops::eq(Ops::load(p + k), line_feed)) << k;
        bits[w] = b;
    }
}

template <class Ops>
[[gnu::always_inline]] inline void add_letter_bits(typename Ops::vec bytes, size_t at, uint64_t* const masks[4]) {
    const char letters[4] = {'A', 'C', 'G', 'T'};
    for (int c = 0; c < 4; ++c) masks[c][at >> 6] |= Ops::bits(Ops::eq(bytes, Ops::splat(letters[c]))) << (at & 63);
}

template <class Ops>
void vector_letter_masks(const char* read, size_t length, uint64_t* const masks[4]) {
    clear_masks(length, masks);
    size_t i = 0;
    for (; i + Ops::width <= length; i += Ops::width) add_letter_bits<Ops>(Ops::load(read + i), i, masks);
    if (i < length) {
        // The last letters, padded with zero bytes (no letter).
        alignas(32) char tail[Ops::width] = {};
        std::memcpy(tail, read + i, length - i);
        add_letter_bits<Ops>(Ops::load(tail), i, masks);
    }
}

// The lanes of text where it equals the constant's letters, for the first
// 32 / width vectors of them; past readable, zero bytes (no letter) are read.
template <class Ops>
[[gnu::always_inline]] inline uint64_t equal_lanes(const typename Ops::vec* letters, size_t vectors, const char* text,
                                                   size_t readable) {
    uint64_t same = 0;
    if (vectors * Ops::width <= readable) {
        for (size_t v = 0; v < vectors; ++v)
            same |= Ops::bits(Ops::eq(Ops::load(text + v * Ops::width), letters[v])) << (v * Ops::width);
        return same;
    }
    alignas(32) char padded[32] = {};
    std::memcpy(padded, text, std::min<size_t>(readable, sizeof padded));
    for (size_t v = 0; v < vectors; ++v)
        same |= Ops::bits(Ops::eq(Ops::load(padded + v * Ops::width), letters[v])) << (v * Ops::width);
    return same;
}

template <class Ops>
uint32_t vector_window_search(const window_constant& constant, uint32_t limit, const char* text, size_t starts,
                              size_t readable, size_t& at) {
    using narrower = typename Ops::narrower;
    // A constant that one narrower vector holds is compared with that.
    if constexpr (!std::is_same_v<narrower, plain_loops>) {
        if ((constant.care >> narrower::width) == 0)
            return vector_window_search<narrower>(constant, limit, text, starts, readable, at);
    }
    const size_t vectors = Ops::width >= 32 || (constant.care >> (Ops::width % 32)) == 0 ? 1 : 32 / Ops::width;
    typename Ops::vec letters[32 / Ops::width];
    for (size_t v = 0; v < vectors; ++v) letters[v] = Ops::load(constant.letters + v * Ops::width);
    uint32_t best = limit + 1;
    for (size_t s = 0; s < starts && best > 0; ++s) {
        const uint64_t same = equal_lanes<Ops>(letters, vectors, text + s, readable - s);
        const auto found = static_cast<uint32_t>(__builtin_popcountll(~same & constant.care));
        if (found < best) {
            best = found;
            at = s;
        }
    }
    return best;
}

// The mask of one vector of bases at `at`, written to out; returns the
// lanes below the limit.
template <class Ops>
[[gnu::always_inline]] inline typename Ops::vec mask_vector(typename Ops::vec limit, typename Ops::vec all_low, char* out,
                                                           const char* seq, const char* qual, size_t at) {
    using vec = typename Ops::vec;
    vec bases = Ops::load(seq + at);
    vec low = Ops::lt(Ops::load(qual + at), limit) | all_low;
    vec to_n = low | Ops::eq(bases, Ops::splat('.'));
    Ops::store(out + at, (to_n & Ops::splat('N')) | (~to_n & bases));
    return low;
}

template <class Ops>
int64_t vector_mask_copy(int64_t threshold, char* out, const char* seq, const char* qual, size_t length) {
    using vec = typename Ops::vec;
    using narrower = typename Ops::narrower;
    if (length < Ops::width) {
        if constexpr (std::is_same_v<narrower, plain_loops>) return scalar_mask_copy(threshold, out, seq, qual, length);
        else return vector_mask_copy<narrower>(threshold, out, seq, qual, length);
    }
    // A threshold beyond the signed byte range masks everything (above) or
    // nothing (below).
    const vec all_low = Ops::splat(threshold > 127 ? -1 : 0);
    const vec limit = Ops::splat(static_cast<char>(std::clamp<int64_t>(threshold, -128, 127)));
    vec tally = Ops::zero();  // per lane: masked bases, up to 255 (low lanes are -1)
    int64_t masked = 0;
    int rounds = 0;
    size_t i = 0;
    for (; i + Ops::width <= length; i += Ops::width) {
        tally = Ops::sub(tally, mask_vector<Ops>(limit, all_low, out, seq, qual, i));
        if (++rounds == 255) {
            masked += Ops::sum(tally);
            tally = Ops::zero();
            rounds = 0;
        }
    }
    if (i < length) {
        // The last vector, overlapping bases already done: they come out the
        // same again, and only the new lanes count.
        vec low = mask_vector<Ops>(limit, all_low, out, seq, qual, length - Ops::width);
        tally = Ops::sub(tally, low & last_lanes<Ops>(length - i));
    }
    return masked + Ops::sum(tally);
}

template <class Ops>
int64_t vector_count_below(int64_t floor, const char* qual, size_t length) {
    using vec = typename Ops::vec;
    using narrower = typename Ops::narrower;
    if (length < Ops::width) {
        if constexpr (std::is_same_v<narrower, plain_loops>) return scalar_count_below(floor, qual, length);
        else return vector_count_below<narrower>(floor, qual, length);
    }
    // Floors beyond the signed byte range: none or all.
    if (floor <= -128) return 0;
    if (floor > 127) return static_cast<int64_t>(length);
    const vec limit = Ops::splat(static_cast<char>(floor));
    vec tally = Ops::zero();
    int64_t below = 0;
    int rounds = 0;
    size_t i = 0;
    for (; i + Ops::width <= length; i += Ops::width) {
        tally = Ops::sub(tally, Ops::lt(Ops::load(qual + i), limit));
        if (++rounds == 255) {
            below += Ops::sum(tally);
            tally = Ops::zero();
            rounds = 0;
        }
    }
    if (i < length) tally = Ops::sub(tally, Ops::lt(Ops::load(qual + length - Ops::width), limit) & last_lanes<Ops>(length - i));
    return below + Ops::sum(tally);
}

template <class Ops>
void vector_extremes(const char* qual, size_t length, unsigned char& lowest, unsigned char& highest) {
    using vec = typename Ops::vec;
    using narrower = typename Ops::narrower;
    if (length < Ops::width) {
        if constexpr (std::is_same_v<narrower, plain_loops>) scalar_extremes(qual, length, lowest, highest);
        else vector_extremes<narrower>(qual, length, lowest, highest);
        return;
    }
    // The last vector may overlap bytes already seen, which changes no extreme.
    vec low = Ops::splat(static_cast<char>(lowest));
    vec high = Ops::splat(static_cast<char>(highest));
    size_t i = 0;
    for (; i + Ops::width <= length; i += Ops::width) {
        vec bytes = Ops::load(qual + i);
        low = Ops::min(low, bytes);
        high = Ops::max(high, bytes);
    }
    if (i < length) {
        vec bytes = Ops::load(qual + length - Ops::width);
        low = Ops::min(low, bytes);
        high = Ops::max(high, bytes);
    }
    lowest = Ops::lowest(low);
    highest = Ops::highest(high);
}

#ifdef MORVANE_X86_VECTORS
struct sse2_ops {
    using vec = __m128i;
    using narrower = plain_loops;
    static constexpr size_t width = 16;
    static vec load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(char* p, vec v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static vec splat(char c) { return _mm_set1_epi8(c); }
    static vec zero() { return _mm_setzero_si128(); }
    static vec eq(vec a, vec b) { return _mm_cmpeq_epi8(a, b); }
    static vec lt(vec a, vec b) { return _mm_cmplt_epi8(a, b); }
    static vec sub(vec a, vec b) { return _mm_sub_epi8(a, b); }
    static vec min(vec a, vec b) { return _mm_min_epu8(a, b); }
    static vec max(vec a, vec b) { return _mm_max_epu8(a, b); }
    static uint64_t bits(vec v) { return static_cast<uint16_t>(_mm_movemask_epi8(v)); }
    static int64_t sum(vec v) {
        vec sums = _mm_sad_epu8(v, zero());
        return _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
    // Folded in halves down to the first byte.
    static unsigned char lowest(vec v) {
        v = _mm_min_epu8(v, _mm_srli_si128(v, 8));
        v = _mm_min_epu8(v, _mm_srli_si128(v, 4));
        v = _mm_min_epu8(v, _mm_srli_si128(v, 2));
        v = _mm_min_epu8(v, _mm_srli_si128(v, 1));
        return static_cast<unsigned char>(_mm_cvtsi128_si32(v));
    }
    static unsigned char highest(vec v) {
        v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
        v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
        v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
        v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
        return static_cast<unsigned char>(_mm_cvtsi128_si32(v));
    }
};
#endif

}  // namespace
}  // namespace count
