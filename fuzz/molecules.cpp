// tabulate -u/-k on hostile inputs: the UMI table, the cluster file, the map
// file and the barcode file, in that order, separated by lines "%%" (missing
// parts are empty); the first byte picks the alignment cutoff. A wrong input
// may end the run with status 1, never worse.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "tabulate/tabulate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static memory_file files[4];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (memory_file& file : files) {
        size_t mark = rest.find("\n%%\n");
        file.set(rest.substr(0, mark));
        rest = mark == std::string_view::npos ? std::string_view() : rest.substr(mark + 4);
    }
    std::vector<std::string> args{"tabulate",      "-c", std::to_string(static_cast<int8_t>(data[0])),
                                  "-u",            files[0].path(),
                                  "-k",            files[1].path(),
                                  files[2].path(), files[3].path()};
    run_sub_command(tabulate_main, args, {0, 1});
    return 0;
}
