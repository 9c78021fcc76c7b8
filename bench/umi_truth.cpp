// Molecule counts against the truth of gen_umi_reads.
//
//   umi_truth reads FASTQ TRUTH      counts the generator's reads itself (the
//                                    read layout at its known place) with the
//                                    UMI module, directional and exact
//   umi_truth table TABLE TRUTH      reads a count table of
//                                    `sequence TAB molecules TAB reads` lines
//
// Over the barcodes with 20 or more true molecules it prints the summed
// molecules against the truth and the median per-barcode deviation (|found -
// true| / true), and the same against the molecules seen at least once under
// their true barcode (the truth file's third column): a molecule whose every
// read carried a barcode error is counted under a misread barcode instead.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "umi/umi.h"

namespace {

const std::string upstream = "GTCGACCTGCAGCGTACG";
const std::string downstream = "CGCTCGAGGG";
constexpr size_t barcode_length = 20;
constexpr size_t umi_length = 10;
constexpr int allowed_mismatches = 1;  // a tenth of each constant, rounded down
constexpr int quality_cutoff = 10;     // Phred+33, as count -m S

using counts = std::map<std::string, int64_t>;

int mismatches(const std::string& read, size_t at, const std::string& constant) {
    int found = 0;
    for (size_t i = 0; i < constant.size(); ++i) found += read[at + i] != constant[i];
    return found;
}

// Where the layout's letters start in the read (the upstream constant with
// the fewest mismatches, leftmost), or npos.
size_t place(const std::string& read) {
    size_t need = upstream.size() + barcode_length + umi_length + downstream.size();
    if (read.size() < need) return std::string::npos;
    size_t best = std::string::npos;
    int best_mismatches = allowed_mismatches + 1;
    for (size_t at = 0; at + need <= read.size(); ++at) {
        int m = mismatches(read, at, upstream);
        if (m < best_mismatches) {
            best = at;
            best_mismatches = m;
        }
    }
    if (best == std::string::npos) return best;
    size_t down = best + upstream.size() + barcode_length + umi_length;
    return mismatches(read, down, downstream) <= allowed_mismatches ? best : std::string::npos;
}

std::string masked(const std::string& seq, const std::string& qual, size_t at, size_t length) {
    std::string letters = seq.substr(at, length);
    for (size_t i = 0; i < length; ++i)
        if (qual[at + i] - 33 < quality_cutoff) letters[i] = 'N';
    return letters;
}

// Directional and exact-UMI molecules per barcode sequence.
void count_reads(const char* path, counts& directional, counts& exact) {
    std::ifstream in(path);
    std::unordered_map<std::string, uint32_t> ids;
    std::vector<std::string> keys;
    std::vector<std::unordered_map<std::string, int64_t>> umis;
    umi::pair_counter pairs(umi_length);
    std::string title, seq, plus, qual;
    int64_t without_layout = 0, umi_with_n = 0;
    while (std::getline(in, title) && std::getline(in, seq) && std::getline(in, plus) && std::getline(in, qual)) {
        size_t at = place(seq);
        if (at == std::string::npos) {
            ++without_layout;
            continue;
        }
        std::string barcode = masked(seq, qual, at + upstream.size(), barcode_length);
        std::string u = masked(seq, qual, at + upstream.size() + barcode_length, umi_length);
        if (u.find('N') != std::string::npos) {
            ++umi_with_n;
            continue;
        }
        auto [it, fresh] = ids.try_emplace(barcode, static_cast<uint32_t>(keys.size()));
        if (fresh) {
            keys.push_back(barcode);
            umis.emplace_back();
        }
        pairs.add(it->second, u);
        ++umis[it->second][u];
    }
    pairs.for_each_barcode([&](uint32_t id, int64_t molecules) {
        directional[keys[id]] = molecules;
        exact[keys[id]] = static_cast<int64_t>(umis[id].size());
        // The module's own check: the pair counter agrees with the collapse of the same UMIs.
        if (molecules != umi::molecules({umis[id].begin(), umis[id].end()})) {
            std::fprintf(stderr, "umi_truth: pair counter and collapse differ for %s\n", keys[id].c_str());
            std::exit(1);
        }
    });
    std::printf("reads without layout: %lld, with N in the UMI: %lld, barcode keys: %zu, pairs: %zu\n",
                static_cast<long long>(without_layout), static_cast<long long>(umi_with_n), keys.size(), pairs.pairs());
}

// The first number after the sequence, or with column 2 the second.
counts read_table(const char* path, int column = 1) {
    std::ifstream in(path);
    counts table;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        size_t at = tab + 1;
        for (int c = 1; c < column && at != 0; ++c) at = line.find('\t', at) + 1;
        table[line.substr(0, tab)] = at == 0 ? 0 : std::atoll(line.c_str() + at);
    }
    return table;
}

// Over the barcodes with 20 or more molecules in truth; measured against
// against's numbers (the truth, or the molecules seen under the true barcode).
void compare(const char* what, const counts& found, const counts& truth, const counts& against) {
    int64_t true_sum = 0, found_sum = 0;
    std::vector<double> deviations;
    for (const auto& [barcode, all] : truth) {
        if (all < 20) continue;
        int64_t molecules = against.at(barcode);
        auto it = found.find(barcode);
        int64_t got = it == found.end() ? 0 : it->second;
        true_sum += molecules;
        found_sum += got;
        deviations.push_back(std::abs(static_cast<double>(got - molecules)) / static_cast<double>(molecules));
    }
    if (deviations.empty()) {
        std::printf("%s: no barcode with 20 or more molecules\n", what);
        return;
    }
    std::sort(deviations.begin(), deviations.end());
    size_t n = deviations.size();
    double median = n % 2 ? deviations[n / 2] : (deviations[n / 2 - 1] + deviations[n / 2]) / 2;
    std::printf("%s: %zu barcodes with >= 20 molecules; summed %lld for %lld (%+.2f%%); median deviation %.2f%%\n",
                what, n, static_cast<long long>(found_sum), static_cast<long long>(true_sum),
                100.0 * static_cast<double>(found_sum - true_sum) / static_cast<double>(true_sum), 100.0 * median);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc == 4 ? argv[1] : "";
    if (mode != "reads" && mode != "table") {
        std::fprintf(stderr, "usage: umi_truth reads FASTQ TRUTH | umi_truth table TABLE TRUTH\n");
        return 1;
    }
    counts truth = read_table(argv[3]);
    counts seen = read_table(argv[3], 2);
    counts directional, exact;
    if (mode == "table") directional = read_table(argv[2]);
    else count_reads(argv[2], directional, exact);
    compare("directional vs truth", directional, truth, truth);
    compare("directional vs seen under the true barcode", directional, truth, seen);
    if (mode == "reads") {
        compare("exact UMIs vs truth", exact, truth, truth);
        compare("exact UMIs vs seen under the true barcode", exact, truth, seen);
    }
    return 0;
}
