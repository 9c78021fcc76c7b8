// Writes staggered barcode reads (FASTQ, Phred+33) to standard output, and
// optionally the count table that `count -m S -b -p UP[20]DOWN` must make
// of them.
//
//   gen_staggered [-n READS] [-s SEED] [-b BARCODES] [-e RATE] [-r SHARE] [-j SHARE] [-t TRUTH_FILE]
//
// A read is 0-8 random letters (the stagger), the 18-letter upstream
// constant, one of BARCODES 20-letter barcodes (default 1000), the 10-letter
// downstream constant, and random letters up to 58. Every letter of the
// constants and the barcode is substituted with probability RATE (default
// 0.01); a share of the reads (-r, default 0.2) is written as the reverse
// complement, and a share (-j, default 0.03) is junk. The truth counts a
// read under its (possibly substituted) barcode when each constant has at
// most one substitution, the allowance of both; all qualities are high, so
// nothing is masked. The same arguments always give the same files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "random_source.h"

namespace {

const std::string upstream = "GTCGACCTGCAGCGTACG";
const std::string downstream = "CGCTCGAGGG";
constexpr int read_length = 58;



// Substitutes each letter with probability rate; returns how many changed.
int substitute(random_source& random, std::string& text, double rate) {
    int changed = 0;
    for (char& c : text) {
        if (random.uniform() >= rate) continue;
        char other;
        do other = bases[random.below(4)];
        while (other == c);
        c = other;
        ++changed;
    }
    return changed;
}

std::string reverse_complement(const std::string& seq) {
    std::string out(seq.rbegin(), seq.rend());
    for (char& c : out) c = c == 'A' ? 'T' : c == 'T' ? 'A' : c == 'C' ? 'G' : 'C';
    return out;
}

struct truth {
    long reads = 0;
    long without_layout = 0;
    long reverse = 0;
    std::map<std::string, long> counts;
};

void write_truth(const char* path, const truth& t) {
    FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path);
        std::exit(1);
    }
    std::vector<std::pair<std::string, long>> lines(t.counts.begin(), t.counts.end());
    std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::fprintf(out, "#trim: 0:0\n#truncate: 0\n#quality lo: 0\thi: 40\tadj: 33\tcutoff: 10\n");
    std::fprintf(out, "#total reads: %ld\n#unique reads: %zu\n#filtered bases: 0\n", t.reads, lines.size());
    std::fprintf(out, "#layout: %s[20]%s\n#reads without layout: %ld\n", upstream.c_str(), downstream.c_str(),
                 t.without_layout);
    std::fprintf(out, "#reverse strand reads: %ld\n#read\tcount\n", t.reverse);
    for (const auto& [barcode, count] : lines) std::fprintf(out, "%s\t%ld\n", barcode.c_str(), count);
    std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
    long reads = 2'000'000;
    uint64_t seed = 1;
    int barcode_count = 1000;
    double rate = 0.01, reverse_share = 0.2, junk_share = 0.03;
    const char* truth_path = nullptr;
    for (int option; (option = getopt(argc, argv, "n:s:b:e:r:j:t:")) != -1;) {
        switch (option) {
            case 'n': reads = std::atol(optarg); break;
            case 's': seed = std::strtoull(optarg, nullptr, 10); break;
            case 'b': barcode_count = std::max(1, std::atoi(optarg)); break;
            case 'e': rate = std::atof(optarg); break;
            case 'r': reverse_share = std::atof(optarg); break;
            case 'j': junk_share = std::atof(optarg); break;
            case 't': truth_path = optarg; break;
            default:
                std::fprintf(stderr, "usage: %s [-n reads] [-s seed] [-b barcodes] [-e rate] [-r share] [-j share] [-t truth]\n",
                             argv[0]);
                return 1;
        }
    }
    random_source random(seed);
    std::vector<std::string> barcodes;
    for (int i = 0; i < barcode_count; ++i) barcodes.push_back(random_bases(random, 20));
    const std::string quality(read_length, 'F');
    truth t;
    std::string read;
    for (long n = 0; n < reads; ++n) {
        ++t.reads;
        if (random.uniform() < junk_share) {
            read = random_bases(random, read_length);
            ++t.without_layout;
        } else {
            // Skewed abundance: the square of a uniform number favours the first barcodes.
            double u = random.uniform();
            std::string barcode = barcodes[static_cast<size_t>(u * u * barcode_count)];
            std::string up = upstream, down = downstream;
            bool found = substitute(random, up, rate) <= 1;
            found = substitute(random, down, rate) <= 1 && found;
            substitute(random, barcode, rate);
            int stagger = random.below(9);
            read = random_bases(random, stagger) + up + barcode + down;
            read += random_bases(random, read_length - static_cast<int>(read.size()));
            bool turned = random.uniform() < reverse_share;
            if (turned) read = reverse_complement(read);
            if (found) {
                ++t.counts[barcode];
                t.reverse += turned;
            } else {
                ++t.without_layout;
            }
        }
        std::printf("@r%ld\n%s\n+\n%s\n", n, read.c_str(), quality.c_str());
    }
    if (truth_path != nullptr) write_truth(truth_path, t);
    return 0;
}
