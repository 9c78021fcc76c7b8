// The internals of tabulate: the steps of one run, shared by its files and
// open to the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io/text.h"

class guide_pairs;
class line_reader;
class out_stream;

// Everything one run of tabulate builds. The per-barcode arrays are indexed
// by the number of the accepted barcode line; a sequence repeated on several
// lines is one barcode, at the index of its last line.
struct tabulate_tables {
    tabulate_tables() = default;
    // barcode_link views the strings of barcode_sequences: a move keeps them
    // where they are, a copy would not.
    tabulate_tables(const tabulate_tables&) = delete;
    tabulate_tables& operator=(const tabulate_tables&) = delete;
    tabulate_tables(tabulate_tables&&) = default;
    tabulate_tables& operator=(tabulate_tables&&) = default;

    // The barcode index of a sequence (the last line that bears it), or -1.
    int64_t index_of(std::string_view sequence) const {
        auto found = barcode_link.find(sequence);
        return found == barcode_link.end() ? -1 : found->second;
    }
    // Whether line k names its barcode (an earlier line of a repeated
    // sequence does not).
    bool names_barcode(size_t k) const { return index_of(barcode_sequences[k]) == static_cast<int64_t>(k); }

    int min_align_cutoff = 70;

    std::unordered_map<std::string_view, int64_t> barcode_link;  // sequence -> barcode index
    std::vector<std::string> barcode_details;                    // per accepted line
    std::vector<std::string> barcode_sequences;                  // per accepted line
    int64_t num_barcode_sequences = 0;                           // distinct sequences

    std::vector<int64_t> barcode_mm0s;
    std::vector<int64_t> barcode_mm1s;
    std::vector<int64_t> barcode_mm2s;
    std::vector<int64_t> barcode_aligns;
    // The alignment items that counted for a barcode, joined by ";". A list
    // can hold a single empty item, so presence is kept apart from the text.
    std::vector<std::string> barcode_align_seq;
    std::vector<char> has_align_seq;

    // Filled by tabulate_order_barcodes once the map file is read.
    std::vector<int64_t> barcode_totals;
    std::vector<int64_t> sorted_barcode_ids;
};

// Loads the barcode file (read once) into the link table and the per-line
// details and sequences, writes its warnings, and sizes the per-barcode
// counters. Creates barcode_link.
void tabulate_build_barcode_links(tabulate_tables& t, line_reader& barcodes);

// What a map line counts for: each barcode it names with the kind of match,
// alignments only when they reach the cutoff.
enum class match_kind { mm0, mm1, mm2, align };
struct map_target {
    match_kind kind;
    int64_t barcode;            // its index, or -1 when the barcode file lacks it
    std::string_view sequence;  // the barcode sequence as the line gives it
    std::string_view alignment; // align lines: the alignment item
};
struct map_line_fields {
    std::string_view core;
    std::string_view total;
    std::string_view core_count;
};
using map_target_visitor = std::function<void(const map_line_fields&, const map_target&)>;

// Takes one map file line (not a comment) apart: calls visit for every
// barcode it counts for, and returns its first fields. A line with too few
// fields ends the run with the format error.
map_line_fields tabulate_map_line_targets(tabulate_tables& t, std::string_view line, const map_target_visitor& visit);

// Adds one map file line (not a comment) to the counters.
void tabulate_process_map_line(tabulate_tables& t, std::string_view line);

// Where the clusters of a map file went, by kind: words or whole with 0,
// 1 or 2 substitutions, alignments reaching the cutoff (counted for a
// barcode) and below it (counted for none), and no match; with the sums of
// their totals (reads, or molecules per key). With guide pairs, the
// recombinants are taken out of weak_align and none into a kind of their own.
struct read_fates {
    static constexpr int kinds = 7;
    static constexpr int recombinant = 6;
    static constexpr const char* names[kinds] = {"mm0", "mm1", "mm2", "align", "weak_align", "none", "recombinant"};
    int64_t clusters[kinds] = {};
    int64_t units[kinds] = {};
};

// Adds one map file line (not a comment) to the fates. A match kind that
// is none of the map file's ends the run with the format error. With pairs,
// a cluster that counts for no barcode is tried as a recombinant.
void tabulate_add_read_fate(tabulate_tables& t, std::string_view line, read_fates& fates,
                            guide_pairs* pairs = nullptr);

// The fates under a header line; the recombinant row only when asked for.
void tabulate_write_read_fates(const read_fates& fates, out_stream& out, bool with_recombinant = false);


// The number of barcodes (distinct sequences, as the report lists them)
// of each length, shortest first.
void tabulate_write_barcode_lengths(const tabulate_tables& t, out_stream& out);

// The barcodes in the order of the file (a repeated sequence at the line
// that names it): details, a tab and the sequence.
void tabulate_write_barcode_list(const tabulate_tables& t, out_stream& out);

// Sums the totals and orders the barcodes by details, then by index.
void tabulate_order_barcodes(tabulate_tables& t);

// The report: header and one row per barcode in sorted_barcode_ids order.
void tabulate_write_report(const tabulate_tables& t, out_stream& out);
