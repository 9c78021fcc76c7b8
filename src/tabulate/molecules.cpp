#include "tabulate/molecules.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>
#include <span>
#include <string_view>
#include <vector>

#include "dna/letters.h"
#include "io/error.h"
#include "containers/mix.h"
#include "containers/ordered_texts.h"
#include "containers/open_table.h"
#include "io/line_reader.h"
#include "io/output.h"
#include "tabulate/tabulate_internal.h"
#include "io/text.h"
#include "umi/umi.h"

namespace molecules {

namespace {

constexpr uint32_t none = UINT32_MAX;
constexpr size_t kinds = 4;  // mm0, mm1, mm2, align: the columns of the report

// A UMI as one word: up to 29 letters A C G T (most UMIs) packed two bits a
// letter under a length mark; any other the number of its text, flagged.
class umi_codes {
public:
    uint64_t code(std::string_view umi) {
        uint64_t packed;
        if (pack(umi, packed)) return packed;
        bool added;
        return text_flag | texts_.insert(umi, added);
    }

    // Appends the UMI's letters to out.
    void append(uint64_t code, std::string& out) const {
        if (code & text_flag) {
            out.append(texts_[static_cast<uint32_t>(code)]);
            return;
        }
        size_t length = (code >> 58) - 1;
        for (size_t i = length; i-- > 0;) out += dna::letter_of((code >> (2 * i)) & 3);
    }

private:
    static constexpr uint64_t text_flag = uint64_t{1} << 63;

    static bool pack(std::string_view umi, uint64_t& key) {
        if (umi.size() > 29) return false;
        uint64_t packed = 0;
        for (char c : umi) {
            uint64_t letter = dna::code_of(c);
            if (letter >= dna::n_code) return false;
            packed = packed << 2 | letter;
        }
        key = packed | uint64_t{umi.size() + 1} << 58;
        return true;
    }

    ordered_texts texts_;
};

// Views of UMIs' letters, written one after another into one buffer.
class umi_views {
public:
    void clear() {
        letters_.clear();
        ends_.clear();
    }
    void add(const umi_codes& codes, uint64_t code) {
        codes.append(code, letters_);
        ends_.push_back(letters_.size());
    }
    // Valid until the next add().
    const std::vector<std::string_view>& views() {
        views_.clear();
        for (size_t i = 0, start = 0; i < ends_.size(); start = ends_[i++])
            views_.push_back(std::string_view(letters_).substr(start, ends_[i] - start));
        return views_;
    }

private:
    std::string letters_;
    std::vector<size_t> ends_;
    std::vector<std::string_view> views_;
};

// A sequence that the cluster file names.
struct key_record {
    uint32_t cluster = none;  // where its UMIs go (a shared member's: decided after the UMI table)
    uint32_t line = none;     // the cluster whose line it heads
    uint32_t first_offer = 0;
    uint32_t offers = 0;  // above 1: a member of several cores
    bool seen = false;    // in the UMI table
};

// A line of the cluster file: a core with its members, or a sequence alone.
struct cluster_record {
    uint32_t key;
    int64_t total;
    int64_t core_count;
    int64_t reads = 0;  // the reads of its own key in the UMI table
    uint32_t first_target = 0;
    uint32_t targets = 0;
    bool mapped = false;
};

struct target {
    uint32_t barcode;
    uint8_t kind;
};

// A shared member's pair, held until the UMI table has told which of its cores has the most reads.
struct held_pair {
    uint64_t umi;
    int64_t reads;
    uint32_t key;
};

// The merged (barcode, UMI) pairs with their reads by kind of match.
class pair_reads {
public:
    void add(uint32_t barcode, uint64_t umi, uint8_t kind, int64_t reads) {
        uint32_t& count = pairs_[pair{umi, barcode}][kind];
        // 32 bits keep the table small; a pair would need over four billion reads to need more.
        if (reads > static_cast<int64_t>(UINT32_MAX - count)) {
            carry_[{barcode, umi, kind}] += reads;
            return;
        }
        count += static_cast<uint32_t>(reads);
    }

    // Every pair, barcode by barcode (of barcodes numbered below barcodes);
    // within a barcode in no settled order. Empties the table.
    template <class Visit>
    void take_each(size_t barcodes, Visit visit) {
        // A counting sort by barcode: one pass to count, one to place the
        // pairs themselves (a later walk through pointers would miss the
        // cache at every pair).
        struct found_pair {
            pair key;
            std::array<uint32_t, kinds> reads;
        };
        std::vector<size_t> first(barcodes + 1, 0);
        pairs_.for_each([&](const pair& p, const std::array<uint32_t, kinds>&) { ++first[p.barcode + 1]; });
        for (size_t b = 0; b < barcodes; ++b) first[b + 1] += first[b];
        std::vector<found_pair> found(pairs_.size());
        pairs_.for_each([&](const pair& p, const std::array<uint32_t, kinds>& reads) { found[first[p.barcode]++] = {p, reads}; });
        pairs_.clear();
        for (const found_pair& f : found) {
            std::array<int64_t, kinds> reads;
            for (size_t k = 0; k < kinds; ++k) reads[k] = f.reads[k];
            if (!carry_.empty())
                for (size_t k = 0; k < kinds; ++k) {
                    auto carried = carry_.find({f.key.barcode, f.key.umi, static_cast<uint8_t>(k)});
                    if (carried != carry_.end()) reads[k] += carried->second;
                }
            visit(f.key.barcode, f.key.umi, reads);
        }
    }

private:
    struct pair {
        uint64_t umi;
        uint32_t barcode;
        bool operator==(const pair&) const = default;
    };
    struct pair_hash {
        uint64_t operator()(const pair& p) const { return hash_mix64(p.umi ^ (uint64_t{p.barcode} * 0x9e3779b97f4a7c15ULL)); }
    };

    // No barcode is numbered UINT32_MAX.
    open_table<pair, std::array<uint32_t, kinds>, pair_hash> pairs_{pair{0, UINT32_MAX}, 1024, 75};
    std::map<std::tuple<uint32_t, uint64_t, uint8_t>, int64_t> carry_;  // reads beyond 32 bits
};

uint8_t kind_column(match_kind kind) {
    switch (kind) {
        case match_kind::mm0: return 0;
        case match_kind::mm1: return 1;
        case match_kind::mm2: return 2;
        case match_kind::align: return 3;
    }
    return 3;
}

// The field up to the next tab, taken off rest; false when there is no tab.
bool cut(std::string_view& rest, std::string_view& field) {
    size_t tab = rest.find('\t');
    if (tab == std::string_view::npos) return false;
    field = rest.substr(0, tab);
    rest.remove_prefix(tab + 1);
    return true;
}

// A read count as count writes it: digits only, above 0.
bool parse_reads(std::string_view text, int64_t& reads) {
    if (text.empty() || text.size() > 15) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    reads = value;
    return value > 0;
}

class step {
public:
    step(tabulate_tables& t, const input& umi_table, const input& clusters, const input& map)
        : t_(t), umi_table_(umi_table), clusters_(clusters), map_(map) {}

    sums run() {
        read_clusters();
        read_map();
        read_umi_table();
        place_shared_members();
        return collapse();
    }

private:
    // A key's record; its number is its number in key_texts_.
    uint32_t key_of(std::string_view sequence) {
        bool added;
        uint32_t k = key_texts_.insert(sequence, added);
        if (k == keys_.size()) keys_.emplace_back();
        return k;
    }

    // A key's text for a message.
    std::string key_text(uint32_t k) const { return key_texts_[k]; }

    [[noreturn]] void fail_cluster_line(int64_t number) const {
        fail(1, "tabulate: line %" PRId64 " of %s is not a line of a cluster file\n", number, clusters_.name.c_str());
    }

    // Every line: the core (or lone sequence), its counts, and the members it offers a home.
    void read_clusters() {
        std::vector<std::pair<uint32_t, uint32_t>> offers;  // (member key, cluster)
        std::string_view line;
        int64_t number = 0;
        while (clusters_.reader.next(line)) {
            ++number;
            if (!line.empty() && line[0] == '#') continue;
            std::string_view rest = line, core, score, total, core_count, mm1;
            if (!cut(rest, core) || !cut(rest, score) || !cut(rest, total) || !cut(rest, core_count) ||
                !cut(rest, mm1) || core.empty())
                fail_cluster_line(number);
            std::string_view members;
            size_t tab = rest.find('\t');
            if (tab != std::string_view::npos) members = rest.substr(tab + 1);
            uint32_t c = static_cast<uint32_t>(clusters_list_.size());
            uint32_t k = key_of(core);
            if (keys_[k].line != none)
                fail(1, "tabulate: %s lists the core %.*s twice\n", clusters_.name.c_str(), static_cast<int>(core.size()),
                     core.data());
            keys_[k].line = c;
            clusters_list_.push_back({k, parse_atoi64(total), parse_atoi64(core_count)});
            while (!members.empty()) {
                size_t comma = members.find(',');
                std::string_view item = members.substr(0, comma);
                members = comma == std::string_view::npos ? std::string_view() : members.substr(comma + 1);
                // sequence:count:mmcount
                size_t last = item.rfind(':');
                size_t second = last == std::string_view::npos || last == 0 ? std::string_view::npos
                                                                           : item.rfind(':', last - 1);
                if (second == std::string_view::npos || second == 0) fail_cluster_line(number);
                offers.emplace_back(key_of(item.substr(0, second)), c);
            }
        }
        // A core keeps its own key; a member offered by one core goes there.
        std::sort(offers.begin(), offers.end());
        offers.erase(std::unique(offers.begin(), offers.end()), offers.end());
        for (key_record& key : keys_)
            if (key.line != none) key.cluster = key.line;
        for (size_t i = 0, end = 0; i < offers.size(); i = end) {
            for (end = i + 1; end < offers.size() && offers[end].first == offers[i].first;) ++end;
            key_record& key = keys_[offers[i].first];
            if (key.line != none) continue;
            if (end - i == 1) {
                key.cluster = offers[i].second;
                continue;
            }
            key.first_offer = static_cast<uint32_t>(shared_offers_.size());
            key.offers = static_cast<uint32_t>(end - i);
            for (size_t j = i; j < end; ++j) shared_offers_.push_back(offers[j].second);
        }
    }

    // Each cluster's barcodes, as tabulate counts them, checked against the cluster file.
    void read_map() {
        std::vector<target> found;
        std::string_view line;
        while (map_.reader.next(line)) {
            if (!line.empty() && line[0] == '#') continue;
            found.clear();
            map_line_fields fields = tabulate_map_line_targets(t_, line, [&](const map_line_fields& f, const map_target& m) {
                if (m.barcode < 0)
                    fail(1, "tabulate: %s matches the cluster %.*s to %.*s, which the barcode file does not hold\n",
                         map_.name.c_str(), static_cast<int>(f.core.size()), f.core.data(),
                         static_cast<int>(m.sequence.size()), m.sequence.data());
                found.push_back({static_cast<uint32_t>(m.barcode), kind_column(m.kind)});
            });
            uint32_t key = key_texts_.find(fields.core);
            if (key == none || keys_[key].line == none)
                fail(1, "tabulate: %s maps the cluster %.*s, which %s does not hold: a map file of another cluster file\n",
                     map_.name.c_str(), static_cast<int>(fields.core.size()), fields.core.data(),
                     clusters_.name.c_str());
            cluster_record& c = clusters_list_[keys_[key].line];
            if (c.mapped)
                fail(1, "tabulate: %s maps the cluster %.*s twice\n", map_.name.c_str(),
                     static_cast<int>(fields.core.size()), fields.core.data());
            if (parse_atoi64(fields.total) != c.total || parse_atoi64(fields.core_count) != c.core_count)
                fail(1,
                     "tabulate: the cluster %.*s has the counts %" PRId64 ":%" PRId64 " in %s and %" PRId64
                     ":%" PRId64 " in %s: a map file of another cluster file\n",
                     static_cast<int>(fields.core.size()), fields.core.data(), parse_atoi64(fields.total),
                     parse_atoi64(fields.core_count), map_.name.c_str(), c.total, c.core_count,
                     clusters_.name.c_str());
            c.mapped = true;
            c.first_target = static_cast<uint32_t>(targets_.size());
            c.targets = static_cast<uint32_t>(found.size());
            targets_.insert(targets_.end(), found.begin(), found.end());
        }
        for (const cluster_record& c : clusters_list_)
            if (!c.mapped)
                fail(1, "tabulate: %s does not map the cluster %s of %s: a map file of another cluster file\n",
                     map_.name.c_str(), key_text(c.key).c_str(), clusters_.name.c_str());
    }

    void add_to_cluster(uint32_t cluster, uint64_t umi, int64_t reads) {
        const cluster_record& c = clusters_list_[cluster];
        for (uint32_t i = c.first_target; i < c.first_target + c.targets; ++i)
            pairs_.add(targets_[i].barcode, umi, targets_[i].kind, reads);
    }

    // The UMIs of one key, one line after another: where they go.
    struct block {
        uint32_t key = none;
        bool checked = false;  // heads a cluster line: its molecules are compared with the line's
        std::vector<uint64_t> umis;
        std::vector<int64_t> reads;
    };

    void start_block(block& b, std::string_view sequence) {
        b.key = key_texts_.find(sequence);
        b.umis.clear();
        b.reads.clear();
        b.checked = false;
        if (b.key == none) return;
        key_record& key = keys_[b.key];
        if (key.seen)
            fail(1, "tabulate: %s lists the sequence %.*s in two places: not a UMI table of count -k\n",
                 umi_table_.name.c_str(), static_cast<int>(sequence.size()), sequence.data());
        key.seen = true;
        b.checked = key.line != none;
    }

    // A cluster line's own count is its key's molecules as count collapsed them.
    void end_block(block& b) {
        if (!b.checked) return;
        views_.clear();
        for (uint64_t umi : b.umis) views_.add(umi_codes_, umi);
        int64_t found = collapser_.run(views_.views(), b.reads);
        const cluster_record& c = clusters_list_[keys_[b.key].line];
        if (found != c.core_count)
            fail(1,
                 "tabulate: the cluster %s counts %" PRId64 " in %s, its UMIs in %s make %" PRId64
                 " molecules: files of different runs\n",
                 key_text(b.key).c_str(), c.core_count,
                 clusters_.name.c_str(), umi_table_.name.c_str(), found);
    }

    [[noreturn]] void fail_umi_line(int64_t number) const {
        fail(1, "tabulate: line %" PRId64 " of %s is not a UMI table line (read, umi, reads)\n", number,
             umi_table_.name.c_str());
    }

    void read_umi_table() {
        const char* name = umi_table_.name.c_str();
        bool header = false;
        int64_t declared = -1;
        int64_t pairs = 0;
        int64_t number = 0;
        block b;
        std::string current;
        std::string_view line;
        while (umi_table_.reader.next(line)) {
            ++number;
            if (!line.empty() && line[0] == '#') {
                if (line == "#read\tumi\treads") header = true;
                if (line.starts_with("#umi pairs: ")) declared = parse_atoi64(line.substr(12));
                continue;
            }
            if (!header || declared < 0)
                fail(1, "tabulate: %s is not a UMI table (count -k writes one): it has no \"#umi pairs:\" and "
                        "\"#read\\tumi\\treads\" header\n", name);
            std::string_view rest = line, sequence, umi;
            int64_t reads;
            if (!cut(rest, sequence) || !cut(rest, umi) || !parse_reads(rest, reads) || sequence.empty() || umi.empty())
                fail_umi_line(number);
            ++pairs;
            if (pairs == 1 || sequence != current) {
                if (pairs > 1) end_block(b);
                current.assign(sequence);
                start_block(b, sequence);
            }
            // In no cluster, it reaches no barcode; a UMI with a masked
            // letter makes no molecule, as in count.
            if (b.key == none || umi.find('N') != std::string_view::npos) continue;
            key_record& key = keys_[b.key];
            uint64_t id = umi_codes_.code(umi);
            if (b.checked) {
                b.umis.push_back(id);
                b.reads.push_back(reads);
            }
            if (key.line != none) {
                cluster_record& c = clusters_list_[key.line];
                c.reads += reads;
            }
            if (key.cluster != none)
                add_to_cluster(key.cluster, id, reads);
            else
                held_.push_back({id, reads, b.key});
        }
        if (pairs > 0) end_block(b);
        if (!header || declared < 0)
            fail(1, "tabulate: %s is not a UMI table (count -k writes one): it has no \"#umi pairs:\" and "
                    "\"#read\\tumi\\treads\" header\n", name);
        if (pairs != declared)
            fail(1, "tabulate: %s holds %" PRId64 " pairs, its header says %" PRId64 ": the table is incomplete\n", name,
                 pairs, declared);
        for (uint32_t k = 0; k < keys_.size(); ++k)
            if (!keys_[k].seen)
                fail(1, "tabulate: %s names the sequence %s, which %s does not hold: files of different runs\n",
                     clusters_.name.c_str(), key_text(k).c_str(), name);
    }

    // A member of several cores goes to the one whose own key has the most
    // reads (the earlier line on ties), so its UMIs stay in one place.
    void place_shared_members() {
        for (key_record& key : keys_) {
            if (key.cluster != none || key.offers == 0) continue;
            uint32_t best = shared_offers_[key.first_offer];
            for (uint32_t i = key.first_offer + 1; i < key.first_offer + key.offers; ++i) {
                uint32_t c = shared_offers_[i];
                if (clusters_list_[c].reads > clusters_list_[best].reads) best = c;
            }
            key.cluster = best;
        }
        for (const held_pair& p : held_) add_to_cluster(keys_[p.key].cluster, p.umi, p.reads);
        held_.clear();
        held_.shrink_to_fit();
    }

    sums collapse() {
        sums totals;
        std::vector<std::array<int64_t, kinds>> by_kind;
        umi_views umis;
        std::vector<int64_t> reads;
        uint32_t barcode = none;
        std::vector<int64_t>* columns[kinds] = {&t_.barcode_mm0s, &t_.barcode_mm1s, &t_.barcode_mm2s,
                                                &t_.barcode_aligns};
        auto finish = [&] {
            if (barcode == none) return;
            totals.molecules += collapser_.run(umis.views(), reads);
            for (uint32_t top : collapser_.tops()) {
                const std::array<int64_t, kinds>& r = by_kind[top];
                size_t kind = static_cast<size_t>(std::max_element(r.begin(), r.end()) - r.begin());
                ++(*columns[kind])[barcode];
            }
        };
        pairs_.take_each(t_.barcode_sequences.size(), [&](uint32_t b, uint64_t umi, const std::array<int64_t, kinds>& r) {
            if (b != barcode) {
                finish();
                barcode = b;
                umis.clear();
                reads.clear();
                by_kind.clear();
            }
            int64_t sum = r[0] + r[1] + r[2] + r[3];
            umis.add(umi_codes_, umi);
            reads.push_back(sum);
            by_kind.push_back(r);
            totals.reads += sum;
        });
        finish();
        return totals;
    }

    tabulate_tables& t_;
    const input& umi_table_;
    const input& clusters_;
    const input& map_;

    ordered_texts key_texts_;
    std::vector<key_record> keys_;
    std::vector<cluster_record> clusters_list_;
    std::vector<uint32_t> shared_offers_;
    std::vector<target> targets_;
    umi_codes umi_codes_;
    umi_views views_;
    std::vector<held_pair> held_;
    pair_reads pairs_;
    umi::collapser collapser_;
};

}  // namespace

sums count(tabulate_tables& t, const input& umi_table, const input& clusters, const input& map) {
    step s(t, umi_table, clusters, map);
    return s.run();
}

void write_report(const tabulate_tables& t, const sums& totals, out_stream& out) {
    out.printf("#molecules: %" PRId64 "\n#molecule reads: %" PRId64 "\n", totals.molecules, totals.reads);
    tabulate_write_report(t, out);
}

}  // namespace molecules
