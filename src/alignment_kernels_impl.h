// The bodies of the alignment kernels, written once with vector extensions
// and plain loops; each instruction level's file compiles them inside its own
// target functions. Everything here has internal linkage, so the levels'
// copies never meet at link time.
#pragma once

#include <algorithm>
#include <cstring>

#include "alignment_kernels.h"

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

// Whether the bit-sliced counts (plane j holds bit j) of one word of 64
// cores are at least v: the cores as a mask.
inline __attribute__((always_inline)) uint64_t sliced_at_least(const uint64_t* p, size_t stride, unsigned v, int used_planes) {
    uint64_t greater = 0, equal = ~uint64_t{0};
    for (int j = used_planes; j-- > 0;) {
        uint64_t plane = p[static_cast<size_t>(j) * stride];
        uint64_t bit = 0 - static_cast<uint64_t>(v >> j & 1);
        greater |= equal & plane & ~bit;
        equal &= ~(plane ^ bit);
    }
    return greater | equal;
}

// Adds the bitmaps rows[0 .. nrows) into the bit planes (plane j, block b
// at planes[j * blocks + b]), 64 cores per word. Rows go in by pairs through
// carry-save adders: a carry waits at its weight for a second one, and only
// then are both added, which costs about a third of adding every row through
// all planes. Works through the blocks in chunks that stay in the
// first-level cache; the inner loops run over the blocks of a chunk, so they
// become vector code. Also counts the cores whose count reaches
// first_guess, first_guess + 1, ... (guesses of them).
inline __attribute__((always_inline)) void add_rows_kernel(const uint64_t* const* rows, size_t nrows, size_t blocks,
                                                           int used_planes, uint64_t* planes, unsigned first_guess,
                                                           size_t reached[guesses]) {
    for (int g = 0; g < guesses; ++g) reached[g] = 0;
    constexpr size_t chunk = 64;
    for (size_t b0 = 0; b0 < blocks; b0 += chunk) {
        const size_t len = std::min(chunk, blocks - b0);
        uint64_t p[8][chunk] = {};
        uint64_t waiting[8][chunk];
        bool has_waiting[8] = {};
        uint64_t carry[chunk];
        // carry (weight 2^j) into plane j and up, bit by bit.
        auto ripple = [&](int j) __attribute__((always_inline)) {
            for (; j < used_planes; ++j) {
                for (size_t k = 0; k < len; ++k) {
                    uint64_t next = p[j][k] & carry[k];
                    p[j][k] ^= carry[k];
                    carry[k] = next;
                }
            }
        };
        // p[j] + a + b: the sum stays in p[j], the carry goes to carry.
        auto add3 = [&](int j, const uint64_t* a, const uint64_t* b) __attribute__((always_inline)) {
            for (size_t k = 0; k < len; ++k) {
                uint64_t u = p[j][k] ^ a[k];
                carry[k] = (p[j][k] & a[k]) | (u & b[k]);
                p[j][k] = u ^ b[k];
            }
        };
        size_t r = 0;
        for (; r + 1 < nrows; r += 2) {
            add3(0, rows[r] + b0, rows[r + 1] + b0);
            for (int j = 1; j < used_planes; ++j) {
                if (!has_waiting[j]) {
                    for (size_t k = 0; k < len; ++k) waiting[j][k] = carry[k];
                    has_waiting[j] = true;
                    break;
                }
                uint64_t first[chunk];
                for (size_t k = 0; k < len; ++k) first[k] = carry[k];
                add3(j, waiting[j], first);
                has_waiting[j] = false;
            }
        }
        if (r < nrows) {
            for (size_t k = 0; k < len; ++k) carry[k] = rows[r][b0 + k];
            ripple(0);
        }
        for (int j = 1; j < used_planes; ++j) {
            if (!has_waiting[j]) continue;
            for (size_t k = 0; k < len; ++k) carry[k] = waiting[j][k];
            ripple(j);
        }
        for (int j = 0; j < used_planes; ++j)
            for (size_t k = 0; k < len; ++k) planes[static_cast<size_t>(j) * blocks + b0 + k] = p[j][k];
        // While the chunk is in cache: how many cores reach each guess.
        for (int g = 0; g < guesses; ++g) {
            const unsigned v = first_guess + static_cast<unsigned>(g);
            if (v >> used_planes != 0) continue;
            size_t n = 0;
            for (size_t k = 0; k < len; ++k) n += static_cast<size_t>(__builtin_popcountll(sliced_at_least(&p[0][k], chunk, v, used_planes)));
            reached[g] += n;
        }
    }
}

inline __attribute__((always_inline)) std::pair<size_t, size_t> count_at_least_kernel(const uint64_t* planes, size_t blocks,
                                                                                     unsigned v, int used_planes) {
    size_t n = 0, above = 0;
    for (size_t b = 0; b < blocks; ++b) {
        n += static_cast<size_t>(__builtin_popcountll(sliced_at_least(planes + b, blocks, v, used_planes)));
        above += static_cast<size_t>(__builtin_popcountll(sliced_at_least(planes + b, blocks, v + 1, used_planes)));
    }
    if (v >> used_planes != 0) n = 0;
    if ((v + 1) >> used_planes != 0) above = 0;
    return {n, above};
}

}  // namespace
