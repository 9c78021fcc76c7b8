#include "map/whole.h"

#include <algorithm>
#include <utility>

#include "align/kernels.h"
#include "dna/letters.h"
#include "io/error.h"
#include "containers/mix.h"

namespace {

using kernel_layout::short_words;
constexpr size_t block_letters = short_words * 16;  // 4 bits a letter
uint64_t mix(uint64_t x) { return hash_mix64(x); }

size_t blocks_of(size_t length) { return (length + block_letters - 1) / block_letters; }

}  // namespace

size_t whole_index::read_sequence(std::string_view sequence, uint64_t keys[3], bool intact[3],
                                  std::vector<uint64_t>* blocks) {
    size_t length = sequence.size();
    uint64_t* packed = nullptr;
    if (blocks != nullptr) {
        size_t first = blocks->size();
        blocks->resize(first + blocks_of(length) * short_words, 0);
        packed = blocks->data() + first;
    }
    size_t others = 0;
    for (int k = 0; k < 3; ++k) {
        part p = part_of(length, k);
        // The length and the part's number keep parts of different lengths apart.
        uint64_t key = mix(length * 4 + static_cast<uint64_t>(k));
        uint64_t chunk = 0;
        size_t in_chunk = 0;
        bool clean = true;
        for (size_t j = p.begin; j < p.end; ++j) {
            uint8_t code = dna::code_of(sequence[j]);
            if (code >= dna::n_code) {
                clean = false;
                ++others;
                continue;
            }
            if (packed != nullptr) packed[j / 16] |= uint64_t{1} << (4 * (j % 16) + code);
            chunk = chunk << 2 | code;
            if (++in_chunk == 32) {
                key = mix(key ^ chunk);
                chunk = 0;
                in_chunk = 0;
            }
        }
        keys[k] = mix(key ^ chunk ^ (in_chunk << 58));
        intact[k] = clean;
    }
    return others;
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
        uint64_t keys[3];
        bool intact[3];
        size_t blocks_before = blocks_.size();
        if (read_sequence(sequence, keys, intact, &blocks_) > max_substitutions) {
            blocks_.resize(blocks_before);
            ++unmatchable_;
            continue;
        }
        // A part with another character can never be intact in a match.
        for (int k = 0; k < 3; ++k)
            if (intact[k]) keyed.push_back({keys[k], barcode});
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
    for (size_t slot = key & table_mask_; table_[slot].used != 0; slot = (slot + 1) & table_mask_)
        if (table_[slot].key == key) return &table_[slot];
    return nullptr;
}

void whole_index::start(std::string_view core, probe& p) const {
    p.blocks.clear();
    p.length = core.size();
    p.searchable = read_sequence(core, p.keys, p.intact, &p.blocks) <= max_substitutions;
    if (!p.searchable) return;
    for (int k = 0; k < 3; ++k)
        if (p.intact[k]) __builtin_prefetch(&table_[p.keys[k] & table_mask_]);
}

void whole_index::gather(probe& p) const {
    p.candidates.clear();
    if (!p.searchable) return;
    auto take = [&](const entry& barcode) {
        if (barcode.length != p.length) return;
        p.candidates.push_back(barcode);
        __builtin_prefetch(&blocks_[size_t{barcode.first_block} * short_words]);
    };
    for (int k = 0; k < 3; ++k) {
        if (!p.intact[k]) continue;
        const bucket* found = lookup(p.keys[k]);
        if (found == nullptr) continue;
        take(found->first);
        for (uint32_t at = found->more_start; at < found->more_end; ++at) take(more_[at]);
    }
    // A barcode agreeing on two or three parts is met more than once.
    std::sort(p.candidates.begin(), p.candidates.end(),
              [](const entry& a, const entry& b) { return a.position < b.position; });
    p.candidates.erase(std::unique(p.candidates.begin(), p.candidates.end(),
                                   [](const entry& a, const entry& b) { return a.position == b.position; }),
                       p.candidates.end());
}

whole_match whole_index::best(const probe& p) const {
    if (p.candidates.empty()) return whole_match{};
    size_t blocks = blocks_of(p.length);
    item_core_.clear();
    item_seq_.clear();
    for (const entry& c : p.candidates)
        for (size_t b = 0; b < blocks; ++b) {
            item_core_.push_back(static_cast<uint32_t>(b));
            item_seq_.push_back(c.first_block + static_cast<uint32_t>(b));
        }
    shared_.resize(item_core_.size());
    kernels_.short_counts(p.blocks.data(), item_core_.data(), blocks_.data(), item_seq_.data(), item_core_.size(),
                          shared_.data());

    whole_match best;
    int fewest = max_substitutions + 1;
    bool tie = false;
    for (size_t c = 0; c < p.candidates.size(); ++c) {
        int agree = 0;
        for (size_t b = 0; b < blocks; ++b) agree += shared_[c * blocks + b];
        int substitutions = static_cast<int>(p.length) - agree;
        if (substitutions < fewest) {
            fewest = substitutions;
            best.position = p.candidates[c].position;
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
    probe p;
    start(core, p);
    gather(p);
    return best(p);
}

void map_match_whole_barcodes(const barcode_table& barcodes, const cluster_table& clusters, match_state& state) {
    warn("Performing whole-barcode matches...\n");
    whole_index index(barcodes.barcode_sequences);
    if (index.unmatchable() > 0)
        warn("Warning: %zu barcodes hold more than two letters other than A, C, G and T and cannot be matched whole\n",
             index.unmatchable());
    static constexpr match_category kinds[] = {MATCH_CONTAIN, MATCH_MM1, MATCH_MM2};
    size_t matched = 0;
    // Each core is started 16 cores ahead, its candidates gathered 8 ahead,
    // and it is compared when its turn comes; a ring of probes holds the
    // cores in between.
    constexpr size_t start_ahead = 16, gather_ahead = 8;
    std::vector<whole_index::probe> ring(start_ahead + 1);
    size_t n = clusters.size();
    auto core = [&](size_t i) { return std::string_view(clusters.cluster_sequences[i]); };
    auto probe_of = [&](size_t i) -> whole_index::probe& { return ring[i % ring.size()]; };
    for (size_t i = 0; i < std::min(n, start_ahead); ++i) index.start(core(i), probe_of(i));
    for (size_t i = 0; i < std::min(n, gather_ahead); ++i) index.gather(probe_of(i));
    for (size_t i = 0; i < n; ++i) {
        if (i + start_ahead < n) index.start(core(i + start_ahead), probe_of(i + start_ahead));
        if (i + gather_ahead < n) index.gather(probe_of(i + gather_ahead));
        whole_match found = index.best(probe_of(i));
        if (found.position < 0) continue;
        state.match[i] = found.position;
        state.match_type[i] = kinds[found.substitutions];
        ++matched;
    }
    warn("\t%zu of %zu clusters matched whole\n", matched, clusters.size());
}
