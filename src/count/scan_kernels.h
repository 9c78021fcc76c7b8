// The byte scans of count (line feeds of a block, letter masks of a read,
// quality masking and tallies), one set per instruction level, chosen at
// run time in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu/isa.h"

namespace count {

// A constant of a layout as the window search compares it: up to 32
// letters, zero past them, and the positions that must match (not N).
struct window_constant {
    alignas(32) char letters[32];
    uint32_t care;  // bit i: letters[i] must match
};

struct scan_kernels {
    const char* name;
    isa_level level;
    // bits[w] gets bit i set where p[64 * w + i] is a line feed, for words
    // whole words of text.
    void (*line_feed_bits)(const char* p, size_t words, uint64_t* bits);
    // masks[c] (A, C, G, T) gets bit i set where read[i] is that letter; all
    // of its first length / 64 + 2 words are written, the ones past the
    // read zero.
    void (*letter_masks)(const char* read, size_t length, uint64_t* const masks[4]);
    // out[i] = 'N' where qual[i], a signed byte, is below threshold or seq[i]
    // is '.', else seq[i] (out may be seq); returns the bases below it.
    int64_t (*mask_copy)(int64_t threshold, char* out, const char* seq, const char* qual, size_t length);
    // The quality bytes (signed) below floor.
    int64_t (*count_below)(int64_t floor, const char* qual, size_t length);
    // Lowers lowest and raises highest to the extremes of the bytes (unsigned).
    void (*extremes)(const char* qual, size_t length, unsigned char& lowest, unsigned char& highest);
    // The start in [0, starts) where the constant differs from text + start
    // in the fewest letters it cares for, the first of equals, if that is
    // at most limit (then at gets it). Returns those mismatches, or a number
    // above limit. readable bytes from text on may be read; the constant at
    // every start is within them.
    uint32_t (*window_search)(const window_constant& constant, uint32_t limit, const char* text, size_t starts,
                              size_t readable, size_t& at);
};

const scan_kernels& scan_kernels_for(isa_level level);
// The widest this processor runs.
const scan_kernels& scan_kernels_best();

}  // namespace count
