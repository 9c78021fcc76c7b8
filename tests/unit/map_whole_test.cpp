#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "io/line_reader.h"
#include "map/match.h"
#include "map/tables.h"
#include "map/whole.h"

namespace {

// Every barcode of the core's length compared letter by letter; only A, C, G
// and T agree.
whole_match reference_match(const std::vector<std::string>& barcodes, const std::string& core, bool* tied = nullptr) {
    whole_match best;
    int fewest = 3;
    bool tie = false;
    for (size_t p = 0; p < barcodes.size(); ++p) {
        if (barcodes[p].size() != core.size()) continue;
        int substitutions = 0;
        for (size_t j = 0; j < core.size(); ++j) {
            bool agree = core[j] == barcodes[p][j] && std::string_view("ACGT").find(core[j]) != std::string_view::npos;
            substitutions += !agree;
        }
        if (substitutions < fewest) {
            fewest = substitutions;
            best.position = static_cast<int32_t>(p);
            tie = false;
        } else if (substitutions == fewest) {
            tie = true;
        }
    }
    if (tied != nullptr) *tied = tie && fewest <= 2;
    if (tie || fewest > 2) return whole_match{};
    best.substitutions = fewest;
    return best;
}

std::string random_text(std::mt19937& random, size_t length, const std::string& letters) {
    std::string s(length, 'A');
    for (char& c : s) c = letters[random() % letters.size()];
    return s;
}

ordered_texts texts_of(const std::vector<std::string>& sequences) {
    ordered_texts texts;
    for (const std::string& s : sequences) {
        bool added;
        texts.insert(s, added);
    }
    return texts;
}

// Random barcode sets of several lengths (some holding N or other
// characters, some close relatives so that cores fall between two), and
// cores made from them with up to three substitutions, N among the letters
// put in, plus cores of lengths no barcode has.
TEST(MapWhole, AgreesWithComparingEveryBarcode) {
    std::mt19937 random(7);
    const std::vector<size_t> lengths = {1, 2, 5, 9, 20, 33, 60, 64, 65, 150};
    int kinds[3] = {}, ties = 0;
    for (int round = 0; round < 30; ++round) {
        std::vector<std::string> barcodes;
        for (int b = 0; b < 60; ++b) {
            size_t length = lengths[random() % lengths.size()];
            std::string letters = random() % 8 == 0 ? "ACGTN" : random() % 12 == 0 ? "ACGTx" : "ACGT";
            std::string s = random_text(random, length, letters);
            // A relative two substitutions away: a core one from each ties.
            if (!barcodes.empty() && random() % 4 == 0) {
                s = barcodes[random() % barcodes.size()];
                for (int e = 0; e < 2; ++e) s[random() % s.size()] = "ACGT"[random() % 4];
            }
            barcodes.push_back(s);
        }
        ordered_texts texts = texts_of(barcodes);
        const std::vector<std::string>& distinct = texts.texts();
        whole_index index(texts);
        int matched = 0;
        for (int c = 0; c < 400; ++c) {
            std::string core;
            if (c % 10 == 9) {
                core = random_text(random, 1 + random() % 70, "ACGTN");
            } else {
                core = distinct[random() % distinct.size()];
                int changes = static_cast<int>(random() % 4);
                for (int e = 0; e < changes; ++e) core[random() % core.size()] = "ACGTN"[random() % 5];
            }
            bool tied = false;
            whole_match want = reference_match(distinct, core, &tied);
            ties += tied;
            whole_match got = index.find(core);
            ASSERT_EQ(got.position, want.position) << "core " << core << " round " << round;
            if (want.position >= 0) {
                EXPECT_EQ(got.substitutions, want.substitutions) << core;
                ++kinds[want.substitutions];
                ++matched;
            }
        }
        EXPECT_GT(matched, 100);
    }
    for (int kind : kinds) EXPECT_GT(kind, 500);
    EXPECT_GT(ties, 50);
}

TEST(MapWhole, KindsTiesAndOtherCharacters) {
    const std::string a = "ACGTACGTTGCAACGTAGGC";
    std::string b = a;
    b[3] = 'A', b[15] = 'C';  // two substitutions from a
    std::string with_n = "GGGGCCCCAATTNNGGCCAA";
    ordered_texts texts = texts_of({a, b, with_n, "NNNACGT", "ACGTAC"});
    whole_index index(texts);
    EXPECT_EQ(index.unmatchable(), 1u);  // three Ns
    auto expect = [&](std::string core, int position, int substitutions) {
        whole_match m = index.find(core);
        EXPECT_EQ(m.position, position) << core;
        if (position >= 0) {
            EXPECT_EQ(m.substitutions, substitutions) << core;
        }
    };
    expect(a, 0, 0);
    expect(b, 1, 0);
    std::string between = a;
    between[3] = 'A';  // one from a, one from b
    expect(between, -1, 0);
    std::string n_core = a;
    n_core[0] = 'N';
    expect(n_core, 0, 1);
    // The barcode's own Ns never agree, not even with an N.
    expect(with_n, 2, 2);
    std::string changed = with_n;
    changed[0] = 'T';
    expect(changed, -1, 0);
    expect("NNNACGT", -1, 0);
    expect("ACGTAC", 4, 0);
    expect("ACGTA", -1, 0);  // no barcode of 5 letters
    expect("TTTTTT", -1, 0);
}

// With whole matching first, the word phase neither looks at the clusters
// matched whole nor stops at them.
TEST(MapWhole, WordPhaseSkipsWholeMatchesAndTheirLengths) {
    barcode_table barcodes;
    auto barcode_reader = line_reader::from_memory("s\tACGTTGCAACGTAGGCATGG\nlong\t" + std::string(30, 'C') + "\n");
    testing::internal::CaptureStderr();
    map_build_barcode_sequences(map_read_barcode_lines(*barcode_reader), barcodes);
    word_index words;
    words.build(barcodes.barcode_sequences);
    cluster_table clusters;
    auto cluster_reader = line_reader::from_memory(std::string(29, 'C') + "G\t0:0\t5\t5\t0\t0\n" +
                                                   "ACGTTGCAACGTAGGCAA\t0:0\t3\t3\t0\t0\n");
    map_build_clusters(*cluster_reader, clusters);
    match_state state(clusters.size());
    map_match_whole_barcodes(barcodes, clusters, state);
    map_match_by_mismatches(barcodes, words, clusters, state);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Skipping"), std::string::npos) << err;
    EXPECT_NE(err.find("\t1 of 2 clusters matched whole\n"), std::string::npos) << err;
    EXPECT_EQ(state.match[0], 1);
    EXPECT_EQ(state.match_type[0], MATCH_MM1);
    EXPECT_EQ(state.match[1], 0);
    EXPECT_EQ(state.match_type[1], MATCH_MM1);
}

}  // namespace
