// Writes a lineage-tracing time course at scale: three samples of barcoded
// cells (d0, d7, d14), no barcode list, with the truth.
//
//   gen_lineage [-c CLONES] [-r READS] [-m MOLECULES] [-l LENGTH] [-s SEED] [-o DIR]
//
// Every clone carries a random 60-letter barcode between two constants. The
// library is amplified with staggered primers (0-8 random letters before the
// upstream constant) and a 10-letter UMI after the downstream constant, and
// read from both strands:
//
//   [0-8 stagger] ACTGACTGCAGTCGAACG [60-letter barcode] GTCGTATCGACT [UMI 10] adapter
//
// cut to LENGTH letters (default 110, which keeps every UMI; below 86 the
// barcode runs off the read's end in some reads, below 78 in all). CLONES
// clones (default 20,000) start at log-normal sizes and drift by their own
// fitness; each sample has READS reads (default 2,000,000) of MOLECULES
// molecules (default 372,000), each molecule a clone and a random UMI with
// a skewed number of PCR copies. 1% of the molecules are PCR chimeras (the
// barcode of one clone up to a random point, another's after it) and 2%
// carry a PCR substitution in all their reads. Reads carry substitutions
// rising from 0.2% at the first letter to 2% at the last (most with low
// qualities), no-calls, an insertion or deletion in 0.5%, and 3% are
// random junk. Qualities are Phred+33 (count -m S).
//
// DIR (default .) gets d0.fastq, d7.fastq, d14.fastq, samples.tsv (the
// sample sheet) and truth.tsv: every clone's barcode with its molecules in
// each sample (those of which at least one read was written; chimeras count
// for no clone), in byte order of the barcodes. The same arguments always
// give the same files.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "random_source.h"

namespace {

const std::string upstream = "ACTGACTGCAGTCGAACG";
const std::string downstream = "GTCGTATCGACT";
const std::string adapter = "AGATCGGAAGAGCACACGTCTGAACTCCAGTCAC";
constexpr int barcode_length = 60;
constexpr int umi_length = 10;
constexpr int max_stagger = 8;

struct settings {
    int clones = 20000;
    long reads = 2000000;
    long molecules = 372000;
    int length = 110;
    uint64_t seed = 20261209;
    std::string dir = ".";
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: gen_lineage [-c CLONES] [-r READS] [-m MOLECULES] [-l LENGTH] [-s SEED] [-o DIR]\n");
    std::exit(1);
}

settings parse(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (arg == "-c") s.clones = std::max(1, std::atoi(value));
        else if (arg == "-r") s.reads = std::max(1L, std::atol(value));
        else if (arg == "-m") s.molecules = std::max(1L, std::atol(value));
        else if (arg == "-l") s.length = std::clamp(std::atoi(value), 40, 1000);
        else if (arg == "-s") s.seed = std::strtoull(value, nullptr, 10);
        else if (arg == "-o") s.dir = value;
        else usage();
    }
    return s;
}

double normal(random_source& random) {
    double u1 = random.uniform();
    double u2 = random.uniform();
    return std::sqrt(-2.0 * std::log(u1 > 0 ? u1 : 0x1.0p-53)) * std::cos(2 * std::numbers::pi * u2);
}

// Cumulative shares of weights, for drawing by binary search.
std::vector<double> cumulative(const std::vector<double>& weights) {
    std::vector<double> out(weights.size());
    double total = 0;
    for (double w : weights) total += w;
    double running = 0;
    for (size_t i = 0; i < weights.size(); ++i) out[i] = (running += weights[i] / total);
    return out;
}

size_t draw(const std::vector<double>& shares, random_source& random) {
    size_t at = static_cast<size_t>(std::upper_bound(shares.begin(), shares.end(), random.uniform()) - shares.begin());
    return std::min(at, shares.size() - 1);
}

char complement(char c) {
    switch (c) {
        case 'A': return 'T';
        case 'C': return 'G';
        case 'G': return 'C';
        case 'T': return 'A';
        default: return 'N';
    }
}

struct molecule {
    int clone;         // -1: a chimera
    std::string code;  // the barcode as amplified
    std::string umi;
};

// One read of a molecule: the fragment, perhaps an indel, perhaps the other
// strand, then sequencing errors with their qualities.
void sequence_read(random_source& random, std::string fragment, int length, std::string& seq, std::string& qual) {
    if (random.uniform() < 0.005) {
        size_t at = std::min<size_t>(20 + random.below(70), fragment.size() - 1);
        if (random.uniform() < 0.5)
            fragment.insert(at, 1, bases[random.below(4)]);
        else
            fragment.erase(at, 1);
    }
    fragment.resize(static_cast<size_t>(length), 'A');
    if (random.uniform() < 0.5) {
        std::reverse(fragment.begin(), fragment.end());
        for (char& c : fragment) c = complement(c);
    }
    seq = fragment;
    qual.assign(seq.size(), 'I');
    for (size_t i = 0; i < seq.size(); ++i) {
        double rate = 0.002 + 0.018 * static_cast<double>(i) / static_cast<double>(seq.size() - 1);
        double draw_error = random.uniform();
        if (draw_error < rate) {
            char was = seq[i];
            do seq[i] = bases[random.below(4)];
            while (seq[i] == was);
            // Most errors come with a low quality, some look good.
            qual[i] = static_cast<char>(33 + (random.uniform() < 0.7 ? 2 + random.below(8) : 20 + random.below(16)));
        } else if (draw_error < rate + 0.0003) {
            seq[i] = 'N';
            qual[i] = '#';
        } else {
            qual[i] = static_cast<char>(33 + 30 + random.below(11));
        }
    }
}

struct sample {
    const char* name;
    double days;
};

}  // namespace

int main(int argc, char** argv) {
    settings s = parse(argc, argv);
    random_source random(s.seed);
    std::vector<std::string> barcodes(static_cast<size_t>(s.clones));
    for (std::string& b : barcodes) b = random_bases(random, barcode_length);
    std::vector<double> start(barcodes.size()), fitness(barcodes.size());
    for (size_t i = 0; i < barcodes.size(); ++i) {
        start[i] = std::exp(normal(random));
        // Most clones near neutral, some shrink away, a few expand.
        double f = 0.05 * normal(random) + (random.uniform() < 0.04 ? 0.15 : 0.0);
        if (random.uniform() < 0.3) f += std::log(std::max(random.uniform(), 1e-9)) / 6.0;
        fitness[i] = f;
    }
    const sample samples[] = {{"d0", 0.0}, {"d7", 7.0}, {"d14", 14.0}};
    std::vector<std::vector<long>> truth(barcodes.size(), std::vector<long>(3, 0));
    std::FILE* sheet = std::fopen((s.dir + "/samples.tsv").c_str(), "w");
    if (sheet == nullptr) {
        std::perror(s.dir.c_str());
        return 1;
    }
    std::fprintf(sheet, "#sample\tfastq\n");
    for (int k = 0; k < 3; ++k) {
        random_source rng(s.seed * 31 + static_cast<uint64_t>(k) + 1);
        std::vector<double> weights(barcodes.size());
        for (size_t i = 0; i < barcodes.size(); ++i) weights[i] = start[i] * std::exp(samples[k].days * fitness[i]);
        std::vector<double> clone_shares = cumulative(weights);
        std::vector<molecule> pool(static_cast<size_t>(s.molecules));
        std::vector<double> copies(pool.size());
        for (size_t m = 0; m < pool.size(); ++m) {
            int clone = static_cast<int>(draw(clone_shares, rng));
            std::string code = barcodes[static_cast<size_t>(clone)];
            double kind = rng.uniform();
            if (kind < 0.01) {
                const std::string& other = barcodes[draw(clone_shares, rng)];
                size_t cut = 1 + rng.below(barcode_length - 1);
                code = code.substr(0, cut) + other.substr(cut);
                clone = -1;
            } else if (kind < 0.03) {
                size_t at = rng.below(barcode_length);
                char was = code[at];
                do code[at] = bases[rng.below(4)];
                while (code[at] == was);
            }
            pool[m] = {clone, code, random_bases(rng, umi_length)};
            copies[m] = std::exp(0.7 * normal(rng));
        }
        std::vector<double> copy_shares = cumulative(copies);
        std::vector<char> seen(pool.size(), 0);
        std::string path = s.dir + "/" + samples[k].name + ".fastq";
        std::FILE* out = std::fopen(path.c_str(), "w");
        if (out == nullptr) {
            std::perror(path.c_str());
            return 1;
        }
        std::string seq, qual, fragment;
        for (long r = 1; r <= s.reads; ++r) {
            if (rng.uniform() < 0.03) {
                fragment = random_bases(rng, static_cast<size_t>(s.length));
            } else {
                size_t m = draw(copy_shares, rng);
                seen[m] = 1;
                fragment = random_bases(rng, rng.below(max_stagger + 1));
                fragment += upstream + pool[m].code + downstream + pool[m].umi + adapter;
                while (fragment.size() < static_cast<size_t>(s.length) + 2) fragment += random_bases(rng, 16);
            }
            sequence_read(rng, fragment, s.length, seq, qual);
            std::fprintf(out, "@%s_%08ld\n%s\n+\n%s\n", samples[k].name, r, seq.c_str(), qual.c_str());
        }
        std::fclose(out);
        for (size_t m = 0; m < pool.size(); ++m)
            if (seen[m] && pool[m].clone >= 0) ++truth[static_cast<size_t>(pool[m].clone)][static_cast<size_t>(k)];
        std::fprintf(sheet, "%s\t%s.fastq\n", samples[k].name, samples[k].name);
    }
    std::fclose(sheet);
    std::vector<size_t> order(barcodes.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return barcodes[a] < barcodes[b]; });
    std::FILE* t = std::fopen((s.dir + "/truth.tsv").c_str(), "w");
    std::fprintf(t, "#barcode\td0\td7\td14\n");
    for (size_t i : order)
        std::fprintf(t, "%s\t%ld\t%ld\t%ld\n", barcodes[i].c_str(), truth[i][0], truth[i][1], truth[i][2]);
    std::fclose(t);
    return 0;
}
