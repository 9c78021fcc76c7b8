// The molecule step against a plain reference on random runs: keys with
// UMIs, clusters with members shared between cores, map lines of every kind
// of match, alignments on both sides of the cutoff.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "io/line_reader.h"
#include "tabulate/molecules.h"
#include "tabulate/tabulate_internal.h"
#include "umi/umi.h"

namespace {

using umi_reads = std::map<std::string, int64_t>;

bool one_apart(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    int differences = 0;
    for (size_t i = 0; i < a.size(); ++i) differences += a[i] != b[i];
    return differences == 1;
}

// The directional rule written out plainly: every pair compared.
std::vector<std::string> reference_tops(const umi_reads& umis) {
    std::vector<std::string> order;
    for (const auto& u : umis) order.push_back(u.first);
    std::sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return umis.at(a) != umis.at(b) ? umis.at(a) > umis.at(b) : a < b;
    });
    std::set<std::string> taken;
    std::vector<std::string> tops;
    for (const std::string& top : order) {
        if (taken.count(top)) continue;
        taken.insert(top);
        tops.push_back(top);
        std::deque<std::string> queue{top};
        while (!queue.empty()) {
            std::string from = queue.front();
            queue.pop_front();
            for (const std::string& to : order) {
                if (taken.count(to) || !one_apart(from, to) || umis.at(from) < 2 * umis.at(to) - 1) continue;
                taken.insert(to);
                queue.push_back(to);
            }
        }
    }
    return tops;
}

struct random_run {
    std::string barcodes, clusters, map, umi_table;
    // Per barcode sequence: molecules by kind (mm0, mm1, mm2, align).
    std::map<std::string, std::array<int64_t, 4>> expected;
    int64_t molecules = 0, reads = 0;
};

std::string random_word(std::mt19937& rng, size_t length, const char* letters = "ACGT") {
    std::string word;
    for (size_t i = 0; i < length; ++i) word += letters[rng() % 4];
    return word;
}

random_run make_run(unsigned seed) {
    std::mt19937 rng(seed);
    random_run run;
    std::vector<std::string> barcodes;
    while (barcodes.size() < 5) {
        std::string b = random_word(rng, 8);
        if (std::find(barcodes.begin(), barcodes.end(), b) == barcodes.end()) barcodes.push_back(b);
    }
    for (size_t i = 0; i < barcodes.size(); ++i) run.barcodes += "bc" + std::to_string(i) + "\t" + barcodes[i] + "\n";

    std::vector<std::string> keys;
    while (keys.size() < 30) {
        std::string k = random_word(rng, 6);
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    }
    // Few UMIs of three letters: many one letter apart.
    std::vector<std::string> pool;
    for (int i = 0; i < 10; ++i) pool.push_back(random_word(rng, 3));
    std::map<std::string, umi_reads> key_umis;
    std::map<std::string, int64_t> key_clean_reads;
    for (const std::string& k : keys) {
        int n = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < n; ++i) {
            std::string u = rng() % 12 == 0 ? "A" + std::string("N") + "C" : pool[rng() % pool.size()];
            key_umis[k][u] += 1 + static_cast<int64_t>(rng() % 12);
        }
        for (const auto& [u, r] : key_umis[k])
            if (u.find('N') == std::string::npos) key_clean_reads[k] += r;
    }
    auto clean = [&](const std::string& k) {
        umi_reads umis;
        for (const auto& [u, r] : key_umis[k])
            if (u.find('N') == std::string::npos) umis[u] = r;
        return umis;
    };

    // Keys 0-9 head cluster lines; 10-25 are members of one to three of them; 26-29 are in no cluster.
    const int lines = 10;
    std::map<std::string, std::vector<int>> offers;
    std::vector<std::vector<std::string>> members(lines);
    for (int m = 10; m < 26; ++m) {
        int n = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < n; ++i) {
            int c = static_cast<int>(rng() % lines);
            if (std::find(offers[keys[m]].begin(), offers[keys[m]].end(), c) != offers[keys[m]].end()) continue;
            offers[keys[m]].push_back(c);
            members[c].push_back(keys[m]);
        }
    }
    run.clusters = "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n";
    // What each cluster line counts for: (barcode, kind).
    std::vector<std::vector<std::pair<std::string, int>>> counted(lines);
    const int cutoff = 70;
    run.map = "#contains: 0\n#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n";
    for (int c = 0; c < lines; ++c) {
        const std::string& core = keys[c];
        int64_t core_count = static_cast<int64_t>(reference_tops(clean(core)).size());
        int64_t total = core_count + static_cast<int64_t>(rng() % 50);
        std::sort(members[c].begin(), members[c].end());
        std::string list;
        for (const std::string& m : members[c]) list += (list.empty() ? "" : ",") + m + ":3:1";
        run.clusters += core + "\t1:0\t" + std::to_string(total) + "\t" + std::to_string(core_count) + "\t0\t0" +
                        (members[c].empty() && rng() % 2 ? "" : "\t" + list) + "\n";
        std::string head = core + "\t" + std::to_string(total) + "\t1:0\t" + std::to_string(core_count) + "\t1\t0\t0\t0\t";
        int kind = static_cast<int>(rng() % 5);
        if (kind == 4) {
            run.map += head + "none\n";
            continue;
        }
        if (kind < 3) {
            const std::string& b = barcodes[rng() % barcodes.size()];
            run.map += head + "mm" + std::to_string(kind) + "\tid\t" + b + "\n";
            counted[c].push_back({b, kind});
            continue;
        }
        std::vector<std::string> chosen = barcodes;
        std::shuffle(chosen.begin(), chosen.end(), rng);
        chosen.resize(1 + rng() % 3);
        std::string ids, seqs, items;
        for (const std::string& b : chosen) {
            int score = 60 + static_cast<int>(rng() % 20);
            ids += (ids.empty() ? "" : ";") + std::string("id");
            seqs += (seqs.empty() ? "" : ";") + b;
            items += (items.empty() ? "" : ";") + std::to_string(score) + ":" + core + ":0:0:0";
            if (score >= cutoff) counted[c].push_back({b, 3});
        }
        if (chosen.size() > 1) ids = "MULTIPLE:" + ids;
        run.map += head + "align\t" + ids + "\t" + (chosen.size() > 1 ? "MULTIPLE:" : "") + seqs + "\t" + items + "\n";
    }

    // Where each key's UMIs go: a line's own key, else the offering core
    // whose own key has the most reads, the earlier line on ties.
    std::map<std::string, int> home;
    for (int c = 0; c < lines; ++c) home[keys[c]] = c;
    for (const auto& [member, cores] : offers) {
        int best = *std::min_element(cores.begin(), cores.end(), [&](int a, int b) {
            int64_t ra = key_clean_reads[keys[a]], rb = key_clean_reads[keys[b]];
            return ra != rb ? ra > rb : a < b;
        });
        home[member] = best;
    }
    std::map<std::string, std::array<umi_reads, 4>> merged;
    for (const auto& [key, c] : home)
        for (const auto& [b, kind] : counted[c])
            for (const auto& [u, r] : clean(key)) merged[b][kind][u] += r;
    for (const std::string& b : barcodes) run.expected[b] = {0, 0, 0, 0};
    for (const auto& [b, by_kind] : merged) {
        umi_reads all;
        for (const umi_reads& umis : by_kind)
            for (const auto& [u, r] : umis) all[u] += r;
        if (all.empty()) continue;
        for (const auto& [u, r] : all) run.reads += r;
        for (const std::string& top : reference_tops(all)) {
            int kind = 0;
            for (int k = 1; k < 4; ++k)
                if ((by_kind[k].count(top) ? by_kind[k].at(top) : 0) >
                    (by_kind[kind].count(top) ? by_kind[kind].at(top) : 0))
                    kind = k;
            ++run.expected[b][kind];
            ++run.molecules;
        }
    }

    std::vector<std::string> order = keys;
    std::shuffle(order.begin(), order.end(), rng);
    std::string lines_text;
    int pairs = 0;
    for (const std::string& k : order)
        for (const auto& [u, r] : key_umis[k]) {
            lines_text += k + "\t" + u + "\t" + std::to_string(r) + "\n";
            ++pairs;
        }
    run.umi_table = "#layout: [6](3)\n#umi pairs: " + std::to_string(pairs) + "\n#read\tumi\treads\n" + lines_text;
    return run;
}

TEST(molecule_step, agrees_with_a_plain_reference_on_random_runs) {
    for (unsigned seed = 1; seed <= 120; ++seed) {
        random_run run = make_run(seed);
        tabulate_tables t;
        auto barcodes = line_reader::from_memory(run.barcodes);
        tabulate_build_barcode_links(t, *barcodes);
        auto umis = line_reader::from_memory(run.umi_table);
        auto clusters = line_reader::from_memory(run.clusters);
        auto map = line_reader::from_memory(run.map);
        molecules::sums sums = molecules::count(t, {*umis, "umis"}, {*clusters, "clusters"}, {*map, "map"});
        ASSERT_EQ(sums.molecules, run.molecules) << "seed " << seed;
        ASSERT_EQ(sums.reads, run.reads) << "seed " << seed;
        for (size_t k = 0; k < t.barcode_sequences.size(); ++k) {
            std::array<int64_t, 4> got{t.barcode_mm0s[k], t.barcode_mm1s[k], t.barcode_mm2s[k], t.barcode_aligns[k]};
            ASSERT_EQ(got, run.expected[t.barcode_sequences[k]]) << "seed " << seed << " barcode " << k;
        }
    }
}

// The collapser's tops are the UMIs that head their own group.
TEST(umi_collapser, tops_are_the_group_heads) {
    std::mt19937 rng(7);
    umi::collapser collapser;
    for (int round = 0; round < 200; ++round) {
        // Mostly packable UMIs; now and then a letter that is not, or another length.
        size_t length = round % 17 == 0 ? 40 : 4;
        std::map<std::string, int64_t> distinct;
        int n = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            std::string u = random_word(rng, length, round % 5 == 0 ? "ACGX" : "ACGT");
            if (round % 23 == 0 && i == 0) u.pop_back();
            distinct[u] = 1 + static_cast<int64_t>(rng() % 10);
        }
        std::vector<std::string_view> views;
        std::vector<int64_t> reads;
        std::vector<std::pair<std::string, int64_t>> listed;
        for (const auto& [u, r] : distinct) {
            views.push_back(u);
            reads.push_back(r);
            listed.emplace_back(u, r);
        }
        int64_t found = collapser.run(views, reads);
        std::set<std::string> expected;
        for (const auto& [member, top] : umi::groups(listed)) expected.insert(top);
        std::set<std::string> tops;
        for (uint32_t i : collapser.tops()) tops.insert(std::string(views[i]));
        ASSERT_EQ(found, umi::molecules(listed)) << round;
        ASSERT_EQ(tops, expected) << round;
        ASSERT_EQ(collapser.tops().size(), static_cast<size_t>(found));
    }
}

}  // namespace
