#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "align/alignment.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "map/align.h"
#include "map/match.h"
#include "map/tables.h"
#include "reference/map_reference.h"

namespace {

std::vector<barcode_line> lines_of(const std::string& text) {
    auto reader = line_reader::from_memory(text);
    return map_read_barcode_lines(*reader);
}

// Loads the barcode text, returning what was written to standard error.
std::string load_barcodes(const std::string& text, barcode_table& barcodes) {
    testing::internal::CaptureStderr();
    map_build_barcode_sequences(lines_of(text), barcodes);
    return testing::internal::GetCapturedStderr();
}

std::string load_clusters(const std::string& text, cluster_table& clusters) {
    auto reader = line_reader::from_memory(text);
    testing::internal::CaptureStderr();
    map_build_clusters(*reader, clusters);
    return testing::internal::GetCapturedStderr();
}

TEST(MapBarcodeFile, KeepsFirstPlaceAndLastDetails) {
    barcode_table barcodes;
    std::string err = load_barcodes("# comment\nx1\tAAAA\ny\tCCCC\nx3\tAAAA\n", barcodes);
    ASSERT_EQ(barcodes.barcode_sequences.size(), 2u);
    EXPECT_EQ(barcodes.barcode_sequences[0], "AAAA");
    EXPECT_EQ(barcodes.barcode_details[0], "x3");
    EXPECT_EQ(barcodes.barcode_details[1], "y");
    EXPECT_EQ(err, "Warning: there are non-unique barcode_sequences in the barcode file\n");
}

TEST(MapBarcodeFile, TakesTheSequenceAsWrittenUpToAFurtherTab) {
    barcode_table barcodes;
    std::string err = load_barcodes("id\tACGT\textra\n\tGG\r\nlast\tTT\tmore\tfields", barcodes);
    EXPECT_EQ(err, "Warning: barcode lines have more than two fields; the fields after the sequence are ignored\n"
                   "Warning: barcode sequences with characters other than A, C, G, T and N (lower case? a carriage "
                   "return?): 1; they match only clusters with the same characters\n");
    ASSERT_EQ(barcodes.barcode_sequences.size(), 3u);
    EXPECT_EQ(barcodes.barcode_sequences[0], "ACGT");
    EXPECT_EQ(barcodes.barcode_sequences[1], "GG\r");
    EXPECT_EQ(barcodes.barcode_details[1], "");
    EXPECT_EQ(barcodes.barcode_sequences[2], "TT");
}

TEST(MapBarcodeFile, ReportsMalformedLinesOncePerPass) {
    barcode_table barcodes;
    std::string err = load_barcodes("ACGT\nid\tCC\n\nTAIL", barcodes);
    const std::string w = "Warning: an entry is not in expected format (details\tsequence)\n";
    // The line's own newline is shown; the last line has none.
    std::string pass = w + "\tACGT\n\n" + w + "\t\n\n" + w + "\tTAIL\n";
    EXPECT_EQ(err, pass + pass);
    EXPECT_EQ(barcodes.barcode_sequences.size(), 1u);
}

TEST(MapWordIndex, HighestPositionWinsAndOverlapsAreReported) {
    barcode_table barcodes;
    std::string a = "ACGTACGTACGTACGTACGT";  // 20 letters, 3 words
    std::string b = "TTACGTACGTACGTACGTAC";  // shares its 3rd word with a's 1st
    load_barcodes("a\t" + a + "\nb\t" + b + "\nshort\tACGTACGTACGTACGTA\n", barcodes);
    word_index words;
    testing::internal::CaptureStderr();
    words.build(barcodes.barcode_sequences);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\tWarning: barcode sequence file has 18mer word overlaps\n");
    EXPECT_EQ(words.find(a.substr(0, 18)), 1);
    EXPECT_EQ(words.find(a.substr(1, 18)), 0);
    EXPECT_EQ(words.find(b.substr(0, 18)), 1);
    EXPECT_EQ(words.find("ACGTACGTACGTACGTA"), -1);  // 17 letters: no word
}

TEST(MapWordIndex, RepeatedWordWithinOneBarcodeIsAnOverlap) {
    barcode_table barcodes;
    std::string word = "ACGTTGCAACGTTGCAAC";
    load_barcodes("twice\t" + word + word + "\nodd\tACGTTGCAACGTTGCAxx\n", barcodes);
    word_index words;
    testing::internal::CaptureStderr();
    words.build(barcodes.barcode_sequences);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(words.find(word), 0);
    EXPECT_EQ(words.find("ACGTTGCAACGTTGCAxx"), 1);  // other characters are words too
}

TEST(MapNearWords, SearchOrderAndLetters) {
    barcode_table barcodes;
    std::string core = "ACGTACGTACGTACGTAC";
    std::string at3 = core, at10 = core;
    at3[3] = 'A';
    at10[10] = 'C';
    std::string with_n = core;
    with_n[17] = 'N';
    // at10 comes first in the table, but the change at place 3 is tried first.
    load_barcodes("p10\tGG" + at10 + "\np3\tGG" + at3 + "\nn\tTT" + with_n + "\n", barcodes);
    word_index words;
    testing::internal::CaptureStderr();
    words.build(barcodes.barcode_sequences);
    testing::internal::GetCapturedStderr();

    match_category category;
    EXPECT_EQ(map_find_near_word(words, at10, category), 0);
    EXPECT_EQ(category, MATCH_CONTAIN);
    EXPECT_EQ(map_find_near_word(words, core, category), 1);
    EXPECT_EQ(category, MATCH_MM1);
    // N in the core is replaced like any letter.
    std::string n_core = at3;
    n_core[5] = 'N';
    EXPECT_EQ(map_find_near_word(words, n_core, category), 1);
    EXPECT_EQ(category, MATCH_MM1);
    // A word holding N is reached by changing a letter to N.
    std::string near_n = with_n;
    near_n[17] = 'G';
    near_n[0] = 'T';
    EXPECT_EQ(map_find_near_word(words, near_n, category), 2);
    EXPECT_EQ(category, MATCH_MM2);
    EXPECT_EQ(map_find_near_word(words, "TTTTTTTTTTTTTTTTTT", category), -1);
    EXPECT_EQ(category, MATCH_NONE);
}

TEST(MapClusterFile, ReadsFieldsLikeAtoiAndLastLineWins) {
    cluster_table clusters;
    std::string err = load_clusters(
        "#core sequence\tscore\n"
        "AAA\t1:2\t3000000000\t 12\t12ab\tab\tA:1:0,C:2:0\n"
        "\n"
        "CCC\t0:0\t5\t5\t0\t0\n"
        "AAA\t3:4\t9\t8\t7\t6\n",
        clusters);
    EXPECT_EQ(err,
              "Warning: an entry is not in expected format (sequence\t(cluster details)...)\n"
              "Warning: there are non-unique cluster cores in the cluster file\n");
    ASSERT_EQ(clusters.size(), 2u);
    EXPECT_EQ(clusters.cluster_sequences[0], "AAA");
    EXPECT_EQ(clusters.cluster_totals[0], 9);
    EXPECT_EQ(clusters.cluster_mm1n[0], 3);
    EXPECT_EQ(clusters.cluster_total_mm2[0], 6);

    cluster_table first;
    load_clusters("AAA\t1:2\t3000000000\t 12\t12ab\tab\tA:1:0\n", first);
    EXPECT_EQ(first.cluster_totals[0], 3000000000LL);
    EXPECT_EQ(first.cluster_total_mm0[0], 12);
    EXPECT_EQ(first.cluster_total_mm1[0], 12);
    EXPECT_EQ(first.cluster_total_mm2[0], 0);
    EXPECT_EQ(first.cluster_mm2n[0], 2);
}

TEST(MapClusterFile, EmptyFieldIsZeroNotTheNextNumber) {
    cluster_table clusters;
    load_clusters("AAA\t:\t\t7\t\t\n", clusters);
    EXPECT_EQ(clusters.cluster_mm1n[0], 0);
    EXPECT_EQ(clusters.cluster_mm2n[0], 0);
    EXPECT_EQ(clusters.cluster_totals[0], 0);
    EXPECT_EQ(clusters.cluster_total_mm0[0], 7);
}

TEST(MapClusterFile, FormatErrorComesAfterAllWarnings) {
    cluster_table clusters;
    auto reader = line_reader::from_memory("AAA\t1:0\t5\nbad\nCCC\t0:0\t1\t1\t0\t0\n");
    testing::internal::CaptureStderr();
    try {
        map_build_clusters(*reader, clusters);
        ADD_FAILURE() << "no failure";
    } catch (const exit_request& request) {
        EXPECT_EQ(request.status, 1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: an entry is not in expected format (sequence\t(cluster details)...)\n"
              "Error: a cluster entry is not in the valid format:\t\nseq\tmm1n:mm2n\tmm0\tmm1\tmm2\n");
}

TEST(MapAlignment, ScoreOnlyAgreesWithFullAlignment) {
    std::mt19937 random(7);
    const char letters[] = "ACGTNx";
    for (int round = 0; round < 300; ++round) {
        std::string a, b;
        int la = static_cast<int>(random() % 40), lb = static_cast<int>(random() % 40);
        for (int i = 0; i < la; ++i) a += letters[random() % 6];
        for (int i = 0; i < lb; ++i) b += letters[random() % 6];
        alignment* full = align(a.c_str(), b.c_str(), -1, 5, -1);
        EXPECT_EQ(alignment_score(a, b), full->score) << a << " " << b;
        alignment_destroy(full);
    }
}

// Barcodes over a small alphabet and of mixed lengths (all three length
// classes of the fast search), cores made from them with errors, so that
// ties are common.
struct random_library {
    std::vector<std::string> barcodes;
    std::vector<std::string> cores;
};

random_library make_library(unsigned seed, int count, int cores) {
    std::mt19937 random(seed);
    random_library library;
    const char letters[] = "ACGTN";
    auto draw = [&](size_t length, int alphabet) {
        std::string s;
        for (size_t i = 0; i < length; ++i) s += letters[random() % static_cast<unsigned>(alphabet)];
        return s;
    };
    for (int i = 0; i < count; ++i) {
        int kind = static_cast<int>(random() % 10);
        size_t length = kind < 6 ? 18 + random() % 5 : kind < 8 ? 8 + random() % 25 : kind < 9 ? 33 + random() % 32 : 65 + random() % 30;
        library.barcodes.push_back(draw(length, kind == 0 ? 2 : 4));
    }
    for (int i = 0; i < cores; ++i) {
        std::string core = library.barcodes[random() % library.barcodes.size()];
        int edits = static_cast<int>(random() % 6);
        for (int e = 0; e < edits && !core.empty(); ++e) {
            size_t at = random() % core.size();
            switch (random() % 4) {
                case 0: core[at] = letters[random() % 5]; break;
                case 1: core.erase(at, 1); break;
                case 2: core.insert(at, 1, letters[random() % 4]); break;
                default: core[at] = 'x'; break;
            }
        }
        if (random() % 8 == 0) core = draw(random() % 30, 4);  // junk
        library.cores.push_back(core);
    }
    return library;
}

TEST(MapAlignment, FastSearchFindsExactlyTheBestBarcodes) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        random_library library = make_library(seed, 150, 60);
        std::vector<int32_t> everyone(library.barcodes.size());
        for (size_t p = 0; p < everyone.size(); ++p) everyone[p] = static_cast<int32_t>(p);
        barcode_aligner wide(library.barcodes), narrow(library.barcodes, false);
        for (const std::string& core : library.cores) {
            best_barcodes reference;
            best_by_full_alignment(library.barcodes, core, everyone, reference);
            for (barcode_aligner* aligner : {&wide, &narrow}) {
                best_barcodes fast;
                aligner->best_of_all(core, fast);
                EXPECT_EQ(fast.score, reference.score) << core;
                EXPECT_EQ(fast.positions, reference.positions) << core;
                aligner->best_of(core, everyone, fast);
                EXPECT_EQ(fast.positions, reference.positions) << core;
            }
        }
    }
}

// Families of 60-letter barcodes a few changes apart, skewed letter mixes,
// and cores that are near copies, chimeras of two barcodes or lower-case and
// foreign letters: the best then lies anywhere relative to the letter-count
// bound's top, and ties span barcodes well below and near that top.
TEST(MapAlignment, FastSearchAgreesOnFamiliesAndChimeras) {
    std::mt19937 random(11);
    const char letters[] = "ACGTNa#";
    auto change = [&](std::string s, int edits) {
        for (int e = 0; e < edits && !s.empty(); ++e) {
            size_t at = random() % s.size();
            switch (random() % 3) {
                case 0: s[at] = letters[random() % 7]; break;
                case 1: s.erase(at, 1); break;
                default: s.insert(at, 1, letters[random() % 4]); break;
            }
        }
        return s;
    };
    std::vector<std::string> barcodes;
    for (int family = 0; family < 40; ++family) {
        std::string root;
        unsigned alphabet = family % 5 == 0 ? 2 : 4;
        for (int i = 0; i < 60; ++i) root += letters[random() % alphabet];
        for (int member = 0; member < 8; ++member) barcodes.push_back(member == 0 ? root : change(root, 1 + static_cast<int>(random() % 4)));
    }
    std::vector<int32_t> everyone(barcodes.size());
    for (size_t p = 0; p < everyone.size(); ++p) everyone[p] = static_cast<int32_t>(p);
    barcode_aligner wide(barcodes), narrow(barcodes, false);
    for (int round = 0; round < 150; ++round) {
        const std::string& a = barcodes[random() % barcodes.size()];
        const std::string& b = barcodes[random() % barcodes.size()];
        size_t cut = random() % 61;
        std::string core = round % 3 == 0 ? a.substr(0, cut) + b.substr(std::min(cut, b.size())) : change(a, static_cast<int>(random() % 8));
        best_barcodes reference;
        best_by_full_alignment(barcodes, core, everyone, reference);
        for (barcode_aligner* aligner : {&wide, &narrow}) {
            best_barcodes fast;
            aligner->best_of_all(core, fast);
            EXPECT_EQ(fast.score, reference.score) << core;
            EXPECT_EQ(fast.positions, reference.positions) << core;
        }
    }
}

TEST(MapAlignment, TiesAmongIdenticalScoresAreAllKept) {
    std::vector<std::string> barcodes = {"AAAACCCC", "AAAAGCCC", "AAAATCCC", "GGGGGGGG"};
    barcode_aligner aligner(barcodes);
    best_barcodes best;
    aligner.best_of_all("AAAANCCC", best);
    EXPECT_EQ(best.score, 34);
    EXPECT_EQ(best.positions, (std::vector<int32_t>{0, 1, 2}));
}

TEST(MapSharedWords, RankingAgreesWithInsertionTable) {
    for (unsigned seed = 11; seed <= 13; ++seed) {
        random_library library = make_library(seed, 200, 40);
        shared_word_ranking ranking(library.barcodes);
        shared_word_flags flags(library.barcodes);
        for (const std::string& core : library.cores) {
            for (int n : {1, 2, 5, 40, 1000}) {
                std::vector<int32_t> fast, reference;
                ranking.top(core, n, fast);
                flags.top(core, n, reference);
                EXPECT_EQ(fast, reference) << core << " n=" << n;
            }
        }
    }
}

TEST(MapSharedWords, EqualCountsGoToTheLowerPosition) {
    // Shared words with core ACGTACG (words ACGT CGTA GTAC TACG): 1, 1, 1, 2.
    std::vector<std::string> barcodes = {"ACGTTTT", "CGTAGGG", "GTACCCC", "TACGTAA"};
    shared_word_ranking ranking(barcodes);
    std::vector<int32_t> top;
    ranking.top("ACGTACG", 2, top);
    EXPECT_EQ(top, (std::vector<int32_t>{0, 3}));
    ranking.top("ACG", 2, top);
    EXPECT_TRUE(top.empty());
}

}  // namespace

namespace {

TEST(MapNearWords, BlockSearchAgreesWithTryingEveryChange) {
    std::mt19937 random(5);
    // Few letters and many barcodes, so that most cores have several words
    // one and two changes away.
    const char letters[] = "ACGTN";
    for (int round = 0; round < 3; ++round) {
        std::string text;
        std::vector<std::string> sequences;
        for (int b = 0; b < 300; ++b) {
            std::string s;
            for (int i = 0; i < 19; ++i) s += letters[random() % (round == 0 ? 2 : 5)];
            text += "b\t" + s + "\n";
            sequences.push_back(s);
        }
        barcode_table barcodes;
        load_barcodes(text, barcodes);
        word_index words;
        testing::internal::CaptureStderr();
        words.build(barcodes.barcode_sequences);
        testing::internal::GetCapturedStderr();
        for (int c = 0; c < 400; ++c) {
            std::string core = sequences[random() % sequences.size()].substr(random() % 2, 18);
            for (int e = static_cast<int>(random() % 4); e > 0; --e) core[random() % 18] = letters[random() % 5];
            match_category fast, slow;
            int32_t a = map_find_near_word(words, core, fast);
            int32_t b = map_find_near_word_by_changes(words, core, slow);
            EXPECT_EQ(a, b) << core;
            EXPECT_EQ(fast, slow) << core;
        }
    }
}

}  // namespace

namespace {

// Hands out its text in small pieces of varying size, as a pipe might.
class trickle_source : public byte_source {
public:
    explicit trickle_source(std::string text) : text_(std::move(text)) {}
    size_t read(char* buffer, size_t size) override {
        size_t n = std::min({size, text_.size() - at_, 1 + (at_ * 7919) % 13});
        std::memcpy(buffer, text_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    std::string text_;
    size_t at_ = 0;
};

}  // namespace

// Random cluster files (repeated cores, lines without a tab, comments, NULs,
// carriage returns, long member lists, no last line feed) read whole and in
// trickles give the same table and messages, and the cores stand in order of
// first appearance as the lines give them.
TEST(MapClusterFile, ReadInPiecesAsWhole) {
    std::mt19937 random(3);
    for (int round = 0; round < 20; ++round) {
        std::string text;
        std::vector<std::string> order;
        for (int i = 0; i < 300; ++i) {
            std::string core = std::string("ACGT").substr(random() % 4, 1) + std::to_string(random() % 120);
            switch (random() % 10) {
                case 0: text += "#comment\t1:1\n"; continue;
                case 1: text += "no tab here\n"; continue;
                case 2: text += core + "\t1:0\t7\t5\t2\t0" + std::string(1, '\0') + "ignored\n"; break;
                case 3: text += core + "\t0:0\t3\t3\t0\t0\r\n"; break;
                case 4: text += core + "\t2:1\t9\t4\t3\t2\t" + std::string(5000, 'A') + ":1:0\n"; break;
                default: text += core + "\t" + std::to_string(i) + ":1\t" + std::to_string(i) + "\t1\t2\t3\n"; break;
            }
            if (std::find(order.begin(), order.end(), core) == order.end()) order.push_back(core);
        }
        if (round % 2 == 0) text += "TAIL\t1:1\t4\t4\t0\t0";
        if (round % 2 == 0) order.push_back("TAIL");

        cluster_table whole, pieces;
        std::string whole_err = load_clusters(text, whole);
        line_reader trickle(std::make_unique<trickle_source>(text));
        testing::internal::CaptureStderr();
        map_build_clusters(trickle, pieces);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), whole_err);
        ASSERT_EQ(whole.cluster_sequences.texts(), order);
        ASSERT_EQ(pieces.cluster_sequences.texts(), order);
        EXPECT_EQ(pieces.cluster_totals, whole.cluster_totals);
        EXPECT_EQ(pieces.cluster_mm1n, whole.cluster_mm1n);
        EXPECT_EQ(pieces.cluster_total_mm2, whole.cluster_total_mm2);
    }
}
