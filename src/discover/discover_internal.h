// The internals of discover: the offshoot tests and the choice of barcodes,
// open to the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace discover {

struct candidate {
    std::string sequence;
    int64_t total;
};

// A candidate within offshoot_edits of one with this many times its total
// is an error of it.
inline constexpr int64_t offshoot_ratio = 10;
// Offshoots within this edit distance of their origin...
inline constexpr int offshoot_edits = 3;
// ... or a prefix of one origin joined to a suffix of another, found
// through their first and last this many letters.
inline constexpr size_t end_letters = 12;

// Whether each candidate is an offshoot: within a few edits of one with
// offshoot_ratio times its total (indels and misreads the clusters do not
// take in), or the start of one candidate joined to the end of another (a
// PCR chimera), or equal to a larger one but for its first or last
// end_letters letters. Candidates below `from` are not looked at (false)
// and are no parents.
std::vector<char> find_offshoots(const std::vector<candidate>& candidates, int64_t from);

// Levenshtein distance of a and b, or limit + 1 when it exceeds limit.
int edit_distance(const std::string& a, const std::string& b, int limit);

struct result {
    std::vector<size_t> barcodes;  // positions in the candidates, by total down, then sequence
    int64_t least;                 // the least total of a barcode
    int64_t largest_offshoot;      // the noise: the largest offshoot's total (0: none)
    size_t offshoots;              // offshoots at or above `least` left out
    size_t masked;                 // others at or above `least` left out for an N
};

// The barcodes: candidates with at least `least` (0: one more than the
// largest offshoot, and at least 2) that are no offshoot and hold no N.
result choose(const std::vector<candidate>& candidates, int64_t least);

}  // namespace discover
