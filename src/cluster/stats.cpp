// Cluster statistics: for each sequence that is not a core, the cores within
// one position (members) or two positions (the rest) of it.
//
// Cores near a member are mostly in its neighbour list. A sequence outside
// every cluster can only have a core within two positions when a letter
// other than A, C, G, T, N stands at a differing position (otherwise the
// secondary clusters would have taken it): such cores are found from the
// cores' side, or by a direct comparison for the rare sequences that hold
// such letters themselves.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "cluster/cluster_internal.h"
#include "dna/letters.h"
#include "io/error.h"
#include "io/output.h"

namespace {

bool within(std::string_view a, std::string_view b, int n) {
    if (a.size() != b.size()) return false;
    int differ = 0;
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k] != b[k] && ++differ > n) return false;
    return true;
}

struct blanked_core {
    uint32_t core;
    uint32_t pos;
};

}  // namespace

void cluster_statistics(const cluster_state& st, out_stream& out) {
    const uint32_t n = st.num_entries;
    warn("Generating cluster statistics...\n");
    const cluster_progress progress = cluster_progress_for(n, "performed");

    std::vector<uint32_t> cores;
    for (uint32_t i = 0; i < n; ++i)
        if (st.core[i]) cores.push_back(i);

    // Cores next to a member are in its neighbour list as found, unless the
    // core holds a letter other than ACGTN where they differ or has a
    // negative count: those few cores are indexed with each position blanked.
    std::vector<blanked_core> blanked;
    for (uint32_t c : cores) {
        std::string_view s = st.seq(c);
        if (st.count[c] >= 0 && dna::all_letters(s))
            continue;
        for (size_t p = 0; p < s.size(); ++p) blanked.push_back({c, static_cast<uint32_t>(p)});
    }
    if (blanked.size() >= UINT32_MAX - 1) fail_out_of_memory();
    flat_index blank_index;
    blank_index.reset(blanked.size());
    for (uint32_t k = 0; k < blanked.size(); ++k) {
        std::string_view s = st.seq(blanked[k].core);
        uint32_t p = blanked[k].pos;
        uint64_t sum = st.hasher.sum(s) + st.hasher.blank(p, static_cast<unsigned char>(s[p]));
        blank_index.insert(seq_hasher::finish(sum, s.size()), k);
    }
    const std::vector<uint32_t>& found = st.nb_found.empty() ? st.nb_index : st.nb_found;

    // Cores two positions from a sequence over ACGTN where the core holds other
    // letters at both: (sequence, core) pairs, from every such pair of positions.
    std::vector<std::pair<uint32_t, uint32_t>> odd_pairs;
    std::map<size_t, std::vector<uint32_t>> cores_by_length;
    for (uint32_t c : cores) {
        std::string_view s = st.seq(c);
        cores_by_length[s.size()].push_back(c);
        std::vector<uint32_t> odd;
        for (size_t p = 0; p < s.size(); ++p)
            if (!dna::is_letter(s[p])) odd.push_back(static_cast<uint32_t>(p));
        if (odd.size() < 2) continue;
        const uint64_t base = st.hasher.sum(s);
        std::string text(s);
        for (size_t a = 0; a < odd.size(); ++a) {
            for (size_t b = a + 1; b < odd.size(); ++b) {
                const uint32_t p = odd[a], q = odd[b];
                for (char x : {'A', 'C', 'G', 'T', 'N'}) {
                    for (char y : {'A', 'C', 'G', 'T', 'N'}) {
                        text[p] = x;
                        text[q] = y;
                        uint64_t sum = base + st.hasher.change(p, static_cast<unsigned char>(s[p]), static_cast<unsigned char>(x)) +
                                       st.hasher.change(q, static_cast<unsigned char>(s[q]), static_cast<unsigned char>(y));
                        st.seq_index.find(seq_hasher::finish(sum, s.size()), [&](uint32_t u) {
                            if (st.seq(u) != text) return false;
                            odd_pairs.push_back({u, c});
                            return true;
                        });
                    }
                }
                text[p] = s[p];
                text[q] = s[q];
            }
        }
    }
    std::sort(odd_pairs.begin(), odd_pairs.end());

    std::string lines;
    std::vector<uint32_t> near;
    for (uint32_t i = 0; i < n; ++i) {
        if (!st.core[i]) {
            std::string_view s = st.seq(i);
            const int degeneracy = st.used[i] ? 1 : 2;
            near.clear();
            if (degeneracy == 1) {
                for (uint64_t k = st.nb_start[i]; k < st.nb_start[i] + static_cast<uint32_t>(st.mm1_counts[i]); ++k)
                    if (st.core[found[k]]) near.push_back(found[k]);
                // A later copy of a core's sequence.
                if (st.rep[i] != i && st.core[st.rep[i]]) near.push_back(st.rep[i]);
                if (!blanked.empty()) {
                    const uint64_t base = st.hasher.sum(s);
                    for (size_t p = 0; p < s.size(); ++p) {
                        uint64_t h = seq_hasher::finish(base + st.hasher.blank(p, static_cast<unsigned char>(s[p])), s.size());
                        blank_index.find(h, [&](uint32_t k) {
                            const blanked_core& b = blanked[k];
                            std::string_view t = st.seq(b.core);
                            if (b.pos == p && t.size() == s.size() && std::memcmp(t.data(), s.data(), p) == 0 &&
                                std::memcmp(t.data() + p + 1, s.data() + p + 1, s.size() - p - 1) == 0)
                                near.push_back(b.core);
                            return false;
                        });
                    }
                }
            } else if (!dna::all_letters(s)) {
                auto same_length = cores_by_length.find(s.size());
                if (same_length != cores_by_length.end())
                    for (uint32_t c : same_length->second)
                        if (within(s, st.seq(c), 2)) near.push_back(c);
            } else {
                auto range = std::equal_range(odd_pairs.begin(), odd_pairs.end(), std::make_pair(st.rep[i], 0u),
                                              [](const auto& a, const auto& b) { return a.first < b.first; });
                for (auto it = range.first; it != range.second; ++it) near.push_back(it->second);
            }
            if (!near.empty()) {
                std::sort(near.begin(), near.end());
                near.erase(std::unique(near.begin(), near.end()), near.end());
                int64_t largest = 0, smallest = 999999;
                for (uint32_t c : near) {
                    largest = std::max(largest, st.totals[c]);
                    smallest = std::min(smallest, st.totals[c]);
                }
                if (smallest > 999998) smallest = 0;
                lines += std::to_string(degeneracy) + '\t' + std::to_string(st.count[i]) + '\t';
                lines.append(s);
                lines += '\t' + std::to_string(near.size()) + '\t' + std::to_string(largest) + '\t' + std::to_string(smallest) + '\t';
                for (size_t k = 0; k < near.size(); ++k) {
                    if (k > 0) lines += ',';
                    lines += std::to_string(st.totals[near[k]]);
                }
                lines += '\n';
            }
        }
        progress.at(i);
    }
    out.put("#Degeneracy\tSequence Count\tSequence\tProximal Clusters\tLargest Proximal Cluster\tSmallest Proximal Cluster\tAll proximal cluster sizes\n");
    out.put(lines);
}
