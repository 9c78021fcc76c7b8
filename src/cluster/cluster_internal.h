// The tables of one cluster run and the phases that build them.
//
// Every sequence is known by its index in count order (own count descending,
// then sequence ascending byte-wise). Sequences live in one arena; per-sequence
// data sits in parallel arrays; neighbour lists are one flat array with a
// slice per sequence.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "cluster/index.h"

class line_reader;
class out_stream;

struct cluster_settings {
    bool single_flag = false;
    int align_score_cutoff = 80;
    int align_top_n = 5;
    int min_unclustered_count = 1;
    // The alignment phase scans this many cores one by one before it goes
    // on in pairs (tests lower it to reach the pairs on small tables).
    size_t align_single_cores = 8192;
};

// A member entered into a core's list after the neighbour search: a
// 2-mismatch member, or a 1-mismatch member missing from the core's own list.
// Kept apart and merged in key order when the list is written; of equal keys
// the later one comes first.
struct added_member {
    uint32_t core;
    uint32_t member;
    int64_t value;
};

struct cluster_state {
    // Sequences in index order.
    std::vector<char> arena;
    std::vector<uint64_t> start;  // num_entries + 1 offsets into arena
    std::vector<int64_t> count;   // own counts
    // The first index holding the same sequence: what a look-up by sequence
    // finds when the table repeats a sequence.
    std::vector<uint32_t> rep;
    uint32_t num_entries = 0;

    seq_hasher hasher;
    flat_index seq_index;  // sequence -> first index holding it

    // Neighbour lists: lists[i] is nb_index/nb_value[nb_start[i] .. + nb_size[i]],
    // in ascending key order. Values start as the neighbours' own counts.
    std::vector<uint64_t> nb_start;
    std::vector<uint32_t> nb_size;
    std::vector<uint32_t> nb_index;
    std::vector<int64_t> nb_value;
    // Single mode removes entries from the lists; the statistics need them
    // as found, so that mode keeps a copy (mm1_counts holds the sizes).
    std::vector<uint32_t> nb_found;

    std::vector<int32_t> mm1_counts;
    std::vector<int32_t> mm2_counts;
    std::vector<int64_t> totals;
    std::vector<int64_t> mm1_totals;
    std::vector<int64_t> mm2_totals;
    std::vector<uint8_t> used;
    std::vector<uint8_t> core;
    std::vector<added_member> added;

    std::string_view seq(uint32_t i) const {
        return std::string_view(arena.data() + start[i], static_cast<size_t>(start[i + 1] - start[i]));
    }
};

// (a * b) / divisor truncated toward zero, without overflow in the product;
// 0 when divisor is 0.
int64_t cluster_share(int64_t a, int64_t b, int64_t divisor);

// Short sequences packed into one word, the first letter in the highest bits,
// so packed words of one length order as their texts do: three bits a letter
// (A, C, G, N, T) up to 21 letters, two bits (A, C, G, T) from 22 to 32.
constexpr size_t cluster_max_packed_length = 32;
constexpr size_t cluster_max_wide_length = 21;
// Longer sequences of A, C, G, N and T up to this length are packed into
// several words for the neighbour search alone.
constexpr size_t cluster_max_long_length = 128;
inline size_t cluster_letter_width(size_t length) { return length <= cluster_max_wide_length ? 3 : 2; }
// False for the empty text, longer texts and other letters.
bool cluster_pack(std::string_view s, uint64_t& word);
// One bit (the lowest of its letter) for each letter in which two packed
// words of one length differ; x is their exclusive or.
inline uint64_t cluster_letter_differences(uint64_t x, size_t width) {
    return width == 3 ? (x | x >> 1 | x >> 2) & 0x1249249249249249ull : (x | x >> 1) & 0x5555555555555555ull;
}

// Reads the count table (with its warnings) and lays the sequences out in
// index order.
void cluster_read_table(cluster_state& st, line_reader& in);
// Fills the neighbour lists and the per-sequence tables. Sequences of at
// most 21 letters of A, C, G, N and T, of at most 32 of A, C, G and T, or of
// 33 to 128 of A, C, G, N and T find their neighbours by sorting on halves;
// the rest probe the index with each of their variants. probes sends every
// sequence the second way.
enum class neighbour_search { automatic, probes };
void cluster_find_neighbours(cluster_state& st, neighbour_search how = neighbour_search::automatic);

// Neighbour lists of some sequences, one after the other.
struct cluster_lists {
    std::vector<uint32_t> index;
    std::vector<uint32_t> size;
};
// The lists of the given sequences, found by probing the index.
cluster_lists cluster_probe_neighbours(const cluster_state& st, const std::vector<uint32_t>& queries);
// The per-sequence tables once the neighbour lists are in place.
void cluster_init_tables(cluster_state& st);
// Whether t equals s with the letter at p replaced by a.
bool cluster_is_variant(std::string_view t, std::string_view s, size_t p, unsigned char a);
void cluster_form_initial(cluster_state& st, bool single_flag);
// The cores two positions from an unplaced sequence are found either through
// an index of the cores' 1-letter variants or by comparing it with the cores
// that share two of its four quarters, found through an index or, when every
// sequence packs, by sorting; automatic picks the cheaper for the table.
// sorted_quarters falls back to the index of quarters when some sequence
// does not pack.
enum class secondary_search { automatic, variants, quarters, sorted_quarters };
void cluster_form_secondary(cluster_state& st, secondary_search how = secondary_search::automatic);
// The cluster file: header, cluster lines, unclustered lines.
void cluster_write_clusters(const cluster_state& st, int64_t min_unclustered_count, out_stream& out);
// The sequences in no cluster that the cluster file leaves out (count at
// most min_unclustered_count), their reads, and the reads of the table.
struct left_out_sequences {
    int64_t sequences = 0;
    int64_t reads = 0;
    int64_t table_reads = 0;
};
left_out_sequences cluster_left_out(const cluster_state& st, int64_t min_unclustered_count);
// The alignment phase and its file (progress on standard error).
void cluster_align_remaining(const cluster_state& st, const cluster_settings& settings, out_stream& out);
// The statistics phase and its file (progress on standard error).
void cluster_statistics(const cluster_state& st, out_stream& out);

// The progress line of the long phases, every tenth of the entries.
struct cluster_progress {
    int64_t total;
    int64_t step;
    const char* word;  // "entries" or "performed"
    void at(int64_t i) const;
};
cluster_progress cluster_progress_for(int64_t total, const char* word);
