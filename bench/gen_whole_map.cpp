// Writes a barcode file and a cluster file for timing `map -w`.
//
//   gen_whole_map BARCODES_OUT CLUSTERS_OUT [-b barcodes] [-l length]
//                 [-c clusters] [-j junk per mille] [-s seed]
//
// Barcodes are random and distinct. Each cluster core is a barcode as it
// stands (60%), with one substitution (25%) or with two (15%), an N being
// one substitution in twenty; junk clusters (-j per mille, 2% by default)
// are random cores of the same length, or barcodes with an insertion or a
// deletion. Each core is written once, with a member, as cluster writes it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "random_source.h"

namespace {

char other_letter(random_source& random, char c) {
    char d;
    do d = bases[random.below(4)];
    while (d == c);
    return d;
}

std::string substituted(random_source& random, std::string core, int changes) {
    size_t first = core.size();
    for (int e = 0; e < changes; ++e) {
        size_t at;
        do at = random.below(core.size());
        while (at == first);
        first = at;
        core[at] = random.below(20) == 0 ? 'N' : other_letter(random, core[at]);
    }
    return core;
}

}  // namespace

int main(int argc, char** argv) {
    size_t barcode_count = 100000, length = 60, cluster_count = 1000000, junk = 20;
    uint64_t seed = 1;
    int option;
    while ((option = getopt(argc, argv, "b:l:c:j:s:")) != -1) {
        switch (option) {
            case 'b': barcode_count = std::strtoull(optarg, nullptr, 10); break;
            case 'l': length = std::strtoull(optarg, nullptr, 10); break;
            case 'c': cluster_count = std::strtoull(optarg, nullptr, 10); break;
            case 'j': junk = std::strtoull(optarg, nullptr, 10); break;
            case 's': seed = std::strtoull(optarg, nullptr, 10); break;
            default: return 2;
        }
    }
    if (argc - optind != 2 || length < 2 || barcode_count == 0) {
        std::fprintf(stderr, "usage: gen_whole_map BARCODES_OUT CLUSTERS_OUT [-b n] [-l length] [-c n] [-j per mille] [-s seed]\n");
        return 2;
    }
    random_source random(seed);
    std::vector<std::string> sequences;
    std::unordered_set<std::string> seen;
    while (sequences.size() < barcode_count) {
        std::string s = random_bases(random, length);
        if (seen.insert(s).second) sequences.push_back(s);
    }
    std::ofstream barcode_out(argv[optind]);
    barcode_out << "# generated barcodes\n";
    for (size_t i = 0; i < sequences.size(); ++i) barcode_out << "bc" << i << '\t' << sequences[i] << '\n';

    std::ofstream cluster_out(argv[optind + 1]);
    cluster_out << "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n";
    std::unordered_set<std::string> cores;
    for (size_t i = 0; i < cluster_count;) {
        const std::string& barcode = sequences[random.below(sequences.size())];
        std::string core;
        if (random.below(1000) < junk) {
            if (random.below(2) == 0) {
                core = random_bases(random, length);
            } else {
                core = barcode;
                size_t at = random.below(core.size());
                if (random.below(2) == 0) core.erase(at, 1);
                else core.insert(at, 1, bases[random.below(4)]);
            }
        } else {
            uint64_t kind = random.below(100);
            core = substituted(random, barcode, kind < 60 ? 0 : kind < 85 ? 1 : 2);
        }
        if (!cores.insert(core).second) continue;
        long long own = 1 + static_cast<long long>((cluster_count - i) % 1000);
        long long member = static_cast<long long>(random.below(50));
        std::string neighbour = core;
        neighbour[0] = other_letter(random, neighbour[0]);
        cluster_out << core << "\t1:0\t" << own + member << '\t' << own << '\t' << member << "\t0\t" << core << ':'
                    << own << ":1," << neighbour << ':' << member << ":0\n";
        ++i;
    }
    return 0;
}
