// Hashing of sequences and their one-letter variants, and a flat index.
//
// The hash of a sequence is a sum of per-position weights times the letters,
// so the hash of a copy with one letter changed (or blanked) is found in
// constant time from the hash of the original. The index only narrows the
// search: every hit is checked against the actual letters by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "containers/mix.h"
#include <string_view>
#include <vector>

// A prefetch that stays: the compiler may drop a loop of bare
// __builtin_prefetch calls as doing nothing; the empty volatile statement
// keeps it.
inline void cluster_prefetch(const void* p) {
    __builtin_prefetch(p);
    asm volatile("" : : "r"(p));
}

class seq_hasher {
public:
    // Makes weights for positions 0 .. max_length - 1.
    void prepare(size_t max_length);
    uint64_t sum(std::string_view s) const;
    // The weight change when the byte at p turns from old_letter to new_letter.
    uint64_t change(size_t p, unsigned char old_letter, unsigned char new_letter) const {
        return (static_cast<uint64_t>(new_letter) - static_cast<uint64_t>(old_letter)) * weight_[p];
    }
    // The change when the byte at p is blanked (counts as no letter at all).
    uint64_t blank(size_t p, unsigned char old_letter) const { return 0 - (static_cast<uint64_t>(old_letter) + 1) * weight_[p]; }
    static uint64_t finish(uint64_t sum, size_t length) {
        return hash_mix64(sum + length * 0x9E3779B97F4A7C15ull);
    }

private:
    std::vector<uint64_t> weight_;
};

// Open addressing from a 64-bit hash to 32-bit payloads; equal hashes may
// hold several payloads, which find() hands out one by one (a multimap, so
// not containers/open_table, which keeps one value a key).
class flat_index {
public:
    void reset(size_t expected);
    void insert(uint64_t h, uint32_t payload) {
        size_t pos = h & mask_;
        while (slots_[pos] != 0) pos = (pos + 1) & mask_;
        slots_[pos] = (h & 0xffffffff00000000ull) | (static_cast<uint64_t>(payload) + 1);
    }
    void prefetch(uint64_t h) const { cluster_prefetch(&slots_[h & mask_]); }
    // Calls visit(payload) for each payload stored under a hash that agrees
    // with h in its upper half; stops early when visit returns true.
    template <class Visit>
    void find(uint64_t h, Visit&& visit) const {
        size_t pos = h & mask_;
        const uint64_t tag = h & 0xffffffff00000000ull;
        for (;;) {
            uint64_t v = slots_[pos];
            if (v == 0) return;
            if ((v & 0xffffffff00000000ull) == tag && visit(static_cast<uint32_t>(v - 1))) return;
            pos = (pos + 1) & mask_;
        }
    }
    void release() { std::vector<uint64_t>().swap(slots_); }

private:
    std::vector<uint64_t> slots_;
    size_t mask_ = 0;
};
