#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "umi/umi.h"

namespace {

using umi_list = std::vector<std::pair<std::string, int64_t>>;
using membership = std::vector<std::pair<std::string, std::string>>;

// The rule as written, comparing every UMI with every other: the groups
// (each UMI with its group's top), for small inputs.
membership reference_groups(umi_list umis) {
    std::map<std::string, int64_t> merged;
    for (const auto& [letters, reads] : umis) merged[letters] += reads;
    umi_list order(merged.begin(), merged.end());
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    auto one_apart = [](const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return false;
        int differences = 0;
        for (size_t i = 0; i < a.size(); ++i) differences += a[i] != b[i];
        return differences == 1;
    };
    std::vector<int> top(order.size(), -1);
    for (size_t start = 0; start < order.size(); ++start) {
        if (top[start] >= 0) continue;
        top[start] = static_cast<int>(start);
        std::vector<size_t> queue{start};
        for (size_t next = 0; next < queue.size(); ++next) {
            const auto& from = order[queue[next]];
            for (size_t to = 0; to < order.size(); ++to) {
                if (top[to] < 0 && one_apart(from.first, order[to].first) && from.second >= 2 * order[to].second - 1) {
                    top[to] = static_cast<int>(start);
                    queue.push_back(to);
                }
            }
        }
    }
    membership members;
    for (size_t i = 0; i < order.size(); ++i) members.emplace_back(order[i].first, order[top[i]].first);
    std::sort(members.begin(), members.end());
    return members;
}

int64_t group_count(const membership& members) {
    int64_t tops = 0;
    for (const auto& [letters, top] : members) tops += letters == top;
    return tops;
}

struct hand_case {
    const char* what;
    umi_list umis;
    int64_t molecules;
    membership groups;  // only the UMIs not their own top
};

TEST(Umi, HandWorkedGroups) {
    const std::vector<hand_case> cases = {
        {"chain a>b>c", {{"AAAA", 10}, {"AAAC", 4}, {"AACC", 2}}, 1, {{"AAAC", "AAAA"}, {"AACC", "AAAA"}}},
        {"chain broken at c (5 < 2*4-1)", {{"AAAA", 10}, {"AAAC", 5}, {"AACC", 4}}, 2, {{"AAAC", "AAAA"}}},
        {"star",
         {{"AAAA", 20}, {"CAAA", 3}, {"ACAA", 2}, {"AACA", 1}, {"AAAC", 5}},
         1,
         {{"AAAC", "AAAA"}, {"AACA", "AAAA"}, {"ACAA", "AAAA"}, {"CAAA", "AAAA"}}},
        {"two groups compete: the more-read top wins",
         {{"GAAA", 9}, {"CAAA", 10}, {"AAAA", 3}},
         2,
         {{"AAAA", "CAAA"}}},
        {"equal counts of 1 absorb each other", {{"AAAT", 1}, {"AAAA", 1}, {"AATT", 1}}, 1,
         {{"AAAT", "AAAA"}, {"AATT", "AAAA"}}},
        {"equal counts above 1 do not", {{"AAAA", 2}, {"AAAC", 2}}, 2, {}},
        {"just passes 2b-1", {{"AAAA", 9}, {"AAAC", 5}}, 1, {{"AAAC", "AAAA"}}},
        {"just fails 2b-1", {{"AAAA", 8}, {"AAAC", 5}}, 2, {}},
        {"two letters apart is not a neighbour", {{"AAAA", 100}, {"AACC", 1}}, 2, {}},
        {"a taken UMI is not taken again and not walked through",
         // CAAA takes AAAA (and through it AAAT); GAAT could have taken AAAT too.
         {{"CAAA", 20}, {"GAAT", 12}, {"AAAA", 8}, {"AAAT", 4}},
         2,
         {{"AAAA", "CAAA"}, {"AAAT", "CAAA"}}},
        {"different lengths never neighbours", {{"AAA", 10}, {"AAAA", 1}, {"AAAC", 1}}, 2, {{"AAAC", "AAAA"}}},
        {"a UMI listed twice adds its reads", {{"AAAA", 2}, {"AAAC", 3}, {"AAAA", 3}}, 1, {{"AAAC", "AAAA"}}},
        {"nothing", {}, 0, {}},
    };
    for (const hand_case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(umi::molecules(c.umis), c.molecules);
        membership moved;
        for (const auto& [letters, top] : umi::groups(c.umis))
            if (letters != top) moved.emplace_back(letters, top);
        EXPECT_EQ(moved, c.groups);
        EXPECT_EQ(umi::groups(c.umis), reference_groups(c.umis));
    }
}

TEST(Umi, TiesGoByTheLettersInByteOrder) {
    // TAAA and CAAG have equal reads and both reach CAAA; the letters decide.
    umi_list umis = {{"TAAA", 6}, {"CAAG", 6}, {"CAAA", 3}};
    EXPECT_EQ(umi::groups(umis), (membership{{"CAAA", "CAAG"}, {"CAAG", "CAAG"}, {"TAAA", "TAAA"}}));
    // The same with letters outside A C G T (text path): '-' sorts before 'A'.
    umi_list text = {{"TAA-", 6}, {"-AAG", 6}, {"TAAG", 3}};
    EXPECT_EQ(umi::groups(text), (membership{{"-AAG", "-AAG"}, {"TAA-", "TAA-"}, {"TAAG", "-AAG"}}));
    // Packed, the first letter weighs most: AC before CA.
    umi_list packed = {{"CA", 6}, {"AC", 6}, {"AA", 3}};
    EXPECT_EQ(umi::groups(packed), (membership{{"AA", "AC"}, {"AC", "AC"}, {"CA", "CA"}}));
}

TEST(Umi, LettersOutsideAcgtAndLongUmis) {
    // The same collapse on letters that cannot be packed, and beyond 32 letters.
    std::string long_a(40, 'A');
    std::string long_b = long_a;
    long_b[37] = 'G';
    EXPECT_EQ(umi::molecules({{long_a, 10}, {long_b, 3}}), 1);
    EXPECT_EQ(umi::molecules({{"AANA", 10}, {"AAAA", 3}, {"aaaa", 1}}), 2);
    EXPECT_EQ(umi::molecules({{"xyz", 3}, {"xyq", 2}, {"xzq", 1}}), 1);
    // Any bytes at all, as a read may hold them.
    EXPECT_EQ(umi::molecules({{std::string("\0\xff", 2), 5}, {std::string("\0\x80", 2), 1}, {std::string("\x80\x80", 2), 9}}), 2);
}

// Random UMIs over a small alphabet and few letters, so neighbours are
// common, with skewed reads; each against the reference.
umi_list random_umis(std::mt19937_64& random, const std::string& alphabet, size_t length, bool mixed_lengths) {
    std::uniform_int_distribution<size_t> letter(0, alphabet.size() - 1);
    std::geometric_distribution<int64_t> reads(0.3);
    size_t count = std::uniform_int_distribution<size_t>(0, 40)(random);
    umi_list umis;
    for (size_t i = 0; i < count; ++i) {
        size_t n = mixed_lengths ? length - random() % 2 : length;
        std::string letters(n, 'A');
        for (char& c : letters) c = alphabet[letter(random)];
        umis.emplace_back(letters, 1 + reads(random));
    }
    return umis;
}

TEST(Umi, RandomAgainstTheReference) {
    struct shape {
        std::string alphabet;
        size_t length;
        bool mixed_lengths;
    };
    const std::vector<shape> shapes = {{"ACGT", 3, false}, {"AC", 5, false}, {"ACGT", 2, false},
                                       {"ACx", 3, false},  {"ACGT", 4, true}, {"AC", 34, false}};
    for (const shape& s : shapes) {
        for (uint64_t seed = 1; seed <= 300; ++seed) {
            std::mt19937_64 random(seed);
            umi_list umis = random_umis(random, s.alphabet, s.length, s.mixed_lengths);
            membership expected = reference_groups(umis);
            ASSERT_EQ(umi::groups(umis), expected) << s.alphabet << " " << s.length << " seed " << seed;
            ASSERT_EQ(umi::molecules(umis), group_count(expected)) << s.alphabet << " seed " << seed;
        }
    }
}

TEST(Umi, LargeDenseBarcodesAgainstTheReference) {
    // Thousands of UMIs among the 4,096 of 6 letters: a large index, and many
    // true neighbours per UMI.
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        std::mt19937_64 random(seed);
        std::geometric_distribution<int64_t> reads(0.2);
        umi_list umis;
        for (int i = 0; i < 1500 * static_cast<int>(seed); ++i) {
            std::string letters(6, 'A');
            for (char& c : letters) c = "ACGT"[random() % 4];
            umis.emplace_back(letters, 1 + reads(random));
        }
        ASSERT_EQ(umi::groups(umis), reference_groups(umis)) << "seed " << seed;
    }
}

// The pair counter against the per-barcode reference: sparse ids, repeated
// reads, a barcode mixing packed and unpackable UMIs.
TEST(Umi, PairCounterAgainstTheReference) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        std::mt19937_64 random(seed);
        const std::string alphabet = seed % 4 == 0 ? "ACGN" : "ACGT";
        size_t length = seed % 5 == 0 ? 33 : 3;
        std::vector<uint32_t> ids = {0, 7, 123456789, UINT32_MAX, 42};
        umi::pair_counter counter(length);
        std::map<uint32_t, std::map<std::string, int64_t>> expected;
        size_t pairs_so_far = 0;
        for (int read = 0; read < 2000; ++read) {
            uint32_t id = ids[random() % ids.size()];
            std::string letters(length, 'A');
            for (char& c : letters) c = alphabet[random() % (random() % 3 ? 2 : alphabet.size())];
            counter.add(id, letters);
            pairs_so_far += expected[id][letters]++ == 0;
            // Reads held back for their slots are counted before any read-out, mid-run too.
            if (read % 333 == 7) {
                ASSERT_EQ(counter.pairs(), pairs_so_far) << "seed " << seed << " read " << read;
            }
        }
        size_t pairs = 0;
        std::vector<std::pair<uint32_t, int64_t>> want;
        for (const auto& [id, umis] : expected) {
            pairs += umis.size();
            want.emplace_back(id, group_count(reference_groups(umi_list(umis.begin(), umis.end()))));
        }
        std::vector<std::pair<uint32_t, int64_t>> got;
        counter.for_each_barcode([&](uint32_t id, int64_t molecules) { got.emplace_back(id, molecules); });
        EXPECT_EQ(counter.pairs(), pairs) << "seed " << seed;
        EXPECT_EQ(got, want) << "seed " << seed;
    }
}

TEST(Umi, PairCounterEdges) {
    umi::pair_counter empty(10);
    int calls = 0;
    empty.for_each_barcode([&](uint32_t, int64_t) { ++calls; });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(empty.pairs(), 0u);
    EXPECT_THROW(empty.add(1, "ACGT"), std::invalid_argument);

    // Many pairs: the table grows, counts survive it.
    umi::pair_counter counter(8);
    for (uint32_t id = 0; id < 3000; ++id) {
        for (uint32_t u = 0; u < 20; ++u) {
            std::string letters(8, 'A');
            for (int i = 0; i < 8; ++i) letters[i] = "ACGT"[((u * 2654435761u + id) >> (2 * i)) & 3];
            for (uint32_t copy = 0; copy <= u % 3; ++copy) counter.add(id * 1000003u, letters);
        }
    }
    EXPECT_EQ(counter.pairs(), 60000u);
    uint32_t last = 0;
    int64_t barcodes = 0;
    counter.for_each_barcode([&](uint32_t id, int64_t molecules) {
        EXPECT_TRUE(barcodes == 0 || id > last);
        EXPECT_GE(molecules, 1);
        last = id;
        ++barcodes;
    });
    EXPECT_EQ(barcodes, 3000);
}

}  // namespace
