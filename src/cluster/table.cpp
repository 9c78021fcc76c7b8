// Reading the count table, ordering it, and the 1-mismatch neighbour search
// by probing the index with every variant.
#include <algorithm>
#include <cstring>
#include <limits>

#include "cluster/cluster_internal.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "io/text.h"

void seq_hasher::prepare(size_t max_length) {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    weight_.resize(max_length);
    for (auto& w : weight_) {
        // splitmix64
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        w = (z ^ (z >> 31)) | 1;
    }
}

uint64_t seq_hasher::sum(std::string_view s) const {
    uint64_t h = 0;
    for (size_t p = 0; p < s.size(); ++p) h += (static_cast<uint64_t>(static_cast<unsigned char>(s[p])) + 1) * weight_[p];
    return h;
}

void flat_index::reset(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected + expected / 3 + 1) capacity <<= 1;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
}

int64_t cluster_share(int64_t a, int64_t b, int64_t divisor) {
    if (divisor == 0) return 0;
    __int128 q = static_cast<__int128>(a) * b / divisor;
    if (q > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (q < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(q);
}

namespace {

// The first sixteen bytes decide the order of almost all sequences of equal
// count, without a look at the text, which lies anywhere in a large arena.
struct read_entry {
    int64_t count;
    uint64_t prefix[2];  // bytes 0-7 and 8-15, big-endian, zero-padded
    uint32_t line;
};

uint64_t prefix_of(std::string_view s, size_t from) {
    uint64_t p = 0;
    for (size_t k = from; k < from + 8; ++k) p = (p << 8) | (k < s.size() ? static_cast<unsigned char>(s[k]) : 0);
    return p;
}

int compare_bytes(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

constexpr uint32_t max_entries = std::numeric_limits<uint32_t>::max() - 2;

}  // namespace

void cluster_read_table(cluster_state& st, line_reader& in) {
    std::vector<char> raw;
    std::vector<uint64_t> raw_start{0};
    std::vector<read_entry> order;
    std::string_view line;
    while (in.next(line)) {
        if (!line.empty() && line[0] == '#') continue;
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            warn("Warning: an entry is not in expected format (sequence\tcount)\n");
            continue;
        }
        std::string_view sequence = line.substr(0, tab);
        int64_t value = parse_atoi64(line.substr(tab + 1));
        if (value <= 0) {
            warn("Warning: an entry has a non-positive count associated with it: %.*s\t%lld\n",
                 static_cast<int>(sequence.size()), sequence.data(), static_cast<long long>(value));
        }
        if (order.size() >= max_entries) fail_out_of_memory();
        raw.insert(raw.end(), sequence.begin(), sequence.end());
        raw_start.push_back(raw.size());
        order.push_back({value, {prefix_of(sequence, 0), prefix_of(sequence, 8)}, static_cast<uint32_t>(order.size())});
    }
    auto raw_seq = [&](uint32_t k) {
        return std::string_view(raw.data() + raw_start[k], static_cast<size_t>(raw_start[k + 1] - raw_start[k]));
    };
    auto by_text = [&](const read_entry& a, const read_entry& b) {
        if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
        if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
        return compare_bytes(raw_seq(a.line), raw_seq(b.line)) < 0;
    };
    auto by_count = [](const read_entry& a, const read_entry& b) { return a.count > b.count; };
    // A table written by count comes in descending count already, and often
    // in this very order: then only the runs of equal count that are out of
    // order are sorted, and a table in order costs one pass.
    if (!std::is_sorted(order.begin(), order.end(), by_count)) {
        std::sort(order.begin(), order.end(), [&](const read_entry& a, const read_entry& b) {
            return a.count != b.count ? a.count > b.count : by_text(a, b);
        });
    } else {
        for (auto run = order.begin(); run != order.end();) {
            auto end = std::find_if(run, order.end(), [&](const read_entry& e) { return e.count != run->count; });
            if (!std::is_sorted(run, end, by_text)) std::sort(run, end, by_text);
            run = end;
        }
    }

    const uint32_t n = static_cast<uint32_t>(order.size());
    st.num_entries = n;
    st.arena.clear();
    st.arena.reserve(raw.size());
    st.start.assign(1, 0);
    st.start.reserve(n + 1);
    st.count.resize(n);
    size_t max_length = 0;
    // The texts are gathered from anywhere in the input's arena: their
    // offsets and then their bytes are prefetched some sequences ahead.
    constexpr uint32_t far = 16, near = 8;
    for (uint32_t i = 0; i < n; ++i) {
        if (i + far < n) cluster_prefetch(&raw_start[order[i + far].line]);
        if (i + near < n) cluster_prefetch(raw.data() + raw_start[order[i + near].line]);
        std::string_view s = raw_seq(order[i].line);
        st.arena.insert(st.arena.end(), s.begin(), s.end());
        st.start.push_back(st.arena.size());
        st.count[i] = order[i].count;
        max_length = std::max(max_length, s.size());
    }
    std::vector<char>().swap(raw);
    std::vector<uint64_t>().swap(raw_start);
    std::vector<read_entry>().swap(order);

    // The index from sequence to the first index that holds it.
    st.hasher.prepare(max_length);
    st.seq_index.reset(n);
    st.rep.resize(n);
    // The index outgrows the caches: slots are prefetched some sequences ahead.
    constexpr uint32_t ahead = far;
    uint64_t ring[ahead];
    auto prepare = [&](uint32_t i) {
        std::string_view s = st.seq(i);
        ring[i % ahead] = seq_hasher::finish(st.hasher.sum(s), s.size());
        st.seq_index.prefetch(ring[i % ahead]);
    };
    for (uint32_t i = 0; i < std::min(n, ahead - 1); ++i) prepare(i);
    for (uint32_t i = 0; i < n; ++i) {
        if (i + ahead - 1 < n) prepare(i + ahead - 1);
        std::string_view s = st.seq(i);
        const uint64_t h = ring[i % ahead];
        uint32_t found = i;
        st.seq_index.find(h, [&](uint32_t j) {
            if (st.seq(j) != s) return false;
            found = j;
            return true;
        });
        st.rep[i] = found;
        if (found == i) st.seq_index.insert(h, i);
    }
}

namespace {

// The letters put in place of another, in byte order.
constexpr char substitutes[] = {'A', 'C', 'G', 'N', 'T'};

struct variant {
    uint32_t pos;
    unsigned char letter;
    uint64_t hash;  // the unmixed sum until the filter has passed it
};

// The one-letter variants of s in ascending byte-wise order of the variant
// texts: first those that put a smaller letter at p (p ascending), then those
// that put a larger one (p descending). Hashes are left unmixed: most
// variants are answered by the filter, which needs only one multiply.
void ordered_variants(const seq_hasher& hasher, std::string_view s, std::vector<variant>& out) {
    out.clear();
    const uint64_t base = hasher.sum(s);
    const size_t len = s.size();
    for (size_t p = 0; p < len; ++p) {
        auto old = static_cast<unsigned char>(s[p]);
        for (char c : substitutes) {
            auto a = static_cast<unsigned char>(c);
            if (a < old) out.push_back({static_cast<uint32_t>(p), a, base + hasher.change(p, old, a)});
        }
    }
    for (size_t p = len; p-- > 0;) {
        auto old = static_cast<unsigned char>(s[p]);
        for (char c : substitutes) {
            auto a = static_cast<unsigned char>(c);
            if (a > old) out.push_back({static_cast<uint32_t>(p), a, base + hasher.change(p, old, a)});
        }
    }
}

}  // namespace

bool cluster_is_variant(std::string_view t, std::string_view s, size_t p, unsigned char a) {
    return t.size() == s.size() && static_cast<unsigned char>(t[p]) == a && std::memcmp(t.data(), s.data(), p) == 0 &&
           std::memcmp(t.data() + p + 1, s.data() + p + 1, s.size() - p - 1) == 0;
}

cluster_lists cluster_probe_neighbours(const cluster_state& st, const std::vector<uint32_t>& queries) {
    const uint32_t n = st.num_entries;
    const uint32_t q = static_cast<uint32_t>(queries.size());
    cluster_lists lists;
    if (q == 0) return lists;
    lists.size.reserve(q);
    // Most variants are in no table. A bit filter (a few MB, mostly in
    // cache) answers those; only the rest read the large index. Both are
    // prefetched a few sequences ahead: filter bits far ahead, index slots
    // nearer, once the filter has thinned the variants out.
    size_t filter_bits = 128;  // two words at least: the word is picked by a shift below 64
    while (filter_bits < 16 * static_cast<size_t>(n)) filter_bits <<= 1;
    std::vector<uint64_t> filter(filter_bits / 64, 0);
    const int filter_shift = 64 - __builtin_ctzll(filter_bits / 64);
    // From the unmixed sum and the length: one multiply.
    // Two bits of one filter word per text: a quarter of the false hits of
    // one bit, and still one memory access.
    auto filter_key = [&](uint64_t sum, size_t length) { return (sum + length * 0xD6E8FEB86659FD93ull) * 0x9E3779B97F4A7C15ull; };
    auto filter_word = [&](uint64_t key) { return key >> filter_shift; };
    auto filter_bits_of = [](uint64_t key) { return (uint64_t{1} << (key >> 20 & 63)) | (uint64_t{1} << (key >> 26 & 63)); };
    for (uint32_t i = 0; i < n; ++i) {
        if (st.rep[i] != i) continue;
        std::string_view s = st.seq(i);
        uint64_t key = filter_key(st.hasher.sum(s), s.size());
        filter[filter_word(key)] |= filter_bits_of(key);
    }
    constexpr uint32_t ring_size = 16, far = 12, near = 4;
    std::vector<variant> ring[ring_size];
    auto stage_far = [&](uint32_t k) {
        std::vector<variant>& vars = ring[k % ring_size];
        std::string_view s = st.seq(queries[k]);
        ordered_variants(st.hasher, s, vars);
        for (const variant& v : vars) cluster_prefetch(&filter[filter_word(filter_key(v.hash, s.size()))]);
    };
    auto stage_near = [&](uint32_t k) {
        std::vector<variant>& vars = ring[k % ring_size];
        const size_t length = st.seq(queries[k]).size();
        size_t kept = 0;
        for (const variant& v : vars) {
            uint64_t key = filter_key(v.hash, length);
            uint64_t bits = filter_bits_of(key);
            if ((filter[filter_word(key)] & bits) == bits) {
                const uint64_t h = seq_hasher::finish(v.hash, length);
                vars[kept++] = {v.pos, v.letter, h};
                st.seq_index.prefetch(h);
            }
        }
        vars.resize(kept);
    };
    // The ring is indexed by position in queries.
    for (uint32_t k = 0; k < std::min(q, far); ++k) stage_far(k);
    for (uint32_t k = 0; k < std::min(q, near); ++k) stage_near(k);
    for (uint32_t k = 0; k < q; ++k) {
        if (k + far < q) stage_far(k + far);
        if (k + near < q) stage_near(k + near);
        std::string_view s = st.seq(queries[k]);
        uint32_t found = 0;
        for (const variant& v : ring[k % ring_size]) {
            st.seq_index.find(v.hash, [&](uint32_t j) {
                if (!cluster_is_variant(st.seq(j), s, v.pos, v.letter)) return false;
                // A sequence with a negative count is nobody's neighbour.
                if (st.count[j] >= 0) {
                    lists.index.push_back(j);
                    ++found;
                }
                return true;
            });
        }
        lists.size.push_back(found);
    }
    return lists;
}

void cluster_init_tables(cluster_state& st) {
    const uint32_t n = st.num_entries;
    st.nb_value.resize(st.nb_index.size());
    constexpr size_t ahead = 16;  // the counts are gathered from anywhere
    for (size_t k = 0; k < st.nb_index.size(); ++k) {
        if (k + ahead < st.nb_index.size()) cluster_prefetch(&st.count[st.nb_index[k + ahead]]);
        st.nb_value[k] = st.count[st.nb_index[k]];
    }
    st.mm2_counts.assign(n, 0);
    st.totals = st.count;
    st.mm1_totals.assign(n, 0);
    st.mm2_totals.assign(n, 0);
    st.used.assign(n, 0);
    st.core.assign(n, 0);
    st.added.clear();
}
