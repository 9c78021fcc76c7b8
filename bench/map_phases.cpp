// Times the phases of the map sub-command separately, in CPU seconds of this
// process (best of three runs of each phase):
//   map_phases CLUSTER_FILE BARCODE_FILE
// Warnings and progress lines go to standard error as usual.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

#include "io/line_reader.h"
#include "map/match.h"
#include "map/tables.h"

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
        std::fprintf(stderr, "usage: map_phases CLUSTER_FILE BARCODE_FILE\n");
        return 2;
    }
    barcode_table barcodes;
    word_index words;
    cluster_table clusters;
    double load = best_of_three([&] {
        barcodes = barcode_table();
        words = word_index();
        clusters = cluster_table();
        auto barcode_input = line_reader::open(argv[2], {"read error\n", 1});
        auto cluster_input = line_reader::open(argv[1], {"read error\n", 1});
        map_build_barcode_sequences(map_read_barcode_lines(*barcode_input), barcodes);
        words.build(barcodes.barcode_sequences);
        map_build_clusters(*cluster_input, clusters);
    });
    match_state matched(clusters.size());
    double word_phase = best_of_three([&] {
        matched = match_state(clusters.size());
        map_match_by_mismatches(barcodes, words, clusters, matched);
    });
    double barcode_letters = 0;
    for (const std::string& s : barcodes.barcode_sequences.texts()) barcode_letters += static_cast<double>(s.size());
    double core_letters = 0, eligible = 0;
    for (size_t i = 0; i < clusters.size(); ++i) {
        if (matched.match[i] >= 0) continue;
        core_letters += static_cast<double>(clusters.cluster_sequences[i].size());
        eligible += 1;
    }
    auto align_time = [&](int top_n, bool wide = true) {
        alignment_settings settings;
        settings.align_top_n = top_n;
        settings.wide_vectors = wide;
        return best_of_three([&] {
            match_state state = matched;
            map_align_against_barcode_sequences(barcodes, clusters, settings, state);
        });
    };
    double all = align_time(0), top5 = align_time(5), narrow = align_time(0, false);
    double cells = barcode_letters * core_letters;
    std::printf("barcodes %zu, clusters %zu, to align %.0f\n", barcodes.barcode_sequences.size(), clusters.size(), eligible);
    std::printf("load barcodes, words and clusters: %.3f s\n", load);
    std::printf("word matching: %.3f s\n", word_phase);
    std::printf("alignment, all barcodes: %.3f s, %.3g cells, %.1f billion cells/s\n", all, cells, cells / all / 1e9);
    std::printf("alignment, all barcodes, 128-bit vectors only: %.3f s, %.1f billion cells/s\n", narrow,
                cells / narrow / 1e9);
    std::printf("alignment, -n 5: %.3f s\n", top5);
    return 0;
}
