#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "align/words.h"
#include "dna/letters.h"

namespace {

TEST(Letters, EveryByteHasItsCodes) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const std::string_view bases = "ACGT", sorted = "ACGNT";
        size_t base = bases.find(c), place = sorted.find(c);
        uint8_t code = base != std::string_view::npos ? static_cast<uint8_t>(base) : c == 'N' ? 4 : dna::other_code;
        EXPECT_EQ(dna::code_of(c), code) << b;
        EXPECT_EQ(dna::is_base(c), base != std::string_view::npos) << b;
        EXPECT_EQ(dna::is_letter(c), place != std::string_view::npos) << b;
        EXPECT_EQ(dna::sorted_code_of(c), place == std::string_view::npos ? -1 : static_cast<int>(place)) << b;
        if (code < 5) {
            EXPECT_EQ(dna::letter_of(code), c);
        }
        // Pairing twice gives the byte back; only A, C, G and T change.
        EXPECT_EQ(dna::complement(dna::complement(c)), c) << b;
        EXPECT_EQ(dna::complement(c) != c, base != std::string_view::npos) << b;
    }
    EXPECT_EQ(dna::complement('A'), 'T');
    EXPECT_EQ(dna::complement('C'), 'G');
}

TEST(Letters, ReverseComplement) {
    struct example {
        const char* text;
        const char* turned;
    };
    for (example e : {example{"", ""}, example{"A", "T"}, example{"ACGTN", "NACGT"}, example{"AAGx", "xCTT"},
                      example{"GATTACA", "TGTAATC"}}) {
        EXPECT_EQ(dna::reverse_complement(e.text), e.turned);
        EXPECT_EQ(dna::all_letters(e.text), std::string_view(e.text).find('x') == std::string_view::npos);
    }
}

// A word's number letter by letter, a zero byte ending it.
int reference_word(std::string_view word) {
    int number = 0;
    for (char c : word) {
        if (c == 0) break;
        number = number * 5 + std::min<int>(dna::code_of(c), 4);
    }
    return number;
}

TEST(Words, NumbersOfEveryPlace) {
    struct example {
        std::string text;
        std::vector<int> numbers;
    };
    for (const example& e : {example{"ACG", {}}, example{"ACGT", {38}}, example{"TTTT", {468}}, example{"NNNN", {624}},
                             example{"xyzw", {624}}, example{"ACGTA", {38, 190}},
                             example{std::string("AC\0G", 4), {1}}, example{std::string("\0ACGT", 5), {0, 38}}}) {
        std::vector<int> found;
        words::words_of(e.text, found);
        EXPECT_EQ(found, e.numbers) << e.text;
    }
    // The rolling count agrees with the word by word one, zero bytes or not.
    std::mt19937 random(3);
    const char alphabet[] = {'A', 'C', 'G', 'T', 'N', 'a', '\0'};
    for (int round = 0; round < 300; ++round) {
        std::string text(random() % 40, 'A');
        for (char& c : text) c = alphabet[random() % (round % 2 == 0 ? 6 : 7)];
        std::vector<int> found, expected;
        words::words_of(text, found);
        for (size_t j = 0; j + 4 <= text.size(); ++j) expected.push_back(reference_word(text.substr(j, 4)));
        EXPECT_EQ(found, expected) << round;
    }
}

TEST(Words, RankingAgreesWithCountingEveryText) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        // Few letters in short texts: many ties.
        std::vector<std::string> texts(1 + random() % 300);
        for (std::string& t : texts) {
            t.resize(random() % 14);
            for (char& c : t) c = "ACGTN"[random() % (round % 3 == 0 ? 2 : 5)];
        }
        words::word_ranking ranking(texts.size(), [&](size_t i) { return std::string_view(texts[i]); });
        for (int query = 0; query < 20; ++query) {
            std::string q(random() % 20, 'A');
            for (char& c : q) c = "ACGTN"[random() % 5];
            std::vector<int> qw;
            words::words_of(q, qw);
            std::vector<words::ranked> expected;
            for (size_t i = 0; i < texts.size(); ++i) {
                std::vector<int> tw;
                words::words_of(texts[i], tw);
                int shared = 0;
                for (int w : qw) shared += std::find(tw.begin(), tw.end(), w) != tw.end();
                if (shared > 0) expected.push_back({shared, static_cast<uint32_t>(i)});
            }
            std::sort(expected.begin(), expected.end(), [](const words::ranked& a, const words::ranked& b) {
                return a.shared != b.shared ? a.shared > b.shared : a.index < b.index;
            });
            for (size_t n : {size_t{0}, size_t{1}, size_t{3}, size_t{10}, size_t{1000}}) {
                std::vector<words::ranked> top;
                ranking.top(qw, n, top);
                std::sort(top.begin(), top.end(), [](const words::ranked& a, const words::ranked& b) { return a.index < b.index; });
                std::vector<words::ranked> want(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(std::min(n, expected.size())));
                std::sort(want.begin(), want.end(), [](const words::ranked& a, const words::ranked& b) { return a.index < b.index; });
                ASSERT_EQ(top.size(), want.size()) << round << " " << q << " n=" << n;
                for (size_t k = 0; k < top.size(); ++k) {
                    EXPECT_EQ(top[k].index, want[k].index);
                    EXPECT_EQ(top[k].shared, want[k].shared);
                }
            }
        }
    }
}

}  // namespace
