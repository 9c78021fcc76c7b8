// The 4-letter words of texts, and the ranking of texts by the words they
// share with a query: the cheap first cut before alignment, in map (barcodes
// for a core) and in cluster (cores for a sequence left over).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace words {

constexpr size_t length = 4;
// Words are numbered in base 5 over A, C, G, T and N, any other byte
// counting as N.
constexpr size_t count = 625;

// The number of the word at every start position of s, in order.
void words_of(std::string_view s, std::vector<int>& out);

struct ranked {
    int shared;      // word places of the query that the text holds
    uint32_t index;  // the text's place in the ranked set
};

// Per word, the texts that hold it; ranks them by the words they share with
// a query, counting each place of the query whose word a text holds (a word
// a text holds twice counts once).
class word_ranking {
public:
    // text(i) gives text i of n.
    template <class Text>
    word_ranking(size_t n, Text text) : counts_(n, 0) {
        std::vector<int> found;
        std::vector<uint32_t> last_holder(count, UINT32_MAX);
        for (size_t i = 0; i < n; ++i) {
            words_of(text(i), found);
            for (int w : found) {
                if (last_holder[static_cast<size_t>(w)] == i) continue;
                last_holder[static_cast<size_t>(w)] = static_cast<uint32_t>(i);
                pairs_.push_back({static_cast<uint32_t>(w), static_cast<uint32_t>(i)});
            }
        }
        index_pairs();
    }

    // The n texts that share the most with the query (given by its words),
    // ties going to the lower index; only texts that share a word at all.
    // In no settled order.
    void top(const std::vector<int>& query, size_t n, std::vector<ranked>& out);

private:
    struct pair {
        uint32_t word, holder;
    };
    void index_pairs();

    std::vector<pair> pairs_;  // only while building
    std::vector<uint32_t> word_start_;  // holders of word w: [word_start_[w], word_start_[w + 1])
    std::vector<uint32_t> holders_;
    std::vector<uint32_t> counts_;  // by text, 0 between queries
    std::vector<uint32_t> multiplicity_;  // by word, 0 between queries
    std::vector<int> distinct_;
    std::vector<uint32_t> touched_;
    std::vector<uint32_t> with_count_;
    std::vector<uint32_t> at_cut_;
};

}  // namespace words
