// The seeded random numbers of the data generators: splitmix64, small, fast
// and fully determined by the seed, so the same arguments always give the
// same files.
#pragma once

#include <cstdint>
#include <string>

class random_source {
public:
    explicit random_source(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // In [0, 1), 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // In [0, n).
    uint64_t below(uint64_t n) { return next() % n; }

private:
    uint64_t state_;
};

inline constexpr char bases[] = "ACGT";

// length letters drawn from A, C, G and T.
inline std::string random_bases(random_source& random, size_t length) {
    std::string text(length, 'A');
    for (char& c : text) c = bases[random.below(4)];
    return text;
}
