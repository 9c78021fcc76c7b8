// Guide pairs (tabulate -g): dual-guide screens put one guide in each read of
// a pair, and count joins the two reads' keys, guide 1 then guide 2. The
// barcode file then holds each pair as one sequence. Lentiviral template
// switching recombines the guides of different pairs: a cluster that matches
// no barcode but reads as a guide 1 and a guide 2 of the file that the file
// does not pair is a recombinant, not an unknown read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class out_stream;
struct tabulate_tables;

class guide_pairs {
public:
    // The guides of t's barcode file (loaded already): the first
    // guide_1_length letters of every barcode longer than that, and the rest.
    guide_pairs(const tabulate_tables& t, int guide_1_length);

    // Distinct guide 1s found in the barcode file.
    size_t guide_1_count() const { return halves_[0].sequences.size(); }

    // True when core is a recombinant: its first guide_1_length letters a
    // guide 1 and the rest, whole, a guide 2 (each exact, or one
    // substitution away from one guide alone), and the two guides no pair of
    // the barcode file. Tallies the combination with its total.
    bool add_if_recombinant(std::string_view core, int64_t total);

    // Every recombination seen, most total first:
    // guide 1, guide 2, a pair holding each (the first barcode of the file),
    // clusters and total.
    void write_combinations(out_stream& out) const;

private:
    struct half {
        std::vector<std::string> sequences;           // in file order of first use
        std::vector<int64_t> first_barcode;           // the first barcode line holding it
        std::unordered_map<std::string, int64_t> index;  // sequence -> its number
        void add(const std::string& sequence, int64_t barcode);
        // The guide that text is, or is one substitution away from when no
        // other guide is; -1 otherwise. scratch is reused for the variants.
        int64_t find(std::string_view text, std::string& scratch) const;
    };
    struct tally {
        int64_t clusters = 0;
        int64_t total = 0;
    };

    const tabulate_tables& t_;
    int guide_1_length_;
    half halves_[2];
    std::map<std::pair<int64_t, int64_t>, tally> seen_;
    std::string scratch_;
};
