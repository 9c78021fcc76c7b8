// The reference for map's alignment phase: every candidate aligned in full,
// pair by pair, which the fast search must agree with (the unit tests and
// bench/map.sh compare them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "map/align.h"

// The straightforward forms of the fast ones: align every candidate in full
// and keep the ties of the best score.
void best_by_full_alignment(const std::vector<std::string>& sequences, std::string_view core,
                            const std::vector<int32_t>& candidates, best_barcodes& best);
// The top n by shared words, from a table of flags (word, barcode) and
// insertion into a short ranked table.
class shared_word_flags {
public:
    explicit shared_word_flags(const std::vector<std::string>& sequences);
    void top(std::string_view core, int n, std::vector<int32_t>& candidates) const;

private:
    size_t barcodes_;
    std::vector<std::vector<uint8_t>> flags_;  // by word number; empty when no barcode holds the word
};

// The map sub-command with the reference search in its alignment phase.
int map_reference_main(int argc, char** argv);
