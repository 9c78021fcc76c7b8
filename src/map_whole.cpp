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
    std::vector<std::pair<uint64_t, int32_t>> keyed;
    lengths_.reserve(sequences.size());
    first_block_.reserve(sequences.size());
    for (size_t p = 0; p < sequences.size(); ++p) {
        std::string_view sequence = sequences[p];
        lengths_.push_back(static_cast<uint32_t>(sequence.size()));
        first_block_.push_back(static_cast<uint32_t>(blocks_.size() / short_words));
        whole_pack(sequence, blocks_);
        if (non_acgt(sequence) > max_substitutions) {
            ++unmatchable_;
            continue;
        }
        // A part with another character can never be intact in a match.
        for (int k = 0; k < 3; ++k) {
            uint64_t key;
            if (part_key(sequence, k, key)) keyed.emplace_back(key, static_cast<int32_t>(p));
        }
    }
    std::sort(keyed.begin(), keyed.end());
    size_t distinct = 0;
    for (size_t k = 0; k < keyed.size(); ++k) distinct += k == 0 || keyed[k].first != keyed[k - 1].first;
    size_t slots = 16;
    while (slots < 2 * distinct) slots *= 2;
    table_.assign(slots, bucket{0, 0, 0});
    positions_.reserve(keyed.size());
    for (size_t k = 0; k < keyed.size();) {
        size_t end = k;
        while (end < keyed.size() && keyed[end].first == keyed[k].first) positions_.push_back(keyed[end++].second);
        size_t slot = keyed[k].first & (slots - 1);
        while (table_[slot].end != 0) slot = (slot + 1) & (slots - 1);
        table_[slot] = bucket{keyed[k].first, static_cast<uint32_t>(k), static_cast<uint32_t>(end)};
        k = end;
    }
}

const whole_index::bucket* whole_index::lookup(uint64_t key) const {
    size_t mask = table_.size() - 1;
    for (size_t slot = key & mask; table_[slot].end != 0; slot = (slot + 1) & mask)
        if (table_[slot].key == key) return &table_[slot];
    return nullptr;
}

whole_match whole_index::find(std::string_view core) const {
    whole_match best;
    if (non_acgt(core) > max_substitutions) return best;
    // Scratch of one search; the index itself stays read-only.
    thread_local std::vector<uint64_t> core_blocks;
    thread_local std::vector<int32_t> candidates;
    thread_local std::vector<uint32_t> item_core, item_seq;
    thread_local std::vector<int> shared;
    candidates.clear();
    for (int k = 0; k < 3; ++k) {
        uint64_t key;
        if (!part_key(core, k, key)) continue;
        const bucket* found = lookup(key);
        if (found == nullptr) continue;
        for (uint32_t at = found->start; at < found->end; ++at)
            if (lengths_[static_cast<size_t>(positions_[at])] == core.size()) candidates.push_back(positions_[at]);
    }
    if (candidates.empty()) return best;
    // A barcode agreeing on two or three parts is met more than once.
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    core_blocks.clear();
    whole_pack(core, core_blocks);
    size_t blocks = blocks_of(core.size());
    item_core.clear();
    item_seq.clear();
    for (int32_t c : candidates)
        for (size_t b = 0; b < blocks; ++b) {
            item_core.push_back(static_cast<uint32_t>(b));
            item_seq.push_back(first_block_[static_cast<size_t>(c)] + static_cast<uint32_t>(b));
        }
    shared.resize(item_core.size());
    kernels_.short_counts(core_blocks.data(), item_core.data(), blocks_.data(), item_seq.data(), item_core.size(),
                          shared.data());

    int fewest = max_substitutions + 1;
    bool tie = false;
    for (size_t c = 0; c < candidates.size(); ++c) {
        int agree = 0;
        for (size_t b = 0; b < blocks; ++b) agree += shared[c * blocks + b];
        int substitutions = static_cast<int>(core.size()) - agree;
        if (substitutions < fewest) {
            fewest = substitutions;
            best.position = candidates[c];
            tie = false;
        } else if (substitutions == fewest) {
            tie = true;
        }
    }
    if (tie || fewest > max_substitutions) return whole_match{};
    best.substitutions = fewest;
    return best;
}

void match_whole_barcodes(const barcode_table& barcodes, const cluster_table& clusters, match_state& state) {
    warn("Performing whole-barcode matches...\n");
    whole_index index(barcodes.barcode_sequences);
    if (index.unmatchable() > 0)
        warn("Warning: %zu barcodes hold more than two letters other than A, C, G and T and cannot be matched whole\n",
             index.unmatchable());
    static constexpr match_category kinds[] = {MATCH_CONTAIN, MATCH_MM1, MATCH_MM2};
    size_t matched = 0;
    for (size_t i = 0; i < clusters.size(); ++i) {
        whole_match found = index.find(clusters.cluster_sequences[i]);
        if (found.position < 0) continue;
        state.match[i] = found.position;
        state.match_type[i] = kinds[found.substitutions];
        ++matched;
    }
    warn("\t%zu of %zu clusters matched whole\n", matched, clusters.size());
}
