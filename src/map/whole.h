// Whole-barcode matching: a core against the barcodes of its own length,
// letter for letter, with up to two substitutions.
//
// Only A, C, G and T ever agree: an N or any other character, in the core or
// in the barcode, counts as a substitution at its place. A barcode with more
// than two such characters can therefore never be matched this way.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "count/counter.h"
#include "map/match.h"
#include "map/tables.h"

struct alignment_kernels;

// The best whole match of a core: the barcode and its substitutions, or
// position -1 (no barcode of the core's length within two substitutions, or
// two or more with the fewest).
struct whole_match {
    int32_t position = -1;
    int substitutions = 0;
};

// Barcodes indexed by three parts of each sequence (two substitutions leave
// one part intact), so a core is compared only with the barcodes of its length
// that agree with it on a whole part.
class whole_index {
public:
    static constexpr int max_substitutions = 2;

    explicit whole_index(const ordered_texts& sequences);

    whole_match find(std::string_view core) const;

    // A barcode as the table lists it, with what its check needs at hand.
    struct entry {
        int32_t position;
        uint32_t length;
        uint32_t first_block;  // into blocks_
    };
    // One core on its way through a search, read once: the keys of its
    // parts, its letters packed, then its candidates.
    struct probe {
        uint64_t keys[3];
        bool intact[3];  // the part holds only A, C, G and T
        bool searchable;  // at most two other characters
        size_t length;
        std::vector<uint64_t> blocks;
        std::vector<entry> candidates;
    };
    // find in steps, for searches of many cores in a row: start reads the
    // core and asks the memory for its table slots, gather (a few cores
    // later) reads them and asks for the candidates' letters, best (again
    // later) compares.
    void start(std::string_view core, probe& p) const;
    // The barcodes of the core's length that agree with it on a whole part,
    // each once, by position.
    void gather(probe& p) const;
    whole_match best(const probe& p) const;

    // Barcodes that no core can match (more than two letters other than A,
    // C, G and T).
    size_t unmatchable() const { return unmatchable_; }

private:
    // One part's letters: the first barcode that has them, and the rest in
    // more_.
    struct bucket {
        uint64_t key;
        entry first;
        uint32_t more_start, more_end;
        uint32_t used;  // 0 in a free slot
    };
    struct part {
        size_t begin, end;
    };
    static part part_of(size_t length, int k) { return {length * k / 3, length * (k + 1) / 3}; }
    // The keys of the three parts of a sequence, each part marked intact
    // unless it holds a character other than A, C, G and T; packs the
    // letters onto blocks, if given. Returns the number of other characters.
    static size_t read_sequence(std::string_view sequence, uint64_t keys[3], bool intact[3],
                                std::vector<uint64_t>* blocks);
    const bucket* lookup(uint64_t key) const;

    const alignment_kernels& kernels_;
    // One-hot letters (4 bits each, none for other characters), 64 letters
    // per block of kernel_layout::short_words words.
    std::vector<uint64_t> blocks_;
    // Open addressing, on 2 MB pages where the system allows: the slots are
    // read at random (hence not containers/open_table, whose slots live in a
    // plain vector).
    count::table_memory table_memory_;
    bucket* table_ = nullptr;
    size_t table_mask_ = 0;
    std::vector<entry> more_;
    size_t unmatchable_ = 0;
    // Scratch of one comparison.
    mutable std::vector<uint32_t> item_core_, item_seq_;
    mutable std::vector<int> shared_;
};

// Matches every cluster against the barcodes of its core's length; writes its
// announcement and a warning about barcodes that cannot be matched.
void map_match_whole_barcodes(const barcode_table& barcodes, const cluster_table& clusters, match_state& state);
