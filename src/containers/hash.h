// The hash table of entry lists: text keys to 64-bit values.
#pragma once

#include <cstdint>

#include "containers/list.h"

constexpr int hash_slot_count = 1 << 20;

struct hash {
    // Slot lists are created on first use rather than all 1,048,576 at
    // creation: an empty table then costs one pointer array, and a walk over
    // the table skips slots that never held a key. Every operation gives the
    // same results as with a list in every slot.
    list** slots;
    int64_t count;  // number of entries, kept so hash_entries need not walk
};

int hash_slot(const char* key);

// Spreads the bits of a 64-bit hash over the whole word (a finaliser for the
// fast private tables of count, cluster and map, whose slots take the low bits).
inline uint64_t hash_mix64(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

hash* hash_create();
void hash_destroy(hash* h);
int64_t hash_lookup(const hash* h, const char* key);  // -1 when absent
void hash_increment(hash* h, const char* key);
void hash_decrement(hash* h, const char* key);
void hash_set_value(hash* h, const char* key, int64_t value);
void hash_create_entry(hash* h, const char* key, int64_t value);
void hash_remove_entry(hash* h, const char* key);
int64_t hash_entries(const hash* h);
