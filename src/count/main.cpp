#include "count/count.h"
#include "count/count_internal.h"

#include <algorithm>
#include <initializer_list>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "count/samples.h"
#include "cpu/two_cores.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "io/output.h"
#include "io/text.h"
#include "umi/umi.h"

namespace count {

bool set_encoding(settings& s, char letter) {
    switch (letter) {
        case 'S': s.quality_lo = 0, s.quality_hi = 40, s.quality_adj = 33; return true;
        case 'X': s.quality_lo = -5, s.quality_hi = 40, s.quality_adj = 64; return true;
        case 'I': s.quality_lo = 0, s.quality_hi = 40, s.quality_adj = 64; return true;
        case 'J': s.quality_lo = 3, s.quality_hi = 40, s.quality_adj = 64; return true;
        case 'L': s.quality_lo = 0, s.quality_hi = 41, s.quality_adj = 33; return true;
        default: return false;
    }
}

char encoding_from_qualities(unsigned char lowest, unsigned char highest) {
    return lowest >= ';' && highest > 'J' ? 'I' : 'S';
}

// ---------------------------------------------------------------------------
// The count table

namespace {

// The read lines, put together in a local buffer many at a time.
class line_buffer {
public:
    explicit line_buffer(out_stream& out) : out_(out), buffer_(new char[size]) {}

    // A line: the sequence, then each number after a tab.
    void line(std::string_view sequence, std::initializer_list<int64_t> numbers) {
        if (size - used_ < sequence.size() + 64) {
            out_.put(std::string_view(buffer_.get(), used_));
            used_ = 0;
        }
        if (sequence.size() + 64 > size) {  // a very long read goes out as it is
            out_.put(sequence);
        } else {
            std::memcpy(buffer_.get() + used_, sequence.data(), sequence.size());
            used_ += sequence.size();
        }
        for (int64_t number : numbers) {
            buffer_[used_++] = '\t';
            char digits[20];
            size_t n = 0;
            for (uint64_t value = static_cast<uint64_t>(number); n == 0 || value != 0; value /= 10)
                digits[n++] = static_cast<char>('0' + value % 10);
            while (n > 0) buffer_[used_++] = digits[--n];
        }
        buffer_[used_++] = '\n';
    }

    void flush() {
        out_.put(std::string_view(buffer_.get(), used_));
        used_ = 0;
    }

private:
    static constexpr size_t size = 1 << 16;
    out_stream& out_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
};

// A barcode of a UMI run: its molecules and reads.
struct molecule_row {
    const read_counter::record* entry;
    int64_t molecules;
    uint32_t id;
};

// Every barcode with its molecules, by molecules, then reads, descending,
// then sequence in byte order.
std::vector<molecule_row> molecule_rows(const read_counter& counts, const umi::pair_counter& pairs) {
    std::vector<molecule_row> rows;
    rows.reserve(static_cast<size_t>(counts.unique()));
    pairs.for_each_barcode([&](uint32_t id, int64_t molecules) { rows.push_back({counts.find(id), molecules, id}); });
    std::sort(rows.begin(), rows.end(), [](const molecule_row& a, const molecule_row& b) {
        if (a.molecules != b.molecules) return a.molecules > b.molecules;
        if (a.entry->count() != b.entry->count()) return a.entry->count() > b.entry->count();
        return a.entry->sequence() < b.entry->sequence();
    });
    return rows;
}

}  // namespace

size_t key_length_from(std::vector<uint32_t> lengths) {
    if (lengths.empty()) return 0;
    // Sorted up, the length at a twentieth of the way is reached by the
    // rest; short pieces (indels, junk) below it are left out.
    size_t at = lengths.size() / 20;
    std::nth_element(lengths.begin(), lengths.begin() + static_cast<ptrdiff_t>(at), lengths.end());
    return lengths[at];
}

namespace {

// The header lines down to the totals, shared by the count table and the UMI table.
void write_settings_and_totals(out_stream& out, const settings& s, const read_totals& totals, int64_t unique,
                               bool with_umis, int64_t molecules) {
    out.printf("#trim: %d:%d\n", s.trim_start, s.trim_end);
    out.printf("#truncate: %d\n", s.trunc);
    out.printf("#quality lo: %d\thi: %d\tadj: %d\tcutoff: %d\n", s.quality_lo, s.quality_hi, s.quality_adj, s.quality_cutoff);
    out.printf("#total reads: %" PRId64 "\n", totals.records);
    out.printf("#unique reads: %" PRId64 "\n", unique);
    out.printf("#filtered bases: %" PRId64 "\n", totals.filtered);
    if (s.paired()) {
        if (s.layout_flag != 0) out.printf("#layout: %s\n", s.layout_text.c_str());
        out.printf("#mate file: %s\n", s.mate_name.c_str());
        if (s.mate_layout_flag != 0) out.printf("#mate layout: %s\n", s.mate_layout_text.c_str());
        out.printf("#pairs without layout: %" PRId64 "\n", totals.without_layout);
        if (s.both_strands_flag != 0) out.printf("#reverse strand reads: %" PRId64 "\n", totals.reverse_strand);
        if (s.key_length != 0) out.printf("#key length: %d\n", s.key_length);
    } else if (s.layout_flag != 0) {
        out.printf("#layout: %s\n", s.layout_text.c_str());
        out.printf("#reads without layout: %" PRId64 "\n", totals.without_layout);
        if (s.both_strands_flag != 0) out.printf("#reverse strand reads: %" PRId64 "\n", totals.reverse_strand);
        if (s.key_length != 0) out.printf("#key length: %d\n", s.key_length);
    }
    if (with_umis) {
        out.printf("#umi reads with N: %" PRId64 "\n", totals.umi_with_n);
        out.printf("#molecules: %" PRId64 "\n", molecules);
    }
}

// The UMI table: the count table's header, the number of pairs, then one
// line per (barcode, UMI) pair, the barcodes in the count table's order.
void write_umi_table(out_stream& out, const settings& s, const read_totals& totals, const read_counter& counts,
                     const umi::pair_counter& pairs, const std::vector<molecule_row>& rows, int64_t molecules) {
    write_settings_and_totals(out, s, totals, counts.unique(), true, molecules);
    out.printf("#umi pairs: %zu\n", pairs.pairs());
    out.put("#read\tumi\treads\n");
    std::unordered_map<uint32_t, uint64_t> rank_of;
    rank_of.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) rank_of.emplace(rows[i].id, i);
    std::string line;
    pairs.for_each_pair([&](uint32_t id) { return rank_of.at(id); },
                        [&](uint32_t id, std::string_view umi, int64_t reads) {
                            line.assign(counts.find(id)->sequence());
                            line += '\t';
                            line.append(umi);
                            line += '\t';
                            line += std::to_string(reads);
                            line += '\n';
                            out.put(line);
                        });
    out.flush();
}

// The warnings a table's totals call for, before the table; -x names the
// sample they are about.
void warn_about_totals(const settings& s, const read_totals& totals, const std::string& sample = {}) {
    const std::string about = sample.empty() ? "" : "sample '" + sample + "': ";
    if (totals.below_range > 0) {
        warn("Warning: %squality values below the range of the chosen encoding: %lld (Phred+33 reads need -m S)\n",
             about.c_str(), static_cast<long long>(totals.below_range));
    }
    if (totals.records == 0) warn("Warning: no reads in %s\n", s.input_name.c_str());
    if (s.paired() && totals.without_layout * 2 > totals.records) {
        warn("Warning: %spairs without the layout: %lld of %lld (%.1f%%); constants with more substitutions than "
             "allowed? raise -e%s\n",
             about.c_str(), static_cast<long long>(totals.without_layout), static_cast<long long>(totals.records),
             100.0 * static_cast<double>(totals.without_layout) / static_cast<double>(totals.records),
             s.both_strands_flag != 0 ? "" : ", or try -b");
    } else if (s.layout_flag != 0 && totals.without_layout * 2 > totals.records) {
        // With -b both strands were searched already.
        warn("Warning: %sreads without the layout: %lld of %lld (%.1f%%); %sconstants with more substitutions than "
             "allowed? raise -e\n",
             about.c_str(), static_cast<long long>(totals.without_layout), static_cast<long long>(totals.records),
             100.0 * static_cast<double>(totals.without_layout) / static_cast<double>(totals.records),
             s.both_strands_flag != 0 ? "" : "reads of the other strand? try -b (or -r); ");
    }
}

}  // namespace

void print_results(const settings& s, out_stream* f_out, const read_totals& totals, read_counter& counts,
                   const umi::pair_counter* pairs, out_stream* umi_table, bool to_stdout) {
    warn_about_totals(s, totals);
    std::vector<molecule_row> rows;
    std::span<const read_counter::record* const> records;
    int64_t molecules = 0;
    if (pairs != nullptr) {
        rows = molecule_rows(counts, *pairs);
        for (const molecule_row& row : rows) molecules += row.molecules;
    } else {
        records = counts.sort();
    }
    auto emit = [&](out_stream& out) {
        write_settings_and_totals(out, s, totals, counts.unique(), pairs != nullptr, molecules);
        out.put(pairs != nullptr ? "#read\tcount\treads\n" : "#read\tcount\n");
        line_buffer lines(out);
        for (const molecule_row& row : rows) lines.line(row.entry->sequence(), {row.molecules, row.entry->count()});
        // The records are asked for a few lines ahead (sorted, they lie all
        // over the arena).
        for (size_t i = 0; i < records.size(); ++i) {
            if (i + 16 < records.size()) __builtin_prefetch(records[i + 16]);
            lines.line(records[i]->sequence(), {records[i]->count()});
        }
        lines.flush();
    };
    if (to_stdout) {
        write_table(f_out, emit);
    } else if (f_out != nullptr) {
        emit(*f_out);
        f_out->flush();
    }
    if (umi_table != nullptr && pairs != nullptr) write_umi_table(*umi_table, s, totals, counts, *pairs, rows, molecules);
}

void print_sample_table(const settings& s, const std::string& sample, out_stream& out, const read_totals& totals,
                        std::span<const read_counter::record* const> records, const int64_t* molecules) {
    warn_about_totals(s, totals, sample);
    int64_t all_molecules = 0;
    if (molecules != nullptr)
        for (size_t i = 0; i < records.size(); ++i) all_molecules += molecules[i];
    write_settings_and_totals(out, s, totals, static_cast<int64_t>(records.size()), molecules != nullptr, all_molecules);
    out.put(molecules != nullptr ? "#read\tcount\treads\n" : "#read\tcount\n");
    line_buffer lines(out);
    for (size_t i = 0; i < records.size(); ++i) {
        if (i + 16 < records.size()) __builtin_prefetch(records[i + 16]);
        std::string_view key = records[i]->sequence().substr(sample_prefix);
        if (molecules != nullptr)
            lines.line(key, {molecules[i], records[i]->count()});
        else
            lines.line(key, {records[i]->count()});
    }
    lines.flush();
    out.flush();
}

namespace {

// Below this many rows a second thread for the tables costs more than it saves.
constexpr size_t parallel_tables_least = size_t{1} << 16;

// -x: every sample's table, from one counter of every sample's keys, then
// last (of about last_rows rows).
void sample_tables(const settings& s, const std::vector<std::string>& names, const std::vector<read_totals>& totals,
                   read_counter& counts, const umi::pair_counter* pairs,
                   const std::function<std::unique_ptr<out_stream>(size_t)>& open, const std::function<void()>& last,
                   size_t last_rows) {
    // Every sample's keys in its table's order, the samples one after
    // another (first[i]: sample i's first).
    std::vector<size_t> first;
    std::span<const read_counter::record* const> by_sample;
    std::vector<const read_counter::record*> rows;
    std::vector<int64_t> molecules_by_sample;
    if (pairs == nullptr) {
        by_sample = counts.sort(sample_prefix, first);
    } else {
        // The molecule order of every key, then taken apart by sample (the
        // order restricted to a sample, whose keys share their first
        // bytes, is that sample's).
        std::vector<molecule_row> all = molecule_rows(counts, *pairs);
        auto sample_of = [](const read_counter::record* r) {
            std::string_view key = r->sequence();
            return (size_t{static_cast<unsigned char>(key[0])} << 8) | static_cast<unsigned char>(key[1]);
        };
        first.assign(most_samples + 1, 0);
        for (const molecule_row& row : all) ++first[sample_of(row.entry) + 1];
        for (size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
        rows.resize(all.size());
        molecules_by_sample.resize(all.size());
        std::vector<size_t> next(first.begin(), first.end() - 1);
        for (const molecule_row& row : all) {
            size_t at = next[sample_of(row.entry)]++;
            rows[at] = row.entry;
            molecules_by_sample[at] = row.molecules;
        }
        by_sample = rows;
    }
    auto write = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            settings one = s;
            one.input_name = "sample '" + names[i] + "'";
            std::unique_ptr<out_stream> out = open(i);
            print_sample_table(one, names[i], *out, totals[i], by_sample.subspan(first[i], first[i + 1] - first[i]),
                               pairs != nullptr ? molecules_by_sample.data() + first[i] : nullptr);
        }
    };
    // Many rows: the samples that hold the later half of them, and last,
    // are written on a second core (their words still after the earlier
    // samples').
    const size_t samples = totals.size(), all_rows = by_sample.size() + last_rows;
    size_t later = std::min<size_t>(1, samples);
    while (later < samples && first[later] < all_rows / 2) ++later;
    in_turn_on_two_cores(
        samples >= 2 && all_rows >= parallel_tables_least, [&] { write(0, later); },
        [&] {
            write(later, samples);
            last();
        });
}

}  // namespace

void order_undetermined(undetermined_tally& undetermined) {
    if (undetermined.ordered) return;
    // Most are seen once (index errors): each row carries its first eight
    // bytes as a number, so that few comparisons go to the texts.
    struct row {
        int64_t reads;
        uint64_t head;
        std::string_view barcode;
    };
    std::vector<row> rows;
    rows.reserve(undetermined.barcodes.size());
    for (const auto& [barcode, reads] : undetermined.barcodes) {
        uint64_t head = 0;
        std::memcpy(&head, barcode.data(), std::min<size_t>(8, barcode.size()));
        rows.push_back({reads, __builtin_bswap64(head), barcode});
    }
    std::sort(rows.begin(), rows.end(), [](const row& a, const row& b) {
        if (a.reads != b.reads) return a.reads > b.reads;
        if (a.head != b.head) return a.head < b.head;
        return a.barcode < b.barcode;
    });
    for (size_t i = 0; i < rows.size(); ++i) undetermined.barcodes[i] = {rows[i].barcode, rows[i].reads};
    undetermined.ordered = true;
}

void write_undetermined(out_stream& out, undetermined_tally& undetermined) {
    order_undetermined(undetermined);
    out.printf("#reads of no sample: %" PRId64 "\n", undetermined.reads);
    out.printf("#reads without index: %" PRId64 "\n", undetermined.without_index);
    out.put("#sample barcode\treads\n");
    line_buffer lines(out);
    for (const auto& [barcode, reads] : undetermined.barcodes) lines.line(barcode, {reads});
    lines.flush();
    out.flush();
}

}  // namespace count

// ---------------------------------------------------------------------------
// The command

using namespace count;

namespace {

const char* const usage_line =
    "usage: %s [-i 5':3'] [-u n] [-f|q] [-o output_file] [-m S|X|I|J|L|A[n]] [-c] [-p layout [-e k] [-b] [-l n|auto] [-k umi_table]] [-r] "
    "[-2 mate_file [-P layout]] [-x samples -d dir] [input_file]\n";

void print_usage_message(const char* argv0) { std::fprintf(stderr, usage_line, argv0); }

void print_help_message(const char* argv0) {
    out_stream& out = standard_output();
    out.printf(usage_line, argv0);
    out.put("input_file specifies the file with entries either in qseq or fastq format; if none provided, reads "
            "stdin\n\n");
    out.put("  -i X:Y\t trim X bases on 5' end and Y bases on 3' end\n");
    out.put("  -u N\t\t truncate sequence to N bases\n");
    out.put("  -f\t\t force input file to be parsed as a fastq file\n");
    out.put("  -q\t\t force input file to be parsed as a qsec file\n");
    out.put("  -o FILE\t additionally prints results to FILE\n");
    out.put("  -m M[N]\t filters by Sanger, Solexa, Illumina 1.3+, Illumina 1.5+ (respectively) for M = S, X, I, J;\n"
            "\t\t L: Phred+33 up to 41; A: Phred+33 or +64, found from the first 100000 reads;\n"
            "\t\t bases scoring below N (default 10) are masked, e.g. -m S20\n");
    out.put("  -c\t\t only unfiltered results will be reported in output\n");
    out.put("  -p LAYOUT\t count only the barcode letters of each read, found by its layout,\n"
            "\t\t e.g. 'CACCG[20]' or '{18-26}CACCG[20]' (see the README)\n");
    out.put("  -e K\t\t with -p: substitutions each constant allows (default: a tenth of its letters)\n");
    out.put("  -r\t\t reverse-complement every read first\n");
    out.put("  -b\t\t with -p: search a read without the layout again on its reverse complement\n");
    out.put("  -l N|auto\t with -p: keep the first N letters of each barcode; reads with fewer count as\n"
            "\t\t without layout; auto: the longest length that 95% of the first 10,000 reads reach\n");
    out.put("  -k FILE\t with a UMI slot in the layout: also writes every (barcode, UMI) pair\n"
            "\t\t with its reads to FILE, the UMI table of tabulate -u\n");
    out.put("  -2 FILE\t the mate file (read 2) of input_file: each pair counts once, its key the\n"
            "\t\t barcode letters of read 1 (-p), then those of read 2 (-P)\n");
    out.put("  -P LAYOUT\t with -2: read 2's layout\n");
    out.put("  -x FILE\t sample sheet (name<TAB>index[+index2]): one table per sample, the sample\n"
            "\t\t found from the header's index field, or from the layout's <n> slots\n"
            "\t\t (n letters of sample barcode), one substitution per index allowed\n");
    out.put("  -d DIR\t with -x: where DIR/<name>.txt and DIR/undetermined.txt are written\n");
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
void set_trims(settings& s, const char* argv0, const char* arg) {
    const char* colon = std::strchr(arg, ':');
    if (colon == nullptr) usage_failure(argv0);
    s.trim_start = saturated_int(parse_atoi64(std::string_view(arg, static_cast<size_t>(colon - arg))));
    s.trim_end = parse_atoi32(colon + 1);
    if (s.trim_start < 0 || s.trim_end < 0) usage_failure(argv0);  // negative trims are refused
}

// -m M or -m Mn
void set_quality_method(settings& s, const char* arg) {
    s.quality_auto = arg[0] == 'A';
    if (!s.quality_auto && !set_encoding(s, arg[0])) fail(1, "Unrecognized quality filter method (%c)\n", arg[0]);
    if (arg[1] != '\0') {
        s.quality_cutoff = parse_atoi32(arg + 1);
        if (s.quality_cutoff <= 0) fail(1, "Invalid quality cutoff: %d\n", s.quality_cutoff);
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

// -l N or -l auto
void set_key_length(settings& s, const char* arg) {
    if (std::strcmp(arg, "auto") == 0) {
        s.key_length = -1;
        return;
    }
    s.key_length = parse_atoi32(arg);
    if (s.key_length <= 0) fail(1, "Invalid key length: %s\n", arg);
}

// Whether to read FASTQ (else qseq), from the flags or the file name.
bool decide_fastq(const settings& s, const char* argv0, const char* path) {
    if (s.fastq_flag != 0 && s.qsec_flag != 0) fail(1, "%s: Both fastq and qsec flags indicated\n", argv0);
    if (s.fastq_flag != 0) return true;
    if (s.qsec_flag != 0) return false;
    if (path == nullptr) fail(2, "Reading from stdin requires -f or -q\n");
    return name_says_fastq(path);
}

// -p and its companions, checked before any input is read; a layout that
// cannot work is refused with its first problem.
// One layout's text, parsed; a layout that cannot work ends the run.
layout parse_layout(const std::string& text, int mismatches, const char* argv0) {
    std::string problem;
    std::optional<layout> shape = layout::parse(text, mismatches, problem);
    if (!shape) {
        std::fprintf(stderr, "Invalid layout '%s': %s\n", text.c_str(), problem.c_str());
        usage_failure(argv0);
    }
    return std::move(*shape);
}

// -2 and -P, checked like -p: a pair needs a layout on at least one read.
void check_pair_options(const settings& s, const char* argv0) {
    if (!s.paired()) {
        if (s.mate_layout_flag != 0) {
            std::fprintf(stderr, "-P needs a mate file (-2)\n");
            usage_failure(argv0);
        }
        return;
    }
    if (s.layout_flag == 0 && s.mate_layout_flag == 0) {
        std::fputs("-2 needs a layout (-p or -P)\n", stderr);
        usage_failure(argv0);
    }
}

std::optional<layout> read_layout_options(const settings& s, const char* argv0) {
    if (s.layout_flag == 0 && s.paired()) return std::nullopt;
    if (s.layout_flag == 0) {
        if (s.both_strands_flag != 0 || s.layout_mismatches >= 0 || s.key_length != 0) {
            std::fprintf(stderr, "%s needs a layout (-p)\n",
                         s.both_strands_flag != 0 ? "-b" : s.layout_mismatches >= 0 ? "-e" : "-l");
            usage_failure(argv0);
        }
        return std::nullopt;
    }
    std::string problem;
    std::optional<layout> shape = layout::parse(s.layout_text, s.layout_mismatches, problem);
    if (!shape) {
        std::fprintf(stderr, "Invalid layout '%s': %s\n", s.layout_text.c_str(), problem.c_str());
        usage_failure(argv0);
    }
    return shape;
}

size_t umi_length(const layout& shape) {
    size_t letters = 0;
    for (const layout_element& e : shape.elements())
        if (e.kind == element_kind::umi) letters += e.min_length;
    return letters;
}

std::unique_ptr<line_reader> open_input(const char* path) {
    std::string name = path != nullptr ? path : "stdin";
    std::unique_ptr<line_reader> in = line_reader::open(path, read_failure{"Could not read from file " + name + "\n", 1},
                                                        true, read_failure{"Could not decompress " + name + "\n", 2});
    if (in == nullptr) fail(1, "Could not read from file %s\n", name.c_str());
    return in;
}

// -x and -d go together; the extra tables are for a single table. A
// sample barcode in the read (<n>) needs a sheet to match it against, and
// qseq lines have no index field.
void check_sample_options(const char* argv0, const char* sheet_path, const char* sample_dir, bool extra_tables,
                          bool fastq, bool in_read) {
    const char* refused = sheet_path == nullptr && in_read ? "a sample barcode slot <n> in the layout needs a sample sheet (-x)\n"
                          : sheet_path == nullptr         ? "-d needs a sample sheet (-x)\n"
                          : sample_dir == nullptr         ? "-x needs an output directory (-d)\n"
                          : extra_tables                  ? "-o and -k do not work with -x; the tables go to -d\n"
                          : !fastq && !in_read ? "-x reads the index field of FASTQ headers; qseq input needs the sample barcode in the read (<n>)\n"
                                               : nullptr;
    if (refused != nullptr) {
        std::fputs(refused, stderr);
        usage_failure(argv0);
    }
}

std::string read_whole_file(const char* path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path, "rb"), std::fclose);
    if (f == nullptr) fail(1, "Could not read from file %s\n", path);
    std::string text;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0;) text.append(buffer, n);
    if (std::ferror(f.get())) fail(1, "Could not read from file %s\n", path);
    return text;
}

std::unique_ptr<out_stream> open_in_dir(const std::string& dir, const std::string& name) {
    std::string path = dir + "/" + name;
    std::unique_ptr<out_stream> out = open_output_file(path.c_str());
    if (out == nullptr) fail(1, "Could not access %s for writing\n", path.c_str());
    return out;
}

// The letters of a layout's <n> slots.
size_t sample_letters(const layout& shape) {
    size_t letters = 0;
    for (const layout_element& e : shape.elements())
        if (e.kind == element_kind::sample) letters += e.min_length;
    return letters;
}

// With <n> slots, the sheet's sample barcodes must have one part per layout
// that has some, each part as long as that layout's slots; else no read
// could match.
bool fits_the_layouts(const sample_sheet& sheet, const layout* shape, const layout* mate_shape, std::string& problem) {
    std::vector<std::pair<const char*, size_t>> parts;
    if (shape != nullptr && shape->has(element_kind::sample)) parts.emplace_back("read 1's", sample_letters(*shape));
    if (mate_shape != nullptr && mate_shape->has(element_kind::sample))
        parts.emplace_back("read 2's", sample_letters(*mate_shape));
    if (parts.empty()) return true;
    if (parts.size() != sheet.parts) {
        problem = "its sample barcodes have " + std::to_string(sheet.parts) + (sheet.parts == 1 ? " part" : " parts") +
                  ", the layouts' <n> slots make " + std::to_string(parts.size()) +
                  " (one per read whose layout has them)";
        return false;
    }
    for (size_t p = 0; p < parts.size(); ++p) {
        size_t letters = sheet.samples.front().parts[p].size();
        if (letters != parts[p].second) {
            problem = std::string(p == 0 ? "the first" : "the second") + " part of its sample barcodes has " +
                      std::to_string(letters) + " letters, " + parts[p].first + " <n> slots " +
                      std::to_string(parts[p].second);
            return false;
        }
    }
    return true;
}

// count -x: the sheet is checked before any read, the input read once, and
// each sample's table written as count would write it for that sample alone.
void run_samples(settings& s, line_reader& in, bool fastq, const char* sheet_path, const char* sample_dir,
                 const layout* shape, const layout* mate_shape) {
    std::string problem;
    std::optional<sample_sheet> sheet = parse_sample_sheet(read_whole_file(sheet_path), problem);
    if (sheet && sheet->samples.size() > most_samples) {
        problem = "more than " + std::to_string(most_samples) + " samples";
        sheet.reset();
    }
    if (sheet && !fits_the_layouts(*sheet, shape, mate_shape, problem)) sheet.reset();
    std::optional<sample_matcher> matcher;
    if (sheet) matcher = sample_matcher::build(*sheet, problem);
    if (!matcher) fail(1, "Invalid sample sheet %s: %s\n", sheet_path, problem.c_str());
    if (mkdir(sample_dir, 0777) != 0 && errno != EEXIST) fail(1, "Could not create directory %s\n", sample_dir);
    std::unique_ptr<line_reader> mate;
    if (s.paired()) mate = open_input(s.mate_name.c_str());
    read_counter counts;
    std::vector<read_totals> totals(sheet->samples.size());
    undetermined_tally undetermined;
    std::optional<umi::pair_counter> pairs;
    const size_t umi_letters = (shape ? umi_length(*shape) : 0) + (mate_shape ? umi_length(*mate_shape) : 0);
    if (umi_letters > 0) pairs.emplace(umi_letters);
    process_samples(in, mate.get(), fastq, s, *matcher, counts, totals, undetermined, shape, mate_shape,
                    pairs ? &*pairs : nullptr);

    const std::string dir(sample_dir);
    std::vector<std::string> names;
    int64_t all_reads = undetermined.reads;
    for (size_t i = 0; i < totals.size(); ++i) {
        names.push_back(sheet->samples[i].name);
        all_reads += totals[i].records;
    }
    // The undetermined barcodes are put in order on a core of their own
    // while the samples' tables are sorted; their table comes after those.
    std::future<void> ordering;
    if (undetermined.barcodes.size() >= parallel_tables_least) {
        try {
            ordering = std::async(std::launch::async, [&undetermined] { order_undetermined(undetermined); });
        } catch (const std::system_error&) {
        }
    }
    sample_tables(
        s, names, totals, counts, pairs ? &*pairs : nullptr,
        [&](size_t i) { return open_in_dir(dir, names[i] + ".txt"); },
        [&] {
            if (ordering.valid()) ordering.get();
            std::unique_ptr<out_stream> out = open_in_dir(dir, "undetermined.txt");
            write_undetermined(*out, undetermined);
        },
        undetermined.barcodes.size());
    std::fputs(matcher->orientation_note().c_str(), stderr);
    if (all_reads > 0 && undetermined.reads * 2 > all_reads) {
        warn("Warning: reads of no sample: %lld of %lld; see %s/undetermined.txt\n",
             static_cast<long long>(undetermined.reads), static_cast<long long>(all_reads), sample_dir);
    }
}

}  // namespace

int count_main(int argc, char** argv) {
    settings s;
    if (argc > 1 && asks_for_help(argv[1])) {
        print_help_message(argv[0]);
        return 0;
    }

    std::unique_ptr<out_stream> f_out;
    std::unique_ptr<out_stream> f_umi_table;
    const char* sheet_path = nullptr;
    const char* sample_dir = nullptr;
    optind = 0;  // a fresh scan (GNU getopt), also for a second run in one process
    for (int option; (option = getopt(argc, argv, "i:u:fqo:m:cp:e:rbl:k:2:P:x:d:")) != -1;) {
        switch (option) {
            case 'i': set_trims(s, argv[0], optarg); break;
            case 'u': s.trunc = parse_atoi32(optarg); break;
            case 'f': s.fastq_flag = 1; break;
            case 'q': s.qsec_flag = 1; break;
            case 'o':
                f_out = open_output_file(optarg);
                if (f_out == nullptr) fail(1, "Could not access %s for writing\n", optarg);
                break;
            case 'm': set_quality_method(s, optarg); break;
            case 'c': s.clean_flag = 1; break;
            case 'p':
                s.layout_flag = 1;
                s.layout_text.assign(optarg);
                break;
            case 'e':
                s.layout_mismatches = parse_atoi32(optarg);
                if (s.layout_mismatches < 0) fail(1, "Invalid number of mismatches: %d\n", s.layout_mismatches);
                break;
            case 'r': s.reverse_flag = 1; break;
            case 'b': s.both_strands_flag = 1; break;
            case 'l': set_key_length(s, optarg); break;
            case '2': s.mate_name.assign(optarg); break;
            case 'P':
                s.mate_layout_flag = 1;
                s.mate_layout_text.assign(optarg);
                break;
            case 'x': sheet_path = optarg; break;
            case 'd': sample_dir = optarg; break;
            case 'k':
                f_umi_table = open_output_file(optarg);
                if (f_umi_table == nullptr) fail(1, "Could not access %s for writing\n", optarg);
                break;
            default: usage_failure(argv[0]);  // getopt has said what was wrong
        }
    }
    check_pair_options(s, argv[0]);
    std::optional<layout> shape = read_layout_options(s, argv[0]);
    std::optional<layout> mate_shape;
    if (s.mate_layout_flag != 0) mate_shape = parse_layout(s.mate_layout_text, s.layout_mismatches, argv[0]);
    const bool with_umis = (shape && shape->has(element_kind::umi)) || (mate_shape && mate_shape->has(element_kind::umi));
    if (f_umi_table != nullptr && !with_umis) {
        std::fprintf(stderr, "-k needs a UMI slot (n) in the layout (-p)\n");
        usage_failure(argv[0]);
    }
    if (argc - optind > 1) usage_failure(argv[0]);
    const char* path = optind < argc ? argv[optind] : nullptr;

    // A named file is opened before the format is decided, so that a file
    // that cannot be read is reported first. Standard input is taken only
    // once the format is known: reading it (to look for the gzip magic
    // number) could wait on a terminal.
    if (path != nullptr) s.input_name = path;
    std::unique_ptr<line_reader> in;
    if (path != nullptr) in = open_input(path);
    bool fastq = decide_fastq(s, argv[0], path);
    if (path == nullptr) in = open_input(nullptr);

    const bool in_read = (shape && shape->has(element_kind::sample)) || (mate_shape && mate_shape->has(element_kind::sample));
    if (sheet_path != nullptr || sample_dir != nullptr || in_read) {
        check_sample_options(argv[0], sheet_path, sample_dir, f_out != nullptr || f_umi_table != nullptr, fastq,
                             in_read);
        run_samples(s, *in, fastq, sheet_path, sample_dir, shape ? &*shape : nullptr, mate_shape ? &*mate_shape : nullptr);
        return 0;
    }
    read_counter counts;
    read_totals totals;
    const layout* read_shape = shape ? &*shape : nullptr;
    // With UMI slots, the UMIs (all slots' letters joined) of each barcode.
    std::optional<umi::pair_counter> pairs;
    if (with_umis) pairs.emplace((shape ? umi_length(*shape) : 0) + (mate_shape ? umi_length(*mate_shape) : 0));
    umi::pair_counter* read_pairs = pairs ? &*pairs : nullptr;
    if (s.paired()) {
        std::unique_ptr<line_reader> mate = open_input(s.mate_name.c_str());
        const layout* mate_read_shape = mate_shape ? &*mate_shape : nullptr;
        if (fastq)
            process_fastq_pairs(*in, *mate, s, counts, totals, read_shape, mate_read_shape, read_pairs);
        else
            process_qsec_pairs(*in, *mate, s, counts, totals, read_shape, mate_read_shape, read_pairs);
    } else if (fastq)
        process_fastq(*in, s, counts, totals, read_shape, read_pairs);
    else
        process_qsec(*in, s, counts, totals, read_shape, read_pairs);
    print_results(s, f_out.get(), totals, counts, read_pairs, f_umi_table.get());
    return 0;
}
