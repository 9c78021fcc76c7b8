// The cluster file.
#include <algorithm>
#include <cstring>

#include "cluster_internal.h"
#include "error.h"
#include "output.h"

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

void put_item(const cluster_state& st, out_stream& out, bool& first, uint32_t member, int64_t value) {
    if (!first) out.put(',');
    first = false;
    out.put(st.seq(member));
    out.put(':');
    out.put_int(value);
    out.put(':');
    uint32_t m = st.rep[member];
    out.put_int(static_cast<int64_t>(st.mm1_counts[m]) + st.mm2_counts[m]);
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

}  // namespace

void cluster_write_clusters(const cluster_state& st, int64_t min_unclustered_count, out_stream& out) {
    const uint32_t n = st.num_entries;
    out.put("#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n");

    std::vector<uint32_t> cores;
    for (uint32_t i = 0; i < n; ++i)
        if (st.core[i]) cores.push_back(i);
    std::stable_sort(cores.begin(), cores.end(), [&](uint32_t a, uint32_t b) { return st.totals[a] > st.totals[b]; });

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

    std::vector<uint32_t> extra;
    for (uint32_t c : cores) {
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
                put_item(st, out, first, a.member, a.value);
            } else {
                put_item(st, out, first, index[k], value[k]);
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
