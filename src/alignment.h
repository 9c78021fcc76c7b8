// Global alignment of two sequences with a linear gap score.
#pragma once

#include <cstdint>

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
