#include "umi/umi.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <tuple>

#include "containers/mix.h"
#include "dna/letters.h"

namespace umi {

namespace {

constexpr size_t packed_letters = 32;  // two bits each in a 64-bit key

// The UMI's letters two bits each, the first letter highest: numeric order
// is the letters' byte order. False for other letters or over 32 letters.
bool pack(std::string_view letters, uint64_t& code) {
    if (letters.size() > packed_letters) return false;
    uint64_t packed = 0;
    uint8_t bad = 0;
    for (char c : letters) {
        uint8_t value = dna::code_of(c);
        bad |= value;
        packed = (packed << 2) | (value & 3);
    }
    code = packed;
    return (bad & dna::n_code) == 0;
}

std::string unpack(uint64_t code, size_t length) {
    std::string letters(length, 'A');
    for (size_t i = length; i-- > 0; code >>= 2) letters[i] = dna::letter_of(code & 3);
    return letters;
}

uint64_t pair_hash(uint32_t barcode, uint64_t key) { return hash_mix64(key ^ (uint64_t{barcode} * 0x9e3779b97f4a7c15ULL)); }

constexpr uint32_t no_group = UINT32_MAX;

// The groups of UMIs given in group order (reads descending, then letters),
// each UMI i's one-letter neighbours listed by neighbours(i, visit). group[i]
// becomes the index of the top UMI of i's group.
template <class Neighbours>
int64_t form_groups(const std::vector<int64_t>& reads, std::vector<uint32_t>& group, std::vector<uint32_t>& queue,
                    Neighbours neighbours) {
    size_t n = reads.size();
    group.assign(n, no_group);
    if (n == 0) return 0;
    int64_t least = reads.back();
    int64_t groups = 0;
    for (uint32_t top = 0; top < n; ++top) {
        if (group[top] != no_group) continue;
        ++groups;
        group[top] = top;
        queue.assign(1, top);
        for (size_t next = 0; next < queue.size(); ++next) {
            uint32_t from = queue[next];
            // Its neighbours are not looked up when it cannot absorb even the least-read UMI.
            if (reads[from] < 2 * least - 1) continue;
            neighbours(from, [&](uint32_t to) {
                if (group[to] == no_group && reads[from] >= 2 * reads[to] - 1) {
                    group[to] = top;
                    queue.push_back(to);
                }
            });
        }
    }
    return groups;
}

// The collapse of packed UMIs: the neighbours of a UMI are its 3 x length
// one-letter variants, looked up in an open-addressing index of the UMIs.
// The buffers are kept from barcode to barcode. The index is its own, not
// containers/open_table: it is rebuilt for every barcode, and a bit filter in
// front of it answers most look-ups, nearly all of which find nothing.
class packed_collapser {
public:
    explicit packed_collapser(size_t length) : length_(length) {}

    // codes and reads in group order.
    int64_t run(const std::vector<uint64_t>& codes, const std::vector<int64_t>& reads) {
        if (codes.size() == 1) {
            group_.assign(1, 0);  // most barcodes of a small library
            return 1;
        }
        build_index(codes);
        return form_groups(reads, group_, queue_, [&](uint32_t from, auto&& visit) {
            // The variants that pass the filter first, their slots fetched
            // together: in a large index each would be a cache miss.
            uint64_t code = codes[from];
            std::array<uint64_t, 3 * packed_letters> candidates;
            size_t count = 0;
            for (size_t shift = 0; shift < 2 * length_; shift += 2) {
                for (uint64_t change = 1; change <= 3; ++change) {
                    uint64_t variant = code ^ (change << shift);
                    candidates[count] = variant;
                    count += maybe_present(variant);
                }
            }
            for (size_t i = 0; i < count; ++i) __builtin_prefetch(&slots_[home(candidates[i])]);
            for (size_t i = 0; i < count; ++i) {
                uint32_t to = find(candidates[i]);
                if (to != absent) visit(to);
            }
        });
    }

    const std::vector<uint32_t>& group() const { return group_; }

private:
    static constexpr uint32_t absent = UINT32_MAX;
    struct slot {
        uint64_t code;
        uint32_t index;
    };

    void build_index(const std::vector<uint64_t>& codes) {
        size_t capacity = 16;
        shift_ = 60;
        while (capacity < 2 * codes.size()) {
            capacity *= 2;
            --shift_;
        }
        slots_.assign(capacity, slot{0, absent});
        filter_.assign(capacity / 8, 0);
        mask_ = capacity - 1;
        for (size_t i = 0; i < codes.size(); ++i) {
            uint64_t bit = filter_bit(codes[i]);
            filter_[bit / 64] |= uint64_t{1} << (bit % 64);
            size_t at = home(codes[i]);
            while (slots_[at].index != absent) at = (at + 1) & mask_;
            slots_[at] = slot{codes[i], static_cast<uint32_t>(i)};
        }
    }

    // One multiply: the index is small and rebuilt for every barcode.
    size_t home(uint64_t code) const { return (code * 0x9e3779b97f4a7c15ULL) >> shift_; }
    // Eight bits for every slot (at least 16 for every UMI) answer most
    // look-ups, nearly all of which find nothing, without a probe.
    size_t filter_bit(uint64_t code) const { return (code * 0x9e3779b97f4a7c15ULL) >> (shift_ - 3); }

    bool maybe_present(uint64_t code) const {
        uint64_t bit = filter_bit(code);
        return filter_[bit / 64] >> (bit % 64) & 1;
    }

    uint32_t find(uint64_t code) const {
        for (size_t at = home(code);; at = (at + 1) & mask_) {
            const slot& s = slots_[at];
            if (s.index == absent || s.code == code) return s.index;
        }
    }

    size_t length_;
    std::vector<slot> slots_;
    std::vector<uint64_t> filter_;
    size_t mask_ = 0;
    int shift_ = 60;
    std::vector<uint32_t> group_;
    std::vector<uint32_t> queue_;
};

// The collapse of UMIs as text (any letters, any lengths). Two UMIs that
// differ only at position p agree on the text without p; a positional hash
// gives that text's hash for every p at once (the whole hash less the letter
// at p), so UMIs sharing one are found by sorting, and verified letter by letter.
class text_collapser {
public:
    const std::vector<uint32_t>& group() const { return group_; }

    // umis distinct, in group order.
    int64_t run(const std::vector<std::pair<std::string, int64_t>>& umis) {
        std::vector<int64_t> reads;
        reads.reserve(umis.size());
        for (const auto& u : umis) reads.push_back(u.second);
        find_neighbours(umis);
        std::vector<uint32_t> queue;
        return form_groups(reads, group_, queue, [&](uint32_t from, auto&& visit) {
            for (uint32_t e = first_[from]; e < first_[from + 1]; ++e) visit(edges_[e].second);
        });
    }

private:
    static constexpr uint64_t base = 0x100000001b3ULL;

    static bool one_apart(const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return false;
        size_t differences = 0;
        for (size_t i = 0; i < a.size() && differences < 2; ++i) differences += a[i] != b[i];
        return differences == 1;
    }

    void find_neighbours(const std::vector<std::pair<std::string, int64_t>>& umis) {
        struct masked {
            uint64_t hash;
            uint32_t umi;
        };
        std::vector<masked> keys;
        for (uint32_t i = 0; i < umis.size(); ++i) {
            const std::string& letters = umis[i].first;
            uint64_t whole = 0;
            uint64_t power = 1;
            std::vector<uint64_t> terms(letters.size());
            for (size_t p = 0; p < letters.size(); ++p, power *= base) {
                terms[p] = (static_cast<uint8_t>(letters[p]) + 1ULL) * power;
                whole += terms[p];
            }
            for (size_t p = 0; p < letters.size(); ++p) {
                uint64_t position = (uint64_t{p} << 32) | letters.size();
                keys.push_back({hash_mix64((whole - terms[p]) ^ hash_mix64(position)), i});
            }
        }
        std::sort(keys.begin(), keys.end(),
                  [](const masked& a, const masked& b) { return a.hash != b.hash ? a.hash < b.hash : a.umi < b.umi; });
        edges_.clear();
        for (size_t run = 0, end = 0; run < keys.size(); run = end) {
            for (end = run + 1; end < keys.size() && keys[end].hash == keys[run].hash;) ++end;
            for (size_t a = run; a < end; ++a) {
                for (size_t b = a + 1; b < end; ++b) {
                    if (!one_apart(umis[keys[a].umi].first, umis[keys[b].umi].first)) continue;
                    edges_.emplace_back(keys[a].umi, keys[b].umi);
                    edges_.emplace_back(keys[b].umi, keys[a].umi);
                }
            }
        }
        std::sort(edges_.begin(), edges_.end());
        edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());
        first_.assign(umis.size() + 1, 0);
        for (const auto& e : edges_) ++first_[e.first + 1];
        for (size_t i = 0; i < umis.size(); ++i) first_[i + 1] += first_[i];
    }

    std::vector<std::pair<uint32_t, uint32_t>> edges_;  // sorted by the first UMI
    std::vector<uint32_t> first_;                       // each UMI's first edge
    std::vector<uint32_t> group_;
};

bool group_order(const std::pair<std::string, int64_t>& a, const std::pair<std::string, int64_t>& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
}

// UMIs all of one length, packed; false when any cannot be.
bool pack_all(const std::vector<std::pair<std::string, int64_t>>& umis, std::vector<uint64_t>& codes,
              std::vector<int64_t>& reads) {
    for (const auto& [letters, count] : umis) {
        uint64_t code;
        if (letters.size() != umis.front().first.size() || !pack(letters, code)) return false;
        codes.push_back(code);
        reads.push_back(count);
    }
    return true;
}

// The UMIs merged (one entry per UMI) and in group order.
void prepare(std::vector<std::pair<std::string, int64_t>>& umis) {
    std::sort(umis.begin(), umis.end());
    size_t kept = 0;
    for (size_t i = 0; i < umis.size(); ++i) {
        if (kept > 0 && umis[kept - 1].first == umis[i].first) umis[kept - 1].second += umis[i].second;
        else if (kept++ != i) umis[kept - 1] = std::move(umis[i]);
    }
    umis.resize(kept);
    std::sort(umis.begin(), umis.end(), group_order);
}

// The molecules of prepared UMIs; group[i] the index of UMI i's group top.
int64_t collapse(const std::vector<std::pair<std::string, int64_t>>& umis, std::vector<uint32_t>& group) {
    if (umis.empty()) {
        group.clear();
        return 0;
    }
    std::vector<uint64_t> codes;
    std::vector<int64_t> reads;
    if (pack_all(umis, codes, reads)) {
        packed_collapser collapser(umis.front().first.size());
        int64_t found = collapser.run(codes, reads);
        group = collapser.group();
        return found;
    }
    text_collapser collapser;
    int64_t found = collapser.run(umis);
    group = collapser.group();
    return found;
}

}  // namespace

int64_t molecules(std::vector<std::pair<std::string, int64_t>> umis) {
    prepare(umis);
    std::vector<uint32_t> group;
    return collapse(umis, group);
}

struct collapser::buffers {
    std::vector<uint32_t> order;  // the UMIs' indexes in group order
    std::vector<uint64_t> codes;
    std::vector<int64_t> reads;
    std::unique_ptr<packed_collapser> packed;
    size_t packed_length = 0;
};

collapser::collapser() : buffers_(std::make_unique<buffers>()) {}
collapser::~collapser() = default;

int64_t collapser::run(std::span<const std::string_view> umis, std::span<const int64_t> reads) {
    buffers& b = *buffers_;
    tops_.clear();
    if (umis.empty()) return 0;
    b.order.resize(umis.size());
    for (uint32_t i = 0; i < umis.size(); ++i) b.order[i] = i;
    std::sort(b.order.begin(), b.order.end(), [&](uint32_t x, uint32_t y) {
        return reads[x] != reads[y] ? reads[x] > reads[y] : umis[x] < umis[y];
    });
    b.codes.clear();
    b.reads.clear();
    size_t length = umis[b.order[0]].size();
    bool packed = true;
    for (uint32_t i : b.order) {
        uint64_t code;
        if (umis[i].size() != length || !pack(umis[i], code)) {
            packed = false;
            break;
        }
        b.codes.push_back(code);
        b.reads.push_back(reads[i]);
    }
    int64_t found;
    const std::vector<uint32_t>* group;
    text_collapser text;
    if (packed) {
        if (!b.packed || b.packed_length != length) {
            b.packed = std::make_unique<packed_collapser>(length);
            b.packed_length = length;
        }
        found = b.packed->run(b.codes, b.reads);
        group = &b.packed->group();
    } else {
        std::vector<std::pair<std::string, int64_t>> in_order;
        in_order.reserve(umis.size());
        for (uint32_t i : b.order) in_order.emplace_back(std::string(umis[i]), reads[i]);
        found = text.run(in_order);
        group = &text.group();
    }
    for (uint32_t i = 0; i < b.order.size(); ++i)
        if ((*group)[i] == i) tops_.push_back(b.order[i]);
    return found;
}

std::vector<std::pair<std::string, std::string>> groups(std::vector<std::pair<std::string, int64_t>> umis) {
    prepare(umis);
    std::vector<uint32_t> group;
    collapse(umis, group);
    std::vector<std::pair<std::string, std::string>> members;
    for (size_t i = 0; i < umis.size(); ++i) members.emplace_back(umis[i].first, umis[group[i]].first);
    std::sort(members.begin(), members.end());
    return members;
}

namespace {

constexpr size_t huge_page = size_t{2} << 20;

// One distinct pair. key is the packed UMI or, for a UMI kept as text, its
// record number in the text arena. count 0 marks an empty slot.
struct pair_slot {
    uint64_t key;
    uint32_t barcode;
    uint32_t count;
};

// Zeroed slots. A large table is looked up at random, so it asks for 2 MB
// pages, which spare most look-ups a miss in the address translation cache.
class slot_array {
public:
    explicit slot_array(size_t count) : size_(count) {
        size_t bytes = count * sizeof(pair_slot);
        size_t align = bytes >= huge_page ? huge_page : 64;
        bytes = (bytes + align - 1) & ~(align - 1);
        data_ = static_cast<pair_slot*>(std::aligned_alloc(align, bytes));
        if (data_ == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (align == huge_page) ::madvise(data_, bytes, MADV_HUGEPAGE);  // a hint; small pages work too
#endif
        std::memset(static_cast<void*>(data_), 0, bytes);
    }
    ~slot_array() { std::free(data_); }
    slot_array(slot_array&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}
    slot_array& operator=(slot_array&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }

    size_t size() const { return size_; }
    pair_slot& operator[](size_t i) { return data_[i]; }
    const pair_slot* begin() const { return data_; }
    const pair_slot* end() const { return data_ + size_; }

private:
    pair_slot* data_;
    size_t size_;
};

// An open-addressing table of pairs with linear probing, at most 3/4 full;
// its own slot array rather than containers/open_table for the 2 MB pages
// and the 16-byte slot that marks a free one by its zero count.
class pair_table {
public:
    size_t size() const { return size_; }
    const slot_array& slots() const { return slots_; }
    bool full() const { return (size_ + 1) * 4 > slots_.size() * 3; }
    void prefetch(uint64_t hash) const { __builtin_prefetch(slots_.begin() + (hash & (slots_.size() - 1))); }

    // The slot of (barcode, key), found by hash and same(slot); a new pair
    // gets a zero count and the key made by make_key().
    template <class Same, class MakeKey>
    pair_slot& find(uint64_t hash, uint32_t barcode, Same same, MakeKey make_key) {
        size_t mask = slots_.size() - 1;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            pair_slot& s = slots_[at];
            if (s.count == 0) {
                s.key = make_key();
                s.barcode = barcode;
                ++size_;
                return s;
            }
            if (s.barcode == barcode && same(s)) return s;
        }
    }

    template <class Rehash>
    void grow(Rehash rehash) {
        slot_array bigger(slots_.size() * 2);
        size_t mask = bigger.size() - 1;
        for (const pair_slot& s : slots_) {
            if (s.count == 0) continue;
            size_t at = rehash(s) & mask;
            while (bigger[at].count != 0) at = (at + 1) & mask;
            bigger[at] = s;
        }
        slots_ = std::move(bigger);
    }

private:
    slot_array slots_{1024};
    size_t size_ = 0;
};

// A packed read waiting for its slot to arrive in the cache.
struct pending_read {
    uint64_t hash;
    uint64_t code;
    uint32_t barcode;
};
constexpr size_t reads_in_flight = 16;

// A pair out of a table, with its whole read count.
struct pair_item {
    uint64_t key;
    int64_t reads;
    uint32_t barcode;
};

bool by_barcode_then_group_order(const pair_item& a, const pair_item& b) {
    if (a.barcode != b.barcode) return a.barcode < b.barcode;
    if (a.reads != b.reads) return a.reads > b.reads;
    return a.key < b.key;
}

}  // namespace

struct pair_counter::tables {
    explicit tables(size_t length) : length(length) {}

    uint64_t text_hash(uint32_t barcode, std::string_view umi) const {
        uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a: the text path is the rare one
        for (char c : umi) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001b3ULL;
        return pair_hash(barcode, h);
    }

    std::string_view text_of(uint64_t record) const { return std::string_view(arena).substr(record * length, length); }

    void count_read(pair_slot& slot, bool is_packed) {
        if (slot.count == UINT32_MAX) {
            carry[{is_packed, slot.barcode, slot.key}] += slot.count;
            slot.count = 0;
        }
        ++slot.count;
    }

    int64_t reads_of(const pair_slot& slot, bool is_packed) const {
        int64_t reads = slot.count;
        if (!carry.empty()) {
            auto carried = carry.find({is_packed, slot.barcode, slot.key});
            if (carried != carry.end()) reads += carried->second;
        }
        return reads;
    }

    void add_packed(const pending_read& read) {
        if (packed.full()) packed.grow([](const pair_slot& s) { return pair_hash(s.barcode, s.key); });
        pair_slot& slot = packed.find(
            read.hash, read.barcode, [&](const pair_slot& s) { return s.key == read.code; }, [&] { return read.code; });
        count_read(slot, true);
    }

    void add_text(uint32_t barcode, std::string_view umi) {
        if (text.full()) text.grow([this](const pair_slot& s) { return text_hash(s.barcode, text_of(s.key)); });
        pair_slot& slot = text.find(
            text_hash(barcode, umi), barcode, [&](const pair_slot& s) { return text_of(s.key) == umi; },
            [&] {
                arena.append(umi);
                return static_cast<uint64_t>(text.size());
            });
        count_read(slot, false);
    }

    void flush() {
        for (size_t i = 0; i < in_flight; ++i) add_packed(ring[(next + i) % reads_in_flight]);
        in_flight = 0;
        next = 0;
    }

    std::vector<pair_item> items(const pair_table& t, bool is_packed) const {
        std::vector<pair_item> found;
        found.reserve(t.size());
        for (const pair_slot& s : t.slots())
            if (s.count != 0) found.push_back({s.key, reads_of(s, is_packed), s.barcode});
        std::sort(found.begin(), found.end(), by_barcode_then_group_order);
        return found;
    }

    size_t length;
    pair_table packed;
    pair_table text;
    std::string arena;  // the text UMIs, length letters each
    // Reads beyond 32 bits of a pair's count, by (packed?, barcode, key):
    // a pair would need over four billion reads to get here.
    std::map<std::tuple<bool, uint32_t, uint64_t>, int64_t> carry;
    // Packed reads are looked up some reads after their slot was prefetched,
    // so that the cache misses of several reads overlap.
    std::array<pending_read, reads_in_flight> ring{};
    size_t in_flight = 0;
    size_t next = 0;  // the oldest read in the ring
};

pair_counter::pair_counter(size_t umi_length) : tables_(std::make_unique<tables>(umi_length)) {}
pair_counter::~pair_counter() = default;
pair_counter::pair_counter(pair_counter&&) noexcept = default;
pair_counter& pair_counter::operator=(pair_counter&&) noexcept = default;

void pair_counter::add(uint32_t barcode, std::string_view umi) {
    tables& t = *tables_;
    if (umi.size() != t.length) throw std::invalid_argument("UMI of the wrong length");
    uint64_t code;
    if (!pack(umi, code)) {
        t.add_text(barcode, umi);
        return;
    }
    pending_read read{pair_hash(barcode, code), code, barcode};
    t.packed.prefetch(read.hash);
    if (t.in_flight < reads_in_flight) {
        t.ring[(t.next + t.in_flight++) % reads_in_flight] = read;
        return;
    }
    t.add_packed(t.ring[t.next]);
    t.ring[t.next] = read;
    t.next = (t.next + 1) % reads_in_flight;
}

size_t pair_counter::pairs() const {
    tables_->flush();
    return tables_->packed.size() + tables_->text.size();
}

void pair_counter::for_each_barcode(const std::function<void(uint32_t, int64_t)>& fn) const {
    const tables& t = *tables_;
    tables_->flush();
    std::vector<pair_item> packed = t.items(t.packed, true);
    std::vector<pair_item> text = t.items(t.text, false);
    packed_collapser collapser(t.length);
    std::vector<uint64_t> codes;
    std::vector<int64_t> reads;
    size_t p = 0;
    size_t x = 0;
    while (p < packed.size() || x < text.size()) {
        uint32_t barcode = p < packed.size() ? packed[p].barcode : UINT32_MAX;
        if (x < text.size()) barcode = std::min(barcode, text[x].barcode);
        codes.clear();
        reads.clear();
        for (; p < packed.size() && packed[p].barcode == barcode; ++p) {
            codes.push_back(packed[p].key);
            reads.push_back(packed[p].reads);
        }
        if (x == text.size() || text[x].barcode != barcode) {
            fn(barcode, collapser.run(codes, reads));
            continue;
        }
        // Letters other than A C G T among this barcode's UMIs: all of them as text.
        std::vector<std::pair<std::string, int64_t>> umis;
        for (size_t i = 0; i < codes.size(); ++i) umis.emplace_back(unpack(codes[i], t.length), reads[i]);
        for (; x < text.size() && text[x].barcode == barcode; ++x)
            umis.emplace_back(std::string(t.text_of(text[x].key)), text[x].reads);
        fn(barcode, molecules(std::move(umis)));
    }
}

}  // namespace umi

namespace umi {

void pair_counter::for_each_pair(const std::function<uint64_t(uint32_t)>& rank,
                                 const std::function<void(uint32_t, std::string_view, int64_t)>& fn) const {
    const tables& t = *tables_;
    tables_->flush();
    struct item {
        uint64_t rank;
        uint64_t key;
        int64_t reads;
        uint32_t barcode;
        bool packed;
    };
    std::vector<item> items;
    items.reserve(t.packed.size() + t.text.size());
    for (bool is_packed : {true, false})
        for (const pair_slot& slot : (is_packed ? t.packed : t.text).slots())
            if (slot.count != 0)
                items.push_back({rank(slot.barcode), slot.key, t.reads_of(slot, is_packed), slot.barcode, is_packed});
    auto letters = [&](const item& i) { return i.packed ? unpack(i.key, t.length) : std::string(t.text_of(i.key)); };
    std::sort(items.begin(), items.end(), [&](const item& a, const item& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        if (a.barcode != b.barcode) return a.barcode < b.barcode;
        if (a.reads != b.reads) return a.reads > b.reads;
        if (a.packed && b.packed) return a.key < b.key;  // packed order is byte order
        return letters(a) < letters(b);
    });
    std::string text;
    for (const item& i : items) {
        text = letters(i);
        fn(i.barcode, text, i.reads);
    }
}

}  // namespace umi
