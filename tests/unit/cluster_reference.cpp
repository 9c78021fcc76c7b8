#include "cluster_reference.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "align/alignment.h"
#include "io/line_reader.h"
#include "io/output.h"
#include "io/text.h"

namespace {

using entry_list = std::vector<std::pair<std::string, int64_t>>;

// Position of the key, or -1.
long find_key(const entry_list& l, const std::string& key) {
    for (size_t k = 0; k < l.size(); ++k)
        if (l[k].first == key) return static_cast<long>(k);
    return -1;
}

// Sorted insert in front of equal keys.
void insert_sorted(entry_list& l, const std::string& key, int64_t value) {
    size_t at = 0;
    while (at < l.size() && l[at].first < key) ++at;
    l.insert(l.begin() + static_cast<long>(at), {key, value});
}

void remove_key(entry_list& l, const std::string& key) {
    long at = find_key(l, key);
    if (at >= 0) l.erase(l.begin() + at);
}

struct reference_run {
    std::vector<std::pair<std::string, int64_t>> entries;
    std::map<std::string, size_t> index_link;  // first index
    std::vector<entry_list> lists;
    std::vector<int64_t> mm1_counts, mm2_counts, totals, mm1_totals, mm2_totals;
    std::vector<char> used, core;

    size_t index(const std::string& s) const { return index_link.at(s); }
    int64_t own(size_t i) const { return entries[i].second; }
};

void read(reference_run& r, const std::string& table) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(table);
    while (std::getline(in, line)) lines.push_back(line.substr(0, line.find('\0')));
    for (const std::string& l : lines) {
        if (!l.empty() && l[0] == '#') continue;
        size_t tab = l.find('\t');
        if (tab == std::string::npos) continue;
        r.entries.push_back({l.substr(0, tab), parse_atoi64(l.substr(tab + 1).c_str())});
    }
    std::sort(r.entries.begin(), r.entries.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    for (size_t i = 0; i < r.entries.size(); ++i) r.index_link.emplace(r.entries[i].first, i);
}

void neighbours(reference_run& r) {
    const size_t n = r.entries.size();
    r.lists.assign(n, {});
    r.mm1_counts.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        std::string copy = r.entries[i].first;
        for (size_t p = 0; p < copy.size(); ++p) {
            for (char c : std::string("ACGTN")) {
                if (c == r.entries[i].first[p]) continue;
                copy[p] = c;
                auto it = r.index_link.find(copy);
                if (it != r.index_link.end() && r.own(it->second) >= 0) r.lists[i].push_back({copy, r.own(it->second)});
            }
            copy[p] = r.entries[i].first[p];
        }
        r.mm1_counts[i] = static_cast<int64_t>(r.lists[i].size());
        std::stable_sort(r.lists[i].begin(), r.lists[i].end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    r.mm2_counts.assign(n, 0);
    r.totals.resize(n);
    for (size_t i = 0; i < n; ++i) r.totals[i] = r.own(i);
    r.mm1_totals.assign(n, 0);
    r.mm2_totals.assign(n, 0);
    r.used.assign(n, 0);
    r.core.assign(n, 0);
}

void initial_shared(reference_run& r) {
    const size_t n = r.entries.size();
    for (size_t i = 0; i < n; ++i) {
        if (r.core[i] || r.lists[i].empty()) continue;
        int64_t max_mmc = r.mm1_counts[i];
        std::string max_seq = r.entries[i].first;
        for (auto& e : r.lists[i]) {
            size_t j = r.index(e.first);
            if (r.mm1_counts[j] > max_mmc && !r.used[j]) max_mmc = r.mm1_counts[j], max_seq = e.first;
        }
        size_t c = r.index(max_seq);
        if (r.used[c]) continue;
        r.used[c] = r.core[c] = 1;
        for (auto& e : r.lists[c]) r.used[r.index(e.first)] = 1;
    }
    for (size_t i = 0; i < n; ++i) {
        if (r.core[i] || !r.used[i]) continue;
        int64_t core_total = 0;
        for (auto& e : r.lists[i])
            if (r.core[r.index(e.first)]) core_total = add_saturating(core_total, r.own(r.index(e.first)));
        for (auto& e : r.lists[i]) {
            size_t j = r.index(e.first);
            if (!r.core[j]) continue;
            int64_t fraction = cluster_share(r.own(i), r.own(j), core_total);
            r.totals[j] = add_saturating(r.totals[j], fraction);
            r.mm1_totals[j] = add_saturating(r.mm1_totals[j], fraction);
            long at = find_key(r.lists[j], r.entries[i].first);
            if (at >= 0)
                r.lists[j][static_cast<size_t>(at)].second = fraction;
            else
                insert_sorted(r.lists[j], r.entries[i].first, fraction);
        }
    }
}

void initial_single(reference_run& r) {
    const size_t n = r.entries.size();
    for (size_t i = 0; i < n; ++i) {
        if (r.used[i]) continue;
        int64_t max_mmc = r.mm1_counts[i];
        std::string max_seq = r.entries[i].first;
        for (auto& e : r.lists[i]) {
            size_t j = r.index(e.first);
            if (r.mm1_counts[j] > max_mmc && !r.used[j]) max_mmc = r.mm1_counts[j], max_seq = e.first;
        }
        size_t c = r.index(max_seq);
        if (r.used[c] || r.lists[c].empty()) continue;
        for (auto& e : r.lists[c]) {
            r.totals[c] = add_saturating(r.totals[c], e.second);
            r.mm1_totals[c] = add_saturating(r.mm1_totals[c], e.second);
        }
        r.used[c] = r.core[c] = 1;
        const std::string core_seq = r.entries[c].first;
        for (size_t m = 0; m < r.lists[c].size(); ++m) {
            const std::string my_seq = r.lists[c][m].first;
            size_t k = r.index(my_seq);
            r.used[k] = 1;
            for (size_t t = 0; t < r.lists[k].size(); ++t) {
                const std::string their_seq = r.lists[k][t].first;
                if (their_seq == core_seq) continue;
                entry_list& theirs = r.lists[r.index(their_seq)];
                remove_key(theirs, my_seq);
                remove_key(theirs, core_seq);
            }
        }
    }
}

void secondary(reference_run& r) {
    const size_t n = r.entries.size();
    std::map<std::string, size_t> first_mismatch;
    std::vector<entry_list> first_mismatch_list(n);
    auto enter = [&](const std::string& text, size_t i) {
        auto it = first_mismatch.find(text);
        if (it == first_mismatch.end())
            first_mismatch.emplace(text, i);
        else
            first_mismatch_list[it->second].push_back({text, static_cast<int64_t>(i)});
    };
    for (size_t i = 0; i < n; ++i) {
        if (!r.core[i]) continue;
        std::string s = r.entries[i].first;
        enter(s, i);
        for (size_t p = 0; p < s.size(); ++p) {
            char keep = s[p];
            for (char c : std::string("ACGTN"))
                if (c != keep) s[p] = c, enter(s, i);
            s[p] = keep;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (r.used[i]) continue;
        int64_t core_total = 0;
        std::set<size_t> in_range;
        std::string s = r.entries[i].first;
        for (size_t p = 0; p < s.size(); ++p) {
            char keep = s[p];
            for (char c : std::string("ACGTN")) {
                if (c == keep) continue;
                s[p] = c;
                auto it = first_mismatch.find(s);
                if (it == first_mismatch.end()) continue;
                size_t first = it->second;
                if (in_range.insert(first).second) core_total = add_saturating(core_total, r.own(first));
                for (auto& e : first_mismatch_list[first]) {
                    if (e.first != s) continue;
                    auto d = static_cast<size_t>(e.second);
                    if (in_range.insert(d).second) core_total = add_saturating(core_total, r.own(d));
                }
                r.used[i] = 1;
            }
            s[p] = keep;
        }
        if (!r.used[i] || core_total == 0) continue;
        for (size_t j : in_range) {
            int64_t fraction = cluster_share(r.own(i), r.own(j), core_total);
            r.totals[j] = add_saturating(r.totals[j], fraction);
            r.mm2_totals[j] = add_saturating(r.mm2_totals[j], fraction);
            ++r.mm2_counts[j];
            insert_sorted(r.lists[j], s, fraction);
        }
    }
}

std::string cluster_file(const reference_run& r, int64_t min_unclustered_count) {
    std::string out = "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n";
    const size_t n = r.entries.size();
    std::vector<size_t> sorted(n);
    for (size_t i = 0; i < n; ++i) sorted[i] = i;
    std::stable_sort(sorted.begin(), sorted.end(), [&](size_t a, size_t b) { return r.totals[a] > r.totals[b]; });
    for (size_t c : sorted) {
        if (!r.core[c]) continue;
        out += r.entries[c].first + "\t" + std::to_string(r.mm1_counts[c]) + ":" + std::to_string(r.mm2_counts[c]) + "\t" +
               std::to_string(r.totals[c]) + "\t" + std::to_string(r.own(c)) + "\t" + std::to_string(r.mm1_totals[c]) + "\t" +
               std::to_string(r.mm2_totals[c]) + "\t";
        for (size_t k = 0; k < r.lists[c].size(); ++k) {
            size_t m = r.index(r.lists[c][k].first);
            if (k > 0) out += ',';
            out += r.lists[c][k].first + ":" + std::to_string(r.lists[c][k].second) + ":" + std::to_string(r.mm1_counts[m] + r.mm2_counts[m]);
        }
        out += "\n";
    }
    for (size_t i = 0; i < n; ++i) {
        if (r.used[i]) continue;
        if (r.totals[i] <= min_unclustered_count) break;
        out += r.entries[i].first + "\t" + std::to_string(r.mm1_counts[i]) + ":" + std::to_string(r.mm2_counts[i]) + "\t" +
               std::to_string(r.totals[i]) + "\t" + std::to_string(r.own(i)) + "\t" + std::to_string(r.mm1_totals[i]) + "\t" +
               std::to_string(r.mm2_totals[i]) + "\n";
    }
    return out;
}

// A 4-letter word in base 5: A, C, G, T, then N and any other byte alike.
int word_number(const std::string& word) {
    int number = 0;
    for (char c : word) {
        if (c == 0) break;
        const std::string_view bases = "ACGT";
        size_t at = bases.find(c);
        number = number * 5 + (at == std::string_view::npos ? 4 : static_cast<int>(at));
    }
    return number;
}

std::string alignment_file(const reference_run& r, const cluster_settings& settings) {
    const size_t n = r.entries.size();
    const size_t top_n = static_cast<size_t>(settings.align_top_n);
    std::vector<std::vector<char>> matches(625);
    for (size_t i = 0; i < n; ++i) {
        if (!r.core[i]) continue;
        const std::string& s = r.entries[i].first;
        for (size_t j = 0; j + 4 <= s.size(); ++j) {
            int slot = word_number(s.substr(j, 4));
            if (matches[slot].empty()) matches[slot].assign(n, 0);
            matches[slot][i] = 1;
        }
    }
    std::vector<int64_t> best_score(n, 0);
    std::vector<std::string> best_seq(n);
    int64_t aligned = 0, unaligned = 0, sum = 0;
    for (size_t i = 0; i < n; ++i) {
        if (r.used[i]) continue;
        const std::string& s = r.entries[i].first;
        std::vector<int> seq_match(n, 0);
        for (size_t j = 0; j + 4 <= s.size(); ++j) {
            int slot = word_number(s.substr(j, 4));
            if (matches[slot].empty()) continue;
            for (size_t k = 0; k < n; ++k) seq_match[k] += matches[slot][k];
        }
        std::vector<int> top_match(top_n, 0);
        std::vector<long> top_index(top_n, -1);
        for (size_t j = 0; j < n; ++j) {
            long k = static_cast<long>(top_n) - 1;
            while (k >= 0 && !(top_match[static_cast<size_t>(k)] < seq_match[j])) --k;
            if (k < 0) continue;
            for (long l = 0; l < k; ++l) top_match[l] = top_match[l + 1], top_index[l] = top_index[l + 1];
            top_match[k] = seq_match[j];
            top_index[k] = static_cast<long>(j);
        }
        for (size_t j = 0; j < top_n; ++j) {
            if (top_index[j] < 0) continue;
            const std::string& core_seq = r.entries[static_cast<size_t>(top_index[j])].first;
            alignment* a = align(core_seq.c_str(), s.c_str(), -1, 5, -1);
            if (a->score > best_score[i]) best_score[i] = a->score, best_seq[i] = core_seq;
            alignment_destroy(a);
        }
        if (best_score[i] >= settings.align_score_cutoff && !best_seq[i].empty())
            ++aligned;
        else
            ++unaligned;
        sum += best_score[i];
    }
    int64_t average = aligned + unaligned == 0 ? 0 : sum / (aligned + unaligned);
    std::string out = "#Alignment score cutoff: " + std::to_string(settings.align_score_cutoff) + "\tAligned top " +
                      std::to_string(settings.align_top_n) + " candidates\n" + "#Aligned sequences: " + std::to_string(aligned) +
                      "\tUnaligned sequences: " + std::to_string(unaligned) + "\n" + "#Average best-alignment score: " +
                      std::to_string(average) + "\n" + "#Core sequence\tCore count\tAligning sequence\tAlign seq count\tScore\n";
    for (size_t i = 0; i < n; ++i) {
        if (r.used[i] || best_score[i] < settings.align_score_cutoff || best_seq[i].empty()) continue;
        out += best_seq[i] + "\t" + std::to_string(r.own(r.index(best_seq[i]))) + "\t" + r.entries[i].first + "\t" +
               std::to_string(r.own(i)) + "\t" + std::to_string(best_score[i]) + "\n";
    }
    return out;
}

bool in_n_degen(const std::string& a, const std::string& b, int n) {
    size_t k = 0;
    int differ = 0;
    for (; k < a.size() && k < b.size(); ++k)
        if (a[k] != b[k] && ++differ > n) return false;
    return a.size() == b.size();
}

std::string statistics_file(const reference_run& r) {
    std::string out =
        "#Degeneracy\tSequence Count\tSequence\tProximal Clusters\tLargest Proximal Cluster\tSmallest Proximal Cluster\tAll proximal "
        "cluster sizes\n";
    const size_t n = r.entries.size();
    for (size_t i = 0; i < n; ++i) {
        if (r.core[i]) continue;
        int degeneracy = r.used[i] ? 1 : 2;
        int64_t largest = 0, smallest = 999999;
        std::vector<int64_t> sizes;
        for (size_t j = 0; j < n; ++j) {
            if (!r.core[j] || !in_n_degen(r.entries[i].first, r.entries[j].first, degeneracy)) continue;
            largest = std::max(largest, r.totals[j]);
            smallest = std::min(smallest, r.totals[j]);
            sizes.push_back(r.totals[j]);
        }
        if (sizes.empty()) continue;
        out += std::to_string(degeneracy) + "\t" + std::to_string(r.own(i)) + "\t" + r.entries[i].first + "\t" +
               std::to_string(sizes.size()) + "\t" + std::to_string(largest) + "\t" + std::to_string(smallest <= 999998 ? smallest : 0) +
               "\t";
        for (size_t k = 0; k < sizes.size(); ++k) {
            if (k > 0) out += ',';
            out += std::to_string(sizes[k]);
        }
        out += "\n";
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

reference_outputs reference_cluster(const std::string& table, const cluster_settings& settings, bool with_stats, bool with_align) {
    reference_run r;
    read(r, table);
    neighbours(r);
    if (settings.single_flag)
        initial_single(r);
    else
        initial_shared(r);
    secondary(r);
    reference_outputs out;
    out.clusters = cluster_file(r, settings.min_unclustered_count);
    if (with_align && settings.align_top_n != 0) out.alignments = alignment_file(r, settings);
    if (with_stats) out.statistics = statistics_file(r);
    return out;
}

reference_outputs fast_cluster(const std::string& table, const cluster_settings& settings, bool with_stats, bool with_align,
                               secondary_search how) {
    cluster_state st;
    auto in = line_reader::from_memory(table);
    cluster_read_table(st, *in);
    cluster_find_neighbours(st);
    cluster_form_initial(st, settings.single_flag);
    cluster_form_secondary(st, how);
    const char* tmp = std::getenv("TMPDIR");
    std::string dir_template = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/cluster_test_XXXXXX";
    const char* made = mkdtemp(dir_template.data());
    if (made == nullptr) throw std::runtime_error("cannot make a directory from " + dir_template);
    std::string dir = made;
    reference_outputs out;
    auto run_into = [&](const std::string& name, auto&& write) {
        std::string path = dir + "/" + name;
        {
            auto file = open_output_file(path.c_str());
            write(*file);
            file->flush();
        }
        std::string text = read_file(path);
        unlink(path.c_str());
        return text;
    };
    out.clusters = run_into("clusters", [&](out_stream& f) { cluster_write_clusters(st, settings.min_unclustered_count, f); });
    if (with_align && settings.align_top_n != 0)
        out.alignments = run_into("align", [&](out_stream& f) { cluster_align_remaining(st, settings, f); });
    if (with_stats) out.statistics = run_into("stats", [&](out_stream& f) { cluster_statistics(st, f); });
    rmdir(dir.c_str());
    return out;
}
