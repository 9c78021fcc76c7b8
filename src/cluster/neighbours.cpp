// The 1-mismatch neighbour search of short sequences by sorting.
//
// Probing an index with 60 variants a sequence is bound by memory latency
// once the index outgrows the caches. Here sequences of one length are packed
// into one word, at three bits a letter up to 21 letters (A, C, G, N and T,
// the letters a variant can hold, so neighbours of these are all packed too)
// and at two bits up to 32 (A, C, G and T); two that differ in one letter
// agree on one of their halves, so sorting by each half in turn and comparing only within runs of
// equal halves finds every such pair once, with sequential passes over the
// data. Runs that are still large are split again, half of the remaining
// letters at a time, so shared prefixes cost no quadratic work.
#include <algorithm>
#include <cstring>

#include "cluster/cluster_internal.h"
#include "dna/letters.h"

namespace {

constexpr size_t max_packed_length = cluster_max_packed_length;

size_t letter_width(size_t length) { return cluster_letter_width(length); }

// Codes in byte order of the letters; N only at three bits a letter.
constexpr int letter_code(unsigned char c, size_t width) {
    if (width == 3) return dna::sorted_code_of(static_cast<char>(c));
    return dna::is_base(static_cast<char>(c)) ? dna::code_of(static_cast<char>(c)) : -1;
}

// letter_code by table, for packing every sequence of the table.
struct code_table {
    int8_t code[2][256];
    constexpr code_table() : code{} {
        for (int c = 0; c < 256; ++c) {
            code[0][c] = static_cast<int8_t>(letter_code(static_cast<unsigned char>(c), 2));
            code[1][c] = static_cast<int8_t>(letter_code(static_cast<unsigned char>(c), 3));
        }
    }
};
constexpr code_table codes;

// Twelve bytes rather than sixteen: the search holds every packed sequence
// and a buffer for the largest length at once.
struct packed_seq {
    uint32_t high;
    uint32_t low;
    uint32_t id;
    uint64_t word() const { return uint64_t{high} << 32 | low; }
};

// A neighbour found for a query, with the place of the neighbour's text in
// the byte order of the query's variants (see order_key).
struct directed_pair {
    uint32_t query;
    uint32_t target;
    uint32_t key;
};

// Ranks of the substitute letters A, C, G, N, T in byte order, by code.
uint32_t rank_of_code(uint64_t code, size_t width) {
    static constexpr uint32_t narrow[4] = {0, 1, 2, 4};
    return width == 3 ? static_cast<uint32_t>(code) : narrow[code];
}
constexpr uint32_t rank_of_n = 3;

// The variants of one text in byte order: those with a smaller letter at p,
// p ascending, then those with a larger one, p descending; letters ascending.
uint32_t order_key(size_t length, size_t p, uint32_t old_rank, uint32_t new_rank) {
    if (new_rank < old_rank) return static_cast<uint32_t>(p) << 4 | new_rank;
    return 1u << 12 | static_cast<uint32_t>(length - 1 - p) << 4 | new_rank;
}

// Sorts by the letters [a, b) of packed words of one length: by radix
// through tmp when the range is large, by comparison otherwise.
class field_sorter {
public:
    explicit field_sorter(size_t length) : length_(length), width_(letter_width(length)) {}

    uint64_t field(uint64_t word, size_t a, size_t b) const {
        const size_t bits = width_ * (b - a);
        return (word >> width_ * (length_ - b)) & (bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1);
    }

    void sort(packed_seq* lo, packed_seq* hi, size_t a, size_t b) {
        cluster_radix_sort(lo, hi, width_ * (b - a), tmp_, [&](const packed_seq& x) { return field(x.word(), a, b); });
    }

private:
    size_t length_;
    size_t width_;
    std::vector<packed_seq> tmp_;
};

class pair_search {
public:
    pair_search(const cluster_state& st, size_t length, bool any_negative, std::vector<directed_pair>& out)
        : st_(st), length_(length), width_(letter_width(length)), any_negative_(any_negative), sorter_(length), out_(out) {}

    // All records agree outside the letters [a, b).
    void search(packed_seq* lo, packed_seq* hi, size_t a, size_t b) {
        const size_t n = static_cast<size_t>(hi - lo);
        if (n < 2) return;
        if (n <= 16 || b - a == 1) {
            compare_all(lo, hi);
            return;
        }
        const size_t m = (a + b) / 2;
        within_runs(lo, hi, a, m, m, b);
        within_runs(lo, hi, m, b, a, m);
    }

private:
    // Sorts by the letters [a, b) and searches each run that agrees on them
    // in the letters [c, d).
    void within_runs(packed_seq* lo, packed_seq* hi, size_t a, size_t b, size_t c, size_t d) {
        sorter_.sort(lo, hi, a, b);
        for (packed_seq* run = lo; run != hi;) {
            const uint64_t f = sorter_.field(run->word(), a, b);
            packed_seq* end = run + 1;
            while (end != hi && sorter_.field(end->word(), a, b) == f) ++end;
            search(run, end, c, d);
            run = end;
        }
    }

    void compare_all(const packed_seq* lo, const packed_seq* hi) {
        for (const packed_seq* u = lo; u != hi; ++u) {
            for (const packed_seq* v = u + 1; v != hi; ++v) {
                // Exactly one letter differs: a single bit (no popcount instruction is assumed).
                const uint64_t letters = cluster_letter_differences(u->word() ^ v->word(), width_);
                if (letters != 0 && (letters & (letters - 1)) == 0) emit(*u, *v);
            }
        }
    }

    void emit(const packed_seq& u, const packed_seq& v) {
        const uint64_t x = u.word() ^ v.word();
        const size_t slot = static_cast<size_t>(63 - __builtin_clzll(x)) / width_;
        const size_t p = length_ - 1 - slot;
        const uint64_t mask = (uint64_t{1} << width_) - 1;
        const uint32_t ru = rank_of_code(u.word() >> width_ * slot & mask, width_);
        const uint32_t rv = rank_of_code(v.word() >> width_ * slot & mask, width_);
        // A sequence with a negative count is nobody's neighbour. Its count
        // lies anywhere in a table far larger than the caches, so it is read
        // only when the table has such counts at all.
        if (!any_negative_ || st_.count[v.id] >= 0) out_.push_back({u.id, v.id, order_key(length_, p, ru, rv)});
        if (!any_negative_ || st_.count[u.id] >= 0) out_.push_back({v.id, u.id, order_key(length_, p, rv, ru)});
    }

    const cluster_state& st_;
    size_t length_;
    size_t width_;
    bool any_negative_;
    field_sorter sorter_;
    std::vector<directed_pair>& out_;
};

// The packable distinct sequences grouped by length (packed[i] == 2 marks them),
// and their pairs.
void packed_pairs(const cluster_state& st, const std::vector<uint8_t>& packed, std::vector<directed_pair>& out) {
    size_t first[max_packed_length + 2] = {};
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        if (packed[i] == 2) ++first[st.seq(i).size() + 1];
    }
    for (size_t l = 1; l <= max_packed_length + 1; ++l) first[l] += first[l - 1];
    std::vector<packed_seq> seqs(first[max_packed_length + 1]);
    size_t next[max_packed_length + 1];
    std::copy(first, first + max_packed_length + 1, next);
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        if (packed[i] != 2) continue;
        std::string_view s = st.seq(i);
        packed_seq& r = seqs[next[s.size()]++];
        uint64_t word = 0;
        cluster_pack(s, word);
        r = {static_cast<uint32_t>(word >> 32), static_cast<uint32_t>(word), i};
    }
    const bool any_negative = std::any_of(st.count.begin(), st.count.end(), [](int64_t c) { return c < 0; });
    for (size_t l = 1; l <= max_packed_length; ++l) {
        pair_search search(st, l, any_negative, out);
        search.search(seqs.data() + first[l], seqs.data() + first[l + 1], 0, l);
    }
}

// Neighbours of sequences packed at two bits a letter that hold an N where
// the sequence has another letter: found from the N side, four look-ups for
// each distinct sequence of that length with exactly one N and otherwise only
// A, C, G and T.
void single_n_pairs(const cluster_state& st, std::vector<directed_pair>& out) {
    for (uint32_t t = 0; t < st.num_entries; ++t) {
        if (st.rep[t] != t || st.count[t] < 0) continue;
        std::string_view s = st.seq(t);
        if (s.size() > max_packed_length || letter_width(s.size()) != 2) continue;
        size_t n_at = s.size();
        bool fits = true;
        for (size_t p = 0; p < s.size() && fits; ++p) {
            if (letter_code(static_cast<unsigned char>(s[p]), 2) >= 0) continue;
            fits = s[p] == 'N' && n_at == s.size();
            n_at = p;
        }
        if (!fits || n_at == s.size()) continue;
        const uint64_t base = st.hasher.sum(s);
        for (uint32_t code = 0; code < 4; ++code) {
            const auto letter = static_cast<unsigned char>(dna::letter_of(code));
            const uint64_t h = seq_hasher::finish(base + st.hasher.change(n_at, 'N', letter), s.size());
            st.seq_index.find(h, [&](uint32_t j) {
                if (!cluster_is_variant(st.seq(j), s, n_at, letter)) return false;
                out.push_back({j, t, order_key(s.size(), n_at, rank_of_code(code, 2), rank_of_n)});
                return true;
            });
        }
    }
}

// Sorts each slice [start[q], start[q + 1]) of index by key; the slices
// hold a few entries each.
void sort_slices(const std::vector<uint64_t>& start, uint32_t q, std::vector<uint32_t>& index, std::vector<uint16_t>& key) {
    for (uint64_t k = start[q] + 1; k < start[q + 1]; ++k) {
        const uint32_t j = index[k];
        const uint16_t kk = key[k];
        uint64_t m = k;
        for (; m > start[q] && key[m - 1] > kk; --m) {
            index[m] = index[m - 1];
            key[m] = key[m - 1];
        }
        index[m] = j;
        key[m] = kk;
    }
}

}  // namespace

bool cluster_pack(std::string_view s, uint64_t& word) {
    if (s.empty() || s.size() > max_packed_length) return false;
    const size_t width = letter_width(s.size());
    const int8_t* code = codes.code[width == 3 ? 1 : 0];
    uint64_t w = 0;
    int8_t all = 0;  // negative once any letter has no code
    for (char c : s) {
        const int8_t k = code[static_cast<unsigned char>(c)];
        all |= k;
        w = w << width | static_cast<uint64_t>(static_cast<uint8_t>(k));
    }
    word = w;
    return all >= 0;
}

void cluster_find_neighbours(cluster_state& st, neighbour_search how) {
    const uint32_t n = st.num_entries;
    // packed[i]: the text of i is packable (and i holds it first, when 2).
    std::vector<uint8_t> packed(n, 0);
    std::vector<uint32_t> probed;
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t word;
        if (how == neighbour_search::automatic && cluster_pack(st.seq(i), word)) {
            packed[i] = st.rep[i] == i ? 2 : 1;
        } else {
            probed.push_back(i);
        }
    }
    cluster_lists probe = cluster_probe_neighbours(st, probed);
    std::vector<directed_pair> pairs;
    if (how == neighbour_search::automatic) {
        packed_pairs(st, packed, pairs);
        single_n_pairs(st, pairs);
    }

    // The list sizes, then the pairs scattered straight into their slices
    // (no sorted copy of the pairs), each slice sorted by key; a repeated
    // text copies the list of its first index, which comes before it.
    st.nb_size.assign(n, 0);
    for (const directed_pair& d : pairs) ++st.nb_size[d.query];
    for (size_t k = 0; k < probed.size(); ++k) st.nb_size[probed[k]] = probe.size[k];
    for (uint32_t i = 0; i < n; ++i) {
        if (packed[i] == 1) st.nb_size[i] = st.nb_size[st.rep[i]];
    }
    st.nb_start.resize(n + 1);
    st.nb_start[0] = 0;
    for (uint32_t i = 0; i < n; ++i) st.nb_start[i + 1] = st.nb_start[i] + st.nb_size[i];
    st.nb_index.assign(st.nb_start[n], 0);
    std::vector<uint16_t> key(pairs.empty() ? 0 : st.nb_start[n]);
    st.mm1_counts.assign(n, 0);  // the fill of each slice for now
    // The pairs come in no order of their lists: each list's start and fill
    // are prefetched, then the place they give.
    constexpr size_t far = 64, near = 32;
    for (size_t k = 0; k < pairs.size(); ++k) {
        if (k + far < pairs.size()) {
            cluster_prefetch(&st.nb_start[pairs[k + far].query]);
            cluster_prefetch(&st.mm1_counts[pairs[k + far].query]);
        }
        if (k + near < pairs.size()) {
            const uint32_t q = pairs[k + near].query;
            cluster_prefetch(&st.nb_index[st.nb_start[q] + static_cast<uint32_t>(st.mm1_counts[q])]);
            cluster_prefetch(&key[st.nb_start[q] + static_cast<uint32_t>(st.mm1_counts[q])]);
        }
        const directed_pair& d = pairs[k];
        const uint64_t at = st.nb_start[d.query] + static_cast<uint32_t>(st.mm1_counts[d.query]++);
        st.nb_index[at] = d.target;
        key[at] = static_cast<uint16_t>(d.key);
    }
    std::vector<directed_pair>().swap(pairs);
    for (uint32_t i = 0; i < n; ++i) {
        if (packed[i] == 2) sort_slices(st.nb_start, i, st.nb_index, key);
    }
    std::vector<uint16_t>().swap(key);
    size_t from = 0;
    for (size_t k = 0; k < probed.size(); ++k) {
        std::copy(probe.index.begin() + static_cast<std::ptrdiff_t>(from), probe.index.begin() + static_cast<std::ptrdiff_t>(from + probe.size[k]),
                  st.nb_index.begin() + static_cast<std::ptrdiff_t>(st.nb_start[probed[k]]));
        from += probe.size[k];
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (packed[i] == 1) {
            const uint64_t r = st.nb_start[st.rep[i]];
            std::copy(st.nb_index.begin() + static_cast<std::ptrdiff_t>(r), st.nb_index.begin() + static_cast<std::ptrdiff_t>(r + st.nb_size[i]),
                      st.nb_index.begin() + static_cast<std::ptrdiff_t>(st.nb_start[i]));
        }
        st.mm1_counts[i] = static_cast<int32_t>(st.nb_size[i]);
    }
    cluster_init_tables(st);
}
