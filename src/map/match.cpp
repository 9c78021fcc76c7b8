#include "map/match.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>

#include "align/alignment.h"
#include "dna/letters.h"
#include "io/error.h"
#include "map/align.h"

namespace {

// A core changed in place, with the letter codes of its word kept in step,
// so that most look-ups cost one probe of an integer table.
class word_probe {
public:
    word_probe(const word_index& words, const std::string& core) : words_(words), text_(core) {
        for (size_t j = 0; j < text_.size(); ++j) {
            uint8_t letter = dna::code_of(text_[j]);
            if (letter == dna::other_code) ++odd_letters_;
            code_ |= static_cast<uint64_t>(letter) << (3 * j);
        }
    }

    void put(size_t j, char c) {
        uint8_t before = dna::code_of(text_[j]);
        uint8_t after = dna::code_of(c);
        odd_letters_ += (after == dna::other_code) - (before == dna::other_code);
        code_ = (code_ & ~(static_cast<uint64_t>(7) << (3 * j))) | (static_cast<uint64_t>(after) << (3 * j));
        text_[j] = c;
    }

    int32_t look() const {
        if (odd_letters_ == 0) return words_.find_code(code_);
        return words_.has_odd_words() ? words_.find(text_) : -1;
    }

private:
    const word_index& words_;
    std::string text_;
    uint64_t code_ = 0;
    int odd_letters_ = 0;
};

// The coded form of a core made only of A, C, G, T and N; false otherwise.
bool code_of(const std::string& core, uint64_t& code) {
    code = 0;
    for (size_t j = 0; j < core.size(); ++j) {
        uint8_t letter = dna::code_of(core[j]);
        if (letter == dna::other_code) return false;
        code |= static_cast<uint64_t>(letter) << (3 * j);
    }
    return true;
}

// The same answer as trying every change in order, found from the words
// that share a block of letters with the core: of the words one change away
// the one whose change comes first in the search order, else likewise of the
// words two changes away. In a coded word a letter's code is its rank in the
// search alphabet.
int32_t find_near_code(const word_index& words, uint64_t code, match_category& category) {
    int32_t found = words.find_code(code);
    if (found >= 0) {
        category = MATCH_CONTAIN;
        return found;
    }
    constexpr uint64_t lowest_bits = 0x9249249249249ULL;  // bit 0 of each of 18 letters
    uint32_t first_one = UINT32_MAX, first_two = UINT32_MAX;
    int32_t one = -1, two = -1;
    words.visit_block_neighbours(code, [&](uint64_t word, int32_t position) {
        uint64_t differ = word ^ code;
        uint64_t places = (differ | differ >> 1 | differ >> 2) & lowest_bits;
        // One or two places changed, told apart without a popcount (which
        // the baseline processor lacks): clearing the lowest bit leaves none,
        // or a single one.
        const uint64_t rest = places & (places - 1);
        const int changes = places == 0 ? 0 : rest == 0 ? 1 : (rest & (rest - 1)) == 0 ? 2 : 3;
        if (changes == 1) {
            auto j = static_cast<uint32_t>(__builtin_ctzll(places));
            uint32_t key = j / 3 * 8 + static_cast<uint32_t>((word >> j) & 7);
            if (key < first_one) first_one = key, one = position;
        } else if (changes == 2) {
            auto j = static_cast<uint32_t>(__builtin_ctzll(places));
            auto j2 = static_cast<uint32_t>(63 - __builtin_clzll(places));
            uint32_t key = ((j / 3 * 8 + static_cast<uint32_t>((word >> j) & 7)) * 32 + j2 / 3) * 8 +
                           static_cast<uint32_t>((word >> j2) & 7);
            if (key < first_two) first_two = key, two = position;
        }
    });
    category = one >= 0 ? MATCH_MM1 : two >= 0 ? MATCH_MM2 : MATCH_NONE;
    return one >= 0 ? one : two;
}

}  // namespace

int32_t map_find_near_word(const word_index& words, const std::string& core, match_category& category) {
    uint64_t code;
    if (core.size() == static_cast<size_t>(word_index::nmer) && !words.has_odd_words() && code_of(core, code))
        return find_near_code(words, code, category);
    return map_find_near_word_by_changes(words, core, category);
}

int32_t map_find_near_word_by_changes(const word_index& words, const std::string& core, match_category& category) {
    category = MATCH_NONE;
    word_probe probe(words, core);
    int32_t found = probe.look();
    if (found >= 0) {
        category = MATCH_CONTAIN;
        return found;
    }
    // Lower places first, and at each place the letters in alphabet order.
    size_t length = core.size();
    for (size_t j = 0; j < length; ++j) {
        for (const char* a = dna::letters; *a != 0; ++a) {
            if (*a == core[j]) continue;
            probe.put(j, *a);
            found = probe.look();
            if (found >= 0) {
                category = MATCH_MM1;
                return found;
            }
        }
        probe.put(j, core[j]);
    }
    for (size_t j = 0; j < length; ++j) {
        for (const char* a = dna::letters; *a != 0; ++a) {
            if (*a == core[j]) continue;
            probe.put(j, *a);
            for (size_t j2 = j + 1; j2 < length; ++j2) {
                for (const char* b = dna::letters; *b != 0; ++b) {
                    if (*b == core[j2]) continue;
                    probe.put(j2, *b);
                    found = probe.look();
                    if (found >= 0) {
                        category = MATCH_MM2;
                        return found;
                    }
                }
                probe.put(j2, core[j2]);
            }
        }
        probe.put(j, core[j]);
    }
    return -1;
}

bool map_word_phase_needed(const barcode_table& barcodes, const cluster_table& clusters, const match_state& state) {
    if (barcodes.barcode_sequences.size() == 0) return false;
    size_t first_length = barcodes.barcode_sequences[0].size();
    for (size_t i = 0; i < clusters.size(); ++i) {
        if (state.match[i] >= 0) continue;
        size_t length = clusters.cluster_sequences[i].size();
        if (length > first_length) return false;
        if (length == static_cast<size_t>(word_index::nmer)) return true;
    }
    return false;
}

void map_match_by_mismatches(const barcode_table& barcodes, const word_index& words, const cluster_table& clusters,
                             match_state& state) {
    warn("Performing mismatch matches...\n");
    // Without barcodes nothing can match, and there is no first barcode to
    // test the lengths against.
    if (barcodes.barcode_sequences.size() == 0) return;
    size_t first_length = barcodes.barcode_sequences[0].size();
    for (size_t i = 0; i < clusters.size(); ++i) {
        // Clusters matched whole are not looked at, nor do they end the phase.
        if (state.match[i] >= 0) continue;
        const std::string& core = clusters.cluster_sequences[i];
        if (core.size() > first_length) {
            warn("\tSkipping (clusters longer than barcodes)\n");
            return;
        }
        // Every word is nmer letters long, so no other core can be found.
        if (core.size() != static_cast<size_t>(word_index::nmer)) continue;
        match_category category;
        int32_t found = map_find_near_word(words, core, category);
        if (found < 0) continue;
        state.match[i] = found;
        state.match_type[i] = category;
    }
}

namespace {

// "score:core as aligned:mismatches:inserts:deletes" for each barcode, joined by ";".
std::string describe_alignments(const std::vector<std::string>& sequences, const std::string& core,
                                const std::vector<int32_t>& positions) {
    std::string description;
    for (size_t k = 0; k < positions.size(); ++k) {
        alignment* a = align(sequences[static_cast<size_t>(positions[k])].c_str(), core.c_str(), -1, 5, -1);
        if (k > 0) description += ';';
        description += std::to_string(a->score);
        description += ':';
        description += a->seq2;
        description += ':' + std::to_string(a->mismatches) + ':' + std::to_string(a->inserts) + ':' +
                       std::to_string(a->deletes);
        alignment_destroy(a);
    }
    return description;
}

}  // namespace

void map_align_against_barcode_sequences(const barcode_table& barcodes, const cluster_table& clusters,
                                         const alignment_settings& settings, match_state& state) {
    warn("Aligning remaining sequences");
    if (settings.align_top_n > 0) warn(" (top %d candidates only)", settings.align_top_n);
    warn("...\n");

    const std::vector<std::string>& sequences = barcodes.barcode_sequences.texts();
    bool ranked = settings.align_top_n > 0;
    barcode_aligner aligner(sequences, settings.wide_vectors);
    std::unique_ptr<shared_word_ranking> ranking;
    if (ranked && !settings.search) ranking = std::make_unique<shared_word_ranking>(sequences);
    map_alignment_search search = settings.search ? settings.search(sequences, settings.align_top_n) : nullptr;

    long long num_clusters = static_cast<long long>(clusters.size());
    long long step = std::max(1LL, num_clusters / 10);
    std::vector<int32_t> candidates;
    best_barcodes best;
    for (long long i = 0; i < num_clusters; ++i) {
        if (i % step == 0) warn("\t%lld of %lld entries [%lld%%]\n", i, num_clusters, 10 * i / step);
        auto c = static_cast<size_t>(i);
        if (state.match[c] >= 0 || clusters.cluster_totals[c] < settings.align_count_minimum) continue;
        const std::string& core = clusters.cluster_sequences[c];
        if (search) {
            search(core, best);
        } else if (ranked) {
            ranking->top(core, settings.align_top_n, candidates);
            aligner.best_of(core, candidates, best);
        } else {
            aligner.best_of_all(core, best);
        }
        if (best.positions.empty()) continue;
        std::sort(best.positions.begin(), best.positions.end(), [&sequences](int32_t a, int32_t b) {
            return sequences[static_cast<size_t>(a)] < sequences[static_cast<size_t>(b)];
        });
        state.match_type[c] = best.positions.size() > 1 ? MATCH_ALIGNMULTIPLE : MATCH_ALIGN;
        state.match[c] = best.positions[0];
        state.match_alignment[c] = describe_alignments(sequences, core, best.positions);
        state.match_all[c] = best.positions;
    }
}
