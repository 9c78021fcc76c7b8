// Times the steps of `map -w` separately, in CPU seconds of this process
// (best of three runs of each):
//   whole_phases CLUSTER_FILE BARCODE_FILE
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

#include "line_reader.h"
#include "map_match.h"
#include "map_tables.h"
#include "map_whole.h"

namespace {

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double best_of_three(const std::function<void()>& work) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        double start = cpu_seconds();
        work();
        best = std::min(best, cpu_seconds() - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: whole_phases CLUSTER_FILE BARCODE_FILE\n");
        return 2;
    }
    barcode_table barcodes;
    cluster_table clusters;
    double barcode_load = best_of_three([&] {
        barcodes = barcode_table();
        auto input = line_reader::open(argv[2], {"read error\n", 1});
        build_barcode_sequences(read_barcode_lines(*input), barcodes);
    });
    double cluster_load = best_of_three([&] {
        clusters = cluster_table();
        auto input = line_reader::open(argv[1], {"read error\n", 1});
        build_clusters(*input, clusters);
    });
    double index_build = best_of_three([&] { whole_index index(barcodes.barcode_sequences); });
    match_state state(clusters.size());
    double matching = best_of_three([&] {
        state = match_state(clusters.size());
        match_whole_barcodes(barcodes, clusters, state);
    });
    std::printf("barcodes %zu, clusters %zu\n", barcodes.barcode_sequences.size(), clusters.size());
    std::printf("load barcodes: %.3f s\nload clusters: %.3f s\n", barcode_load, cluster_load);
    std::printf("whole index: %.3f s\nwhole matching (index included): %.3f s\n", index_build, matching);
    return 0;
}
