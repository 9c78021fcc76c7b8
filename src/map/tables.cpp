#include "map/tables.h"

#include <cstring>

#include "dna/letters.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "io/text.h"

std::vector<barcode_line> map_read_barcode_lines(line_reader& reader) {
    std::vector<barcode_line> lines;
    std::string_view line;
    while (reader.next(line)) lines.push_back({std::string(line), reader.ended_by_newline()});
    return lines;
}

namespace {

void warn_malformed_barcode_line(const barcode_line& line) {
    warn("Warning: an entry is not in expected format (details\tsequence)\n");
    warn("\t%s%s\n", line.text.c_str(), line.ended_by_newline ? "\n" : "");
}

}  // namespace

void map_build_barcode_sequences(const std::vector<barcode_line>& lines, barcode_table& barcodes) {
    size_t accepted = 0;
    barcode_sequence_reader fields;
    for (const barcode_line& line : lines) {
        if (!line.text.empty() && line.text[0] == '#') continue;
        size_t tab = line.text.find('\t');
        if (tab == std::string::npos) {
            warn_malformed_barcode_line(line);
            continue;
        }
        bool added = false;
        uint32_t position =
            barcodes.barcode_sequences.insert(fields.sequence(std::string_view(line.text).substr(tab + 1)), added);
        if (added) barcodes.barcode_details.emplace_back();
        barcodes.barcode_details[position].assign(line.text, 0, tab);
        ++accepted;
    }
    // The file is gone over twice, so each malformed line is reported again.
    for (const barcode_line& line : lines) {
        if (!line.text.empty() && line.text[0] == '#') continue;
        if (line.text.find('\t') == std::string::npos) warn_malformed_barcode_line(line);
    }
    if (barcodes.barcode_sequences.size() != accepted)
        warn("Warning: there are non-unique barcode_sequences in the barcode file\n");
    int64_t unusual = 0;
    for (const std::string& sequence : barcodes.barcode_sequences.texts()) unusual += !dna::all_letters(sequence);
    warn_barcode_letters(unusual);
}

bool word_index::put(std::string_view word, int32_t position) {
    uint64_t code = 0;
    for (int i = 0; i < nmer; ++i) {
        uint8_t letter = dna::code_of(word[i]);
        if (letter == dna::other_code) {
            bool added = false;
            uint32_t at = odd_words_.insert(word, added);
            if (added) odd_positions_.push_back(position);
            odd_positions_[at] = position;
            return !added;
        }
        code |= static_cast<uint64_t>(letter) << (3 * i);
    }
    bool added;
    positions_.insert(code, added) = position;
    return !added;
}

void word_index::build(const ordered_texts& sequences) {
    long collisions = 0;
    for (size_t p = 0; p < sequences.size(); ++p) {
        std::string_view sequence = sequences[p];
        for (size_t o = 0; o + nmer <= sequence.size(); ++o)
            if (put(sequence.substr(o, nmer), static_cast<int32_t>(p))) ++collisions;
    }
    if (collisions > 0) warn("\tWarning: barcode sequence file has %dmer word overlaps\n", nmer);
    build_blocks();
}

void word_index::build_blocks() {
    auto bucket_of = [](uint64_t code, int block) {
        return block * block_buckets + ((code >> (block_bits * block)) & (block_buckets - 1));
    };
    block_starts_.assign(3 * block_buckets + 1, 0);
    positions_.for_each([&](uint64_t code, int32_t) {
        for (int block = 0; block < 3; ++block) ++block_starts_[bucket_of(code, block) + 1];
    });
    for (size_t b = 0; b < 3 * block_buckets; ++b) block_starts_[b + 1] += block_starts_[b];
    block_words_.assign(3 * positions_.size(), 0);
    block_positions_.assign(3 * positions_.size(), -1);
    std::vector<uint32_t> fill(block_starts_.begin(), block_starts_.end() - 1);
    // Slot order is a fixed function of the words, so buckets fill alike on
    // every run.
    positions_.for_each([&](uint64_t code, int32_t position) {
        for (int block = 0; block < 3; ++block) {
            uint32_t at = fill[bucket_of(code, block)]++;
            block_words_[at] = code;
            block_positions_[at] = position;
        }
    });
}

int32_t word_index::find_code(uint64_t code) const {
    const int32_t* position = positions_.find(code);
    return position == nullptr ? -1 : *position;
}

int32_t word_index::find(std::string_view word) const {
    if (word.size() != nmer) return -1;
    uint64_t code = 0;
    for (int i = 0; i < nmer; ++i) {
        uint8_t letter = dna::code_of(word[i]);
        if (letter == dna::other_code) {
            int64_t at = odd_words_.find(word);
            return at < 0 ? -1 : odd_positions_[static_cast<size_t>(at)];
        }
        code |= static_cast<uint64_t>(letter) << (3 * i);
    }
    return find_code(code);
}

namespace {

// The six numbers of an accepted cluster line, or false when a separator is
// missing. Each number is read from exactly its own field.
struct cluster_numbers {
    int64_t mm1n, mm2n, totals, mm0, mm1, mm2;
};

bool split_cluster_line(std::string_view line, size_t first_tab, cluster_numbers& numbers) {
    size_t colon = line.find(':', first_tab + 1);
    if (colon == std::string_view::npos) return false;
    size_t ends[4];
    size_t from = colon + 1;
    for (size_t& end : ends) {
        end = line.find('\t', from);
        if (end == std::string_view::npos) return false;
        from = end + 1;
    }
    auto field = [&](size_t begin, size_t end) { return parse_atoi64(line.substr(begin, end - begin)); };
    numbers.mm1n = field(first_tab + 1, colon);
    numbers.mm2n = field(colon + 1, ends[0]);
    numbers.totals = field(ends[0] + 1, ends[1]);
    numbers.mm0 = field(ends[1] + 1, ends[2]);
    numbers.mm1 = field(ends[2] + 1, ends[3]);
    size_t last_end = line.find('\t', ends[3] + 1);
    numbers.mm2 = field(ends[3] + 1, last_end == std::string_view::npos ? line.size() : last_end);
    return true;
}

}  // namespace

namespace {

// An accepted cluster line, split; its core points into the reader's block.
struct split_line {
    std::string_view core;
    uint64_t hash;
    bool well_formed;
    cluster_numbers numbers;
};

// Inserts a run of accepted lines, their slots asked for first (the table is
// large and read at random).
void insert_lines(const std::vector<split_line>& lines, cluster_table& clusters, bool& malformed) {
    for (const split_line& line : lines) clusters.cluster_sequences.prefetch(line.hash);
    for (const split_line& line : lines) {
        bool added = false;
        uint32_t position = clusters.cluster_sequences.insert(line.core, line.hash, added);
        // The format error comes only after the whole file has been read.
        if (!line.well_formed) malformed = true;
        if (malformed) continue;
        if (added) {
            clusters.cluster_mm1n.push_back(0);
            clusters.cluster_mm2n.push_back(0);
            clusters.cluster_totals.push_back(0);
            clusters.cluster_total_mm0.push_back(0);
            clusters.cluster_total_mm1.push_back(0);
            clusters.cluster_total_mm2.push_back(0);
        }
        const cluster_numbers& numbers = line.numbers;
        clusters.cluster_mm1n[position] = numbers.mm1n;
        clusters.cluster_mm2n[position] = numbers.mm2n;
        clusters.cluster_totals[position] = numbers.totals;
        clusters.cluster_total_mm0[position] = numbers.mm0;
        clusters.cluster_total_mm1[position] = numbers.mm1;
        clusters.cluster_total_mm2[position] = numbers.mm2;
    }
}

}  // namespace

void map_build_clusters(line_reader& reader, cluster_table& clusters) {
    constexpr size_t batch = 32;
    size_t accepted = 0;
    bool malformed = false;
    std::vector<split_line> lines;
    lines.reserve(batch);
    std::string_view block;
    // Whole lines a block at a time, so that the cores of a batch stay in
    // place until they are inserted.
    while (reader.next_block(block)) {
        size_t from = 0;
        while (from < block.size()) {
            size_t newline = block.find('\n', from);
            size_t end = newline == std::string_view::npos ? block.size() : newline;
            std::string_view line = block.substr(from, end - from);
            from = end + 1;
            // A NUL ends the line's text.
            line = line.substr(0, std::min(line.size(), line.find('\0')));
            if (!line.empty() && line[0] == '#') continue;
            size_t tab = line.find('\t');
            if (tab == std::string_view::npos) {
                warn("Warning: an entry is not in expected format (sequence\t(cluster details)...)\n");
                continue;
            }
            ++accepted;
            split_line split{line.substr(0, tab), 0, false, {}};
            split.hash = text_hash(split.core);
            split.well_formed = split_cluster_line(line, tab, split.numbers);
            lines.push_back(split);
            if (lines.size() == batch) {
                insert_lines(lines, clusters, malformed);
                lines.clear();
            }
        }
        insert_lines(lines, clusters, malformed);
        lines.clear();
    }
    if (malformed) fail(1, "Error: a cluster entry is not in the valid format:\t\nseq\tmm1n:mm2n\tmm0\tmm1\tmm2\n");
    if (clusters.cluster_sequences.size() != accepted)
        warn("Warning: there are non-unique cluster cores in the cluster file\n");
}
