// The bodies of the alignment kernels, written once with vector extensions
// and plain loops; each instruction level's file compiles them inside its own
// target functions. Everything here has internal linkage, so the levels'
// copies never meet at link time.
#pragma once

#include <algorithm>
#include <cstring>

#include "align/kernels.h"

namespace {

using namespace kernel_layout;

// Bit-parallel longest common subsequence of every barcode of a table with
// the core (the barcode's letter masks are the pattern, the core's letters
// the text; a zero bit in the final state is one letter of the subsequence),
// then the score bound 6 * lcs - max(length1, length2): an alignment with M
// matches, X mismatches and the rest gaps scores 7M + X - (length1 + length2),
// and X is at most min(length1, length2) - M, M at most the lcs.
template <typename Lane, int Bytes, size_t Blocks>
inline __attribute__((always_inline)) void bound_kernel(const Lane* masks, const Lane* length_masks, const int32_t* positions,
                                                        size_t lanes_total, const uint8_t* rows, size_t n, int* bounds) {
    typedef Lane vec __attribute__((vector_size(Bytes)));
    constexpr size_t block_lanes = block_bytes / sizeof(Lane);
    constexpr size_t vec_lanes = Bytes / sizeof(Lane);
    constexpr size_t parts = block_bytes / Bytes;
    constexpr size_t chains = Blocks * parts;
    constexpr size_t block_stride = letter_rows * block_lanes;
    Lane state[chains * vec_lanes];
    for (size_t first = 0; first < lanes_total; first += Blocks * block_lanes) {
        const Lane* base = masks + (first / block_lanes) * block_stride;
        vec v[chains];
        for (size_t c = 0; c < chains; ++c) v[c] = ~vec{};
        for (size_t i = 0; i < n; ++i) {
            const Lane* row = base + rows[i] * block_lanes;
#pragma GCC unroll 8
            for (size_t c = 0; c < chains; ++c) {
                vec x;
                std::memcpy(&x, row + (c / parts) * block_stride + (c % parts) * vec_lanes, Bytes);
                vec u = v[c] & x;
                v[c] = (v[c] + u) | (v[c] - u);
            }
        }
        for (size_t c = 0; c < chains; ++c) std::memcpy(state + c * vec_lanes, &v[c], Bytes);
        for (size_t c = 0; c < chains; ++c) {
            for (size_t j = 0; j < vec_lanes; ++j) {
                size_t lane = first + (c / parts) * block_lanes + (c % parts) * vec_lanes + j;
                int32_t position = positions[lane];
                if (position < 0) continue;
                Lane common = ~state[c * vec_lanes + j] & length_masks[lane];
                int lcs = sizeof(Lane) == 4 ? __builtin_popcount(static_cast<uint32_t>(common))
                                            : __builtin_popcountll(static_cast<uint64_t>(common));
                int length = std::max(__builtin_popcountll(static_cast<uint64_t>(length_masks[lane])), static_cast<int>(n));
                bounds[position] = 6 * lcs - length;
            }
        }
    }
}

// Needleman-Wunsch scores of 16 barcodes at once, one per 16-bit lane: the
// rows follow the barcodes' letters (different in every lane), the columns
// the core's letters (the same in all lanes). The last column of every row is
// kept, since each lane's score sits in the row of its own length.
template <int Bytes>
inline __attribute__((always_inline)) void score_kernel(const int16_t* letters, size_t m, const int16_t* core, size_t n,
                                                        int16_t* cells, int16_t* ends) {
    typedef int16_t vec __attribute__((vector_size(Bytes)));
    constexpr size_t vec_lanes = Bytes / 2;
    for (size_t part = 0; part < dp_lanes; part += vec_lanes) {
        for (size_t x = 0; x <= n; ++x) {
            vec start = vec{} - static_cast<int16_t>(x);
            std::memcpy(cells + x * vec_lanes, &start, Bytes);
        }
        std::memcpy(ends + part, cells + n * vec_lanes, Bytes);
        for (size_t y = 1; y <= m; ++y) {
            vec b;
            std::memcpy(&b, letters + (y - 1) * dp_lanes + part, Bytes);
            vec diag;
            std::memcpy(&diag, cells, Bytes);
            vec left = vec{} - static_cast<int16_t>(y);
            std::memcpy(cells, &left, Bytes);
            for (size_t x = 1; x <= n; ++x) {
                vec up;
                std::memcpy(&up, cells + x * vec_lanes, Bytes);
                vec c = vec{} + core[x - 1];
                vec sub = ((b == c) & 6) - 1;
                vec d = diag + sub;
                vec g = (up > left ? up : left) - 1;
                vec h = d > g ? d : g;
                diag = up;
                left = h;
                std::memcpy(cells + x * vec_lanes, &h, Bytes);
            }
            std::memcpy(ends + y * dp_lanes + part, &left, Bytes);
        }
    }
}

// Carry-save adder: a + b + c = 2 * high + low, bit by bit.
template <class V>
inline __attribute__((always_inline)) void carry_save(V& high, V& low, const V& a, const V& b, const V& c) {
    V u = a ^ b;
    high = (a & b) | (u & c);
    low = u ^ c;
}

// Adds carry (of weight 2^j) into the planes from plane j up.
template <class V, int Planes>
inline __attribute__((always_inline)) void ripple(V (&p)[Planes], int j, const V& added) {
    V carry = added;
#pragma GCC unroll 8
    for (int i = 0; i < Planes; ++i) {
        if (i < j) continue;
        V next = p[i] & carry;
        p[i] ^= carry;
        carry = next;
    }
}

// Eight rows (words from k on) into the ones, twos and fours of p; what
// carries out of the fours comes back in eights.
template <class V, int Planes>
inline __attribute__((always_inline)) void add_eight_rows(V (&p)[Planes], const uint64_t* const* in, size_t k, V& eights) {
    V a, b, twos_a, twos_b, fours_a, fours_b;
    std::memcpy(&a, in[0] + k, sizeof a), std::memcpy(&b, in[1] + k, sizeof b), carry_save(twos_a, p[0], p[0], a, b);
    std::memcpy(&a, in[2] + k, sizeof a), std::memcpy(&b, in[3] + k, sizeof b), carry_save(twos_b, p[0], p[0], a, b);
    carry_save(fours_a, p[1], p[1], twos_a, twos_b);
    std::memcpy(&a, in[4] + k, sizeof a), std::memcpy(&b, in[5] + k, sizeof b), carry_save(twos_a, p[0], p[0], a, b);
    std::memcpy(&a, in[6] + k, sizeof a), std::memcpy(&b, in[7] + k, sizeof b), carry_save(twos_b, p[0], p[0], a, b);
    carry_save(fours_b, p[1], p[1], twos_a, twos_b);
    carry_save(eights, p[2], p[2], fours_a, fours_b);
}

// Adds the rows [from, to) (words at .. at + the vector) into the planes p
// through fixed trees of carry-save adders (about one adder per row): sixteen
// rows at a time, then eight, four and two.
template <class V, int Planes, int Bytes>
inline __attribute__((always_inline)) void add_rows(V (&p)[Planes], const uint64_t* const* rows, size_t from, size_t to, size_t at) {
    size_t r = from;
    if constexpr (Planes >= 5) {
        // p[0..3] are the ones, twos, fours and eights of the tree.
        for (; r + 16 <= to; r += 16) {
            V eights_a, eights_b, sixteens;
            add_eight_rows(p, rows + r, at, eights_a);
            add_eight_rows(p, rows + r + 8, at, eights_b);
            carry_save(sixteens, p[3], p[3], eights_a, eights_b);
            ripple(p, 4, sixteens);
        }
    }
    if constexpr (Planes >= 4) {
        if (r + 8 <= to) {
            V eights;
            add_eight_rows(p, rows + r, at, eights);
            ripple(p, 3, eights);
            r += 8;
        }
    }
    if constexpr (Planes >= 3) {
        if (r + 4 <= to) {
            V a, b, twos_a, twos_b, fours;
            std::memcpy(&a, rows[r] + at, Bytes), std::memcpy(&b, rows[r + 1] + at, Bytes), carry_save(twos_a, p[0], p[0], a, b);
            std::memcpy(&a, rows[r + 2] + at, Bytes), std::memcpy(&b, rows[r + 3] + at, Bytes), carry_save(twos_b, p[0], p[0], a, b);
            carry_save(fours, p[1], p[1], twos_a, twos_b);
            ripple(p, 2, fours);
            r += 4;
        }
    }
    for (; r + 1 < to; r += 2) {
        V a, b, twos;
        std::memcpy(&a, rows[r] + at, Bytes), std::memcpy(&b, rows[r + 1] + at, Bytes);
        carry_save(twos, p[0], p[0], a, b);
        ripple(p, 1, twos);
    }
    if (r < to) {
        V a;
        std::memcpy(&a, rows[r] + at, Bytes);
        ripple(p, 0, a);
    }
}

// The lanes of the count planes p that reach v (v < 2^Planes): count >= v
// exactly when count + (2^Planes - v) carries out of the top plane, and only
// the carry is needed, one operation a plane.
template <class V, int Planes>
inline __attribute__((always_inline)) void at_least(const V (&p)[Planes], unsigned v, V& carry) {
    const unsigned added = (1u << Planes) - v;
    carry = V{};
#pragma GCC unroll 8
    for (int j = 0; j < Planes; ++j) carry = (added >> j & 1) != 0 ? (p[j] | carry) : (p[j] & carry);
}

// Adds the words [first, first + len) of the bitmaps rows[0 .. nrows) (len a
// multiple of vector_words and at most chunk_blocks) in bit planes, 64 cores
// per word: masks[k] gets the cores of word k whose count is at least v (v at
// least 1), and
// bit k of the result is set when there is one; planes[j * chunk_blocks + k]
// gets bit j of the counts of word k wherever the vector of words holding k
// has a marked core. One vector of words at a time goes through the rows
// with its planes in registers.
template <int Bytes, int Planes>
inline __attribute__((always_inline)) uint64_t chunk_kernel_planes(const uint64_t* const* rows, size_t nrows, size_t first, size_t len,
                                                                   unsigned v, uint64_t* masks, uint64_t* planes) {
    if (v > (1u << Planes) - 1) return 0;
    uint64_t any = 0;
    typedef uint64_t vec __attribute__((vector_size(Bytes)));
    constexpr size_t lanes = Bytes / 8;
    for (size_t k = 0; k < len; k += lanes) {
        vec p[Planes];
#pragma GCC unroll 8
        for (int j = 0; j < Planes; ++j) p[j] = vec{};
        const size_t at = first + k;
        size_t r = 0;
        // An odd row starts the ones.
        if (nrows % 2 == 1) std::memcpy(&p[0], rows[r++] + at, Bytes);
        add_rows<vec, Planes, Bytes>(p, rows, r, nrows, at);
        vec reach;
        at_least<vec, Planes>(p, v, reach);
        uint64_t lane[lanes], lanes_set = 0;
        std::memcpy(lane, &reach, Bytes);
#pragma GCC unroll 4
        for (size_t l = 0; l < lanes; ++l) lanes_set |= static_cast<uint64_t>(lane[l] != 0) << l;
        if (lanes_set == 0) continue;
        any |= lanes_set << k;
        std::memcpy(masks + k, &reach, Bytes);
#pragma GCC unroll 8
        for (int j = 0; j < Planes; ++j) std::memcpy(planes + static_cast<size_t>(j) * chunk_blocks + k, &p[j], Bytes);
    }
    return any;
}

template <int Bytes>
inline __attribute__((always_inline)) uint64_t chunk_kernel(const uint64_t* const* rows, size_t nrows, size_t first, size_t len,
                                                            int used_planes, unsigned v, uint64_t* masks, uint64_t* planes) {
    switch (used_planes) {
        case 1: return chunk_kernel_planes<Bytes, 1>(rows, nrows, first, len, v, masks, planes);
        case 2: return chunk_kernel_planes<Bytes, 2>(rows, nrows, first, len, v, masks, planes);
        case 3: return chunk_kernel_planes<Bytes, 3>(rows, nrows, first, len, v, masks, planes);
        case 4: return chunk_kernel_planes<Bytes, 4>(rows, nrows, first, len, v, masks, planes);
        case 5: return chunk_kernel_planes<Bytes, 5>(rows, nrows, first, len, v, masks, planes);
        case 6: return chunk_kernel_planes<Bytes, 6>(rows, nrows, first, len, v, masks, planes);
        case 7: return chunk_kernel_planes<Bytes, 7>(rows, nrows, first, len, v, masks, planes);
        default: return chunk_kernel_planes<Bytes, 8>(rows, nrows, first, len, v, masks, planes);
    }
}

template <int (*Popcount)(uint64_t)>
inline __attribute__((always_inline)) void short_kernel(const uint64_t* core_words, const uint32_t* item_core, const uint64_t* seq_words,
                                                        const uint32_t* item_seq, size_t n, int* counts) {
    constexpr size_t ahead = 16;
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n) __builtin_prefetch(core_words + size_t{item_core[i + ahead]} * short_words);
        const uint64_t* c = core_words + size_t{item_core[i]} * short_words;
        const uint64_t* s = seq_words + size_t{item_seq[i]} * short_words;
        int count = 0;
#pragma GCC unroll 4
        for (size_t k = 0; k < short_words; ++k) count += Popcount(c[k] & s[k]);
        counts[i] = count;
    }
}

}  // namespace
