// The readers of count: FASTQ and qseq text, cut into reads, each read
// trimmed, truncated, masked and counted.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "count.h"
#include "error.h"
#include "line_reader.h"
#include "umi.h"

namespace count {

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

// Where a reader stands, for its messages: the reads of a FASTQ file are
// its records, those of a qseq file its lines.
struct read_place {
    const char* unit;
    int64_t number = 0;  // of the read being read, from 1
};

// Runs the reader's loop. A damaged compressed stream garbles its text well
// before its checksum is reached, and the garbled lines soon fail the length
// check: the rest of such an input is read first, so that the stream's own
// fault (status 2) is what the run reports, not the mismatch it caused.
template <typename Loop>
void read_all_lines(line_reader& in, const read_place& place, Loop loop) {
    try {
        loop();
    } catch (const length_mismatch&) {
        if (in.compressed()) in.skip_rest();
        fail(3, "Sequence length and quality length mismatch in %s, %s %lld\n", input_name.c_str(), place.unit,
             static_cast<long long>(place.number));
    }
}

// A, C, G, T to their complements; every other character stays.
struct complement_table {
    char of[256];
    constexpr complement_table() : of() {
        for (int c = 0; c < 256; ++c) of[c] = static_cast<char>(c);
        of['A'] = 'T', of['T'] = 'A', of['C'] = 'G', of['G'] = 'C';
    }
};
constexpr complement_table complements;

// Room for n bytes in a working buffer that only grows (never empty, so
// that no copy is handed a null pointer).
inline char* room(std::vector<char>& buffer, size_t n) {
    if (buffer.size() < n || buffer.empty()) buffer.resize(std::max<size_t>(n, 256));
    return buffer.data();
}

// What becomes of a read once its reader has cut its texts out of the line.
// Without -p and -r, the read is masked straight into the counter's batch;
// otherwise it is turned around, searched for its layout, and only its
// barcode letters are masked and counted. With UMI slots, each counted
// read's UMI goes to the pair counter under its barcode's id.
class read_sink {
public:
    read_sink(read_counter& counts, read_totals& totals, const layout* shape, umi::pair_counter* pairs)
        : counts_(counts),
          totals_(totals),
          pairs_(pairs),
          reverse_(reverse_flag != 0),
          plain_(shape == nullptr && !reverse_),
          shape_(shape) {
        if (shape != nullptr) matcher_.emplace(*shape);
        probing_ = shape != nullptr && key_length < 0;
    }

    // Whether the reader trims and truncates; with -r the read is turned
    // around first, so take() does it.
    bool reader_cuts() const { return !reverse_; }

    // Keeps a sequence whose block is about to be overwritten.
    const char* hold(const char* seq, size_t length) {
        char* copy = plain_ ? batch_.prepare(length) : room(held_, length);
        std::memmove(copy, seq, length);
        return copy;
    }

    [[gnu::always_inline]] void take(const char* seq, size_t length, const char* qual, size_t qual_length) {
        if (length != qual_length) throw length_mismatch{};
        if (deciding_) [[unlikely]] {
            hold_back(seq, qual, length);
            return;
        }
        count_read(seq, qual, length);
    }

    void finish() {
        if (deciding_) decide();
        if (probing_) settle_key_length();
        flush();
    }

private:
    [[gnu::always_inline]] void count_read(const char* seq, const char* qual, size_t length) {
        ++totals_.records;
        if (plain_) {
            count_whole(seq, qual, length);  // seq may stand at the prepared place
        } else {
            take_turned(seq, qual, length);
        }
    }

    // -m A: the read waits with its qualities until the encoding is known.
    // A quality character below ';' settles it at once (Phred+33), so only
    // reads that could be Phred+64 are held, up to auto_quality_reads.
    [[gnu::noinline]] void hold_back(const char* seq, const char* qual, size_t length) {
        if (waiting_lengths_.empty()) {
            // Room for reads like the first, so that the text is not copied as it grows.
            waiting_.reserve(std::min(auto_quality_bytes, 2 * (length + 1) * static_cast<size_t>(auto_quality_reads)));
            waiting_lengths_.reserve(static_cast<size_t>(auto_quality_reads));
        }
        waiting_lengths_.push_back(length);
        waiting_.append(seq, length);
        waiting_.append(qual, length);
        quality_extremes(qual, length, lowest_, highest_);
        if (lowest_ < ';' || static_cast<int64_t>(waiting_lengths_.size()) >= auto_quality_reads ||
            waiting_.size() >= auto_quality_bytes)
            decide();
    }

    // Chooses the encoding, says so, and counts the reads held back.
    void decide() {
        deciding_ = false;
        char letter = encoding_from_qualities(lowest_, highest_);
        set_encoding(letter);
        warn("Quality encoding found from the reads: -m %c (%s)\n", letter, letter == 'I' ? "Phred+64" : "Phred+33");
        std::string held;
        held.swap(waiting_);
        const char* at = held.data();
        for (size_t length : waiting_lengths_) {
            count_read(at, at + length, length);
            at += 2 * length;
        }
        std::vector<size_t>().swap(waiting_lengths_);
    }

    [[gnu::noinline]] void take_turned(const char* seq, const char* qual, size_t length) {
        if (reverse_) {
            turn(seq, qual, length, turned_seq_, turned_qual_);
            seq = turned_seq_.data();
            qual = turned_qual_.data();
            size_t qual_length = length;
            cut(seq, length);
            cut(qual, qual_length);
        }
        if (!matcher_) {
            count_whole(seq, qual, length);
            return;
        }
        if (probing_) {
            probe(seq, qual, length);
            return;
        }
        take_oriented(seq, qual, length);
    }

    // Finds the layout in the read, or with -b in its reverse complement
    // (seq and qual then point at that).
    bool locate(const char*& seq, const char*& qual, size_t length, bool& other_strand) {
        other_strand = false;
        bool found = matcher_->match(seq, length);
        if (!found && both_strands_flag != 0) {
            turn(seq, qual, length, other_seq_, other_qual_);
            found = matcher_->match(other_seq_.data(), length);
            if (found) {
                seq = other_seq_.data();
                qual = other_qual_.data();
                other_strand = true;
            }
        }
        return found;
    }

    // -l auto: the first reads are kept until enough of them hold the
    // layout to tell the key length; then they are counted with it.
    void probe(const char* seq, const char* qual, size_t length) {
        held_reads_.append(seq, length);
        held_reads_.append(qual, length);
        held_lengths_.push_back(length);
        bool other_strand = false;
        if (locate(seq, qual, length, other_strand)) {
            probed_.push_back(static_cast<uint32_t>(matcher_->letters(element_kind::barcode)));
            if (probed_.size() == key_probe_reads) settle_key_length();
        }
        // Reads that rarely hold the layout are not all kept in memory.
        if (probing_ && held_lengths_.size() >= key_probe_limit) settle_key_length();
    }

    void settle_key_length() {
        probing_ = false;
        size_t found = key_length_from(std::move(probed_));
        if (found == 0) found = least_barcode_letters();
        key_length = static_cast<int>(std::min<size_t>(found, INT32_MAX));
        std::string reads = std::move(held_reads_);
        size_t at = 0;
        for (size_t length : held_lengths_) {
            take_oriented(reads.data() + at, reads.data() + at + length, length);
            at += 2 * length;
        }
        held_lengths_.clear();
    }

    // With no read holding the layout, the shortest barcode it allows.
    size_t least_barcode_letters() const {
        size_t letters = 0;
        for (const layout_element& e : shape_elements())
            if (e.kind == element_kind::barcode) letters += e.min_length;
        return std::max<size_t>(letters, 1);
    }

    const std::vector<layout_element>& shape_elements() const { return shape_->elements(); }

    void take_oriented(const char* seq, const char* qual, size_t length) {
        bool other_strand = false;
        if (!locate(seq, qual, length, other_strand)) {
            ++totals_.without_layout;
            return;
        }
        size_t letters = gather(element_kind::barcode, seq, qual, barcode_seq_, barcode_qual_);
        if (key_length > 0) {
            // A barcode cut short by the read's end or an indel does not
            // make a key of its own.
            if (letters < static_cast<size_t>(key_length)) {
                ++totals_.without_layout;
                return;
            }
            letters = static_cast<size_t>(key_length);
        }
        if (other_strand) ++totals_.reverse_strand;
        int64_t masked = mask(batch_.prepare(letters), barcode_seq_.data(), barcode_qual_.data(), letters);
        bool keep = clean_flag == 0 || masked == 0;
        if (pairs_ != nullptr) {
            size_t umi_letters = 0;
            keep = umi_without_n(seq, qual, umi_letters) && keep;
            if (keep) batch_umis_.append(umi_seq_.data(), umi_letters);
        }
        if (keep) commit(letters);
    }

    // Gathers and masks the read's UMI, like the barcode; false when it
    // holds an N.
    bool umi_without_n(const char* seq, const char* qual, size_t& letters) {
        letters = gather(element_kind::umi, seq, qual, umi_seq_, umi_qual_);
        char* umi = umi_seq_.data();
        mask(umi, umi, umi_qual_.data(), letters);
        if (std::memchr(umi, 'N', letters) == nullptr) return true;
        ++totals_.umi_with_n;
        return false;
    }

    // The letters of the layout's slots of a kind, with their qualities.
    size_t gather(element_kind kind, const char* seq, const char* qual, std::vector<char>& seq_out,
                  std::vector<char>& qual_out) {
        size_t letters = matcher_->letters(kind);
        return matcher_->gather(kind, seq, qual, room(seq_out, letters), room(qual_out, letters));
    }

    // The reverse complement of a read, its qualities reversed.
    static void turn(const char* seq, const char* qual, size_t length, std::vector<char>& seq_out,
                     std::vector<char>& qual_out) {
        char* s = room(seq_out, length);
        char* q = room(qual_out, length);
        for (size_t i = 0; i < length; ++i) {
            s[length - 1 - i] = complements.of[static_cast<unsigned char>(seq[i])];
            q[length - 1 - i] = qual[i];
        }
    }

    // Masks a sequence to out; returns the bases masked for low quality.
    [[gnu::always_inline]] int64_t mask(char* out, const char* seq, const char* qual, size_t length) {
        int64_t masked = mask_copy(out, seq, qual, length);
        if (masked != 0) {
            // Scores below the encoding's range are low ones, so only reads
            // with a masked base need looking at.
            totals_.filtered += masked;
            totals_.below_range += below_range(qual, length);
        }
        return masked;
    }

    // Masks the whole read to the batch and counts it.
    [[gnu::always_inline]] void count_whole(const char* seq, const char* qual, size_t length) {
        int64_t masked = mask(batch_.prepare(length), seq, qual, length);
        if (clean_flag == 0 || masked == 0) commit(length);
    }

    // Counts the sequence masked to the batch's prepared place.
    void commit(size_t length) {
        batch_.commit(length);
        if (batch_.full()) flush();
    }

    void flush() {
        if (pairs_ == nullptr) {
            counts_.add(batch_);
            return;
        }
        counts_.add(batch_, &ids_);
        const size_t umi_length = ids_.empty() ? 0 : batch_umis_.size() / ids_.size();
        for (size_t i = 0; i < ids_.size(); ++i)
            pairs_->add(ids_[i], std::string_view(batch_umis_).substr(i * umi_length, umi_length));
        batch_umis_.clear();
    }

    read_counter& counts_;
    read_totals& totals_;
    umi::pair_counter* const pairs_;
    const bool reverse_;
    const bool plain_;
    read_counter::batch batch_;
    const layout* const shape_;
    std::optional<layout_matcher> matcher_;
    bool probing_ = false;            // -l auto, before the key length is known
    std::string held_reads_;          // while probing: each read's letters, then its qualities
    std::vector<size_t> held_lengths_;
    std::vector<uint32_t> probed_;    // the barcode letters of the probed reads with the layout
    std::vector<char> held_, turned_seq_, turned_qual_, other_seq_, other_qual_;
    std::vector<char> barcode_seq_, barcode_qual_, umi_seq_, umi_qual_;
    std::string batch_umis_;     // the UMIs of the batch's reads, one after another
    std::vector<uint32_t> ids_;  // the ids of the batch's sequences
    // -m A, until the encoding is chosen: the reads held back (sequence,
    // then quality), their lengths, and their lowest and highest quality
    // characters.
    bool deciding_ = quality_auto != 0;
    std::string waiting_;
    std::vector<size_t> waiting_lengths_;
    unsigned char lowest_ = 255;
    unsigned char highest_ = 0;
};

}  // namespace

void process_fastq(line_reader& in, read_counter& counts, read_totals& totals, const layout* shape,
                   umi::pair_counter* pairs) {
    read_sink sink(counts, totals, shape, pairs);
    const bool cuts = sink.reader_cuts();
    // The sequence, from its line to the quality line: in the block, or,
    // when the record goes on into the next block, held by the sink.
    const char* seq = nullptr;
    size_t seq_length = 0;
    int linetype = 0;  // place of the line in the four-line record
    bool partial_text = false;  // whether the record read so far has a line that is not empty
    read_place place{"record"};
    std::string_view block;
    read_all_lines(in, place, [&] {
        while (in.next_block(block)) {
            for_each_line(block, [&](const char* text, const char* text_end) {
                partial_text = (linetype != 0 && partial_text) || text_end != text;
                if (linetype == 1) {
                    seq_length = static_cast<size_t>(text_end - text);
                    if (cuts) cut(text, seq_length);
                    seq = text;
                } else if (linetype == 3) {
                    size_t length = static_cast<size_t>(text_end - text);
                    if (cuts) cut(text, length);
                    ++place.number;
                    sink.take(seq, seq_length, text, length);
                }
                linetype = (linetype + 1) & 3;
            });
            if (linetype >= 2) seq = sink.hold(seq, seq_length);  // the next block overwrites this one
        }
    });
    sink.finish();
    // A file cut short loses its last record; blank lines at the end lose nothing.
    if (linetype != 0 && partial_text)
        warn("Warning: %s ends inside record %lld (%d of its 4 lines); that record is not counted\n",
             input_name.c_str(), static_cast<long long>(place.number + 1), linetype);
}

void process_qsec(line_reader& in, read_counter& counts, read_totals& totals, const layout* shape,
                  umi::pair_counter* pairs) {
    read_sink sink(counts, totals, shape, pairs);
    const bool cuts = sink.reader_cuts();
    std::string_view block;
    read_place place{"line"};
    read_all_lines(in, place, [&] {
        while (in.next_block(block)) {
            for_each_line(block, [&](const char* line, const char* text_end) {
                ++place.number;
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
                const char* qual = tabs[8] + 1;
                size_t qual_length = static_cast<size_t>((found == 10 ? tabs[9] : text_end) - qual);
                if (cuts) {
                    cut(seq, length);
                    cut(qual, qual_length);
                }
                sink.take(seq, length, qual, qual_length);
            });
        }
    });
    sink.finish();
}

}  // namespace count
