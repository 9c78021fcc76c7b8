// The count sub-command: turns FASTQ or qseq reads into the count table,
// each distinct read (after trimming, truncation and quality masking) with
// the number of reads that had it, most frequent first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

class line_reader;
class out_stream;

int count_main(int argc, char** argv);

// The module's internals, open to the unit tests.
namespace count {

// Zeroed memory straight from the system, on 2 MB pages where the system
// allows: the counter's table and arena are touched at random, and with small
// pages nearly every look-up would also miss the address translation cache.
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

// Settings, set by the options; count_main restores the defaults first.
extern int trim_start;      // -i X:Y, bases cut from the start ...
extern int trim_end;        // ... and from the end of every read
extern int trunc;           // -u: longer reads are cut to this; 0 or less: no truncation
extern int fastq_flag;      // -f, or the file name: FASTQ
extern int qsec_flag;       // -q, or the file name: qseq
extern int clean_flag;      // -c: reads with a low-quality base are not counted
extern int quality_lo;      // -m: the encoding's lowest score (shown only)
extern int quality_hi;      // -m: the encoding's highest score (shown only)
extern int quality_adj;     // -m: character code of score 0
extern int quality_cutoff;  // -m: scores below it mask the base
void reset_settings();

// Masks seq in place: a base whose quality score (the quality character as
// a signed byte, less quality_adj) is below quality_cutoff becomes N, and so
// does every '.'. Returns the number of bases masked for low quality. Texts of
// different length end the run with "Sequence length and quality length
// mismatch", status 3, before anything changes.
int quality_filter(char* seq, const char* qual);

// The same on two texts of length bytes each (the readers' form).
int64_t mask_bases(char* seq, const char* qual, size_t length);
// The same, writing the masked sequence to out (which may be seq).
int64_t mask_copy(char* out, const char* seq, const char* qual, size_t length);

// The distinct processed sequences with their read counts.
//
// A dedicated open-addressing table rather than the generic hash of entry
// lists: counting is the hot path of a run (one look-up per read, tens of
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

    // Counts one more read with this sequence.
    void add(const char* sequence, size_t length);
    // Counts one more read for every sequence in the batch, and empties it.
    void add(batch& sequences);
    // The number of distinct sequences.
    int64_t unique() const { return static_cast<int64_t>(size_); }
    // Every record, by count descending, then by sequence ascending in byte
    // order. The list takes the place of the table (whose memory is large
    // enough), so the counter counts no more after this.
    std::span<const record* const> sort();

private:
    // A slot: the low 32 bits of the key's hash (which also give its place
    // when the table grows) and where its record is (0: free). Eight bytes a
    // slot keep the table small.
    struct slot {
        uint32_t hash;
        uint32_t ref;
    };
    void add(const char* sequence, size_t length, uint64_t hash);
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

// What a reader adds up besides the table.
struct read_totals {
    int64_t records = 0;   // reads read
    int64_t filtered = 0;  // bases masked for low quality
};

// The readers: read the whole input, trim, truncate and mask each read, and
// count it (unless clean_flag and it had a low-quality base).
void process_fastq(line_reader& in, read_counter& counts, read_totals& totals);
void process_qsec(line_reader& in, read_counter& counts, read_totals& totals);

// Writes the count table to f_out (when not null), then to standard output.
void print_results(out_stream* f_out, const read_totals& totals, read_counter& counts);

}  // namespace count
