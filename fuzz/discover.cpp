// discover on a hostile cluster file: the first byte picks the least total
// (0: auto). Sequences of any length and letters meet the offshoot search.
#include <cstdint>
#include <string>
#include <string_view>

#include "discover/discover.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file clusters;
    clusters.set(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    std::string least = data[0] % 8 == 0 ? "auto" : std::to_string(data[0] % 8);
    std::vector<std::string> args{"discover", "-m", least, clusters.path()};
    // 1: a malformed cluster line.
    run_sub_command(discover_main, args, {0, 1});
    return 0;
}
