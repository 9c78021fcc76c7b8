#include "align/words.h"

#include <algorithm>
#include <cstring>

#include "dna/letters.h"

namespace words {

namespace {

inline unsigned digit(char c) { return std::min<unsigned>(dna::code_of(c), dna::n_code); }

}  // namespace

void words_of(std::string_view s, std::vector<int>& out) {
    out.clear();
    if (s.size() < length) return;
    out.resize(s.size() - length + 1);
    if (std::memchr(s.data(), 0, s.size()) == nullptr) {
        // Each word from the one before: drop the first letter, take one on.
        unsigned w = 0;
        for (size_t j = 0; j + 1 < length; ++j) w = w * 5 + digit(s[j]);
        for (size_t j = length - 1; j < s.size(); ++j) {
            w = (w * 5 + digit(s[j])) % count;
            out[j + 1 - length] = static_cast<int>(w);
        }
        return;
    }
    // A zero byte ends a word early: the word is numbered by the letters
    // before it, as the numbering of such texts always was.
    for (size_t j = 0; j + length <= s.size(); ++j) {
        unsigned w = 0;
        for (size_t k = 0; k < length && s[j + k] != 0; ++k) w = w * 5 + digit(s[j + k]);
        out[j] = static_cast<int>(w);
    }
}

void word_ranking::index_pairs() {
    word_start_.assign(count + 1, 0);
    for (const pair& p : pairs_) ++word_start_[p.word + 1];
    for (size_t w = 0; w < count; ++w) word_start_[w + 1] += word_start_[w];
    holders_.resize(pairs_.size());
    std::vector<uint32_t> fill(word_start_.begin(), word_start_.end() - 1);
    for (const pair& p : pairs_) holders_[fill[p.word]++] = p.holder;
    std::vector<pair>().swap(pairs_);
    multiplicity_.assign(count, 0);
    touched_.resize(counts_.size() + 1);  // one spare place for the branch-free append
}

void word_ranking::top(const std::vector<int>& query, size_t n, std::vector<ranked>& out) {
    out.clear();
    if (n == 0 || query.empty()) return;
    distinct_.clear();
    for (int w : query)
        if (multiplicity_[static_cast<size_t>(w)]++ == 0) distinct_.push_back(w);
    size_t touched = 0;
    for (int w : distinct_) {
        const uint32_t m = multiplicity_[static_cast<size_t>(w)];
        multiplicity_[static_cast<size_t>(w)] = 0;
        const uint32_t* h = holders_.data() + word_start_[static_cast<size_t>(w)];
        const uint32_t* end = holders_.data() + word_start_[static_cast<size_t>(w) + 1];
        for (; h != end; ++h) {
            uint32_t before = counts_[*h];
            counts_[*h] = before + m;
            touched_[touched] = *h;
            touched += before == 0;
        }
    }
    // Counts are at most the number of the query's words: find the lowest
    // count that still makes the cut, take everything above it, and of the
    // texts with exactly that count the ones with the lowest indexes.
    const size_t most = query.size();
    with_count_.assign(most + 1, 0);
    for (size_t k = 0; k < touched; ++k) ++with_count_[counts_[touched_[k]]];
    size_t cut = most, above = 0;
    while (cut > 1 && above + with_count_[cut] < n) above += with_count_[cut--];
    at_cut_.clear();
    for (size_t k = 0; k < touched; ++k) {
        uint32_t i = touched_[k];
        uint32_t c = counts_[i];
        counts_[i] = 0;
        if (c > cut) out.push_back({static_cast<int>(c), i});
        else if (c == cut) at_cut_.push_back(i);
    }
    size_t room = std::min(at_cut_.size(), n - std::min(n, above));
    std::nth_element(at_cut_.begin(), at_cut_.begin() + static_cast<std::ptrdiff_t>(room), at_cut_.end());
    for (size_t k = 0; k < room; ++k) out.push_back({static_cast<int>(cut), at_cut_[k]});
}

}  // namespace words
