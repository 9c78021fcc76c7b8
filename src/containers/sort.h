// Sorted views of the containers.
//
// Equal values are ordered by key ascending (byte order), and a sort by key
// keeps equal keys in their previous order, so every sorted view is a pure
// function of the container's contents.
#pragma once

#include <cstddef>
#include <vector>

#include "containers/hash.h"
#include "containers/list.h"

int entry_comparator(const void* a, const void* b);
int indirect_entry_comparator(const void* a, const void* b);
int indirect_entry_key_comparator(const void* a, const void* b);

void list_sort_by_value(list* l);
void list_sort_by_key(list* l);

// A snapshot of a table: entry records by value, largest first, owning
// copies of the keys (freed with the snapshot).
class entry_snapshot {
public:
    entry_snapshot() = default;
    ~entry_snapshot();
    entry_snapshot(entry_snapshot&& other) noexcept;
    entry_snapshot& operator=(entry_snapshot&& other) noexcept;
    entry_snapshot(const entry_snapshot&) = delete;
    entry_snapshot& operator=(const entry_snapshot&) = delete;

    std::vector<entry> records;
};

entry_snapshot hash_sorted_entries(const hash* h);
