#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "count/layout.h"

namespace {

using count::element_kind;
using count::layout;
using count::layout_matcher;

layout parsed(const std::string& text, int mismatches = -1) {
    std::string problem;
    std::optional<layout> shape = layout::parse(text, mismatches, problem);
    EXPECT_TRUE(shape.has_value()) << text << ": " << problem;
    return shape.value_or(layout{});
}

// The barcode letters the layout finds in the read, or "-" when it has none.
std::string barcode_of(const std::string& text, const std::string& read, int mismatches = -1) {
    layout shape = parsed(text, mismatches);
    layout_matcher matcher(shape);
    if (!matcher.match(read.data(), read.size())) return "-";
    std::string out(matcher.letters(element_kind::barcode), '\0');
    matcher.gather(element_kind::barcode, read.data(), nullptr, out.data(), nullptr);
    return out;
}

TEST(LayoutParse, ElementsAndTheirAllowances) {
    layout shape = parsed("{18-26}CACCG[20]GTCGACCTGCAGCGTACGNN(8){3}[4-]");
    const std::vector<count::layout_element>& e = shape.elements();
    ASSERT_EQ(e.size(), 7u);
    EXPECT_EQ(e[0].kind, element_kind::skip);
    EXPECT_EQ(e[0].min_length, 18u);
    EXPECT_EQ(e[0].max_length, 26u);
    EXPECT_TRUE(e[0].variable());
    EXPECT_EQ(e[1].letters, "CACCG");
    EXPECT_EQ(e[1].mismatches, 0u);  // five letters: none
    EXPECT_EQ(e[2].kind, element_kind::barcode);
    EXPECT_FALSE(e[2].variable());
    EXPECT_EQ(e[3].mismatches, 1u);  // 18 letters besides the two N: one
    EXPECT_EQ(e[4].kind, element_kind::umi);
    EXPECT_EQ(e[4].min_length, 8u);
    EXPECT_EQ(e[6].max_length, layout::unbounded);
    EXPECT_TRUE(shape.has(element_kind::umi));
    EXPECT_EQ(parsed("ACGTACGTACGTACGTACGTA[3]").elements()[0].mismatches, 2u);
    // -e: the same for every constant, never more than its letters.
    EXPECT_EQ(parsed("CACCG[20]", 3).elements()[0].mismatches, 3u);
    EXPECT_EQ(parsed("NNCC[2]", 9).elements()[0].mismatches, 2u);
}

TEST(LayoutParse, LayoutsThatCannotWorkAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "no barcode slot [n]"},
        {"CACCG{3}", "no barcode slot [n]"},
        {"[8]{2-4}[3-5]AC", "two variable-length elements in a row"},
        {"[8]{2-4}[3]", "a variable-length element followed by a barcode slot, not a constant"},
        {"[3-4]AC{1-2}", "a variable-length skip at the end (nothing ends its range)"},
        {"[0]", "an empty barcode slot"},
        {"[3](0)", "an empty UMI slot"},
        {"[5-3]", "a range from 5 down to 3"},
        {"cacc[3]", "the letter 'c' (constants are written in A, C, G, T and N)"},
        {"AC-[3]", "the character '-' at position 3"},
        {"[3", "'[' without ']'"},
        {"{2-5[3]", "'{' without '}'"},
        {"(3-4)[2]", "'(' without ')'"},
        {"<8>", "no barcode slot [n]"},
        {"[3]<0>", "an empty sample barcode slot"},
        {"<6-8>[3]", "a sample barcode slot of more than one length (it has one, as in <8>)"},
        {"<6[3]", "'<' without '>'"},
        {"{1-3}<6>[3]", "a variable-length element followed by a sample barcode slot, not a constant"},
        {"[]", "a length is missing at position 2"},
        {"[99999999999]", "a length above 1000000"},
    };
    for (const auto& [text, expected] : cases) {
        std::string problem;
        EXPECT_FALSE(layout::parse(text, -1, problem).has_value()) << text;
        EXPECT_EQ(problem, expected) << text;
    }
}

TEST(LayoutMatch, GuidesFlankedBarcodesLongBarcodesAndSpacers) {
    const std::string guide = "ACGTACGTACGTACGTACGT";
    // A leading constant may start anywhere; a window keeps an early copy out.
    EXPECT_EQ(barcode_of("CACCG[20]", "TTT" "CACCG" + guide + "GG"), guide);
    std::string early = "AACACCGAAAAAAAAAAAGGGG" "CACCG" + guide;  // CACCG at 2 and at 22
    EXPECT_EQ(barcode_of("CACCG[20]", early), early.substr(7, 20));
    EXPECT_EQ(barcode_of("{18-26}CACCG[20]", early), guide);
    EXPECT_EQ(barcode_of("{18-26}CACCG[20]", std::string(17, 'A') + "CACCG" + guide), "-");
    // Two constants around a fixed slot; the second is placed where the slot ends.
    const std::string up = "GTCGACCTGCAGCGTACG", down = "CGCTCGAGGG";
    EXPECT_EQ(barcode_of(up + "[20]" + down, "GATC" + up + guide + down + "AAA"), guide);
    EXPECT_EQ(barcode_of(up + "[20]" + down, "GATC" + up + guide + "CGCTCGAGCC"), "-");  // 2 over 1
    EXPECT_EQ(barcode_of(up + "[20]" + down, "GATC" + up + guide + "CGCTCGAGGC"), guide);
    // A final ranged slot takes up to its longest, and needs its shortest.
    EXPECT_EQ(barcode_of("CGATTGACTA[20-60]", "GG" "CGATTGACTA" + guide + guide), guide + guide);
    EXPECT_EQ(barcode_of("CGATTGACTA[20-30]", "GG" "CGATTGACTA" + guide + guide), (guide + guide).substr(0, 30));
    EXPECT_EQ(barcode_of("CGATTGACTA[20-60]", "GG" "CGATTGACTA" + guide.substr(0, 19)), "-");
    // Anchored at the start, two parts across a spacer.
    EXPECT_EQ(barcode_of("[8]{6}ACGT[8]", "AAAACCCC" "GGGGGG" "ACGT" "TTTTGGGG" "CC"), "AAAACCCCTTTTGGGG");
    EXPECT_EQ(barcode_of("[8]{6}ACGT[8]", "AAAACCCC" "GGGGGG" "ACGA" "TTTTGGGG"), "-");
    EXPECT_EQ(barcode_of("[8]{6}ACGT[8]", "AAAACCCC" "GGGGGG" "ACGT" "TTTTGGG"), "-");  // too short
}

TEST(LayoutMatch, TiesAllowancesAndN) {
    // Equal mismatches: the leftmost start; fewer mismatches win over leftmost.
    EXPECT_EQ(barcode_of("ACGTACGTAC[2]", "ACGTACGTTC" "GG" "ACGTACGTAC" "TT"), "TT");
    EXPECT_EQ(barcode_of("ACGTACGTAC[2]", "ACGTACGTTC" "GG" "ACGTACCTAC" "TT"), "GG");
    EXPECT_EQ(barcode_of("ACGTACGTAC[2]", "ACGTAGGTTC" "GG", 0), "-");
    EXPECT_EQ(barcode_of("ACGTACGTAC[2]", "ACGTAGGTTC" "GG", 2), "GG");
    // N in a constant matches anything, N in the read matches nothing.
    EXPECT_EQ(barcode_of("CANCG[3]", "CATCGAAA"), "AAA");
    EXPECT_EQ(barcode_of("CACCG[3]", "CANCGAAA"), "-");
    // A skip's range: the constant is searched only from m to n letters on.
    EXPECT_EQ(barcode_of("[2]{1-3}TTT[2]", "AA" "C" "TTT" "GG"), "AAGG");
    EXPECT_EQ(barcode_of("[2]{1-3}TTT[2]", "AA" "CCC" "TTT" "GG"), "AAGG");
    EXPECT_EQ(barcode_of("[2]{1-3}TTT[2]", "AA" "CCCC" "TTT" "GG"), "-");
    EXPECT_EQ(barcode_of("[2]{1-3}TTT[2]", "AA" "TTT" "GG"), "-");
    // A ranged barcode slot between constants gets the letters in between.
    EXPECT_EQ(barcode_of("ACGT[2-5]TTGCA", "ACGT" "CCC" "TTGCA"), "CCC");
    // Letters after the last element are ignored; letters before the first
    // element of an anchored layout are not skipped.
    EXPECT_EQ(barcode_of("[3]GG", "AAAGGCCCC"), "AAA");
    EXPECT_EQ(barcode_of("[3]GG", "TAAAGG"), "-");
}

TEST(LayoutMatch, UmiSlotIsPlacedAndHandsOutItsLetters) {
    layout shape = parsed("ACGT(4)[3]");
    layout_matcher matcher(shape);
    std::string read = "ACGT" "TTAG" "CCC", qual = "IIII" "ABCD" "EFG";
    ASSERT_TRUE(matcher.match(read.data(), read.size()));
    std::string umi(matcher.letters(element_kind::umi), '\0'), umi_qual(umi.size(), '\0');
    matcher.gather(element_kind::umi, read.data(), qual.data(), umi.data(), umi_qual.data());
    EXPECT_EQ(umi, "TTAG");
    EXPECT_EQ(umi_qual, "ABCD");
    EXPECT_EQ(matcher.letters(element_kind::barcode), 3u);
}

// The sample barcode slot is placed like any fixed slot; its letters are
// kept apart from the barcode's and the UMI's.
TEST(LayoutMatch, SampleSlotIsPlacedApartFromTheKey) {
    layout shape = parsed("TTGA<6>CACCG[4](3)");
    EXPECT_TRUE(shape.has(element_kind::sample));
    EXPECT_FALSE(parsed("TTGA{6}CACCG[4]").has(element_kind::sample));
    layout_matcher matcher(shape);
    std::string read = "GC" "TTGA" "GATCAG" "CACCG" "AAAA" "CGT" "TT";
    ASSERT_TRUE(matcher.match(read.data(), read.size()));
    std::string sample(matcher.letters(element_kind::sample), '\0');
    matcher.gather(element_kind::sample, read.data(), nullptr, sample.data(), nullptr);
    EXPECT_EQ(sample, "GATCAG");
    EXPECT_EQ(matcher.letters(element_kind::barcode), 4u);
    EXPECT_EQ(matcher.letters(element_kind::umi), 3u);
    std::string cut = "TTGA" "GATC";  // too short for the slot
    EXPECT_FALSE(matcher.match(cut.data(), cut.size()));
}

// The rules written the plain way: every start tried, mismatches counted
// letter by letter. The matcher's bit-parallel search must agree.
std::string reference_barcode(const layout& shape, const std::string& read) {
    const auto& e = shape.elements();
    std::string out;
    std::vector<std::pair<size_t, size_t>> pieces(e.size());
    size_t cursor = 0;
    for (size_t i = 0; i < e.size(); ++i) {
        if (e[i].kind == element_kind::constant) {
            size_t size = e[i].letters.size();
            bool searched = i == 0 || e[i - 1].variable();
            size_t lo = cursor, hi = cursor;
            if (searched) {
                hi = read.size();
                if (i > 0) {
                    lo += e[i - 1].min_length;
                    if (e[i - 1].max_length != layout::unbounded) hi = cursor + e[i - 1].max_length;
                }
            }
            size_t best_at = 0;
            uint32_t best = UINT32_MAX;
            for (size_t s = lo; s <= hi && s + size <= read.size(); ++s) {
                uint32_t m = 0;
                for (size_t j = 0; j < size; ++j) m += e[i].letters[j] != 'N' && e[i].letters[j] != read[s + j];
                if (m < best) best = m, best_at = s;
            }
            if (best > e[i].mismatches) return "-";
            if (i > 0 && searched) pieces[i - 1] = {cursor, best_at - cursor};
            cursor = best_at + size;
        } else if (e[i].variable()) {
            if (i + 1 < e.size()) continue;
            if (read.size() - cursor < e[i].min_length) return "-";
            pieces[i] = {cursor, std::min<size_t>(read.size() - cursor, e[i].max_length)};
        } else {
            if (read.size() - cursor < e[i].min_length) return "-";
            pieces[i] = {cursor, e[i].min_length};
            cursor += e[i].min_length;
        }
    }
    for (size_t i = 0; i < e.size(); ++i) {
        if (e[i].kind == element_kind::barcode) out += read.substr(pieces[i].first, pieces[i].second);
    }
    return out;
}

TEST(LayoutMatch, AgreesWithThePlainRulesOnRandomReads) {
    // Short alphabets make near matches common; long reads cross the
    // search's 64-start windows.
    const std::vector<std::string> layouts = {
        "ACGTACGTACGT[6]",  "{3-70}ACGGTACGTTA[4-9]", "[5]{0-}CCGTANCCAT[5]", "ACGT[2-6]AACGTT[3]",
        "NACGTACGAGTCCA[3]", "TTGCAGCATGCAGTTGCAGCATGCA[10-]", "[2]{1-100}ACGTTGCA{2}[3]TTGG",
        // Narrow windows, searched start by start: constants of up to 16
        // letters, up to 32, and longer; windows of up to 32 starts and one more.
        "{8}{0-8}GTCGACCTGCAGCGTACG[20]CGCTCGAGGG", "{0-4}ACGTTGCA[3]", "{2-33}ACGNTGCAACGTACGTACGTTGCATTGCAAC[4]",
        "{0-31}ACGTNACG[3]", "{0-32}ACGTNACG[3]", "{1-9}ACGTACGTACGTACGTACGTACGTACGTACGTA[2]",
    };
    std::mt19937_64 random(11);
    for (const std::string& text : layouts) {
        for (int e = -1; e <= 2; ++e) {
            layout shape = parsed(text, e);
            layout_matcher matcher(shape);
            int found = 0;
            for (int n = 0; n < 3000; ++n) {
                size_t length = random() % 160;
                std::string read(length, 'A');
                const char* alphabet = n % 3 == 0 ? "ACGTN" : "ACGT";
                for (char& c : read) c = alphabet[random() % (n % 3 == 0 ? 5 : 4)];
                // Plant a constant of the layout, slightly damaged, somewhere.
                for (const auto& el : shape.elements()) {
                    if (el.kind != element_kind::constant || el.letters.size() > length) continue;
                    size_t at = random() % (length - el.letters.size() + 1);
                    read.replace(at, el.letters.size(), el.letters);
                    if (random() % 2) read[at + random() % el.letters.size()] = 'G';
                }
                std::string expected = reference_barcode(shape, read);
                std::string got = "-";
                if (matcher.match(read.data(), read.size())) {
                    got.assign(matcher.letters(element_kind::barcode), '\0');
                    matcher.gather(element_kind::barcode, read.data(), nullptr, got.data(), nullptr);
                }
                ASSERT_EQ(got, expected) << text << " -e " << e << " on " << read;
                found += got != "-";
            }
            EXPECT_GT(found, 0) << text;
        }
    }
}

}  // namespace
