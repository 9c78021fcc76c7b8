// A hash table of keys to values by open addressing: a power-of-two number
// of slots, linear probing from the slot the hash picks, grown to twice the
// slots once an insert would pass the load limit.
//
// The keys and values stand together in one array (a look-up that finds its
// key reads one slot). A free slot holds the empty key given at creation,
// which no real key may equal. The slot order that for_each visits follows
// from the hash and the history of the table; callers sort before output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <class Key, class Value, class Hash>
class open_table {
public:
    // Empty until the first insert, which makes min_slots slots; an insert
    // that would fill more than max_load_percent of them first doubles them.
    explicit open_table(Key empty, size_t min_slots = 16, unsigned max_load_percent = 50, Hash hash = Hash())
        : empty_(std::move(empty)), min_slots_(round_up(min_slots)), max_load_percent_(max_load_percent), hash_(std::move(hash)) {}

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t slot_count() const { return slots_.size(); }

    Value* find(const Key& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }
    const Value* find(const Key& key) const {
        if (slots_.empty()) return nullptr;
        for (size_t at = home(key);; at = (at + 1) & mask_) {
            const slot& s = slots_[at];
            if (s.key == key) return &s.value;
            if (s.key == empty_) return nullptr;
        }
    }

    // The value of key; a new key gets a value-initialised one (added says
    // which). The reference holds until the next insert.
    Value& insert(const Key& key, bool& added) {
        if ((size_ + 1) * 100 > slots_.size() * max_load_percent_) rehash(std::max(min_slots_, slots_.size() * 2));
        for (size_t at = home(key);; at = (at + 1) & mask_) {
            slot& s = slots_[at];
            if (s.key == key) {
                added = false;
                return s.value;
            }
            if (s.key == empty_) {
                s.key = key;
                ++size_;
                added = true;
                return s.value;
            }
        }
    }
    Value& operator[](const Key& key) {
        bool added;
        return insert(key, added);
    }

    // Removes key; false if it was not there. The entries after it in its
    // run move back, so look-ups never need markers of removed keys.
    bool erase(const Key& key) {
        if (slots_.empty()) return false;
        size_t hole = home(key);
        for (;; hole = (hole + 1) & mask_) {
            if (slots_[hole].key == empty_) return false;
            if (slots_[hole].key == key) break;
        }
        for (size_t at = (hole + 1) & mask_; !(slots_[at].key == empty_); at = (at + 1) & mask_) {
            // An entry may fill the hole when its own slot is not in (hole, at].
            size_t own = home(slots_[at].key);
            bool stays = hole < at ? (own > hole && own <= at) : (own > hole || own <= at);
            if (stays) continue;
            slots_[hole] = std::move(slots_[at]);
            hole = at;
        }
        slots_[hole] = slot{empty_, Value()};
        --size_;
        return true;
    }

    // Asks the memory for the slot where key is looked for first.
    void prefetch(const Key& key) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[home(key)]);
    }

    // Room for n keys without growing.
    void reserve(size_t n) {
        size_t slots = std::max(min_slots_, slots_.size());
        while (n * 100 > slots * max_load_percent_) slots *= 2;
        if (slots != slots_.size()) rehash(slots);
    }

    // Drops every entry and the slots' memory.
    void clear() {
        std::vector<slot>().swap(slots_);
        mask_ = 0;
        size_ = 0;
    }

    // visit(key, value) for every entry, in slot order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const slot& s : slots_)
            if (!(s.key == empty_)) visit(s.key, s.value);
    }
    template <class Visit>
    void for_each(Visit&& visit) {
        for (slot& s : slots_)
            if (!(s.key == empty_)) visit(std::as_const(s.key), s.value);
    }

private:
    struct slot {
        Key key;
        Value value;
    };

    static size_t round_up(size_t n) {
        size_t slots = 1;
        while (slots < n) slots *= 2;
        return slots;
    }

    size_t home(const Key& key) const { return static_cast<size_t>(hash_(key)) & mask_; }

    // The entries move over in slot order, so a table holds its entries in
    // the same slots whatever the machine.
    void rehash(size_t slots) {
        std::vector<slot> old(slots, slot{empty_, Value()});
        old.swap(slots_);
        mask_ = slots - 1;
        for (slot& s : old) {
            if (s.key == empty_) continue;
            size_t at = home(s.key);
            while (!(slots_[at].key == empty_)) at = (at + 1) & mask_;
            slots_[at] = std::move(s);
        }
    }

    std::vector<slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
    Key empty_;
    size_t min_slots_;
    unsigned max_load_percent_;
    Hash hash_;
};
