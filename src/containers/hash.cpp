#include "containers/hash.h"

#include <cstdlib>

#include "io/error.h"

int hash_slot(const char* key) {
    // sdbm, reduced at every step. Bytes are taken unsigned so that keys
    // with bytes above 0x7F still land in a valid slot; for 7-bit keys this
    // is the plain sdbm hash.
    int64_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != 0; ++p)
        h = (*p + (h << 6) + (h << 16) - h) % hash_slot_count;
    return static_cast<int>(h);
}

hash* hash_create() {
    auto* h = static_cast<hash*>(std::malloc(sizeof(hash)));
    if (h == nullptr) fail(2, "Could not allocate enough space\n");
    h->slots = static_cast<list**>(std::calloc(hash_slot_count, sizeof(list*)));
    if (h->slots == nullptr) {
        std::free(h);
        fail(2, "Could not allocate enough space\n");
    }
    h->count = 0;
    return h;
}

void hash_destroy(hash* h) {
    if (h == nullptr) return;
    for (int i = 0; i < hash_slot_count; ++i) list_destroy(h->slots[i]);
    std::free(h->slots);
    std::free(h);
}

namespace {

list* slot_of(hash* h, const char* key) {
    list*& slot = h->slots[hash_slot(key)];
    if (slot == nullptr) slot = list_create();
    return slot;
}

const list* existing_slot(const hash* h, const char* key) { return h->slots[hash_slot(key)]; }

}  // namespace

int64_t hash_lookup(const hash* h, const char* key) {
    const list* l = existing_slot(h, key);
    if (l == nullptr) return -1;
    int at = list_find(l, key);
    return at < 0 ? -1 : l->entries[at]->value;
}

void hash_increment(hash* h, const char* key) {
    list* l = slot_of(h, key);
    int before = l->size;
    list_increment(l, key);
    h->count += l->size - before;
}

void hash_decrement(hash* h, const char* key) {
    list* l = h->slots[hash_slot(key)];
    if (l != nullptr) list_decrement(l, key);
}

void hash_set_value(hash* h, const char* key, int64_t value) {
    list* l = slot_of(h, key);
    int before = l->size;
    list_set_value(l, key, value);
    h->count += l->size - before;
}

void hash_create_entry(hash* h, const char* key, int64_t value) {
    list_create_entry(slot_of(h, key), key, value);
    ++h->count;
}

void hash_remove_entry(hash* h, const char* key) {
    list* l = h->slots[hash_slot(key)];
    if (l != nullptr) h->count -= list_remove_entry(l, key);
}

int64_t hash_entries(const hash* h) { return h->count; }
