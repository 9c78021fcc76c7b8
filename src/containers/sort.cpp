#include "containers/sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

int entry_comparator(const void* a, const void* b) {
    const auto* x = static_cast<const entry*>(a);
    const auto* y = static_cast<const entry*>(b);
    if (x->value != y->value) return x->value > y->value ? -1 : 1;
    int by_key = std::strcmp(x->key, y->key);
    return by_key < 0 ? -1 : by_key > 0 ? 1 : 0;
}

int indirect_entry_comparator(const void* a, const void* b) {
    return entry_comparator(*static_cast<entry* const*>(a), *static_cast<entry* const*>(b));
}

int indirect_entry_key_comparator(const void* a, const void* b) {
    const entry* x = *static_cast<entry* const*>(a);
    const entry* y = *static_cast<entry* const*>(b);
    return std::strcmp(x->key, y->key);
}

void list_sort_by_value(list* l) {
    std::stable_sort(l->entries, l->entries + l->size,
                     [](entry* x, entry* y) { return indirect_entry_comparator(&x, &y) < 0; });
    l->sorted = 0;
}

void list_sort_by_key(list* l) {
    std::stable_sort(l->entries, l->entries + l->size,
                     [](entry* x, entry* y) { return indirect_entry_key_comparator(&x, &y) < 0; });
    l->sorted = 1;
}

entry_snapshot::~entry_snapshot() {
    for (entry& e : records) std::free(e.key);
}

entry_snapshot::entry_snapshot(entry_snapshot&& other) noexcept : records(std::move(other.records)) {
    other.records.clear();
}

entry_snapshot& entry_snapshot::operator=(entry_snapshot&& other) noexcept {
    if (this != &other) {
        for (entry& e : records) std::free(e.key);
        records = std::move(other.records);
        other.records.clear();
    }
    return *this;
}

entry_snapshot hash_sorted_entries(const hash* h) {
    entry_snapshot snapshot;
    snapshot.records.reserve(static_cast<size_t>(h->count));
    for (int i = 0; i < hash_slot_count; ++i) {
        const list* l = h->slots[i];
        if (l == nullptr) continue;
        for (int j = 0; j < l->size; ++j) snapshot.records.push_back(entry{copy_key(l->entries[j]->key), l->entries[j]->value});
    }
    std::stable_sort(snapshot.records.begin(), snapshot.records.end(),
                     [](const entry& x, const entry& y) { return entry_comparator(&x, &y) < 0; });
    return snapshot;
}
