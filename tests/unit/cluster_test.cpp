#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "cluster_reference.h"
#include "io/line_reader.h"

namespace {

const std::string header = "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n";
const std::string stats_header =
    "#Degeneracy\tSequence Count\tSequence\tProximal Clusters\tLargest Proximal Cluster\tSmallest Proximal Cluster\tAll proximal "
    "cluster sizes\n";

std::string clusters(const std::string& table, bool single = false) {
    cluster_settings settings;
    settings.single_flag = single;
    return fast_cluster(table, settings, false, false).clusters;
}

TEST(ClusterInitial, ChainNominatesTheSequenceWithMostNeighbours) {
    EXPECT_EQ(clusters("AAAA\t100\nAAAT\t50\nAATT\t10\n"), header + "AAAT\t2:0\t160\t50\t110\t0\tAAAA:100:1,AATT:10:1\n");
}

// CAAA lies next to the cores AAAA (30) and CCAA (10).
std::string two_cores(int member_count) {
    return "AAAA\t30\nCCAA\t10\nCAAA\t" + std::to_string(member_count) + "\nAAAT\t1\nAATA\t1\nCCAT\t1\nCCTA\t1\n";
}

TEST(ClusterInitial, SharedMemberIsSplitByTheCoresOwnCounts) {
    for (int member : {8, 9}) {
        EXPECT_EQ(clusters(two_cores(member)), header +
                                                   "AAAA\t3:0\t38\t30\t8\t0\tAAAT:1:1,AATA:1:1,CAAA:6:2\n"
                                                   "CCAA\t3:0\t14\t10\t4\t0\tCAAA:2:2,CCAT:1:1,CCTA:1:1\n")
            << member;
    }
}

TEST(ClusterInitial, SingleModeGivesTheMemberToTheFirstCore) {
    EXPECT_EQ(clusters(two_cores(8), true), header +
                                                "AAAA\t3:0\t40\t30\t10\t0\tAAAT:1:1,AATA:1:1,CAAA:8:2\n"
                                                "CCAA\t3:0\t12\t10\t2\t0\tCCAT:1:1,CCTA:1:1\n");
}

TEST(ClusterInitial, ZeroCountCoresGetZeroShares) {
    std::string out = clusters("AAAA\t0\nCCAA\t0\nCAAA\t8\nAAAT\t1\nAATA\t1\nCCAT\t1\nCCTA\t1\n");
    EXPECT_NE(out.find("CAAA:0:2"), std::string::npos) << out;
}

TEST(ClusterSecondary, TwoMismatchMemberIsSharedInBothModes) {
    // TTAA is two positions from AAAA (30) and from TTTT (10).
    std::string table = "AAAA\t30\nTTTT\t10\nTTAA\t8\nAAAC\t1\nTTTG\t1\n";
    for (bool single : {false, true}) {
        EXPECT_EQ(clusters(table, single), header +
                                               "AAAA\t1:1\t37\t30\t1\t6\tAAAC:1:1,TTAA:6:0\n"
                                               "TTTT\t1:1\t13\t10\t1\t2\tTTAA:2:0,TTTG:1:1\n");
    }
}

TEST(ClusterStatistics, MemberNextToTwoCoresListsBothTotals) {
    // AAAC (a member) lies next to AAAA and AACC; a second member of AACC
    // makes its total the larger one.
    std::string table = "AAAA\t40\nAACC\t30\nAAAC\t10\nAAAT\t1\nAATA\t1\nAACG\t12\nAACT\t1\n";
    cluster_settings settings;
    reference_outputs out = fast_cluster(table, settings, true, false);
    EXPECT_EQ(out.statistics, reference_cluster(table, settings, true, false).statistics);
    EXPECT_NE(out.statistics.find("1\t10\tAAAC\t2\t"), std::string::npos) << out.statistics;
}

TEST(ClusterStatistics, SmallestSizeStopsBelowOneMillion) {
    std::string table = "AAAA\t999990\nAAAT\t10\n";
    reference_outputs out = fast_cluster(table, cluster_settings{}, true, false);
    EXPECT_EQ(out.statistics, stats_header + "1\t10\tAAAT\t1\t1000000\t0\t1000000\n");
}

// Random small tables: dense neighbourhoods, repeated sequences, zero and
// negative counts, letters outside ACGTN, mixed lengths, large counts.
std::string random_table(std::mt19937& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<std::string> bases;
    int base_count = 1 + pick(4);
    int length = 3 + pick(4);
    for (int b = 0; b < base_count; ++b) {
        std::string s;
        int len = pick(6) == 0 ? length + 1 : length;
        for (int k = 0; k < len; ++k) s += "ACGT"[pick(4)];
        bases.push_back(s);
    }
    std::string table;
    std::vector<std::string> seen;
    int lines = 3 + pick(40);
    for (int l = 0; l < lines; ++l) {
        std::string s;
        int what = pick(20);
        if (what == 0 && !seen.empty()) {
            s = seen[static_cast<size_t>(pick(static_cast<int>(seen.size())))];  // repeated
        } else {
            s = bases[static_cast<size_t>(pick(base_count))];
            int edits = pick(4);
            for (int e = 0; e < edits; ++e) {
                const char* letters = pick(15) == 0 ? "NaX" : "ACGTN";
                s[static_cast<size_t>(pick(static_cast<int>(s.size())))] = letters[pick(pick(15) == 0 ? 3 : 4)];
            }
        }
        seen.push_back(s);
        long long count;
        int kind = pick(30);
        if (kind == 0)
            count = 0;
        else if (kind == 1)
            count = -pick(5) - 1;
        else if (kind == 2)
            count = 3000000000LL + pick(1000);
        else if (kind < 12)
            count = 1 + pick(3);
        else
            count = 1 + pick(200);
        table += s + "\t" + std::to_string(count) + (pick(10) == 0 ? "\textra\n" : "\n");
        if (pick(25) == 0) table += "#comment\n";
        if (pick(30) == 0) table += "no tab here\n";
    }
    return table;
}

TEST(ClusterDifferential, FastMatchesStraightforwardOnRandomTables) {
    std::mt19937 rng(20261208);
    for (int trial = 0; trial < 1500; ++trial) {
        std::string table = random_table(rng);
        cluster_settings settings;
        settings.single_flag = rng() % 2 == 1;
        settings.align_top_n = static_cast<int>(rng() % 7);
        settings.align_score_cutoff = 1 + static_cast<int>(rng() % 20);
        settings.min_unclustered_count = static_cast<int>(rng() % 4);
        reference_outputs want = reference_cluster(table, settings, true, true);
        // Both ways of finding the cores two positions away.
        for (secondary_search how : {secondary_search::variants, secondary_search::quarters, secondary_search::sorted_quarters}) {
            reference_outputs got = fast_cluster(table, settings, true, true, how);
            ASSERT_EQ(got.clusters, want.clusters) << "trial " << trial << " single " << settings.single_flag << "\n" << table;
            ASSERT_EQ(got.alignments, want.alignments) << "trial " << trial << " n " << settings.align_top_n << "\n" << table;
            ASSERT_EQ(got.statistics, want.statistics) << "trial " << trial << "\n" << table;
        }
    }
}

// Tables in descending count, as count writes them: ties in byte order of
// the sequences, or in reverse, or shuffled (the runs of equal count are
// then sorted on their own).
TEST(ClusterDifferential, TablesInCountOrder) {
    std::mt19937 rng(1209);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::pair<long long, std::string>> lines;
        const std::string table = random_table(rng);
        for (size_t at = 0, end; at < table.size(); at = end + 1) {
            end = table.find('\n', at);
            const std::string line = table.substr(at, end - at);
            const size_t tab = line.find('\t');
            if (line[0] == '#' || tab == std::string::npos) continue;
            lines.push_back({std::atoll(line.c_str() + tab + 1), line});
        }
        const int ties = trial % 3;
        std::sort(lines.begin(), lines.end(), [&](const auto& a, const auto& b) {
            if (a.first != b.first) return a.first > b.first;
            return ties == 0 ? a.second < b.second : ties == 1 && a.second > b.second;
        });
        if (ties == 2) {
            for (size_t k = 0; k < lines.size();) {
                size_t end = k;
                while (end < lines.size() && lines[end].first == lines[k].first) ++end;
                std::shuffle(lines.begin() + static_cast<std::ptrdiff_t>(k), lines.begin() + static_cast<std::ptrdiff_t>(end), rng);
                k = end;
            }
        }
        std::string ordered;
        for (const auto& l : lines) ordered += l.second + "\n";
        cluster_settings settings;
        settings.single_flag = trial % 2 == 1;
        reference_outputs want = reference_cluster(ordered, settings, true, false);
        reference_outputs got = fast_cluster(ordered, settings, true, false);
        ASSERT_EQ(got.clusters, want.clusters) << "trial " << trial << "\n" << ordered;
        ASSERT_EQ(got.statistics, want.statistics) << "trial " << trial << "\n" << ordered;
    }
}

// Sequences that share their first half: the search by sorting meets one
// run of all cores and all unplaced sequences, more comparisons than the
// variant index costs, and leaves the table to the other searches.
TEST(ClusterDifferential, SharedHalvesLeaveTheSortingSearch) {
    std::mt19937 rng(1210);
    auto random_tail = [&] {
        std::string s(10, 'A');
        for (int k = 0; k < 10; ++k) s += "ACGT"[rng() % 4];
        return s;
    };
    std::string table;
    for (int b = 0; b < 300; ++b) {
        const std::string base = random_tail();
        table += base + "\t" + std::to_string(100 + rng() % 100) + "\n";
        for (int e = 0; e < 3; ++e) {
            std::string s = base;
            const size_t p = 10 + rng() % 10, q = 10 + (p - 10 + 1 + rng() % 9) % 10;
            s[p] = "ACGT"[(std::string("ACGT").find(s[p]) + 1 + rng() % 3) % 4];
            if (e == 2) s[q] = "ACGT"[(std::string("ACGT").find(s[q]) + 1 + rng() % 3) % 4];
            table += s + "\t" + std::to_string(1 + rng() % 5) + "\n";
        }
        table += random_tail() + "\t1\n";
    }
    for (bool single : {false, true}) {
        cluster_settings settings;
        settings.single_flag = single;
        const std::string want = reference_cluster(table, settings, false, false).clusters;
        ASSERT_EQ(fast_cluster(table, settings, false, false).clusters, want) << single;
        ASSERT_EQ(fast_cluster(table, settings, false, false, secondary_search::sorted_quarters).clusters, want) << single;
    }
}

// The three searches for 2-mismatch members agree on tables large enough for
// radix sorting, at the lengths where packing changes: 21 letters (three bits,
// N allowed), 22 and 32 (two bits: a table with an N there does not pack) and
// 33 (no packing).
TEST(ClusterDifferential, SecondarySearchesAgreeAtPackingLimits) {
    std::mt19937 rng(1211);
    for (int length : {21, 22, 32, 33}) {
        for (bool with_n : {false, true}) {
            std::string table;
            for (int b = 0; b < 1500; ++b) {
                std::string base;
                for (int k = 0; k < length; ++k) base += "ACGT"[rng() % 4];
                table += base + "\t" + std::to_string(50 + rng() % 50) + "\n";
                for (int e = 0; e < 3; ++e) {
                    std::string s = base;
                    for (int c = 0; c <= e % 2; ++c) s[rng() % s.size()] = "ACGT"[rng() % 4];
                    if (with_n && rng() % 10 == 0) s[rng() % s.size()] = 'N';
                    table += s + "\t" + std::to_string(1 + rng() % 5) + "\n";
                }
            }
            cluster_settings settings;
            const std::string want = fast_cluster(table, settings, false, false, secondary_search::variants).clusters;
            // Some core has 2-mismatch members: its score field is not "n:0".
            bool mm2 = false;
            for (size_t at = want.find('\n'); at != std::string::npos && at + 1 < want.size(); at = want.find('\n', at + 1)) {
                const size_t tab = want.find('\t', at + 1), next = want.find('\t', tab + 1);
                mm2 = mm2 || want.compare(next - 2, 2, ":0") != 0;
            }
            ASSERT_TRUE(mm2) << length << " " << with_n;
            for (secondary_search how : {secondary_search::automatic, secondary_search::quarters, secondary_search::sorted_quarters})
                ASSERT_EQ(fast_cluster(table, settings, false, false, how).clusters, want) << length << " " << with_n;
        }
    }
}

TEST(ClusterDifferential, LongSequencesUseWideWordCounts) {
    // Sequences of 250 letters and more take the counting path for long
    // words lists; a few error copies of two bases keep cores and leftovers.
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        std::string bases[2];
        for (auto& b : bases)
            for (int k = 0; k < 250 + static_cast<int>(rng() % 40); ++k) b += "ACGT"[rng() % 4];
        std::string table;
        for (int l = 0; l < 30; ++l) {
            std::string s = bases[rng() % 2];
            for (unsigned e = rng() % 6; e > 0; --e) s[rng() % s.size()] = "ACGTN"[rng() % 5];
            table += s + "\t" + std::to_string(1 + rng() % 50) + "\n";
        }
        cluster_settings settings;
        settings.align_top_n = 1 + static_cast<int>(rng() % 3);
        reference_outputs want = reference_cluster(table, settings, true, true);
        reference_outputs got = fast_cluster(table, settings, true, true);
        ASSERT_EQ(got.clusters, want.clusters) << trial;
        ASSERT_EQ(got.alignments, want.alignments) << trial;
        ASSERT_EQ(got.statistics, want.statistics) << trial;
    }
}

}  // namespace

namespace {

// A table of the shape of real runs, scaled down: barcodes with error
// copies (one or two changes), a fifth of the lines junk (random letters,
// some shorter) and some copies with a letter inserted or lost. Thousands of
// cores and hundreds of leftovers, so the alignment phase works through
// several chunks of cores and several batches of sequences.
std::string junk_heavy_table(std::mt19937& rng, int barcodes) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto random_text = [&](int length) {
        std::string s;
        for (int k = 0; k < length; ++k) s += "ACGT"[pick(4)];
        return s;
    };
    std::string table;
    for (int b = 0; b < barcodes; ++b) {
        const std::string base = random_text(14);
        table += base + "\t" + std::to_string(50 + pick(500)) + "\n";
        for (int copies = pick(4); copies > 0; --copies) {
            std::string s = base;
            for (int e = 1 + pick(2); e > 0; --e) s[static_cast<size_t>(pick(14))] = "ACGTN"[pick(5)];
            if (pick(8) == 0) {
                if (pick(2) == 0)
                    s.erase(static_cast<size_t>(pick(14)), 1), s += "ACGT"[pick(4)];
                else
                    s.insert(static_cast<size_t>(pick(14)), 1, "ACGT"[pick(4)]), s.pop_back();
            }
            table += s + "\t" + std::to_string(1 + pick(20)) + "\n";
        }
        if (pick(4) == 0) table += random_text(pick(5) == 0 ? 6 + pick(8) : 14) + "\t" + std::to_string(1 + pick(3)) + "\n";
    }
    return table;
}

}  // namespace

// The alignment phase goes over the cores in pairs after its first cores;
// with none or one chunk of them taken singly, the pairs must choose the same
// candidates: odd numbers of cores, words with N beyond the short bitmaps,
// sequences that hold a word twice.
TEST(ClusterDifferential, CoresScannedInPairsChooseTheSameCandidates) {
    std::mt19937 rng(57);
    for (int trial = 0; trial < 3; ++trial) {
        std::string table = junk_heavy_table(rng, trial == 0 ? 701 : 6000);
        for (int r = 0; r < 40; ++r) {
            std::string s = "ACGTACGTAC" + std::string(trial == 2 ? "GTACNNACGT" : "ACGTNACGTA");
            for (int e = 0; e < 3; ++e) s[rng() % s.size()] = "ACGTN"[rng() % 5];
            table += s + "\t" + std::to_string(r % 2 == 0 ? 1 : 70) + "\n";
        }
        cluster_settings settings;
        settings.align_top_n = trial == 1 ? 1 : 5;
        settings.align_score_cutoff = 40;
        settings.align_single_cores = trial == 2 ? 4096 : 0;
        reference_outputs want = reference_cluster(table, settings, true, true);
        reference_outputs got = fast_cluster(table, settings, true, true);
        ASSERT_EQ(got.alignments, want.alignments) << "trial " << trial;
    }
}

TEST(ClusterDifferential, FastMatchesStraightforwardOnJunkHeavyTables) {
    std::mt19937 rng(33);
    for (int trial = 0; trial < 3; ++trial) {
        std::string table = junk_heavy_table(rng, trial == 0 ? 300 : 5000);
        cluster_settings settings;
        settings.single_flag = trial == 1;
        settings.align_top_n = trial == 0 ? 40 : trial == 1 ? 1 : 5;
        settings.align_score_cutoff = 40;
        reference_outputs want = reference_cluster(table, settings, true, true);
        reference_outputs got = fast_cluster(table, settings, true, true);
        ASSERT_EQ(got.clusters, want.clusters) << "trial " << trial;
        ASSERT_EQ(got.alignments, want.alignments) << "trial " << trial;
        ASSERT_EQ(got.statistics, want.statistics) << "trial " << trial;
        int aligned = 0, unaligned = 0;
        std::sscanf(got.alignments.c_str(), "%*[^\n]\n#Aligned sequences: %d\tUnaligned sequences: %d", &aligned, &unaligned);
        if (trial == 0) continue;
        EXPECT_GT(aligned + unaligned, 600) << "trial " << trial;
    }
}

namespace {

struct neighbour_lists {
    std::vector<uint64_t> start;
    std::vector<uint32_t> index;
    std::vector<int32_t> counts;
};

neighbour_lists lists_of(const std::string& table, neighbour_search how) {
    cluster_state st;
    auto in = line_reader::from_memory(table);
    cluster_read_table(st, *in);
    cluster_find_neighbours(st, how);
    return {st.nb_start, st.nb_index, st.mm1_counts};
}

}  // namespace

// Sorting on halves and probing the index give the same lists in the same
// order. Groups of one length above the radix threshold, runs of thousands
// that share their first twelve letters (split again and again), repeated
// texts, negative counts, N-holding and other letters, lengths on both sides
// of 21 letters (three bits a letter up to there, two above) and of 32 (no
// packing above).
TEST(ClusterNeighbours, SortingOnHalvesMatchesProbing) {
    std::mt19937 rng(1208);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int trial = 0; trial < 4; ++trial) {
        std::string table;
        const std::string prefix = "ACGTACGTTGCA";
        for (int l = 0; l < 12000; ++l) {
            std::string s;
            int kind = pick(10);
            if (kind < 5) {
                s = prefix;  // 20 letters, sharing the first twelve
                for (int k = 0; k < 8; ++k) s += "ACGT"[pick(4)];
            } else {
                static const int lengths[] = {1, 2, 5, 21, 22, 31, 32, 33, 40};
                int length = lengths[pick(9)];
                for (int k = 0; k < length; ++k) s += "ACGT"[pick(trial == 0 ? 4 : 2)];
            }
            if (pick(8) == 0) s[static_cast<size_t>(pick(static_cast<int>(s.size())))] = 'N';
            if (pick(40) == 0) s[static_cast<size_t>(pick(static_cast<int>(s.size())))] = "NaX"[pick(3)];
            long long count = pick(30) == 0 ? -1 - pick(3) : pick(30) == 0 ? 0 : 1 + pick(100);
            table += s + "\t" + std::to_string(count) + "\n";
        }
        neighbour_lists want = lists_of(table, neighbour_search::probes);
        neighbour_lists got = lists_of(table, neighbour_search::automatic);
        ASSERT_GT(want.index.size(), 10000u) << trial;
        ASSERT_EQ(got.start, want.start) << trial;
        ASSERT_EQ(got.index, want.index) << trial;
        ASSERT_EQ(got.counts, want.counts) << trial;
    }
}

// Complete neighbourhoods: every text over an alphabet at one length, so
// every run of equal halves is as large as it can be and every letter sits
// next to every other at every position. Some texts are repeated and some
// have negative counts.
TEST(ClusterNeighbours, CompleteSetsMatchProbing) {
    struct shape {
        const char* letters;
        int free_letters;
        std::string fixed;  // put before the free letters
    };
    const shape shapes[] = {
        {"ACGNT", 6, ""},                               // three bits a letter
        {"ACGT", 7, std::string(21, 'G')},              // two bits, 28 letters
        {"ACGNT", 5, std::string(27, 'C')},             // two bits, with single-N neighbours
        {"ACGNT", 4, std::string(30, 'A')},             // several words: 34 letters
        {"ACGNT", 6, std::string(48, 'T')},             // 54 letters, runs sorted by radix
        {"ACGNT", 5, std::string(123, 'G')},            // the longest that sorts
        {"ACGNT", 3, std::string(126, 'A')},            // too long: probed
    };
    for (const shape& sh : shapes) {
        const int base = static_cast<int>(std::string(sh.letters).size());
        int total = 1;
        for (int k = 0; k < sh.free_letters; ++k) total *= base;
        std::string table;
        for (int v = 0; v < total; ++v) {
            // The free letters go at the end, or near the middle from 54
            // letters on, across a multiple of ten letters (a part's end).
            const size_t cut = sh.fixed.size() >= 48 ? sh.fixed.size() / 20 * 10 - 3 : sh.fixed.size();
            std::string s = sh.fixed.substr(0, cut);
            for (int k = 0, rest = v; k < sh.free_letters; ++k, rest /= base) s += sh.letters[rest % base];
            s += sh.fixed.substr(cut);
            const int count = v % 97 == 0 ? -1 : 1 + v % 13;
            table += s + "\t" + std::to_string(count) + "\n";
            if (v % 101 == 0) table += s + "\t5\n";
        }
        neighbour_lists want = lists_of(table, neighbour_search::probes);
        neighbour_lists got = lists_of(table, neighbour_search::automatic);
        ASSERT_EQ(got.start, want.start) << sh.fixed.size();
        ASSERT_EQ(got.index, want.index) << sh.fixed.size();
        ASSERT_EQ(got.counts, want.counts) << sh.fixed.size();
    }
}

// Long sequences (several words a text): clones of 33 to 129 letters with
// many error copies (one to three changes, N among them, now and then a
// letter that does not pack), clones sharing a long prefix or suffix with
// others, one clone whose copies all keep its first half (a run large enough
// for radix sorting of fields across parts), repeated texts, zero and
// negative counts, and a few short sequences among them.
TEST(ClusterNeighbours, LongSequencesSortedOnHalvesMatchProbing) {
    std::mt19937 rng(1212);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    auto random_text = [&](size_t length) {
        std::string s;
        for (size_t k = 0; k < length; ++k) s += "ACGT"[pick(4)];
        return s;
    };
    const size_t lengths[] = {33, 39, 40, 41, 49, 50, 60, 61, 99, 100, 128, 129};
    for (int trial = 0; trial < 3; ++trial) {
        std::string table;
        std::vector<std::string> seen;
        auto add = [&](const std::string& s) {
            const size_t kind = pick(40);
            const long long count = kind == 0 ? -1 - static_cast<long long>(pick(3)) : kind == 1 ? 0 : 1 + static_cast<long long>(pick(200));
            table += s + "\t" + std::to_string(count) + "\n";
            seen.push_back(s);
        };
        const std::string shared = random_text(45);
        for (int c = 0; c < 400; ++c) {
            const size_t length = trial == 0 ? 60 : lengths[pick(std::size(lengths))];
            std::string base = random_text(length);
            if (c % 4 == 1) base.replace(0, std::min(length - 3, shared.size()), shared, 0, std::min(length - 3, shared.size()));
            if (c % 4 == 2) base.replace(length - std::min(length - 3, shared.size()), std::string::npos, shared, 0, std::min(length - 3, shared.size()));
            add(base);
            for (size_t copies = pick(40); copies > 0; --copies) {
                std::string s = base;
                for (size_t e = 1 + pick(pick(4) == 0 ? 3 : 1); e > 0; --e) s[pick(length)] = "ACGTN"[pick(5)];
                if (pick(100) == 0) s[pick(length)] = "aX"[pick(2)];
                add(s);
            }
            if (pick(10) == 0) add(seen[pick(seen.size())]);
        }
        std::string big = random_text(trial == 2 ? 77 : 60);
        const size_t half = big.size() / 2;
        for (int v = 0; v < 6000; ++v) {
            std::string s = big;
            for (size_t e = 1 + pick(2); e > 0; --e) s[half + pick(big.size() - half)] = "ACGNT"[pick(5)];
            add(s);
        }
        for (int k = 0; k < 50; ++k) add(random_text(1 + pick(32)));
        neighbour_lists want = lists_of(table, neighbour_search::probes);
        neighbour_lists got = lists_of(table, neighbour_search::automatic);
        ASSERT_GT(want.index.size(), 40000u) << trial;
        ASSERT_EQ(got.start, want.start) << trial;
        ASSERT_EQ(got.index, want.index) << trial;
        ASSERT_EQ(got.counts, want.counts) << trial;
    }
}

// Whole runs on small tables of long sequences: clusters, alignments and
// statistics as the straightforward implementation gives them.
TEST(ClusterDifferential, LongSequencesMatchStraightforward) {
    std::mt19937 rng(1213);
    for (int trial = 0; trial < 40; ++trial) {
        const size_t length = 33 + rng() % 70;
        std::string bases[3];
        for (auto& b : bases)
            for (size_t k = 0; k < length; ++k) b += "ACGT"[rng() % 4];
        bases[2].replace(0, length / 2, bases[0], 0, length / 2);
        std::string table;
        for (int l = 0; l < 60; ++l) {
            std::string s = bases[rng() % 3];
            for (unsigned e = rng() % 4; e > 0; --e) s[rng() % s.size()] = "ACGTN"[rng() % 5];
            table += s + "\t" + std::to_string(1 + rng() % 50) + "\n";
        }
        cluster_settings settings;
        settings.single_flag = trial % 2 == 1;
        settings.align_top_n = 1 + static_cast<int>(rng() % 3);
        reference_outputs want = reference_cluster(table, settings, true, true);
        reference_outputs got = fast_cluster(table, settings, true, true);
        ASSERT_EQ(got.clusters, want.clusters) << trial << "\n" << table;
        ASSERT_EQ(got.alignments, want.alignments) << trial;
        ASSERT_EQ(got.statistics, want.statistics) << trial;
    }
}
