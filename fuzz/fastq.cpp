// count on hostile fastq input: the first byte picks the options, the rest is
// the read file (plain or gzip-compressed).
#include <cstdint>
#include <string_view>

#include "count/count.h"
#include "count_options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file input;
    input.set(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    std::vector<std::string> args{"count", "-f"};
    for (std::string& option : count_options(data[0])) args.push_back(option);
    args.push_back(input.path());
    // 2: a corrupt gzip stream; 3: sequence and quality of unequal length.
    run_sub_command(count_main, args, {0, 2, 3});
    return 0;
}
