// Alignment of the sequences left outside every cluster against the cores
// that share the most 4-letter words with them.
#include <algorithm>
#include <climits>

#include "align/alignment.h"
#include "align/kernels.h"
#include "align/words.h"
#include "cluster/index.h"
#include "cluster/cluster_internal.h"
#include "io/error.h"
#include "io/output.h"

namespace {

using words::words_of;
constexpr int word_slots = static_cast<int>(words::count);

// A core by its place among the cores in index order.
using candidate = words::ranked;

// Better first: more shared words, then the earlier core.
bool better(const candidate& a, const candidate& b) { return a.shared != b.shared ? a.shared > b.shared : a.index < b.index; }

// Ranks the cores by the words they share with a sequence, for sequences
// too long for the bit-sliced counts below.
class word_ranker {
public:
    word_ranker(const cluster_state& st, const std::vector<uint32_t>& cores)
        : ranking_(cores.size(), [&](size_t r) { return st.seq(cores[r]); }) {}

    // The best top_n cores of each sequence (more shared words first, then
    // lower rank), weakest first: the order in which they are aligned.
    void rank_batch(const std::vector<std::vector<int>>& words, size_t top_n, std::vector<std::vector<candidate>>& tops) {
        tops.resize(words.size());
        for (size_t q = 0; q < words.size(); ++q) {
            ranking_.top(words[q], top_n, tops[q]);
            std::sort(tops[q].begin(), tops[q].end(), [](const candidate& a, const candidate& b) { return better(b, a); });
        }
    }

private:
    words::word_ranking ranking_;
};

// The chosen cores of one sequence while the cores go by in index order: a
// core enters when it shares more words than the weakest one held (any word
// while there is room), which it then replaces; of equal counts the one met
// first stays. The weakest sits on top of a heap.
class top_cores {
public:
    explicit top_cores(size_t n) : n_(n) {}
    void clear() { heap_.clear(); }
    // The count a core needs to enter.
    unsigned entry() const {
        if (heap_.size() < n_) return 1;
        return heap_.empty() ? UINT_MAX : static_cast<unsigned>(heap_.front().shared) + 1;
    }
    void offer(int shared, uint32_t rank) {
        if (static_cast<unsigned>(shared) < entry()) return;
        if (heap_.size() == n_) {
            std::pop_heap(heap_.begin(), heap_.end(), better);
            heap_.pop_back();
        }
        heap_.push_back({shared, rank});
        std::push_heap(heap_.begin(), heap_.end(), better);
    }
    // How many held cores share at least v words.
    size_t held_at_least(unsigned v) const {
        size_t n = 0;
        for (const candidate& c : heap_) n += static_cast<unsigned>(c.shared) >= v;
        return n;
    }
    // Weakest first: the order in which they are aligned.
    void take(std::vector<candidate>& top) const {
        top.assign(heap_.begin(), heap_.end());
        std::sort(top.begin(), top.end(), [](const candidate& a, const candidate& b) { return better(b, a); });
    }

private:
    size_t n_;
    std::vector<candidate> heap_;
};

// For sequences short enough that a count fits a byte: per word, a bitmap
// of the cores holding it; the counts of 64 cores at a time are added up
// bit-sliced (plane j holds bit j of each count), so a sequence costs a few
// word operations per 64 cores instead of an increment per shared word. A
// batch of sequences goes over the cores one chunk at a time, so the chunk's
// bitmaps are read from cache, and only the cores that reach the count the
// weakest chosen core needs are looked at one by one.
//
// Past the first cores, neighbouring cores are scanned in pairs by the union
// of their words, a bound on both counts at half the cost of scanning the
// cores; the pairs whose bound reaches the bar (a few dozen a sequence) get
// their two counts from each core's own word bitmap.
class bitmap_ranker {
public:
    bitmap_ranker(const cluster_state& st, const std::vector<uint32_t>& cores, size_t single_cores)
        : cores_(cores.size()),
          blocks_(padded_words(cores.size())),
          pair_blocks_(padded_words((cores.size() + 1) / 2)),
          row_of_(word_slots, -1) {
        // Whole chunks, so that the pairs start on a chunk of their own.
        constexpr size_t chunk_cores = kernel_layout::chunk_blocks * 64;
        exact_blocks_ = std::min(blocks_, (single_cores + chunk_cores - 1) / chunk_cores * kernel_layout::chunk_blocks);
        number_rows(st, cores);
        fill_bitmaps(st, cores);
    }
    // core_words_ points into core_words_store_.
    bitmap_ranker(const bitmap_ranker&) = delete;
    bitmap_ranker& operator=(const bitmap_ranker&) = delete;

    // tops[q] gets the chosen cores of the sequence with words[q].
    void rank_batch(const std::vector<std::vector<int>>& words, size_t top_n, std::vector<std::vector<candidate>>& tops) {
        const size_t batch = words.size();
        prepare(words, top_n);
        constexpr size_t chunk = kernel_layout::chunk_blocks;
        for (size_t b0 = 0; b0 < exact_blocks_; b0 += chunk) {
            const size_t len = std::min(chunk, exact_blocks_ - b0);
            for (size_t q = 0; q < batch; ++q) {
                if (inputs_[q].empty()) continue;
                top_cores& chosen = chosen_[q];
                const unsigned bar = chosen.entry();
                const uint64_t any =
                    kernels_.chunk_counts(inputs_[q].data(), inputs_[q].size(), b0, len, used_planes_[q], bar, masks_, planes_);
                if (any != 0) offer_chunk(chosen, any, bar, used_planes_[q], top_n, b0 * 64);
            }
        }
        if (scans_pairs()) {
            entry_.resize(batch);
            for (size_t q = 0; q < batch; ++q) entry_[q] = chosen_[q].entry();
            for (size_t g0 = exact_blocks_ / 2; g0 < pair_blocks_; g0 += chunk) scan_pairs(g0, std::min(chunk, pair_blocks_ - g0));
        }
        tops.resize(batch);
        for (size_t q = 0; q < batch; ++q) chosen_[q].take(tops[q]);
    }

private:
    // Small tables have no cores left for pairs, nor their bitmaps.
    bool scans_pairs() const { return exact_blocks_ < blocks_; }

    // Rows of 64-core words, padded to whole vectors.
    static size_t padded_words(size_t lanes) { return (lanes / 64 / kernel_layout::vector_words + 1) * kernel_layout::vector_words; }

    // Rows are numbered by how many cores hold their word, most first, so
    // that the commonest words fit each core's short bitmap.
    void number_rows(const cluster_state& st, const std::vector<uint32_t>& cores) {
        std::vector<uint32_t> holders(word_slots, 0), seen(word_slots, UINT32_MAX);
        std::vector<int> words, slots;
        for (uint32_t r = 0; r < cores.size(); ++r) {
            words_of(st.seq(cores[r]), words);
            for (int w : words)
                if (seen[w] != r) seen[w] = r, ++holders[w];
        }
        for (int w = 0; w < word_slots; ++w)
            if (holders[w] != 0) slots.push_back(w);
        std::sort(slots.begin(), slots.end(), [&](int a, int b) { return holders[a] != holders[b] ? holders[a] > holders[b] : a < b; });
        for (size_t k = 0; k < slots.size(); ++k) row_of_[slots[k]] = static_cast<int>(k);
        rows_ = slots.size();
    }

    void fill_bitmaps(const cluster_state& st, const std::vector<uint32_t>& cores) {
        const bool pairs = scans_pairs();
        bits_.assign(rows_ * blocks_, 0);
        // On whole cache lines, so that the two cores of a pair share one.
        core_words_store_.assign(pairs ? cores_ * short_words + 8 : 0, 0);
        core_words_ = core_words_store_.data();
        while (reinterpret_cast<uintptr_t>(core_words_) % 64 != 0) ++core_words_;
        extra_start_.assign(cores_ + 1, 0);
        std::vector<int> words;
        for (uint32_t r = 0; r < cores_; ++r) {
            words_of(st.seq(cores[r]), words);
            for (int w : words) {
                const size_t row = static_cast<size_t>(row_of_[w]);
                bits_[row * blocks_ + r / 64] |= uint64_t{1} << (r % 64);
                if (!pairs) continue;
                if (row < short_rows)
                    core_words_[r * short_words + row / 64] |= uint64_t{1} << (row % 64);
                else if (std::find(extra_rows_.begin() + extra_start_[r], extra_rows_.end(), row) == extra_rows_.end())
                    extra_rows_.push_back(static_cast<uint16_t>(row));
            }
            extra_start_[r + 1] = static_cast<uint32_t>(extra_rows_.size());
        }
        if (!pairs) return;
        pair_bits_.assign(rows_ * pair_blocks_, 0);
        for (size_t row = 0; row < rows_; ++row)
            for (size_t k = 0; k < blocks_; ++k)
                pair_bits_[row * pair_blocks_ + k / 2] |= either_of_pairs(bits_[row * blocks_ + k]) << (k % 2 * 32);
    }

    // Bit i of the result: bit 2i or bit 2i + 1 of x.
    static uint64_t either_of_pairs(uint64_t x) {
        x = (x | x >> 1) & 0x5555555555555555;
        x = (x | x >> 1) & 0x3333333333333333;
        x = (x | x >> 2) & 0x0F0F0F0F0F0F0F0F;
        x = (x | x >> 4) & 0x00FF00FF00FF00FF;
        x = (x | x >> 8) & 0x0000FFFF0000FFFF;
        return (x | x >> 16) & 0x00000000FFFFFFFF;
    }

    // Each sequence's rows (a word goes in as often as it occurs), and its
    // words as a short bitmap plus what that leaves out.
    void prepare(const std::vector<std::vector<int>>& words, size_t top_n) {
        const size_t batch = words.size();
        inputs_.resize(batch);
        pair_inputs_.resize(batch);
        used_planes_.resize(batch);
        extras_.resize(batch);
        extra_weight_.assign(batch, 0);
        query_words_.assign(batch * short_words, 0);
        while (chosen_.size() < batch) chosen_.emplace_back(top_n);
        std::vector<size_t> ids;
        for (size_t q = 0; q < batch; ++q) {
            chosen_[q].clear();
            inputs_[q].clear();
            pair_inputs_[q].clear();
            extras_[q].clear();
            ids.clear();
            for (int w : words[q])
                if (row_of_[w] >= 0) ids.push_back(static_cast<size_t>(row_of_[w]));
            for (size_t id : ids) inputs_[q].push_back(bits_.data() + id * blocks_);
            int used_planes = 1;
            while (used_planes < kernel_layout::max_planes && (ids.size() >> used_planes) != 0) ++used_planes;
            used_planes_[q] = used_planes;
            if (!scans_pairs()) continue;
            for (size_t id : ids) pair_inputs_[q].push_back(pair_bits_.data() + id * pair_blocks_);
            std::sort(ids.begin(), ids.end());
            for (size_t k = 0; k < ids.size();) {
                size_t end = k;
                while (end < ids.size() && ids[end] == ids[k]) ++end;
                unsigned weight = static_cast<unsigned>(end - k);
                if (ids[k] < short_rows) query_words_[q * short_words + ids[k] / 64] |= uint64_t{1} << (ids[k] % 64), --weight;
                if (weight != 0) extras_[q].push_back({static_cast<uint16_t>(ids[k]), static_cast<uint16_t>(weight)});
                extra_weight_[q] += weight;
                k = end;
            }
        }
    }

    // One chunk of pairs for the whole batch: first the pairs that reach
    // each sequence's bar, then their cores' bitmaps fetched ahead, counted,
    // and offered in index order.
    void scan_pairs(size_t g0, size_t len) {
        item_core_.clear();
        item_seq_.clear();
        for (size_t q = 0; q < inputs_.size(); ++q) {
            if (inputs_[q].empty()) continue;
            uint64_t any =
                kernels_.chunk_counts(pair_inputs_[q].data(), pair_inputs_[q].size(), g0, len, used_planes_[q], entry_[q], masks_, planes_);
            for (; any != 0; any &= any - 1) {
                const size_t k = static_cast<size_t>(__builtin_ctzll(any));
                for (uint64_t m = masks_[k]; m != 0; m &= m - 1) {
                    const size_t r = ((g0 + k) * 64 + static_cast<size_t>(__builtin_ctzll(m))) * 2;
                    for (size_t c = r; c < std::min(r + 2, cores_); ++c) {
                        item_core_.push_back(static_cast<uint32_t>(c));
                        item_seq_.push_back(static_cast<uint32_t>(q));
                    }
                }
            }
        }
        counts_.resize(item_core_.size());
        kernels_.short_counts(core_words_, item_core_.data(), query_words_.data(), item_seq_.data(), item_core_.size(), counts_.data());
        for (size_t i = 0; i < item_core_.size(); ++i) {
            const uint32_t c = item_core_[i], q = item_seq_[i];
            int count = counts_[i];
            // Most cores of a pair fall short even with every word left out.
            if (static_cast<unsigned>(count) + extra_weight_[q] < entry_[q]) continue;
            for (const extra& e : extras_[q]) count += has_row(c, e.row) ? e.weight : 0;
            chosen_[q].offer(count, c);
            entry_[q] = chosen_[q].entry();
        }
    }

    bool has_row(size_t core, size_t row) const {
        if (row < short_rows) return (core_words_[core * short_words + row / 64] >> (row % 64) & 1) != 0;
        const uint16_t* first = extra_rows_.data() + extra_start_[core];
        const uint16_t* last = extra_rows_.data() + extra_start_[core + 1];
        return std::find(first, last, row) != last;
    }

    // The count of the core at bit of word k, from the planes.
    unsigned count_at(size_t k, int bit, int used_planes) const {
        unsigned count = 0;
        for (int j = 0; j < used_planes; ++j) count |= static_cast<unsigned>(planes_[static_cast<size_t>(j) * kernel_layout::chunk_blocks + k] >> bit & 1) << j;
        return count;
    }

    // The cores of word k whose count is at least v.
    uint64_t at_least(size_t k, unsigned v, int used_planes) const {
        if (v >> used_planes != 0) return 0;
        const unsigned added = (1u << used_planes) - v;
        uint64_t carry = 0;
        for (int j = 0; j < used_planes; ++j) {
            const uint64_t p = planes_[static_cast<size_t>(j) * kernel_layout::chunk_blocks + k];
            carry = (added >> j & 1) != 0 ? (p | carry) : (p & carry);
        }
        return carry;
    }

    // Offers the cores of a chunk that reached the bar, in index order. When
    // many did (while the chosen ones fill up), the bar is first raised as
    // far as top_n cores, held or new, still reach it: cores below it could
    // not stay, so what is chosen does not change.
    void offer_chunk(top_cores& chosen, uint64_t any, unsigned bar, int used_planes, size_t top_n, size_t first_rank) {
        // Usually a core or two get here: they are counted only up to top_n + 1.
        size_t flagged = 0;
        for (uint64_t a = any; a != 0 && flagged <= top_n; a &= a - 1)
            for (uint64_t m = masks_[__builtin_ctzll(a)]; m != 0 && flagged <= top_n; m &= m - 1) ++flagged;
        if (flagged > top_n) {
            unsigned v = bar;
            for (;;) {
                size_t reach = chosen.held_at_least(v + 1);
                for (uint64_t a = any; a != 0 && reach < top_n; a &= a - 1)
                    reach += static_cast<size_t>(popcount_bytes(at_least(static_cast<size_t>(__builtin_ctzll(a)), v + 1, used_planes)));
                if (reach < top_n) break;
                ++v;
            }
            if (v != bar) {
                for (uint64_t a = any; a != 0; a &= a - 1) {
                    const size_t k = static_cast<size_t>(__builtin_ctzll(a));
                    masks_[k] = at_least(k, v, used_planes);
                    if (masks_[k] == 0) any &= ~(uint64_t{1} << k);
                }
            }
        }
        for (; any != 0; any &= any - 1) {
            const size_t k = static_cast<size_t>(__builtin_ctzll(any));
            for (uint64_t m = masks_[k]; m != 0; m &= m - 1) {
                const int bit = __builtin_ctzll(m);
                chosen.offer(static_cast<int>(count_at(k, bit, used_planes)), static_cast<uint32_t>(first_rank + k * 64 + static_cast<size_t>(bit)));
            }
        }
    }

    static constexpr size_t short_words = kernel_layout::short_words;
    static constexpr size_t short_rows = short_words * 64;
    struct extra {
        uint16_t row;
        uint16_t weight;  // how often the sequence has the word beyond its bit in the short bitmap
    };

    const alignment_kernels& kernels_ = alignment_kernels_for(isa_best());
    uint64_t masks_[kernel_layout::chunk_blocks];
    uint64_t planes_[kernel_layout::chunk_blocks * kernel_layout::max_planes];
    size_t cores_;
    size_t blocks_;
    size_t pair_blocks_;
    size_t exact_blocks_ = 0;  // the first cores, scanned one by one
    size_t rows_ = 0;
    std::vector<int> row_of_;          // per word slot, its bitmap's row (-1: no core holds it)
    std::vector<uint64_t> bits_;       // blocks_ words per row: bit r for core r
    std::vector<uint64_t> pair_bits_;  // pair_blocks_ words per row: bit g for cores 2g and 2g + 1
    std::vector<uint64_t> core_words_store_;
    uint64_t* core_words_ = nullptr;     // short_words per core: its rows below short_rows
    std::vector<uint32_t> extra_start_;  // per core, where its other rows start in extra_rows_
    std::vector<uint16_t> extra_rows_;
    std::vector<std::vector<const uint64_t*>> inputs_, pair_inputs_;
    std::vector<int> used_planes_;
    std::vector<uint64_t> query_words_;  // short_words per sequence of the batch
    std::vector<std::vector<extra>> extras_;
    std::vector<unsigned> extra_weight_;  // per sequence of the batch, the weights of its extras added up
    std::vector<top_cores> chosen_;
    std::vector<unsigned> entry_;  // per sequence of the batch, the count a core needs to enter its chosen ones
    std::vector<uint32_t> item_core_, item_seq_;
    std::vector<int> counts_;
};

// The scores of a sequence against its candidate cores, up to dp_lanes
// cores at once in the vector kernel (16-bit scores: short sequences only).
class candidate_scorer {
public:
    void score(const cluster_state& st, const std::vector<uint32_t>& cores, const std::vector<candidate>& top, std::string_view s,
               std::vector<int>& scores) {
        using kernel_layout::dp_lanes;
        scores.resize(top.size());
        core_.resize(s.size());
        for (size_t x = 0; x < s.size(); ++x) core_[x] = static_cast<unsigned char>(s[x]);
        for (size_t first = 0; first < top.size(); first += dp_lanes) {
            const size_t count = std::min(dp_lanes, top.size() - first);
            size_t m = 0;
            for (size_t l = 0; l < count; ++l) m = std::max(m, st.seq(cores[top[first + l].index]).size());
            if (m + s.size() >= kernel_layout::narrow_length_limit) {
                for (size_t l = 0; l < count; ++l) scores[first + l] = alignment_score(st.seq(cores[top[first + l].index]), s, row_);
                continue;
            }
            letters_.assign(m * dp_lanes, -1);
            for (size_t l = 0; l < count; ++l) {
                std::string_view c = st.seq(cores[top[first + l].index]);
                for (size_t y = 0; y < c.size(); ++y) letters_[y * dp_lanes + l] = static_cast<unsigned char>(c[y]);
            }
            cells_.resize((s.size() + 1) * dp_lanes);
            ends_.resize((m + 1) * dp_lanes);
            kernels_.scores(letters_.data(), m, core_.data(), s.size(), cells_.data(), ends_.data());
            for (size_t l = 0; l < count; ++l) scores[first + l] = ends_[st.seq(cores[top[first + l].index]).size() * dp_lanes + l];
        }
    }

private:
    const alignment_kernels& kernels_ = alignment_kernels_for(isa_best());
    std::vector<int16_t> letters_, core_, cells_, ends_;
    std::vector<int> row_;
};

}  // namespace

namespace {
template <class Ranker>
void align_all(const cluster_state& st, const cluster_settings& settings, const std::vector<uint32_t>& cores, Ranker& ranker,
               out_stream& out);
}

void cluster_align_remaining(const cluster_state& st, const cluster_settings& settings, out_stream& out) {
    const uint32_t n = st.num_entries;
    warn("Aligning remaining sequences...\n");

    std::vector<uint32_t> cores;
    for (uint32_t i = 0; i < n; ++i)
        if (st.core[i]) cores.push_back(i);

    size_t longest = 0;
    for (uint32_t i = 0; i < n; ++i)
        if (!st.used[i]) longest = std::max(longest, st.seq(i).size());
    // Bit-sliced counts hold up to 255 shared words.
    if (longest < 250) {
        bitmap_ranker ranker(st, cores, settings.align_single_cores);
        align_all(st, settings, cores, ranker, out);
    } else {
        word_ranker ranker(st, cores);
        align_all(st, settings, cores, ranker, out);
    }
}

namespace {

template <class Ranker>
void align_all(const cluster_state& st, const cluster_settings& settings, const std::vector<uint32_t>& cores, Ranker& ranker,
               out_stream& out) {
    const uint32_t n = st.num_entries;
    const cluster_progress progress = cluster_progress_for(n, "entries");
    candidate_scorer scorer;
    std::vector<int> scores;
    int64_t aligned = 0, unaligned = 0, score_sum = 0;
    struct hit {
        uint32_t seq;
        uint32_t core;
        int score;
    };
    std::vector<hit> hits;
    const size_t top_n = static_cast<size_t>(settings.align_top_n);

    // Sequences are ranked a batch at a time, then aligned in index order.
    const size_t batch_size = std::clamp<size_t>((size_t{1} << 20) / std::max<size_t>(top_n, 1), 1, 256);
    std::vector<uint32_t> batch;
    std::vector<std::vector<int>> batch_words;
    std::vector<std::vector<candidate>> tops;
    auto flush = [&] {
        batch_words.resize(batch.size());
        for (size_t q = 0; q < batch.size(); ++q) words_of(st.seq(batch[q]), batch_words[q]);
        ranker.rank_batch(batch_words, top_n, tops);
        // The candidates' texts lie all over the table: their offsets are
        // fetched eight sequences ahead, the texts four ahead.
        auto fetch_offsets = [&](size_t q) {
            for (const candidate& c : tops[q]) cluster_prefetch(&st.start[cores[c.index]]);
        };
        auto fetch_texts = [&](size_t q) {
            for (const candidate& c : tops[q]) cluster_prefetch(st.arena.data() + st.start[cores[c.index]]);
        };
        for (size_t q = 0; q < std::min<size_t>(8, batch.size()); ++q) fetch_offsets(q);
        for (size_t q = 0; q < batch.size(); ++q) {
            if (q + 8 < batch.size()) fetch_offsets(q + 8);
            if (q + 4 < batch.size()) fetch_texts(q + 4);
            const uint32_t i = batch[q];
            std::string_view s = st.seq(i);
            // Aligned from the weakest candidate up; of equal scores the
            // first aligned stays.
            scorer.score(st, cores, tops[q], s, scores);
            int best = 0;
            uint32_t best_rank = UINT32_MAX;
            for (size_t c = 0; c < tops[q].size(); ++c)
                if (scores[c] > best) best = scores[c], best_rank = tops[q][c].index;
            if (best >= settings.align_score_cutoff && best_rank != UINT32_MAX) {
                ++aligned;
                hits.push_back({i, cores[best_rank], best});
            } else {
                ++unaligned;
            }
            score_sum += best;
        }
        batch.clear();
    };
    for (uint32_t i = 0; i < n; ++i) {
        if (!st.used[i]) {
            batch.push_back(i);
            if (batch.size() == batch_size) flush();
        }
        progress.at(i);
    }
    flush();
    const int64_t average = aligned + unaligned == 0 ? 0 : score_sum / (aligned + unaligned);

    out.printf("#Alignment score cutoff: %d\tAligned top %d candidates\n", settings.align_score_cutoff, settings.align_top_n);
    out.printf("#Aligned sequences: %lld\tUnaligned sequences: %lld\n", static_cast<long long>(aligned), static_cast<long long>(unaligned));
    out.printf("#Average best-alignment score: %lld\n", static_cast<long long>(average));
    out.put("#Core sequence\tCore count\tAligning sequence\tAlign seq count\tScore\n");
    for (const hit& h : hits) {
        out.put(st.seq(h.core));
        out.put('\t');
        out.put_int(st.count[st.rep[h.core]]);
        out.put('\t');
        out.put(st.seq(h.seq));
        out.put('\t');
        out.put_int(st.count[h.seq]);
        out.put('\t');
        out.put_int(h.score);
        out.put('\n');
    }
}

}  // namespace
