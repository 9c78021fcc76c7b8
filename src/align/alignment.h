// Global alignment of two sequences with a linear gap score.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

struct alignment {
    char* seq1;  // first sequence as aligned, '-' for gaps
    char* seq2;  // second sequence as aligned, as long as seq1
    int mismatches;
    int inserts;  // a character of seq1 against a gap
    int deletes;  // a character of seq2 against a gap
    int score;
};

alignment* align(const char* seq1, const char* seq2, int gap, int match, int mismatch);
void alignment_destroy(alignment* a);

// The score alone of the global alignment of seq1 against seq2 with the
// scores every caller uses (gap -1, match 5, mismatch -1), in one row of
// memory; row is scratch space that can be kept between calls.
int alignment_score(std::string_view seq1, std::string_view seq2, std::vector<int>& row);
int alignment_score(std::string_view seq1, std::string_view seq2);
