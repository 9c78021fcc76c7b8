#include "map_whole.h"

#include <algorithm>
#include <utility>

#include "alignment_kernels.h"
#include "error.h"

namespace {

using kernel_layout::short_words;
constexpr size_t block_letters = short_words * 16;  // 4 bits a letter

uint8_t two_bits(char c) {
    switch (c) {
        case 'A': return 0;
        case 'C': return 1;
        case 'G': return 2;
        case 'T': return 3;
        default: return 4;
    }
}

uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

size_t blocks_of(size_t length) { return (length + block_letters - 1) / block_letters; }

size_t non_acgt(std::string_view text) {
    size_t odd = 0;
    for (char c : text) odd += two_bits(c) == 4;
    return odd;
}

}  // namespace

void whole_pack(std::string_view text, std::vector<uint64_t>& words) {
    size_t first = words.size();
    words.resize(first + blocks_of(text.size()) * short_words, 0);
    for (size_t j = 0; j < text.size(); ++j) {
        uint8_t code = two_bits(text[j]);
        if (code < 4) words[first + j / 16] |= uint64_t{1} << (4 * (j % 16) + code);
    }
}

bool whole_index::part_key(std::string_view sequence, int k, uint64_t& key) {
    part p = part_of(sequence.size(), k);
    // The length and the part's number keep parts of different lengths apart.
    key = mix(sequence.size() * 4 + static_cast<uint64_t>(k));
    uint64_t chunk = 0;
    size_t in_chunk = 0;
    for (size_t j = p.begin; j < p.end; ++j) {
        uint8_t code = two_bits(sequence[j]);
        if (code == 4) return false;
        chunk = chunk << 2 | code;
        if (++in_chunk == 32) {
            key = mix(key ^ chunk);
            chunk = 0;
            in_chunk = 0;
        }
    }
    key = mix(key ^ chunk ^ (in_chunk << 58));
    return true;
}

whole_index::whole_index(const ordered_texts& sequences)
    : kernels_(alignment_kernels_for(isa_best())) {
    struct keyed_entry {
        uint64_t key;
        entry barcode;
    };
    std::vector<keyed_entry> keyed;
    for (size_t p = 0; p < sequences.size(); ++p) {
        std::string_view sequence = sequences[p];
        entry barcode{static_cast<int32_t>(p), static_cast<uint32_t>(sequence.size()),
                      static_cast<uint32_t>(blocks_.size() / short_words)};
        if (non_acgt(sequence) > max_substitutions) {
            ++unmatchable_;
            continue;
        }
        whole_pack(sequence, blocks_);
        // A part with another character can never be intact in a match.
        for (int k = 0; k < 3; ++k) {
            uint64_t key;
            if (part_key(sequence, k, key)) keyed.push_back({key, barcode});
        }
    }
    std::sort(keyed.begin(), keyed.end(), [](const keyed_entry& a, const keyed_entry& b) {
        return a.key != b.key ? a.key < b.key : a.barcode.position < b.barcode.position;
    });
    size_t distinct = 0;
    for (size_t k = 0; k < keyed.size(); ++k) distinct += k == 0 || keyed[k].key != keyed[k - 1].key;
    size_t slots = 16;
    while (slots < 2 * distinct) slots *= 2;
    table_memory_ = count::table_memory(slots * sizeof(bucket));
    table_ = reinterpret_cast<bucket*>(table_memory_.get());
    table_mask_ = slots - 1;
    for (size_t k = 0; k < keyed.size();) {
        size_t end = k + 1;
        auto more_start = static_cast<uint32_t>(more_.size());
        while (end < keyed.size() && keyed[end].key == keyed[k].key) more_.push_back(keyed[end++].barcode);
        size_t slot = keyed[k].key & (slots - 1);
        while (table_[slot].used != 0) slot = (slot + 1) & (slots - 1);
        table_[slot] = bucket{keyed[k].key, keyed[k].barcode, more_start, static_cast<uint32_t>(more_.size()), 1};
        k = end;
    }
}

const whole_index::bucket* whole_index::lookup(uint64_t key) const {
    size_t mask = table_mask_;
    for (size_t slot = key & mask; table_[slot].used != 0; slot = (slot + 1) & mask)
        if (table_[slot].key == key) return &table_[slot];
    return nullptr;
}

void whole_index::prefetch(std::string_view core) const {
    size_t mask = table_mask_;
    for (int k = 0; k < 3; ++k) {
        uint64_t key;
        if (part_key(core, k, key)) __builtin_prefetch(&table_[key & mask]);
    }
}

void whole_index::gather(std::string_view core, std::vector<entry>& candidates) const {
    candidates.clear();
    if (non_acgt(core) > max_substitutions) return;
    auto take = [&](const entry& barcode) {
        if (barcode.length != core.size()) return;
        candidates.push_back(barcode);
        __builtin_prefetch(&blocks_[size_t{barcode.first_block} * short_words]);
    };
    for (int k = 0; k < 3; ++k) {
        uint64_t key;
        if (!part_key(core, k, key)) continue;
        const bucket* found = lookup(key);
        if (found == nullptr) continue;
        take(found->first);
        for (uint32_t at = found->more_start; at < found->more_end; ++at) take(more_[at]);
    }
    // A barcode agreeing on two or three parts is met more than once.
    std::sort(candidates.begin(), candidates.end(),
              [](const entry& a, const entry& b) { return a.position < b.position; });
    candidates.erase(std::unique(candidates.begin(), candidates.end(),
                                 [](const entry& a, const entry& b) { return a.position == b.position; }),
                     candidates.end());
}

whole_match whole_index::best(std::string_view core, const std::vector<entry>& candidates) const {
    if (candidates.empty()) return whole_match{};
    core_blocks_.clear();
    whole_pack(core, core_blocks_);
    size_t blocks = blocks_of(core.size());
    item_core_.clear();
    item_seq_.clear();
    for (const entry& c : candidates)
        for (size_t b = 0; b < blocks; ++b) {
            item_core_.push_back(static_cast<uint32_t>(b));
            item_seq_.push_back(c.first_block + static_cast<uint32_t>(b));
        }
    shared_.resize(item_core_.size());
    kernels_.short_counts(core_blocks_.data(), item_core_.data(), blocks_.data(), item_seq_.data(), item_core_.size(),
                          shared_.data());

    whole_match best;
    int fewest = max_substitutions + 1;
    bool tie = false;
    for (size_t c = 0; c < candidates.size(); ++c) {
        int agree = 0;
        for (size_t b = 0; b < blocks; ++b) agree += shared_[c * blocks + b];
        int substitutions = static_cast<int>(core.size()) - agree;
        if (substitutions < fewest) {
            fewest = substitutions;
            best.position = candidates[c].position;
            tie = false;
        } else if (substitutions == fewest) {
            tie = true;
        }
    }
    if (tie || fewest > max_substitutions) return whole_match{};
    best.substitutions = fewest;
    return best;
}

whole_match whole_index::find(std::string_view core) const {
    std::vector<entry> candidates;
    gather(core, candidates);
    return best(core, candidates);
}

void match_whole_barcodes(const barcode_table& barcodes, const cluster_table& clusters, match_state& state) {
    warn("Performing whole-barcode matches...\n");
    whole_index index(barcodes.barcode_sequences);
    if (index.unmatchable() > 0)
        warn("Warning: %zu barcodes hold more than two letters other than A, C, G and T and cannot be matched whole\n",
             index.unmatchable());
    static constexpr match_category kinds[] = {MATCH_CONTAIN, MATCH_MM1, MATCH_MM2};
    size_t matched = 0;
    // Each core's table slots are asked for 16 cores ahead, its candidates
    // gathered 8 ahead, and it is compared when its turn comes; a ring of
    // candidate lists holds the cores in between.
    constexpr size_t slots_ahead = 16, gather_ahead = 8;
    std::vector<std::vector<whole_index::entry>> ring(gather_ahead + 1);
    size_t n = clusters.size();
    auto core = [&](size_t i) { return std::string_view(clusters.cluster_sequences[i]); };
    for (size_t i = 0; i < std::min(n, slots_ahead); ++i) index.prefetch(core(i));
    for (size_t i = 0; i < std::min(n, gather_ahead); ++i) index.gather(core(i), ring[i % ring.size()]);
    for (size_t i = 0; i < n; ++i) {
        if (i + slots_ahead < n) index.prefetch(core(i + slots_ahead));
        if (i + gather_ahead < n) index.gather(core(i + gather_ahead), ring[(i + gather_ahead) % ring.size()]);
        whole_match found = index.best(core(i), ring[i % ring.size()]);
        if (found.position < 0) continue;
        state.match[i] = found.position;
        state.match_type[i] = kinds[found.substitutions];
        ++matched;
    }
    warn("\t%zu of %zu clusters matched whole\n", matched, clusters.size());
}
