// Writes a barcode file and a cluster file for timing the map sub-command.
//
//   gen_map_data BARCODES_OUT CLUSTERS_OUT [-b barcodes] [-l length]
//                [-c clusters] [-u unmatched] [-r library.tsv] [-s seed]
//
// Barcodes are random (or taken from the second column of a library file).
// Most clusters are 18-letter words of barcodes with up to two letters
// changed, found by word look-ups; `unmatched` of them need alignment:
// barcodes with insertions and deletions, with three or more changes, and
// random junk. No core is longer than the shortest barcode, so the word
// phase runs over every cluster.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char letters[] = "ACGT";

std::string random_sequence(std::mt19937_64& random, size_t length) {
    std::string s(length, 'A');
    for (char& c : s) c = letters[random() % 4];
    return s;
}

char other_letter(std::mt19937_64& random, char c) {
    char d;
    do d = letters[random() % 4];
    while (d == c);
    return d;
}

std::string near_miss(std::mt19937_64& random, const std::string& barcode, size_t longest) {
    std::string core = barcode;
    switch (random() % 3) {
        case 0:  // indels
            for (int e = 0; e < 1 + static_cast<int>(random() % 2); ++e) {
                size_t at = random() % core.size();
                if (random() % 2) core.erase(at, 1);
                else core.insert(at, 1, letters[random() % 4]);
            }
            break;
        case 1:  // an indel and a change
            core.erase(random() % core.size(), 1);
            {
                size_t at = random() % core.size();
                core[at] = other_letter(random, core[at]);
            }
            break;
        default:  // three or four changes in an 18-letter word
            core = core.substr(random() % (core.size() - 17), 18);
            for (int e = 0; e < 3 + static_cast<int>(random() % 2); ++e) {
                size_t at = random() % core.size();
                core[at] = other_letter(random, core[at]);
            }
            break;
    }
    if (core.size() > longest) core.resize(longest);
    return core;
}

}  // namespace

int main(int argc, char** argv) {
    size_t barcode_count = 100000, length = 20, cluster_count = 200000, unmatched = 2000;
    const char* library = nullptr;
    unsigned long long seed = 1;
    int option;
    while ((option = getopt(argc, argv, "b:l:c:u:r:s:")) != -1) {
        switch (option) {
            case 'b': barcode_count = std::strtoull(optarg, nullptr, 10); break;
            case 'l': length = std::strtoull(optarg, nullptr, 10); break;
            case 'c': cluster_count = std::strtoull(optarg, nullptr, 10); break;
            case 'u': unmatched = std::strtoull(optarg, nullptr, 10); break;
            case 'r': library = optarg; break;
            case 's': seed = std::strtoull(optarg, nullptr, 10); break;
            default: return 2;
        }
    }
    if (argc - optind != 2 || length < 18) {
        std::fprintf(stderr, "usage: gen_map_data BARCODES_OUT CLUSTERS_OUT [-b n] [-l length] [-c n] [-u n] [-r library] [-s seed]\n");
        return 2;
    }
    std::mt19937_64 random(seed);
    std::vector<std::string> ids, sequences;
    if (library != nullptr) {
        std::ifstream in(library);
        std::string line;
        while (std::getline(in, line)) {
            size_t tab = line.find('\t');
            if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
            ids.push_back(line.substr(0, tab));
            sequences.push_back(line.substr(tab + 1));
        }
    } else {
        for (size_t i = 0; i < barcode_count; ++i) {
            ids.push_back("bc" + std::to_string(i));
            sequences.push_back(random_sequence(random, length));
        }
    }
    size_t shortest = sequences.front().size();
    for (const std::string& s : sequences) shortest = std::min(shortest, s.size());

    std::ofstream barcode_out(argv[optind]);
    barcode_out << "# generated barcodes\n";
    for (size_t i = 0; i < sequences.size(); ++i) barcode_out << ids[i] << '\t' << sequences[i] << '\n';

    std::ofstream cluster_out(argv[optind + 1]);
    cluster_out << "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n";
    for (size_t i = 0; i < cluster_count; ++i) {
        const std::string& barcode = sequences[random() % sequences.size()];
        std::string core;
        // Spread the clusters that need alignment evenly over the file.
        bool needs_alignment = unmatched > 0 && i % (cluster_count / unmatched) == 0 && i / (cluster_count / unmatched) < unmatched;
        if (needs_alignment) {
            core = random() % 5 == 0 ? random_sequence(random, 15 + random() % 6) : near_miss(random, barcode, shortest);
        } else {
            core = barcode.substr(random() % (barcode.size() - 17), 18);
            for (int e = static_cast<int>(random() % 3); e > 0; --e) {
                size_t at = random() % core.size();
                core[at] = other_letter(random, core[at]);
            }
            if (i % 97 == 0) core[random() % 18] = 'N';
        }
        long long own = 1 + static_cast<long long>((cluster_count - i) % 1000), member = static_cast<long long>(random() % 50);
        std::string neighbour = core;
        neighbour[0] = other_letter(random, neighbour[0]);
        cluster_out << core << "\t1:0\t" << own + member << '\t' << own << '\t' << member << "\t0\t" << core << ':' << own
                    << ":1," << neighbour << ':' << member << ":0\n";
    }
    return 0;
}
