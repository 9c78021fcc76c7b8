// Distinct texts numbered in the order they first come (map's barcodes and
// cores, tabulate's keys and UMIs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A fast hash of a text, eight bytes at a time.
uint64_t text_hash(std::string_view text);

// Distinct texts in order of first appearance, found again by a hash of the
// text, so that loading n lines costs time in proportion to n.
class ordered_texts {
public:
    // The position of text; a new text is appended (added is then set).
    uint32_t insert(std::string_view text, bool& added) { return insert(text, text_hash(text), added); }
    // The same with the text's text_hash worked out already.
    uint32_t insert(std::string_view text, uint64_t hash, bool& added);
    // Asks the memory for the slot where a text of this hash is looked for
    // first, ahead of its insert.
    void prefetch(uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(hash)]);
    }
    // The position of text, or -1.
    int64_t find(std::string_view text) const;

    const std::string& operator[](size_t position) const { return texts_[position]; }
    size_t size() const { return texts_.size(); }
    const std::vector<std::string>& texts() const { return texts_; }

private:
    void grow();
    size_t slot_of(uint64_t hash) const { return static_cast<size_t>(hash) & (slots_.size() - 1); }

    std::vector<std::string> texts_;
    std::vector<uint64_t> hashes_;
    // The high half of the text's hash over position + 1, so that most
    // other texts are passed over without reading them; 0 marks a free slot.
    std::vector<uint64_t> slots_;
};
