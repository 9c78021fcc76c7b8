// The process entry: picks the sub-command by the first argument.
#include <cstdio>
#include <cstring>

#include "cluster.h"
#include "count.h"
#include "discover.h"
#include "error.h"
#include "map.h"
#include "output.h"
#include "tabulate.h"

namespace {

void print_usage_message(const char* argv0) { std::fprintf(stderr, "usage: %s count|cluster|map|tabulate [OPTIONS]...\n", argv0); }

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
