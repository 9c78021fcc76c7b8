// Read layouts: where the barcode stands in a read, described by the
// constant sequences around it, and the matcher that finds it.
//
// A layout is read left to right: constants (ACGT, N matching any letter),
// barcode slots [n] or [m-n], skips {n} or {m-n}, UMI slots (n) and sample
// barcode slots <n> (count -x). A constant allows a few substitutions; one
// that follows a variable-length element is searched for within that
// element's range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "count/scan_kernels.h"

namespace count {

enum class element_kind : uint8_t { constant, barcode, skip, umi, sample };

struct layout_element {
    element_kind kind;
    uint32_t min_length;  // letters; a constant: its length
    uint32_t max_length;  // layout::unbounded for "{m-}" and "[m-]"
    std::string letters;  // a constant's letters
    uint32_t mismatches;  // a constant's allowance
    bool variable() const { return kind != element_kind::constant && min_length != max_length; }
};

class layout {
public:
    static constexpr uint32_t unbounded = UINT32_MAX;
    static constexpr uint32_t longest = 1'000'000;  // the largest length a layout may give

    // Reads a layout. mismatches < 0: each constant allows a tenth of its
    // letters other than N (rounded down); otherwise every constant allows
    // that many. A layout that cannot work gives nothing and a description
    // of its first problem.
    static std::optional<layout> parse(std::string_view text, int mismatches, std::string& problem);

    const std::vector<layout_element>& elements() const { return elements_; }
    bool has(element_kind kind) const;

private:
    std::vector<layout_element> elements_;
};

// Where an element was placed in a read.
struct placement {
    size_t start;
    size_t length;
};

// Places a layout on reads. It keeps working space between reads, so one
// matcher serves one stream of reads; it allocates only when a read is
// longer than all before.
class layout_matcher {
public:
    explicit layout_matcher(const layout& shape);

    // Whether the read has the layout; if so, pieces() tells where each
    // element stands (one placement per element).
    bool match(const char* read, size_t length);
    std::span<const placement> pieces() const { return pieces_; }

    // After a match: the letters of every element of the kind (barcode or
    // UMI slots) joined in order, with their quality characters when qual_out
    // is given. Returns how many were written; letters(kind) tells in advance.
    size_t letters(element_kind kind) const;
    size_t gather(element_kind kind, const char* read, const char* qual, char* seq_out, char* qual_out) const;

private:
    bool place_constant(size_t index, const char* read, size_t length, size_t& cursor);
    bool search(const layout_element& e, size_t lo, size_t hi, size_t& at);
    void build_masks(const char* read, size_t length);

    std::vector<layout_element> elements_;
    std::vector<placement> pieces_;
    // The read as one bit mask per letter A, C, G, T (bit i: letter i), made
    // when a constant has to be searched for.
    std::vector<uint64_t> masks_[4];
    bool masks_ready_ = false;
    std::vector<uint64_t> planes_;  // the search's mismatch counters
    const scan_kernels* scans_;  // the letter masks' and window search's kernels
    // By element: constants of at most 32 letters as the window search
    // reads them (short_constant_[i] tells which have one).
    std::vector<window_constant> windows_;
    std::vector<uint8_t> short_constant_;
};

// The number of substitutions between a constant and the text at p
// (N in the constant matches anything), counted up to limit + 1.
uint32_t constant_mismatches(std::string_view constant, const char* p, uint32_t limit);

}  // namespace count
