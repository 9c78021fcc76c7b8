#include <bitset>
#include <gtest/gtest.h>

#include <string>

#include <algorithm>
#include <random>
#include <vector>

#include "align/alignment.h"
#include "align/kernels.h"

namespace {

struct aligned {
    std::string seq1, seq2;
    int mismatches, inserts, deletes, score;
};

aligned run(const char* a, const char* b) {
    alignment* r = align(a, b, -1, 5, -1);
    aligned out{r->seq1, r->seq2, r->mismatches, r->inserts, r->deletes, r->score};
    alignment_destroy(r);
    return out;
}

int column_score(const aligned& a) {
    int score = 0;
    for (size_t i = 0; i < a.seq1.size(); ++i) {
        if (a.seq1[i] == '-' || a.seq2[i] == '-')
            score -= 1;
        else
            score += a.seq1[i] == a.seq2[i] ? 5 : -1;
    }
    return score;
}

TEST(Align, Examples) {
    aligned a = run("ACGT", "ACGT");
    EXPECT_EQ(a.seq1, "ACGT");
    EXPECT_EQ(a.seq2, "ACGT");
    EXPECT_EQ(a.score, 20);
    EXPECT_EQ(a.mismatches + a.inserts + a.deletes, 0);

    a = run("ACGT", "ACCT");
    EXPECT_EQ(a.mismatches, 1);
    EXPECT_EQ(a.score, 14);

    a = run("acgt", "ACGT");
    EXPECT_EQ(a.mismatches, 4);
    EXPECT_EQ(a.score, -4);

    a = run("AAAA", "T");
    EXPECT_EQ(a.seq1, "AAAA");
    EXPECT_EQ(a.seq2, "---T");
    EXPECT_EQ(a.mismatches, 1);
    EXPECT_EQ(a.inserts, 3);
    EXPECT_EQ(a.deletes, 0);
    EXPECT_EQ(a.score, -4);

    a = run("AC", "CA");
    EXPECT_EQ(a.seq1, "-AC");
    EXPECT_EQ(a.seq2, "CA-");
    EXPECT_EQ(a.inserts, 1);
    EXPECT_EQ(a.deletes, 1);
    EXPECT_EQ(a.mismatches, 0);
    EXPECT_EQ(a.score, 3);

    a = run("ACGTTTGCA", "ACGTGCA");
    EXPECT_EQ(a.seq1, "ACGTTTGCA");
    EXPECT_EQ(a.seq2, "ACG--TGCA");
    EXPECT_EQ(a.inserts, 2);
    EXPECT_EQ(a.score, 33);

    a = run("", "ACG");
    EXPECT_EQ(a.seq1, "---");
    EXPECT_EQ(a.seq2, "ACG");
    EXPECT_EQ(a.deletes, 3);
    EXPECT_EQ(a.score, -3);

    a = run("", "");
    EXPECT_EQ(a.seq1, "");
    EXPECT_EQ(a.seq2, "");
    EXPECT_EQ(a.score, 0);
    alignment_destroy(nullptr);
}

TEST(Align, ScoreIsTheSumOfColumnsAndTextsAreEqualLength) {
    const char* pairs[][2] = {{"ACGTACGTAC", "ACGACGTTAC"}, {"GATTACA", "GCATGCT"}, {"NNNN", "ACGT"},
                              {"ACGTTGCAACGTAGGCTAGC", "ACGTGCAACGTAGGCTTAGCA"}, {"T", "AAAAAAAA"}};
    for (auto& p : pairs) {
        aligned a = run(p[0], p[1]);
        EXPECT_EQ(a.seq1.size(), a.seq2.size());
        EXPECT_EQ(column_score(a), a.score) << p[0] << " " << p[1];
    }
}

TEST(Align, NoColumnLimit) {
    std::string a(1500, 'A'), b(1400, 'A');
    aligned r = run(a.c_str(), b.c_str());
    EXPECT_EQ(r.seq1.size(), 1500u);
    EXPECT_EQ(r.inserts, 100);
    EXPECT_EQ(r.score, 1400 * 5 - 100);
}

}  // namespace

// Every kernel level this processor runs gives the scalar results: the
// scores of 16 sequences at once, which cores of random bitmaps reach a
// count, and the bits short bitmaps share.
TEST(AlignmentKernels, EveryLevelAgreesWithTheScalarForms) {
    using namespace kernel_layout;
    std::mt19937 random(11);
    const char letters[] = "ACGTNx";
    const alignment_kernels* done = nullptr;  // the scalar level shares the sse2 kernels
    for (isa_level level : isa_levels_available()) {
        const alignment_kernels& k = alignment_kernels_for(level);
        if (&k == done) continue;
        done = &k;
        SCOPED_TRACE(k.name);
        for (int round = 0; round < 40; ++round) {
            std::string core(random() % 30, 'A');
            for (char& c : core) c = letters[random() % 6];
            std::vector<std::string> seqs(dp_lanes);
            size_t m = 0;
            for (auto& s : seqs) {
                s.resize(random() % 30);
                for (char& c : s) c = letters[random() % 6];
                m = std::max(m, s.size());
            }
            std::vector<int16_t> lane_letters(m * dp_lanes, -1), core_letters(core.begin(), core.end());
            for (size_t l = 0; l < dp_lanes; ++l)
                for (size_t y = 0; y < seqs[l].size(); ++y) lane_letters[y * dp_lanes + l] = seqs[l][y];
            std::vector<int16_t> cells((core.size() + 1) * dp_lanes), ends((m + 1) * dp_lanes);
            k.scores(lane_letters.data(), m, core_letters.data(), core.size(), cells.data(), ends.data());
            for (size_t l = 0; l < dp_lanes; ++l) EXPECT_EQ(ends[seqs[l].size() * dp_lanes + l], alignment_score(seqs[l], core)) << l;
        }
        // Counts of sparse and dense rows, with bars low enough to mark
        // many cores and high enough to hold rows back.
        for (size_t nrows : {1u, 2u, 3u, 7u, 16u, 17u, 20u, 33u, 130u, 255u}) {
            const size_t len = vector_words * (1 + random() % (chunk_blocks / vector_words));
            const size_t first = vector_words * (random() % 3);
            const int sparseness = 1 + static_cast<int>(random() % 4);
            std::vector<std::vector<uint64_t>> bitmaps(nrows, std::vector<uint64_t>(first + len));
            std::vector<const uint64_t*> rows;
            for (auto& b : bitmaps) {
                for (auto& w : b) {
                    w = ~uint64_t{0};
                    for (int i = 0; i < sparseness; ++i) w &= uint64_t{random()} << 32 | random();
                }
                rows.push_back(b.data());
            }
            int used_planes = 1;
            while ((nrows >> used_planes) != 0) ++used_planes;
            for (unsigned v : {1u, 2u, static_cast<unsigned>(nrows / 2 + 1), static_cast<unsigned>(nrows / 4 + 7),
                               static_cast<unsigned>(1 + random() % nrows), static_cast<unsigned>(nrows + 1)}) {
                std::vector<uint64_t> masks(chunk_blocks), planes(chunk_blocks * max_planes);
                const uint64_t any = k.chunk_counts(rows.data(), nrows, first, len, used_planes, v, masks.data(), planes.data());
                for (size_t word = 0; word < len; ++word) {
                    uint64_t want = 0;
                    for (size_t bit = 0; bit < 64; ++bit) {
                        unsigned sum = 0;
                        for (auto& b : bitmaps) sum += b[first + word] >> bit & 1;
                        want |= static_cast<uint64_t>(sum >= v) << bit;
                        if (want == 0) continue;
                        // Counts are kept wherever a core reaches the bar.
                        unsigned kept = 0;
                        for (int j = 0; j < used_planes; ++j)
                            kept |= static_cast<unsigned>(planes[static_cast<size_t>(j) * chunk_blocks + word] >> bit & 1) << j;
                        ASSERT_EQ(kept, sum) << nrows << " rows, word " << word << ", bit " << bit;
                    }
                    ASSERT_EQ(any >> word & 1, want != 0 ? 1u : 0u) << nrows << " rows, at least " << v << ", word " << word;
                    if (want != 0) {
                        ASSERT_EQ(masks[word], want) << nrows << " rows, at least " << v << ", word " << word;
                    }
                }
            }
        }
        // Shared bits of short bitmaps, empty to full, items in any order.
        std::vector<uint64_t> core_words(50 * short_words), seq_words(7 * short_words);
        for (size_t i = 0; i < core_words.size(); ++i)
            core_words[i] = i < short_words ? 0 : i < 2 * short_words ? ~uint64_t{0} : (uint64_t{random()} << 32 | random()) & random();
        for (size_t i = 0; i < seq_words.size(); ++i) seq_words[i] = i < short_words ? ~uint64_t{0} : uint64_t{random()} << 32 | random();
        std::vector<uint32_t> item_core, item_seq;
        for (uint32_t c = 0; c < 50; ++c)
            for (uint32_t q = 0; q < 7; ++q) item_core.push_back(49 - c), item_seq.push_back((q * 3 + c) % 7);
        std::vector<int> counts(item_core.size());
        k.short_counts(core_words.data(), item_core.data(), seq_words.data(), item_seq.data(), item_core.size(), counts.data());
        for (size_t i = 0; i < item_core.size(); ++i) {
            int want = 0;
            for (size_t w = 0; w < short_words; ++w)
                want += std::bitset<64>(core_words[item_core[i] * short_words + w] & seq_words[item_seq[i] * short_words + w]).count();
            ASSERT_EQ(counts[i], want) << "item " << i;
        }
    }
}
