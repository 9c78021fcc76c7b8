// Speed and memory of the UMI module alone, without reading files.
//
//   umi_pairs [PAIRS] [READS] [BARCODES] [SEED]
//
// PAIRS distinct (barcode, 10-letter UMI) pairs (default 5,000,000) over
// BARCODES sparse barcode ids (default 100,000), fed as READS reads (default
// 20,000,000): every pair once, the rest drawn with a skew towards some pairs,
// in random order. A third of the UMIs are one letter from another UMI of
// their barcode, as sequencing errors make them. Prints the CPU time of the
// adds and of the collapse, and the peak memory beyond the start per pair.
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "containers/mix.h"
#include "umi/umi.h"

namespace {

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
}

long peak_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Pair i, computed rather than stored so that only the module holds memory.
// Pairs come in threes on one barcode: two random UMIs and a one-letter
// change of the first.
void pair_of(uint64_t i, uint64_t barcodes, uint32_t& barcode, char* umi) {
    uint64_t group = hash_mix64(i / 3 + 1);
    barcode = static_cast<uint32_t>((group % barcodes) * 40503u);
    uint64_t letters = hash_mix64(group + (i % 3 == 1));
    for (int k = 0; k < 10; ++k) umi[k] = "ACGT"[(letters >> (2 * k)) & 3];
    if (i % 3 == 2) {
        int at = static_cast<int>((letters >> 40) % 10);
        umi[at] = umi[at] == 'A' ? 'C' : 'A';
    }
}

template <class Read>
void for_each_read(uint64_t pairs, uint64_t reads, uint64_t barcodes, uint64_t seed, char* umi, uint32_t& barcode,
                   Read read) {
    uint64_t state = seed;
    for (uint64_t r = 0; r < reads; ++r) {
        uint64_t i;
        if (r < pairs) {
            i = r;  // every pair once
        } else {
            state = hash_mix64(state + r);
            uint64_t a = state % pairs;
            i = (state >> 40) % 4 ? a - a % 3 : a;  // the first UMI of a three gets most reads
        }
        pair_of(i, barcodes, barcode, umi);
        read();
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t pairs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5'000'000;
    uint64_t reads = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20'000'000;
    uint64_t barcodes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100'000;
    uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    long start_kb = peak_kb();

    char umi[10];
    uint32_t barcode;
    // The reads alone, without the counter: what the figure of the adds
    // includes besides them.
    double g0 = cpu_seconds();
    uint64_t checksum = 0;
    for_each_read(pairs, reads, barcodes, seed, umi, barcode, [&] { checksum += barcode + static_cast<uint8_t>(umi[3]); });
    double g1 = cpu_seconds();

    umi::pair_counter counter(10);
    double t0 = cpu_seconds();
    for_each_read(pairs, reads, barcodes, seed, umi, barcode, [&] { counter.add(barcode, std::string_view(umi, 10)); });
    double t1 = cpu_seconds();
    int64_t molecules = 0;
    uint64_t seen = 0;
    counter.for_each_barcode([&](uint32_t, int64_t m) {
        molecules += m;
        ++seen;
    });
    double t2 = cpu_seconds();
    long peak = peak_kb();
    std::printf("pairs %zu, barcodes %llu, molecules %lld, reads %llu\n", counter.pairs(),
                static_cast<unsigned long long>(seen), static_cast<long long>(molecules),
                static_cast<unsigned long long>(reads));
    std::printf("making the reads alone %.2f s (checksum %llu)\n", g1 - g0, static_cast<unsigned long long>(checksum));
    std::printf("add %.2f s (%.1f ns a read), collapse %.2f s (%.1f ns a pair), peak %.0f MB beyond the start, %.1f bytes a pair\n",
                t1 - t0, 1e9 * (t1 - t0) / static_cast<double>(reads), t2 - t1,
                1e9 * (t2 - t1) / static_cast<double>(counter.pairs()), static_cast<double>(peak - start_kb) / 1024,
                1024.0 * static_cast<double>(peak - start_kb) / static_cast<double>(counter.pairs()));
    return 0;
}
