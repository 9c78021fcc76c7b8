#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "containers/hash.h"
#include "containers/list.h"
#include "containers/open_table.h"

namespace {

std::vector<std::string> keys_of(const list* l) {
    std::vector<std::string> keys;
    for (int i = 0; i < l->size; ++i) keys.emplace_back(l->entries[i]->key);
    return keys;
}

TEST(List, NewListIsEmptySortedWithOneSlot) {
    list* l = list_create();
    EXPECT_EQ(l->size, 0);
    EXPECT_EQ(l->max_size, 1);
    EXPECT_NE(l->sorted, 0);
    EXPECT_EQ(list_find(l, "A"), -1);
    list_destroy(l);
}

TEST(List, SortedInsertionOrdersKeysAndDoublesCapacity) {
    list* l = list_create();
    list_create_entry(l, "T", 1);
    EXPECT_EQ(l->max_size, 1);
    list_create_entry(l, "A", 2);
    EXPECT_EQ(l->max_size, 2);
    list_create_entry(l, "G", 3);
    EXPECT_EQ(l->max_size, 4);
    EXPECT_EQ(keys_of(l), (std::vector<std::string>{"A", "G", "T"}));
    EXPECT_EQ(l->entries[3], nullptr);
    list_destroy(l);
}

TEST(List, IncrementDecrementAndSetValue) {
    list* l = list_create();
    list_increment(l, "AC");
    EXPECT_EQ(l->entries[list_find(l, "AC")]->value, 1);
    list_increment(l, "AC");
    EXPECT_EQ(l->entries[list_find(l, "AC")]->value, 2);
    list_decrement(l, "GG");
    EXPECT_EQ(l->size, 1);  // no entry with -1 appears
    list_decrement(l, "AC");
    EXPECT_EQ(l->entries[0]->value, 1);
    list_set_value(l, "CC", 7);
    list_set_value(l, "CC", 9);
    EXPECT_EQ(l->entries[list_find(l, "CC")]->value, 9);
    list_increment_n(l, "CC", 5);
    list_increment_n(l, "TT", 4);
    EXPECT_EQ(l->entries[list_find(l, "CC")]->value, 14);
    EXPECT_EQ(l->entries[list_find(l, "TT")]->value, 4);
    list_destroy(l);
}

TEST(List, CreateEntryKeepsDuplicatesNewestFirstWhenSorted) {
    list* l = list_create();
    list_create_entry(l, "A", 1);
    list_create_entry(l, "A", 2);
    ASSERT_EQ(l->size, 2);
    EXPECT_EQ(l->entries[0]->value, 2);
    EXPECT_EQ(l->entries[1]->value, 1);
    list_destroy(l);

    list* u = list_create();
    u->sorted = 0;
    list_create_entry(u, "A", 1);
    list_create_entry(u, "A", 2);
    EXPECT_EQ(u->entries[1]->value, 2);
    list_destroy(u);
}

TEST(List, RemoveKeepsOrderOfTheRest) {
    list* l = list_create();
    for (const char* k : {"A", "C", "G", "T"}) list_create_entry(l, k, 0);
    EXPECT_EQ(list_remove_entry(l, "N"), 0);
    EXPECT_EQ(list_remove_entry(l, "C"), 1);
    EXPECT_EQ(keys_of(l), (std::vector<std::string>{"A", "G", "T"}));
    EXPECT_EQ(l->entries[3], nullptr);
    EXPECT_EQ(l->max_size, 4);
    list_destroy(l);
}

TEST(List, UnsortedListKeepsInsertionOrderAndScans) {
    list* l = list_create();
    l->sorted = 0;
    for (const char* k : {"T", "A", "G"}) list_create_entry(l, k, 0);
    EXPECT_EQ(list_find(l, "T"), 0);
    EXPECT_EQ(list_find(l, "A"), 1);
    EXPECT_EQ(list_find(l, "G"), 2);
    EXPECT_EQ(list_find(l, "C"), -1);
    list_destroy(l);
}

TEST(Hash, SlotValues) {
    EXPECT_EQ(hash_slot(""), 0);
    EXPECT_EQ(hash_slot("A"), 65);
    EXPECT_EQ(hash_slot("AC"), 69698);
    EXPECT_EQ(hash_slot("ACGT"), 8463);
    EXPECT_EQ(hash_slot("ACGTACGTACGTACGTACGTACGT"), 869722);
    const char high[] = {'\xff', '\xfe', 'A', '\x80', 0};
    int slot = hash_slot(high);
    EXPECT_GE(slot, 0);
    EXPECT_LT(slot, hash_slot_count);
}

TEST(Hash, Operations) {
    hash* h = hash_create();
    EXPECT_EQ(hash_entries(h), 0);
    EXPECT_EQ(hash_lookup(h, "ACGT"), -1);
    hash_increment(h, "ACGT");
    hash_increment(h, "ACGT");
    EXPECT_EQ(hash_lookup(h, "ACGT"), 2);
    EXPECT_EQ(hash_entries(h), 1);
    hash_set_value(h, "GG", 0);
    EXPECT_EQ(hash_lookup(h, "GG"), 0);
    hash_decrement(h, "ACGT");
    hash_decrement(h, "TTTT");
    EXPECT_EQ(hash_lookup(h, "ACGT"), 1);
    EXPECT_EQ(hash_lookup(h, "TTTT"), -1);
    hash_create_entry(h, "GG", 4);
    EXPECT_EQ(hash_entries(h), 3);
    hash_remove_entry(h, "GG");
    hash_remove_entry(h, "GG");
    hash_remove_entry(h, "GG");
    EXPECT_EQ(hash_entries(h), 1);
    hash_destroy(h);
}

TEST(Hash, KeysSharingASlotStayApart) {
    // Different keys with one slot: find two by brute force over short keys.
    hash* h = hash_create();
    std::string first = "AAAAAAAA";
    int target = hash_slot(first.c_str());
    std::string second;
    const char letters[] = "ACGT";
    for (int i = 0; i < (1 << 16) && second.empty(); ++i) {
        std::string key;
        for (int k = 0, v = i; k < 8; ++k, v >>= 2) key += letters[v & 3];
        if (key != first && hash_slot(key.c_str()) == target) second = key;
    }
    if (second.empty()) second = "AAAAAAAC";  // no collision among them: still distinct keys
    hash_set_value(h, first.c_str(), 11);
    hash_set_value(h, second.c_str(), 22);
    EXPECT_EQ(hash_lookup(h, first.c_str()), 11);
    EXPECT_EQ(hash_lookup(h, second.c_str()), 22);
    hash_destroy(h);
}

TEST(Sort, ValuesBeyondThirtyTwoBits) {
    list* l = list_create();
    list_increment_n(l, "A", 3'000'000'000LL);
    list_increment_n(l, "A", 3'000'000'000LL);
    EXPECT_EQ(l->entries[0]->value, 6'000'000'000LL);
    list_destroy(l);
}

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
