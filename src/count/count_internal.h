// The internals of count: its settings, the quality masks, the readers and
// the table writer, shared by its files and open to the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "count/counter.h"
#include "count/layout.h"

class line_reader;
class out_stream;
namespace umi {
class pair_counter;
}

namespace count {
class sample_matcher;

// Everything the options set, filled by count_main and handed to the readers
// and the table writer. -m A and -l auto settle the encoding and the key
// length while the reads are read, so the readers take it writable.
struct settings {
    int trim_start = 0;      // -i X:Y, bases cut from the start ...
    int trim_end = 0;        // ... and from the end of every read
    int trunc = 0;           // -u: longer reads are cut to this; 0 or less: no truncation
    int fastq_flag = 0;      // -f, or the file name: FASTQ
    int qsec_flag = 0;       // -q, or the file name: qseq
    int clean_flag = 0;      // -c: reads with a low-quality base are not counted
    int quality_lo = 0;      // -m: the encoding's lowest score (shown only)
    int quality_hi = 40;     // -m: the encoding's highest score (shown only)
    int quality_adj = 64;    // -m: character code of score 0
    int quality_cutoff = 10; // -m: scores below it mask the base
    int layout_flag = 0;          // -p given
    std::string layout_text;      // -p: the read layout as given
    int layout_mismatches = -1;   // -e: mismatches every constant allows; -1: a tenth of its letters
    int reverse_flag = 0;         // -r: reads are reverse-complemented first
    int both_strands_flag = 0;    // -b: a read without the layout is searched again on the other strand
    int quality_auto = 0;         // -m A: the encoding is found from the first reads
    std::string input_name = "stdin";  // the input as messages name it: the file, or "stdin"
    int key_length = 0;           // -l: barcode keys cut to this many letters; 0 uncut, -1 taken from the reads
    std::string mate_name;        // -2: the mate file (read 2); empty without
    int mate_layout_flag = 0;     // -P given
    std::string mate_layout_text; // -P: read 2's layout as given
    bool paired() const { return !mate_name.empty(); }
};

// Sets quality_lo, quality_hi and quality_adj for an encoding letter (S, X,
// I, J or L); false for any other letter.
bool set_encoding(settings& s, char letter);

// -m A: the reads held back before the encoding is chosen, and the
// quality characters that choose it. No character below ';' and some
// above 'J' can only be Phred+64 (I); anything else is Phred+33 (S),
// the encoding of every instrument of the last decade.
constexpr int64_t auto_quality_reads = 100000;
constexpr size_t auto_quality_bytes = size_t{128} << 20;  // reads of some 670 letters and more decide sooner
char encoding_from_qualities(unsigned char lowest, unsigned char highest);
// Lowers lowest and raises highest to the extremes of a quality text.
void quality_extremes(const char* qual, size_t length, unsigned char& lowest, unsigned char& highest);

// -l auto: the key length is taken from this many reads with the layout
// (the first ones, among no more than key_probe_limit reads): the longest
// that all but a twentieth of them reach.
inline constexpr size_t key_probe_reads = 10000;
inline constexpr size_t key_probe_limit = 1000000;
size_t key_length_from(std::vector<uint32_t> lengths);

// Masks seq to out (which may be seq): a base whose quality score (the
// quality character as a signed byte, less quality_adj) is below
// quality_cutoff becomes N, and so does every '.'. Returns the number of
// bases masked for low quality.
int64_t mask_copy(const settings& s, char* out, const char* seq, const char* qual, size_t length);
// The quality characters whose score lies below the encoding's range
// (below quality_lo, or 0 if that is lower): the sign of a wrong -m.
int64_t below_range(const settings& s, const char* qual, size_t length);

// What a reader adds up besides the table.
struct read_totals {
    int64_t records = 0;   // reads read
    int64_t filtered = 0;  // bases masked for low quality
    int64_t below_range = 0;     // quality values below the encoding's range
    int64_t without_layout = 0;  // -p: reads in which the layout was not found
    int64_t reverse_strand = 0;  // -b: reads whose layout was found on the other strand
    int64_t umi_with_n = 0;      // UMI slots: reads whose UMI holds an N after masking
};

// The readers: read the whole input, trim, truncate and mask each read, and
// count it (unless clean_flag and it had a low-quality base). With a layout
// (shape), only the barcode letters of a read are masked and counted; with
// UMI slots in it, the UMIs of the counted reads go to pairs, under the ids
// of their barcodes in counts.
void process_fastq(line_reader& in, settings& s, read_counter& counts, read_totals& totals, const layout* shape = nullptr,
                   umi::pair_counter* pairs = nullptr);
void process_qsec(line_reader& in, settings& s, read_counter& counts, read_totals& totals, const layout* shape = nullptr,
                  umi::pair_counter* pairs = nullptr);

// The paired readers: in1 and in2 read in step, each pair one read in every
// total, its key the barcode letters of read 1 (by shape1) then those of read
// 2 (by shape2); a read without a shape gives none. Pairs whose names differ
// or files that end apart end the run (status 1).
void process_fastq_pairs(line_reader& in1, line_reader& in2, settings& s, read_counter& counts, read_totals& totals,
                         const layout* shape1, const layout* shape2, umi::pair_counter* pairs = nullptr);
void process_qsec_pairs(line_reader& in1, line_reader& in2, settings& s, read_counter& counts, read_totals& totals,
                        const layout* shape1, const layout* shape2, umi::pair_counter* pairs = nullptr);

// A read's name as its mate must have it: up to the first space, a trailing
// "/1" or "/2" removed.
std::string_view pair_name(std::string_view name);

// -x: the reads of no sample by their sample barcode.
// On cache lines of its own, as sample_matcher (the reading thread tallies it).
struct alignas(64) undetermined_tally {
    // Each sample barcode of no sample with its reads (the texts are the
    // sample matcher's, which outlives the tally).
    std::vector<std::pair<std::string_view, int64_t>> barcodes;
    int64_t reads = 0;          // reads (pairs) of no sample
    int64_t without_index = 0;  // ... of which no sample barcode was found (no index field, no layout)
    bool ordered = false;       // barcodes in the table's order (order_undetermined)
};

// -x: every sample's keys are counted in one counter, each led by the
// sample's number in this many bytes (big-endian).
inline constexpr size_t sample_prefix = 2;
inline constexpr size_t most_samples = size_t{1} << (8 * sample_prefix);

// Reads the input (with mate: pairs) once, each read counted for the sample
// its sample barcode matches: its header's index field, or the letters of
// the layouts' <n> slots when they have some. totals has one per sample.
void process_samples(line_reader& in, line_reader* mate, bool fastq, settings& s, sample_matcher& matcher,
                     read_counter& counts, std::vector<read_totals>& totals, undetermined_tally& undetermined,
                     const layout* shape1, const layout* shape2, umi::pair_counter* pairs = nullptr);

// One sample's count table from process_samples' records (in table order),
// its keys after the sample's number; with molecules (one per record), the
// table of a run with UMIs. Warnings name the sample.
void print_sample_table(const settings& s, const std::string& sample, out_stream& out, const read_totals& totals,
                        std::span<const read_counter::record* const> records, const int64_t* molecules = nullptr);

// Puts the undetermined barcodes in their table's order: most reads first,
// ties in byte order.
void order_undetermined(undetermined_tally& undetermined);
// The undetermined table: its header, then each index with its reads, in
// that order (put so first when it is not yet).
void write_undetermined(out_stream& out, undetermined_tally& undetermined);

// Writes the count table to f_out (when not null), then to standard output;
// the warning about quality values below the encoding's range comes first.
// With pairs, the table counts molecules as well as reads; with umi_table
// too, every (barcode, UMI) pair goes there with its reads (count -k).
void print_results(const settings& s, out_stream* f_out, const read_totals& totals, read_counter& counts,
                   const umi::pair_counter* pairs = nullptr, out_stream* umi_table = nullptr, bool to_stdout = true);

}  // namespace count
