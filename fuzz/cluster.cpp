// cluster on a hostile count table, the whole clustering included; the first
// byte picks the options.
#include <cstdint>
#include <string_view>

#include "cluster/cluster.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file input;
    input.set(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    uint8_t choice = data[0];
    std::vector<std::string> args{"cluster", "-s", "/dev/null", "-a", "/dev/null"};
    if (choice & 1) args.push_back("-f");
    if (choice & 2) args.insert(args.end(), {"-c", std::to_string(1 + ((choice >> 2) & 63))});
    if (choice & 64) args.insert(args.end(), {"-n", "0"});
    if (choice & 128) args.insert(args.end(), {"-m", "2"});
    args.push_back(input.path());
    // Malformed lines are warned about and skipped: nothing ends the run.
    run_sub_command(cluster_main, args, {0});
    return 0;
}
