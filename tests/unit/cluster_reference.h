// A slow, straightforward clustering used to check the fast one: plain maps,
// lists scanned from the front, every sequence compared with every core.
#pragma once

#include <string>

#include "cluster/cluster_internal.h"

struct reference_outputs {
    std::string clusters;
    std::string alignments;  // only when with_align
    std::string statistics;  // only when with_stats
};

reference_outputs reference_cluster(const std::string& table, const cluster_settings& settings, bool with_stats, bool with_align);

// The same run through the fast phases.
reference_outputs fast_cluster(const std::string& table, const cluster_settings& settings, bool with_stats, bool with_align,
                               secondary_search how = secondary_search::automatic);
