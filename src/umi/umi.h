// Molecule counting: the distinct (barcode, UMI) pairs of a run with their
// reads, and the directional collapse of each barcode's UMIs into molecules.
//
// UMI a absorbs UMI b when they differ at exactly one position and
// reads(a) >= 2 * reads(b) - 1. Groups are formed from the most-read UMI down
// (equal reads: the UMI's letters in byte order). A group starts at the first
// UMI not yet in a group and takes every UMI it reaches by absorptions,
// breadth-first; a UMI already in an earlier group is neither taken again nor
// passed through, so a later group only walks over UMIs that were still free
// when it started. Each group is one molecule. (Passing through would change
// nothing: whatever a UMI absorbs, directly or further on, was taken by the
// time its own group ended. The molecule count is also independent of the
// tie order, which only decides which group a UMI joins.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace umi {

class pair_counter {  // distinct (barcode id, UMI) pairs with read counts
public:
    explicit pair_counter(size_t umi_length);  // letters of all UMI slots joined

    // One read; umi has umi_length letters (a different length is refused
    // with std::invalid_argument). Any letters are kept as they are: UMIs of
    // A C G T only, up to 32 letters, are packed, others kept as text. A few
    // reads are held back while their table slots are fetched from memory;
    // pairs() and for_each_barcode() count them first (so the counter is not
    // for use from several threads at once, even through const methods).
    void add(uint32_t barcode, std::string_view umi);
    size_t pairs() const;
    // Collapses each barcode's UMIs by the directional rule; calls fn(barcode, molecules)
    // once per barcode id that has at least one UMI, in increasing id order.
    void for_each_barcode(const std::function<void(uint32_t, int64_t)>& fn) const;
    // Every pair: fn(barcode, UMI, reads), the barcodes in increasing rank(barcode),
    // each barcode's UMIs by reads descending, then letters in byte order.
    void for_each_pair(const std::function<uint64_t(uint32_t)>& rank,
                       const std::function<void(uint32_t, std::string_view, int64_t)>& fn) const;

    ~pair_counter();
    pair_counter(pair_counter&&) noexcept;
    pair_counter& operator=(pair_counter&&) noexcept;

private:
    struct tables;
    std::unique_ptr<tables> tables_;
};

// The directional collapse of one barcode's distinct UMIs (letters, reads): the number of
// molecules. Exposed for the tests and for callers that already hold the UMIs.
// UMIs of different lengths are never neighbours; a UMI listed twice has the
// sum of its reads.
int64_t molecules(std::vector<std::pair<std::string, int64_t>> umis);

// The collapse of one barcode after another, with the groups' tops: for
// callers that merge UMIs themselves and need to know which UMI tops each
// molecule. Keeps its buffers from one barcode to the next.
class collapser {
public:
    collapser();
    ~collapser();
    collapser(const collapser&) = delete;
    collapser& operator=(const collapser&) = delete;

    // One barcode's distinct UMIs, in any order, with their reads (above 0).
    // Returns the molecules; tops() then holds for each molecule the index
    // (into umis) of its top UMI, in group order.
    int64_t run(std::span<const std::string_view> umis, std::span<const int64_t> reads);
    const std::vector<uint32_t>& tops() const { return tops_; }

private:
    struct buffers;
    std::unique_ptr<buffers> buffers_;
    std::vector<uint32_t> tops_;
};

// The groups themselves: each distinct UMI with the top UMI of its group,
// in the UMIs' byte order (for the tests, and for a look at the collapse).
std::vector<std::pair<std::string, std::string>> groups(std::vector<std::pair<std::string, int64_t>> umis);

}  // namespace umi
