// Writes a multiplexed paired run (FASTQ, Phred+33) of 96 samples, its
// sample sheets and its truth.
//
//   gen_multiplex [-n PAIRS] [-s SEED] [-e RATE] -o PREFIX
//
// Sample k has two 8-letter indexes, i7 and i5, at least 4 substitutions
// from every other sample's. Read 1 is i7, a stagger of 0-8 random letters,
// the 18-letter constant, a 20-letter barcode (one of 1000), the 10-letter
// constant, random letters up to 70; read 2 is i5, a stagger of 0-4, a
// 16-letter constant, a 12-letter barcode (one of 10), random letters up to
// 50. The header's index field is the pair's i7+i5 as written in the reads.
// Of the pairs, 5% carry indexes of no sample, 3% the i7 of one sample and
// the i5 of another, and in 8% one index has one substitution, in 3% two.
// Every letter of the constants and barcodes is substituted with
// probability RATE (default 0.005). Files:
//
//   PREFIX_R1.fastq, PREFIX_R2.fastq   the pairs
//   PREFIX.sheet        name<TAB>i7+i5 (the header's indexes, or <8> on both reads)
//   PREFIX.i7.sheet     name<TAB>i7 (<8> on read 1 alone)
//   PREFIX.fa           the i7 (>name, i7) for cutadapt -g ^file:PREFIX.fa
//   PREFIX.header.truth the samples by the header's i7+i5
//   PREFIX.both.truth   by <8> on both reads
//   PREFIX.i7.truth     by <8> on read 1 and PREFIX.i7.sheet
//
// A truth file has a line per sample (and "undetermined") with its pairs,
// then one per key of the sample with its pairs (those whose constants
// are within their allowance, so that count finds both layouts). A part is
// the sample's when it has at most one substitution, as count -x allows;
// with the sample barcode in the reads, a pair whose read holding it lacks
// its layout has none and is undetermined. The same arguments always give
// the same files.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "random_source.h"

namespace {

const std::string upstream1 = "GTCGACCTGCAGCGTACG";  // allows 1
const std::string downstream1 = "CGCTCGAGGG";        // allows 1
const std::string upstream2 = "AGCTTGCATGCCTGCA";    // allows 1
constexpr int samples = 96;
constexpr size_t index_length = 8;
constexpr size_t read1_length = 70, read2_length = 50;

int distance(const std::string& a, const std::string& b) {
    int d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += a[i] != b[i];
    return d;
}

void substitute_one(random_source& random, std::string& text, size_t at) {
    char other;
    do other = bases[random.below(4)];
    while (other == text[at]);
    text[at] = other;
}

// Substitutes each letter with probability rate; returns how many changed.
int substitute(random_source& random, std::string& text, double rate) {
    int changed = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (random.uniform() >= rate) continue;
        substitute_one(random, text, i);
        ++changed;
    }
    return changed;
}

std::string reverse_complement(const std::string& text) {
    std::string out(text.rbegin(), text.rend());
    for (char& c : out) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : 'A';
    return out;
}

// n indexes, each at least 4 substitutions from the others (with turned,
// also 4 from its own reverse complement and 3 from the others', as count
// -x tries the second index reverse-complemented too: then no index with at
// most two substitutions reaches another sample that way).
std::vector<std::string> spread_indexes(random_source& random, int n, bool turned) {
    std::vector<std::string> chosen;
    while (static_cast<int>(chosen.size()) < n) {
        std::string candidate = random_bases(random, index_length);
        bool far = !turned || distance(candidate, reverse_complement(candidate)) >= 4;
        for (const std::string& c : chosen) {
            far = far && distance(c, candidate) >= 4;
            if (turned) far = far && distance(reverse_complement(c), candidate) >= 3;
        }
        if (far) chosen.push_back(candidate);
    }
    return chosen;
}

// The sample whose index is within one substitution, or -1.
int owner(const std::vector<std::string>& indexes, const std::string& seen) {
    for (size_t k = 0; k < indexes.size(); ++k)
        if (distance(indexes[k], seen) <= 1) return static_cast<int>(k);
    return -1;
}

// An index at least 2 substitutions from every sample's (and, with turned,
// from their reverse complements).
std::string unknown_index(random_source& random, const std::vector<std::string>& indexes, bool turned) {
    for (;;) {
        std::string candidate = random_bases(random, index_length);
        bool far = true;
        for (const std::string& c : indexes) {
            far = far && distance(c, candidate) >= 2;
            if (turned) far = far && distance(reverse_complement(c), candidate) >= 2;
        }
        if (far) return candidate;
    }
}

struct tally {
    long pairs = 0;
    std::map<std::string, long> keys;
};

void write_truth(const std::string& path, const std::vector<std::string>& names, const std::vector<tally>& t) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    for (size_t k = 0; k < t.size(); ++k) {
        const std::string& name = k < names.size() ? names[k] : "undetermined";
        std::fprintf(out, "%s\t%ld\n", name.c_str(), t[k].pairs);
        for (const auto& [key, n] : t[k].keys) std::fprintf(out, "%s\t%s\t%ld\n", name.c_str(), key.c_str(), n);
    }
    std::fclose(out);
}

FILE* open_or_die(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    long pairs = 1000000;
    uint64_t seed = 1;
    double rate = 0.005;
    std::string prefix;
    for (int option; (option = getopt(argc, argv, "n:s:e:o:")) != -1;) {
        switch (option) {
            case 'n': pairs = std::atol(optarg); break;
            case 's': seed = std::strtoull(optarg, nullptr, 10); break;
            case 'e': rate = std::atof(optarg); break;
            case 'o': prefix = optarg; break;
            default:
                std::fprintf(stderr, "usage: gen_multiplex [-n PAIRS] [-s SEED] [-e RATE] -o PREFIX\n");
                return 1;
        }
    }
    if (prefix.empty()) {
        std::fprintf(stderr, "gen_multiplex: -o PREFIX is needed\n");
        return 1;
    }
    random_source random(seed);
    const std::vector<std::string> i7 = spread_indexes(random, samples, false), i5 = spread_indexes(random, samples, true);
    std::vector<std::string> names;
    for (int k = 0; k < samples; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "S%02d_%c%d", k + 1, 'A' + k / 12, k % 12 + 1);
        names.push_back(name);
    }
    std::vector<std::string> barcodes1, barcodes2;
    for (int i = 0; i < 1000; ++i) barcodes1.push_back(random_bases(random, 20));
    for (int i = 0; i < 10; ++i) barcodes2.push_back(random_bases(random, 12));

    FILE* sheet = open_or_die(prefix + ".sheet");
    FILE* sheet7 = open_or_die(prefix + ".i7.sheet");
    FILE* adapters = open_or_die(prefix + ".fa");
    for (int k = 0; k < samples; ++k) {
        std::fprintf(sheet, "%s\t%s+%s\n", names[k].c_str(), i7[k].c_str(), i5[k].c_str());
        std::fprintf(sheet7, "%s\t%s\n", names[k].c_str(), i7[k].c_str());
        std::fprintf(adapters, ">%s\n%s\n", names[k].c_str(), i7[k].c_str());
    }
    std::fclose(sheet);
    std::fclose(sheet7);
    std::fclose(adapters);

    FILE* r1 = open_or_die(prefix + "_R1.fastq");
    FILE* r2 = open_or_die(prefix + "_R2.fastq");
    std::vector<tally> header(samples + 1), both(samples + 1), i7_only(samples + 1);
    const std::string qual1(read1_length, 'I'), qual2(read2_length, 'I');
    for (long p = 0; p < pairs; ++p) {
        const int k = static_cast<int>(random.below(samples));
        std::string a = i7[k], b = i5[k];
        double kind = random.uniform();
        if (kind < 0.05) {
            a = unknown_index(random, i7, false);
            b = unknown_index(random, i5, true);
        } else if (kind < 0.08) {
            b = i5[(k + 1 + random.below(samples - 1)) % samples];
        } else if (kind < 0.16) {
            substitute_one(random, random.below(2) == 0 ? a : b, random.below(index_length));
        } else if (kind < 0.19) {
            std::string& part = random.below(2) == 0 ? a : b;
            size_t x = random.below(index_length), y = (x + 1 + random.below(index_length - 1)) % index_length;
            substitute_one(random, part, x);
            substitute_one(random, part, y);
        }
        std::string u1 = upstream1, d1 = downstream1, u2 = upstream2;
        std::string bc1 = barcodes1[random.below(barcodes1.size())], bc2 = barcodes2[random.below(barcodes2.size())];
        const bool found1 = substitute(random, u1, rate) <= 1 && substitute(random, d1, rate) <= 1;
        const bool found2 = substitute(random, u2, rate) <= 1;
        substitute(random, bc1, rate);
        substitute(random, bc2, rate);
        std::string seq1 = a + random_bases(random, random.below(9)) + u1 + bc1 + d1;
        seq1 += random_bases(random, read1_length - seq1.size());
        std::string seq2 = b + random_bases(random, random.below(5)) + u2 + bc2;
        seq2 += random_bases(random, read2_length - seq2.size());
        std::string name = "M1:7:FC01:1:" + std::to_string(1101 + p % 16) + ":" + std::to_string(p);
        std::fprintf(r1, "@%s 1:N:0:%s+%s\n%s\n+\n%s\n", name.c_str(), a.c_str(), b.c_str(), seq1.c_str(), qual1.c_str());
        std::fprintf(r2, "@%s 2:N:0:%s+%s\n%s\n+\n%s\n", name.c_str(), a.c_str(), b.c_str(), seq2.c_str(), qual2.c_str());

        const int sa = owner(i7, a), sb = owner(i5, b);
        const int by_both = sa >= 0 && sa == sb ? sa : samples;
        const int to_header = by_both;
        const int to_both = found1 && found2 ? by_both : samples;
        const int to_i7 = found1 && sa >= 0 ? sa : samples;
        for (auto [t, to] : {std::pair{&header, to_header}, std::pair{&both, to_both}, std::pair{&i7_only, to_i7}}) {
            ++(*t)[static_cast<size_t>(to)].pairs;
            if (found1 && found2 && to < samples) ++(*t)[static_cast<size_t>(to)].keys[bc1 + bc2];
        }
    }
    std::fclose(r1);
    std::fclose(r2);
    write_truth(prefix + ".header.truth", names, header);
    write_truth(prefix + ".both.truth", names, both);
    write_truth(prefix + ".i7.truth", names, i7_only);
    return 0;
}
