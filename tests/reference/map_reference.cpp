#include "reference/map_reference.h"

#include <algorithm>
#include <memory>
#include <numeric>

#include "align/alignment.h"
#include "align/words.h"
#include "map/map_internal.h"

void best_by_full_alignment(const std::vector<std::string>& sequences, std::string_view core,
                            const std::vector<int32_t>& candidates, best_barcodes& best) {
    best.score = lowest_counted_score;
    best.positions.clear();
    std::string text(core);
    for (int32_t p : candidates) {
        alignment* a = align(sequences[static_cast<size_t>(p)].c_str(), text.c_str(), -1, 5, -1);
        if (a->score >= best.score) {
            if (a->score > best.score) {
                best.score = a->score;
                best.positions.clear();
            }
            best.positions.push_back(p);
        }
        alignment_destroy(a);
    }
    std::sort(best.positions.begin(), best.positions.end());
}

shared_word_flags::shared_word_flags(const std::vector<std::string>& sequences)
    : barcodes_(sequences.size()), flags_(words::count) {
    std::vector<int> found;
    for (size_t b = 0; b < sequences.size(); ++b) {
        words::words_of(sequences[b], found);
        for (int w : found) {
            std::vector<uint8_t>& row = flags_[static_cast<size_t>(w)];
            if (row.empty()) row.assign(sequences.size(), 0);
            row[b] = 1;
        }
    }
}

void shared_word_flags::top(std::string_view core, int n, std::vector<int32_t>& candidates) const {
    candidates.clear();
    if (n <= 0) return;
    std::vector<int> found;
    words::words_of(core, found);
    std::vector<int> word_match(barcodes_, 0);
    for (int w : found) {
        const std::vector<uint8_t>& row = flags_[static_cast<size_t>(w)];
        for (size_t b = 0; b < row.size(); ++b) word_match[b] += row[b];
    }
    std::vector<int> top_match(static_cast<size_t>(n), 0);
    std::vector<int32_t> top_index(static_cast<size_t>(n), -1);
    for (size_t b = 0; b < barcodes_; ++b) {
        int k = n - 1;
        while (k >= 0 && word_match[b] <= top_match[static_cast<size_t>(k)]) --k;
        if (k < 0) continue;
        for (int j = 0; j < k; ++j) {
            top_match[static_cast<size_t>(j)] = top_match[static_cast<size_t>(j + 1)];
            top_index[static_cast<size_t>(j)] = top_index[static_cast<size_t>(j + 1)];
        }
        top_match[static_cast<size_t>(k)] = word_match[b];
        top_index[static_cast<size_t>(k)] = static_cast<int32_t>(b);
    }
    for (int32_t p : top_index)
        if (p >= 0) candidates.push_back(p);
    std::sort(candidates.begin(), candidates.end());
}

int map_reference_main(int argc, char** argv) {
    return map_run_with_search(argc, argv, [](const std::vector<std::string>& sequences, int top_n) -> map_alignment_search {
        if (top_n > 0) {
            auto flags = std::make_shared<shared_word_flags>(sequences);
            return [&sequences, top_n, flags, candidates = std::vector<int32_t>()](std::string_view core,
                                                                                  best_barcodes& best) mutable {
                flags->top(core, top_n, candidates);
                best_by_full_alignment(sequences, core, candidates, best);
            };
        }
        std::vector<int32_t> everyone(sequences.size());
        std::iota(everyone.begin(), everyone.end(), 0);
        return [&sequences, everyone](std::string_view core, best_barcodes& best) {
            best_by_full_alignment(sequences, core, everyone, best);
        };
    });
}
