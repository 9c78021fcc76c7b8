#include "count.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "error.h"
#include "hash.h"
#include "line_reader.h"
#include "output.h"
#include "text.h"

namespace count {

int trim_start;
int trim_end;
int trunc;
int fastq_flag;
int qsec_flag;
int clean_flag;
int quality_lo;
int quality_hi;
int quality_adj;
int quality_cutoff;

void reset_settings() {
    trim_start = 0;
    trim_end = 0;
    trunc = 0;
    fastq_flag = 0;
    qsec_flag = 0;
    clean_flag = 0;
    quality_lo = 0;
    quality_hi = 40;
    quality_adj = 64;
    quality_cutoff = 10;
}

// ---------------------------------------------------------------------------
// Quality masking

namespace {

#ifdef __SSE2__
// Sixteen bytes from offset n: lanes of which the last n are set.
alignas(16) const char lane_masks[32] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

inline int64_t lane_sum(__m128i bytes) {
    __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
}
#endif

}  // namespace

int64_t mask_bases(char* seq, const char* qual, size_t length) { return mask_copy(seq, seq, qual, length); }

int64_t mask_copy(char* out, const char* seq, const char* qual, size_t length) {
    // A score (signed quality byte - quality_adj) below quality_cutoff is the
    // same as a signed quality byte below quality_adj + quality_cutoff.
    const int64_t threshold = static_cast<int64_t>(quality_adj) + quality_cutoff;
    int64_t masked = 0;
    size_t i = 0;
#ifdef __SSE2__
    if (length >= 16) {
        // Sixteen bases at a time; a threshold beyond the signed byte range
        // masks everything (above) or nothing (below).
        const __m128i all_low = _mm_set1_epi8(threshold > 127 ? -1 : 0);
        const __m128i limit = _mm_set1_epi8(static_cast<char>(std::clamp<int64_t>(threshold, -128, 127)));
        const __m128i n_base = _mm_set1_epi8('N');
        const __m128i no_call = _mm_set1_epi8('.');
        __m128i tally = _mm_setzero_si128();  // per lane: masked bases, up to 255
        int rounds = 0;
        auto step = [&](size_t at, __m128i counted_lanes) {
            __m128i bases = _mm_loadu_si128(reinterpret_cast<const __m128i*>(seq + at));
            __m128i scores = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qual + at));
            __m128i low = _mm_or_si128(_mm_cmplt_epi8(scores, limit), all_low);
            __m128i to_n = _mm_or_si128(low, _mm_cmpeq_epi8(bases, no_call));
            bases = _mm_or_si128(_mm_and_si128(to_n, n_base), _mm_andnot_si128(to_n, bases));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), bases);
            tally = _mm_sub_epi8(tally, _mm_and_si128(low, counted_lanes));  // low lanes are -1
            if (++rounds == 255) {
                masked += lane_sum(tally);
                tally = _mm_setzero_si128();
                rounds = 0;
            }
        };
        for (; i + 16 <= length; i += 16) step(i, _mm_set1_epi8(-1));
        if (i < length) {
            // The last sixteen bases, overlapping ones already done: they come
            // out the same again, and only the new lanes count.
            size_t fresh = length - i;
            step(length - 16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(lane_masks + fresh)));
        }
        return masked + lane_sum(tally);
    }
#endif
    for (; i < length; ++i) {
        bool low = static_cast<signed char>(qual[i]) < threshold;
        masked += low;
        out[i] = low || seq[i] == '.' ? 'N' : seq[i];
    }
    return masked;
}

int quality_filter(char* seq, const char* qual) {
    size_t length = std::strlen(seq);
    if (length != std::strlen(qual)) fail(3, "Sequence length and quality length mismatch\n");
    return static_cast<int>(mask_bases(seq, qual, length));
}

// ---------------------------------------------------------------------------
// The counter

namespace {

constexpr size_t huge_page = size_t{2} << 20;

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
#ifdef MADV_HUGEPAGE
    ::madvise(base_, size_, MADV_HUGEPAGE);  // a hint; small pages work too
#endif
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

void read_counter::add(batch& sequences) {
    const size_t n = sequences.lengths_.size();
    std::vector<uint64_t>& hashes = sequences.hashes_;
    hashes.resize(n);
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
            add(bytes + sequences.starts_[i], sequences.lengths_[i], hashes[i]);
        }
    }
    sequences.starts_.clear();
    sequences.lengths_.clear();
    sequences.used_ = 0;
}

void read_counter::add(const char* sequence, size_t length) { add(sequence, length, hash_bytes(sequence, length)); }

void read_counter::add(const char* sequence, size_t length, uint64_t hash) {
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
                return;
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

// Level 0: the count; level k >= 1: key bytes [8(k - 1), 8k). Keys hold no
// NUL byte, so a key that ends inside a word sorts before its continuations.
inline uint64_t digit_at(const read_counter::record* r, size_t level) {
    if (level == 0) return ~static_cast<uint64_t>(r->count());
    return key_word(r->sequence(), 8 * (level - 1));
}

// The full order: count descending, then key ascending in byte order.
inline bool table_order(const sort_item& a, const sort_item& b) {
    if (a.entry->count() != b.entry->count()) return a.entry->count() > b.entry->count();
    return a.entry->sequence() < b.entry->sequence();
}

// The same for items that agree on the digits before level and carry their
// digit at level: the keys are looked at only when the digits are equal.
inline bool order_from(const sort_item& a, const sort_item& b, size_t level) {
    if (a.digit != b.digit) return a.digit < b.digit;
    std::string_view x = a.entry->sequence(), y = b.entry->sequence();
    size_t depth = 8 * level;  // level 0: equal counts, so from the start
    return x.substr(std::min(depth, x.size())) < y.substr(std::min(depth, y.size()));
}

void load_digits(sort_item* items, size_t n, size_t level) {
    constexpr size_t ahead = 32;
    for (size_t i = 0; i < n; ++i) {
        if (i + ahead < n) __builtin_prefetch(items[i + ahead].entry);
        items[i].digit = digit_at(items[i].entry, level);
    }
}

// Sorts items that agree on the digits before level and carry their digit at
// level. budget bounds the partitioning depth; past it, a plain sort.
void multikey_sort(sort_item* items, size_t n, size_t level, int budget) {
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
        multikey_sort(items, lt, level, budget);
        multikey_sort(items + gt, n - gt, level, budget);
        items += lt;  // the equal ones: on to the next digit
        n = gt - lt;
        if (n < 2) return;
        ++level;
        load_digits(items, n, level);
    }
    std::sort(items, items + n, [level](const sort_item& a, const sort_item& b) { return order_from(a, b, level); });
}

}  // namespace

std::span<const read_counter::record* const> read_counter::sort() {
    // The table holds at least two slots per record: room for an item each.
    static_assert(sizeof(sort_item) == 2 * sizeof(slot));
    char* memory = slot_memory_.get();
    auto* items = reinterpret_cast<sort_item*>(memory);
    size_t n = 0;
    for (const chunk& c : chunks_) {
        for (size_t offset = 0; offset < c.used;) {
            const auto* r = reinterpret_cast<const record*>(c.bytes.get() + offset);
            items[n++] = sort_item{digit_at(r, 0), r};
            offset += record_bytes(r->length_);
        }
    }
    int budget = 2 * (64 - __builtin_clzll(n | 1)) + 64;
    // Most sequences are seen once (read errors): they go last, in one pass,
    // and need sorting by key only.
    sort_item* ones = std::partition(items, items + n, [](const sort_item& item) { return item.entry->count() != 1; });
    multikey_sort(items, static_cast<size_t>(ones - items), 0, budget);
    size_t ones_count = static_cast<size_t>(items + n - ones);
    load_digits(ones, ones_count, 1);
    multikey_sort(ones, ones_count, 1, budget);
    // The records in order, packed to the front (each goes to a place below
    // its item's).
    for (size_t i = 0; i < n; ++i) {
        const record* r = items[i].entry;
        std::memcpy(memory + i * sizeof r, &r, sizeof r);
    }
    return {reinterpret_cast<const record* const*>(memory), n};
}

// ---------------------------------------------------------------------------
// The readers

namespace {

// The end of the line that starts at p within a block of whole lines: its
// line feed, or end for a last line without one. text_end is where the
// line's text ends: the line feed, or an earlier NUL.
inline const char* find_line_end(const char* p, const char* end, const char*& text_end) {
    while (p < end && *p != '\n' && *p != '\0') ++p;
    text_end = p;
    if (p < end && *p == '\0') {
        const void* line_feed_at = std::memchr(p, '\n', static_cast<size_t>(end - p));
        return line_feed_at != nullptr ? static_cast<const char*>(line_feed_at) : end;
    }
    return p;
}

// The line feeds of a block, found 64 bytes at a time: a bit mask of the line
// feeds in each 64-byte stretch, taken apart bit by bit, so that finding the
// end of a line costs a few instructions rather than a scan of its own.
class line_feeds {
public:
    line_feeds(const char* begin, size_t size) : begin_(begin), size_(size) { bits_ = mask_at(0); }

    // The offset of the next line feed, or the block's size when none is left.
    size_t next() {
        while (bits_ == 0) {
            base_ += 64;
            if (base_ >= size_) return size_;
            bits_ = mask_at(base_);
        }
        size_t at = base_ + static_cast<size_t>(__builtin_ctzll(bits_));
        bits_ &= bits_ - 1;
        return at;
    }

private:
    uint64_t mask_at(size_t offset) const {
        if (size_ - offset >= 64) return mask64(begin_ + offset);
        char tail[64] = {};  // zero bytes are no line feeds
        std::memcpy(tail, begin_ + offset, size_ - offset);
        return mask64(tail);
    }

    static uint64_t mask64(const char* p) {
#ifdef __SSE2__
        const __m128i line_feed = _mm_set1_epi8('\n');
        uint64_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            bits |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed))))
                    << (16 * i);
        }
        return bits;
#else
        uint64_t bits = 0;
        for (int i = 0; i < 64; ++i) bits |= static_cast<uint64_t>(p[i] == '\n') << i;
        return bits;
#endif
    }

    const char* begin_;
    size_t size_;
    size_t base_ = 0;
    uint64_t bits_;
};

// Calls handle(text, text_end) for every line of a block of whole lines,
// with the line's text ending at its line feed or at an earlier NUL.
template <typename Handle>
inline void for_each_line(std::string_view block, Handle&& handle) {
    const char* p = block.data();
    const char* end = p + block.size();
    if (std::memchr(p, '\0', block.size()) == nullptr) {
        line_feeds feeds(p, block.size());
        while (p < end) {
            const char* line_end = block.data() + feeds.next();
            handle(p, line_end);
            p = line_end < end ? line_end + 1 : end;
        }
    } else {  // rare: a block with a NUL byte, line by line
        while (p < end) {
            const char* text_end;
            const char* line_end = find_line_end(p, end, text_end);
            handle(p, text_end);
            p = line_end < end ? line_end + 1 : end;
        }
    }
}

// Trims, then truncates, a read's text.
inline void cut(const char*& text, size_t& length) {
    const size_t start = static_cast<size_t>(trim_start);
    const size_t both = start + static_cast<size_t>(trim_end);
    if (length < both) {
        length = 0;  // shorter than the trims: the empty read
    } else {
        text += start;
        length -= both;
    }
    if (trunc > 0 && length > static_cast<size_t>(trunc)) length = static_cast<size_t>(trunc);
}

// A read whose sequence and quality differ in length; reported by
// read_all_lines once the rest of a compressed input has been checked.
struct length_mismatch {};

// Runs the reader's loop. A damaged compressed stream garbles its text well
// before its checksum is reached, and the garbled lines soon fail the length
// check: the rest of such an input is read first, so that the stream's own
// fault (status 2) is what the run reports, not the mismatch it caused.
template <typename Loop>
void read_all_lines(line_reader& in, Loop loop) {
    try {
        loop();
    } catch (const length_mismatch&) {
        if (in.compressed()) in.skip_rest();
        fail(3, "Sequence length and quality length mismatch\n");
    }
}

// Masks one read into the batch (seq may already stand at the prepared
// place) and counts it.
inline void count_read(const char* seq, size_t length, const char* qual, size_t qual_length, read_counter::batch& batch,
                       read_counter& counts, read_totals& totals) {
    if (length != qual_length) throw length_mismatch{};
    int64_t masked = mask_copy(batch.prepare(length), seq, qual, length);
    totals.filtered += masked;
    if (clean_flag == 0 || masked == 0) {
        batch.commit(length);
        if (batch.full()) counts.add(batch);
    }
    ++totals.records;
}

}  // namespace

void process_fastq(line_reader& in, read_counter& counts, read_totals& totals) {
    read_counter::batch batch;
    // The processed sequence, from its line to the quality line: in the block,
    // or, when the record goes on into the next block, copied to the batch.
    const char* seq = nullptr;
    size_t seq_length = 0;
    int linetype = 0;  // place of the line in the four-line record
    std::string_view block;
    read_all_lines(in, [&] {
        while (in.next_block(block)) {
            for_each_line(block, [&](const char* text, const char* text_end) {
                if (linetype == 1) {
                    seq_length = static_cast<size_t>(text_end - text);
                    cut(text, seq_length);
                    seq = text;
                } else if (linetype == 3) {
                    size_t length = static_cast<size_t>(text_end - text);
                    cut(text, length);
                    count_read(seq, seq_length, text, length, batch, counts, totals);
                }
                linetype = (linetype + 1) & 3;
            });
            if (linetype >= 2) {  // the next block overwrites this one
                char* copy = batch.prepare(seq_length);
                std::memmove(copy, seq, seq_length);
                seq = copy;
            }
        }
    });
    counts.add(batch);
}

void process_qsec(line_reader& in, read_counter& counts, read_totals& totals) {
    read_counter::batch batch;
    std::string_view block;
    read_all_lines(in, [&] {
        while (in.next_block(block)) {
            for_each_line(block, [&](const char* line, const char* text_end) {
                // The sequence follows the 8th tab, the quality the 9th; the
                // quality ends at the 10th tab or, without one, at the line's end.
                const char* tabs[10];
                int found = 0;
                for (const char* at = line; found < 10; ++found) {
                    const void* tab = std::memchr(at, '\t', static_cast<size_t>(text_end - at));
                    if (tab == nullptr) break;
                    tabs[found] = static_cast<const char*>(tab);
                    at = tabs[found] + 1;
                }
                if (found < 9) {
                    warn("Warning: a qseq line is not in expected format; skipped\n");
                    return;
                }
                const char* seq = tabs[7] + 1;
                size_t length = static_cast<size_t>(tabs[8] - seq);
                cut(seq, length);
                const char* qual = tabs[8] + 1;
                size_t qual_length = static_cast<size_t>((found == 10 ? tabs[9] : text_end) - qual);
                cut(qual, qual_length);
                count_read(seq, length, qual, qual_length, batch, counts, totals);
            });
        }
    });
    counts.add(batch);
}

// ---------------------------------------------------------------------------
// The count table

void print_results(out_stream* f_out, const read_totals& totals, read_counter& counts) {
    std::span<const read_counter::record* const> records = counts.sort();
    write_table(f_out, [&](out_stream& out) {
        out.printf("#trim: %d:%d\n", trim_start, trim_end);
        out.printf("#truncate: %d\n", trunc);
        out.printf("#quality lo: %d\thi: %d\tadj: %d\tcutoff: %d\n", quality_lo, quality_hi, quality_adj,
                   quality_cutoff);
        out.printf("#total reads: %" PRId64 "\n", totals.records);
        out.printf("#unique reads: %" PRId64 "\n", counts.unique());
        out.printf("#filtered bases: %" PRId64 "\n", totals.filtered);
        out.put("#read\tcount\n");
        // The read lines are put together in a local buffer, many at a time;
        // the records are asked for a few lines ahead (sorted, they lie all
        // over the arena).
        constexpr size_t buffer_size = 1 << 16;
        std::unique_ptr<char[]> buffer(new char[buffer_size]);
        size_t used = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            if (i + 16 < records.size()) __builtin_prefetch(records[i + 16]);
            std::string_view sequence = records[i]->sequence();
            if (buffer_size - used < sequence.size() + 24) {
                out.put(std::string_view(buffer.get(), used));
                used = 0;
            }
            if (sequence.size() + 24 > buffer_size) {  // a very long read goes out as it is
                out.put(sequence);
            } else {
                std::memcpy(buffer.get() + used, sequence.data(), sequence.size());
                used += sequence.size();
            }
            buffer[used++] = '\t';
            char digits[20];
            size_t n = 0;
            for (uint64_t value = static_cast<uint64_t>(records[i]->count()); n == 0 || value != 0; value /= 10)
                digits[n++] = static_cast<char>('0' + value % 10);
            while (n > 0) buffer[used++] = digits[--n];
            buffer[used++] = '\n';
        }
        out.put(std::string_view(buffer.get(), used));
    });
}

}  // namespace count

// ---------------------------------------------------------------------------
// The command

using namespace count;

namespace {

void print_usage_message(const char* argv0) {
    std::fprintf(stderr, "usage: %s [-i 5':3'] [-u n] [-f|q] [-o output_file] [-m S|X|I|J|L] [-c] [input_file]\n",
                 argv0);
}

void print_help_message(const char* argv0) {
    out_stream& out = standard_output();
    out.printf("usage: %s [-i 5':3'] [-u n] [-f|q] [-o output_file] [-m S|X|I|J] [-c] [input_file]\n", argv0);
    out.put("input_file specifies the file with entries either in qseq or fastq format; if none provided, reads "
            "stdin\n\n");
    out.put("  -i X:Y\t trim X bases on 5' end and Y bases on 3' end\n");
    out.put("  -u N\t\t truncate sequence to N bases\n");
    out.put("  -f\t\t force input file to be parsed as a fastq file\n");
    out.put("  -q\t\t force input file to be parsed as a qsec file\n");
    out.put("  -o FILE\t additionally prints results to FILE\n");
    out.put("  -m S|X|I|J\t filters by Sanger, Solexa, Illumina 1.3+, Illumina 1.5+ (respectively)\n");
    out.put("  -c\t\t only unfiltered results will be reported in output\n");
    out.flush();
}

[[noreturn]] void usage_failure(const char* argv0) {
    print_usage_message(argv0);
    fail_quietly(1);
}

int saturated_int(int64_t value) {
    return static_cast<int>(
        std::clamp<int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// -i X:Y
void set_trims(const char* argv0, const char* arg) {
    const char* colon = std::strchr(arg, ':');
    if (colon == nullptr) usage_failure(argv0);
    trim_start = saturated_int(parse_atoi64(std::string_view(arg, static_cast<size_t>(colon - arg))));
    trim_end = parse_atoi32(colon + 1);
    if (trim_start < 0 || trim_end < 0) usage_failure(argv0);  // negative trims are refused
}

// -m M or -m Mn
void set_quality_method(const char* arg) {
    switch (arg[0]) {
        case 'S': quality_lo = 0, quality_hi = 40, quality_adj = 33; break;
        case 'X': quality_lo = -5, quality_hi = 40, quality_adj = 64; break;
        case 'I': quality_lo = 0, quality_hi = 40, quality_adj = 64; break;
        case 'J': quality_lo = 3, quality_hi = 40, quality_adj = 64; break;
        case 'L': quality_lo = 0, quality_hi = 41, quality_adj = 33; break;
        default: fail(1, "Unrecognized quality filter method (%c)\n", arg[0]);
    }
    if (arg[1] != '\0') {
        quality_cutoff = parse_atoi32(arg + 1);
        if (quality_cutoff <= 0) fail(1, "Invalid quality cutoff: %d\n", quality_cutoff);
    }
}

// The format from the file name: one trailing ".gz" is set aside, then the
// extension (from the last '.') decides. Messages show the name as given.
bool name_says_fastq(const char* path) {
    std::string_view name(path);
    if (name.size() >= 3 && name.substr(name.size() - 3) == ".gz") name.remove_suffix(3);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) fail(2, "Cannot determine file format of %s\n", path);
    std::string_view extension = name.substr(dot);
    if (extension == ".fastq" || extension == ".fq") return true;
    if (extension == ".txt") return false;
    fail(2, "Expected .fastq/.fq or .txt file (%s)\n", path);
}

// Whether to read FASTQ (else qseq), from the flags or the file name.
bool decide_fastq(const char* argv0, const char* path) {
    if (fastq_flag != 0 && qsec_flag != 0) fail(1, "%s: Both fastq and qsec flags indicated\n", argv0);
    if (fastq_flag != 0) return true;
    if (qsec_flag != 0) return false;
    if (path == nullptr) fail(2, "Reading from stdin requires -f or -q\n");
    return name_says_fastq(path);
}

std::unique_ptr<line_reader> open_input(const char* path) {
    std::string name = path != nullptr ? path : "stdin";
    std::unique_ptr<line_reader> in = line_reader::open(path, read_failure{"Could not read from file " + name + "\n", 1},
                                                        true, read_failure{"Could not decompress " + name + "\n", 2});
    if (in == nullptr) fail(1, "Could not read from file %s\n", name.c_str());
    return in;
}

}  // namespace

int count_main(int argc, char** argv) {
    reset_settings();
    if (argc > 1 && asks_for_help(argv[1])) {
        print_help_message(argv[0]);
        return 0;
    }

    std::unique_ptr<out_stream> f_out;
    optind = 0;  // a fresh scan (GNU getopt), also for a second run in one process
    for (int option; (option = getopt(argc, argv, "i:u:fqo:m:c")) != -1;) {
        switch (option) {
            case 'i': set_trims(argv[0], optarg); break;
            case 'u': count::trunc = parse_atoi32(optarg); break;
            case 'f': fastq_flag = 1; break;
            case 'q': qsec_flag = 1; break;
            case 'o':
                f_out = open_output_file(optarg);
                if (f_out == nullptr) fail(1, "Could not access %s for writing\n", optarg);
                break;
            case 'm': set_quality_method(optarg); break;
            case 'c': clean_flag = 1; break;
            default: usage_failure(argv[0]);  // getopt has said what was wrong
        }
    }
    if (argc - optind > 1) usage_failure(argv[0]);
    const char* path = optind < argc ? argv[optind] : nullptr;

    // A named file is opened before the format is decided, so that a file
    // that cannot be read is reported first. Standard input is taken only
    // once the format is known: reading it (to look for the gzip magic
    // number) could wait on a terminal.
    std::unique_ptr<line_reader> in;
    if (path != nullptr) in = open_input(path);
    bool fastq = decide_fastq(argv[0], path);
    if (path == nullptr) in = open_input(nullptr);

    read_counter counts;
    read_totals totals;
    if (fastq)
        process_fastq(*in, counts, totals);
    else
        process_qsec(*in, counts, totals);
    print_results(f_out.get(), totals, counts);
    return 0;
}
