// The cluster file.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "cluster/cluster_internal.h"
#include "io/error.h"
#include "io/output.h"
#include "io/text.h"

cluster_progress cluster_progress_for(int64_t total, const char* word) {
    return {total, std::max<int64_t>(1, total / 10), word};
}

void cluster_progress::at(int64_t i) const {
    if (i % step == 0) warn("\t%lld of %lld %s [%lld%%]\n", static_cast<long long>(i), static_cast<long long>(total), word,
                            static_cast<long long>(i * 10 / step));
}

namespace {

int compare_bytes(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// What a member's item shows after its count, for every sequence: the
// mismatch counts of its first copy. One table read in index order here
// saves the writer three reads at random (the copy and its two counts) for
// each member it writes.
std::vector<uint32_t> item_mismatch_counts(const cluster_state& st) {
    std::vector<uint32_t> mmc(st.num_entries);
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        const uint32_t m = st.rep[i];
        // Both counts are below the number of sequences: the sum fits.
        mmc[i] = static_cast<uint32_t>(st.mm1_counts[m]) + static_cast<uint32_t>(st.mm2_counts[m]);
    }
    return mmc;
}

void put_item(const cluster_state& st, const std::vector<uint32_t>& mmc, out_stream& out, bool& first, uint32_t member,
              int64_t value) {
    if (!first) out.put(',');
    first = false;
    out.put(st.seq(member));
    out.put(':');
    out.put_int(value);
    out.put(':');
    out.put_int(mmc[member]);
}

// The sequence and its six numbers, as cluster lines and unclustered lines
// both begin.
void put_numbers(const cluster_state& st, out_stream& out, uint32_t i) {
    out.put(st.seq(i));
    out.put('\t');
    out.put_int(st.mm1_counts[i]);
    out.put(':');
    out.put_int(st.mm2_counts[i]);
    for (int64_t v : {st.totals[i], st.count[i], st.mm1_totals[i], st.mm2_totals[i]}) {
        out.put('\t');
        out.put_int(v);
    }
}

// Writing a core reads its own tables and its list, and writing a member its
// letters and counts: all anywhere in tables far larger than the caches.
// They are prefetched for the cores some places ahead of the writer, in
// stages where one read needs another: the core's tables, its list, its
// members' offsets and counts, their letters.
class write_prefetch {
public:
    write_prefetch(const cluster_state& st, const std::vector<uint32_t>& cores, const std::vector<uint32_t>& mmc)
        : st_(st), cores_(cores), mmc_(mmc) {
        for (size_t p = 0; p < stages * step; ++p)
            for (size_t s = 0; s < stages; ++s)
                if (p < (stages - s) * step) stage(p, s);
    }
    // The writer starts the core at position p of cores.
    void at_core(size_t p) const {
        for (size_t s = 0; s < stages; ++s) stage(p + (stages - s) * step, s);
    }

private:
    static constexpr size_t stages = 4, step = 4;

    void stage(size_t p, size_t s) const {
        if (p >= cores_.size()) return;
        const uint32_t c = cores_[p];
        if (s == 0) {
            for (const void* a : {static_cast<const void*>(&st_.start[c]), static_cast<const void*>(&st_.nb_start[c]),
                                  static_cast<const void*>(&st_.nb_size[c]), static_cast<const void*>(&st_.mm1_counts[c]),
                                  static_cast<const void*>(&st_.mm2_counts[c]), static_cast<const void*>(&st_.count[c]),
                                  static_cast<const void*>(&st_.mm1_totals[c]), static_cast<const void*>(&st_.mm2_totals[c])})
                cluster_prefetch(a);
            return;
        }
        const uint32_t* index = st_.nb_index.data() + st_.nb_start[c];
        if (s == 1) {
            cluster_prefetch(st_.arena.data() + st_.start[c]);
            cluster_prefetch(index);
            cluster_prefetch(st_.nb_value.data() + st_.nb_start[c]);
            return;
        }
        for (uint32_t k = 0; k < st_.nb_size[c]; ++k) {
            const uint32_t m = index[k];
            if (s == 2) {
                cluster_prefetch(&st_.start[m]);
                cluster_prefetch(&mmc_[m]);
            } else {
                cluster_prefetch(st_.arena.data() + st_.start[m]);
            }
        }
    }

    const cluster_state& st_;
    const std::vector<uint32_t>& cores_;
    const std::vector<uint32_t>& mmc_;
};

}  // namespace

void cluster_write_clusters(const cluster_state& st, int64_t min_unclustered_count, out_stream& out) {
    const uint32_t n = st.num_entries;
    out.put("#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n");

    // Cores by descending total, in index order among equal totals; sorted
    // with their totals beside them rather than looked up from anywhere.
    std::vector<std::pair<int64_t, uint32_t>> by_total;
    for (uint32_t i = 0; i < n; ++i)
        if (st.core[i]) by_total.push_back({st.totals[i], i});
    std::sort(by_total.begin(), by_total.end(), [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    std::vector<uint32_t> cores(by_total.size());
    for (size_t k = 0; k < by_total.size(); ++k) cores[k] = by_total[k].second;
    std::vector<std::pair<int64_t, uint32_t>>().swap(by_total);

    // Members added after the neighbour search, grouped by core in the order
    // they were added.
    std::vector<uint32_t> added_start(n + 1, 0);
    for (const added_member& a : st.added) ++added_start[a.core + 1];
    for (uint32_t i = 0; i < n; ++i) added_start[i + 1] += added_start[i];
    std::vector<uint32_t> added_order(st.added.size());
    {
        std::vector<uint32_t> fill(added_start.begin(), added_start.end() - 1);
        for (uint32_t k = 0; k < st.added.size(); ++k) added_order[fill[st.added[k].core]++] = k;
    }

    const std::vector<uint32_t> mmc = item_mismatch_counts(st);
    std::vector<uint32_t> extra;
    write_prefetch ahead(st, cores, mmc);
    for (size_t p = 0; p < cores.size(); ++p) {
        const uint32_t c = cores[p];
        ahead.at_core(p);
        put_numbers(st, out, c);
        out.put('\t');
        // Key order; of equal keys the entry added last stands first.
        extra.assign(added_order.begin() + added_start[c], added_order.begin() + added_start[c + 1]);
        std::sort(extra.begin(), extra.end(), [&](uint32_t a, uint32_t b) {
            int cmp = compare_bytes(st.seq(st.added[a].member), st.seq(st.added[b].member));
            return cmp != 0 ? cmp < 0 : a > b;
        });
        const uint32_t* index = st.nb_index.data() + st.nb_start[c];
        const int64_t* value = st.nb_value.data() + st.nb_start[c];
        const uint32_t size = st.nb_size[c];
        uint32_t k = 0;
        size_t e = 0;
        bool first = true;
        while (k < size || e < extra.size()) {
            bool take_extra = k == size || (e < extra.size() && compare_bytes(st.seq(st.added[extra[e]].member), st.seq(index[k])) <= 0);
            if (take_extra) {
                const added_member& a = st.added[extra[e++]];
                put_item(st, mmc, out, first, a.member, a.value);
            } else {
                put_item(st, mmc, out, first, index[k], value[k]);
                ++k;
            }
        }
        out.put('\n');
    }

    for (uint32_t i = 0; i < n; ++i) {
        if (st.used[i]) continue;
        if (st.totals[i] <= min_unclustered_count) break;
        put_numbers(st, out, i);
        out.put('\n');
    }
}

left_out_sequences cluster_left_out(const cluster_state& st, int64_t min_unclustered_count) {
    // The same walk as the unclustered lines: past its stop every sequence
    // outside the clusters is left out.
    left_out_sequences left;
    bool stopped = false;
    for (uint32_t i = 0; i < st.num_entries; ++i) {
        // The table's counts may add up past the largest number (the sums
        // only feed a warning).
        const int64_t reads = std::max<int64_t>(st.count[i], 0);
        left.table_reads = add_saturating(left.table_reads, reads);
        if (st.used[i]) continue;
        stopped = stopped || st.totals[i] <= min_unclustered_count;
        if (!stopped) continue;
        ++left.sequences;
        left.reads = add_saturating(left.reads, reads);
    }
    return left;
}
