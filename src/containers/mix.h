// Spreads the bits of a 64-bit hash over the whole word: the finaliser of the
// private tables of count, cluster, map, tabulate and the UMI counter, whose
// slots take the low bits.
#pragma once

#include <cstdint>

inline uint64_t hash_mix64(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}
