// The read counter: distinct sequences with their read counts, and their
// order in the count table.
#include "count/counter.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

#include "cpu/two_cores.h"
#include "io/error.h"
#include "containers/mix.h"

namespace count {

namespace {

constexpr size_t huge_page = size_t{2} << 20;

// Below this many records a second thread costs more than it saves.
constexpr size_t parallel_sort_least = size_t{1} << 16;


}  // namespace

table_memory::table_memory(size_t bytes) {
    if (bytes < huge_page) {  // small: plain pages
        size_ = (bytes + 4095) & ~size_t{4095};
        base_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED) {
            base_ = nullptr;
            fail_out_of_memory();
        }
        return;
    }
    size_ = (bytes + huge_page - 1) & ~(huge_page - 1);
    // Map one huge page more than needed and give back the ends, so that the
    // block starts on a 2 MB boundary.
    void* mapped = ::mmap(nullptr, size_ + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) fail_out_of_memory();
    uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    if (size_t tail = start + size_ + huge_page - (aligned + size_)) ::munmap(reinterpret_cast<void*>(aligned + size_), tail);
    base_ = reinterpret_cast<void*>(aligned);
    // No MADV_HUGEPAGE: in a virtual machine that hands its free memory back
    // to its host, a 2 MB page is mostly memory handed back, and its first
    // touch cost 10 to 30 times what small pages did (a -x run of 20 M pairs,
    // 290 MB of counter: 2-5 s of system time against under 1 s), for 3-7%
    // less user time on the largest tables. A system that gives 2 MB pages
    // to all memory still can, the block being aligned.
}

table_memory::~table_memory() {
    if (base_ != nullptr) ::munmap(base_, size_);
}

table_memory::table_memory(table_memory&& other) noexcept : base_(other.base_), size_(other.size_) {
    other.base_ = nullptr;
    other.size_ = 0;
}

table_memory& table_memory::operator=(table_memory&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) ::munmap(base_, size_);
        base_ = other.base_;
        size_ = other.size_;
        other.base_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

namespace {

constexpr size_t initial_slots = size_t{1} << 16;
constexpr size_t arena_chunk = size_t{2} << 20;

inline uint64_t load64(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline uint64_t rotate_left(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

// A fast hash of a byte string: one multiply per eight bytes, then a full
// avalanche so that the low bits pick the slot well.
inline uint64_t hash_bytes(const char* p, size_t length) {
    constexpr uint64_t k = 0x9e3779b97f4a7c15ULL;
    uint64_t h = (length + 1) * k;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) h = (rotate_left(h, 23) ^ load64(p + i)) * k;
    size_t rest = length - i;
    if (rest > 0) {
        uint64_t word = 0;
        if (length >= 8) {
            word = load64(p + length - 8) >> (64 - 8 * rest);  // the last rest bytes
        } else {
            for (size_t j = 0; j < rest; ++j) word |= static_cast<uint64_t>(static_cast<unsigned char>(p[i + j])) << (8 * j);
        }
        h = (rotate_left(h, 23) ^ word) * k;
    }
    return hash_mix64(h);
}

}  // namespace

read_counter::read_counter() : slot_memory_(initial_slots * sizeof(slot)), mask_(initial_slots - 1) {}

read_counter::~read_counter() = default;

namespace {

inline size_t record_bytes(size_t length) { return (read_counter::record::header + length + 7) & ~size_t{7}; }

}  // namespace

uint32_t read_counter::new_record(const char* sequence, size_t length) {
    if (length > std::numeric_limits<uint32_t>::max()) fail_out_of_memory();
    size_t bytes = record_bytes(length);
    size_t index, offset;
    if (bytes > arena_chunk / 4) {
        // A long read gets a chunk of its own; the open chunk stays open.
        chunks_.push_back(chunk{table_memory(bytes), bytes});
        index = chunks_.size() - 1;
        offset = 0;
    } else {
        if (open_chunk_ == no_chunk || arena_chunk - chunks_[open_chunk_].used < bytes) {
            chunks_.push_back(chunk{table_memory(arena_chunk), 0});
            open_chunk_ = chunks_.size() - 1;
        }
        index = open_chunk_;
        offset = chunks_[index].used;
        chunks_[index].used += bytes;
    }
    // Refs count from 1 and hold 32 bits: 16,383 chunks (32 GB of records).
    if (index >= (size_t{1} << (32 - offset_bits)) - 1) fail_out_of_memory();
    char* place = chunks_[index].bytes.get() + offset;
    auto* fresh = new (place) record;
    fresh->count_ = 1;
    fresh->length_ = static_cast<uint32_t>(length);
    std::memcpy(place + record::header, sequence, length);
    return static_cast<uint32_t>(((index << offset_bits) | (offset >> 3)) + 1);
}

void read_counter::grow() {
    size_t capacity = (mask_ + 1) * 2;
    if (capacity > (size_t{1} << 32)) fail_out_of_memory();  // places come from 32 hash bits
    table_memory memory(capacity * sizeof(slot));
    slot* bigger = reinterpret_cast<slot*>(memory.get());
    size_t mask = capacity - 1;
    const slot* old = slots();
    for (size_t i = 0; i <= mask_; ++i) {
        if (old[i].ref == 0) continue;
        size_t place = old[i].hash & mask;
        while (bigger[place].ref != 0) place = (place + 1) & mask;
        bigger[place] = old[i];
    }
    slot_memory_ = std::move(memory);
    mask_ = mask;
}

read_counter::batch::batch() : bytes_(capacity * 64) {
    starts_.reserve(capacity);
    lengths_.reserve(capacity);
    hashes_.reserve(capacity);
}

void read_counter::batch::commit(size_t length) {
    starts_.push_back(used_);
    lengths_.push_back(length);
    used_ += length;
}

void read_counter::add(batch& sequences, std::vector<uint32_t>* ids) {
    const size_t n = sequences.lengths_.size();
    std::vector<uint64_t>& hashes = sequences.hashes_;
    hashes.resize(n);
    if (ids != nullptr) ids->resize(n);
    const char* bytes = sequences.bytes_.data();
    // A pipeline over the batch: a sequence is hashed and its slot asked for,
    // some steps later the record that slot points to is asked for, and some
    // steps after that it is counted, by which time both are (most likely)
    // in the cache. The requests are only hints: counting looks up afresh.
    constexpr size_t record_lag = 8;
    constexpr size_t count_lag = 16;
    for (size_t step = 0; step < n + count_lag; ++step) {
        const slot* table = slots();  // counting may have moved it
        if (step < n) {
            hashes[step] = hash_bytes(bytes + sequences.starts_[step], sequences.lengths_[step]);
            __builtin_prefetch(&table[hashes[step] & mask_]);
        }
        if (step >= record_lag && step - record_lag < n) {
            size_t i = step - record_lag;
            uint32_t ref = table[hashes[i] & mask_].ref;
            if (ref != 0) {
                const char* r = reinterpret_cast<const char*>(at(ref));
                __builtin_prefetch(r);
                __builtin_prefetch(r + record::header + sequences.lengths_[i]);
            }
        }
        if (step >= count_lag) {
            size_t i = step - count_lag;
            uint32_t id = add(bytes + sequences.starts_[i], sequences.lengths_[i], hashes[i]);
            if (ids != nullptr) (*ids)[i] = id;
        }
    }
    sequences.starts_.clear();
    sequences.lengths_.clear();
    sequences.used_ = 0;
}

uint32_t read_counter::add(const char* sequence, size_t length) {
    return add(sequence, length, hash_bytes(sequence, length));
}

uint32_t read_counter::add(const char* sequence, size_t length, uint64_t hash) {
    slot* table = slots();
    const uint32_t tag = static_cast<uint32_t>(hash);
    size_t place = hash & mask_;
    for (;;) {
        slot& s = table[place];
        if (s.ref == 0) break;
        if (s.hash == tag) {
            record* r = at(s.ref);
            if (r->length_ == length &&
                std::memcmp(reinterpret_cast<const char*>(r) + record::header, sequence, length) == 0) {
                ++r->count_;
                return s.ref;
            }
        }
        place = (place + 1) & mask_;
    }
    // A new sequence. Keep the table at most half full.
    if ((size_ + 1) * 2 > mask_ + 1) {
        grow();
        table = slots();
        place = hash & mask_;
        while (table[place].ref != 0) place = (place + 1) & mask_;
    }
    table[place] = slot{tag, new_record(sequence, length)};
    ++size_;
    return table[place].ref;
}

namespace {

// Sorting the records by count, then key: a multikey quicksort over 64-bit
// digits, the first made from the count (larger first), the others from the
// key, eight bytes at a time. Each item carries its digit at the current
// level, so comparisons need no trip to the arena; a run of items with equal
// digits moves on to the next digit as a whole (shared flanks of the reads
// cost one pass per eight bytes, not a sort).
struct sort_item {
    uint64_t digit;
    const read_counter::record* entry;
};

inline uint64_t key_word(std::string_view key, size_t depth) {
    if (depth >= key.size()) return 0;
    uint64_t word = 0;
    std::memcpy(&word, key.data() + depth, std::min<size_t>(8, key.size() - depth));
    return __builtin_bswap64(word);  // integer order = byte order
}

// Level 0: the count; level k >= 1: key bytes [skip + 8(k - 1), skip + 8k),
// where the keys being sorted share their first skip bytes. Keys hold no
// NUL byte, so a key that ends inside a word sorts before its continuations.
inline uint64_t digit_at(const read_counter::record* r, size_t level, size_t skip) {
    if (level == 0) return ~static_cast<uint64_t>(r->count());
    return key_word(r->sequence(), skip + 8 * (level - 1));
}

// The full order: count descending, then key ascending in byte order.
inline bool table_order(const sort_item& a, const sort_item& b) {
    if (a.entry->count() != b.entry->count()) return a.entry->count() > b.entry->count();
    return a.entry->sequence() < b.entry->sequence();
}

// The same for items that agree on the digits before level and carry their
// digit at level: the keys are looked at only when the digits are equal.
inline bool order_from(const sort_item& a, const sort_item& b, size_t level, size_t skip) {
    if (a.digit != b.digit) return a.digit < b.digit;
    std::string_view x = a.entry->sequence(), y = b.entry->sequence();
    size_t depth = skip + 8 * level;  // level 0: equal counts, so from the start
    return x.substr(std::min(depth, x.size())) < y.substr(std::min(depth, y.size()));
}

void load_digits(sort_item* items, size_t n, size_t level, size_t skip) {
    constexpr size_t ahead = 32;
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n) __builtin_prefetch(items[i + ahead].entry);
        items[i].digit = digit_at(items[i].entry, level, skip);
    }
}

// Sorts items that agree on the digits before level and carry their digit at
// level. budget bounds the partitioning depth; past it, a plain sort.
void multikey_sort(sort_item* items, size_t n, size_t level, int budget, size_t skip) {
    while (n >= 16) {
        if (budget-- == 0) {
            std::sort(items, items + n, table_order);
            return;
        }
        uint64_t a = items[0].digit, b = items[n / 2].digit, c = items[n - 1].digit;
        uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));  // the median
        size_t lt = 0, i = 0, gt = n;
        while (i < gt) {
            if (items[i].digit < pivot)
                std::swap(items[lt++], items[i++]);
            else if (items[i].digit > pivot)
                std::swap(items[i], items[--gt]);
            else
                ++i;
        }
        multikey_sort(items, lt, level, budget, skip);
        multikey_sort(items + gt, n - gt, level, budget, skip);
        items += lt;  // the equal ones: on to the next digit
        n = gt - lt;
        if (n < 2) return;
        ++level;
        load_digits(items, n, level, skip);
    }
    std::sort(items, items + n,
              [level, skip](const sort_item& a, const sort_item& b) { return order_from(a, b, level, skip); });
}

}  // namespace

namespace {

// The budget of a sort of n items: past it, a plain sort.
int sort_budget(size_t n) { return 2 * (64 - __builtin_clzll(n | 1)) + 64; }

// An item as it is first placed. Most sequences are seen once (read
// errors): they stand apart from the others from the start, carrying the
// first digit of their keys (they need sorting by key only), so that
// neither telling them apart nor that digit costs a second visit to the
// records, which by then lie all over the arena.
inline sort_item first_item(const read_counter::record* r, size_t skip) {
    return sort_item{digit_at(r, r->count() == 1 ? 1 : 0, skip), r};
}

// Sorts items into the table's order: the first several (those seen more
// than once) carry their level-0 digit, the rest (seen once) their level-1
// digit.
void sort_items(sort_item* items, size_t several, size_t n, size_t skip) {
    const int budget = sort_budget(n);
    multikey_sort(items, several, 0, budget, skip);
    multikey_sort(items + several, n - several, 1, budget, skip);
}

}  // namespace

std::span<const read_counter::record* const> read_counter::sort() {
    // The table holds at least two slots per record: room for an item each.
    static_assert(sizeof(sort_item) == 2 * sizeof(slot));
    char* memory = slot_memory_.get();
    auto* items = reinterpret_cast<sort_item*>(memory);
    // Those seen more than once from the front, those seen once from the back.
    size_t front = 0, back = size_;
    for (const chunk& c : chunks_) {
        for (size_t offset = 0; offset < c.used;) {
            const auto* r = reinterpret_cast<const record*>(c.bytes.get() + offset);
            items[r->count() == 1 ? --back : front++] = first_item(r, 0);
            offset += record_bytes(r->length_);
        }
    }
    sort_items(items, front, size_, 0);
    // The records in order, packed to the front (each goes to a place below
    // its item's).
    for (size_t i = 0; i < size_; ++i) {
        const record* r = items[i].entry;
        std::memcpy(memory + i * sizeof r, &r, sizeof r);
    }
    return {reinterpret_cast<const record* const*>(memory), size_};
}

std::span<const read_counter::record* const> read_counter::sort(size_t group_bytes, std::vector<size_t>& starts) {
    const size_t groups = size_t{1} << (8 * group_bytes);
    auto group_of = [group_bytes](const record* r) {
        const auto* key = reinterpret_cast<const unsigned char*>(r->sequence().data());
        return group_bytes == 1 ? size_t{key[0]} : (size_t{key[0]} << 8) | key[1];
    };
    // Counted, then placed by group (a counting sort), each group's records
    // seen more than once from its front and those seen once from its back;
    // the records are read once, in arena order.
    starts.assign(groups + 1, 0);
    std::vector<uint16_t> group(size_);
    size_t n = 0;
    for (const chunk& c : chunks_) {
        for (size_t offset = 0; offset < c.used;) {
            const auto* r = reinterpret_cast<const record*>(c.bytes.get() + offset);
            group[n] = static_cast<uint16_t>(group_of(r));
            ++starts[group[n++] + 1];
            offset += record_bytes(r->length_);
        }
    }
    for (size_t g = 0; g < groups; ++g) starts[g + 1] += starts[g];
    // The items take the table's place, as in sort(): no fresh memory.
    char* memory = slot_memory_.get();
    auto* items = reinterpret_cast<sort_item*>(memory);
    std::vector<size_t> front(starts.begin(), starts.end() - 1), back(starts.begin() + 1, starts.end());
    n = 0;
    for (const chunk& c : chunks_) {
        for (size_t offset = 0; offset < c.used;) {
            const auto* r = reinterpret_cast<const record*>(c.bytes.get() + offset);
            const size_t g = group[n++];
            items[r->count() == 1 ? --back[g] : front[g]++] = first_item(r, group_bytes);
            offset += record_bytes(r->length_);
        }
    }
    // A group's keys share their first group_bytes: the digits start after
    // them. The groups share nothing, so that a large table's second half
    // of them is sorted on a second core.
    auto sort_groups = [&](size_t from, size_t to) {
        for (size_t g = from; g < to; ++g)
            sort_items(items + starts[g], front[g] - starts[g], starts[g + 1] - starts[g], group_bytes);
    };
    const size_t half = static_cast<size_t>(std::lower_bound(starts.begin(), starts.end() - 1, n / 2) - starts.begin());
    in_turn_on_two_cores(n >= parallel_sort_least, [&] { sort_groups(0, half); }, [&] { sort_groups(half, groups); });
    for (size_t i = 0; i < n; ++i) {
        const record* r = items[i].entry;
        std::memcpy(memory + i * sizeof r, &r, sizeof r);
    }
    return {reinterpret_cast<const record* const*>(memory), n};
}

}  // namespace count
