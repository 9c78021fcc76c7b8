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
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace umi {

// One distinct pair in an open-addressing table. key is the packed UMI (two
// bits a letter, A C G T = 0 1 2 3, first letter highest, so the numbers sort
// like the letters) or, for UMIs that cannot be packed, the UMI's record
// number in the text arena. count 0 marks an empty slot.
struct pair_slot {
    uint64_t key;
    uint32_t barcode;
    uint32_t count;
};

class pair_counter {  // distinct (barcode id, UMI) pairs with read counts
public:
    explicit pair_counter(size_t umi_length);  // letters of all UMI slots joined

    // One read; umi has umi_length letters (a different length is refused
    // with std::invalid_argument). Any letters are kept as they are: UMIs of
    // A C G T only, up to 32 letters, are packed, others kept as text.
    void add(uint32_t barcode, std::string_view umi);
    size_t pairs() const;
    // Collapses each barcode's UMIs by the directional rule; calls fn(barcode, molecules)
    // once per barcode id that has at least one UMI, in increasing id order.
    void for_each_barcode(const std::function<void(uint32_t, int64_t)>& fn) const;

private:
    class table {
    public:
        table();
        size_t size() const { return size_; }
        const std::vector<pair_slot>& slots() const { return slots_; }
        // The slot of (barcode, key), found with hash and same(slot); a new
        // pair gets a zero count and the key made by make_key().
        template <class Same, class MakeKey>
        pair_slot& find(uint64_t hash, uint32_t barcode, Same same, MakeKey make_key);
        template <class Rehash>
        void grow(Rehash rehash);
        bool full() const { return (size_ + 1) * 4 > slots_.size() * 3; }

    private:
        std::vector<pair_slot> slots_;
        size_t size_ = 0;
    };

    uint64_t text_hash(uint32_t barcode, std::string_view umi) const;
    std::string_view text_of(uint64_t record) const;
    void count_read(pair_slot& slot, bool packed);
    int64_t reads_of(const pair_slot& slot, bool packed) const;

    size_t length_;
    table packed_;
    table text_;
    std::string arena_;  // the text UMIs, length_ letters each
    // Reads beyond 32 bits of a pair's count, by (packed?, barcode, key):
    // a pair would need over four billion reads to get here.
    std::map<std::tuple<bool, uint32_t, uint64_t>, int64_t> carry_;
};

// The directional collapse of one barcode's distinct UMIs (letters, reads): the number of
// molecules. Exposed for the tests and for callers that already hold the UMIs.
// UMIs of different lengths are never neighbours; a UMI listed twice has the
// sum of its reads.
int64_t molecules(std::vector<std::pair<std::string, int64_t>> umis);

// The groups themselves: each distinct UMI with the top UMI of its group,
// in the UMIs' byte order (for the tests, and for a look at the collapse).
std::vector<std::pair<std::string, std::string>> groups(std::vector<std::pair<std::string, int64_t>> umis);

}  // namespace umi
