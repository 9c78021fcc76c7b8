// The map sub-command: finds the best barcode or barcodes for every cluster
// and writes the map file.
#include "map/map.h"
#include "map/map_internal.h"

#include <algorithm>
#include <cstdio>
#include <getopt.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "dna/letters.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "map/match.h"
#include "map/tables.h"
#include "map/whole.h"
#include "io/output.h"
#include "io/text.h"

namespace {

void print_usage_message(const char* argv0) {
    std::fprintf(stderr,
                 "Usage: %s [-c min_count_cutoff] [-n align_top_n] [-o output_file] [-s] [-w] [-r strand_file] [cluster_file] barcode_file\n",
                 argv0);
}

void print_help_message(const char* argv0) {
    out_stream& out = standard_output();
    out.printf("Usage: %s [-c min_count_cutoff] [-n align_top_n] [-o output_file] [-s] [-w] [-r strand_file] [cluster_file] barcode_file\n",
               argv0);
    out.put("Generates a list of best-matching barcodes for each cluster sequence\n");
    out.put("cluster_file specifies clusters to match to barcodes, if unspecified, will read stdin\n");
    out.put("barcode_file specifies barcodes available for matching\n\n");
    out.put("  -c CUTOFF\t clusters require a count of CUTOFF or more to be aligned\n");
    out.put("  -n N\t\t clusters try only to align to the top N candidate barcodes\n");
    out.put("  -o FILE\t additionally outputs results to FILE\n");
    out.put("  -s \t\t skips aligning clusters\n");
    out.put("  -r FILE\t writes to FILE how many reads of the 1000 largest clusters match, and how many of the others would if reverse-complemented\n");
    out.put("  -w \t\t first matches each core against the barcodes of its length, whole, with up to 2 substitutions\n");
}

struct map_run {
    alignment_settings align;
    bool skip_alignment = false;
    bool whole_barcodes = false;
    std::unique_ptr<out_stream> f_out;
    std::unique_ptr<out_stream> f_strand;
    const char* cluster_path = nullptr;  // null: standard input
    const char* barcode_path = nullptr;
};

void parse_options(int argc, char** argv, map_run& run) {
    optind = 0;
    int option;
    while ((option = getopt(argc, argv, "c:n:o:r:sw")) != -1) {
        switch (option) {
            case 'c': run.align.align_count_minimum = parse_atoi32(optarg); break;
            case 'n': run.align.align_top_n = parse_atoi32(optarg); break;
            case 'o':
                run.f_out = open_output_file(optarg);
                if (run.f_out == nullptr) fail(1, "Could not open %s for writing", optarg);
                break;
            case 'r':
                run.f_strand = open_output_file(optarg);
                if (run.f_strand == nullptr) fail(1, "Could not open %s for writing", optarg);
                break;
            case 's': run.skip_alignment = true; break;
            case 'w': run.whole_barcodes = true; break;
            default: fail(1, "%s: Unknown parameter (-%c)\n", argv[0], optopt);
        }
    }
    int operands = argc - optind;
    if (operands < 1 || operands > 2) {
        print_usage_message(argv[0]);
        fail_quietly(1);
    }
    if (operands == 2) run.cluster_path = argv[optind++];
    run.barcode_path = argv[optind];
}

void put_ids_and_sequences(out_stream& out, const barcode_table& barcodes, const std::vector<int32_t>& positions) {
    for (size_t k = 0; k < positions.size(); ++k) {
        if (k > 0) out.put(';');
        out.put(barcodes.barcode_details[static_cast<size_t>(positions[k])]);
    }
    out.put('\t');
    for (size_t k = 0; k < positions.size(); ++k) {
        if (k > 0) out.put(';');
        out.put(barcodes.barcode_sequences[static_cast<size_t>(positions[k])]);
    }
}

void write_map_file(out_stream& out, const barcode_table& barcodes, const cluster_table& clusters,
                    const match_state& state) {
    int64_t kinds[6] = {};
    for (uint8_t type : state.match_type) ++kinds[type];
    out.put("#contains: ");
    out.put_int(kinds[MATCH_CONTAIN] + kinds[MATCH_MM1] + kinds[MATCH_MM2]);
    out.put("\n#\tmm0s: ");
    out.put_int(kinds[MATCH_CONTAIN]);
    out.put("\n#\tmm1s: ");
    out.put_int(kinds[MATCH_MM1]);
    out.put("\n#\tmm2s: ");
    out.put_int(kinds[MATCH_MM2]);
    out.put("\n#aligns: ");
    out.put_int(kinds[MATCH_ALIGN] + kinds[MATCH_ALIGNMULTIPLE]);
    out.put("\n#misses: ");
    out.put_int(kinds[MATCH_NONE]);
    out.put("\n#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n");
    for (size_t i = 0; i < clusters.size(); ++i) {
        out.put(clusters.cluster_sequences[i]);
        for (int64_t number : {clusters.cluster_totals[i], clusters.cluster_mm1n[i]}) {
            out.put('\t');
            out.put_int(number);
        }
        out.put(':');
        out.put_int(clusters.cluster_mm2n[i]);
        for (int64_t number : {clusters.cluster_total_mm0[i], clusters.cluster_mm1n[i], clusters.cluster_total_mm1[i],
                               clusters.cluster_mm2n[i], clusters.cluster_total_mm2[i]}) {
            out.put('\t');
            out.put_int(number);
        }
        out.put('\t');
        uint8_t type = state.match_type[i];
        if (type == MATCH_NONE) {
            out.put("none\n");
            continue;
        }
        if (type == MATCH_ALIGN || type == MATCH_ALIGNMULTIPLE) {
            out.put(type == MATCH_ALIGN ? "align\t" : "align\tMULTIPLE:");
            put_ids_and_sequences(out, barcodes, state.match_all[i]);
            out.put('\t');
            out.put(state.match_alignment[i]);
            out.put('\n');
            continue;
        }
        out.put(type == MATCH_CONTAIN ? "mm0\t" : type == MATCH_MM1 ? "mm1\t" : "mm2\t");
        auto position = static_cast<size_t>(state.match[i]);
        out.put(barcodes.barcode_details[position]);
        out.put('\t');
        out.put(barcodes.barcode_sequences[position]);
        out.put('\n');
    }
}

bool matched_directly(uint8_t type) { return type == MATCH_CONTAIN || type == MATCH_MM1 || type == MATCH_MM2; }

// The strand check: of the largest clusters, the totals matched whole or by
// words, and those of the others whose reverse complements would be, found
// by the same phases (without their messages, which the run wrote already).
void write_strand_check(out_stream& out, const barcode_table& barcodes, word_index& words, bool words_built,
                        bool whole_barcodes, const cluster_table& clusters, const match_state& state) {
    constexpr size_t largest = 1000;
    size_t checked = std::min(largest, clusters.size());
    int64_t total = 0, direct = 0, reverse = 0;
    cluster_table reversed;
    for (size_t i = 0; i < checked; ++i) {
        total += clusters.cluster_totals[i];
        if (matched_directly(state.match_type[i])) {
            direct += clusters.cluster_totals[i];
            continue;
        }
        const std::string& core = clusters.cluster_sequences[i];
        std::string turned = dna::reverse_complement(core);
        bool added = false;
        reversed.cluster_sequences.insert(turned, added);
        // A core that is its own reverse complement's twin counts once.
        if (!added) continue;
        reversed.cluster_totals.push_back(clusters.cluster_totals[i]);
        for (auto* numbers : {&reversed.cluster_mm1n, &reversed.cluster_mm2n, &reversed.cluster_total_mm0,
                              &reversed.cluster_total_mm1, &reversed.cluster_total_mm2})
            numbers->push_back(0);
    }
    {
        quiet_warnings quiet;
        match_state turned(reversed.size());
        if (whole_barcodes) map_match_whole_barcodes(barcodes, reversed, turned);
        if (!words_built && map_word_phase_needed(barcodes, reversed, turned)) words.build(barcodes.barcode_sequences);
        map_match_by_mismatches(barcodes, words, reversed, turned);
        for (size_t i = 0; i < reversed.size(); ++i)
            if (matched_directly(turned.match_type[i])) reverse += reversed.cluster_totals[i];
    }
    out.put("#clusters: ");
    out.put_int(static_cast<int64_t>(checked));
    out.put("\n#total: ");
    out.put_int(total);
    out.put("\n#matched: ");
    out.put_int(direct);
    out.put("\n#matched reverse-complemented: ");
    out.put_int(reverse);
    out.put("\n");
    out.flush();
}

int run_map(int argc, char** argv, const map_search_maker& search) {
    if (argc < 2) {
        print_usage_message(argv[0]);
        fail_quietly(1);
    }
    if (asks_for_help(argv[1])) {
        print_help_message(argv[0]);
        return 0;
    }
    map_run run;
    run.align.search = search;
    parse_options(argc, argv, run);

    // The cluster input is checked first; both are read whole before any
    // work starts, so the barcode file may be a pipe.
    std::unique_ptr<line_reader> cluster_input = line_reader::open(run.cluster_path, {"No cluster input file\n", 1});
    if (cluster_input == nullptr) fail(1, "No cluster input file\n");
    std::string barcode_failure = std::string("Could not open barcode file ") + run.barcode_path + "\n";
    std::unique_ptr<line_reader> barcode_input = line_reader::open(run.barcode_path, {barcode_failure, 1});
    if (barcode_input == nullptr) fail(1, "%s", barcode_failure.c_str());
    std::vector<barcode_line> barcode_lines = map_read_barcode_lines(*barcode_input);
    barcode_input.reset();

    warn("Building data from files...\n");
    barcode_table barcodes;
    map_build_barcode_sequences(barcode_lines, barcodes);
    barcode_lines = {};
    word_index words;
    bool words_built = !run.whole_barcodes;
    if (words_built) words.build(barcodes.barcode_sequences);
    cluster_table clusters;
    map_build_clusters(*cluster_input, clusters);
    cluster_input.reset();

    match_state state(clusters.size());
    if (run.whole_barcodes) {
        map_match_whole_barcodes(barcodes, clusters, state);
        // The word index is large; it is built only when a core is left
        // that it could find.
        if (map_word_phase_needed(barcodes, clusters, state)) {
            words.build(barcodes.barcode_sequences);
            words_built = true;
        }
    }
    map_match_by_mismatches(barcodes, words, clusters, state);
    if (run.skip_alignment) warn("Skipping alignments\n");
    else map_align_against_barcode_sequences(barcodes, clusters, run.align, state);

    write_table(run.f_out.get(), [&](out_stream& out) { write_map_file(out, barcodes, clusters, state); });
    if (run.f_strand != nullptr)
        write_strand_check(*run.f_strand, barcodes, words, words_built, run.whole_barcodes, clusters, state);
    return 0;
}

}  // namespace

int map_main(int argc, char** argv) { return run_map(argc, argv, {}); }

int map_run_with_search(int argc, char** argv, const map_search_maker& search) { return run_map(argc, argv, search); }
