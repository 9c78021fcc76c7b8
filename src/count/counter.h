// The read counter of count: the distinct processed sequences with their
// read counts, and their order in the count table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace count {

// Zeroed memory straight from the system, on 2 MB boundaries: where the
// system puts all memory on 2 MB pages, the counter's table and arena
// (touched at random) miss the address translation cache less.
class table_memory {
public:
    table_memory() = default;
    explicit table_memory(size_t bytes);
    ~table_memory();
    table_memory(table_memory&& other) noexcept;
    table_memory& operator=(table_memory&& other) noexcept;

    char* get() const { return static_cast<char*>(base_); }

private:
    void* base_ = nullptr;
    size_t size_ = 0;
};

// The distinct processed sequences with their read counts.
//
// A dedicated open-addressing table rather than containers/open_table
// (whose keys are values of one size): counting is the hot path of a run (one look-up per read, tens of
// millions of reads), so the hash is a fast word-wise one, each slot keeps
// 32 bits of the hash to reject mismatches without touching the key, and the
// keys with their counts sit packed in an arena (64 bytes for a 50-base
// sequence) instead of one allocation per entry. Counts are 64-bit.
class read_counter {
public:
    // A counted sequence as stored: its count, then its length and bytes.
    class record {
    public:
        static constexpr size_t header = sizeof(int64_t) + sizeof(uint32_t);  // then the bytes
        int64_t count() const { return count_; }
        std::string_view sequence() const { return {reinterpret_cast<const char*>(this) + header, length_}; }

    private:
        friend class read_counter;
        int64_t count_;
        uint32_t length_;
    };

    // Sequences to count together: looking many up at once lets the memory
    // fetches of their slots and records overlap instead of waiting for each
    // in turn (with hundreds of thousands of distinct sequences the table
    // does not fit in the caches).
    class batch {
    public:
        batch();
        // Room for the next sequence's length bytes, valid until commit();
        // what was written at the last prepared place stays.
        char* prepare(size_t length) {
            if (bytes_.size() - used_ < length) bytes_.resize(std::max(bytes_.size() * 2, used_ + length));
            return bytes_.data() + used_;
        }
        // The sequence written at the prepared place joins the batch.
        void commit(size_t length);
        bool full() const { return lengths_.size() >= capacity; }

    private:
        friend class read_counter;
        static constexpr size_t capacity = 128;  // what full() means
        std::vector<char> bytes_;
        size_t used_ = 0;
        std::vector<size_t> starts_;
        std::vector<size_t> lengths_;
        std::vector<uint64_t> hashes_;  // the counter's working space
    };

    read_counter();
    ~read_counter();
    read_counter(const read_counter&) = delete;
    read_counter& operator=(const read_counter&) = delete;

    // Counts one more read with this sequence. Returns the sequence's id,
    // the same for every read of it and never 0, so that further data (such
    // as its UMIs) can be kept per sequence elsewhere.
    uint32_t add(const char* sequence, size_t length);
    // Counts one more read for every sequence in the batch, and empties it.
    // With ids, ids[i] becomes the id of the batch's i-th sequence.
    void add(batch& sequences, std::vector<uint32_t>* ids = nullptr);
    // The record of an id that add() returned (valid until sort()).
    const record* find(uint32_t id) const { return at(id); }
    // The number of distinct sequences.
    int64_t unique() const { return static_cast<int64_t>(size_); }
    // Every record, by count descending, then by sequence ascending in byte
    // order. The list takes the place of the table (whose memory is large
    // enough), so the counter counts no more after this.
    std::span<const record* const> sort();
    // The same within groups: the records ordered first by their first
    // group_bytes bytes (1 or 2, which every sequence has) as a big-endian
    // number; starts[g] becomes the first of group g (starts[groups] the
    // end). Many small sorts keep to the cache where one large one cannot.
    std::span<const record* const> sort(size_t group_bytes, std::vector<size_t>& starts);

private:
    // A slot: the low 32 bits of the key's hash (which also give its place
    // when the table grows) and where its record is (0: free). Eight bytes a
    // slot keep the table small.
    struct slot {
        uint32_t hash;
        uint32_t ref;
    };
    uint32_t add(const char* sequence, size_t length, uint64_t hash);
    uint32_t new_record(const char* sequence, size_t length);  // counted once; its ref
    record* at(uint32_t ref) const {
        return reinterpret_cast<record*>(chunks_[(ref - 1) >> offset_bits].bytes.get() +
                                         ((static_cast<size_t>(ref - 1) & ((size_t{1} << offset_bits) - 1)) << 3));
    }
    void grow();
    slot* slots() const { return reinterpret_cast<slot*>(slot_memory_.get()); }

    static constexpr int offset_bits = 18;  // a ref: chunk index, then offset / 8 in the chunk
    table_memory slot_memory_;
    size_t mask_;  // slot count - 1
    size_t size_ = 0;
    // The arena: records stand one after another in each chunk, so a walk
    // over the chunks visits every record in memory order.
    struct chunk {
        table_memory bytes;
        size_t used;
    };
    std::vector<chunk> chunks_;
    static constexpr size_t no_chunk = ~size_t{0};
    size_t open_chunk_ = no_chunk;  // the chunk that takes short records
};

}  // namespace count
