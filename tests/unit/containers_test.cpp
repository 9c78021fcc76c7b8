#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "containers/mix.h"
#include "containers/open_table.h"

namespace {

struct mixed_hash {
    uint64_t operator()(uint64_t k) const { return hash_mix64(k); }
};
// Few distinct hashes: long runs that wrap past the last slot.
struct clumped_hash {
    uint64_t operator()(uint64_t k) const { return ~uint64_t{0} - (k & 3); }
};

template <class Hash>
void check_against_map(unsigned seed, uint64_t key_range, int operations) {
    std::mt19937_64 random(seed);
    open_table<uint64_t, int64_t, Hash> table(~uint64_t{0}, 4, 75);
    std::map<uint64_t, int64_t> reference;
    for (int i = 0; i < operations; ++i) {
        uint64_t key = random() % key_range;
        switch (random() % 4) {
            case 0:
            case 1: {
                bool added;
                table.insert(key, added) += i;
                EXPECT_EQ(added, reference.count(key) == 0);
                reference[key] += i;
                break;
            }
            case 2:
                EXPECT_EQ(table.erase(key), reference.erase(key) == 1);
                break;
            default: {
                const int64_t* found = std::as_const(table).find(key);
                auto expected = reference.find(key);
                ASSERT_EQ(found != nullptr, expected != reference.end()) << key;
                if (found != nullptr) {
                    EXPECT_EQ(*found, expected->second);
                }
            }
        }
        ASSERT_EQ(table.size(), reference.size());
    }
    std::map<uint64_t, int64_t> visited;
    table.for_each([&](uint64_t k, int64_t v) { EXPECT_TRUE(visited.emplace(k, v).second); });
    EXPECT_EQ(visited, reference);
    for (const auto& [k, v] : reference) EXPECT_EQ(*table.find(k), v);
}

TEST(OpenTable, AgreesWithAnOrderedMap) {
    struct run {
        unsigned seed;
        uint64_t key_range;
        int operations;
    };
    for (run r : {run{1, 16, 2000}, run{2, 1000, 20000}, run{3, 1'000'000, 50000}}) {
        check_against_map<mixed_hash>(r.seed, r.key_range, r.operations);
        check_against_map<clumped_hash>(r.seed, std::min<uint64_t>(r.key_range, 300), r.operations / 4);
    }
}

TEST(OpenTable, GrowsAtItsLoadLimitAndKeepsEveryKey) {
    open_table<uint64_t, uint32_t, mixed_hash> table(~uint64_t{0}, 16, 50);
    EXPECT_EQ(table.slot_count(), 0u);
    EXPECT_EQ(table.find(7), nullptr);
    EXPECT_FALSE(table.erase(7));
    for (uint32_t k = 0; k < 8; ++k) table[k] = k;
    EXPECT_EQ(table.slot_count(), 16u);
    table[8] = 8;  // the ninth of sixteen passes half
    EXPECT_EQ(table.slot_count(), 32u);
    for (uint32_t k = 9; k < 200000; ++k) table[k] = k * 3;
    EXPECT_EQ(table.size(), 200000u);
    EXPECT_EQ(table.slot_count(), size_t{1} << 19);
    for (uint32_t k = 9; k < 200000; ++k) ASSERT_EQ(*table.find(k), k * 3);
    EXPECT_EQ(table.find(200000), nullptr);
    table.clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.find(9), nullptr);
    table.reserve(100);
    EXPECT_EQ(table.slot_count(), 256u);
}

}  // namespace
