#include "containers/list.h"

#include <cstdlib>
#include <cstring>

#include "io/error.h"

namespace {

entry** allocate_slots(int count) {
    auto* slots = static_cast<entry**>(std::calloc(static_cast<size_t>(count), sizeof(entry*)));
    if (slots == nullptr) fail_out_of_memory();
    return slots;
}

// First slot whose key is not less than key (size when there is none).
int list_insert_location(const list* l, const char* key) {
    int low = 0;
    int high = l->size;
    while (low < high) {
        int mid = low + (high - low) / 2;
        if (std::strcmp(l->entries[mid]->key, key) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

void grow_if_full(list* l) {
    if (l->size < l->max_size) return;
    int grown = l->max_size * 2;
    entry** slots = allocate_slots(grown);
    std::memcpy(slots, l->entries, static_cast<size_t>(l->size) * sizeof(entry*));
    std::free(l->entries);
    l->entries = slots;
    l->max_size = grown;
}

}  // namespace

char* copy_key(const char* key) {
    size_t length = std::strlen(key);
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) fail_out_of_memory();
    std::memcpy(copy, key, length + 1);
    return copy;
}

list* list_create() {
    auto* l = static_cast<list*>(std::malloc(sizeof(list)));
    if (l == nullptr) fail_out_of_memory();
    l->entries = allocate_slots(1);
    l->size = 0;
    l->max_size = 1;
    l->sorted = 1;
    return l;
}

void list_destroy(list* l) {
    if (l == nullptr) return;
    for (int i = 0; i < l->size; ++i) {
        if (l->entries[i] == nullptr) continue;
        std::free(l->entries[i]->key);
        std::free(l->entries[i]);
    }
    std::free(l->entries);
    std::free(l);
}

int list_find(const list* l, const char* key) {
    if (l->size == 0) return -1;
    if (l->sorted) {
        int at = list_insert_location(l, key);
        return at < l->size && std::strcmp(l->entries[at]->key, key) == 0 ? at : -1;
    }
    for (int i = 0; i < l->size; ++i)
        if (std::strcmp(l->entries[i]->key, key) == 0) return i;
    return -1;
}

void list_create_entry(list* l, const char* key, int64_t value) {
    grow_if_full(l);
    int at = l->sorted ? list_insert_location(l, key) : l->size;
    auto* e = static_cast<entry*>(std::malloc(sizeof(entry)));
    if (e == nullptr) fail_out_of_memory();
    e->key = copy_key(key);
    e->value = value;
    std::memmove(l->entries + at + 1, l->entries + at, static_cast<size_t>(l->size - at) * sizeof(entry*));
    l->entries[at] = e;
    ++l->size;
}

void list_increment_n(list* l, const char* key, int64_t value) {
    int at = list_find(l, key);
    if (at >= 0)
        l->entries[at]->value += value;
    else
        list_create_entry(l, key, value);
}

void list_increment(list* l, const char* key) { list_increment_n(l, key, 1); }

void list_decrement(list* l, const char* key) {
    int at = list_find(l, key);
    if (at >= 0) --l->entries[at]->value;
}

void list_set_value(list* l, const char* key, int64_t value) {
    int at = list_find(l, key);
    if (at >= 0)
        l->entries[at]->value = value;
    else
        list_create_entry(l, key, value);
}

int list_remove_entry(list* l, const char* key) {
    int at = list_find(l, key);
    if (at < 0) return 0;
    std::free(l->entries[at]->key);
    std::free(l->entries[at]);
    std::memmove(l->entries + at, l->entries + at + 1, static_cast<size_t>(l->size - at - 1) * sizeof(entry*));
    l->entries[l->size - 1] = nullptr;
    --l->size;
    return 1;
}
