#include "count/layout.h"

#include <algorithm>
#include <cstring>

#include "count/scan_kernels.h"
#include "dna/letters.h"

namespace count {

// ---------------------------------------------------------------------------
// Parsing

namespace {

// A length in a slot or skip; false (and the problem) when there is none or
// it is too large.
bool read_length(std::string_view text, size_t& at, uint32_t& value, std::string& problem) {
    size_t start = at;
    uint64_t n = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        n = n * 10 + static_cast<uint64_t>(text[at] - '0');
        if (n > layout::longest) {
            problem = "a length above " + std::to_string(layout::longest);
            return false;
        }
        ++at;
    }
    if (at == start) {
        problem = "a length is missing at position " + std::to_string(start + 1);
        return false;
    }
    value = static_cast<uint32_t>(n);
    return true;
}

// "[n]", "[m-n]", "[m-]" and the same with braces, from the opening
// character on; UMI slots "(n)" and sample barcode slots "<n>" have one
// length.
bool read_bracket(std::string_view text, size_t& at, layout_element& e, std::string& problem) {
    const char open = text[at];
    const char close = open == '[' ? ']' : open == '{' ? '}' : open == '(' ? ')' : '>';
    e.kind = open == '[' ? element_kind::barcode
             : open == '{' ? element_kind::skip
             : open == '(' ? element_kind::umi
                           : element_kind::sample;
    ++at;
    if (!read_length(text, at, e.min_length, problem)) return false;
    e.max_length = e.min_length;
    const bool ranged = e.kind == element_kind::barcode || e.kind == element_kind::skip;
    if (at < text.size() && text[at] == '-' && ranged) {
        ++at;
        if (at < text.size() && text[at] == close) {
            e.max_length = layout::unbounded;
        } else if (!read_length(text, at, e.max_length, problem)) {
            return false;
        }
    }
    if (at < text.size() && text[at] == '-' && e.kind == element_kind::sample) {
        problem = "a sample barcode slot of more than one length (it has one, as in <8>)";
        return false;
    }
    if (at >= text.size() || text[at] != close) {
        problem = std::string("'") + open + "' without '" + close + "'";
        return false;
    }
    ++at;
    if (e.min_length > e.max_length) {
        problem = "a range from " + std::to_string(e.min_length) + " down to " + std::to_string(e.max_length);
        return false;
    }
    if (e.max_length == 0 && e.kind != element_kind::skip) {
        problem = e.kind == element_kind::barcode ? "an empty barcode slot"
                  : e.kind == element_kind::umi   ? "an empty UMI slot"
                                                  : "an empty sample barcode slot";
        return false;
    }
    return true;
}

const char* name_of(const layout_element& e) {
    switch (e.kind) {
        case element_kind::constant: return "a constant";
        case element_kind::barcode: return "a barcode slot";
        case element_kind::skip: return "a skip";
        case element_kind::umi: return "a UMI slot";
        case element_kind::sample: return "a sample barcode slot";
    }
    return "";
}

// What a read needs of the elements' order: a variable-length element is
// followed by a constant that ends its range, unless it is a final barcode
// slot.
bool check_order(const std::vector<layout_element>& elements, std::string& problem) {
    for (size_t i = 0; i < elements.size(); ++i) {
        const layout_element& e = elements[i];
        if (!e.variable()) continue;
        if (i + 1 == elements.size()) {
            if (e.kind == element_kind::barcode) continue;
            problem = "a variable-length skip at the end (nothing ends its range)";
            return false;
        }
        const layout_element& next = elements[i + 1];
        if (next.variable()) {
            problem = "two variable-length elements in a row";
            return false;
        }
        if (next.kind != element_kind::constant) {
            problem = std::string("a variable-length element followed by ") + name_of(next) + ", not a constant";
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<layout> layout::parse(std::string_view text, int mismatches, std::string& problem) {
    layout result;
    std::vector<layout_element>& elements = result.elements_;
    for (size_t at = 0; at < text.size();) {
        char c = text[at];
        layout_element e{};
        if (dna::is_letter(c)) {
            e.kind = element_kind::constant;
            while (at < text.size() && dna::is_letter(text[at])) e.letters += text[at++];
            e.min_length = e.max_length = static_cast<uint32_t>(e.letters.size());
            auto known = static_cast<uint32_t>(e.letters.size() - std::count(e.letters.begin(), e.letters.end(), 'N'));
            e.mismatches = mismatches < 0 ? known / 10 : std::min(known, static_cast<uint32_t>(mismatches));
            if (e.letters.size() > longest) {
                problem = "a constant longer than " + std::to_string(longest) + " letters";
                return std::nullopt;
            }
        } else if (c == '[' || c == '{' || c == '(' || c == '<') {
            if (!read_bracket(text, at, e, problem)) return std::nullopt;
        } else if (c >= 'a' && c <= 'z') {
            problem = std::string("the letter '") + c + "' (constants are written in A, C, G, T and N)";
            return std::nullopt;
        } else {
            problem = std::string("the character '") + c + "' at position " + std::to_string(at + 1);
            return std::nullopt;
        }
        elements.push_back(std::move(e));
    }
    if (!result.has(element_kind::barcode)) {
        problem = "no barcode slot [n]";
        return std::nullopt;
    }
    if (!check_order(elements, problem)) return std::nullopt;
    return result;
}

bool layout::has(element_kind kind) const {
    return std::any_of(elements_.begin(), elements_.end(), [kind](const layout_element& e) { return e.kind == kind; });
}

// ---------------------------------------------------------------------------
// Matching

uint32_t constant_mismatches(std::string_view constant, const char* p, uint32_t limit) {
    uint32_t found = 0;
    for (size_t i = 0; i < constant.size(); ++i) {
        if (constant[i] != 'N' && constant[i] != p[i] && ++found > limit) break;
    }
    return found;
}

layout_matcher::layout_matcher(const layout& shape)
    : elements_(shape.elements()),
      pieces_(elements_.size()),
      scans_(&scan_kernels_best()),
      windows_(elements_.size()),
      short_constant_(elements_.size(), 0) {
    uint32_t most = 0;
    for (size_t i = 0; i < elements_.size(); ++i) {
        const layout_element& e = elements_[i];
        most = std::max(most, e.mismatches);
        if (e.kind != element_kind::constant || e.letters.size() > sizeof windows_[i].letters) continue;
        window_constant& w = windows_[i];
        std::memset(w.letters, 0, sizeof w.letters);
        std::memcpy(w.letters, e.letters.data(), e.letters.size());
        w.care = 0;
        for (size_t k = 0; k < e.letters.size(); ++k)
            if (e.letters[k] != 'N') w.care |= uint32_t{1} << k;
        short_constant_[i] = 1;
    }
    planes_.resize(most + 1);
}

namespace {

// 64 bits of a letter mask from bit p on; the next word always exists. The
// two-step shift keeps a shift of 0 (which would shift by 64) branch-free.
inline uint64_t bits_at(const uint64_t* words, size_t p) {
    size_t word = p >> 6, shift = p & 63;
    return (words[word] >> shift) | ((words[word + 1] << 1) << (63 - shift));
}

// A, C, G, T to 0-3, every other byte to -1: a look-up rather than a switch,
// as the letters of a constant change at every step of a search.
struct letter_codes {
    int8_t of[256];
    constexpr letter_codes() : of() {
        for (int c = 0; c < 256; ++c) of[c] = -1;
        of['A'] = 0, of['C'] = 1, of['G'] = 2, of['T'] = 3;
    }
};
constexpr letter_codes codes;

}  // namespace

void layout_matcher::build_masks(const char* read, size_t length) {
    // One word more than the read needs: a search reads a word past the
    // last letter it looks at.
    const size_t words = length / 64 + 2;
    for (std::vector<uint64_t>& m : masks_)
        if (m.size() < words) m.resize(words);
    uint64_t* const masks[4] = {masks_[0].data(), masks_[1].data(), masks_[2].data(), masks_[3].data()};
    scans_->letter_masks(read, length, masks);
    masks_ready_ = true;
}

// The start in [lo, hi] (hi + the constant's length within the read) where
// the constant has the fewest mismatches, the leftmost of equals, if that is
// within its allowance. Bit-parallel: 64 starts at a time, each with a
// mismatch counter held across the bit planes planes_[d] ("at least d + 1
// mismatches"), so a letter of the constant costs a few word operations for
// all 64 starts.
namespace {

// The search's kernel. With the allowance known when compiled (the common
// small ones, Fixed >= 0) the planes stay in registers; otherwise they live
// in planes.
template <int Fixed>
bool search_starts(std::string_view letters, uint32_t allowed, const uint64_t* const masks[4], size_t lo, size_t hi,
                   uint64_t* planes, size_t& at) {
    uint64_t local[Fixed >= 0 ? Fixed + 1 : 1];
    if constexpr (Fixed >= 0) {
        planes = local;
        allowed = static_cast<uint32_t>(Fixed);
    }
    uint32_t best = allowed + 1;  // no start found yet
    for (size_t base = lo; base <= hi; base += 64) {
        const uint64_t range = hi - base >= 63 ? ~uint64_t{0} : (uint64_t{1} << (hi - base + 1)) - 1;
        std::fill(planes, planes + allowed + 1, 0);
        for (size_t j = 0; j < letters.size(); ++j) {
            uint8_t c = dna::code_of(letters[j]);
            if (c >= dna::n_code) continue;  // N matches anything
            uint64_t differ = ~bits_at(masks[c], base + j);
            for (uint32_t d = allowed; d > 0; --d) planes[d] |= planes[d - 1] & differ;
            planes[0] |= differ;
            // Every start already has as many mismatches as the best so far.
            if ((planes[best - 1] & range) == range) break;
        }
        for (uint32_t d = 0; d < best; ++d) {
            uint64_t within = ~planes[d] & range;  // at most d mismatches
            if (within != 0) {
                best = d;
                at = base + static_cast<size_t>(__builtin_ctzll(within));
                break;
            }
        }
        if (best == 0 || hi - base < 64) break;
    }
    return best <= allowed;
}

}  // namespace

bool layout_matcher::search(const layout_element& e, size_t lo, size_t hi, size_t& at) {
    const uint64_t* const masks[4] = {masks_[0].data(), masks_[1].data(), masks_[2].data(), masks_[3].data()};
    switch (e.mismatches) {
        case 0: return search_starts<0>(e.letters, 0, masks, lo, hi, planes_.data(), at);
        case 1: return search_starts<1>(e.letters, 1, masks, lo, hi, planes_.data(), at);
        case 2: return search_starts<2>(e.letters, 2, masks, lo, hi, planes_.data(), at);
        case 3: return search_starts<3>(e.letters, 3, masks, lo, hi, planes_.data(), at);
        default: return search_starts<-1>(e.letters, e.mismatches, masks, lo, hi, planes_.data(), at);
    }
}

// Windows of up to this many starts are searched start by start.
constexpr size_t window_starts = 32;

// Places constant index at the cursor, or, after a variable-length element
// (or at the layout's start), at its best start within that element's range.
bool layout_matcher::place_constant(size_t index, const char* read, size_t length, size_t& cursor) {
    const layout_element& e = elements_[index];
    const size_t size = e.letters.size();
    if (length - cursor < size) return false;
    const bool first = index == 0;
    if (!first && !elements_[index - 1].variable()) {
        size_t at = 0;
        const uint32_t found = short_constant_[index] != 0
                                   ? scans_->window_search(windows_[index], e.mismatches, read + cursor, 1, length - cursor, at)
                                   : constant_mismatches(e.letters, read + cursor, e.mismatches);
        if (found > e.mismatches) return false;
        pieces_[index] = {cursor, size};
        cursor += size;
        return true;
    }
    size_t lo = cursor, hi = length - size;
    if (!first) {
        const layout_element& before = elements_[index - 1];
        lo += before.min_length;
        if (before.max_length != layout::unbounded) hi = std::min(hi, cursor + before.max_length);
    }
    if (lo > hi) return false;
    size_t at = 0;
    if (short_constant_[index] != 0 && hi - lo < window_starts) {
        // A short constant in a narrow window: compared at each start,
        // cheaper than the read's letter masks.
        size_t offset = 0;
        if (scans_->window_search(windows_[index], e.mismatches, read + lo, hi - lo + 1, length - lo, offset) >
            e.mismatches)
            return false;
        at = lo + offset;
    } else {
        if (!masks_ready_) build_masks(read, length);
        if (!search(e, lo, hi, at)) return false;
    }
    if (!first) pieces_[index - 1] = {cursor, at - cursor};
    pieces_[index] = {at, size};
    cursor = at + size;
    return true;
}

bool layout_matcher::match(const char* read, size_t length) {
    masks_ready_ = false;
    size_t cursor = 0;
    for (size_t i = 0; i < elements_.size(); ++i) {
        const layout_element& e = elements_[i];
        if (e.kind == element_kind::constant) {
            if (!place_constant(i, read, length, cursor)) return false;
        } else if (e.variable()) {
            // Placed with the constant after it; a final barcode slot takes
            // what is left, up to its longest.
            if (i + 1 < elements_.size()) continue;
            size_t rest = length - cursor;
            if (rest < e.min_length) return false;
            pieces_[i] = {cursor, std::min<size_t>(rest, e.max_length)};
            cursor += pieces_[i].length;
        } else {
            if (length - cursor < e.min_length) return false;
            pieces_[i] = {cursor, e.min_length};
            cursor += e.min_length;
        }
    }
    return true;
}

size_t layout_matcher::letters(element_kind kind) const {
    size_t total = 0;
    for (size_t i = 0; i < elements_.size(); ++i) {
        if (elements_[i].kind == kind) total += pieces_[i].length;
    }
    return total;
}

size_t layout_matcher::gather(element_kind kind, const char* read, const char* qual, char* seq_out,
                              char* qual_out) const {
    size_t written = 0;
    for (size_t i = 0; i < elements_.size(); ++i) {
        if (elements_[i].kind != kind) continue;
        const placement& p = pieces_[i];
        std::memcpy(seq_out + written, read + p.start, p.length);
        if (qual_out != nullptr) std::memcpy(qual_out + written, qual + p.start, p.length);
        written += p.length;
    }
    return written;
}

}  // namespace count
