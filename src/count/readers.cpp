// The readers of count: FASTQ and qseq text, cut into reads, each read
// trimmed, truncated, masked and counted.
#include <algorithm>
#include <array>
#include <functional>
#include <type_traits>
#include <memory>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "count/count_internal.h"
#include "count/scan_kernels.h"
#include "count/samples.h"
#include "dna/letters.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "io/read_ahead.h"
#include "io/text.h"
#include "umi/umi.h"

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
// end of a line costs a few instructions rather than a scan of its own. The
// masks are made a batch of stretches at a time.
class line_feeds {
public:
    // A block to take apart, in place of the last.
    void reset(const char* begin, size_t size) {
        begin_ = begin;
        size_ = size;
        base_ = 0;
        fill(0);
        bits_ = words_[0];
    }

    // The offset of the next line feed, or the block's size when none is left.
    size_t next() {
        while (bits_ == 0) {
            base_ += 64;
            if (base_ >= size_) return size_;
            if (++word_ == batch) fill(base_);
            bits_ = words_[word_];
        }
        size_t at = base_ + static_cast<size_t>(__builtin_ctzll(bits_));
        bits_ &= bits_ - 1;
        return at;
    }

private:
    static constexpr size_t batch = 64;  // stretches of 64 bytes

    // The masks of the stretches from offset on.
    void fill(size_t offset) {
        word_ = 0;
        const size_t whole = std::min((size_ - offset) / 64, batch);
        scans_.line_feed_bits(begin_ + offset, whole, words_);
        if (whole < batch && offset + whole * 64 < size_) {
            char tail[64] = {};  // zero bytes are no line feeds
            std::memcpy(tail, begin_ + offset + whole * 64, size_ - offset - whole * 64);
            scans_.line_feed_bits(tail, 1, words_ + whole);
        }
    }

    const scan_kernels& scans_ = scan_kernels_best();
    const char* begin_ = nullptr;
    size_t size_ = 0;
    size_t base_ = 0;
    uint64_t bits_ = 0;
    size_t word_ = 0;
    uint64_t words_[batch];
};

// Trims, then truncates, a read's text.
inline void cut(const settings& s, const char*& text, size_t& length) {
    const size_t start = static_cast<size_t>(s.trim_start);
    const size_t both = start + static_cast<size_t>(s.trim_end);
    if (length < both) {
        length = 0;  // shorter than the trims: the empty read
    } else {
        text += start;
        length -= both;
    }
    if (s.trunc > 0 && length > static_cast<size_t>(s.trunc)) length = static_cast<size_t>(s.trunc);
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
void read_all_lines(line_reader& in, const std::string& input_name, const read_place& place, Loop loop) {
    try {
        loop();
    } catch (const length_mismatch&) {
        if (in.compressed()) in.skip_rest();
        fail(3, "Sequence length and quality length mismatch in %s, %s %lld\n", input_name.c_str(), place.unit,
             static_cast<long long>(place.number));
    }
}

// Room for n bytes in a working buffer that only grows (never empty, so
// that no copy is handed a null pointer).
inline char* room(std::vector<char>& buffer, size_t n) {
    if (buffer.size() < n || buffer.empty()) buffer.resize(std::max<size_t>(n, 256));
    return buffer.data();
}

// The reverse complement of a read, its qualities reversed.
void turn_read(const char* seq, const char* qual, size_t length, std::vector<char>& seq_out,
               std::vector<char>& qual_out) {
    char* s = room(seq_out, length);
    char* q = room(qual_out, length);
    for (size_t i = 0; i < length; ++i) {
        s[length - 1 - i] = dna::complement(seq[i]);
        q[length - 1 - i] = qual[i];
    }
}

// Masks a sequence to out and adds to the totals; returns the bases masked
// for low quality. Scores below the encoding's range are low ones, so only
// reads with a masked base need looking at.
[[gnu::always_inline]] inline int64_t mask_counted(const settings& s, read_totals& totals, char* out, const char* seq,
                                                   const char* qual, size_t length) {
    int64_t masked = mask_copy(s, out, seq, qual, length);
    if (masked != 0) {
        totals.filtered += masked;
        totals.below_range += below_range(s, qual, length);
    }
    return masked;
}

// Counts a batch of sequences; with UMIs, each one's UMI (all of one
// length, one after another in umis) goes to the pair counter under the
// sequence's id.
void flush_batch(read_counter& counts, read_counter::batch& batch, umi::pair_counter* pairs, std::string& umis,
                 std::vector<uint32_t>& ids) {
    if (pairs == nullptr) {
        counts.add(batch);
        return;
    }
    counts.add(batch, &ids);
    const size_t umi_length = ids.empty() ? 0 : umis.size() / ids.size();
    for (size_t i = 0; i < ids.size(); ++i) pairs->add(ids[i], std::string_view(umis).substr(i * umi_length, umi_length));
    umis.clear();
}

// A read as its stream hands it out, its texts valid until the next one:
// the name (a FASTQ header line, the first fields of a qseq line), the sequence and the qualities, trimmed and truncated when the
// stream cuts.
struct read_record {
    std::string_view name;
    const char* seq = nullptr;
    size_t seq_length = 0;
    const char* qual = nullptr;
    size_t qual_length = 0;
};

// -x: which sample a read (or pair) belongs to, from its header's index
// field or from the letters of its <n> slots, and each sample's totals.
// Every sample's keys go to one counter, each led by its sample's number
// (sample_prefix bytes, big-endian), so that a read costs what it costs
// without -x; the tables are taken apart when written. On cache lines of
// its own: the reading thread of a pair's files may use it beside the sink.
class alignas(64) sample_split {
public:
    sample_split(sample_matcher& matcher, std::vector<read_totals>& totals, undetermined_tally& undetermined,
                 bool in_read)
        : in_read(in_read), matcher_(matcher), totals_(totals), undetermined_(undetermined) {}

    const bool in_read;  // the sample barcode comes from <n> slots

    // The sample of a header, or -1 (the read counted as undetermined).
    int32_t by_header(std::string_view name) {
        const int32_t at_end = matcher_.find_at_end(name);
        if (at_end != sample_matcher::not_plain) return counted(at_end);
        std::string_view index = header_index(name);
        if (index.empty()) {
            without_barcode();
            return -1;
        }
        return by_text(index);
    }

    // The sample of a sample barcode ("A" or "A+B"), or -1.
    int32_t by_text(std::string_view text) { return counted(matcher_.find(text)); }

    // A read with no sample barcode: no index field, or no layout to hold
    // the <n> slots.
    void without_barcode() {
        ++undetermined_.reads;
        ++undetermined_.without_index;
    }

    read_totals& totals(int32_t id) { return totals_[static_cast<size_t>(id)]; }

    // The undetermined barcodes, once every read is in.
    void finish() {
        undetermined_.barcodes = matcher_.unmatched_texts();
    }

private:
    int32_t counted(int32_t id) {
        if (id == sample_matcher::none) ++undetermined_.reads;
        return id;
    }

    sample_matcher& matcher_;
    std::vector<read_totals>& totals_;
    undetermined_tally& undetermined_;
};

// A sample's number as the bytes that lead its keys.
inline void write_sample_prefix(char* out, int32_t id) {
    out[0] = static_cast<char>((id >> 8) & 0xff);
    out[1] = static_cast<char>(id & 0xff);
}

// -l auto with no read holding the layout: the fewest barcode letters it
// allows (none without a layout).
size_t barcode_letters_at_least(const layout* shape) {
    size_t letters = 0;
    if (shape != nullptr)
        for (const layout_element& e : shape->elements())
            if (e.kind == element_kind::barcode) letters += e.min_length;
    return letters;
}

// -m A: whether the reads held back so far settle the encoding. A quality
// character below ';' does at once (Phred+33); otherwise enough reads, or
// bytes, of them.
inline bool encoding_settled(unsigned char lowest, size_t reads, size_t bytes) {
    return lowest < ';' || static_cast<int64_t>(reads) >= auto_quality_reads || bytes >= auto_quality_bytes;
}

// Sets the encoding the held reads' extremes give, and says so.
void choose_encoding(settings& s, unsigned char lowest, unsigned char highest) {
    char letter = encoding_from_qualities(lowest, highest);
    set_encoding(s, letter);
    warn("Quality encoding found from the reads: -m %c (%s)\n", letter, letter == 'I' ? "Phred+64" : "Phred+33");
}

// What becomes of a read once its reader has cut its texts out of the line.
// Without -p and -r, the read is masked straight into the counter's batch;
// otherwise it is turned around, searched for its layout, and only its
// barcode letters are masked and counted. With UMI slots, each counted
// read's UMI goes to the pair counter under its barcode's id.
template <bool Split>
class read_sink {
public:
    // With split (-x), totals is not used: each read goes to its sample's.
    read_sink(settings& s, read_counter& counts, read_totals& totals, const layout* shape, umi::pair_counter* pairs,
              sample_split* split = nullptr)
        : s_(s),
          counts_(counts),
          totals_(&totals),
          split_(split),
          pairs_(pairs),
          reverse_(s.reverse_flag != 0),
          plain_(shape == nullptr && !reverse_),
          shape_(shape) {
        if (shape != nullptr) matcher_.emplace(*shape);
        probing_ = shape != nullptr && s.key_length < 0;
    }

    // Whether the reader trims and truncates; with -r the read is turned
    // around first, so take() does it.
    bool reader_cuts() const { return !reverse_; }

    [[gnu::always_inline]] void take(const read_record& r) {
        if (r.seq_length != r.qual_length) throw length_mismatch{};
        int32_t id = -1;
        if (Split && !split_->in_read) {
            id = split_->by_header(r.name);
            if (id < 0) return;
        }
        take(r.seq, r.seq_length, r.qual, id);
    }

    // A read of sample id (-1: none yet, or no -x).
    [[gnu::always_inline]] void take(const char* seq, size_t length, const char* qual, int32_t id) {
        if (deciding_) [[unlikely]] {
            hold_back(seq, qual, length, id);
            return;
        }
        count_read(seq, qual, length, id);
    }

    void finish() {
        if (deciding_) decide();
        if (probing_) settle_key_length();
        flush();
    }

private:
    [[gnu::always_inline]] void count_read(const char* seq, const char* qual, size_t length, int32_t id) {
        if (id >= 0) enter(id);
        // A sample barcode in the read: the read is the sample's once it is found.
        if (!Split || !split_->in_read) ++totals_->records;
        if (plain_) {
            count_whole(seq, qual, length);
        } else {
            take_turned(seq, qual, length, id);
        }
    }

    // -x: the reads that follow are sample id's.
    void enter(int32_t id) {
        sample_ = id;
        totals_ = &split_->totals(id);
    }

    // Room for a key of length letters in the batch, after its sample's number.
    [[gnu::always_inline]] char* key_place(size_t length) {
        char* place = batch_.prepare(length + prefix_);
        if constexpr (Split) write_sample_prefix(place, sample_);
        return place + prefix_;
    }

    // -m A: the read waits with its qualities until the encoding is known.
    // A quality character below ';' settles it at once (Phred+33), so only
    // reads that could be Phred+64 are held, up to auto_quality_reads.
    [[gnu::noinline]] void hold_back(const char* seq, const char* qual, size_t length, int32_t id) {
        if (waiting_lengths_.empty()) {
            // Room for reads like the first, so that the text is not copied as it grows.
            waiting_.reserve(std::min(auto_quality_bytes, 2 * (length + 1) * static_cast<size_t>(auto_quality_reads)));
            waiting_lengths_.reserve(static_cast<size_t>(auto_quality_reads));
        }
        waiting_lengths_.push_back(length);
        waiting_samples_.push_back(id);
        waiting_.append(seq, length);
        waiting_.append(qual, length);
        quality_extremes(qual, length, lowest_, highest_);
        if (encoding_settled(lowest_, waiting_lengths_.size(), waiting_.size())) decide();
    }

    // Chooses the encoding, says so, and counts the reads held back.
    void decide() {
        deciding_ = false;
        choose_encoding(s_, lowest_, highest_);
        std::string held;
        held.swap(waiting_);
        const char* at = held.data();
        for (size_t i = 0; i < waiting_lengths_.size(); ++i) {
            const size_t length = waiting_lengths_[i];
            count_read(at, at + length, length, waiting_samples_[i]);
            at += 2 * length;
        }
        std::vector<size_t>().swap(waiting_lengths_);
        std::vector<int32_t>().swap(waiting_samples_);
    }

    [[gnu::noinline]] void take_turned(const char* seq, const char* qual, size_t length, int32_t id) {
        if (reverse_) {
            turn(seq, qual, length, turned_seq_, turned_qual_);
            seq = turned_seq_.data();
            qual = turned_qual_.data();
            size_t qual_length = length;
            cut(s_, seq, length);
            cut(s_, qual, qual_length);
        }
        if (!matcher_) {
            count_whole(seq, qual, length);
            return;
        }
        if (probing_) {
            probe(seq, qual, length, id);
            return;
        }
        take_oriented(seq, qual, length);
    }

    // Finds the layout in the read, or with -b in its reverse complement
    // (seq and qual then point at that).
    bool locate(const char*& seq, const char*& qual, size_t length, bool& other_strand) {
        other_strand = false;
        bool found = matcher_->match(seq, length);
        if (!found && s_.both_strands_flag != 0) {
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
    void probe(const char* seq, const char* qual, size_t length, int32_t id) {
        held_reads_.append(seq, length);
        held_reads_.append(qual, length);
        held_lengths_.push_back(length);
        held_samples_.push_back(id);
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
        if (found == 0) found = std::max<size_t>(barcode_letters_at_least(shape_), 1);
        s_.key_length = static_cast<int>(std::min<size_t>(found, INT32_MAX));
        std::string reads = std::move(held_reads_);
        size_t at = 0;
        for (size_t i = 0; i < held_lengths_.size(); ++i) {
            const size_t length = held_lengths_[i];
            if (held_samples_[i] >= 0) enter(held_samples_[i]);
            take_oriented(reads.data() + at, reads.data() + at + length, length);
            at += 2 * length;
        }
        held_lengths_.clear();
        held_samples_.clear();
    }

    void take_oriented(const char* seq, const char* qual, size_t length) {
        bool other_strand = false;
        const bool in_read = Split && split_->in_read;
        if (!locate(seq, qual, length, other_strand)) {
            if (in_read)
                split_->without_barcode();
            else
                ++totals_->without_layout;
            return;
        }
        if (in_read) {
            // The sample barcode as read: like a header's index, it is not masked.
            size_t sample_letters = gather(element_kind::sample, seq, qual, sample_seq_, sample_qual_);
            int32_t id = split_->by_text(std::string_view(sample_seq_.data(), sample_letters));
            if (id < 0) return;
            enter(id);
            ++totals_->records;
        }
        size_t letters = gather(element_kind::barcode, seq, qual, barcode_seq_, barcode_qual_);
        if (s_.key_length > 0) {
            // A barcode cut short by the read's end or an indel does not
            // make a key of its own.
            if (letters < static_cast<size_t>(s_.key_length)) {
                ++totals_->without_layout;
                return;
            }
            letters = static_cast<size_t>(s_.key_length);
        }
        if (other_strand) ++totals_->reverse_strand;
        int64_t masked = mask(key_place(letters), barcode_seq_.data(), barcode_qual_.data(), letters);
        bool keep = s_.clean_flag == 0 || masked == 0;
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
        ++totals_->umi_with_n;
        return false;
    }

    // The letters of the layout's slots of a kind, with their qualities.
    size_t gather(element_kind kind, const char* seq, const char* qual, std::vector<char>& seq_out,
                  std::vector<char>& qual_out) {
        size_t letters = matcher_->letters(kind);
        return matcher_->gather(kind, seq, qual, room(seq_out, letters), room(qual_out, letters));
    }

    static void turn(const char* seq, const char* qual, size_t length, std::vector<char>& seq_out,
                     std::vector<char>& qual_out) {
        turn_read(seq, qual, length, seq_out, qual_out);
    }

    // Masks a sequence to out; returns the bases masked for low quality.
    [[gnu::always_inline]] int64_t mask(char* out, const char* seq, const char* qual, size_t length) {
        return mask_counted(s_, *totals_, out, seq, qual, length);
    }

    // Masks the whole read to the batch and counts it.
    [[gnu::always_inline]] void count_whole(const char* seq, const char* qual, size_t length) {
        int64_t masked = mask(key_place(length), seq, qual, length);
        if (s_.clean_flag == 0 || masked == 0) commit(length);
    }

    // Counts the key masked to the batch's prepared place.
    void commit(size_t length) {
        batch_.commit(length + prefix_);
        if (batch_.full()) flush();
    }

    void flush() { flush_batch(counts_, batch_, pairs_, batch_umis_, ids_); }

    settings& s_;
    read_counter& counts_;
    read_totals* totals_;
    sample_split* const split_;
    static constexpr size_t prefix_ = Split ? sample_prefix : 0;  // -x: the bytes of the sample's number before each key
    int32_t sample_ = -1;  // -x: the sample of the read at hand
    umi::pair_counter* const pairs_;
    const bool reverse_;
    const bool plain_;
    read_counter::batch batch_;
    const layout* const shape_;
    std::optional<layout_matcher> matcher_;
    bool probing_ = false;            // -l auto, before the key length is known
    std::string held_reads_;          // while probing: each read's letters, then its qualities
    std::vector<size_t> held_lengths_;
    std::vector<int32_t> held_samples_;  // -x: their samples (-1: found from the read)
    std::vector<uint32_t> probed_;    // the barcode letters of the probed reads with the layout
    std::vector<char> turned_seq_, turned_qual_, other_seq_, other_qual_;
    std::vector<char> barcode_seq_, barcode_qual_, umi_seq_, umi_qual_, sample_seq_, sample_qual_;
    std::string batch_umis_;     // the UMIs of the batch's reads, one after another
    std::vector<uint32_t> ids_;  // the ids of the batch's sequences
    // -m A, until the encoding is chosen: the reads held back (sequence,
    // then quality), their lengths, and their lowest and highest quality
    // characters.
    bool deciding_ = s_.quality_auto != 0;
    std::string waiting_;
    std::vector<size_t> waiting_lengths_;
    std::vector<int32_t> waiting_samples_;  // -x: their samples (-1: found from the read)
    unsigned char lowest_ = 255;
    unsigned char highest_ = 0;
};

// The lines of a line_reader, one at a time. Each block holds whole lines;
// a line's text ends at its line feed or at an earlier NUL.
class line_stream {
public:
    explicit line_stream(line_reader& in) : in_(in) {}

    // The next line of the current block; false when the block is used up
    // (then more() fetches the next one).
    [[gnu::always_inline]] bool line(const char*& text, const char*& text_end) {
        if (p_ >= end_) return false;
        text = p_;
        const char* line_end;
        if (!with_nul_) [[likely]] {
            line_end = block_start_ + feeds_.next();
            text_end = line_end;
        } else {
            line_end = find_line_end(p_, end_, text_end);
        }
        p_ = line_end < end_ ? line_end + 1 : end_;
        return true;
    }

    // The next block; false at the input's end. It overwrites the last one.
    bool more() {
        std::string_view block;
        do {
            if (!in_.next_block(block)) return false;
        } while (block.empty());
        block_start_ = p_ = block.data();
        end_ = p_ + block.size();
        with_nul_ = std::memchr(p_, '\0', block.size()) != nullptr;  // rare: then line by line
        if (!with_nul_) feeds_.reset(p_, block.size());
        return true;
    }

private:
    line_reader& in_;
    const char* block_start_ = nullptr;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    bool with_nul_ = false;
    line_feeds feeds_;
};

// FASTQ records: four lines each, the header, the sequence, the '+' line
// and the qualities. A record that goes on into the next block has its
// first lines kept here, as that block overwrites them.
class fastq_stream {
public:
    fastq_stream(line_reader& in, const settings& s, bool cuts) : lines_(in), s_(s), cuts_(cuts) {}

    static constexpr const char* unit = "record";

    [[gnu::always_inline]] bool next(read_record& r) {
        const char* text;
        const char* text_end;
        for (int line = 0; line < 4; ++line) {
            while (!lines_.line(text, text_end)) {
                if (line > 0) hold(r, line);
                if (!lines_.more()) {
                    // A file cut short loses its last record; blank lines at the end lose nothing.
                    lines_in_last_ = line;
                    return false;
                }
            }
            partial_text_ = (line != 0 && partial_text_) || text_end != text;
            size_t length = static_cast<size_t>(text_end - text);
            if (line == 0) {
                r.name = std::string_view(text, length);  // with its '@'
            } else if (line == 1) {
                if (cuts_) cut(s_, text, length);
                r.seq = text;
                r.seq_length = length;
            } else if (line == 3) {
                if (cuts_) cut(s_, text, length);
                r.qual = text;
                r.qual_length = length;
            }
        }
        ++number_;
        return true;
    }

    // The records handed out so far.
    int64_t number() const { return number_; }

    // A record's name without the header's '@'.
    static std::string_view bare_name(std::string_view name) {
        if (!name.empty() && name[0] == '@') name.remove_prefix(1);
        return name;
    }

    // Says so when the input ended inside a record with text.
    void warn_if_cut(const std::string& input_name) const {
        if (lines_in_last_ != 0 && partial_text_)
            warn("Warning: %s ends inside record %lld (%d of its 4 lines); that record is not counted\n",
                 input_name.c_str(), static_cast<long long>(number_ + 1), lines_in_last_);
    }

private:
    // Keeps the name and sequence read so far of the record in r.
    void hold(read_record& r, int lines_read) {
        held_name_.assign(r.name);
        r.name = held_name_;
        if (lines_read >= 2) {
            held_seq_.assign(r.seq, r.seq_length);
            r.seq = held_seq_.data();
        }
    }

    line_stream lines_;
    const settings& s_;
    const bool cuts_;
    int64_t number_ = 0;
    int lines_in_last_ = 0;
    bool partial_text_ = false;  // whether the record read so far has a line that is not empty
    std::string held_name_, held_seq_;
};

// qseq lines: the sequence follows the 8th tab, the quality the 9th; the
// quality ends at the 10th tab or, without one, at the line's end. The name
// is the fields before the 8th (the 8th is the read's number in its pair).
class qseq_stream {
public:
    qseq_stream(line_reader& in, const settings& s, bool cuts) : lines_(in), s_(s), cuts_(cuts) {}

    static constexpr const char* unit = "line";

    bool next(read_record& r) {
        const char* line;
        const char* text_end;
        for (;;) {
            while (!lines_.line(line, text_end))
                if (!lines_.more()) return false;
            ++number_;
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
                continue;
            }
            r.name = std::string_view(line, static_cast<size_t>(tabs[6] - line));
            r.seq = tabs[7] + 1;
            r.seq_length = static_cast<size_t>(tabs[8] - r.seq);
            r.qual = tabs[8] + 1;
            r.qual_length = static_cast<size_t>((found == 10 ? tabs[9] : text_end) - r.qual);
            if (cuts_) {
                cut(s_, r.seq, r.seq_length);
                cut(s_, r.qual, r.qual_length);
            }
            return true;
        }
    }

    // The lines read so far.
    int64_t number() const { return number_; }
    static std::string_view bare_name(std::string_view name) { return name; }
    void warn_if_cut(const std::string&) const {}

private:
    line_stream lines_;
    const settings& s_;
    const bool cuts_;
    int64_t number_ = 0;
};

// Reads every record of a stream into the sink.
template <typename Stream, typename Sink>
void read_into(line_reader& in, settings& s, Sink& sink) {
    Stream records(in, s, sink.reader_cuts());
    read_place place{Stream::unit};
    read_record r;
    read_all_lines(in, s.input_name, place, [&] {
        while (records.next(r)) {
            place.number = records.number();
            sink.take(r);
        }
    });
    sink.finish();
    records.warn_if_cut(s.input_name);
}

// What becomes of a pair: each read turned around (-r) and searched for its
// own layout (-b: on both strands), then the barcode letters of read 1 and
// of read 2 joined, masked and counted as one key; UMIs likewise.
template <bool Split>
class pair_sink {
public:
    // With split (-x), totals is not used: each pair goes to its sample's.
    pair_sink(settings& s, read_counter& counts, read_totals& totals, const layout* shape1, const layout* shape2,
              umi::pair_counter* pairs, sample_split* split = nullptr)
        : s_(s),
          counts_(counts),
          totals_(&totals),
          split_(split),
          pairs_(pairs),
          shapes_{shape1, shape2} {
        for (int i = 0; i < 2; ++i) {
            if (shapes_[i] == nullptr) continue;
            mates_[i].matcher.emplace(*shapes_[i]);
            mates_[i].sample_slots = shapes_[i]->has(element_kind::sample);
        }
    }

    bool reader_cuts() const { return s_.reverse_flag == 0; }

    // -x by the header: the split that tells a pair's sample by read 1's
    // header, or null. The reading thread may ask it (it touches only the
    // matcher and the undetermined tally, never the sink).
    sample_split* header_split() const { return samples_by_header() ? split_ : nullptr; }

    void take(const read_record& r1, const read_record& r2) {
        take(r1, r2, samples_by_header() ? split_->by_header(r1.name) : -1);
    }

    // header_sample: the pair's sample by its header, when samples_by_header().
    void take(const read_record& r1, const read_record& r2, int32_t header_sample) {
        int32_t id = header_sample;
        if (samples_by_header() && id < 0) return;
        const pair_texts p{r1.seq, r1.qual, r1.seq_length, r2.seq, r2.qual, r2.seq_length};
        if (deciding_ || probing_) [[unlikely]] {
            hold(p, id);
            return;
        }
        count_pair(p, id);
    }

    void finish() {
        if (deciding_) decide();
        if (probing_) settle_key_length();
        flush();
    }

private:
    bool samples_by_header() const { return Split && !split_->in_read; }

    struct mate {
        std::optional<layout_matcher> matcher;
        bool sample_slots = false;  // the layout has <n> slots
        const char* seq = nullptr;
        const char* qual = nullptr;
        size_t length = 0;
        bool other_strand = false;
        std::vector<char> turned_seq, turned_qual, other_seq, other_qual;
    };
    struct pair_texts {
        const char* seq[2];
        const char* qual[2];
        size_t length[2];
        pair_texts(const char* s1, const char* q1, size_t n1, const char* s2, const char* q2, size_t n2)
            : seq{s1, s2}, qual{q1, q2}, length{n1, n2} {}
    };

    // Pairs held back while -m A or -l auto decides: each pair's texts
    // (read 1's letters and qualities, then read 2's), lengths and sample.
    struct held_pairs {
        std::string text;
        std::vector<std::array<size_t, 2>> lengths;
        std::vector<int32_t> samples;  // -x: -1 when found from the reads

        size_t size() const { return lengths.size(); }
        void add(const pair_texts& p, int32_t id) {
            for (int i = 0; i < 2; ++i) text.append(p.seq[i], p.length[i]).append(p.qual[i], p.length[i]);
            lengths.push_back({p.length[0], p.length[1]});
            samples.push_back(id);
        }
        // visit(pair, sample) for each pair held, in turn; then none is held.
        template <typename Visit>
        void release(Visit visit) {
            std::string all = std::move(text);
            std::vector<std::array<size_t, 2>> all_lengths = std::move(lengths);
            std::vector<int32_t> all_samples = std::move(samples);
            *this = held_pairs();
            const char* at = all.data();
            for (size_t i = 0; i < all_lengths.size(); ++i) {
                const size_t n1 = all_lengths[i][0], n2 = all_lengths[i][1];
                const pair_texts p{at, at + n1, n1, at + 2 * n1, at + 2 * n1 + n2, n2};
                visit(p, all_samples[i]);
                at += 2 * (n1 + n2);
            }
        }
    };

    // -m A: a pair waits until the encoding is known (see read_sink's
    // hold_back); -l auto: then until the key length is.
    void hold(const pair_texts& p, int32_t id) {
        if (!deciding_) {
            probe(p, id);
            return;
        }
        waiting_.add(p, id);
        for (int i = 0; i < 2; ++i) quality_extremes(p.qual[i], p.length[i], lowest_, highest_);
        if (encoding_settled(lowest_, waiting_.size(), waiting_.text.size())) decide();
    }

    void decide() {
        deciding_ = false;
        choose_encoding(s_, lowest_, highest_);
        waiting_.release([this](const pair_texts& p, int32_t id) {
            if (probing_)
                probe(p, id);
            else
                count_pair(p, id);
        });
    }

    // -l auto: the joined barcode letters of the first pairs with both
    // layouts give the key length.
    void probe(const pair_texts& p, int32_t id) {
        probe_held_.add(p, id);
        bool found[2];
        place(p, found, false);
        if (found[0] && found[1]) {
            size_t letters = 0;
            for (const mate& m : mates_)
                if (m.matcher) letters += m.matcher->letters(element_kind::barcode);
            probed_.push_back(static_cast<uint32_t>(std::min<size_t>(letters, UINT32_MAX)));
            if (probed_.size() == key_probe_reads) {
                settle_key_length();
                return;
            }
        }
        if (probe_held_.size() >= key_probe_limit) settle_key_length();
    }

    void settle_key_length() {
        probing_ = false;
        size_t found = key_length_from(std::move(probed_));
        // No pair with both layouts: the shortest joined barcode they allow.
        if (found == 0) found = std::max<size_t>(barcode_letters_at_least(shapes_[0]) + barcode_letters_at_least(shapes_[1]), 1);
        s_.key_length = static_cast<int>(std::min<size_t>(found, INT32_MAX));
        probe_held_.release([this](const pair_texts& p, int32_t id) { count_pair(p, id); });
    }

    // Turns each read (-r) and searches it for its layout; found[i] tells
    // whether read i has its own (a read without a layout always has).
    void place(const pair_texts& p, bool found[2], bool all) {
        for (int i = 0; i < 2; ++i) {
            mate& m = mates_[i];
            m.seq = p.seq[i];
            m.qual = p.qual[i];
            m.length = p.length[i];
            if (s_.reverse_flag != 0) {
                turn(m.seq, m.qual, m.length, m.turned_seq, m.turned_qual);
                m.seq = m.turned_seq.data();
                m.qual = m.turned_qual.data();
                size_t qual_length = m.length;
                cut(s_, m.seq, m.length);
                cut(s_, m.qual, qual_length);
            }
            found[i] = !m.matcher || locate(m);
            // Without all, the first read without its layout settles the pair.
            if (!found[i] && !all) {
                found[1] = false;
                return;
            }
        }
    }

    void count_pair(const pair_texts& p, int32_t id) {
        const bool in_read = Split && split_->in_read;
        if (id >= 0) enter(id);
        if (!in_read) ++totals_->records;
        bool found[2];
        place(p, found, in_read);
        if (in_read) {
            // The pair is a sample's once the reads that hold its barcode have their layouts.
            if ((mates_[0].sample_slots && !found[0]) || (mates_[1].sample_slots && !found[1])) {
                split_->without_barcode();
                return;
            }
            id = split_->by_text(sample_barcode());
            if (id < 0) return;
            enter(id);
            ++totals_->records;
        }
        if (!found[0] || !found[1]) {
            ++totals_->without_layout;
            return;
        }
        size_t letters = join(element_kind::barcode, key_seq_, key_qual_);
        if (s_.key_length > 0) {
            if (letters < static_cast<size_t>(s_.key_length)) {
                ++totals_->without_layout;
                return;
            }
            letters = static_cast<size_t>(s_.key_length);
        }
        for (const mate& m : mates_) totals_->reverse_strand += m.other_strand;
        char* key = batch_.prepare(letters + prefix_);
        if constexpr (Split) write_sample_prefix(key, sample_);
        int64_t masked = mask(key + prefix_, key_seq_.data(), key_qual_.data(), letters);
        bool keep = s_.clean_flag == 0 || masked == 0;
        if (pairs_ != nullptr) {
            size_t umi_letters = join(element_kind::umi, umi_seq_, umi_qual_);
            char* umi = umi_seq_.data();
            mask_copy(s_, umi, umi, umi_qual_.data(), umi_letters);
            if (std::memchr(umi, 'N', umi_letters) != nullptr) {
                ++totals_->umi_with_n;
                keep = false;
            }
            if (keep) batch_umis_.append(umi, umi_letters);
        }
        if (keep) {
            batch_.commit(letters + prefix_);
            if (batch_.full()) flush();
        }
    }

    // The <n> slots' letters of read 1, then '+' and those of read 2 when
    // both layouts have some, as read (not masked, like a header's index).
    std::string_view sample_barcode() {
        size_t total = 2;
        for (const mate& m : mates_)
            if (m.sample_slots) total += m.matcher->letters(element_kind::sample);
        char* out = room(sample_seq_, total);
        size_t at = 0;
        for (const mate& m : mates_) {
            if (!m.sample_slots) continue;
            if (&m == &mates_[1] && mates_[0].sample_slots) out[at++] = '+';
            at += m.matcher->gather(element_kind::sample, m.seq, m.qual, out + at, nullptr);
        }
        return {out, at};
    }

    void enter(int32_t id) {
        sample_ = id;
        totals_ = &split_->totals(id);
    }

    bool locate(mate& m) {
        m.other_strand = false;
        if (m.matcher->match(m.seq, m.length)) return true;
        if (s_.both_strands_flag == 0) return false;
        turn(m.seq, m.qual, m.length, m.other_seq, m.other_qual);
        if (!m.matcher->match(m.other_seq.data(), m.length)) return false;
        m.seq = m.other_seq.data();
        m.qual = m.other_qual.data();
        m.other_strand = true;
        return true;
    }

    // The letters of a kind of slot of read 1, then of read 2, with their qualities.
    size_t join(element_kind kind, std::vector<char>& seq_out, std::vector<char>& qual_out) {
        size_t total = 0;
        for (const mate& m : mates_)
            if (m.matcher) total += m.matcher->letters(kind);
        char* seq = room(seq_out, total);
        char* qual = room(qual_out, total);
        size_t at = 0;
        for (const mate& m : mates_)
            if (m.matcher) at += m.matcher->gather(kind, m.seq, m.qual, seq + at, qual + at);
        return at;
    }

    static void turn(const char* seq, const char* qual, size_t length, std::vector<char>& seq_out,
                     std::vector<char>& qual_out) {
        turn_read(seq, qual, length, seq_out, qual_out);
    }

    int64_t mask(char* out, const char* seq, const char* qual, size_t length) {
        return mask_counted(s_, *totals_, out, seq, qual, length);
    }

    void flush() { flush_batch(counts_, batch_, pairs_, batch_umis_, ids_); }

    settings& s_;
    read_counter& counts_;
    read_totals* totals_;
    sample_split* const split_;
    static constexpr size_t prefix_ = Split ? sample_prefix : 0;  // -x: the bytes of the sample's number before each key
    int32_t sample_ = -1;  // -x: the sample of the pair at hand
    umi::pair_counter* const pairs_;
    const layout* const shapes_[2];
    mate mates_[2];
    read_counter::batch batch_;
    std::vector<char> key_seq_, key_qual_, umi_seq_, umi_qual_, sample_seq_;
    bool deciding_ = s_.quality_auto != 0;  // -m A, until the encoding is chosen
    held_pairs waiting_;
    unsigned char lowest_ = 255, highest_ = 0;  // of the pairs waiting
    bool probing_ = s_.key_length < 0;  // -l auto, until the key length is known
    held_pairs probe_held_;
    std::vector<uint32_t> probed_;
    std::string batch_umis_;
    std::vector<uint32_t> ids_;
};

// Ends the run on a read whose texts differ in length, naming its file; a
// compressed input is read to its end first (see read_all_lines).
void check_lengths(line_reader& in, const std::string& name, const char* unit, int64_t number,
                   const read_record& r) {
    if (r.seq_length == r.qual_length) return;
    if (in.compressed()) in.skip_rest();
    fail(3, "Sequence length and quality length mismatch in %s, %s %lld\n", name.c_str(), unit,
         static_cast<long long>(number));
}

// Whether two names are byte for byte the same up to a space in both at
// the same place: the mates of most runs ("NAME 1:N:0:..", "NAME 2:N:0:.."),
// told eight bytes a step without cutting the names first.
inline bool alike_to_a_space(std::string_view a, std::string_view b) {
    constexpr uint64_t spaces = 0x2020202020202020ull;
    const size_t n = std::min(a.size(), b.size());
    for (size_t at = 0; at + 8 <= n; at += 8) {
        uint64_t x = 0, y = 0;
        std::memcpy(&x, a.data() + at, 8);
        std::memcpy(&y, b.data() + at, 8);
        const uint64_t space = zero_bytes(x ^ spaces);
        if (space == 0) {
            if (x != y) return false;
            continue;
        }
        // Up to and with the first space of a's word (its lowest set bit).
        const uint64_t through = space ^ (space - 1);
        return ((x ^ y) & through) == 0;
    }
    return false;
}

// Ends the run when two reads' names (up to the first space, a trailing
// /1 or /2 removed) are not those of one pair.
[[gnu::noinline]] void check_pair_names(const settings& s, const char* unit, int64_t number, std::string_view bare1,
                                        std::string_view bare2) {
    const std::string_view name1 = pair_name(bare1), name2 = pair_name(bare2);
    if (name1 == name2) return;
    fail(1, "Read names differ in %s and %s, %s %lld: '%.*s' and '%.*s'\n", s.input_name.c_str(), s.mate_name.c_str(),
         unit, static_cast<long long>(number), static_cast<int>(name1.size()), name1.data(),
         static_cast<int>(name2.size()), name2.data());
}

// Read 1's records read on a thread of their own, a few batches ahead of the
// pairs: the second core reads, splits and copies read 1's file (inflates
// it, when gzipped) and, with -x by the header, finds each record's sample,
// while the first reads read 2's file and makes the pairs. Only that thread
// touches the sample matcher's tally then; each batch's texts are copies,
// as the reader's buffer is overwritten before the pairs are made.
class fastq_ahead {
public:
    static constexpr const char* unit = fastq_stream::unit;
    using header_sample = std::function<int32_t(std::string_view)>;

    // sample (may be empty) gives each record's sample from its header.
    fastq_ahead(line_reader& in, const settings& s, bool cuts, header_sample sample)
        : reading_{fastq_stream(in, s, cuts), std::move(sample)}, ahead_([this](batch& b) { return fill(b); }) {}

    // The next record, with its texts valid until the next call.
    bool next(read_record& r) {
        while (at_ == entries_) {
            batch_ = ahead_.next();
            if (batch_ == nullptr) return false;
            at_ = 0;
            entries_ = batch_->entries.size();
            text_ = batch_->text.data();
        }
        const entry& e = batch_->entries[at_++];
        r.name = std::string_view(text_, e.name_length);
        r.seq = text_ + e.name_length;
        r.seq_length = e.seq_length;
        r.qual = r.seq + e.seq_length;
        r.qual_length = e.qual_length;
        text_ = r.qual + e.qual_length;
        sample_at_ = e.sample;
        ++number_;
        return true;
    }

    // The sample of the record last handed out (-1 without a look-up).
    int32_t sample() const { return sample_at_; }
    int64_t number() const { return number_; }
    static std::string_view bare_name(std::string_view name) { return fastq_stream::bare_name(name); }
    // Once next() has found the end (the thread has ended then).
    void warn_if_cut(const std::string& input_name) const { reading_.stream.warn_if_cut(input_name); }
    // Stops the reading thread, so that the input is this thread's again.
    void stop() { ahead_.stop(); }

private:
    struct entry {
        size_t name_length, seq_length, qual_length;  // the texts follow one another in the batch's text
        int32_t sample;
    };
    struct batch {
        std::string text;
        std::vector<entry> entries;
    };
    // Large enough that a batch has left the reading core's caches when its
    // pairs are made: taking lines still held there costs more than taking
    // them from memory.
    static constexpr size_t batch_bytes = size_t{8} << 20;
    static constexpr size_t batch_records = size_t{1} << 15;

    bool fill(batch& b) {
        b.text.clear();
        b.entries.clear();
        read_record r;
        while (b.text.size() < batch_bytes && b.entries.size() < batch_records) {
            if (!reading_.stream.next(r)) return false;
            b.text.append(r.name).append(r.seq, r.seq_length).append(r.qual, r.qual_length);
            b.entries.push_back(
                {r.name.size(), r.seq_length, r.qual_length, reading_.sample ? reading_.sample(r.name) : -1});
        }
        return true;
    }

    // The reading thread's, on cache lines of their own: a line both threads
    // write would pass from core to core at every record.
    struct alignas(64) reading {
        fastq_stream stream;
        header_sample sample;
    } reading_;
    alignas(64) batch* batch_ = nullptr;
    size_t at_ = 0, entries_ = 0;
    const char* text_ = nullptr;
    int32_t sample_at_ = -1;
    int64_t number_ = 0;
    alignas(64) read_ahead<batch> ahead_;  // last: its thread starts once the rest is ready
};

// Reads two record streams in step into the pair sink.
template <typename First, typename Second, typename Sink>
void read_pairs_into(First& first, Second& second, line_reader& in1, line_reader& in2, settings& s, Sink& sink) {
    constexpr bool ahead = std::is_same_v<First, fastq_ahead>;
    read_record r1, r2;
    for (;;) {
        bool more1 = first.next(r1);
        bool more2 = second.next(r2);
        if (!more1 || !more2) {
            if (more1 != more2) {
                const std::string& shorter = more1 ? s.mate_name : s.input_name;
                fail(1, "%s and %s do not end together: %s has no %s %lld\n", s.input_name.c_str(),
                     s.mate_name.c_str(), shorter.c_str(), First::unit,
                     static_cast<long long>(more1 ? first.number() : second.number()));
            }
            break;
        }
        if constexpr (ahead) {
            if (r1.seq_length != r1.qual_length) [[unlikely]]
                first.stop();  // check_lengths may read read 1's file to its end
        }
        check_lengths(in1, s.input_name, First::unit, first.number(), r1);
        check_lengths(in2, s.mate_name, First::unit, second.number(), r2);
        const std::string_view bare1 = First::bare_name(r1.name), bare2 = First::bare_name(r2.name);
        if (!alike_to_a_space(bare1, bare2)) [[unlikely]]
            check_pair_names(s, First::unit, first.number(), bare1, bare2);
        if constexpr (ahead)
            sink.take(r1, r2, first.sample());
        else
            sink.take(r1, r2);
    }
    sink.finish();
    first.warn_if_cut(s.input_name);
    second.warn_if_cut(s.mate_name);
}

// A FASTQ pair's two files take a core each (see fastq_ahead); qseq pairs
// are read on one.
template <typename Sink>
void read_pairs(line_reader& in1, line_reader& in2, bool fastq, settings& s, Sink& sink) {
    if (fastq) {
        fastq_ahead::header_sample sample;
        if (sample_split* split = sink.header_split())
            sample = [split](std::string_view name) { return split->by_header(name); };
        fastq_ahead first(in1, s, sink.reader_cuts(), std::move(sample));
        fastq_stream second(in2, s, sink.reader_cuts());
        read_pairs_into(first, second, in1, in2, s, sink);
    } else {
        qseq_stream first(in1, s, sink.reader_cuts());
        qseq_stream second(in2, s, sink.reader_cuts());
        read_pairs_into(first, second, in1, in2, s, sink);
    }
}

}  // namespace

void process_samples(line_reader& in, line_reader* mate, bool fastq, settings& s, sample_matcher& matcher,
                     read_counter& counts, std::vector<read_totals>& totals, undetermined_tally& undetermined,
                     const layout* shape1, const layout* shape2, umi::pair_counter* pairs) {
    const bool in_read = (shape1 != nullptr && shape1->has(element_kind::sample)) ||
                         (shape2 != nullptr && shape2->has(element_kind::sample));
    sample_split split(matcher, totals, undetermined, in_read);
    read_totals unused;
    if (mate != nullptr) {
        pair_sink<true> sink(s, counts, unused, shape1, shape2, pairs, &split);
        read_pairs(in, *mate, fastq, s, sink);
    } else {
        read_sink<true> sink(s, counts, unused, shape1, pairs, &split);
        if (fastq)
            read_into<fastq_stream>(in, s, sink);
        else
            read_into<qseq_stream>(in, s, sink);
    }
    split.finish();
}

void process_fastq(line_reader& in, settings& s, read_counter& counts, read_totals& totals, const layout* shape,
                   umi::pair_counter* pairs) {
    read_sink<false> sink(s, counts, totals, shape, pairs);
    read_into<fastq_stream>(in, s, sink);
}

void process_qsec(line_reader& in, settings& s, read_counter& counts, read_totals& totals, const layout* shape,
                  umi::pair_counter* pairs) {
    read_sink<false> sink(s, counts, totals, shape, pairs);
    read_into<qseq_stream>(in, s, sink);
}

std::string_view pair_name(std::string_view name) {
    name = name.substr(0, name.find(' '));
    if (name.size() >= 2 && name[name.size() - 2] == '/' && (name.back() == '1' || name.back() == '2'))
        name.remove_suffix(2);
    return name;
}

void process_fastq_pairs(line_reader& in1, line_reader& in2, settings& s, read_counter& counts, read_totals& totals,
                         const layout* shape1, const layout* shape2, umi::pair_counter* pairs) {
    pair_sink<false> sink(s, counts, totals, shape1, shape2, pairs);
    read_pairs(in1, in2, true, s, sink);
}

void process_qsec_pairs(line_reader& in1, line_reader& in2, settings& s, read_counter& counts, read_totals& totals,
                        const layout* shape1, const layout* shape2, umi::pair_counter* pairs) {
    pair_sink<false> sink(s, counts, totals, shape1, shape2, pairs);
    read_pairs(in1, in2, false, s, sink);
}

}  // namespace count
