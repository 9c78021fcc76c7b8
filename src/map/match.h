// Matching clusters to barcodes: word look-ups with up to two letters
// changed, then alignment.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "map/tables.h"

enum match_category : uint8_t {
    MATCH_NONE = 0,
    MATCH_CONTAIN = 1,
    MATCH_ALIGN = 2,
    MATCH_ALIGNMULTIPLE = 3,
    MATCH_MM1 = 4,
    MATCH_MM2 = 5,
};

// By cluster position.
struct match_state {
    std::vector<int32_t> match;  // the barcode position, -1 for none; the first one for several
    std::vector<uint8_t> match_type;
    // Every best barcode of an alignment, in ascending order of sequence.
    std::vector<std::vector<int32_t>> match_all;
    std::vector<std::string> match_alignment;

    explicit match_state(size_t clusters)
        : match(clusters, -1), match_type(clusters, MATCH_NONE), match_all(clusters), match_alignment(clusters) {}
};

// Contain, one-mismatch and two-mismatch look-ups of every core in the word
// index, with the length test against the first barcode.
void map_match_by_mismatches(const barcode_table& barcodes, const word_index& words, const cluster_table& clusters,
                             match_state& state);

// Whether the word phase would look up any cluster still unmatched.
bool map_word_phase_needed(const barcode_table& barcodes, const cluster_table& clusters, const match_state& state);

// The barcode position that a core of word_index::nmer letters finds:
// unchanged, else with one letter changed, else with two; -1 if none.
// category receives the kind of match.
int32_t map_find_near_word(const word_index& words, const std::string& core, match_category& category);
// The same by trying every change in turn (any core, any characters).
int32_t map_find_near_word_by_changes(const word_index& words, const std::string& core, match_category& category);

struct best_barcodes;
// A search for the best barcodes of a core, in place of the fast one; made
// once per run from the barcodes and the top n (0: all).
using map_alignment_search = std::function<void(std::string_view core, best_barcodes& best)>;
using map_search_maker = std::function<map_alignment_search(const std::vector<std::string>& sequences, int top_n)>;

struct alignment_settings {
    int align_top_n = 0;
    int64_t align_count_minimum = 0;
    // Empty: the fast search.
    map_search_maker search;
    // Use 256-bit vectors where the processor has them.
    bool wide_vectors = true;
};

// Aligns every cluster still unmatched whose total reaches the minimum, and
// writes the announcement and progress lines.
void map_align_against_barcode_sequences(const barcode_table& barcodes, const cluster_table& clusters,
                                         const alignment_settings& settings, match_state& state);
