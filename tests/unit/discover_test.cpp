#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "discover/discover_internal.h"

namespace {

using discover::candidate;

std::string random_sequence(std::mt19937& rng, size_t length) {
    std::string s(length, 'A');
    for (char& c : s) c = "ACGT"[rng() % 4];
    return s;
}

// The whole table, no band.
int plain_edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<int>> d(a.size() + 1, std::vector<int>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<int>(i);
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<int>(j);
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j)
            d[i][j] = std::min({d[i - 1][j - 1] + (a[i - 1] != b[j - 1]), d[i - 1][j] + 1, d[i][j - 1] + 1});
    return d[a.size()][b.size()];
}

TEST(DiscoverEditDistance, AgreesWithTheWholeTableUpToTheLimit) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string a = random_sequence(rng, 1 + rng() % 30);
        std::string b = a;
        for (int edits = static_cast<int>(rng() % 6); edits > 0 && !b.empty(); --edits) {
            size_t at = rng() % b.size();
            switch (rng() % 3) {
                case 0: b[at] = "ACGT"[rng() % 4]; break;
                case 1: b.erase(at, 1); break;
                default: b.insert(at, 1, "ACGT"[rng() % 4]);
            }
        }
        int limit = static_cast<int>(rng() % 4);
        int expected = std::min(plain_edit_distance(a, b), limit + 1);
        ASSERT_EQ(discover::edit_distance(a, b, limit), expected) << a << " " << b << " limit " << limit;
    }
}

std::string substituted(std::string s, std::initializer_list<size_t> positions) {
    for (size_t p : positions) s[p] = s[p] == 'A' ? 'C' : 'A';
    return s;
}

TEST(DiscoverOffshoots, ErrorsAndChimerasOfMuchLargerCandidatesOnly) {
    std::mt19937 rng(11);
    const std::string a = random_sequence(rng, 60), b = random_sequence(rng, 60), small = random_sequence(rng, 60);
    const std::string small2 = random_sequence(rng, 60), mid = random_sequence(rng, 60);
    const std::string tail = "T";
    struct row {
        std::string sequence;
        int64_t total;
        bool offshoot;
        const char* what;
    };
    const std::vector<row> rows = {
        {a, 5000, false, "the largest"},
        {b, 3000, false, "another clone"},
        {small, 40, false, "a small clone"},
        {small2, 35, false, "another small clone"},
        {small.substr(0, 25) + small2.substr(25), 38, true, "a chimera of a smaller and a larger candidate"},
        {mid, 100, false, "a clone beside two of its own chimeras"},
        {mid.substr(0, 30) + b.substr(30), 20, true, "a chimera of it"},
        {small2.substr(0, 10) + mid.substr(10), 20, true, "another"},
        {random_sequence(rng, 60), 45, false, "unrelated"},
        {a.substr(0, 20) + a.substr(21) + tail, 30, true, "a deletion, a letter more at the end"},
        {a.substr(0, 33) + "G" + a.substr(33, 26), 30, true, "an insertion"},
        {substituted(a, {5, 29, 50}), 30, true, "three substitutions"},
        {substituted(a, {10, 25, 40, 55}), 30, false, "four substitutions, spread"},
        {a.substr(0, 31) + b.substr(31), 60, true, "a chimera"},
        {b.substr(0, 7) + a.substr(7), 60, true, "a chimera whose start is too short to look up"},
        {substituted(small, {3, 30, 44}), 30, false, "three substitutions of a candidate not ten times larger"},
        {substituted(small, {4, 31, 45}), 4, true, "three substitutions of a candidate ten times larger"},
        {a.substr(0, 30) + small.substr(30), 2, true, "a chimera of the large and the small"},
        {a.substr(0, 30) + small.substr(30), 1, false, "below the candidates looked at"},
    };
    std::vector<candidate> candidates;
    for (const row& r : rows) candidates.push_back({r.sequence, r.total});
    // The same sequence twice would be one line of a cluster file; the last
    // two rows differ in their totals only for the test's sake.
    std::vector<char> offshoot = discover::find_offshoots(candidates, 2);
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(offshoot[i] != 0, rows[i].offshoot) << rows[i].what;
}

TEST(DiscoverChoose, TheLeastFollowsTheLargestOffshootAndRanksAreStable) {
    std::mt19937 rng(5);
    const std::string a = random_sequence(rng, 40), b = random_sequence(rng, 40), c = random_sequence(rng, 40);
    std::vector<candidate> candidates = {
        {c, 9},
        {a, 900},
        {substituted(a, {3, 17, 30}), 7},  // an offshoot: the noise reaches 7
        {b, 9},
        {random_sequence(rng, 40), 7},     // no larger than the noise
        {random_sequence(rng, 40), 1},
        {random_sequence(rng, 20) + "N" + random_sequence(rng, 19), 50},  // not known at one place
    };
    discover::result r = discover::choose(candidates, 0);
    EXPECT_EQ(r.largest_offshoot, 7);
    EXPECT_EQ(r.least, 8);
    EXPECT_EQ(r.offshoots, 0u);
    EXPECT_EQ(r.masked, 1u);
    // By total, then by sequence.
    std::vector<size_t> expected = {1, b < c ? 3u : 0u, b < c ? 0u : 3u};
    EXPECT_EQ(r.barcodes, expected);
    // A least given: offshoots at or above it are counted as left out.
    r = discover::choose(candidates, 5);
    EXPECT_EQ(r.least, 5);
    EXPECT_EQ(r.offshoots, 1u);
    EXPECT_EQ(r.barcodes.size(), 4u);
    // Without any offshoot, a candidate seen once is still noise.
    r = discover::choose({{a, 3}, {b, 1}}, 0);
    EXPECT_EQ(r.least, 2);
    EXPECT_EQ(r.barcodes, std::vector<size_t>{0});
}

}  // namespace
