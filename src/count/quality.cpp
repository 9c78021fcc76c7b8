// Quality masking of reads.
#include <algorithm>
#include <cstring>

#include "count/count_internal.h"
#include "count/scan_kernels.h"
#include "io/error.h"

namespace count {

namespace {
const scan_kernels& scans = scan_kernels_best();
}  // namespace

int64_t mask_copy(const settings& s, char* out, const char* seq, const char* qual, size_t length) {
    // A score (signed quality byte - quality_adj) below quality_cutoff is the
    // same as a signed quality byte below quality_adj + quality_cutoff.
    return scans.mask_copy(static_cast<int64_t>(s.quality_adj) + s.quality_cutoff, out, seq, qual, length);
}

int64_t below_range(const settings& s, const char* qual, size_t length) {
    // In a run with errors many reads have a masked base, so this runs often.
    return scans.count_below(static_cast<int64_t>(s.quality_adj) + std::min(s.quality_lo, 0), qual, length);
}

void quality_extremes(const char* qual, size_t length, unsigned char& lowest, unsigned char& highest) {
    // Up to 100,000 reads pass here before the encoding is known.
    scans.extremes(qual, length, lowest, highest);
}

}  // namespace count
