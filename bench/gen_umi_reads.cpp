// Writes UMI-tagged barcode reads (FASTQ, Phred+33) with known molecule
// numbers, and the truth: each barcode with its number of molecules.
//
//   gen_umi_reads [-b BARCODES] [-m MOLECULES] [-c COPIES] [-e RATE] [-u UMI] [-s SEED] [-t TRUTH]
//
// Each of BARCODES random 20-letter barcodes (default 2000) gets a skewed
// number of molecules (log-normal, mean MOLECULES, default 100, at least 1),
// each with its own random UMI of UMI letters (default 10; distinct within the
// barcode, though neighbours one letter apart occur as they would in a real
// library). PCR makes a skewed number of copies of each molecule (log-normal,
// mean COPIES, default 6, at least 1), and every copy is one read, so every
// molecule is seen. The reads come in random order, each
//
//   <0-4 random letters> GTCGACCTGCAGCGTACG <barcode> <UMI> CGCTCGAGGG <random letters>
//
// 62 letters in all, matched by the layout 'GTCGACCTGCAGCGTACG[20](10)CGCTCGAGGG'
// (with -u 10). Every letter is substituted with probability RATE (default
// 0.005); substituted letters get qualities 15-29, which pass the default
// cutoff, so the errors stay in the barcodes and UMIs; the others 30-41.
// The truth file (-t) holds one line per barcode, in byte order:
// `barcode TAB molecules TAB seen`, where seen counts the molecules of which at
// least one read kept the barcode free of errors (the others can only turn up
// under a misread barcode). The same arguments always give the same files.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "random_source.h"

namespace {

// Log-normal with the given mean and a sigma of 1: a long right tail.
double skewed(random_source& random, double mean) {
    double u1 = random.uniform();
    double u2 = random.uniform();
    double normal = std::sqrt(-2.0 * std::log(u1 > 0 ? u1 : 0x1.0p-53)) * std::cos(2 * std::numbers::pi * u2);
    return std::exp(std::log(mean) - 0.5 + normal);
}


const std::string upstream = "GTCGACCTGCAGCGTACG";
const std::string downstream = "CGCTCGAGGG";
constexpr int barcode_length = 20;
constexpr int max_stagger = 4;


struct settings {
    int barcodes = 2000;
    double molecules = 100;
    double copies = 6;
    double error_rate = 0.005;
    int umi_length = 10;
    uint64_t seed = 1;
    const char* truth = nullptr;
};

settings parse(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr,
                         "usage: gen_umi_reads [-b BARCODES] [-m MOLECULES] [-c COPIES] [-e RATE] [-u UMI] [-s SEED] [-t TRUTH]\n");
            std::exit(1);
        }
        const char* value = argv[++i];
        if (arg == "-b") s.barcodes = std::max(1, std::atoi(value));
        else if (arg == "-m") s.molecules = std::max(1.0, std::atof(value));
        else if (arg == "-c") s.copies = std::max(1.0, std::atof(value));
        else if (arg == "-e") s.error_rate = std::atof(value);
        else if (arg == "-u") s.umi_length = std::clamp(std::atoi(value), 1, 64);
        else if (arg == "-s") s.seed = std::strtoull(value, nullptr, 10);
        else if (arg == "-t") s.truth = value;
        else {
            std::fprintf(stderr, "gen_umi_reads: unknown option %s\n", arg.c_str());
            std::exit(1);
        }
    }
    return s;
}

struct molecule {
    uint32_t barcode;
    std::string umi;
    bool seen = false;  // a read with the barcode unchanged
};

// Substitutes letters at the error rate; marks them with low quality.
void sequence_read(random_source& random, double error_rate, std::string& read, std::string& quality) {
    quality.assign(read.size(), 'A');
    for (size_t i = 0; i < read.size(); ++i) {
        if (random.uniform() < error_rate) {
            read[i] = bases[(std::string("ACGT").find(read[i]) + 1 + random.below(3)) % 4];
            quality[i] = static_cast<char>('!' + 15 + random.below(15));
        } else {
            quality[i] = static_cast<char>('!' + 30 + random.below(12));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    settings s = parse(argc, argv);
    random_source random(s.seed);

    std::set<std::string> unique_barcodes;
    while (unique_barcodes.size() < static_cast<size_t>(s.barcodes)) unique_barcodes.insert(random_bases(random, barcode_length));
    std::vector<std::string> barcodes(unique_barcodes.begin(), unique_barcodes.end());

    std::vector<molecule> molecules;
    std::vector<size_t> molecule_count(barcodes.size());
    for (uint32_t b = 0; b < barcodes.size(); ++b) {
        size_t n = std::max<size_t>(1, static_cast<size_t>(std::llround(skewed(random, s.molecules))));
        n = std::min<size_t>(n, (size_t{1} << std::min(2 * s.umi_length, 40)) / 4);
        std::set<std::string> umis;
        while (umis.size() < n) umis.insert(random_bases(random, static_cast<size_t>(s.umi_length)));
        // Molecules in random order, not by UMI, before they are copied.
        std::vector<std::string> drawn(umis.begin(), umis.end());
        for (size_t i = drawn.size(); i > 1; --i) std::swap(drawn[i - 1], drawn[random.below(i)]);
        for (std::string& u : drawn) molecules.push_back({b, std::move(u), false});
        molecule_count[b] = n;
    }

    std::vector<uint32_t> reads;  // one molecule index per read
    for (uint32_t m = 0; m < molecules.size(); ++m) {
        size_t copies = std::max<size_t>(1, static_cast<size_t>(std::llround(skewed(random, s.copies))));
        reads.insert(reads.end(), copies, m);
    }
    for (size_t i = reads.size(); i > 1; --i) std::swap(reads[i - 1], reads[random.below(i)]);

    const size_t read_length = max_stagger + upstream.size() + barcode_length + static_cast<size_t>(s.umi_length) + downstream.size();
    std::string read;
    std::string quality;
    for (size_t r = 0; r < reads.size(); ++r) {
        molecule& m = molecules[reads[r]];
        read = random_bases(random, random.below(max_stagger + 1));
        read += upstream;
        size_t barcode_at = read.size();
        read += barcodes[m.barcode];
        read += m.umi;
        read += downstream;
        read += random_bases(random, read_length - read.size());
        sequence_read(random, s.error_rate, read, quality);
        m.seen |= read.compare(barcode_at, barcode_length, barcodes[m.barcode]) == 0;
        std::printf("@r%zu\n%s\n+\n%s\n", r + 1, read.c_str(), quality.c_str());
    }

    if (s.truth) {
        FILE* out = std::fopen(s.truth, "w");
        if (!out) {
            std::perror(s.truth);
            return 1;
        }
        std::vector<size_t> seen(barcodes.size());
        for (const molecule& m : molecules) seen[m.barcode] += m.seen;
        for (size_t b = 0; b < barcodes.size(); ++b)
            std::fprintf(out, "%s\t%zu\t%zu\n", barcodes[b].c_str(), molecule_count[b], seen[b]);
        std::fclose(out);
    }
    std::fprintf(stderr, "gen_umi_reads: %zu barcodes, %zu molecules, %zu reads\n", barcodes.size(), molecules.size(), reads.size());
    return 0;
}
