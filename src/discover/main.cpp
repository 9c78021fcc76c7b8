#include "discover/discover.h"
#include "discover/discover_internal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unistd.h>

#include "io/error.h"
#include "io/line_reader.h"
#include "map/tables.h"
#include "io/output.h"
#include "io/text.h"

namespace discover {

int edit_distance(const std::string& a, const std::string& b, int limit) {
    const int n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
    if (std::abs(n - m) > limit) return limit + 1;
    // One row of the table, only the band within limit of the diagonal
    // holds values that can stay within limit.
    const int far = limit + 1;
    std::vector<int> row(static_cast<size_t>(m) + 1), next(static_cast<size_t>(m) + 1);
    for (int j = 0; j <= m; ++j) row[static_cast<size_t>(j)] = std::min(j, far);
    for (int i = 1; i <= n; ++i) {
        int lo = std::max(1, i - limit), hi = std::min(m, i + limit);
        next[0] = std::min(i, far);
        if (lo > 1) next[static_cast<size_t>(lo - 1)] = far;
        int best = next[0] <= limit && lo == 1 ? next[0] : far;
        for (int j = lo; j <= hi; ++j) {
            size_t u = static_cast<size_t>(j);
            int cost = row[u - 1] + (a[static_cast<size_t>(i - 1)] != b[u - 1] ? 1 : 0);
            cost = std::min(cost, row[u] + 1);
            cost = std::min(cost, next[u - 1] + 1);
            next[u] = std::min(cost, far);
            best = std::min(best, next[u]);
        }
        if (hi < m) next[static_cast<size_t>(hi + 1)] = far;
        if (best > limit) return far;
        std::swap(row, next);
    }
    return std::min(row[static_cast<size_t>(m)], far);
}

namespace {

using text_index = std::unordered_map<std::string_view, std::vector<uint32_t>>;

// Where the pieces of a sequence of `length` letters are cut: of any
// offshoot_edits + 1 pieces, one comes through that many edits unchanged.
size_t piece_start(size_t length, size_t piece) { return length * piece / (offshoot_edits + 1); }

// The origins (candidates large enough to have offshoots among those
// looked at), by their pieces and by their ends.
struct origin_index {
    // pieces[length][piece]: the origins of that length by that piece.
    std::unordered_map<size_t, std::vector<text_index>> pieces;
    text_index starts, ends;
};

// Pieces of the candidates with at least `least` (the origins of errors);
// ends of all with at least `looked_at` (a chimera's parents may be small).
origin_index index_origins(const std::vector<candidate>& candidates, int64_t least, int64_t looked_at) {
    origin_index index;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const std::string& s = candidates[i].sequence;
        if (candidates[i].total < looked_at || s.size() < 2 * end_letters) continue;
        index.starts[std::string_view(s).substr(0, end_letters)].push_back(static_cast<uint32_t>(i));
        index.ends[std::string_view(s).substr(s.size() - end_letters)].push_back(static_cast<uint32_t>(i));
        if (candidates[i].total < least) continue;
        std::vector<text_index>& by_piece = index.pieces[s.size()];
        by_piece.resize(offshoot_edits + 1);
        for (size_t p = 0; p <= offshoot_edits; ++p) {
            size_t from = piece_start(s.size(), p), to = piece_start(s.size(), p + 1);
            by_piece[p][std::string_view(s).substr(from, to - from)].push_back(static_cast<uint32_t>(i));
        }
    }
    return index;
}

size_t common_prefix(std::string_view a, std::string_view b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
}

size_t common_suffix(std::string_view a, std::string_view b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[a.size() - 1 - n] == b[b.size() - 1 - n]) ++n;
    return n;
}

class offshoot_test {
public:
    offshoot_test(const std::vector<candidate>& candidates, const origin_index& index)
        : candidates_(candidates), index_(index) {}

    bool operator()(size_t x) {
        const candidate& c = candidates_[x];
        if (c.sequence.size() < 2 * end_letters) return false;
        return near_origin(c) || joins_origins(x);
    }

private:
    bool parent_size(uint32_t origin, const candidate& c) const {
        // In 128 bits: totals as large as the file says may pass the 64-bit range times the ratio.
        return static_cast<__int128>(candidates_[origin].total) * offshoot_ratio > c.total;
    }

    bool large_enough(uint32_t origin, const candidate& c) const {
        return candidates_[origin].total / offshoot_ratio >= c.total;
    }

    // Within offshoot_edits edits of a much larger origin of a length
    // within that many letters: one of the origin's pieces stands in the
    // sequence, moved by no more than that.
    bool near_origin(const candidate& c) {
        std::string_view s = c.sequence;
        found_.clear();
        for (const auto& [length, by_piece] : index_.pieces) {
            if (length + offshoot_edits < s.size() || s.size() + offshoot_edits < length) continue;
            for (size_t p = 0; p <= offshoot_edits; ++p) {
                size_t from = piece_start(length, p), size = piece_start(length, p + 1) - from;
                for (int shift = -offshoot_edits; shift <= offshoot_edits; ++shift) {
                    int64_t at = static_cast<int64_t>(from) + shift;
                    if (at < 0 || static_cast<size_t>(at) + size > s.size()) continue;
                    auto hit = by_piece[p].find(s.substr(static_cast<size_t>(at), size));
                    if (hit == by_piece[p].end()) continue;
                    for (uint32_t origin : hit->second)
                        if (large_enough(origin, c)) found_.push_back(origin);
                }
            }
        }
        std::sort(found_.begin(), found_.end());
        found_.erase(std::unique(found_.begin(), found_.end()), found_.end());
        for (uint32_t origin : found_)
            if (edit_distance(c.sequence, candidates_[origin].sequence, offshoot_edits) <= offshoot_edits) return true;
        return false;
    }

    // The start of one candidate joined to the end of another (a PCR
    // chimera): a start shared with one candidate and an end shared with
    // another cover the sequence. Barcodes drawn at random are never such a
    // join, so a parent may be smaller than the chimera, but not both (or
    // a clone would be the join of its own chimeras) and neither by
    // offshoot_ratio. Or the sequence equals a larger one but for no more
    // than end_letters letters at one end, the other parent's part too
    // short to look up.
    bool joins_origins(size_t x) {
        const candidate& c = candidates_[x];
        std::string_view s = c.sequence;
        starts_.clear();
        ends_.clear();
        if (auto hit = index_.starts.find(s.substr(0, end_letters)); hit != index_.starts.end())
            for (uint32_t origin : hit->second)
                if (origin != x && parent_size(origin, c))
                    starts_.push_back({common_prefix(s, candidates_[origin].sequence), candidates_[origin].total});
        if (auto hit = index_.ends.find(s.substr(s.size() - end_letters)); hit != index_.ends.end())
            for (uint32_t origin : hit->second)
                if (origin != x && parent_size(origin, c))
                    ends_.push_back({common_suffix(s, candidates_[origin].sequence), candidates_[origin].total});
        for (const shared_part& a : starts_) {
            if (a.total > c.total && a.letters + end_letters >= s.size()) return true;
            for (const shared_part& b : ends_)
                if (a.letters + b.letters >= s.size() && std::max(a.total, b.total) > c.total) return true;
        }
        for (const shared_part& b : ends_)
            if (b.total > c.total && b.letters + end_letters >= s.size()) return true;
        return false;
    }

    struct shared_part {
        size_t letters;  // shared with a parent from the sequence's start (or end)
        int64_t total;   // the parent's
    };

    const std::vector<candidate>& candidates_;
    const origin_index& index_;
    std::vector<uint32_t> found_;
    std::vector<shared_part> starts_, ends_;
};

}  // namespace

std::vector<char> find_offshoots(const std::vector<candidate>& candidates, int64_t from) {
    from = std::max<int64_t>(from, 1);
    std::vector<char> offshoot(candidates.size(), 0);
    // A least past the 64-bit range over the ratio leaves only totals at its end as origins.
    const int64_t origin_least = from > INT64_MAX / offshoot_ratio ? INT64_MAX : from * offshoot_ratio;
    origin_index index = index_origins(candidates, origin_least, from);
    offshoot_test test(candidates, index);
    for (size_t i = 0; i < candidates.size(); ++i)
        if (candidates[i].total >= from) offshoot[i] = test(i) ? 1 : 0;
    return offshoot;
}

result choose(const std::vector<candidate>& candidates, int64_t least) {
    result r{};
    std::vector<char> offshoot = find_offshoots(candidates, least > 0 ? least : 2);
    for (size_t i = 0; i < candidates.size(); ++i)
        if (offshoot[i]) r.largest_offshoot = std::max(r.largest_offshoot, candidates[i].total);
    // The offshoots show how large the noise grows; what is no larger is
    // not told apart from it.
    r.least = least > 0 ? least : std::max<int64_t>(2, r.largest_offshoot + 1);
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].total < r.least) continue;
        // A masked letter leaves the barcode unknown at that place.
        if (offshoot[i]) ++r.offshoots;
        else if (candidates[i].sequence.find('N') != std::string::npos) ++r.masked;
        else r.barcodes.push_back(i);
    }
    std::sort(r.barcodes.begin(), r.barcodes.end(), [&](size_t a, size_t b) {
        if (candidates[a].total != candidates[b].total) return candidates[a].total > candidates[b].total;
        return candidates[a].sequence < candidates[b].sequence;
    });
    return r;
}

}  // namespace discover

// ---------------------------------------------------------------------------
// The command

using namespace discover;

namespace {

void print_usage_message(const char* argv0) {
    std::fprintf(stderr, "usage: %s [-m N|auto] [-o output_file] [cluster_file]\n", argv0);
}

void print_help_message(const char* argv0) {
    out_stream& out = standard_output();
    out.printf("usage: %s [-m N|auto] [-o output_file] [cluster_file]\n", argv0);
    out.put("Writes a barcode file of the clusters of pooled samples (the cluster file, or stdin):\n"
            "every cluster, or sequence in none, with at least N in total that is no offshoot of one\n"
            "with ten times as many (within 3 edits of it, or the start of one joined to the end\n"
            "of another) and holds no N, named bc000001, ... by total\n\n");
    out.put("  -m N|auto\t the least total of a barcode; auto (the default): one more than the\n"
            "\t\t largest offshoot, and at least 2\n");
    out.put("  -o FILE\t additionally prints results to FILE\n");
    out.flush();
}

[[noreturn]] void usage_failure(const char* argv0) {
    print_usage_message(argv0);
    fail_quietly(1);
}

std::vector<candidate> read_candidates(line_reader& reader) {
    cluster_table clusters;
    map_build_clusters(reader, clusters);
    std::vector<candidate> candidates(clusters.size());
    for (size_t i = 0; i < clusters.size(); ++i)
        candidates[i] = {clusters.cluster_sequences[i], clusters.cluster_totals[i]};
    return candidates;
}

}  // namespace

int discover_main(int argc, char** argv) {
    if (argc > 1 && asks_for_help(argv[1])) {
        print_help_message(argv[0]);
        return 0;
    }
    std::unique_ptr<out_stream> f_out;
    int64_t least = 0;
    optind = 0;
    for (int option; (option = getopt(argc, argv, "m:o:")) != -1;) {
        switch (option) {
            case 'm':
                if (std::strcmp(optarg, "auto") == 0) {
                    least = 0;
                } else {
                    least = parse_atoi64(optarg);
                    if (least <= 0) fail(1, "Invalid least total: %s\n", optarg);
                }
                break;
            case 'o':
                f_out = open_output_file(optarg);
                if (f_out == nullptr) fail(1, "Could not access %s for writing\n", optarg);
                break;
            default: usage_failure(argv[0]);
        }
    }
    if (argc - optind > 1) usage_failure(argv[0]);
    const char* path = optind < argc ? argv[optind] : nullptr;
    std::unique_ptr<line_reader> in = line_reader::open(path, {"No cluster input file\n", 1});
    if (in == nullptr) fail(1, "No cluster input file\n");
    std::vector<candidate> candidates = read_candidates(*in);
    in.reset();
    int64_t pooled = 0;
    for (const candidate& c : candidates) pooled = add_saturating(pooled, c.total);
    result r = choose(candidates, least);
    if (r.barcodes.empty()) warn("Warning: no barcode has at least %" PRId64 " in total\n", r.least);
    warn("discover: %zu barcodes with at least %" PRId64 " of %" PRId64
         " pooled; the largest offshoot had %" PRId64 "; left out at or above the least: %zu offshoots, %zu with an N\n",
         r.barcodes.size(), r.least, pooled, r.largest_offshoot, r.offshoots, r.masked);
    write_table(f_out.get(), [&](out_stream& out) {
        out.printf("#discovered barcode\tsequence (pooled reads or molecules: %" PRId64 "; at least %" PRId64
                   " each; the largest offshoot: %" PRId64 ")\n",
                   pooled, r.least, r.largest_offshoot);
        char name[32];
        for (size_t rank = 0; rank < r.barcodes.size(); ++rank) {
            std::snprintf(name, sizeof name, "bc%06zu\t", rank + 1);
            out.put(name);
            out.put(candidates[r.barcodes[rank]].sequence);
            out.put('\n');
        }
    });
    return 0;
}
