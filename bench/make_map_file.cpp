// Writes a barcode file and a large map file for timing tabulate:
//
//   make_map_file DIR [LINES]   (default 3,000,000 lines)
//   \time -f "%U s %M KB" build/morvane tabulate DIR/mapped.txt DIR/barcodes.tsv > /dev/null
//
// 5,000 barcodes of 20 letters; the map lines cycle through mm0, mm1, mm2,
// align and none. Every align line names the first barcode, so its
// alignment list grows to one item per align line: appending must stay
// linear in the list's length.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::FILE* open_or_die(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "Could not open %s for writing\n", path.c_str());
        std::exit(1);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [LINES]\n", argv[0]);
        return 1;
    }
    std::string dir = argv[1];
    long lines = argc > 2 ? std::atol(argv[2]) : 3'000'000;
    std::mt19937_64 rng(20261208);
    const char* bases = "ACGT";

    std::vector<std::string> barcodes(5000);
    std::FILE* b = open_or_die(dir + "/barcodes.tsv");
    for (size_t i = 0; i < barcodes.size(); ++i) {
        for (int j = 0; j < 20; ++j) barcodes[i] += bases[rng() % 4];
        std::fprintf(b, "bc%05zu\t%s\n", i, barcodes[i].c_str());
    }
    std::fclose(b);

    std::FILE* m = open_or_die(dir + "/mapped.txt");
    std::fprintf(m, "#contains: 0\n");
    const char* kinds[] = {"mm0", "mm1", "mm2", "align", "none"};
    for (long i = 0; i < lines; ++i) {
        const std::string& barcode = barcodes[rng() % barcodes.size()];
        std::string core = barcode.substr(0, 18);
        const char* kind = kinds[i % 5];
        std::fprintf(m, "%s\t%d\t0:0\t5\t0\t0\t0\t0\t%s", core.c_str(), static_cast<int>(rng() % 1000) + 1, kind);
        if (kind[0] == 'n')
            std::fprintf(m, "\n");
        else if (kind[0] == 'a')
            std::fprintf(m, "\tbc00000\t%s\t85:%s:1:0:2\n", barcodes[0].c_str(), core.c_str());
        else
            std::fprintf(m, "\tbcx\t%s\n", barcode.c_str());
    }
    std::fclose(m);
    return 0;
}
