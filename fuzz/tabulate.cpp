// tabulate on a hostile barcode file and map file. The input is the barcode
// file, a line "%%", then the map file (without the mark, the same text
// serves as both); the first byte picks the alignment cutoff, its odd values
// with the read fates (-f) and the barcode list (-b), and some of those
// with the barcodes read as guide pairs (-g, its guide 1 length from the
// byte's high bits, and -r).
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "tabulate/tabulate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file barcodes;
    static memory_file map_lines;
    std::string_view barcode_text, map_text;
    split_two(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), barcode_text, map_text);
    barcodes.set(barcode_text);
    map_lines.set(map_text);
    static memory_file fates;
    std::vector<std::string> args{"tabulate", "-c", std::to_string(static_cast<int8_t>(data[0])), map_lines.path(),
                                  barcodes.path()};
    if (data[0] & 1) args.insert(args.begin() + 1, {"-f", fates.path()});
    static memory_file recombinants;
    if ((data[0] & 3) == 3)
        args.insert(args.begin() + 1, {"-g", std::to_string(1 + (data[0] >> 4)), "-r", recombinants.path()});
    // 1: a malformed map line.
    run_sub_command(tabulate_main, args, {0, 1});
    if (data[0] & 1) run_sub_command(tabulate_main, {"tabulate", "-b", barcodes.path()}, {0});
    return 0;
}
