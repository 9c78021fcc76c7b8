// The tables of the map sub-command: barcodes, their 18-letter word index,
// and clusters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "containers/open_table.h"
#include "containers/ordered_texts.h"

class line_reader;

// One line of the barcode file as read.
struct barcode_line {
    std::string text;
    bool ended_by_newline;
};

// Reads the whole barcode file; a read error ends the run like a file that
// cannot be opened.
std::vector<barcode_line> map_read_barcode_lines(line_reader& reader);

struct barcode_table {
    ordered_texts barcode_sequences;          // by position
    std::vector<std::string> barcode_details;  // by position: the last line's details
};

// Loads the barcode lines and writes the warnings about them (malformed
// lines are reported twice, as both passes over the file see them).
void map_build_barcode_sequences(const std::vector<barcode_line>& lines, barcode_table& barcodes);

// Every 18-letter word of every barcode, mapped to the highest position of
// the barcodes that hold it.
class word_index {
public:
    static constexpr int nmer = 18;

    // Builds the index and writes the overlap warning.
    void build(const ordered_texts& sequences);

    // A word of nmer letters made only of A, C, G, T and N, 3 bits per letter
    // with the first letter lowest: its barcode position, or -1.
    int32_t find_code(uint64_t code) const;
    // Any word of nmer characters: its barcode position, or -1.
    int32_t find(std::string_view word) const;
    // Whether some word holds a character other than A, C, G, T and N.
    bool has_odd_words() const { return odd_words_.size() > 0; }

    // The coded words that agree with code in at least one of three blocks
    // of six letters: every word within two changed letters of it is among
    // them. visit(word code, position) is called for each.
    template <typename Visit>
    void visit_block_neighbours(uint64_t code, Visit visit) const {
        for (int block = 0; block < 3; ++block) {
            size_t bucket = block * block_buckets + ((code >> (block_bits * block)) & (block_buckets - 1));
            for (uint32_t k = block_starts_[bucket]; k < block_starts_[bucket + 1]; ++k)
                visit(block_words_[k], block_positions_[k]);
        }
    }

private:
    static constexpr int block_bits = 18;  // six letters of three bits
    static constexpr size_t block_buckets = size_t{1} << block_bits;
    void build_blocks();
    bool put(std::string_view word, int32_t position);  // true if it was there

    struct code_hash {
        size_t operator()(uint64_t code) const { return static_cast<size_t>((code * 0x9E3779B97F4A7C15ULL) >> 20); }
    };
    // No word codes to all ones: eighteen letters take 54 bits.
    open_table<uint64_t, int32_t, code_hash> positions_{~uint64_t{0}, 1024};
    ordered_texts odd_words_;
    std::vector<int32_t> odd_positions_;
    // For each block, every coded word with its position, grouped by that
    // block's letters (a bucket runs from block_starts_[b] to [b + 1]).
    std::vector<uint64_t> block_words_;
    std::vector<int32_t> block_positions_;
    std::vector<uint32_t> block_starts_;
};

struct cluster_table {
    ordered_texts cluster_sequences;  // the cores, by position
    // The numbers of the last line of each core, by position.
    std::vector<int64_t> cluster_mm1n, cluster_mm2n, cluster_totals;
    std::vector<int64_t> cluster_total_mm0, cluster_total_mm1, cluster_total_mm2;

    size_t size() const { return cluster_sequences.size(); }
};

// Reads the cluster file to its end; writes the warnings, and ends the run
// with the format error when an accepted line lacks a separator.
void map_build_clusters(line_reader& reader, cluster_table& clusters);
