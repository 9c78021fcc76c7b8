// Sample barcodes: the sheet that names the samples of a multiplexed run,
// and the matcher that tells which sample a read's sample barcode belongs to.
//
// A sheet line is "name<TAB>barcode", the barcode one part or two joined by
// '+'. A read's barcode matches a sample when every part is the sample's or
// one substitution away from it; a sheet in which one read could match two
// samples that way is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "containers/mix.h"
#include "containers/open_table.h"

namespace count {

struct sample {
    std::string name;
    std::vector<std::string> parts;  // one or two, upper case ACGTN
};

struct sample_sheet {
    std::vector<sample> samples;
    size_t parts = 0;  // the same for every sample
};

// Reads a sheet; nothing and the first problem (with its line number) when
// it cannot be used. Blank lines and lines starting with '#' are skipped.
std::optional<sample_sheet> parse_sample_sheet(std::string_view text, std::string& problem);


// The index field of a read header: the text after the last ':' of the
// comment (after the first space), or the older "name#INDEX/1" form. Empty
// when the header has neither.
std::string_view header_index(std::string_view header);

// Hamming distance of two texts of one length.
size_t substitutions(std::string_view a, std::string_view b);

// Looks up std::string keys by string_view, without a copy per read.
struct text_hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// On cache lines of its own: with read pairs, the reading thread looks up
// (and tallies) the headers while the other thread makes the pairs.
class alignas(64) sample_matcher {
public:
    // Builds the matcher, or refuses the sheet with a problem naming the two
    // samples a read could not be told apart between. The second part is
    // also tried reverse-complemented when that cannot make a read match
    // two samples.
    static std::optional<sample_matcher> build(const sample_sheet& sheet, std::string& problem);

    static constexpr int32_t none = -1;
    // The sample of a read's barcode parts (as many as the sheet has), or
    // none. A match by the second part's reverse complement is counted.
    int32_t find(std::string_view first, std::string_view second);
    // The same for "A+B" or "A" (a header's index field, or the <n> slots'
    // letters). Each distinct text is worked out once; the texts of no
    // sample are tallied.
    int32_t find(std::string_view joined);
    // find(header_index(header)) for a header whose index field is the
    // sheet's letters alone (A, C, G and T, of its lengths) at its end, as
    // most are; not_plain when the header must take that way.
    static constexpr int32_t not_plain = -2;
    int32_t find_at_end(std::string_view header);
    // Every text find(joined) gave no sample for, with the times it did, in
    // no particular order (the texts stay the matcher's until this is asked
    // again).
    std::vector<std::pair<std::string_view, int64_t>> unmatched_texts();

    bool reverse_tried() const { return reverse_tried_; }
    int64_t forward_matches() const { return forward_; }
    int64_t reverse_matches() const { return reverse_; }
    // The one stderr line that says how the second index was read.
    std::string orientation_note() const;

private:
    // A run of value ids in a part's coded_ids.
    struct id_span {
        uint32_t start = 0, size = 0;
    };
    // One multiply, its high half folded onto the low bits the slots take.
    struct code_hash {
        size_t operator()(uint64_t code) const {
            const uint64_t h = code * 0x9e3779b97f4a7c15ull;
            return static_cast<size_t>(h ^ (h >> 32));
        }
    };
    static constexpr uint64_t no_code = ~uint64_t{0};  // no text of at most 31 letters has it
    struct part_index {
        size_t length = 0;
        // Every text at most one substitution from a value -> the values' ids.
        std::unordered_map<std::string, std::vector<uint32_t>, text_hash, std::equal_to<>> near;
        std::vector<std::string> values;
        // The same for the texts of A, C, G and T alone, by their 2-bit codes
        // (for parts longer than direct takes).
        open_table<uint64_t, id_span, code_hash> coded{no_code, 64};
        std::vector<uint32_t> coded_ids;
        // For short parts, by the code itself: a bit per code
        // (small enough to stay in the caches while the counter sweeps
        // them, so that the index errors of no sample cost one look-up),
        // and 1 + the index of the code's span in spans (0: none).
        std::vector<uint64_t> near_bits;
        std::vector<uint16_t> direct;
        std::vector<id_span> spans;
        // For short parts of at most 254 values, also a byte by code: 1 +
        // the one value within reach, 0 for none, several for more (which
        // take the spans): most reads' parts told by one look-up each.
        static constexpr uint8_t several = 255;
        std::vector<uint8_t> near_one;
        const id_span* find_code(uint64_t code) const {
            if (direct.empty()) return coded.find(code);
            if ((near_bits[code >> 6] >> (code & 63) & 1) == 0) return nullptr;
            const uint16_t k = direct[code];
            return k == 0 ? nullptr : &spans[k - 1];
        }
        uint32_t id_of(const std::string& value);
        void add_neighbours(uint32_t id);
        void code_neighbours();
    };
    int32_t lookup(std::string_view first, std::string_view second, const part_index& second_index) const;
    int32_t find_joined(std::string_view joined, bool& reversed) const;
    // Most reads' barcodes are A, C, G and T alone, of the sheet's lengths:
    // they are matched by code, with a few look-ups in tables that stay in
    // cache, and those of no sample tallied by code.
    bool code_joined(std::string_view joined, uint64_t& first, uint64_t& second) const;
    int32_t lookup_code(const id_span& first, uint64_t second, const part_index& second_index) const;
    int32_t find_code(uint64_t first, uint64_t second);
    // find_code by the parts' near_one and a grid; not_plain when a part
    // has several values within reach.
    int32_t find_one(uint64_t first, uint64_t second);
    void note_unmatched(uint64_t code);
    bool coded_ = false;  // the parts' letters fit one code (31 letters at most)
    size_t joined_length_ = 0;  // of a coded "A+B" or "A"; 0 when not coded
    bool by_one_ = false;  // find_one can be asked
    // The last code seen at each of a few places, with its sample: most
    // reads' barcodes found in the first-level cache.
    struct recent_code {
        uint64_t code = no_code;
        int32_t sample = none;
        bool reversed = false;
    };
    static constexpr int recent_bits = 10;
    static constexpr size_t recent_codes = size_t{1} << recent_bits;
    std::vector<recent_code> recent_codes_;
    size_t second_bits_ = 0;  // the bits of the second part's code
    // The coded texts of no sample: written down in turn and, every so
    // often, sorted and added to a table of (code, reads) in code order.
    // The memory grows with the distinct texts, and no read waits on a
    // random access into a large table.
    std::vector<uint64_t> unmatched_pending_;
    std::vector<std::pair<uint64_t, int64_t>> unmatched_tally_;
    void settle_unmatched();
    std::string decoded_;  // the texts of unmatched_tally_, once asked for

    // The other texts find(joined) has seen (with an N, another letter or
    // another length), with their samples. A run has tens
    // of millions of reads and few texts that match a sample (kept apart,
    // in a table small enough to stay in cache), but its index errors are
    // spread over many texts; so a slot holds a short text itself and is
    // all one look-up touches.
    // A text as the memo compares it: up to 24 letters as three words
    // (zero past the text), with its hash.
    struct memo_key {
        std::string_view text;
        uint64_t words[3];
        uint64_t hash;
        explicit memo_key(std::string_view text);
        static constexpr size_t inline_text = sizeof words;
    };
    class text_memo {
    public:
        struct slot {
            uint64_t words[3];
            uint64_t hash;
            uint32_t entry;  // + 1; 0: a free slot
            int32_t sample;
            uint32_t length;
            bool reversed;
        };
        // The slot of the text, or nullptr.
        const slot* find(const memo_key& key) const;
        // Whether a slot holds the text.
        bool holds(const slot& s, const memo_key& key) const {
            if (s.entry == 0 || s.hash != key.hash || s.length != key.text.size()) return false;
            if (key.text.size() > memo_key::inline_text) return text_of(s.entry - 1) == key.text;
            return ((s.words[0] ^ key.words[0]) | (s.words[1] ^ key.words[1]) | (s.words[2] ^ key.words[2])) == 0;
        }
        const slot& add(const memo_key& key, int32_t sample, bool reversed);
        size_t size() const { return texts_.size(); }
        std::string_view text_of(uint32_t entry) const {
            return std::string_view(text_).substr(texts_[entry].start, texts_[entry].length);
        }

    private:
        struct place {
            uint32_t start, length;  // in text_
        };
        void grow();
        std::vector<slot> slots_;
        std::vector<place> texts_;
        std::string text_;
    };
    text_memo matched_;
    // The texts of no sample: the first few distinct ones (the frequent
    // ones among them) in a table with their counts, every later one
    // written down in turn and counted at the end. A run's index errors
    // are spread over millions of texts, and a table of them all would
    // cost a trip to memory per read.
    static constexpr size_t frequent_most = size_t{1} << 14;
    text_memo frequent_;
    std::vector<int64_t> frequent_counts_;  // by entry
    std::string later_text_;
    std::vector<uint64_t> later_starts_;  // of each written text in later_text_, and its end
    // The last text seen at each of a few places (by hash): the texts of
    // most reads, found without leaving the first-level cache.
    static constexpr size_t recent_size = 512;
    std::vector<text_memo::slot> recent_;

    size_t parts_ = 0;
    part_index first_, second_, second_reverse_;
    // (first id, second id) -> sample
    open_table<uint64_t, int32_t, code_hash> forward_combinations_{no_code}, reverse_combinations_{no_code};
    // The same as grids (first id * grid_columns_ + second id -> sample or
    // none) when the sheet's values are few enough.
    std::vector<int32_t> forward_grid_, reverse_grid_;
    size_t grid_columns_ = 0;
    int32_t combined(uint32_t first, uint32_t second, bool reversed) const;
    bool reverse_tried_ = false;
    int64_t forward_ = 0, reverse_ = 0;
};

}  // namespace count
