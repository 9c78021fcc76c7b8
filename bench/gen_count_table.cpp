// Writes a count table with realistic error neighbourhoods: reads drawn from
// a set of random true barcodes with skewed abundances, each read copied with
// substitution errors (more towards the end of the read), a few Ns and a few
// shifted reads (a lost first letter).
//
// usage: gen_count_table BARCODES READS [LENGTH] [ERROR_RATE] [SEED] > table.tsv
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BARCODES READS [LENGTH] [ERROR_RATE] [SEED]\n", argv[0]);
        return 1;
    }
    const long barcodes = std::atol(argv[1]);
    const long reads = std::atol(argv[2]);
    const int length = argc > 3 ? std::atoi(argv[3]) : 20;
    const double error_rate = argc > 4 ? std::atof(argv[4]) : 0.01;
    const unsigned seed = argc > 5 ? static_cast<unsigned>(std::atol(argv[5])) : 1;
    std::mt19937_64 rng(seed);
    const char bases[] = "ACGT";

    std::vector<std::string> truth(static_cast<size_t>(barcodes));
    for (auto& b : truth) {
        b.resize(static_cast<size_t>(length) + 1);  // one spare letter for shifted reads
        for (auto& c : b) c = bases[rng() % 4];
    }
    // Log-normal abundances, as pooled libraries show.
    std::lognormal_distribution<double> abundance(0.0, 1.0);
    std::vector<double> weight(truth.size());
    for (auto& w : weight) w = abundance(rng);
    std::discrete_distribution<size_t> pick(weight.begin(), weight.end());
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    std::unordered_map<std::string, long> counts;
    counts.reserve(static_cast<size_t>(reads / 4));
    std::string read;
    for (long r = 0; r < reads; ++r) {
        const std::string& source = truth[pick(rng)];
        bool shifted = unit(rng) < 0.002;
        read.assign(source, shifted ? 1 : 0, static_cast<size_t>(length));
        for (int p = 0; p < length; ++p) {
            // Errors grow along the read: half the rate at the start, 1.5x at the end.
            double rate = error_rate * (0.5 + static_cast<double>(p) / length);
            if (unit(rng) < rate) {
                char c;
                do c = bases[rng() % 4];
                while (c == read[static_cast<size_t>(p)]);
                read[static_cast<size_t>(p)] = c;
            } else if (unit(rng) < 0.0005) {
                read[static_cast<size_t>(p)] = 'N';
            }
        }
        ++counts[read];
    }
    std::vector<std::pair<std::string, long>> table(counts.begin(), counts.end());
    std::sort(table.begin(), table.end(), [](const auto& a, const auto& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; });
    for (const auto& [sequence, count] : table) std::printf("%s\t%ld\n", sequence.c_str(), count);
    std::fprintf(stderr, "%zu distinct sequences\n", table.size());
    return 0;
}
