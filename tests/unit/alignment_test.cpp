#include <gtest/gtest.h>

#include <string>

#include "alignment.h"

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
