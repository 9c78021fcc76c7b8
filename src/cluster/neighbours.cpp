// The 1-mismatch neighbour search by sorting.
//
// Probing an index with 60 variants a sequence is bound by memory latency
// once the index outgrows the caches. Here sequences of one length are packed
// into one word, at three bits a letter up to 21 letters (A, C, G, N and T,
// the letters a variant can hold, so neighbours of these are all packed too)
// and at two bits up to 32 (A, C, G and T), or into several 32-bit parts at
// three bits a letter up to 128 letters; two that differ in one letter agree
// on one of their halves, so sorting by each half in turn and comparing only
// within runs of equal halves finds every such pair once, with sequential
// passes over the data. Runs that are still large are split again, half of
// the remaining letters at a time, so shared prefixes cost no quadratic work.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "cluster/cluster_internal.h"
#include "containers/radix_sort.h"
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

// The pairs in blocks: a table of long sequences finds tens of millions, and
// a growing vector would hold its old and its new copy at once.
class pair_buffer {
public:
    void push_back(const directed_pair& d) {
        if ((size_ & (block - 1)) == 0) blocks_.push_back(std::make_unique<directed_pair[]>(block));
        blocks_.back()[size_++ & (block - 1)] = d;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const directed_pair& operator[](size_t k) const { return blocks_[k / block][k & (block - 1)]; }
    void clear() {
        blocks_.clear();
        size_ = 0;
    }

private:
    static constexpr size_t block = size_t{1} << 16;
    std::vector<std::unique_ptr<directed_pair[]>> blocks_;
    size_t size_ = 0;
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

// The letters of packed words of one length: sorting by the letters [a, b),
// by radix through tmp when the range is large, by comparison otherwise.
class word_letters {
public:
    using record = packed_seq;

    explicit word_letters(size_t length) : length_(length), width_(letter_width(length)) {}

    void sort(packed_seq* lo, packed_seq* hi, size_t a, size_t b) {
        radix_sort(lo, hi, width_ * (b - a), tmp_, [&](const packed_seq& x) { return field(x.word(), a, b); });
    }

    bool equal(const packed_seq& x, const packed_seq& y, size_t a, size_t b) const { return field(x.word(), a, b) == field(y.word(), a, b); }

    // Whether u and v differ in exactly one letter: which (p) and the ranks
    // of their letters there.
    bool one_apart(const packed_seq& u, const packed_seq& v, size_t& p, uint32_t& ru, uint32_t& rv) const {
        const uint64_t x = u.word() ^ v.word();
        // A single bit (no popcount instruction is assumed).
        const uint64_t letters = cluster_letter_differences(x, width_);
        if (letters == 0 || (letters & (letters - 1)) != 0) return false;
        const size_t slot = static_cast<size_t>(63 - __builtin_clzll(x)) / width_;
        const uint64_t mask = (uint64_t{1} << width_) - 1;
        p = length_ - 1 - slot;
        ru = rank_of_code(u.word() >> width_ * slot & mask, width_);
        rv = rank_of_code(v.word() >> width_ * slot & mask, width_);
        return true;
    }

private:
    uint64_t field(uint64_t word, size_t a, size_t b) const {
        const size_t bits = width_ * (b - a);
        return (word >> width_ * (length_ - b)) & (bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1);
    }

    size_t length_;
    size_t width_;
    std::vector<packed_seq> tmp_;
};

// Longer sequences of A, C, G, N and T, at three bits a letter (the sorted
// codes, so parts order as texts do), ten letters to a 32-bit part, the
// first letter in the highest bits of the first part. Parts of 32 bits keep
// the record at 28 bytes for 60 letters.
constexpr size_t part_letters = 10;

template <size_t P>
struct long_seq {
    uint32_t part[P];
    uint32_t id;
};

// s holds only letters with a code (packs_long).
template <size_t P>
void pack_long(std::string_view s, long_seq<P>& r) {
    std::fill(r.part, r.part + P, 0u);
    for (size_t k = 0; k < s.size(); ++k) {
        const auto c = static_cast<uint32_t>(codes.code[1][static_cast<unsigned char>(s[k])]);
        r.part[k / part_letters] |= c << 3 * (part_letters - 1 - k % part_letters);
    }
}

template <size_t P>
class part_letters_of {
public:
    using record = long_seq<P>;

    explicit part_letters_of(size_t) {}

    void sort(record* lo, record* hi, size_t a, size_t b) {
        if (hi - lo < 4096) {
            std::sort(lo, hi, [&](const record& x, const record& y) { return less(x, y, a, b); });
            return;
        }
        // One part at a time, the last first: radix_sort is stable
        // (least significant digit first) from 4096 records on.
        for (size_t i = (b - 1) / part_letters + 1; i-- > a / part_letters;) {
            const size_t from = first_in(i, a), to = end_in(i, b), shift = 3 * (part_letters - to);
            const uint32_t m = (uint32_t{1} << 3 * (to - from)) - 1;
            radix_sort(lo, hi, 3 * (to - from), tmp_, [i, shift, m](const record& x) { return uint64_t{x.part[i] >> shift & m}; });
        }
    }

    bool equal(const record& x, const record& y, size_t a, size_t b) const {
        for (size_t i = a / part_letters; i <= (b - 1) / part_letters; ++i) {
            if (((x.part[i] ^ y.part[i]) & mask(i, a, b)) != 0) return false;
        }
        return true;
    }

    bool one_apart(const record& u, const record& v, size_t& p, uint32_t& ru, uint32_t& rv) const {
        size_t at = P;
        uint32_t x = 0;
        for (size_t i = 0; i < P; ++i) {
            const uint32_t d = u.part[i] ^ v.part[i];
            if (d == 0) continue;
            if (at != P) return false;
            at = i;
            x = d;
        }
        const uint32_t letters = (x | x >> 1 | x >> 2) & 0x09249249u;
        if (letters == 0 || (letters & (letters - 1)) != 0) return false;
        const size_t slot = static_cast<size_t>(31 - __builtin_clz(x)) / 3;
        p = at * part_letters + part_letters - 1 - slot;
        ru = u.part[at] >> 3 * slot & 7;
        rv = v.part[at] >> 3 * slot & 7;
        return true;
    }

private:
    // The letters of [a, b) in part i: [first_in, end_in) of its own.
    static size_t first_in(size_t i, size_t a) { return std::max(a, i * part_letters) - i * part_letters; }
    static size_t end_in(size_t i, size_t b) { return std::min(b, (i + 1) * part_letters) - i * part_letters; }
    // The bits of part i that hold letters of [a, b).
    static uint32_t mask(size_t i, size_t a, size_t b) {
        const size_t from = first_in(i, a), to = end_in(i, b);
        return ((uint32_t{1} << 3 * (to - from)) - 1) << 3 * (part_letters - to);
    }

    static bool less(const record& x, const record& y, size_t a, size_t b) {
        for (size_t i = a / part_letters; i <= (b - 1) / part_letters; ++i) {
            const uint32_t m = mask(i, a, b);
            if ((x.part[i] & m) != (y.part[i] & m)) return (x.part[i] & m) < (y.part[i] & m);
        }
        return false;
    }

    std::vector<record> tmp_;
};

template <class Letters>
class pair_search {
public:
    using record = typename Letters::record;

    pair_search(const cluster_state& st, size_t length, bool any_negative, pair_buffer& out)
        : st_(st), length_(length), any_negative_(any_negative), letters_(length), out_(out) {}

    // All records agree outside the letters [a, b).
    void search(record* lo, record* hi, size_t a, size_t b) {
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
    void within_runs(record* lo, record* hi, size_t a, size_t b, size_t c, size_t d) {
        letters_.sort(lo, hi, a, b);
        for (record* run = lo; run != hi;) {
            record* end = run + 1;
            while (end != hi && letters_.equal(*run, *end, a, b)) ++end;
            search(run, end, c, d);
            run = end;
        }
    }

    void compare_all(const record* lo, const record* hi) {
        for (const record* u = lo; u != hi; ++u) {
            for (const record* v = u + 1; v != hi; ++v) {
                size_t p;
                uint32_t ru, rv;
                if (letters_.one_apart(*u, *v, p, ru, rv)) emit(u->id, v->id, p, ru, rv);
            }
        }
    }

    void emit(uint32_t u, uint32_t v, size_t p, uint32_t ru, uint32_t rv) {
        // A sequence with a negative count is nobody's neighbour. Its count
        // lies anywhere in a table far larger than the caches, so it is read
        // only when the table has such counts at all.
        if (!any_negative_ || st_.count[v] >= 0) out_.push_back({u, v, order_key(length_, p, ru, rv)});
        if (!any_negative_ || st_.count[u] >= 0) out_.push_back({v, u, order_key(length_, p, rv, ru)});
    }

    const cluster_state& st_;
    size_t length_;
    bool any_negative_;
    Letters letters_;
    pair_buffer& out_;
};

// The packable distinct sequences grouped by length (packed[i] == 2 marks them),
// and their pairs.
void packed_pairs(const cluster_state& st, const std::vector<uint8_t>& packed, bool any_negative, pair_buffer& out) {
    size_t first[max_packed_length + 2] = {};
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        if (packed[i] == 2 && st.seq(i).size() <= max_packed_length) ++first[st.seq(i).size() + 1];
    }
    for (size_t l = 1; l <= max_packed_length + 1; ++l) first[l] += first[l - 1];
    std::vector<packed_seq> seqs(first[max_packed_length + 1]);
    size_t next[max_packed_length + 1];
    std::copy(first, first + max_packed_length + 1, next);
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        std::string_view s = st.seq(i);
        if (packed[i] != 2 || s.size() > max_packed_length) continue;
        packed_seq& r = seqs[next[s.size()]++];
        uint64_t word = 0;
        cluster_pack(s, word);
        r = {static_cast<uint32_t>(word >> 32), static_cast<uint32_t>(word), i};
    }
    for (size_t l = 1; l <= max_packed_length; ++l) {
        pair_search<word_letters> search(st, l, any_negative, out);
        search.search(seqs.data() + first[l], seqs.data() + first[l + 1], 0, l);
    }
}

// The pairs among the given distinct sequences, all of one length in P parts.
template <size_t P>
void long_pairs_of(const cluster_state& st, const uint32_t* lo, const uint32_t* hi, bool any_negative, pair_buffer& out) {
    const size_t length = st.seq(*lo).size();
    std::vector<long_seq<P>> seqs(static_cast<size_t>(hi - lo));
    for (size_t k = 0; k < seqs.size(); ++k) {
        pack_long(st.seq(lo[k]), seqs[k]);
        seqs[k].id = lo[k];
    }
    pair_search<part_letters_of<P>> search(st, length, any_negative, out);
    search.search(seqs.data(), seqs.data() + seqs.size(), 0, length);
}

using long_pairs_fn = void (*)(const cluster_state&, const uint32_t*, const uint32_t*, bool, pair_buffer&);
constexpr size_t min_long_parts = (max_packed_length + 1 + part_letters - 1) / part_letters;

template <size_t... K>
constexpr std::array<long_pairs_fn, sizeof...(K)> long_pairs_table(std::index_sequence<K...>) {
    return {&long_pairs_of<min_long_parts + K>...};
}
constexpr auto long_pairs_by_parts =
    long_pairs_table(std::make_index_sequence<(cluster_max_long_length + part_letters - 1) / part_letters - min_long_parts + 1>());

// The sequences longer than one word (packed[i] == 2 marks the distinct
// ones), grouped by length, and their pairs.
void long_pairs(const cluster_state& st, const std::vector<uint8_t>& packed, bool any_negative, pair_buffer& out) {
    constexpr size_t lengths = cluster_max_long_length - max_packed_length;
    size_t first[lengths + 1] = {};
    auto slot = [](size_t length) { return length - max_packed_length - 1; };
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        if (packed[i] == 2 && st.seq(i).size() > max_packed_length) ++first[slot(st.seq(i).size()) + 1];
    }
    for (size_t l = 1; l <= lengths; ++l) first[l] += first[l - 1];
    std::vector<uint32_t> ids(first[lengths]);
    size_t next[lengths];
    std::copy(first, first + lengths, next);
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        if (packed[i] == 2 && st.seq(i).size() > max_packed_length) ids[next[slot(st.seq(i).size())]++] = i;
    }
    for (size_t l = 0; l < lengths; ++l) {
        if (first[l + 1] - first[l] < 2) continue;
        const size_t parts = (l + max_packed_length + 1 + part_letters - 1) / part_letters;
        long_pairs_by_parts[parts - min_long_parts](st, ids.data() + first[l], ids.data() + first[l + 1], any_negative, out);
    }
}

// Neighbours of sequences packed at two bits a letter that hold an N where
// the sequence has another letter: found from the N side, four look-ups for
// each distinct sequence of that length with exactly one N and otherwise only
// A, C, G and T.
void single_n_pairs(const cluster_state& st, pair_buffer& out) {
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

// Sequences too long for one word that sort on halves all the same.
bool packs_long(std::string_view s) {
    if (s.size() <= max_packed_length || s.size() > cluster_max_long_length) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return codes.code[1][static_cast<unsigned char>(c)] >= 0; });
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
        if (how == neighbour_search::automatic && (cluster_pack(st.seq(i), word) || packs_long(st.seq(i)))) {
            packed[i] = st.rep[i] == i ? 2 : 1;
        } else {
            probed.push_back(i);
        }
    }
    cluster_lists probe = cluster_probe_neighbours(st, probed);
    pair_buffer pairs;
    if (how == neighbour_search::automatic) {
        const bool any_negative = std::any_of(st.count.begin(), st.count.end(), [](int64_t c) { return c < 0; });
        packed_pairs(st, packed, any_negative, pairs);
        long_pairs(st, packed, any_negative, pairs);
        single_n_pairs(st, pairs);
    }

    // The list sizes, then the pairs scattered straight into their slices
    // (no sorted copy of the pairs), each slice sorted by key; a repeated
    // text copies the list of its first index, which comes before it.
    st.nb_size.assign(n, 0);
    for (size_t k = 0; k < pairs.size(); ++k) ++st.nb_size[pairs[k].query];
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
    pairs.clear();
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
