#include "map/align.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "align/alignment.h"
#include "dna/letters.h"
#include "align/kernels.h"
#include "map/tables.h"

namespace {

using namespace kernel_layout;

// A, C, G, T and N have rows 0 to 4; every other byte shares row 5 (all
// ones: it matches everything, so the common subsequence can only come out
// longer and the bound stays an upper bound).
size_t letter_row(char c) { return std::min<size_t>(dna::code_of(c), letter_rows - 1); }

int16_t letter_value(char c) { return static_cast<int16_t>(static_cast<unsigned char>(c)); }

// Lays the barcodes of one length class out as letter masks, blocks of
// 32 bytes of lanes, six rows per block.
template <typename Lane>
void build_masks(const std::vector<std::string>& sequences, std::vector<int32_t>& positions, std::vector<Lane>& masks,
                 std::vector<Lane>& length_masks) {
    constexpr size_t block_lanes = block_bytes / sizeof(Lane);
    size_t group = block_lanes * blocks_at_once;
    size_t lanes = (positions.size() + group - 1) / group * group;
    positions.resize(lanes, -1);
    masks.assign(lanes * letter_rows, 0);
    length_masks.assign(lanes, 0);
    for (size_t lane = 0; lane < lanes; ++lane) {
        if (positions[lane] < 0) continue;
        const std::string& sequence = sequences[static_cast<size_t>(positions[lane])];
        Lane* block = masks.data() + (lane / block_lanes) * letter_rows * block_lanes;
        size_t j = lane % block_lanes;
        for (size_t i = 0; i < sequence.size(); ++i) {
            size_t row = letter_row(sequence[i]);
            if (row < 5) block[row * block_lanes + j] |= static_cast<Lane>(1) << i;
        }
        block[5 * block_lanes + j] = ~static_cast<Lane>(0);
        length_masks[lane] = sequence.size() == sizeof(Lane) * 8 ? ~static_cast<Lane>(0)
                                                                   : (static_cast<Lane>(1) << sequence.size()) - 1;
    }
}

// Copies the masks of the given barcodes (lanes[p] their lane in masks) into
// a table of their own, padded like a full one; positions grows the padding.
template <typename Lane>
void gather_masks(const std::vector<Lane>& masks, const std::vector<int32_t>& lanes, std::vector<int32_t>& positions,
                  std::vector<Lane>& out, std::vector<Lane>& out_lengths, const std::vector<Lane>& lengths) {
    constexpr size_t block_lanes = block_bytes / sizeof(Lane);
    size_t group = block_lanes * blocks_at_once;
    size_t count = positions.size();
    size_t total = (count + group - 1) / group * group;
    positions.resize(total, -1);
    // Padding lanes are computed but never read: the table is only resized.
    out.resize(total * letter_rows);
    out_lengths.resize(total);
    for (size_t k = 0; k < count; ++k) {
        auto lane = static_cast<size_t>(lanes[static_cast<size_t>(positions[k])]);
        const Lane* from = masks.data() + (lane / block_lanes) * letter_rows * block_lanes + lane % block_lanes;
        Lane* to = out.data() + (k / block_lanes) * letter_rows * block_lanes + k % block_lanes;
        for (size_t r = 0; r < letter_rows; ++r) to[r * block_lanes] = from[r * block_lanes];
        out_lengths[k] = lengths[lane];
    }
}

}  // namespace

barcode_aligner::barcode_aligner(const std::vector<std::string>& sequences, bool allow_wide)
    : sequences_(sequences), kernels_(&alignment_kernels_for(allow_wide ? isa_best() : isa_level::sse2)) {
    for (size_t p = 0; p < sequences.size(); ++p) {
        size_t length = sequences[p].size();
        auto position = static_cast<int32_t>(p);
        if (length <= 32) short_positions_.push_back(position);
        else if (length <= 64) medium_positions_.push_back(position);
        else long_positions_.push_back(position);
    }
    build_masks(sequences, short_positions_, short_masks_, short_length_masks_);
    build_masks(sequences, medium_positions_, medium_masks_, medium_length_masks_);
    bounds_.assign(sequences.size(), INT_MAX);
    lane_of_.assign(sequences.size(), -1);
    for (const std::vector<int32_t>* table : {&short_positions_, &medium_positions_, &long_positions_})
        for (size_t lane = 0; lane < table->size(); ++lane)
            if ((*table)[lane] >= 0) lane_of_[static_cast<size_t>((*table)[lane])] = static_cast<int32_t>(lane);
    letter_counts_.assign(sequences.size() * letter_rows, 0);
    lengths_.resize(sequences.size());
    for (size_t p = 0; p < sequences.size(); ++p) {
        for (char c : sequences[p]) ++letter_counts_[letter_row(c) * sequences.size() + p];
        lengths_[p] = static_cast<int32_t>(std::min<size_t>(sequences[p].size(), INT_MAX / 8));
    }
    count_bounds_.assign(sequences.size(), 0);
}

void barcode_aligner::count_bounds(std::string_view core) {
    // A match pairs two equal letters, so the matches of one mask row are at
    // most the fewer of that row's letters in the barcode and in the core;
    // the same 6 * matches - the longer length as from the common
    // subsequence follows.
    int core_counts[letter_rows] = {};
    for (uint8_t row : core_rows_) ++core_counts[row];
    int n = static_cast<int>(std::min<size_t>(core.size(), INT_MAX / 8));
    size_t total = sequences_.size();
    for (size_t p = 0; p < total; ++p) count_bounds_[p] = -std::max(lengths_[p], n);
    for (size_t r = 0; r < letter_rows; ++r) {
        const int32_t* counts = letter_counts_.data() + r * total;
        int core_count = core_counts[r];
        for (size_t p = 0; p < total; ++p) count_bounds_[p] += 6 * std::min(counts[p], core_count);
    }
}

void barcode_aligner::compute_bounds(const std::vector<int32_t>& subset) {
    // Gathering the masks pays only while the subset is a small part of the
    // table; otherwise every barcode gets its bound in place.
    if (subset.size() * 3 > sequences_.size()) {
        kernels_->bounds_short(short_masks_.data(), short_length_masks_.data(), short_positions_.data(),
                               short_positions_.size(), core_rows_.data(), core_rows_.size(), bounds_.data());
        kernels_->bounds_medium(medium_masks_.data(), medium_length_masks_.data(), medium_positions_.data(),
                                medium_positions_.size(), core_rows_.data(), core_rows_.size(), bounds_.data());
        for (int32_t p : long_positions_) bounds_[static_cast<size_t>(p)] = count_bounds_[static_cast<size_t>(p)];
        return;
    }
    gathered_positions_.clear();
    for (int32_t p : subset)
        if (sequences_[static_cast<size_t>(p)].size() <= 32) gathered_positions_.push_back(p);
    gather_masks(short_masks_, lane_of_, gathered_positions_, gathered_short_masks_, gathered_short_length_masks_,
                 short_length_masks_);
    kernels_->bounds_short(gathered_short_masks_.data(), gathered_short_length_masks_.data(),
                           gathered_positions_.data(), gathered_positions_.size(), core_rows_.data(), core_rows_.size(),
                           bounds_.data());
    gathered_positions_.clear();
    for (int32_t p : subset) {
        size_t length = sequences_[static_cast<size_t>(p)].size();
        if (length > 32 && length <= 64) gathered_positions_.push_back(p);
        // Longer barcodes have no mask; their letter-count bound stands.
        else if (length > 64) bounds_[static_cast<size_t>(p)] = count_bounds_[static_cast<size_t>(p)];
    }
    gather_masks(medium_masks_, lane_of_, gathered_positions_, gathered_medium_masks_, gathered_medium_length_masks_,
                 medium_length_masks_);
    kernels_->bounds_medium(gathered_medium_masks_.data(), gathered_medium_length_masks_.data(),
                            gathered_positions_.data(), gathered_positions_.size(), core_rows_.data(), core_rows_.size(),
                            bounds_.data());
}

void barcode_aligner::score(std::string_view core, const std::vector<int32_t>& candidates, std::vector<int>& scores) {
    scores.resize(candidates.size());
    size_t n = core.size();
    core_letters_.resize(n);
    for (size_t x = 0; x < n; ++x) core_letters_[x] = letter_value(core[x]);
    for (size_t first = 0; first < candidates.size(); first += dp_lanes) {
        size_t count = std::min(dp_lanes, candidates.size() - first);
        size_t m = 0;
        for (size_t l = 0; l < count; ++l) m = std::max(m, sequences_[static_cast<size_t>(candidates[first + l])].size());
        if (m + n >= narrow_length_limit) {
            for (size_t l = 0; l < count; ++l)
                scores[first + l] = alignment_score(sequences_[static_cast<size_t>(candidates[first + l])], core);
            continue;
        }
        letters_.assign(m * dp_lanes, -1);
        for (size_t l = 0; l < count; ++l) {
            const std::string& sequence = sequences_[static_cast<size_t>(candidates[first + l])];
            for (size_t y = 0; y < sequence.size(); ++y) letters_[y * dp_lanes + l] = letter_value(sequence[y]);
        }
        rows_.resize((n + 1) * dp_lanes);
        ends_.resize((m + 1) * dp_lanes);
        kernels_->scores(letters_.data(), m, core_letters_.data(), n, rows_.data(), ends_.data());
        for (size_t l = 0; l < count; ++l) {
            size_t length = sequences_[static_cast<size_t>(candidates[first + l])].size();
            scores[first + l] = ends_[length * dp_lanes + l];
        }
    }
}

void barcode_aligner::take_best(const std::vector<int32_t>& candidates, const std::vector<int>& scores,
                                best_barcodes& best) {
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (scores[i] < best.score) continue;
        if (scores[i] > best.score) {
            best.score = scores[i];
            best.positions.clear();
        }
        best.positions.push_back(candidates[i]);
    }
}

void barcode_aligner::best_of(std::string_view core, const std::vector<int32_t>& candidates, best_barcodes& best) {
    best.score = lowest_counted_score;
    best.positions.clear();
    score(core, candidates, scores_);
    take_best(candidates, scores_, best);
    std::sort(best.positions.begin(), best.positions.end());
}

void barcode_aligner::best_of_subset(const std::vector<int32_t>& subset, int floor, best_barcodes& best) {
    if (subset.empty()) return;
    compute_bounds(subset);
    int top = INT_MIN;
    for (int32_t p : subset) top = std::max(top, bounds_[static_cast<size_t>(p)]);
    if (top < floor) return;
    // First the barcodes with the highest bound, then, if none of them
    // reached it, every barcode whose bound reaches the best score found:
    // no other barcode can tie or beat it.
    candidates_.clear();
    for (int32_t p : subset)
        if (bounds_[static_cast<size_t>(p)] >= top) candidates_.push_back(p);
    score(core_, candidates_, scores_);
    int found = *std::max_element(scores_.begin(), scores_.end());
    take_best(candidates_, scores_, best);
    if (found < top) {
        int reach = std::max(found, floor);
        candidates_.clear();
        for (int32_t p : subset) {
            int bound = bounds_[static_cast<size_t>(p)];
            if (bound >= reach && bound < top) candidates_.push_back(p);
        }
        score(core_, candidates_, scores_);
        take_best(candidates_, scores_, best);
    }
}

void barcode_aligner::best_of_all(std::string_view core, best_barcodes& best) {
    best.score = lowest_counted_score;
    best.positions.clear();
    if (sequences_.empty()) return;
    core_ = core;
    core_rows_.resize(core.size());
    for (size_t i = 0; i < core.size(); ++i) core_rows_[i] = static_cast<uint8_t>(letter_row(core[i]));
    count_bounds(core);
    // The barcodes nearest the top of the letter-count bound first: their
    // best score then rules out every barcode whose letter counts cannot
    // reach it, and only the others go through the finer bound.
    int top = *std::max_element(count_bounds_.begin(), count_bounds_.end());
    int near = top - 6;
    subset_.clear();
    for (size_t p = 0; p < count_bounds_.size(); ++p)
        if (count_bounds_[p] >= near) subset_.push_back(static_cast<int32_t>(p));
    best_of_subset(subset_, lowest_counted_score, best);
    int floor = std::max(best.score, lowest_counted_score);
    subset_.clear();
    for (size_t p = 0; p < count_bounds_.size(); ++p)
        if (count_bounds_[p] < near && count_bounds_[p] >= floor) subset_.push_back(static_cast<int32_t>(p));
    best_of_subset(subset_, floor, best);
    std::sort(best.positions.begin(), best.positions.end());
}

shared_word_ranking::shared_word_ranking(const std::vector<std::string>& sequences)
    : ranking_(sequences.size(), [&](size_t p) { return std::string_view(sequences[p]); }) {}

void shared_word_ranking::top(std::string_view core, int n, std::vector<int32_t>& candidates) {
    candidates.clear();
    if (n <= 0) return;
    words::words_of(core, words_);
    ranking_.top(words_, static_cast<size_t>(n), ranked_);
    for (const words::ranked& r : ranked_) candidates.push_back(static_cast<int32_t>(r.index));
    std::sort(candidates.begin(), candidates.end());
}
