// Times the steps of `map -w` separately, in CPU seconds of this process
// (best of three runs of each), and checks the matches of the first CHECK
// clusters (default 2000) against comparing each with every barcode:
//   whole_phases CLUSTER_FILE BARCODE_FILE [CHECK]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

#include "io/line_reader.h"
#include "map/match.h"
#include "map/tables.h"
#include "map/whole.h"

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
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: whole_phases CLUSTER_FILE BARCODE_FILE [CHECK]\n");
        return 2;
    }
    barcode_table barcodes;
    cluster_table clusters;
    double barcode_load = best_of_three([&] {
        barcodes = barcode_table();
        auto input = line_reader::open(argv[2], {"read error\n", 1});
        map_build_barcode_sequences(map_read_barcode_lines(*input), barcodes);
    });
    double cluster_load = best_of_three([&] {
        clusters = cluster_table();
        auto input = line_reader::open(argv[1], {"read error\n", 1});
        map_build_clusters(*input, clusters);
    });
    double index_build = best_of_three([&] { whole_index index(barcodes.barcode_sequences); });
    match_state state(clusters.size());
    double matching = best_of_three([&] {
        state = match_state(clusters.size());
        map_match_whole_barcodes(barcodes, clusters, state);
    });
    size_t check = std::min<size_t>(clusters.size(), argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 2000);
    const std::vector<std::string>& sequences = barcodes.barcode_sequences.texts();
    size_t differ = 0;
    double check_start = cpu_seconds();
    for (size_t i = 0; i < check; ++i) {
        const std::string& core = clusters.cluster_sequences[i];
        int fewest = 3, count = 0;
        int32_t best = -1;
        for (size_t p = 0; p < sequences.size(); ++p) {
            if (sequences[p].size() != core.size()) continue;
            int substitutions = 0;
            for (size_t j = 0; j < core.size() && substitutions <= 2; ++j)
                substitutions += core[j] != sequences[p][j] || std::string_view("ACGT").find(core[j]) == std::string_view::npos;
            if (substitutions < fewest) fewest = substitutions, best = static_cast<int32_t>(p), count = 1;
            else if (substitutions == fewest) ++count;
        }
        int32_t want = fewest <= 2 && count == 1 ? best : -1;
        bool same = state.match[i] == want;
        if (same && want >= 0) {
            static constexpr uint8_t kinds[] = {MATCH_CONTAIN, MATCH_MM1, MATCH_MM2};
            same = state.match_type[i] == kinds[fewest];
        }
        differ += !same;
    }
    double per_cluster = check > 0 ? (cpu_seconds() - check_start) / static_cast<double>(check) : 0;
    std::printf("barcodes %zu, clusters %zu\n", barcodes.barcode_sequences.size(), clusters.size());
    std::printf("load barcodes: %.3f s\nload clusters: %.3f s\n", barcode_load, cluster_load);
    std::printf("whole index: %.3f s\nwhole matching (index included): %.3f s\n", index_build, matching);
    std::printf("first %zu clusters against every barcode: %zu differ (%.0f s for all clusters that way)\n", check,
                differ, per_cluster * static_cast<double>(clusters.size()));
    return 0;
}
