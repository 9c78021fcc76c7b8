// Alignment of the sequences left outside every cluster against the cores
// that share the most 4-letter words with them.
#include <algorithm>

#include "alignment.h"
#include "alignment_kernels.h"
#include "cluster_internal.h"
#include "error.h"
#include "hash.h"
#include "output.h"

namespace {

using kernel_layout::guesses;

constexpr int word_length = 4;
constexpr int word_slots = 625;  // 5^4

// The word slot numbers of s, one per start position.
void words_of(std::string_view s, std::vector<int>& out) {
    out.clear();
    if (s.size() < word_length) return;
    char word[word_length + 1] = {};
    for (size_t j = 0; j + word_length <= s.size(); ++j) {
        for (int k = 0; k < word_length; ++k) word[k] = s[j + k];
        out.push_back(hash_slot_nmer(word, word_length));
    }
}

struct candidate {
    int shared;
    uint32_t rank;  // place among the cores in index order
};

// Better first: more shared words, then the earlier core.
bool better(const candidate& a, const candidate& b) { return a.shared != b.shared ? a.shared > b.shared : a.rank < b.rank; }

// Ranks the cores by the number of word positions of a sequence whose word
// they hold, for sequences too long for the bit-sliced counts below.
// Counting walks only the cores that share a word; cores that
// reach three or more are remembered per level as they get there, so the
// best few are found without a pass over everything touched.
template <class Counter>
class word_ranker {
public:
    // Per word, the cores holding it (by rank, each once).
    word_ranker(const cluster_state& st, const std::vector<uint32_t>& cores)
        : word_start_(word_slots + 1, 0), counter_(cores.size(), 0), multiplicity_(word_slots, 0) {
        std::vector<int> words;
        std::vector<uint32_t> seen(word_slots, UINT32_MAX);
        std::vector<std::pair<int, uint32_t>> pairs;
        for (uint32_t r = 0; r < cores.size(); ++r) {
            words_of(st.seq(cores[r]), words);
            for (int w : words)
                if (seen[w] != r) seen[w] = r, pairs.push_back({w, r});
        }
        for (auto& p : pairs) ++word_start_[p.first + 1];
        for (int w = 0; w < word_slots; ++w) word_start_[w + 1] += word_start_[w];
        word_cores_.resize(pairs.size());
        std::vector<uint32_t> fill(word_start_.begin(), word_start_.end() - 1);
        for (auto& p : pairs) word_cores_[fill[p.first]++] = p.second;
    }

    // The best top_n cores (more shared words first, then lower rank),
    // returned weakest first: the order in which they are aligned.
    void rank(const std::vector<int>& words, size_t top_n, std::vector<candidate>& top) {
        top.clear();
        distinct_.clear();
        for (int w : words)
            if (multiplicity_[w]++ == 0) distinct_.push_back(w);
        if (level_.size() < words.size() + 1) level_.resize(words.size() + 1);
        size_t reach2 = 0, walked = 0;
        for (int w : distinct_) {
            const uint32_t m = multiplicity_[w];
            const uint32_t* r = word_cores_.data() + word_start_[w];
            const uint32_t* end = word_cores_.data() + word_start_[w + 1];
            walked += static_cast<size_t>(end - r);
            for (; r != end; ++r) {
                uint32_t old = counter_[*r];
                uint32_t now = old + m;
                counter_[*r] = static_cast<Counter>(now);
                reach2 += old < 2 && now >= 2;
                if (now >= 3)
                    for (uint32_t lv = std::max<uint32_t>(old + 1, 3); lv <= now; ++lv) level_[lv].push_back(*r);
            }
        }
        // The least count that the weakest chosen core can have.
        size_t least = 1;
        for (size_t lv = level_.size(); lv-- > 3;)
            if (level_[lv].size() >= top_n) {
                least = lv;
                break;
            }
        if (least == 1 && reach2 >= top_n) least = 2;
        if (least >= 3) {
            for (uint32_t r : level_[least]) top.push_back({static_cast<int>(counter_[r]), r});
            if (walked > counter_.size() / 4) {
                std::fill(counter_.begin(), counter_.end(), 0);
            } else {
                for (int w : distinct_)
                    for (uint32_t k = word_start_[w]; k < word_start_[w + 1]; ++k) counter_[word_cores_[k]] = 0;
            }
        } else {
            // Few cores share more than a word: take them from the walk,
            // clearing the counters on the way.
            for (int w : distinct_) {
                for (uint32_t k = word_start_[w]; k < word_start_[w + 1]; ++k) {
                    uint32_t r = word_cores_[k];
                    if (counter_[r] >= least) top.push_back({static_cast<int>(counter_[r]), r});
                    counter_[r] = 0;
                }
            }
        }
        for (int w : distinct_) multiplicity_[w] = 0;
        for (auto& l : level_) l.clear();
        if (top.size() > top_n) {
            std::nth_element(top.begin(), top.begin() + static_cast<long>(top_n), top.end(), better);
            top.resize(top_n);
        }
        std::sort(top.begin(), top.end(), [](const candidate& a, const candidate& b) { return better(b, a); });
    }

private:
    std::vector<uint32_t> word_start_;
    std::vector<uint32_t> word_cores_;
    std::vector<Counter> counter_;
    std::vector<uint32_t> multiplicity_;
    std::vector<int> distinct_;
    std::vector<std::vector<uint32_t>> level_;
};

// For sequences short enough that a count fits a byte: per word, a bitmap
// of the cores holding it; the counts of 64 cores at a time are added up
// bit-sliced (plane j holds bit j of each count), so a sequence costs a few
// word operations per 64 cores instead of an increment per shared word.
class bitmap_ranker {
public:
    static constexpr int planes = 8;

    bitmap_ranker(const cluster_state& st, const std::vector<uint32_t>& cores)
        : blocks_(cores.size() / 64 + 1), bitmap_(word_slots), plane_(planes * blocks_), multiplicity_(word_slots, 0) {
        std::vector<int> words;
        for (uint32_t r = 0; r < cores.size(); ++r) {
            words_of(st.seq(cores[r]), words);
            for (int w : words) {
                if (bitmap_[w].empty()) bitmap_[w].assign(blocks_, 0);
                bitmap_[w][r / 64] |= uint64_t{1} << (r % 64);
            }
        }
    }

    void rank(const std::vector<int>& words, size_t top_n, std::vector<candidate>& top) {
        top.clear();
        inputs_.clear();
        for (int w : words)
            if (!bitmap_[w].empty() && multiplicity_[w]++ == 0) inputs_.push_back(w);
        if (inputs_.empty()) return;
        // Each word added as often as it occurs in the sequence.
        rows_.clear();
        unsigned total = 0;
        for (int w : inputs_) {
            for (uint32_t k = 0; k < multiplicity_[w]; ++k) rows_.push_back(bitmap_[w].data());
            total += multiplicity_[w];
            multiplicity_[w] = 0;
        }
        int used_planes = 1;
        while (used_planes < planes && (total >> used_planes) != 0) ++used_planes;
        // The least count is usually close to the previous sequence's: the
        // counts around it come with the addition.
        const unsigned guess = std::clamp(last_least_, 2u, std::max(2u, total)) - 1;
        size_t reached[guesses];
        kernels_.add_rows(rows_.data(), rows_.size(), blocks_, used_planes, plane_.data(), guess, reached);
        // The least count: the largest one that at least top_n cores reach
        // (1 when fewer than top_n cores share a word at all).
        // The count reached is monotone in v; the search starts from the
        // previous sequence's answer, which is usually close.
        unsigned least = std::clamp(last_least_, 1u, total);
        for (;;) {
            auto [at, above] = least >= guess && least + 1 < guess + guesses
                                   ? std::pair<size_t, size_t>(reached[least - guess], reached[least + 1 - guess])
                                   : kernels_.count_at_least(plane_.data(), blocks_, least, used_planes);
            if (least > 1 && at < top_n) {
                --least;
            } else if (least < total && above >= top_n) {
                ++least;
            } else {
                break;
            }
        }
        last_least_ = least;
        size_t ties = 0;
        for (size_t b = 0; b < blocks_; ++b) {
            uint64_t mask = at_least(b, least, used_planes);
            while (mask != 0) {
                int bit = __builtin_ctzll(mask);
                mask &= mask - 1;
                unsigned count = 0;
                for (int j = 0; j < used_planes; ++j) count |= static_cast<unsigned>(plane_[static_cast<size_t>(j) * blocks_ + b] >> bit & 1) << j;
                // Ties at the least count come in rank order: the first ones stay.
                if (count == least && ties++ >= top_n) continue;
                top.push_back({static_cast<int>(count), static_cast<uint32_t>(b * 64 + static_cast<size_t>(bit))});
            }
        }
        if (top.size() > top_n) {
            std::nth_element(top.begin(), top.begin() + static_cast<long>(top_n), top.end(), better);
            top.resize(top_n);
        }
        std::sort(top.begin(), top.end(), [](const candidate& a, const candidate& b) { return better(b, a); });
    }

private:
    // The cores of block b whose count is at least v.
    uint64_t at_least(size_t b, unsigned v, int used_planes) const {
        uint64_t greater = 0, equal = ~uint64_t{0};
        for (int j = used_planes; j-- > 0;) {
            uint64_t p = plane_[static_cast<size_t>(j) * blocks_ + b];
            if (v >> j & 1) {
                equal &= p;
            } else {
                greater |= equal & p;
                equal &= ~p;
            }
        }
        if (v >> used_planes != 0) return 0;
        return greater | equal;
    }


    const alignment_kernels& kernels_ = alignment_kernels_for(isa_best());
    size_t blocks_;
    std::vector<std::vector<uint64_t>> bitmap_;
    std::vector<uint64_t> plane_;
    std::vector<uint32_t> multiplicity_;
    std::vector<int> inputs_;
    std::vector<const uint64_t*> rows_;
    unsigned last_least_ = 1;
};

}  // namespace

namespace {
template <class Ranker>
void align_all(const cluster_state& st, const cluster_settings& settings, const std::vector<uint32_t>& cores, Ranker& ranker,
               out_stream& out);
}

void cluster_align_remaining(const cluster_state& st, const cluster_settings& settings, out_stream& out) {
    const uint32_t n = st.num_entries;
    warn("Aligning remaining sequences...\n");

    std::vector<uint32_t> cores;
    for (uint32_t i = 0; i < n; ++i)
        if (st.core[i]) cores.push_back(i);

    size_t longest = 0;
    for (uint32_t i = 0; i < n; ++i)
        if (!st.used[i]) longest = std::max(longest, st.seq(i).size());
    // Bit-sliced counts hold up to 255 shared words.
    if (longest < 250) {
        bitmap_ranker ranker(st, cores);
        align_all(st, settings, cores, ranker, out);
    } else {
        word_ranker<uint32_t> ranker(st, cores);
        align_all(st, settings, cores, ranker, out);
    }
}

namespace {

template <class Ranker>
void align_all(const cluster_state& st, const cluster_settings& settings, const std::vector<uint32_t>& cores, Ranker& ranker,
               out_stream& out) {
    const uint32_t n = st.num_entries;
    const cluster_progress progress = cluster_progress_for(n, "entries");
    std::vector<int> words;
    std::vector<candidate> top;
    std::vector<int> row;
    int64_t aligned = 0, unaligned = 0, score_sum = 0;
    struct hit {
        uint32_t seq;
        uint32_t core;
        int score;
    };
    std::vector<hit> hits;
    const size_t top_n = static_cast<size_t>(settings.align_top_n);

    for (uint32_t i = 0; i < n; ++i) {
        if (!st.used[i]) {
            std::string_view s = st.seq(i);
            words_of(s, words);
            ranker.rank(words, top_n, top);
            // Aligned from the weakest candidate up; of equal scores the
            // first aligned stays.
            int best = 0;
            uint32_t best_rank = UINT32_MAX;
            for (const candidate& c : top) {
                int score = alignment_score(st.seq(cores[c.rank]), s, row);
                if (score > best) best = score, best_rank = c.rank;
            }
            if (best >= settings.align_score_cutoff && best_rank != UINT32_MAX) {
                ++aligned;
                hits.push_back({i, cores[best_rank], best});
            } else {
                ++unaligned;
            }
            score_sum += best;
        }
        progress.at(i);
    }
    const int64_t average = aligned + unaligned == 0 ? 0 : score_sum / (aligned + unaligned);

    out.printf("#Alignment score cutoff: %d\tAligned top %d candidates\n", settings.align_score_cutoff, settings.align_top_n);
    out.printf("#Aligned sequences: %lld\tUnaligned sequences: %lld\n", static_cast<long long>(aligned), static_cast<long long>(unaligned));
    out.printf("#Average best-alignment score: %lld\n", static_cast<long long>(average));
    out.put("#Core sequence\tCore count\tAligning sequence\tAlign seq count\tScore\n");
    for (const hit& h : hits) {
        out.put(st.seq(h.core));
        out.put('\t');
        out.put_int(st.count[st.rep[h.core]]);
        out.put('\t');
        out.put(st.seq(h.seq));
        out.put('\t');
        out.put_int(st.count[h.seq]);
        out.put('\t');
        out.put_int(h.score);
        out.put('\n');
    }
}

}  // namespace
