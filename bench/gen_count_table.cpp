// Writes a count table with realistic error neighbourhoods: reads drawn from
// a set of random true barcodes with skewed abundances, each read copied with
// substitution errors (more towards the end of the read), a few Ns and a few
// shifted reads (a lost first letter). Optionally a share of junk reads
// (random letters: no barcode, or a primer dimer) and of reads with one
// inserted or deleted letter, which real runs leave outside every cluster.
//
// usage: gen_count_table BARCODES READS [LENGTH] [ERROR_RATE] [SEED] [JUNK_SHARE] [INDEL_SHARE] > table.tsv
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
        std::fprintf(stderr, "usage: %s BARCODES READS [LENGTH] [ERROR_RATE] [SEED] [JUNK_SHARE] [INDEL_SHARE]\n", argv[0]);
        return 1;
    }
    const long barcodes = std::atol(argv[1]);
    const long reads = std::atol(argv[2]);
    const int length = argc > 3 ? std::atoi(argv[3]) : 20;
    const double error_rate = argc > 4 ? std::atof(argv[4]) : 0.01;
    const unsigned seed = argc > 5 ? static_cast<unsigned>(std::atol(argv[5])) : 1;
    const double junk_share = argc > 6 ? std::atof(argv[6]) : 0.0;
    const double indel_share = argc > 7 ? std::atof(argv[7]) : 0.0;
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
        if (junk_share > 0 && unit(rng) < junk_share) {
            read.resize(static_cast<size_t>(length));
            for (auto& c : read) c = bases[rng() % 4];
            ++counts[read];
            continue;
        }
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
        if (indel_share > 0 && unit(rng) < indel_share) {
            // One letter lost (a random one comes in at the end) or one gained.
            size_t at = rng() % static_cast<size_t>(length);
            if (rng() % 2 == 0) {
                read.erase(at, 1);
                read.push_back(bases[rng() % 4]);
            } else {
                read.insert(read.begin() + static_cast<long>(at), bases[rng() % 4]);
                read.pop_back();
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
