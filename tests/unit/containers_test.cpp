#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "containers/hash.h"
#include "containers/list.h"
#include "containers/sort.h"

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

TEST(List, SortByValueThenByKey) {
    list* l = list_create();
    list_create_entry(l, "A", 1);
    list_create_entry(l, "C", 5);
    list_create_entry(l, "G", 5);
    list_create_entry(l, "T", 3);
    list_sort_by_value(l);
    EXPECT_EQ(l->sorted, 0);
    EXPECT_EQ(keys_of(l), (std::vector<std::string>{"C", "G", "T", "A"}));
    for (const char* k : {"A", "C", "G", "T"}) EXPECT_GE(list_find(l, k), 0);
    list_create_entry(l, "AA", 9);
    EXPECT_EQ(l->entries[4]->value, 9);  // appended
    list_sort_by_key(l);
    EXPECT_EQ(l->sorted, 1);
    EXPECT_EQ(keys_of(l), (std::vector<std::string>{"A", "AA", "C", "G", "T"}));
    EXPECT_EQ(list_find(l, "G"), 3);
    list_destroy(l);
}

TEST(List, SortByKeyIsStableForEqualKeys) {
    list* l = list_create();
    l->sorted = 0;
    list_create_entry(l, "B", 1);
    list_create_entry(l, "A", 2);
    list_create_entry(l, "B", 3);
    list_sort_by_key(l);
    EXPECT_EQ(l->entries[1]->value, 1);
    EXPECT_EQ(l->entries[2]->value, 3);
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

TEST(Hash, NmerValues) {
    EXPECT_EQ(hash_slot_nmer("ACGT", 4), 38);
    EXPECT_EQ(hash_slot_nmer("ACGT", 2), 1);
    EXPECT_EQ(hash_slot_nmer("AC", 4), 1);
    EXPECT_EQ(hash_slot_nmer("TTTT", 4), 468);
    EXPECT_EQ(hash_slot_nmer("NNNN", 4), 624);
    EXPECT_EQ(hash_slot_nmer("CAT", 3), 28);
    EXPECT_EQ(hash_slot_nmer("xyzw", 4), 624);  // other letters count as N
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

TEST(Sort, SnapshotByValueThenKeyAndIndependentOfTable) {
    hash* h = hash_create();
    EXPECT_TRUE(hash_sorted_entries(h).records.empty());
    hash_set_value(h, "C", 3);
    hash_set_value(h, "G", 7);
    hash_set_value(h, "A", 5);
    hash_set_value(h, "T", 5);
    hash_set_value(h, "N", -2);
    hash_set_value(h, "Z", 0);
    entry_snapshot snapshot = hash_sorted_entries(h);
    hash_destroy(h);
    std::vector<std::string> keys;
    for (const entry& e : snapshot.records) keys.emplace_back(e.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"G", "A", "T", "C", "Z", "N"}));
    EXPECT_EQ(snapshot.records[0].value, 7);
    EXPECT_EQ(snapshot.records[5].value, -2);
}

TEST(Sort, ValuesBeyondThirtyTwoBits) {
    list* l = list_create();
    list_increment_n(l, "A", 3'000'000'000LL);
    list_increment_n(l, "A", 3'000'000'000LL);
    EXPECT_EQ(l->entries[0]->value, 6'000'000'000LL);
    list_destroy(l);
}

}  // namespace
