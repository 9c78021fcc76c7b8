#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "count/samples.h"
#include "dna/letters.h"

using namespace count;

namespace {

std::string random_letters(std::mt19937& random, size_t n) {
    std::string text(n, 'A');
    for (char& c : text) c = "ACGT"[random() % 4];
    return text;
}

sample_matcher matcher_for(const std::string& text) {
    std::string problem;
    std::optional<sample_sheet> sheet = parse_sample_sheet(text, problem);
    EXPECT_TRUE(sheet) << problem;
    std::optional<sample_matcher> m = sample_matcher::build(*sheet, problem);
    EXPECT_TRUE(m) << problem;
    return std::move(*m);
}

std::string refusal(const std::string& text) {
    std::string problem;
    std::optional<sample_sheet> sheet = parse_sample_sheet(text, problem);
    if (!sheet) return problem;
    if (!sample_matcher::build(*sheet, problem)) return problem;
    return "";
}

}  // namespace

TEST(SampleSheet, NamesWithSpacesAndAnyCharacterButSlash) {
    std::string problem;
    std::optional<sample_sheet> sheet =
        parse_sample_sheet("# plate 1\nDay 1 + Drug\tACGTACGT\r\n\nctrl (a)\tttggccaa\n", problem);
    ASSERT_TRUE(sheet) << problem;
    ASSERT_EQ(sheet->samples.size(), 2u);
    EXPECT_EQ(sheet->samples[0].name, "Day 1 + Drug");
    EXPECT_EQ(sheet->samples[1].parts[0], "TTGGCCAA");
    EXPECT_EQ(sheet->parts, 1u);
}

TEST(SampleSheet, RefusedSheetsSayWhy) {
    struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"a/b\tACGT\n", "line 1: a sample name must not be empty"},
        {"a\tACGT\n\tACCA\n", "line 2: a sample name must not be empty"},
        {"..\tACGT\n", "line 1: a sample name must not be empty"},
        {"a ACGT\n", "line 1: expected a name, a tab"},
        {"a\tACXT\n", "line 1: 'ACXT' is not a sample barcode"},
        {"a\tAC+\n", "line 1: 'AC+' is not a sample barcode"},
        {"a\tACGT+GG\nb\tTTTT\n", "line 2: every sample barcode must have as many parts"},
        {"a\tACGT\nb\tTTTTT\n", "line 2: every sample barcode must have the length"},
        {"x y\tAAAAAA\nx y\tCCCCCC\n", "line 2: sample 'x y' is named again (first on line 1)"},
        {"undetermined\tACGT\n", "line 1: 'undetermined' is the name"},
        {"# nothing\n", "no samples"},
        // One read (AAAAAA -> AAAACA) could be one substitution from both.
        {"one\tAAAAAA\ntwo\tAAAACC\n", "the sample barcodes of 'one' and 'two' are too close"},
        // Dual: close on both parts.
        {"p\tAAAA+CCCCCC\nq\tAAAT+CCCCGG\n", "the sample barcodes of 'p' and 'q' are too close"},
    };
    for (const auto& c : cases) {
        std::string got = refusal(c.text);
        EXPECT_EQ(got.rfind(c.expected, 0), 0u) << c.text << " -> " << got;
    }
    // Close on one part only is no clash: the other part tells them apart.
    EXPECT_EQ(refusal("p\tAAAA+CCCCCC\nq\tAAAT+GGGGGG\n"), "");
}

TEST(SampleMatcher, ExactAndOneSubstitutionPerPart) {
    sample_matcher m = matcher_for("s1\tAAAAAAAA+CCCCCCCC\ns2\tGGGGGGGG+TTTTTTTT\ns3\tAAAAAAAA+GTGTGTGT\n");
    EXPECT_EQ(m.find("AAAAAAAA", "CCCCCCCC"), 0);
    EXPECT_EQ(m.find("AAAAAAAA+CCCCCCCC"), 0);
    EXPECT_EQ(m.find("AAAANAAA", "CCCCCCCA"), 0);  // one per part, in both
    EXPECT_EQ(m.find("GGGGGGGG", "TTTTTTTT"), 1);
    EXPECT_EQ(m.find("AAAAAAAA", "GTGTGTGA"), 2);
    EXPECT_EQ(m.find("AAAAAACC", "CCCCCCCC"), sample_matcher::none);  // two in one part
    // Each part belongs to a sample, but not together: a combination not in the sheet.
    EXPECT_EQ(m.find("GGGGGGGG", "CCCCCCCC"), sample_matcher::none);
    EXPECT_EQ(m.find("AAAAAAA", "CCCCCCCC"), sample_matcher::none);  // short
    EXPECT_EQ(m.find("AAAAAAAA"), sample_matcher::none);             // one part of two
    EXPECT_EQ(m.forward_matches(), 5);
}

TEST(SampleMatcher, SecondIndexReverseComplemented) {
    sample_matcher m = matcher_for("s1\tAAAAAAAA+ACCGGTTA\ns2\tGGGGGGGG+CCAATTGC\n");
    ASSERT_TRUE(m.reverse_tried());
    EXPECT_EQ(m.find("AAAAAAAA", dna::reverse_complement("ACCGGTTA")), 0);
    EXPECT_EQ(m.find("GGGGGGGG", dna::reverse_complement("CCAATTGC")), 1);
    EXPECT_EQ(m.find("GGGGGGGG", "CCAATTGC"), 1);
    EXPECT_EQ(m.reverse_matches(), 2);
    EXPECT_EQ(m.orientation_note(), "second index: reverse-complemented (1 reads as in the sheet, 2 reverse-complemented)\n");

    // s2's second index reverse-complemented is s1's: turning can't be tried.
    sample_matcher strict = matcher_for("s1\tAAAAAAAA+AACCCCCC\ns2\tAAAAAAAA+GGGGGGTT\n");
    EXPECT_FALSE(strict.reverse_tried());
    EXPECT_EQ(strict.find("AAAAAAAA", "GGGGGGTT"), 1);
    EXPECT_EQ(strict.find("AAAAAAAA", "TTTTTTTT"), sample_matcher::none);
    EXPECT_NE(strict.orientation_note().find("too close"), std::string::npos);
}

// Each distinct joined text is worked out once; looked up again (after the
// tables have grown, and past the texts of no sample kept in a table) it
// gives the same sample, every lookup still counts for the orientation, and
// the texts of no sample are tallied, each with the times it was seen.
TEST(SampleMatcher, JoinedTextsAreRememberedAndTheRestTallied) {
    sample_matcher m = matcher_for("s1\tAAAAAAAA+ACCGGTTA\ns2\tGGGGGGGG+CCAATTGC\n");
    std::mt19937 random(5);
    std::vector<std::string> texts;
    for (int i = 0; i < 30000; ++i) {
        std::string first = i % 3 == 0 ? "AAAAAAAA" : "GGGGGGGG", second = i % 3 == 0 ? "ACCGGTTA" : "CCAATTGC";
        first[random() % 8] = "ACGTN"[random() % 5];
        if (i % 2 == 0) second = dna::reverse_complement(second);
        second[random() % 8] = "ACGTN"[random() % 5];
        if (i % 5 == 0) first[random() % 8] = "ACGTN"[random() % 5];  // some two away
        if (i % 8 >= 3) first = std::to_string(i);                      // many of no sample
        if (i % 8 == 7) first = random_letters(random, 8);               // ... also of bases alone
        texts.push_back(first + "+" + second);
    }
    texts.push_back(std::string(30, 'A') + "+" + std::string(30, 'C'));  // longer than a slot holds
    texts.push_back(std::string("A\0", 2));                              // a NUL byte is a letter like any
    texts.push_back("A");
    std::vector<int32_t> samples;
    for (const std::string& t : texts) {
        size_t plus = t.find('+');
        samples.push_back(plus == std::string::npos ? sample_matcher::none
                                                    : m.find(t.substr(0, plus), t.substr(plus + 1)));
    }
    const int64_t forward = m.forward_matches(), reverse = m.reverse_matches();
    ASSERT_GT(forward, 0);
    ASSERT_GT(reverse, 0);
    std::map<std::string, int64_t> unmatched;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < texts.size(); ++i) {
            ASSERT_EQ(m.find(texts[i]), samples[i]) << texts[i];
            if (samples[i] == sample_matcher::none) ++unmatched[texts[i]];
        }
    }
    ASSERT_GT(unmatched.size(), 16384u);  // more than the table holds
    std::map<std::string, int64_t> tallied;
    for (const auto& [text, n] : m.unmatched_texts()) EXPECT_TRUE(tallied.emplace(text, n).second) << text;
    EXPECT_EQ(tallied, unmatched);
    EXPECT_EQ(m.forward_matches(), 3 * forward);
    EXPECT_EQ(m.reverse_matches(), 3 * reverse);
}

// Texts of bases alone that belong to no sample are tallied by code: more
// than are written down between two tallies, each seen several times, and
// spelt out again letter for letter (single-part sheets too).
TEST(SampleMatcher, TextsOfBasesTalliedByCode) {
    for (const char* sheet : {"s1\tAAAAAAAA+ACCGGTTA\ns2\tGGGGGGGG+CCAATTGC\n", "s1\tACGTACGTAC\ns2\tTTTTGGGGCC\n"}) {
        sample_matcher m = matcher_for(sheet);
        const bool two = std::string(sheet).find('+') != std::string::npos;
        std::mt19937 random(9);
        // Texts drawn from a pool, so that every tally meets texts of the ones before.
        std::vector<std::string> pool;
        for (int i = 0; i < 20'000; ++i) {
            std::string text = random_letters(random, two ? 8 : 10);
            if (two) text.append("+").append(i % 3 == 0 ? "ACCGGTTA" : random_letters(random, 8));
            pool.push_back(text);
        }
        std::unordered_map<std::string, int64_t> unmatched;
        const int reads = two ? 1'100'000 : 50'000;
        for (int i = 0; i < reads; ++i) {
            const std::string& text = pool[random() % (i < reads / 4 ? 100 : pool.size())];
            if (m.find(text) == sample_matcher::none) ++unmatched[text];
        }
        std::vector<std::pair<std::string, int64_t>> expected(unmatched.begin(), unmatched.end()), tallied;
        for (const auto& [t, n] : m.unmatched_texts()) tallied.emplace_back(t, n);
        std::sort(expected.begin(), expected.end());
        std::sort(tallied.begin(), tallied.end());
        EXPECT_EQ(tallied, expected);
    }
}

// The coded look-up (tables by code for short parts, a grid of
// combinations for sheets of few values, hash tables otherwise) gives every
// text the sample the look-up by text gives it, and counts the same
// orientations: sheets of 8+8 letters (a plate of 12 by 8 indexes, and 96
// pairs of their own), 10, 12+12 and 8+10 letters, one of more values than
// a grid takes; reads exact, one or two substitutions away, with an N,
// swapped between samples, the second index turned, and of no sample.
TEST(SampleMatcher, CodedLookUpAgreesWithTexts) {
    struct shape {
        size_t firsts, seconds, first_letters, second_letters;
        bool plate;  // every first with every second; else the i-th with the i-th
        size_t first_apart = 3;  // substitutions at least between two firsts
    };
    // Firsts two apart (told apart by their seconds) leave texts one
    // substitution from two of them.
    for (shape sh : {shape{12, 8, 8, 8, true}, shape{96, 96, 8, 8, false}, shape{40, 0, 10, 0, false},
                     shape{30, 30, 12, 12, false}, shape{50, 50, 8, 10, false}, shape{1100, 1100, 10, 10, false},
                     shape{96, 96, 6, 8, false, 2}}) {
        std::mt19937 random(static_cast<unsigned>(sh.firsts * 31 + sh.first_letters));
        // Values apart by at least that many substitutions (more than two
        // for the seconds), so that no two samples clash.
        auto values = [&](size_t n, size_t letters, size_t apart) {
            std::vector<std::string> kept;
            while (kept.size() < n) {
                std::string v = random_letters(random, letters);
                if (std::all_of(kept.begin(), kept.end(), [&](const std::string& k) { return substitutions(v, k) >= apart; }))
                    kept.push_back(v);
            }
            return kept;
        };
        const std::vector<std::string> firsts = values(sh.firsts, sh.first_letters, sh.first_apart);
        const std::vector<std::string> seconds = values(sh.seconds, sh.second_letters, 3);
        std::vector<std::vector<std::string>> samples;
        for (size_t i = 0; i < firsts.size(); ++i) {
            if (seconds.empty()) samples.push_back({firsts[i]});
            if (sh.plate)
                for (const std::string& second : seconds) samples.push_back({firsts[i], second});
            else if (!seconds.empty())
                samples.push_back({firsts[i], seconds[i]});
        }
        std::string text;
        for (size_t i = 0; i < samples.size(); ++i) {
            text.append("s").append(std::to_string(i)).append("\t").append(samples[i][0]);
            if (samples[i].size() == 2) text.append("+").append(samples[i][1]);
            text.append("\n");
        }
        sample_matcher coded = matcher_for(text), by_text = matcher_for(text);
        auto change = [&](std::string& part, int letters) {
            for (int i = 0; i < letters; ++i) part[random() % part.size()] = "ACGTN"[random() % (i == 0 ? 4 : 5)];
        };
        for (int read = 0; read < 200'000; ++read) {
            std::vector<std::string> parts = samples[random() % samples.size()];
            const int kind = static_cast<int>(random() % 8);
            if (kind == 1) change(parts[random() % parts.size()], 1);
            if (kind == 2) change(parts[random() % parts.size()], 2);
            if (kind == 3 && parts.size() == 2) parts[1] = samples[random() % samples.size()][1];
            if (kind == 4 && parts.size() == 2) parts[1] = dna::reverse_complement(parts[1]);
            if (kind == 5) parts[0] = random_letters(random, parts[0].size());
            if (kind == 6) change(parts[0], 1), change(parts.back(), 1);
            const std::string joined = parts.size() == 2 ? parts[0] + "+" + parts[1] : parts[0];
            ASSERT_EQ(coded.find(joined), by_text.find(parts[0], parts.size() == 2 ? parts[1] : ""))
                << samples.size() << " samples: " << joined;
        }
        EXPECT_EQ(coded.forward_matches(), by_text.forward_matches());
        EXPECT_EQ(coded.reverse_matches(), by_text.reverse_matches());
    }
}

TEST(SampleMatcher, NoReadReachesTwoSamples) {
    // Every text within one substitution of each barcode goes to that barcode's sample.
    const std::string sheet = "a\tACGTAC\nb\tTGCATG\nc\tCCAAGG\nd\tGTTGCA\n";
    sample_matcher m = matcher_for(sheet);
    const char* barcodes[] = {"ACGTAC", "TGCATG", "CCAAGG", "GTTGCA"};
    for (int s = 0; s < 4; ++s) {
        std::string text = barcodes[s];
        for (size_t i = 0; i < text.size(); ++i) {
            for (char c : std::string("ACGTN")) {
                std::string read = text;
                read[i] = c;
                EXPECT_EQ(m.find(read), s) << read;
            }
        }
    }
}

TEST(SampleMatcher, IndexAtTheHeadersEndAsByItsField) {
    // find_at_end, where it answers, gives what header_index and find give,
    // with the same orientations and the same texts of no sample.
    const std::string sheet = "a\tACGTACGT+TTGGCCAA\nb\tGGTTAACC+ACACGTGT\nc\tTTTTCCCC+GAGAGAGA\n";
    sample_matcher at_end = matcher_for(sheet), by_field = matcher_for(sheet);
    std::mt19937 random(7);
    const std::vector<std::string> names = {"@M1:7:FC:1:1101:10:20", "@r", "@r:1:2", "@HWI#0"};
    const std::vector<std::string> comments = {" 1:N:0:", "\t2:Y:0:", " x:", ":", " 1:N:0:AC:", "/1 1:N:0:", "#"};
    const std::vector<std::string> indexes = {"ACGTACGT+TTGGCCAA", "GGTTAACC+ACACGTGT", "TTTTCCCC+GAGAGAGA",
                                              "ACGTACGT+ACACGTGT", "ACGTACGA+TTGGCCAA", "ACGTACGT+TTGGCCAA/1",
                                              "acgtacgt+ttggccaa", "ACGTNCGT+TTGGCCAA", "ACGTACGT+TTGGCCA",
                                              "ACGTACGTT+TGGCCAA", "ACGTACGT-TTGGCCAA", "ACGTACGTTTGGCCAA",
                                              "TTGGCCAA+ACGTACGT", "ACGTACGT+TTGGCCAA "};
    int answered = 0;
    for (int read = 0; read < 5000; ++read) {
        std::string index = indexes[random() % indexes.size()];
        if (random() % 3 == 0) index[random() % 8] = "ACGT"[random() % 4];
        const std::string header = names[random() % names.size()] + comments[random() % comments.size()] + index;
        const std::string_view field = header_index(header);
        const int32_t expected = field.empty() ? sample_matcher::none : by_field.find(field);
        int32_t got = at_end.find_at_end(header);
        answered += got != sample_matcher::not_plain;
        if (got == sample_matcher::not_plain) got = field.empty() ? sample_matcher::none : at_end.find(field);
        ASSERT_EQ(got, expected) << header;
    }
    EXPECT_GT(answered, 1000);
    EXPECT_EQ(at_end.forward_matches(), by_field.forward_matches());
    EXPECT_EQ(at_end.reverse_matches(), by_field.reverse_matches());
    auto texts = [](sample_matcher& m) {
        std::map<std::string, int64_t> all;
        for (const auto& [text, reads] : m.unmatched_texts()) all[std::string(text)] += reads;
        return all;
    };
    EXPECT_EQ(texts(at_end), texts(by_field));
}

TEST(SampleSheet, HeaderIndex) {
    EXPECT_EQ(header_index("@M1:1:FC:1:1101:1:1 1:N:0:ACGTACGT+TTGGCCAA"), "ACGTACGT+TTGGCCAA");
    EXPECT_EQ(header_index("@M1:1 1:N:0:ACGTACGT"), "ACGTACGT");
    EXPECT_EQ(header_index("@HWI-ST:1:1:1:1#GATCAG/1"), "GATCAG");
    EXPECT_EQ(header_index("@HWI-ST:1:1:1:1#GATCAG"), "GATCAG");
    EXPECT_EQ(header_index("@read1"), "");
    EXPECT_EQ(header_index("@read1 comment"), "");
    EXPECT_EQ(header_index("@r:1:2 comment"), "");  // the colons are the name's
    EXPECT_EQ(header_index("@r\t1:N:0:ACGT"), "ACGT");
    EXPECT_EQ(header_index("@r 1:N:0:AC GT"), "AC GT");
    EXPECT_EQ(header_index("@r:1 x y:ACGT"), "ACGT");
    EXPECT_EQ(header_index("@r#AC:GT/1"), "AC:GT");
    EXPECT_EQ(header_index("@r 1:N:0:"), "");
}
