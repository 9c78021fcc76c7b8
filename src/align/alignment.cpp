#include "align/alignment.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/error.h"

namespace {

enum step : unsigned char { up = 1, left = 2, diag = 3 };

char* copy_text(const char* text, size_t length) {
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) fail_out_of_memory();
    if (length > 0) std::memcpy(copy, text, length);  // text may be null when empty
    copy[length] = '\0';
    return copy;
}

}  // namespace

alignment* align(const char* seq1, const char* seq2, int gap, int match, int mismatch) {
    const size_t s1_len = std::strlen(seq1);
    const size_t s2_len = std::strlen(seq2);
    const size_t width = s2_len + 1;
    // One block per matrix instead of a row each; the aligned texts are sized
    // from the two lengths, so there is no column limit.
    std::vector<int> scores((s1_len + 1) * width, 0);
    std::vector<unsigned char> path((s1_len + 1) * width, 0);
    for (size_t y = 0; y <= s1_len; ++y) scores[y * width] = static_cast<int>(y) * gap;
    for (size_t x = 0; x <= s2_len; ++x) scores[x] = static_cast<int>(x) * gap;

    for (size_t y = 1; y <= s1_len; ++y) {
        for (size_t x = 1; x <= s2_len; ++x) {
            int mod = scores[(y - 1) * width + x - 1] + (seq1[y - 1] == seq2[x - 1] ? match : mismatch);
            int gap1 = scores[(y - 1) * width + x] + gap;
            int gap2 = scores[y * width + x - 1] + gap;
            int& cell = scores[y * width + x];
            if (gap2 > mod && gap2 > gap1) {
                cell = gap2;
                path[y * width + x] = up;
            } else if (gap1 > mod && gap1 >= gap2) {
                cell = gap1;
                path[y * width + x] = left;
            } else {
                cell = mod;
                path[y * width + x] = diag;
            }
        }
    }

    const size_t columns_max = s1_len + s2_len;
    std::vector<char> buff1(columns_max), buff2(columns_max);
    size_t at = columns_max;  // texts are assembled from the end
    int mismatches = 0, inserts = 0, deletes = 0;
    size_t y = s1_len, x = s2_len;
    while (y >= 1 && x >= 1) {
        --at;
        switch (path[y * width + x]) {
            case diag:
                buff1[at] = seq1[y - 1];
                buff2[at] = seq2[x - 1];
                if (seq1[y - 1] != seq2[x - 1]) ++mismatches;
                --y;
                --x;
                break;
            case up:
                buff1[at] = '-';
                buff2[at] = seq2[x - 1];
                --x;
                ++deletes;
                break;
            default:  // left
                buff1[at] = seq1[y - 1];
                buff2[at] = '-';
                --y;
                ++inserts;
                break;
        }
    }
    for (; y >= 1; --y, ++inserts) {
        --at;
        buff1[at] = seq1[y - 1];
        buff2[at] = '-';
    }
    for (; x >= 1; --x, ++deletes) {
        --at;
        buff1[at] = '-';
        buff2[at] = seq2[x - 1];
    }

    auto* result = static_cast<alignment*>(std::malloc(sizeof(alignment)));
    if (result == nullptr) fail_out_of_memory();
    result->seq1 = copy_text(buff1.data() + at, columns_max - at);
    result->seq2 = copy_text(buff2.data() + at, columns_max - at);
    result->mismatches = mismatches;
    result->inserts = inserts;
    result->deletes = deletes;
    result->score = scores[s1_len * width + s2_len];
    return result;
}

void alignment_destroy(alignment* a) {
    if (a == nullptr) return;
    std::free(a->seq1);
    std::free(a->seq2);
    std::free(a);
}

int alignment_score(std::string_view seq1, std::string_view seq2, std::vector<int>& row) {
    constexpr int gap = -1, match = 5, mismatch = -1;
    const size_t w = seq2.size();
    row.resize(w + 1);
    for (size_t x = 0; x <= w; ++x) row[x] = static_cast<int>(x) * gap;
    for (size_t y = 1; y <= seq1.size(); ++y) {
        int diagonal = row[0];
        row[0] = static_cast<int>(y) * gap;
        for (size_t x = 1; x <= w; ++x) {
            int up = row[x];
            int best = std::max(diagonal + (seq1[y - 1] == seq2[x - 1] ? match : mismatch), std::max(up, row[x - 1]) + gap);
            diagonal = up;
            row[x] = best;
        }
    }
    return row[w];
}

int alignment_score(std::string_view seq1, std::string_view seq2) {
    std::vector<int> row;
    return alignment_score(seq1, seq2, row);
}
