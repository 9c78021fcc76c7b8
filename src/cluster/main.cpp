// The cluster sub-command: folds sequencing errors into the core sequences
// they came from.
#include "cluster/cluster.h"

#include <getopt.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "cluster/cluster_internal.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "io/output.h"
#include "io/text.h"

namespace {

const char* const usage_line =
    "usage: %s [-s stats_file] [-a align_file] [-f] [-c cutoff] [-n k] [-m min] [-o output_file] [input_file]\n";

void print_usage_message(const char* argv0) { warn(usage_line, argv0); }

void print_help_message(const char* argv0) {
    out_stream& out = standard_output();
    out.printf(usage_line, argv0);
    out.put("input_file gives a list of sequences with respective counts to be clustered; if no input_file specified, reads from stdin\n\n");
    out.put("  -s FILE\t calculates additional statistics and outputs them to FILE\n");
    out.put("  -a FILE\t stores alignment results in FILE\n");
    out.put("  -f\t\t forces entries to be clustered to, at most, one core\n");
    out.put("  -c N\t\t only performs alignments if align score is at least N\n");
    out.put("  -n N\t\t aligns the top N candidates during the aligning phase; defaults to 5, 0 skips aligning\n");
    out.put("  -m N\t\t sequences in no cluster are written only with more than N counts; defaults to 1\n");
    out.put("  -o FILE\t additionally outputs results to FILE\n");
}

struct cluster_files {
    std::unique_ptr<out_stream> f_out;
    std::unique_ptr<out_stream> f_stats;
    std::unique_ptr<out_stream> f_align;
};

void parse_options(int argc, char** argv, cluster_settings& settings, cluster_files& files) {
    const char* argv0 = argv[0];
    optind = 0;
    int option;
    while ((option = getopt(argc, argv, "s:fc:n:a:m:o:")) != -1) {
        switch (option) {
            case 's':
                files.f_stats = open_output_file(optarg);
                if (!files.f_stats) fail(1, "%s: Could not open statistics file %s for writing\n", argv0, optarg);
                break;
            case 'a':
                files.f_align = open_output_file(optarg);
                if (!files.f_align) fail(1, "%s: Could not open align file %s for writing\n", argv0, optarg);
                break;
            case 'f':
                settings.single_flag = true;
                break;
            case 'c':
                settings.align_score_cutoff = parse_atoi32(optarg);
                if (settings.align_score_cutoff < 1) fail(1, "%s: Only positive align score cutoffs allowed\n", argv0);
                break;
            case 'n':
                settings.align_top_n = parse_atoi32(optarg);
                if (settings.align_top_n < 0) fail(1, "%s: Only positive n allowed for aligning top n candidates\n", argv0);
                break;
            case 'm':
                settings.min_unclustered_count = parse_atoi32(optarg);
                if (settings.min_unclustered_count < 0) fail(1, "%s: Only positive count mins allowed\n", argv0);
                break;
            case 'o':
                files.f_out = open_output_file(optarg);
                if (!files.f_out) fail(1, "Could not open %s for writing\n", optarg);
                break;
            default:
                fail(1, "%s: Unrecognized command line option (%c)\n", argv0, option);
        }
    }
}

// The sequences in no cluster that -m keeps out of the cluster file: on
// shallow runs most of the reads, so the run says how many.
void warn_left_out(const cluster_state& st, int64_t min_unclustered_count) {
    left_out_sequences left = cluster_left_out(st, min_unclustered_count);
    if (left.sequences == 0) return;
    warn("Warning: sequences in no cluster left out by -m %lld (counts of %lld or less): %lld, with %lld reads (%.1f%% of "
         "the table's reads); -m 0 writes them\n",
         static_cast<long long>(min_unclustered_count), static_cast<long long>(min_unclustered_count),
         static_cast<long long>(left.sequences), static_cast<long long>(left.reads),
         left.table_reads > 0 ? 100.0 * static_cast<double>(left.reads) / static_cast<double>(left.table_reads) : 0.0);
}

}  // namespace

int cluster_main(int argc, char** argv) {
    const char* argv0 = argv[0];
    if (argc >= 2 && asks_for_help(argv[1])) {
        print_help_message(argv0);
        return 0;
    }
    cluster_settings settings;
    cluster_files files;
    parse_options(argc, argv, settings, files);

    std::unique_ptr<line_reader> in;
    if (optind == argc) {
        in = line_reader::open(nullptr, read_failure{std::string(argv0) + ": Could not access file stdin\n", 1});
        if (!in) fail(1, "%s: Could not access file %s\n", argv0, "stdin");
    } else if (optind + 1 == argc) {
        const char* path = argv[optind];
        in = line_reader::open(path, read_failure{std::string(argv0) + ": Could not access file " + path + "\n", 1});
        if (!in) fail(1, "%s: Could not access file %s\n", argv0, path);
    } else {
        print_usage_message(argv0);
        fail_quietly(1);
    }

    cluster_state st;
    warn("Building data from file...\n");
    cluster_read_table(st, *in);
    in.reset();
    warn("Finding mismatch counts...\n");
    cluster_find_neighbours(st);
    warn("Forming initial clusters...%s", settings.single_flag ? " (forced single clustering)\n" : "\n");
    cluster_form_initial(st, settings.single_flag);
    warn("Forming secondary clusters...\n");
    cluster_form_secondary(st);

    write_table(files.f_out.get(), [&](out_stream& out) { cluster_write_clusters(st, settings.min_unclustered_count, out); });
    warn_left_out(st, settings.min_unclustered_count);

    if (!files.f_stats) return 0;
    if (files.f_align && settings.align_top_n != 0) {
        cluster_align_remaining(st, settings, *files.f_align);
        files.f_align->flush();
    }
    cluster_statistics(st, *files.f_stats);
    files.f_stats->flush();
    return 0;
}
