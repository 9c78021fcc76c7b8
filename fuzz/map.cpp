// map on a hostile barcode file and cluster file, the word matching, the
// whole-barcode matching (-w) and alignment included. The input is the
// barcode file, a line "%%", then the cluster file (without the mark, the
// same text serves as both); the first byte picks the options.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "map/map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file barcodes;
    static memory_file clusters;
    std::string_view barcode_text, cluster_text;
    split_two(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), barcode_text, cluster_text);
    barcodes.set(barcode_text);
    clusters.set(cluster_text);
    uint8_t choice = data[0];
    std::vector<std::string> args{"map"};
    if (choice & 1) args.push_back("-s");
    // Shares its bit with the -c value: the options still mix freely.
    if (choice & 64) args.push_back("-w");
    if (choice & 2) args.insert(args.end(), {"-n", std::to_string((choice >> 2) & 7)});
    if (choice & 32) args.insert(args.end(), {"-c", std::to_string((choice >> 6) & 3)});
    args.push_back(clusters.path());
    args.push_back(barcodes.path());
    // 1: a malformed cluster line.
    run_sub_command(map_main, args, {0, 1});
    return 0;
}
