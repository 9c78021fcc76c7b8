#include "tabulate/guide_pairs.h"

#include <algorithm>

#include "io/output.h"
#include "tabulate/tabulate_internal.h"

void guide_pairs::half::add(const std::string& sequence, int64_t barcode) {
    auto [at, added] = index.emplace(sequence, static_cast<int64_t>(sequences.size()));
    if (!added) return;
    sequences.push_back(sequence);
    first_barcode.push_back(barcode);
}

int64_t guide_pairs::half::find(std::string_view text, std::string& scratch) const {
    scratch.assign(text);
    auto exact = index.find(scratch);
    if (exact != index.end()) return exact->second;
    // Every one-letter substitution of text, looked up: a few dozen hash
    // look-ups a cluster, whatever the size of the library.
    int64_t found = -1;
    for (size_t i = 0; i < scratch.size(); ++i) {
        char own = scratch[i];
        for (char letter : {'A', 'C', 'G', 'T'}) {
            if (letter == own) continue;
            scratch[i] = letter;
            auto near = index.find(scratch);
            if (near != index.end()) {
                if (found >= 0 && found != near->second) return -1;  // two guides: neither
                found = near->second;
            }
        }
        scratch[i] = own;
    }
    return found;
}

guide_pairs::guide_pairs(const tabulate_tables& t, int guide_1_length) : t_(t), guide_1_length_(guide_1_length) {
    size_t n = static_cast<size_t>(guide_1_length);
    for (size_t k = 0; k < t.barcode_sequences.size(); ++k) {
        const std::string& sequence = t.barcode_sequences[k];
        // Each barcode once, at the line that names it; a pair needs both guides.
        if (sequence.size() <= n) continue;
        if (!t.names_barcode(k)) continue;
        halves_[0].add(sequence.substr(0, n), static_cast<int64_t>(k));
        halves_[1].add(sequence.substr(n), static_cast<int64_t>(k));
    }
}

bool guide_pairs::add_if_recombinant(std::string_view core, int64_t total) {
    size_t n = static_cast<size_t>(guide_1_length_);
    if (core.size() <= n) return false;
    int64_t guide_1 = halves_[0].find(core.substr(0, n), scratch_);
    if (guide_1 < 0) return false;
    int64_t guide_2 = halves_[1].find(core.substr(n), scratch_);
    if (guide_2 < 0) return false;
    // The two guides as the library writes them: a pair of the file (read
    // with errors that map did not place) is no recombinant.
    scratch_ = halves_[0].sequences[guide_1];
    scratch_ += halves_[1].sequences[guide_2];
    if (t_.index_of(scratch_) >= 0) return false;
    tally& seen = seen_[{guide_1, guide_2}];
    ++seen.clusters;
    seen.total = add_saturating(seen.total, total);
    return true;
}

void guide_pairs::write_combinations(out_stream& out) const {
    std::vector<std::pair<std::pair<int64_t, int64_t>, tally>> rows(seen_.begin(), seen_.end());
    // Most total first; ties by clusters, then by the guides' file order (the
    // map's order, which the stable sort keeps).
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        if (a.second.total != b.second.total) return a.second.total > b.second.total;
        return a.second.clusters > b.second.clusters;
    });
    out.put("#guide_1\tguide_2\tpair_of_guide_1\tpair_of_guide_2\tclusters\ttotal\n");
    for (const auto& [guides, seen] : rows) {
        out.put(halves_[0].sequences[guides.first]);
        out.put('\t');
        out.put(halves_[1].sequences[guides.second]);
        out.put('\t');
        out.put(t_.barcode_details[halves_[0].first_barcode[guides.first]]);
        out.put('\t');
        out.put(t_.barcode_details[halves_[1].first_barcode[guides.second]]);
        out.put('\t');
        out.put_int(seen.clusters);
        out.put('\t');
        out.put_int(seen.total);
        out.put('\n');
    }
}
