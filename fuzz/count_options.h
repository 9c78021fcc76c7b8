// The count options a fuzz input's first byte picks, so that trimming,
// truncation, masking, the clean flag and the encoding found from the
// reads all meet hostile reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::string> count_options(uint8_t choice) {
    std::vector<std::string> args;
    if (choice & 1) args.push_back("-c");
    if (choice & 2) args.insert(args.end(), {"-u", std::to_string(1 + (choice >> 5))});
    if (choice & 4) args.insert(args.end(), {"-i", std::to_string((choice >> 4) & 3) + ":" + std::to_string(choice >> 6)});
    // -m: an explicit letter, or the encoding found from the reads (which
    // holds them back first).
    if (choice & 8) args.insert(args.end(), {"-m", (choice & 16) ? "S30" : (choice & 32) ? "A" : "I5"});
    return args;
}
