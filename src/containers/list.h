// The entry list: a growable array of keyed values.
//
// Sorted lists (the state of a new list) keep their entries in ascending
// byte-wise key order and are searched by binary search; a list whose sorted
// flag is cleared keeps insertion order and is searched linearly.
// Values are 64-bit so that counts and sums never wrap.
#pragma once

#include <cstdint>

struct entry {
    char* key;      // owned private copy
    int64_t value;
};

struct list {
    entry** entries;  // max_size slots; slots from size on are null
    int size;
    int max_size;
    int sorted;
};

list* list_create();
void list_destroy(list* l);
int list_find(const list* l, const char* key);
void list_increment(list* l, const char* key);
void list_increment_n(list* l, const char* key, int64_t value);
void list_decrement(list* l, const char* key);
void list_set_value(list* l, const char* key, int64_t value);
void list_create_entry(list* l, const char* key, int64_t value);
int list_remove_entry(list* l, const char* key);

// Copies a key into a new text owned by the caller (free() it); ends the run
// with "Ran out of memory" if that fails.
char* copy_key(const char* key);
