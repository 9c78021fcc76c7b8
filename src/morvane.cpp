// The process entry: picks the sub-command by the first argument.
#include <cstdio>
#include <cstring>

#include "cluster/cluster.h"
#include "count/count.h"
#include "discover/discover.h"
#include "io/error.h"
#include "map/map.h"
#include "io/output.h"
#include "tabulate/tabulate.h"

namespace {

void print_usage_message(const char* argv0) { std::fprintf(stderr, "usage: %s count|cluster|map|tabulate [OPTIONS]...\n", argv0); }

// morvane --help: what each sub-command does and where to read more.
void print_help_message(const char* argv0) {
    std::printf("usage: %s count|cluster|map|tabulate [OPTIONS]...\n", argv0);
    std::printf(
        "Counts DNA barcodes in sequencing reads, in four steps over tab-separated files:\n\n"
        "  count\t\t reads (FASTQ or qseq, plain or gzipped) -> the count table of distinct reads\n"
        "  cluster\t count table -> clusters of sequencing errors around core sequences\n"
        "  map\t\t clusters and a barcode file -> each cluster's best barcode(s)\n"
        "  tabulate\t map file and the barcode file -> reads per barcode\n"
        "  discover\t pooled clusters of a run without a barcode list -> its barcode file\n\n"
        "  morvane SUB-COMMAND --help\t the options of a sub-command (also: ?)\n"
        "  morvane --version\t\t the version\n\n"
        "Read more in README.md of the morvane sources: a section for each sub-command.\n");
}

bool asks_for_top_help(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "help") == 0;
}

using entry_point = int (*)(int, char**);

entry_point find_sub_command(const char* name) {
    if (std::strcmp(name, "count") == 0) return count_main;
    if (std::strcmp(name, "cluster") == 0) return cluster_main;
    if (std::strcmp(name, "map") == 0) return map_main;
    if (std::strcmp(name, "tabulate") == 0) return tabulate_main;
    if (std::strcmp(name, "discover") == 0) return discover_main;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("morvane %s\n", MORVANE_VERSION);
        return 0;
    }
    if (argc >= 2 && asks_for_top_help(argv[1])) {
        print_help_message(argv[0] != nullptr ? argv[0] : "morvane");
        return 0;
    }
    entry_point sub_command = argc < 2 ? nullptr : find_sub_command(argv[1]);
    if (sub_command == nullptr) {
        print_usage_message(argv[0] != nullptr ? argv[0] : "morvane");
        return 1;
    }
    int status = run_guarded(sub_command, argc - 1, argv + 1);
    // Whatever a sub-command left in the standard output buffer goes out now.
    try {
        standard_output().flush();
    } catch (const exit_request& request) {
        return request.status;
    }
    return status;
}
