#include "tabulate/tabulate.h"
#include "tabulate/tabulate_internal.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "dna/letters.h"
#include "io/error.h"
#include "io/line_reader.h"
#include "tabulate/guide_pairs.h"
#include "tabulate/molecules.h"
#include "io/output.h"
#include "io/text.h"

namespace {

constexpr const char* usage_format = "Usage: %s [-c align_cutoff] [-o output_file] [-f fate_file] [-g guide_1_length [-r recombinant_file]] [-l|-b] [-u umi_table -k cluster_file] [map_file] barcode_file\n";

void print_usage_message(const char* argv0) { std::fprintf(stderr, usage_format, argv0); }

void print_help_message(const char* argv0, int min_align_cutoff) {
    out_stream& out = standard_output();
    out.printf(usage_format, argv0);
    out.put("Matches the mapped clusters to the barcodes of interest\n");
    out.put("map_file specifies the mapped clusters; if unspecified, will read from stdin\n");
    out.put("barcode_file specifies the barcodes of interest\n\n");
    out.printf("  -c N\tAlign score needs to be at least N to match a barcode, default is %d\n", min_align_cutoff);
    out.put("  -o FILE\tadditionally outputs results to FILE\n");
    out.put("  -f FILE\twrites to FILE the clusters and their totals per match kind, alignments below the cutoff apart\n");
    out.put("  -g N\tthe barcodes are guide pairs, guide 1 being the first N letters: -f gains the row recombinant\n");
    out.put("  -r FILE\twith -g: writes to FILE every recombination of guides seen, most reads first\n");
    out.put("  -l\tonly writes the number of barcodes of each length in barcode_file (no map_file is read)\n");
    out.put("  -b\tonly writes the barcodes of barcode_file in its order, each at the line that names it (no map_file is read)\n");
    out.put("  -u FILE\twith -k: counts molecules per barcode from FILE, the UMI table of count -k\n");
    out.put("  -k FILE\twith -u: the cluster file from which the map file was made\n");
}

// -g's value: digits alone, above 0 and in range; 0 for anything else.
int parse_guide_1_length(const char* text) {
    std::string_view digits(text);
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return 0;
    return parse_atoi32(text);
}

[[noreturn]] void fail_map_format() {
    fail(1,
         "Error: a map entry is not in the valid format:\n"
         "\tseq\ttotal\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch type\tbarcode id\tbarcode seq\taligns\n");
}

// Takes the field up to the next tab off the front of rest; a missing tab
// means the line is malformed.
std::string_view cut_field(std::string_view& rest) {
    size_t tab = rest.find('\t');
    if (tab == std::string_view::npos) fail_map_format();
    std::string_view field = rest.substr(0, tab);
    rest.remove_prefix(tab + 1);
    return field;
}

// The barcode index of a sequence, or -1.
int64_t find_barcode(const tabulate_tables& t, std::string_view sequence) { return t.index_of(sequence); }

// The next ";"-separated item of a list; clears more when it was the last.
std::string_view next_item(std::string_view& items, bool& more) {
    size_t semicolon = items.find(';');
    std::string_view item = items.substr(0, semicolon);
    more = semicolon != std::string_view::npos;
    if (more) items.remove_prefix(semicolon + 1);
    return item;
}

void append_alignment(tabulate_tables& t, int64_t k, std::string_view item) {
    std::string& list = t.barcode_align_seq[k];
    if (t.has_align_seq[k]) list += ';';
    list.append(item);
    t.has_align_seq[k] = 1;
}

// An "align" line pairs its barcode sequences with its alignment items, in
// order; each barcode whose alignment scores at least the cutoff counts.
// Items beyond the shorter list are ignored.
void align_targets(tabulate_tables& t, const map_line_fields& fields, std::string_view& rest,
                   const map_target_visitor& visit) {
    std::string_view barcodes = cut_field(rest);
    std::string_view aligns = rest;
    size_t colon = barcodes.find(':');
    if (colon != std::string_view::npos) barcodes.remove_prefix(colon + 1);

    bool more_barcodes = true;
    bool more_aligns = true;
    while (more_barcodes && more_aligns) {
        std::string_view barcode = next_item(barcodes, more_barcodes);
        std::string_view item = next_item(aligns, more_aligns);
        int64_t score = parse_atoi64(item.substr(0, item.find(':')));
        if (score < t.min_align_cutoff) continue;
        visit(fields, {match_kind::align, find_barcode(t, barcode), barcode, item});
    }
}

}  // namespace

void tabulate_build_barcode_links(tabulate_tables& t, line_reader& barcodes) {
    int64_t malformed = 0;
    barcode_sequence_reader fields;
    std::string_view line;
    while (barcodes.next(line)) {
        if (!line.empty() && line[0] == '#') continue;
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            ++malformed;
            continue;
        }
        std::string_view sequence = fields.sequence(line.substr(tab + 1));
        t.barcode_details.emplace_back(line.substr(0, tab));
        t.barcode_sequences.emplace_back(sequence);
    }
    // The last line that bears a sequence names the barcode. The table is
    // filled once the lines are all read, so that its views stay valid.
    t.barcode_link.clear();
    t.barcode_link.reserve(t.barcode_sequences.size());
    for (size_t k = 0; k < t.barcode_sequences.size(); ++k)
        t.barcode_link[t.barcode_sequences[k]] = static_cast<int64_t>(k);
    // The file is read once, but each malformed line is reported as if it
    // were read twice: all of them, then all of them again.
    for (int64_t pass = 0; pass < 2; ++pass)
        for (int64_t i = 0; i < malformed; ++i)
            warn("Warning: an entry is not in expected format (sequence\tdetails)\n");

    size_t accepted = t.barcode_sequences.size();
    t.num_barcode_sequences = static_cast<int64_t>(t.barcode_link.size());
    if (t.num_barcode_sequences != static_cast<int64_t>(accepted))
        warn("Warning: there are non-unique barcode_sequences in the barcode file\n");
    int64_t unusual = 0;
    for (size_t k = 0; k < accepted; ++k) {
        const std::string& sequence = t.barcode_sequences[k];
        // Each barcode once: at the line that names it.
        if (!dna::all_letters(sequence) && t.names_barcode(k))
            ++unusual;
    }
    warn_barcode_letters(unusual);

    t.barcode_mm0s.assign(accepted, 0);
    t.barcode_mm1s.assign(accepted, 0);
    t.barcode_mm2s.assign(accepted, 0);
    t.barcode_aligns.assign(accepted, 0);
    t.barcode_align_seq.assign(accepted, std::string());
    t.has_align_seq.assign(accepted, 0);
}

map_line_fields tabulate_map_line_targets(tabulate_tables& t, std::string_view line, const map_target_visitor& visit) {
    line = line.substr(0, line.find('\n'));
    std::string_view rest = line;
    map_line_fields fields;
    fields.core = cut_field(rest);
    fields.total = cut_field(rest);
    cut_field(rest);  // score
    fields.core_count = cut_field(rest);
    for (int i = 0; i < 4; ++i) cut_field(rest);  // mismatch columns
    // An unmatched cluster ends with its match type.
    if (rest == "none") return fields;
    std::string_view match_type = cut_field(rest);
    cut_field(rest);  // barcode details
    if (match_type == "align") {
        align_targets(t, fields, rest, visit);
        return fields;
    }
    match_kind kind;
    if (match_type == "mm0")
        kind = match_kind::mm0;
    else if (match_type == "mm1")
        kind = match_kind::mm1;
    else if (match_type == "mm2")
        kind = match_kind::mm2;
    else
        return fields;
    // The barcode sequence is the rest of the line, further tabs included.
    visit(fields, {kind, find_barcode(t, rest), rest, {}});
    return fields;
}

void tabulate_process_map_line(tabulate_tables& t, std::string_view line) {
    tabulate_map_line_targets(t, line, [&t](const map_line_fields& fields, const map_target& target) {
        int64_t k = target.barcode;
        if (k < 0) return;
        int64_t total = parse_atoi64(fields.total);
        switch (target.kind) {
            case match_kind::mm0: t.barcode_mm0s[k] = add_saturating(t.barcode_mm0s[k], total); break;
            case match_kind::mm1: t.barcode_mm1s[k] = add_saturating(t.barcode_mm1s[k], total); break;
            case match_kind::mm2: t.barcode_mm2s[k] = add_saturating(t.barcode_mm2s[k], total); break;
            case match_kind::align:
                t.barcode_aligns[k] = add_saturating(t.barcode_aligns[k], total);
                append_alignment(t, k, target.alignment);
                break;
        }
    });
}

void tabulate_add_read_fate(tabulate_tables& t, std::string_view line, read_fates& fates, guide_pairs* pairs) {
    std::string_view rest = line.substr(0, line.find('\n'));
    for (int i = 0; i < 8; ++i) cut_field(rest);
    int kind = 5;
    if (rest != "none") {
        std::string_view match_type = rest.substr(0, rest.find('\t'));
        if (match_type == "mm0") kind = 0;
        else if (match_type == "mm1") kind = 1;
        else if (match_type == "mm2") kind = 2;
        else if (match_type == "align") kind = 4;
        else fail_map_format();
    }
    map_line_fields fields = tabulate_map_line_targets(t, line, [&kind](const map_line_fields&, const map_target& target) {
        // An alignment counts when one of its barcodes reaches the cutoff.
        if (target.kind == match_kind::align) kind = 3;
    });
    int64_t total = parse_atoi64(fields.total);
    if (pairs != nullptr && kind >= 4 && pairs->add_if_recombinant(fields.core, total)) kind = read_fates::recombinant;
    ++fates.clusters[kind];
    fates.units[kind] = add_saturating(fates.units[kind], total);
}

void tabulate_write_read_fates(const read_fates& fates, out_stream& out, bool with_recombinant) {
    out.put("#kind\tclusters\ttotal\n");
    int rows = with_recombinant ? read_fates::kinds : read_fates::recombinant;
    for (int k = 0; k < rows; ++k) {
        out.put(read_fates::names[k]);
        out.put('\t');
        out.put_int(fates.clusters[k]);
        out.put('\t');
        out.put_int(fates.units[k]);
        out.put('\n');
    }
}

void tabulate_write_barcode_lengths(const tabulate_tables& t, out_stream& out) {
    std::vector<int64_t> lengths;
    for (size_t k = 0; k < t.barcode_sequences.size(); ++k) {
        const std::string& sequence = t.barcode_sequences[k];
        if (!t.names_barcode(k)) continue;
        if (lengths.size() <= sequence.size()) lengths.resize(sequence.size() + 1, 0);
        ++lengths[sequence.size()];
    }
    out.put("#length\tbarcodes\n");
    for (size_t length = 0; length < lengths.size(); ++length) {
        if (lengths[length] == 0) continue;
        out.put_int(static_cast<int64_t>(length));
        out.put('\t');
        out.put_int(lengths[length]);
        out.put('\n');
    }
}

void tabulate_write_barcode_list(const tabulate_tables& t, out_stream& out) {
    out.put("#bcid\tbarcode\n");
    for (size_t k = 0; k < t.barcode_sequences.size(); ++k) {
        const std::string& sequence = t.barcode_sequences[k];
        if (!t.names_barcode(k)) continue;
        out.put(t.barcode_details[k]);
        out.put('\t');
        out.put(sequence);
        out.put('\n');
    }
}

void tabulate_order_barcodes(tabulate_tables& t) {
    size_t lines = t.barcode_sequences.size();
    t.barcode_totals.assign(lines, 0);
    t.sorted_barcode_ids.clear();
    for (size_t k = 0; k < lines; ++k) {
        int64_t total = add_saturating(t.barcode_mm0s[k], t.barcode_mm1s[k]);
        total = add_saturating(total, t.barcode_mm2s[k]);
        t.barcode_totals[k] = add_saturating(total, t.barcode_aligns[k]);
        // An earlier line of a repeated sequence is no barcode.
        if (t.names_barcode(k))
            t.sorted_barcode_ids.push_back(static_cast<int64_t>(k));
    }
    // Details in byte order; equal details keep ascending index.
    std::stable_sort(t.sorted_barcode_ids.begin(), t.sorted_barcode_ids.end(),
                     [&t](int64_t a, int64_t b) { return t.barcode_details[a] < t.barcode_details[b]; });
}

void tabulate_write_report(const tabulate_tables& t, out_stream& out) {
    out.put("#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n");
    for (int64_t k : t.sorted_barcode_ids) {
        out.put(t.barcode_details[k]);
        out.put('\t');
        out.put(t.barcode_sequences[k]);
        for (int64_t count :
             {t.barcode_totals[k], t.barcode_mm0s[k], t.barcode_mm1s[k], t.barcode_mm2s[k], t.barcode_aligns[k]}) {
            out.put('\t');
            out.put_int(count);
        }
        if (t.has_align_seq[k]) {
            out.put('\t');
            out.put(t.barcode_align_seq[k]);
        }
        out.put('\n');
    }
}

namespace {

// tabulate -u: molecules per barcode in place of the clusters' totals.
void count_molecules(tabulate_tables& t, out_stream* f_out, const char* umi_path, const char* cluster_path,
                     line_reader* f_map, const char* map_path) {
    auto f_umis = line_reader::open(umi_path, read_failure{std::string("Could not read UMI table ") + umi_path + "\n", 1},
                                    true, read_failure{std::string("Could not decompress ") + umi_path + "\n", 2});
    if (f_umis == nullptr) fail(1, "Could not open UMI table %s\n", umi_path);
    auto f_clusters = line_reader::open(
        cluster_path, read_failure{std::string("Could not read cluster file ") + cluster_path + "\n", 1});
    if (f_clusters == nullptr) fail(1, "Could not open cluster file %s\n", cluster_path);
    warn("Assigning molecules...\n");
    molecules::sums totals =
        molecules::count(t, {*f_umis, umi_path}, {*f_clusters, cluster_path}, {*f_map, map_path ? map_path : "stdin"});
    tabulate_order_barcodes(t);
    write_table(f_out, [&](out_stream& out) { molecules::write_report(t, totals, out); });
    warn("%" PRId64 " molecules after merging the UMIs of each barcode's keys (%" PRId64 " reads)\n", totals.molecules,
         totals.reads);
}

// tabulate -l and -b: the barcode file alone.
int barcode_file_only(tabulate_tables& t, const char* barcode_path, int operands, const char* argv0, bool list) {
    if (operands != 1) {
        print_usage_message(argv0);
        fail_quietly(1);
    }
    auto f_barcode = line_reader::open(
        barcode_path, read_failure{std::string("Could not open barcode file ") + barcode_path + "\n", 1});
    if (f_barcode == nullptr) fail(1, "Could not open barcode file %s\n", barcode_path);
    tabulate_build_barcode_links(t, *f_barcode);
    if (list) tabulate_write_barcode_list(t, standard_output());
    else tabulate_write_barcode_lengths(t, standard_output());
    standard_output().flush();
    return 0;
}

}  // namespace

int tabulate_main(int argc, char** argv) {
    if (argc <= 1) {
        print_usage_message(argv[0]);
        fail_quietly(1);
    }
    tabulate_tables t;
    if (asks_for_help(argv[1])) {
        print_help_message(argv[0], t.min_align_cutoff);
        return 0;
    }

    std::unique_ptr<out_stream> f_out;
    const char* umi_path = nullptr;
    const char* cluster_path = nullptr;
    std::unique_ptr<out_stream> f_fates;
    std::unique_ptr<out_stream> f_recombinants;
    int guide_1_length = 0;
    bool lengths_only = false;
    bool list_only = false;
    optind = 0;
    int option;
    while ((option = getopt(argc, argv, "c:n:o:u:k:f:g:r:lb")) != -1) {
        switch (option) {
            case 'c':
                t.min_align_cutoff = parse_atoi32(optarg);
                break;
            case 'o':
                // Created (or emptied) at once; a later -o replaces it.
                f_out = open_output_file(optarg);
                if (f_out == nullptr) fail(1, "Could not open %s for writing", optarg);
                break;
            case 'u': umi_path = optarg; break;
            case 'k': cluster_path = optarg; break;
            case 'f':
                f_fates = open_output_file(optarg);
                if (f_fates == nullptr) fail(1, "Could not open %s for writing", optarg);
                break;
            case 'g':
                guide_1_length = parse_guide_1_length(optarg);
                if (guide_1_length <= 0)
                    fail(1, "%s: -g takes the length of guide 1, a number of letters above 0 (not %s)\n", argv[0],
                         optarg);
                break;
            case 'r':
                f_recombinants = open_output_file(optarg);
                if (f_recombinants == nullptr) fail(1, "Could not open %s for writing", optarg);
                break;
            case 'l': lengths_only = true; break;
            case 'b': list_only = true; break;
            case 'n':
                fail(1, "%s: Unknown parameter (%s)\n", argv[0], optarg);
            default:
                // No value to show: name the option as it was written.
                fail(1, "%s: Unknown parameter (-%c)\n", argv[0], optopt);
        }
    }

    int operands = argc - optind;
    if (operands < 1 || operands > 2) {
        print_usage_message(argv[0]);
        fail_quietly(1);
    }
    const char* map_path = operands == 2 ? argv[optind] : nullptr;
    const char* barcode_path = argv[argc - 1];
    if (lengths_only || list_only) return barcode_file_only(t, barcode_path, operands, argv[0], list_only);
    if (f_fates != nullptr && umi_path != nullptr)
        fail(1, "%s: -f goes with the plain report, not with -u and -k\n", argv[0]);
    if (guide_1_length > 0 && umi_path != nullptr)
        fail(1, "%s: -g goes with the plain report, not with -u and -k\n", argv[0]);
    if (f_recombinants != nullptr && guide_1_length == 0)
        fail(1, "%s: -r goes with -g, the length of guide 1\n", argv[0]);

    if ((umi_path == nullptr) != (cluster_path == nullptr))
        fail(1, "%s: -u and -k go together: the UMI table of count -k and the cluster file of the map file\n",
             argv[0]);

    // Both inputs are opened before either is judged, the map file first.
    auto f_map = line_reader::open(map_path, read_failure{"No map file supplied\n", 1});
    auto f_barcode = line_reader::open(
        barcode_path, read_failure{std::string("Could not open barcode file ") + barcode_path + "\n", 1});
    if (f_map == nullptr) fail(1, "No map file supplied\n");
    if (f_barcode == nullptr) fail(1, "Could not open barcode file %s\n", barcode_path);

    warn("Building barcodes...\n");
    tabulate_build_barcode_links(t, *f_barcode);
    f_barcode.reset();

    if (umi_path != nullptr) {
        count_molecules(t, f_out.get(), umi_path, cluster_path, f_map.get(), map_path);
        return 0;
    }

    std::unique_ptr<guide_pairs> pairs;
    if (guide_1_length > 0) {
        pairs = std::make_unique<guide_pairs>(t, guide_1_length);
        if (pairs->guide_1_count() == 0)
            warn("Warning: no barcode is longer than guide 1 (-g %d): none is a guide pair\n", guide_1_length);
    }

    warn("Assigning entries...\n");
    read_fates fates;
    bool fates_wanted = f_fates != nullptr || f_recombinants != nullptr;
    std::string_view line;
    while (f_map->next(line)) {
        if (!line.empty() && line[0] == '#') continue;
        tabulate_process_map_line(t, line);
        if (fates_wanted) tabulate_add_read_fate(t, line, fates, pairs.get());
    }
    if (f_fates != nullptr) {
        tabulate_write_read_fates(fates, *f_fates, pairs != nullptr);
        f_fates->flush();
    }
    if (f_recombinants != nullptr) {
        pairs->write_combinations(*f_recombinants);
        f_recombinants->flush();
    }

    tabulate_order_barcodes(t);
    write_table(f_out.get(), [&t](out_stream& out) { tabulate_write_report(t, out); });
    return 0;
}
