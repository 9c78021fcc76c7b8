// count on hostile read pairs: the first byte picks the options and the
// layouts, the rest is read 1's file, then "\n%%\n", then read 2's file
// (each plain or gzip-compressed).
#include <cstdint>
#include <string_view>

#include "count/count.h"
#include "count_options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file first_file, second_file;
    std::string_view first, second;
    split_two(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), first, second);
    first_file.set(first);
    second_file.set(second);
    const uint8_t choice = data[0];
    std::vector<std::string> args{"count", (choice & 128) ? "-q" : "-f", "-2", second_file.path()};
    // -m A and -l auto hold the first pairs back before counting them.
    for (std::string& option : count_options(choice)) args.push_back(option);
    if ((choice & 6) == 6) args.insert(args.end(), {"-l", "auto"});
    // A layout on read 1, on read 2, or on both; UMIs and both strands now and then.
    if (choice & 1) args.insert(args.end(), {"-p", "AC[3]"});
    if ((choice & 3) != 1) args.insert(args.end(), {"-P", (choice & 64) ? "{0-2}GT[2-4](2)" : "[4]"});
    if (choice & 32) args.push_back("-b");
    if (choice & 16) args.push_back("-r");
    args.push_back(first_file.path());
    // 1: pairs out of step or files that end apart; 2: a corrupt gzip
    // stream; 3: sequence and quality of unequal length.
    run_sub_command(count_main, args, {0, 1, 2, 3});
    return 0;
}
