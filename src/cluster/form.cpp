// Cores with their 1-mismatch members, then 2-mismatch members.
#include <algorithm>
#include <cstring>

#include "cluster/cluster_internal.h"
#include "containers/radix_sort.h"
#include "dna/letters.h"
#include "io/error.h"
#include "io/text.h"

namespace {

struct list_view {
    uint32_t* index;
    int64_t* value;
    uint32_t size;
};

list_view list_of(cluster_state& st, uint32_t i) {
    return {st.nb_index.data() + st.nb_start[i], st.nb_value.data() + st.nb_start[i], st.nb_size[i]};
}

// The sequence with the most neighbours among i and its neighbours that are
// not placed yet; i wins ties, then the first neighbour in key order.
uint32_t nominee(cluster_state& st, uint32_t i) {
    list_view l = list_of(st, i);
    int32_t max_mmc = st.mm1_counts[i];
    uint32_t best = i;
    for (uint32_t k = 0; k < l.size; ++k) {
        uint32_t j = l.index[k];
        if (st.mm1_counts[j] > max_mmc && !st.used[j]) {
            max_mmc = st.mm1_counts[j];
            best = j;
        }
    }
    return best;
}

// The passes below read the tables of each sequence's neighbours, which lie
// anywhere in tables far larger than the caches: they are prefetched for the
// sequences some steps ahead, in stages where one read needs another.
template <class Visit>
void for_neighbours(const cluster_state& st, uint32_t i, Visit&& visit) {
    const uint32_t* index = st.nb_index.data() + st.nb_start[i];
    for (uint32_t k = 0; k < st.nb_size[i]; ++k) visit(index[k]);
}

bool is_member(const cluster_state& st, uint32_t i) { return !st.core[i] && st.used[i]; }

// Only members share, and only with cores: the wide tables of a neighbour
// are fetched once its flag (a small table) shows it is a core. A prefetch
// into a table far larger than the TLB's reach costs a page walk even when
// its line is never read.
void prefetch_shares(const cluster_state& st, uint32_t i, int stage) {
    if (!is_member(st, i)) return;
    if (stage == 0) {
        for_neighbours(st, i, [&](uint32_t j) { cluster_prefetch(&st.core[j]); });
        return;
    }
    for_neighbours(st, i, [&](uint32_t j) {
        if (!st.core[j]) return;
        if (stage == 1) {
            cluster_prefetch(&st.count[j]);
            cluster_prefetch(&st.nb_start[j]);
            cluster_prefetch(&st.nb_size[j]);
            cluster_prefetch(&st.totals[j]);
            cluster_prefetch(&st.mm1_totals[j]);
        } else {
            cluster_prefetch(&st.nb_index[st.nb_start[j]]);
            cluster_prefetch(&st.nb_value[st.nb_start[j]]);
        }
    });
}

void form_shared(cluster_state& st) {
    const uint32_t n = st.num_entries;
    constexpr uint32_t ahead = 32;
    for (uint32_t i = 0; i < n; ++i) {
        if (i + ahead < n) for_neighbours(st, i + ahead, [&](uint32_t j) {
                cluster_prefetch(&st.mm1_counts[j]);
                cluster_prefetch(&st.used[j]);
            });
        if (st.core[i] || st.nb_size[i] == 0) continue;
        // A look-up by sequence finds the first copy of a repeated sequence.
        uint32_t c = st.rep[nominee(st, i)];
        if (st.used[c]) continue;
        st.used[c] = 1;
        st.core[c] = 1;
        list_view l = list_of(st, c);
        for (uint32_t k = 0; k < l.size; ++k) st.used[l.index[k]] = 1;
    }
    // A member next to several cores is split by the cores' own counts.
    for (uint32_t i = 0; i < n; ++i) {
        for (int stage = 0; stage < 3; ++stage)
            if (i + (3 - stage) * ahead < n) prefetch_shares(st, i + (3 - stage) * ahead, stage);
        if (!is_member(st, i)) continue;
        list_view l = list_of(st, i);
        int64_t core_total = 0;
        for (uint32_t k = 0; k < l.size; ++k)
            if (st.core[l.index[k]]) core_total = add_saturating(core_total, st.count[l.index[k]]);
        const uint32_t key = st.rep[i];
        for (uint32_t k = 0; k < l.size; ++k) {
            uint32_t j = l.index[k];
            if (!st.core[j]) continue;
            int64_t fraction = cluster_share(st.count[i], st.count[j], core_total);
            st.totals[j] = add_saturating(st.totals[j], fraction);
            st.mm1_totals[j] = add_saturating(st.mm1_totals[j], fraction);
            list_view cl = list_of(st, j);
            uint32_t* at = std::find(cl.index, cl.index + cl.size, key);
            if (at != cl.index + cl.size) {
                cl.value[at - cl.index] = fraction;
            } else {
                // Only possible when the neighbour relation is one-sided (odd
                // letters): the core's list must still show what it got.
                st.added.push_back({j, i, fraction});
            }
        }
    }
}

void remove_from(cluster_state& st, uint32_t owner, uint32_t key) {
    list_view l = list_of(st, owner);
    uint32_t* at = std::find(l.index, l.index + l.size, key);
    if (at == l.index + l.size) return;
    size_t k = static_cast<size_t>(at - l.index);
    std::memmove(l.index + k, l.index + k + 1, (l.size - k - 1) * sizeof(uint32_t));
    std::memmove(l.value + k, l.value + k + 1, (l.size - k - 1) * sizeof(int64_t));
    --st.nb_size[owner];
}

void form_single(cluster_state& st) {
    const uint32_t n = st.num_entries;
    for (uint32_t i = 0; i < n; ++i) {
        if (st.used[i]) continue;
        // A later copy of a repeated sequence leads back to the first copy,
        // which may be placed already: it is not made a core twice.
        uint32_t c = st.rep[nominee(st, i)];
        list_view members = list_of(st, c);
        if (st.used[c] || members.size == 0) continue;
        for (uint32_t k = 0; k < members.size; ++k) {
            st.totals[c] = add_saturating(st.totals[c], members.value[k]);
            st.mm1_totals[c] = add_saturating(st.mm1_totals[c], members.value[k]);
        }
        st.used[c] = 1;
        st.core[c] = 1;
        // Each member leaves the lists of its other neighbours (and so does
        // the core), so no later core can claim it.
        const uint32_t core_key = st.rep[c];
        for (uint32_t k = 0; k < st.nb_size[c]; ++k) {
            uint32_t member = st.nb_index[st.nb_start[c] + k];
            st.used[member] = 1;
            for (uint32_t m = 0; m < st.nb_size[member]; ++m) {
                uint32_t their = st.nb_index[st.nb_start[member] + m];
                if (their == core_key) continue;
                remove_from(st, their, member);
                remove_from(st, their, core_key);
            }
        }
    }
}

}  // namespace

void cluster_form_initial(cluster_state& st, bool single_flag) {
    if (single_flag) {
        st.nb_found = st.nb_index;
        form_single(st);
    } else {
        form_shared(st);
    }
}

namespace {

// Whether s with (p -> x) is the core t itself or t with one letter replaced
// by one of ACGTN.
bool is_core_text(std::string_view s, size_t p, unsigned char x, std::string_view t) {
    if (s.size() != t.size()) return false;
    int differ = 0;
    unsigned char theirs = 0;
    for (size_t k = 0; k < s.size(); ++k) {
        unsigned char mine = k == p ? x : static_cast<unsigned char>(s[k]);
        if (mine != static_cast<unsigned char>(t[k])) {
            if (++differ > 1) return false;
            theirs = mine;
        }
    }
    return differ == 0 || dna::is_letter(static_cast<char>(theirs));
}

struct probe {
    uint32_t pos;
    unsigned char letter;
    uint64_t hash;
};

// The texts that s can turn into by one letter of ACGTN; with the core
// itself first when with_whole is set.
void letter_changes(const seq_hasher& hasher, std::string_view s, bool with_whole, std::vector<probe>& out) {
    out.clear();
    const uint64_t base = hasher.sum(s);
    if (with_whole) out.push_back({0, 0, seq_hasher::finish(base, s.size())});
    for (size_t p = 0; p < s.size(); ++p) {
        auto old = static_cast<unsigned char>(s[p]);
        for (char c : std::string_view(dna::letters)) {
            auto a = static_cast<unsigned char>(c);
            if (a != old) out.push_back({static_cast<uint32_t>(p), a, seq_hasher::finish(base + hasher.change(p, old, a), s.size())});
        }
    }
}

// Makes i a 2-mismatch member of the cores in range (unsorted, maybe
// repeated), sharing its count by their own counts.
void place(cluster_state& st, uint32_t i, std::vector<uint32_t>& in_range) {
    if (in_range.empty()) return;
    st.used[i] = 1;
    std::sort(in_range.begin(), in_range.end());
    in_range.erase(std::unique(in_range.begin(), in_range.end()), in_range.end());
    int64_t core_total = 0;
    for (uint32_t c : in_range) core_total = add_saturating(core_total, st.count[c]);
    if (core_total == 0) return;
    for (uint32_t c : in_range) {
        int64_t fraction = cluster_share(st.count[i], st.count[c], core_total);
        st.totals[c] = add_saturating(st.totals[c], fraction);
        st.mm2_totals[c] = add_saturating(st.mm2_totals[c], fraction);
        ++st.mm2_counts[c];
        st.added.push_back({c, i, fraction});
    }
}

// Every core and every 1-letter variant of it in an index; the 1-letter
// variants of each unplaced sequence are looked up in it.
void secondary_by_variants(cluster_state& st, const std::vector<uint32_t>& cores, const std::vector<uint32_t>& unplaced) {
    size_t texts = 0;
    for (uint32_t c : cores) {
        std::string_view s = st.seq(c);
        texts += 1 + 5 * s.size();
        for (char x : s) texts -= dna::is_letter(x);
    }
    // Every core and every 1-letter variant of it, to the core. The index
    // holds hashes only; a hit is checked against the core's letters.
    flat_index index;
    index.reset(texts);
    constexpr size_t ahead = 4;
    std::vector<probe> ring[ahead];
    {
        // Slots are prefetched a few cores ahead of the insertions.
        auto prepare = [&](size_t k) {
            letter_changes(st.hasher, st.seq(cores[k]), true, ring[k % ahead]);
            for (const probe& pr : ring[k % ahead]) index.prefetch(pr.hash);
        };
        for (size_t k = 0; k < std::min(cores.size(), ahead - 1); ++k) prepare(k);
        for (size_t k = 0; k < cores.size(); ++k) {
            if (k + ahead - 1 < cores.size()) prepare(k + ahead - 1);
            for (const probe& pr : ring[k % ahead]) index.insert(pr.hash, cores[k]);
        }
    }

    auto prepare = [&](size_t k) {
        letter_changes(st.hasher, st.seq(unplaced[k]), false, ring[k % ahead]);
        for (const probe& pr : ring[k % ahead]) index.prefetch(pr.hash);
    };
    for (size_t k = 0; k < std::min(unplaced.size(), ahead - 1); ++k) prepare(k);
    std::vector<uint32_t> in_range;
    for (size_t k = 0; k < unplaced.size(); ++k) {
        if (k + ahead - 1 < unplaced.size()) prepare(k + ahead - 1);
        const uint32_t i = unplaced[k];
        std::string_view s = st.seq(i);
        in_range.clear();
        for (const probe& pr : ring[k % ahead]) {
            index.find(pr.hash, [&](uint32_t c) {
                if (is_core_text(s, pr.pos, pr.letter, st.seq(c))) in_range.push_back(c);
                return false;
            });
        }
        place(st, i, in_range);
    }
}

// Whether a 1-letter variant of u (a letter of ACGTN put in) is the core c or
// one of its 1-letter variants: c lies within one position of u, or two
// positions apart where the letters that each side would take from the other
// are of ACGTN.
bool in_range_of(std::string_view u, std::string_view c) {
    if (u.size() != c.size() || u.empty()) return false;
    size_t at[2] = {0, 0};
    int differ = 0;
    for (size_t k = 0; k < u.size(); ++k) {
        if (u[k] == c[k]) continue;
        if (differ == 2) return false;
        at[differ++] = k;
    }
    if (differ < 2) return true;
    auto ok = [](char x) { return dna::is_letter(x); };
    return (ok(c[at[0]]) && ok(u[at[1]])) || (ok(c[at[1]]) && ok(u[at[0]]));
}

// Two sequences within two positions of each other agree on at least two of
// their four quarters, so on one of the six pairs of quarters. The key of a
// pair is the hash of those letters with the others blanked.
constexpr int quarter_pairs = 6;

void quarter_pair_keys(const seq_hasher& hasher, std::string_view s, uint64_t keys[quarter_pairs]) {
    uint64_t quarter[4];
    for (int k = 0; k < 4; ++k) {
        size_t from = s.size() * static_cast<size_t>(k) / 4, to = s.size() * static_cast<size_t>(k + 1) / 4;
        quarter[k] = hasher.sum(s.substr(0, to)) - hasher.sum(s.substr(0, from));
    }
    int n = 0;
    for (int a = 0; a < 4; ++a)
        for (int b = a + 1; b < 4; ++b, ++n) keys[n] = seq_hasher::finish(quarter[a] + quarter[b], s.size() * 8 + static_cast<size_t>(n));
}

// A sequence as the quarters search compares it: its length and word when it
// packs, length 0 when it does not.
struct packed_text {
    uint32_t length = 0;
    uint64_t word = 0;
};

packed_text packed_of(std::string_view s) {
    packed_text p;
    if (cluster_pack(s, p.word)) p.length = static_cast<uint32_t>(s.size());
    return p;
}

bool at_most_two_bits(uint64_t x) {
    x &= x - 1;
    x &= x - 1;
    return x == 0;
}

// The cores by their pairs of quarters. Each slot carries its core's letters,
// packed where they pack: most hits are chance agreements on two quarters
// (more of them the more cores there are), and these are turned down without
// reading the core's text, which lies anywhere in a large arena.
class quarter_index {
public:
    explicit quarter_index(size_t expected) {
        size_t capacity = 16;
        while (capacity < expected + expected / 3 + 1) capacity <<= 1;
        slots_.assign(capacity, slot{});
        mask_ = capacity - 1;
    }
    void prefetch(uint64_t key) const { cluster_prefetch(&slots_[key & mask_]); }
    // Returns how many entries under the same key (as far as the stored
    // bits tell) were there before.
    size_t insert(uint64_t key, uint32_t core, const packed_text& p) {
        size_t pos = key & mask_;
        const uint32_t tag = tag_of(key);
        size_t same = 0;
        while (slots_[pos].core_plus_1 != 0) {
            same += (slots_[pos].check & ~length_bits) == tag;
            pos = (pos + 1) & mask_;
        }
        slots_[pos] = {tag | p.length, core + 1, p.word};
        return same;
    }
    // Calls visit(core, packed core) for each core stored under a key whose
    // stored bits agree with key.
    template <class Visit>
    void find(uint64_t key, Visit&& visit) const {
        size_t pos = key & mask_;
        const uint32_t tag = tag_of(key);
        for (;;) {
            const slot& sl = slots_[pos];
            if (sl.core_plus_1 == 0) return;
            if ((sl.check & ~length_bits) == tag) visit(sl.core_plus_1 - 1, packed_text{sl.check & length_bits, sl.word});
            pos = (pos + 1) & mask_;
        }
    }

private:
    static constexpr uint32_t length_bits = 63;  // packed lengths are at most 32
    struct slot {
        uint32_t check = 0;  // upper key bits, and the packed length in the lowest six
        uint32_t core_plus_1 = 0;
        uint64_t word = 0;
    };
    static uint32_t tag_of(uint64_t key) { return static_cast<uint32_t>(key >> 32) & ~length_bits; }

    std::vector<slot> slots_;
    size_t mask_ = 0;
};

// Cores indexed by their pairs of quarters; each unplaced sequence is
// compared with the cores that share a pair with it. Chosen when those
// groups are small (they grow with constant stretches in the sequences).
bool secondary_by_quarters(cluster_state& st, const std::vector<uint32_t>& cores, const std::vector<uint32_t>& unplaced, bool forced) {
    quarter_index index(cores.size() * quarter_pairs);
    // Keys are worked out and their slots prefetched a few sequences ahead.
    constexpr size_t ahead = 8;
    uint64_t ring[ahead][quarter_pairs];
    {
        auto prepare = [&](size_t k) {
            quarter_pair_keys(st.hasher, st.seq(cores[k]), ring[k % ahead]);
            for (uint64_t key : ring[k % ahead]) index.prefetch(key);
        };
        for (size_t k = 0; k < std::min(cores.size(), ahead - 1); ++k) prepare(k);
        // The sum over keys of the squared number of cores under each.
        double pairs = 0;
        for (size_t k = 0; k < cores.size(); ++k) {
            if (k + ahead - 1 < cores.size()) prepare(k + ahead - 1);
            const packed_text p = packed_of(st.seq(cores[k]));
            for (uint64_t key : ring[k % ahead]) pairs += 2.0 * static_cast<double>(index.insert(key, cores[k], p)) + 1.0;
        }
        if (!forced) {
            // Expected comparisons per unplaced sequence against the look-ups
            // and insertions the variant index would cost.
            double per_sequence = cores.empty() ? 0 : pairs / static_cast<double>(cores.size());
            double variant_cost = 80.0 + 80.0 * static_cast<double>(cores.size()) / static_cast<double>(std::max<size_t>(1, unplaced.size()));
            if (per_sequence > variant_cost) return false;
        }
    }
    auto prepare = [&](size_t k) {
        quarter_pair_keys(st.hasher, st.seq(unplaced[k]), ring[k % ahead]);
        for (uint64_t key : ring[k % ahead]) index.prefetch(key);
    };
    for (size_t k = 0; k < std::min(unplaced.size(), ahead - 1); ++k) prepare(k);
    std::vector<uint32_t> in_range;
    for (size_t k = 0; k < unplaced.size(); ++k) {
        if (k + ahead - 1 < unplaced.size()) prepare(k + ahead - 1);
        const uint32_t i = unplaced[k];
        std::string_view s = st.seq(i);
        const packed_text u = packed_of(s);
        in_range.clear();
        for (uint64_t key : ring[k % ahead]) {
            index.find(key, [&](uint32_t c, const packed_text& p) {
                // Both packed: within two positions is all it takes (every
                // letter is of ACGTN).
                if (u.length != 0 && p.length != 0) {
                    if (u.length == p.length && at_most_two_bits(cluster_letter_differences(u.word ^ p.word, cluster_letter_width(u.length))))
                        in_range.push_back(c);
                } else if (in_range_of(s, st.seq(c))) {
                    in_range.push_back(c);
                }
            });
        }
        place(st, i, in_range);
    }
    return true;
}

// A sequence in the search by sorting.
struct quarter_record {
    uint64_t word;
    uint32_t id;
    uint32_t is_core;
};

class sorted_quarters {
public:
    // budget: the comparisons still allowed, shared by all lengths.
    sorted_quarters(size_t length, size_t& budget) : length_(length), width_(cluster_letter_width(length)), budget_(budget) {
        for (size_t k = 0; k <= 4; ++k) bound_[k] = length * k / 4;
    }

    // Adds to hits every (unplaced, core) pair of [lo, hi), all of this
    // length, that agrees on a pair of quarters and lies within two
    // positions. False when the comparisons would exceed the budget.
    bool search(quarter_record* lo, quarter_record* hi, std::vector<std::pair<uint32_t, uint32_t>>& hits) {
        for (size_t a = 0; a < 4; ++a) {
            for (size_t b = a + 1; b < 4; ++b) {
                const size_t low_bits = width_ * (bound_[b + 1] - bound_[b]);
                auto key = [&](const quarter_record& r) { return field(r.word, a) << low_bits | field(r.word, b); };
                radix_sort(lo, hi, width_ * (bound_[a + 1] - bound_[a]) + low_bits, tmp_, key);
                for (quarter_record* run = lo; run != hi;) {
                    quarter_record* end = run + 1;
                    while (end != hi && key(*end) == key(*run)) ++end;
                    if (!compare(run, end, hits)) return false;
                    run = end;
                }
            }
        }
        return true;
    }

private:
    uint64_t field(uint64_t word, size_t quarter) const {
        const size_t bits = width_ * (bound_[quarter + 1] - bound_[quarter]);
        return (word >> width_ * (length_ - bound_[quarter + 1])) & ((uint64_t{1} << bits) - 1);
    }

    bool compare(const quarter_record* lo, const quarter_record* hi, std::vector<std::pair<uint32_t, uint32_t>>& hits) {
        run_cores_.clear();
        size_t others = 0;
        for (const quarter_record* r = lo; r != hi; ++r) {
            if (r->is_core)
                run_cores_.push_back(*r);
            else
                ++others;
        }
        const size_t work = run_cores_.size() * others;
        if (work > budget_) return false;
        budget_ -= work;
        if (work == 0) return true;
        for (const quarter_record* r = lo; r != hi; ++r) {
            if (r->is_core) continue;
            for (const quarter_record& c : run_cores_)
                if (at_most_two_bits(cluster_letter_differences(r->word ^ c.word, width_))) hits.push_back({r->id, c.id});
        }
        return true;
    }

    size_t length_;
    size_t width_;
    size_t bound_[5];
    size_t& budget_;
    std::vector<quarter_record> tmp_;
    std::vector<quarter_record> run_cores_;
};

// When every core and unplaced sequence packs: for each of the six pairs of
// quarters, the sequences of one length are sorted by the letters of those
// two quarters, and in each run of equal letters every unplaced sequence is
// compared with every core. Sequential passes only, where an index would be
// read at random. False, with nothing changed, when some sequence does not
// pack or the runs hold more comparisons than the variant index would cost.
bool secondary_by_sorting(cluster_state& st, const std::vector<uint32_t>& cores, const std::vector<uint32_t>& unplaced) {
    size_t first[cluster_max_packed_length + 2] = {};
    for (const std::vector<uint32_t>* ids : {&cores, &unplaced}) {
        for (uint32_t i : *ids) {
            uint64_t word;
            if (!cluster_pack(st.seq(i), word)) return false;
            ++first[st.seq(i).size() + 1];
        }
    }
    for (size_t l = 1; l <= cluster_max_packed_length + 1; ++l) first[l] += first[l - 1];
    std::vector<quarter_record> records(first[cluster_max_packed_length + 1]);
    size_t next[cluster_max_packed_length + 1];
    std::copy(first, first + cluster_max_packed_length + 1, next);
    for (const std::vector<uint32_t>* ids : {&cores, &unplaced}) {
        for (uint32_t i : *ids) {
            std::string_view s = st.seq(i);
            quarter_record& r = records[next[s.size()]++];
            cluster_pack(s, r.word);
            r.id = i;
            r.is_core = ids == &cores;
        }
    }
    size_t budget = 80 * (cores.size() + unplaced.size());
    std::vector<std::pair<uint32_t, uint32_t>> hits;
    for (size_t l = 1; l <= cluster_max_packed_length; ++l) {
        sorted_quarters search(l, budget);
        if (!search.search(records.data() + first[l], records.data() + first[l + 1], hits)) return false;
    }
    std::vector<quarter_record>().swap(records);
    std::sort(hits.begin(), hits.end());
    std::vector<uint32_t> in_range;
    size_t h = 0;
    for (uint32_t i : unplaced) {
        in_range.clear();
        for (; h < hits.size() && hits[h].first == i; ++h) in_range.push_back(hits[h].second);
        place(st, i, in_range);
    }
    return true;
}

}  // namespace

void cluster_form_secondary(cluster_state& st, secondary_search how) {
    std::vector<uint32_t> cores, unplaced;
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        if (!st.used[i]) unplaced.push_back(i);
        if (st.core[i]) cores.push_back(i);
    }
    if (how == secondary_search::variants) {
        secondary_by_variants(st, cores, unplaced);
        return;
    }
    if (how != secondary_search::quarters && secondary_by_sorting(st, cores, unplaced)) return;
    if (!secondary_by_quarters(st, cores, unplaced, how != secondary_search::automatic)) secondary_by_variants(st, cores, unplaced);
}
