// Sorting by a number of few bits: a few passes over the data rather than a
// comparison per pair. Shared by cluster's pairing and count -x's tally.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// Sorts [lo, hi) by key(record), a number below 2^bits: least significant
// digit first through tmp when the range is large (stable from 4096 records
// on), by comparison otherwise.
template <class T, class Key>
void radix_sort(T* lo, T* hi, size_t bits, std::vector<T>& tmp, Key key) {
    const size_t n = static_cast<size_t>(hi - lo);
    if (n < 4096 || bits == 0) {
        std::sort(lo, hi, [&](const T& x, const T& y) { return key(x) < key(y); });
        return;
    }
    tmp.resize(n);
    const size_t passes = (bits + 10) / 11;
    const size_t digit = (bits + passes - 1) / passes;
    const uint64_t mask = (uint64_t{1} << digit) - 1;
    T* src = lo;
    T* dst = tmp.data();
    std::vector<size_t> counts(size_t{1} << digit);
    for (size_t pass = 0; pass < passes; ++pass) {
        const size_t shift = pass * digit;
        std::fill(counts.begin(), counts.end(), 0);
        for (size_t k = 0; k < n; ++k) ++counts[key(src[k]) >> shift & mask];
        size_t sum = 0;
        for (size_t& c : counts) {
            size_t here = c;
            c = sum;
            sum += here;
        }
        for (size_t k = 0; k < n; ++k) dst[counts[key(src[k]) >> shift & mask]++] = src[k];
        std::swap(src, dst);
    }
    if (src != lo) std::copy(src, src + n, lo);
}
