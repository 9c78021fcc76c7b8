// Alignment of the sequences left outside every cluster against the cores
// that share the most 4-letter words with them.
#include <algorithm>

#include "cluster_internal.h"
#include "error.h"
#include "hash.h"
#include "output.h"

namespace {

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

}  // namespace

int cluster_align_score(std::string_view a, std::string_view b, std::vector<int>& row) {
    constexpr int gap = -1, match = 5, mismatch = -1;
    const size_t w = b.size();
    row.resize(w + 1);
    for (size_t x = 0; x <= w; ++x) row[x] = static_cast<int>(x) * gap;
    for (size_t y = 1; y <= a.size(); ++y) {
        int diagonal = row[0];
        row[0] = static_cast<int>(y) * gap;
        for (size_t x = 1; x <= w; ++x) {
            int mod = diagonal + (a[y - 1] == b[x - 1] ? match : mismatch);
            int best = std::max({mod, row[x] + gap, row[x - 1] + gap});
            diagonal = row[x];
            row[x] = best;
        }
    }
    return row[w];
}

void cluster_align_remaining(const cluster_state& st, const cluster_settings& settings, out_stream& out) {
    const uint32_t n = st.num_entries;
    warn("Aligning remaining sequences...\n");
    const cluster_progress progress = cluster_progress_for(n, "entries");

    // Per word, the cores holding it (by rank, each once).
    std::vector<uint32_t> cores;
    for (uint32_t i = 0; i < n; ++i)
        if (st.core[i]) cores.push_back(i);
    std::vector<uint32_t> word_start(word_slots + 1, 0);
    std::vector<uint32_t> word_cores;
    {
        std::vector<int> words;
        std::vector<uint32_t> seen(word_slots, UINT32_MAX);
        std::vector<std::pair<int, uint32_t>> pairs;
        for (uint32_t r = 0; r < cores.size(); ++r) {
            words_of(st.seq(cores[r]), words);
            for (int w : words)
                if (seen[w] != r) seen[w] = r, pairs.push_back({w, r});
        }
        for (auto& p : pairs) ++word_start[p.first + 1];
        for (int w = 0; w < word_slots; ++w) word_start[w + 1] += word_start[w];
        word_cores.resize(pairs.size());
        std::vector<uint32_t> fill(word_start.begin(), word_start.end() - 1);
        for (auto& p : pairs) word_cores[fill[p.first]++] = p.second;
    }

    std::vector<int> shared(cores.size(), 0);
    std::vector<uint32_t> touched;
    std::vector<int> words;
    std::vector<int> multiplicity(word_slots, 0);
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
            touched.clear();
            for (int w : words) ++multiplicity[w];
            for (int w : words) {
                int times = multiplicity[w];
                if (times == 0) continue;
                multiplicity[w] = 0;
                for (uint32_t k = word_start[w]; k < word_start[w + 1]; ++k) {
                    uint32_t r = word_cores[k];
                    if (shared[r] == 0) touched.push_back(r);
                    shared[r] += times;
                }
            }
            top.clear();
            for (uint32_t r : touched) top.push_back({shared[r], r});
            for (uint32_t r : touched) shared[r] = 0;
            if (top.size() > top_n) {
                std::nth_element(top.begin(), top.begin() + static_cast<long>(top_n), top.end(), better);
                top.resize(top_n);
            }
            // Aligned from the weakest candidate up; of equal scores the
            // first aligned stays.
            std::sort(top.begin(), top.end(), [](const candidate& a, const candidate& b) { return better(b, a); });
            int best = 0;
            uint32_t best_rank = UINT32_MAX;
            for (const candidate& c : top) {
                int score = cluster_align_score(st.seq(cores[c.rank]), s, row);
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
