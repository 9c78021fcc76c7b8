// Finding the barcodes that align best with a cluster's core.
//
// Every alignment here scores match 5, mismatch -1 and gap -1, the barcode
// being the first sequence and the core the second. The result of a search is
// the set of barcodes whose score equals the highest score reached, and only
// a score of at least -999999 counts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "align/alignment.h"
#include "align/words.h"

struct alignment_kernels;

constexpr int lowest_counted_score = -999999;

struct best_barcodes {
    int score = lowest_counted_score;
    std::vector<int32_t> positions;  // ascending
};

// Finds the best barcodes fast: a bound from letter counts alone rules most
// barcodes out, an upper bound on each remaining barcode's score from its
// longest common subsequence with the core (bit-parallel, many barcodes per
// vector) most of the rest, and what is left is scored exactly, also many per
// vector.
class barcode_aligner {
public:
    // allow_wide: use 256-bit vectors where the processor has them.
    explicit barcode_aligner(const std::vector<std::string>& sequences, bool allow_wide = true);

    // The best of all barcodes.
    void best_of_all(std::string_view core, best_barcodes& best);
    // The best of the given barcodes (distinct positions).
    void best_of(std::string_view core, const std::vector<int32_t>& candidates, best_barcodes& best);

    // Exact scores of the given barcodes against core, into scores (same order).
    void score(std::string_view core, const std::vector<int32_t>& candidates, std::vector<int>& scores);

private:
    void count_bounds(std::string_view core);
    void compute_bounds(const std::vector<int32_t>& subset);
    void best_of_subset(const std::vector<int32_t>& subset, int floor, best_barcodes& best);
    void take_best(const std::vector<int32_t>& candidates, const std::vector<int>& scores, best_barcodes& best);

    const std::vector<std::string>& sequences_;
    const alignment_kernels* kernels_;
    // Barcodes of up to 32 and of up to 64 letters, as letter masks in groups
    // of 32 bytes; longer ones get no bound.
    std::vector<int32_t> short_positions_, medium_positions_, long_positions_;
    std::vector<uint32_t> short_masks_, short_length_masks_;
    std::vector<uint64_t> medium_masks_, medium_length_masks_;
    std::vector<int> bounds_;  // by barcode position
    // Each barcode's lane in its length class, its length, and its letters
    // counted by mask row (one row of all barcodes per mask row).
    std::vector<int32_t> lane_of_, lengths_;
    std::vector<int32_t> letter_counts_;
    std::vector<int> count_bounds_;  // by barcode position
    std::string_view core_;
    std::vector<uint8_t> core_rows_;
    std::vector<int32_t> subset_, gathered_positions_;
    std::vector<uint32_t> gathered_short_masks_, gathered_short_length_masks_;
    std::vector<uint64_t> gathered_medium_masks_, gathered_medium_length_masks_;
    // Scratch space.
    std::vector<int32_t> candidates_;
    std::vector<int> scores_;
    std::vector<int16_t> letters_, rows_, ends_, core_letters_;
};

// Ranks barcodes by the number of 4-letter words they share with a core.
class shared_word_ranking {
public:
    explicit shared_word_ranking(const std::vector<std::string>& sequences);

    // The n barcodes sharing the most words with core (counting each word of
    // the core once per place it occurs, each barcode once per word it holds),
    // ties going to the lower position; only barcodes sharing a word at all.
    void top(std::string_view core, int n, std::vector<int32_t>& candidates);

private:
    words::word_ranking ranking_;
    std::vector<int> words_;
    std::vector<words::ranked> ranked_;
};
