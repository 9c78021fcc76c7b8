#include "map_align.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "alignment.h"
#include "hash.h"
#include "map_tables.h"

namespace {

// Letter masks come in rows for A, C, G, T, N and a last row of all ones,
// which stands for any other character of the core: it matches everything,
// so the common subsequence can only come out longer and the bound stays an
// upper bound.
constexpr size_t letter_rows = 6;
constexpr size_t block_bytes = 32;
// Blocks are processed four at a time, so tables are padded to that.
constexpr size_t blocks_at_once = 4;
// 16-bit scores cannot overflow while the two lengths together stay below this.
constexpr size_t narrow_length_limit = 6000;
constexpr size_t dp_lanes = 16;

// A, C, G, T and N have rows 0 to 4; every other byte shares row 5.
size_t letter_row(char c) { return std::min<size_t>(word_index::letter_code(c), letter_rows - 1); }

int16_t letter_value(char c) { return static_cast<int16_t>(static_cast<unsigned char>(c)); }

bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return yes;
}

// Bit-parallel longest common subsequence of every barcode of a table with
// the core (the barcode's letter masks are the pattern, the core's letters
// the text; a zero bit in the final state is one letter of the subsequence),
// then the score bound 6 * lcs - max(length1, length2): an alignment with M
// matches, X mismatches and the rest gaps scores 7M + X - (length1 + length2),
// and X is at most min(length1, length2) - M, M at most the lcs.
template <typename Lane, int Bytes, size_t Blocks>
inline __attribute__((always_inline)) void bound_kernel(const Lane* masks, const Lane* length_masks, const int32_t* positions,
                                                        size_t lanes_total, const uint8_t* rows, size_t n, int* bounds) {
    typedef Lane vec __attribute__((vector_size(Bytes)));
    constexpr size_t block_lanes = block_bytes / sizeof(Lane);
    constexpr size_t vec_lanes = Bytes / sizeof(Lane);
    constexpr size_t parts = block_bytes / Bytes;
    constexpr size_t chains = Blocks * parts;
    constexpr size_t block_stride = letter_rows * block_lanes;
    Lane state[chains * vec_lanes];
    for (size_t first = 0; first < lanes_total; first += Blocks * block_lanes) {
        const Lane* base = masks + (first / block_lanes) * block_stride;
        vec v[chains];
        for (size_t c = 0; c < chains; ++c) v[c] = ~vec{};
        for (size_t i = 0; i < n; ++i) {
            const Lane* row = base + rows[i] * block_lanes;
#pragma GCC unroll 8
            for (size_t c = 0; c < chains; ++c) {
                vec x;
                std::memcpy(&x, row + (c / parts) * block_stride + (c % parts) * vec_lanes, Bytes);
                vec u = v[c] & x;
                v[c] = (v[c] + u) | (v[c] - u);
            }
        }
        for (size_t c = 0; c < chains; ++c) std::memcpy(state + c * vec_lanes, &v[c], Bytes);
        for (size_t c = 0; c < chains; ++c) {
            for (size_t j = 0; j < vec_lanes; ++j) {
                size_t lane = first + (c / parts) * block_lanes + (c % parts) * vec_lanes + j;
                int32_t position = positions[lane];
                if (position < 0) continue;
                Lane common = ~state[c * vec_lanes + j] & length_masks[lane];
                int lcs = sizeof(Lane) == 4 ? __builtin_popcount(static_cast<uint32_t>(common))
                                            : __builtin_popcountll(static_cast<uint64_t>(common));
                int length = std::max(__builtin_popcountll(static_cast<uint64_t>(length_masks[lane])), static_cast<int>(n));
                bounds[position] = 6 * lcs - length;
            }
        }
    }
}

// Needleman-Wunsch scores of 16 barcodes at once, one per 16-bit lane: the
// rows follow the barcodes' letters (different in every lane), the columns
// the core's letters (the same in all lanes). The last column of every row is
// kept, since each lane's score sits in the row of its own length.
template <int Bytes>
inline __attribute__((always_inline)) void score_kernel(const int16_t* letters, size_t m, const int16_t* core, size_t n,
                                                        int16_t* cells, int16_t* ends) {
    typedef int16_t vec __attribute__((vector_size(Bytes)));
    constexpr size_t vec_lanes = Bytes / 2;
    for (size_t part = 0; part < dp_lanes; part += vec_lanes) {
        for (size_t x = 0; x <= n; ++x) {
            vec start = vec{} - static_cast<int16_t>(x);
            std::memcpy(cells + x * vec_lanes, &start, Bytes);
        }
        std::memcpy(ends + part, cells + n * vec_lanes, Bytes);
        for (size_t y = 1; y <= m; ++y) {
            vec b;
            std::memcpy(&b, letters + (y - 1) * dp_lanes + part, Bytes);
            vec diag;
            std::memcpy(&diag, cells, Bytes);
            vec left = vec{} - static_cast<int16_t>(y);
            std::memcpy(cells, &left, Bytes);
            for (size_t x = 1; x <= n; ++x) {
                vec up;
                std::memcpy(&up, cells + x * vec_lanes, Bytes);
                vec c = vec{} + core[x - 1];
                vec sub = ((b == c) & 6) - 1;
                vec d = diag + sub;
                vec g = (up > left ? up : left) - 1;
                vec h = d > g ? d : g;
                diag = up;
                left = h;
                std::memcpy(cells + x * vec_lanes, &h, Bytes);
            }
            std::memcpy(ends + y * dp_lanes + part, &left, Bytes);
        }
    }
}

__attribute__((target("avx2,popcnt"))) void bounds_short_avx2(const uint32_t* masks, const uint32_t* length_masks,
                                                               const int32_t* positions, size_t lanes, const uint8_t* rows,
                                                               size_t n, int* bounds) {
    bound_kernel<uint32_t, 32, 4>(masks, length_masks, positions, lanes, rows, n, bounds);
}
void bounds_short_sse(const uint32_t* masks, const uint32_t* length_masks, const int32_t* positions, size_t lanes,
                      const uint8_t* rows, size_t n, int* bounds) {
    bound_kernel<uint32_t, 16, 2>(masks, length_masks, positions, lanes, rows, n, bounds);
}
__attribute__((target("avx2,popcnt"))) void bounds_medium_avx2(const uint64_t* masks, const uint64_t* length_masks,
                                                                const int32_t* positions, size_t lanes, const uint8_t* rows,
                                                                size_t n, int* bounds) {
    bound_kernel<uint64_t, 32, 4>(masks, length_masks, positions, lanes, rows, n, bounds);
}
void bounds_medium_sse(const uint64_t* masks, const uint64_t* length_masks, const int32_t* positions, size_t lanes,
                       const uint8_t* rows, size_t n, int* bounds) {
    bound_kernel<uint64_t, 16, 2>(masks, length_masks, positions, lanes, rows, n, bounds);
}
__attribute__((target("avx2"))) void scores_avx2(const int16_t* letters, size_t m, const int16_t* core, size_t n,
                                                  int16_t* cells, int16_t* ends) {
    score_kernel<32>(letters, m, core, n, cells, ends);
}
void scores_sse(const int16_t* letters, size_t m, const int16_t* core, size_t n, int16_t* cells, int16_t* ends) {
    score_kernel<16>(letters, m, core, n, cells, ends);
}

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

}  // namespace

int alignment_score(std::string_view barcode, std::string_view core) {
    std::vector<int> row(core.size() + 1);
    for (size_t x = 0; x <= core.size(); ++x) row[x] = -static_cast<int>(x);
    for (size_t y = 1; y <= barcode.size(); ++y) {
        int diag = row[0];
        row[0] = -static_cast<int>(y);
        for (size_t x = 1; x <= core.size(); ++x) {
            int up = row[x];
            int h = std::max(diag + (barcode[y - 1] == core[x - 1] ? 5 : -1), std::max(up, row[x - 1]) - 1);
            diag = up;
            row[x] = h;
        }
    }
    return row[core.size()];
}

barcode_aligner::barcode_aligner(const std::vector<std::string>& sequences, bool allow_wide)
    : sequences_(sequences), wide_(allow_wide && have_avx2()) {
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
}

void barcode_aligner::compute_bounds(std::string_view core) {
    std::vector<uint8_t> rows(core.size());
    for (size_t i = 0; i < core.size(); ++i) rows[i] = static_cast<uint8_t>(letter_row(core[i]));
    bool wide = wide_;
    (wide ? bounds_short_avx2 : bounds_short_sse)(short_masks_.data(), short_length_masks_.data(), short_positions_.data(),
                                                  short_positions_.size(), rows.data(), rows.size(), bounds_.data());
    (wide ? bounds_medium_avx2 : bounds_medium_sse)(medium_masks_.data(), medium_length_masks_.data(),
                                                    medium_positions_.data(), medium_positions_.size(), rows.data(),
                                                    rows.size(), bounds_.data());
}

void barcode_aligner::score(std::string_view core, const std::vector<int32_t>& candidates, std::vector<int>& scores) {
    scores.resize(candidates.size());
    size_t n = core.size();
    core_letters_.resize(n);
    for (size_t x = 0; x < n; ++x) core_letters_[x] = letter_value(core[x]);
    bool wide = wide_;
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
        (wide ? scores_avx2 : scores_sse)(letters_.data(), m, core_letters_.data(), n, rows_.data(), ends_.data());
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

void barcode_aligner::best_of_all(std::string_view core, best_barcodes& best) {
    best.score = lowest_counted_score;
    best.positions.clear();
    if (sequences_.empty()) return;
    compute_bounds(core);
    int top = *std::max_element(bounds_.begin(), bounds_.end());
    // First the barcodes with the highest bound, then, if none of them
    // reached it, every barcode whose bound reaches the best score found:
    // no other barcode can tie or beat it.
    candidates_.clear();
    for (size_t p = 0; p < bounds_.size(); ++p)
        if (bounds_[p] >= top) candidates_.push_back(static_cast<int32_t>(p));
    score(core, candidates_, scores_);
    int found = *std::max_element(scores_.begin(), scores_.end());
    take_best(candidates_, scores_, best);
    if (found < top) {
        int floor = std::max(found, lowest_counted_score);
        candidates_.clear();
        for (size_t p = 0; p < bounds_.size(); ++p)
            if (bounds_[p] >= floor && bounds_[p] < top) candidates_.push_back(static_cast<int32_t>(p));
        score(core, candidates_, scores_);
        take_best(candidates_, scores_, best);
    }
    std::sort(best.positions.begin(), best.positions.end());
}

shared_word_ranking::shared_word_ranking(const std::vector<std::string>& sequences)
    : holders_(625), counts_(sequences.size(), 0) {
    std::vector<int32_t> last_holder(625, -1);
    for (size_t p = 0; p < sequences.size(); ++p) {
        const std::string& sequence = sequences[p];
        for (size_t o = 0; o + 4 <= sequence.size(); ++o) {
            auto word = static_cast<size_t>(hash_slot_nmer(sequence.c_str() + o, 4));
            if (last_holder[word] == static_cast<int32_t>(p)) continue;
            last_holder[word] = static_cast<int32_t>(p);
            holders_[word].push_back(static_cast<int32_t>(p));
        }
    }
}

void shared_word_ranking::top(std::string_view core, int n, std::vector<int32_t>& candidates) {
    candidates.clear();
    if (n <= 0 || core.size() < 4) return;
    std::string text(core);
    touched_.resize(counts_.size() + 1);  // one spare slot for the branch-free append
    size_t touched = 0;
    for (size_t o = 0; o + 4 <= text.size(); ++o) {
        for (int32_t p : holders_[static_cast<size_t>(hash_slot_nmer(text.c_str() + o, 4))]) {
            touched_[touched] = p;
            touched += counts_[static_cast<size_t>(p)]++ == 0;
        }
    }
    // Counts are at most the number of the core's words: find the lowest
    // count that still makes the cut, take everything above it, and of the
    // barcodes with exactly that count the ones with the lowest positions.
    size_t most = text.size() - 3;
    std::vector<size_t> with_count(most + 1, 0);
    for (size_t k = 0; k < touched; ++k) ++with_count[static_cast<size_t>(counts_[static_cast<size_t>(touched_[k])])];
    auto wanted = static_cast<size_t>(n);
    size_t cut = most, above = 0;
    while (cut > 1 && above + with_count[cut] < wanted) above += with_count[cut--];
    std::vector<int32_t> at_cut;
    for (size_t k = 0; k < touched; ++k) {
        int32_t p = touched_[k];
        auto count = static_cast<size_t>(counts_[static_cast<size_t>(p)]);
        counts_[static_cast<size_t>(p)] = 0;
        if (count > cut) candidates.push_back(p);
        else if (count == cut) at_cut.push_back(p);
    }
    size_t room = std::min(at_cut.size(), wanted - std::min(wanted, above));
    std::nth_element(at_cut.begin(), at_cut.begin() + static_cast<std::ptrdiff_t>(room), at_cut.end());
    candidates.insert(candidates.end(), at_cut.begin(), at_cut.begin() + static_cast<std::ptrdiff_t>(room));
    std::sort(candidates.begin(), candidates.end());
}

void best_by_full_alignment(const std::vector<std::string>& sequences, std::string_view core,
                            const std::vector<int32_t>& candidates, best_barcodes& best) {
    best.score = lowest_counted_score;
    best.positions.clear();
    std::string text(core);
    for (int32_t p : candidates) {
        alignment* a = align(sequences[static_cast<size_t>(p)].c_str(), text.c_str(), -1, 5, -1);
        if (a->score >= best.score) {
            if (a->score > best.score) {
                best.score = a->score;
                best.positions.clear();
            }
            best.positions.push_back(p);
        }
        alignment_destroy(a);
    }
    std::sort(best.positions.begin(), best.positions.end());
}

shared_word_flags::shared_word_flags(const std::vector<std::string>& sequences)
    : barcodes_(sequences.size()), flags_(625) {
    for (size_t b = 0; b < sequences.size(); ++b) {
        for (size_t o = 0; o + 4 <= sequences[b].size(); ++o) {
            std::vector<uint8_t>& row = flags_[static_cast<size_t>(hash_slot_nmer(sequences[b].c_str() + o, 4))];
            if (row.empty()) row.assign(sequences.size(), 0);
            row[b] = 1;
        }
    }
}

void shared_word_flags::top(std::string_view core, int n, std::vector<int32_t>& candidates) const {
    candidates.clear();
    if (n <= 0) return;
    std::string text(core);
    std::vector<int> word_match(barcodes_, 0);
    for (size_t o = 0; o + 4 <= text.size(); ++o) {
        const std::vector<uint8_t>& row = flags_[static_cast<size_t>(hash_slot_nmer(text.c_str() + o, 4))];
        for (size_t b = 0; b < row.size(); ++b) word_match[b] += row[b];
    }
    std::vector<int> top_match(static_cast<size_t>(n), 0);
    std::vector<int32_t> top_index(static_cast<size_t>(n), -1);
    for (size_t b = 0; b < barcodes_; ++b) {
        int k = n - 1;
        while (k >= 0 && word_match[b] <= top_match[static_cast<size_t>(k)]) --k;
        if (k < 0) continue;
        for (int j = 0; j < k; ++j) {
            top_match[static_cast<size_t>(j)] = top_match[static_cast<size_t>(j + 1)];
            top_index[static_cast<size_t>(j)] = top_index[static_cast<size_t>(j + 1)];
        }
        top_match[static_cast<size_t>(k)] = word_match[b];
        top_index[static_cast<size_t>(k)] = static_cast<int32_t>(b);
    }
    for (int32_t p : top_index)
        if (p >= 0) candidates.push_back(p);
    std::sort(candidates.begin(), candidates.end());
}
