// The vector kernels of the alignment searches of map and cluster, one set
// per instruction level, chosen at run time in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "cpu/isa.h"

namespace kernel_layout {
// Letter masks of barcodes come in rows for A, C, G, T, N and a row of all
// ones for any other character, in blocks of 32 bytes of lanes, processed
// four blocks at a time (tables are padded to that).
constexpr size_t letter_rows = 6;
constexpr size_t block_bytes = 32;
constexpr size_t blocks_at_once = 4;
// Scores of this many barcodes are worked out at once, one per 16-bit lane.
constexpr size_t dp_lanes = 16;
// 16-bit scores cannot overflow while the two lengths together stay below this.
constexpr size_t narrow_length_limit = 6000;
// Shared-word counts are added for this many words of 64 cores at a time
// (one bit of a 64-bit summary each), in at most this many bit planes
// (counts below 256).
// Bitmaps are padded to whole vectors of vector_words words.
constexpr size_t chunk_blocks = 64;
constexpr size_t vector_words = 4;
constexpr int max_planes = 8;
// Short word bitmaps of single cores: this many 64-bit words.
constexpr size_t short_words = 4;
}  // namespace kernel_layout

struct alignment_kernels {
    const char* name;
    isa_level level;
    // Upper bounds on the alignment scores of the barcodes of one length
    // class (up to 32 or up to 64 letters) against a text given as letter
    // rows: 6 * longest common subsequence - the longer length.
    void (*bounds_short)(const uint32_t* masks, const uint32_t* length_masks, const int32_t* positions, size_t lanes,
                         const uint8_t* rows, size_t n, int* bounds);
    void (*bounds_medium)(const uint64_t* masks, const uint64_t* length_masks, const int32_t* positions, size_t lanes,
                          const uint8_t* rows, size_t n, int* bounds);
    // Scores of dp_lanes barcodes (letters: m rows of dp_lanes) against the
    // core; ends[y * dp_lanes + l] is lane l's score after y of its letters.
    void (*scores)(const int16_t* letters, size_t m, const int16_t* core, size_t n, int16_t* cells, int16_t* ends);
    // Adds bitmaps of cores (words first .. first + len), keeps the counts in bit
    // planes (used_planes rows of chunk_blocks words) and marks the cores
    // whose count is at least v; bit k of the result tells whether word k
    // has one. See chunk_kernel_planes.
    uint64_t (*chunk_counts)(const uint64_t* const* rows, size_t nrows, size_t first, size_t len, int used_planes, unsigned v,
                             uint64_t* masks, uint64_t* planes);
    // counts[i] = the number of bits that the short bitmaps (short_words
    // words each) of core item_core[i] and sequence item_seq[i] share.
    void (*short_counts)(const uint64_t* core_words, const uint32_t* item_core, const uint64_t* seq_words, const uint32_t* item_seq,
                         size_t n, int* counts);
};

// Set bits of x without a popcount instruction (which the baseline level
// lacks, and the compiler would call a library function for): the bits of
// each byte added up in place.
inline int popcount_bytes(uint64_t x) {
    x -= x >> 1 & 0x5555555555555555;
    x = (x & 0x3333333333333333) + (x >> 2 & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<int>(x * 0x0101010101010101 >> 56);
}

// The kernels of a level: 128-bit vectors are the narrowest form (plain
// code where the compiler has no vectors), so the scalar level gets them too.
const alignment_kernels& alignment_kernels_for(isa_level level);
