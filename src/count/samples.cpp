#include "count/samples.h"

#include <algorithm>
#include <cstring>

#include "containers/mix.h"
#include "containers/ordered_texts.h"
#include "containers/radix_sort.h"

#include "dna/letters.h"
#include "io/text.h"

namespace count {

namespace {

std::string line_problem(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

bool dna_part(std::string& part) {
    if (part.empty()) return false;
    for (char& c : part) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!dna::is_letter(c)) return false;
    }
    return true;
}

// Two samples clash when one read could be within one substitution of both
// on every part.
bool clash(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (size_t p = 0; p < a.size(); ++p)
        if (substitutions(a[p], b[p]) > 2) return false;
    return true;
}

uint64_t combination(uint32_t first, uint32_t second) { return (uint64_t{first} << 32) | second; }

// The letters of a base code, by code: A, C, G and T are 0x41, 0x43, 0x47
// and 0x54, and their bits 1-2 tell them apart.
constexpr char base_letters[] = "ACTG";

// The 2-bit codes of up to eight letters in a word (letter i at bits 2i),
// and whether the first n are all A, C, G or T.
inline bool word_bases(uint64_t x, size_t n, uint64_t& code) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    // Bits 1 and 2 of a byte, the code, spell one of the four letters: the
    // byte is that letter or none of them.
    const uint64_t low = (x >> 1) & ones, high = (x >> 2) & ones;
    const uint64_t spelt = ('A' * ones) ^ (low << 1) ^ (high * 0x15) ^ ((low & high) * 0x11);
    const uint64_t used = n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
    uint64_t y = (x >> 1) & 0x0303030303030303ull;
    y = (y | (y >> 6)) & 0x000f000f000f000full;
    y = (y | (y >> 12)) & 0x000000ff000000ffull;
    y = (y | (y >> 24)) & 0xffffull;
    code = n >= 8 ? y : y & ((uint64_t{1} << (2 * n)) - 1);
    return ((spelt ^ x) & used) == 0;
}

// Whether a space or a tab stands in the first end bytes of a text, eight
// a step from the end (the comment's blank is a few letters before its
// index field).
inline bool blank_before(const char* text, size_t end) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    for (; end >= 8; end -= 8) {
        uint64_t word = 0;
        std::memcpy(&word, text + end - 8, 8);
        if ((zero_bytes(word ^ (' ' * ones)) | zero_bytes(word ^ ('\t' * ones))) != 0) return true;
    }
    for (size_t i = 0; i < end; ++i)
        if (text[i] == ' ' || text[i] == '\t') return true;
    return false;
}

// Eight bytes of a text of size bytes with the n <= 8 from at first: one
// load (the bytes past them are any), unless the text is shorter than eight.
[[gnu::always_inline]] inline uint64_t load_word(const char* text, size_t size, size_t at, size_t n) {
    uint64_t word = 0;
    if (at + 8 <= size) {
        std::memcpy(&word, text + at, 8);
    } else if (size >= 8) {
        std::memcpy(&word, text + size - 8, 8);
        word >>= 8 * (at + 8 - size);
    } else {
        std::memcpy(&word, text + at, n);
    }
    return word;
}

// The n <= 32 letters of a text (size bytes) from at as 2-bit codes
// (letter i at bits 2i), eight letters a step; false when a letter is not
// A, C, G or T.
[[gnu::always_inline]] inline bool base_code(const char* text, size_t size, size_t at, size_t n, uint64_t& code) {
    code = 0;
    for (size_t done = 0; done < n; done += 8) {
        const size_t letters = std::min<size_t>(8, n - done);
        uint64_t part = 0;
        if (!word_bases(load_word(text, size, at + done, letters), letters, part)) return false;
        code |= part << (2 * done);
    }
    return true;
}

}  // namespace

std::optional<sample_sheet> parse_sample_sheet(std::string_view text, std::string& problem) {
    sample_sheet sheet;
    std::unordered_map<std::string, size_t> line_of_name;
    size_t line_number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            problem = line_problem(line_number, "expected a name, a tab and a sample barcode");
            return std::nullopt;
        }
        sample entry;
        entry.name.assign(line.substr(0, tab));
        std::string_view barcode = line.substr(tab + 1);
        if (entry.name.empty() || entry.name == "." || entry.name == ".." ||
            entry.name.find('/') != std::string::npos || entry.name.find('\0') != std::string::npos) {
            problem = line_problem(line_number, "a sample name must not be empty, '.', '..' or hold '/'");
            return std::nullopt;
        }
        if (entry.name == "undetermined") {
            problem = line_problem(line_number, "'undetermined' is the name of the reads of no sample");
            return std::nullopt;
        }
        size_t plus = barcode.find('+');
        entry.parts.emplace_back(barcode.substr(0, plus));
        if (plus != std::string_view::npos) entry.parts.emplace_back(barcode.substr(plus + 1));
        for (std::string& part : entry.parts) {
            if (!dna_part(part)) {
                std::string quoted = "'";
                quoted.append(barcode).append("' is not a sample barcode (ACGTN, one '+' between two parts)");
                problem = line_problem(line_number, quoted);
                return std::nullopt;
            }
        }
        if (sheet.parts == 0) sheet.parts = entry.parts.size();
        if (entry.parts.size() != sheet.parts) {
            problem = line_problem(line_number, "every sample barcode must have as many parts as the first");
            return std::nullopt;
        }
        if (!sheet.samples.empty()) {
            for (size_t p = 0; p < sheet.parts; ++p) {
                if (entry.parts[p].size() != sheet.samples.front().parts[p].size()) {
                    problem = line_problem(line_number, "every sample barcode must have the length of the first");
                    return std::nullopt;
                }
            }
        }
        auto [at, fresh] = line_of_name.emplace(entry.name, line_number);
        if (!fresh) {
            problem = line_problem(line_number, "sample '" + entry.name + "' is named again (first on line " +
                                                    std::to_string(at->second) + ")");
            return std::nullopt;
        }
        sheet.samples.push_back(std::move(entry));
    }
    if (sheet.samples.empty()) {
        problem = "no samples";
        return std::nullopt;
    }
    return sheet;
}

std::string_view header_index(std::string_view header) {
    // From the end, where the index field is: the last ':' is the comment's
    // when a space or tab stands before it.
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const void* last_colon = header.empty() ? nullptr : ::memrchr(header.data(), ':', header.size());
    size_t colon = last_colon == nullptr ? std::string_view::npos
                                         : static_cast<size_t>(static_cast<const char*>(last_colon) - header.data());
    if (colon != std::string_view::npos && blank_before(header.data(), colon)) return header.substr(colon + 1);
    // No comment with a ':' in it; a comment without one has no index field.
    for (size_t i = colon == std::string_view::npos ? 0 : colon; i < header.size(); ++i)
        if (blank(header[i])) return {};
    size_t hash = header.rfind('#');
    if (hash == std::string_view::npos) return {};
    std::string_view index = header.substr(hash + 1);
    size_t slash = index.find('/');
    return index.substr(0, slash);
}

size_t substitutions(std::string_view a, std::string_view b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i];
    return n;
}

uint32_t sample_matcher::part_index::id_of(const std::string& value) {
    auto found = std::find(values.begin(), values.end(), value);
    if (found != values.end()) return static_cast<uint32_t>(found - values.begin());
    values.push_back(value);
    length = value.size();
    add_neighbours(static_cast<uint32_t>(values.size() - 1));
    return static_cast<uint32_t>(values.size() - 1);
}

void sample_matcher::part_index::add_neighbours(uint32_t id) {
    std::string text = values[id];
    auto add = [&](const std::string& key) {
        std::vector<uint32_t>& ids = near[key];
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    };
    add(text);
    for (size_t i = 0; i < text.size(); ++i) {
        const char kept = text[i];
        for (char c : {'A', 'C', 'G', 'T', 'N'}) {
            if (c == kept) continue;
            text[i] = c;
            add(text);
        }
        text[i] = kept;
    }
}

void sample_matcher::part_index::code_neighbours() {
    // In the order of near's own lists, so both ways give the same samples.
    std::vector<std::pair<uint64_t, const std::vector<uint32_t>*>> rows;
    for (const auto& [text, ids] : near) {
        uint64_t code = 0;
        if (base_code(text.data(), text.size(), 0, text.size(), code)) rows.emplace_back(code, &ids);
    }
    std::sort(rows.begin(), rows.end());  // the table's slots follow from its inserts
    // Ten letters at most by the code itself: a table of 2 MB (128 KB for
    // eight), of which a run's reads touch the few entries of its barcodes
    // most of the time; longer parts by hash.
    constexpr size_t direct_letters = 10;
    const bool by_code = length <= direct_letters && rows.size() < 0xffff;
    if (by_code) {
        direct.assign(size_t{1} << (2 * length), 0);
        near_bits.assign(std::max<size_t>(1, direct.size() / 64), 0);
    }
    for (const auto& [code, ids] : rows) {
        const id_span span{static_cast<uint32_t>(coded_ids.size()), static_cast<uint32_t>(ids->size())};
        coded_ids.insert(coded_ids.end(), ids->begin(), ids->end());
        if (!by_code) {
            coded[code] = span;
            continue;
        }
        spans.push_back(span);
        direct[code] = static_cast<uint16_t>(spans.size());
        near_bits[code >> 6] |= uint64_t{1} << (code & 63);
    }
    if (by_code && values.size() < several) {
        near_one.assign(direct.size(), 0);
        for (const auto& [code, ids] : rows)
            near_one[code] = ids->size() == 1 ? static_cast<uint8_t>(ids->front() + 1) : several;
    }
}

std::optional<sample_matcher> sample_matcher::build(const sample_sheet& sheet, std::string& problem) {
    const std::vector<sample>& all = sheet.samples;
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = i + 1; j < all.size(); ++j) {
            if (clash(all[i].parts, all[j].parts)) {
                problem = "the sample barcodes of '" + all[i].name + "' and '" + all[j].name +
                          "' are too close to tell apart with one substitution per part";
                return std::nullopt;
            }
        }
    }
    sample_matcher m;
    m.parts_ = sheet.parts;
    // The second index reverse-complemented is tried only when no read can
    // then match one sample one way and another the other way.
    m.reverse_tried_ = sheet.parts == 2;
    for (size_t i = 0; i < all.size() && m.reverse_tried_; ++i) {
        for (size_t j = 0; j < all.size() && m.reverse_tried_; ++j) {
            if (i == j) continue;
            std::vector<std::string> turned{all[j].parts[0], dna::reverse_complement(all[j].parts[1])};
            if (clash(all[i].parts, turned)) m.reverse_tried_ = false;
        }
    }
    for (size_t i = 0; i < all.size(); ++i) {
        const int32_t id = static_cast<int32_t>(i);
        uint32_t first = m.first_.id_of(all[i].parts[0]);
        uint32_t second = sheet.parts == 2 ? m.second_.id_of(all[i].parts[1]) : 0;
        m.forward_combinations_[combination(first, second)] = id;
        if (m.reverse_tried_) {
            uint32_t turned = m.second_reverse_.id_of(dna::reverse_complement(all[i].parts[1]));
            m.reverse_combinations_[combination(first, turned)] = id;
        }
    }
    m.coded_ = m.first_.length + m.second_.length <= 31;
    m.second_bits_ = 2 * m.second_.length;
    m.recent_codes_.resize(recent_codes);
    if (m.coded_) {
        for (part_index* part : {&m.first_, &m.second_, &m.second_reverse_}) part->code_neighbours();
    }
    // Grids of up to a million cells (4 MB; 36 KB for 96 by 96 values). The
    // reverse-complemented second parts are as many as the second parts.
    const size_t rows = m.first_.values.size(), columns = std::max<size_t>(1, m.second_.values.size());
    if (rows * columns <= size_t{1} << 20) {
        m.grid_columns_ = columns;
        auto fill = [&](const auto& combinations, std::vector<int32_t>& grid) {
            grid.assign(rows * columns, none);
            combinations.for_each([&](uint64_t key, int32_t id) { grid[(key >> 32) * columns + (key & 0xffffffffu)] = id; });
        };
        fill(m.forward_combinations_, m.forward_grid_);
        if (m.reverse_tried_) fill(m.reverse_combinations_, m.reverse_grid_);
    }
    if (m.coded_) m.joined_length_ = sheet.parts == 2 ? m.first_.length + 1 + m.second_.length : m.first_.length;
    m.by_one_ = m.coded_ && m.grid_columns_ != 0 && !m.first_.near_one.empty() &&
                (sheet.parts == 1 || (!m.second_.near_one.empty() && (!m.reverse_tried_ || !m.second_reverse_.near_one.empty())));
    return m;
}

int32_t sample_matcher::combined(uint32_t first, uint32_t second, bool reversed) const {
    if (grid_columns_ != 0) return (reversed ? reverse_grid_ : forward_grid_)[first * grid_columns_ + second];
    const int32_t* found = (reversed ? reverse_combinations_ : forward_combinations_).find(combination(first, second));
    return found == nullptr ? none : *found;
}

int32_t sample_matcher::lookup(std::string_view first, std::string_view second, const part_index& second_index) const {
    if (first.size() != first_.length) return none;
    auto a = first_.near.find(first);
    if (a == first_.near.end()) return none;
    const auto& combinations = &second_index == &second_ ? forward_combinations_ : reverse_combinations_;
    if (parts_ == 1) {
        // The sheet's check leaves at most one value within reach.
        const int32_t* found = combinations.find(combination(a->second.front(), 0));
        return found == nullptr ? none : *found;
    }
    if (second.size() != second_index.length) return none;
    auto b = second_index.near.find(second);
    if (b == second_index.near.end()) return none;
    for (uint32_t x : a->second) {
        for (uint32_t y : b->second) {
            const int32_t* found = combinations.find(combination(x, y));
            if (found != nullptr) return *found;
        }
    }
    return none;  // each part known, but not together: a combination not in the sheet
}

bool sample_matcher::code_joined(std::string_view joined, uint64_t& first, uint64_t& second) const {
    const size_t length1 = first_.length, length2 = parts_ == 2 ? second_.length : 0;
    const size_t size = joined.size();
    if (size != (parts_ == 2 ? length1 + 1 + length2 : length1)) return false;
    if (parts_ == 2 && joined[length1] != '+') return false;
    second = 0;
    if (length1 <= 8 && length2 <= 8 && size >= 8) {
        // The indexes of most runs: a load a part, the second's the word
        // that ends where the text does.
        uint64_t head = 0, tail = 0;
        std::memcpy(&head, joined.data(), 8);
        std::memcpy(&tail, joined.data() + size - 8, 8);
        return word_bases(head, length1, first) && (parts_ == 1 || word_bases(tail >> (8 * (8 - length2)), length2, second));
    }
    return base_code(joined.data(), size, 0, length1, first) &&
           (parts_ == 1 || base_code(joined.data(), size, length1 + 1, length2, second));
}

int32_t sample_matcher::lookup_code(const id_span& a, uint64_t second, const part_index& second_index) const {
    const bool reversed = &second_index != &second_;
    if (parts_ == 1) return combined(first_.coded_ids[a.start], 0, reversed);
    const id_span* b = second_index.find_code(second);
    if (b == nullptr) return none;
    for (uint32_t i = a.start; i < a.start + a.size; ++i) {
        for (uint32_t j = b->start; j < b->start + b->size; ++j) {
            const int32_t found = combined(first_.coded_ids[i], second_index.coded_ids[j], reversed);
            if (found != none) return found;
        }
    }
    return none;
}

int32_t sample_matcher::find_one(uint64_t first, uint64_t second) {
    const uint8_t a = first_.near_one[first];
    if (a == 0) return none;
    if (a == part_index::several) return not_plain;
    const size_t row = size_t{a - 1u} * grid_columns_;
    if (parts_ == 1) {
        const int32_t found = forward_grid_[row];
        forward_ += found != none;
        return found;
    }
    const uint8_t b = second_.near_one[second];
    if (b == part_index::several) return not_plain;
    int32_t found = b == 0 ? none : forward_grid_[row + b - 1];
    if (found != none) {
        ++forward_;
        return found;
    }
    if (!reverse_tried_) return none;
    const uint8_t c = second_reverse_.near_one[second];
    if (c == part_index::several) return not_plain;
    found = c == 0 ? none : reverse_grid_[row + c - 1];
    reverse_ += found != none;
    return found;
}

void sample_matcher::note_unmatched(uint64_t code) {
    unmatched_pending_.push_back(code);
    if (unmatched_pending_.size() >= std::max<size_t>(size_t{1} << 20, unmatched_tally_.size())) settle_unmatched();
}

int32_t sample_matcher::find_code(uint64_t first, uint64_t second) {
    const uint64_t code = first << second_bits_ | second;
    if (by_one_) {
        const int32_t found = find_one(first, second);
        if (found == none) note_unmatched(code);
        if (found != not_plain) return found;
    }
    // One multiply spreads the codes of a sheet's few barcodes well enough.
    recent_code& recent = recent_codes_[(code * 0x9e3779b97f4a7c15ull) >> (64 - recent_bits)];
    if (recent.code != code) {
        const id_span* a = first_.find_code(first);
        int32_t found = a == nullptr ? none : lookup_code(*a, second, second_);
        bool reversed = false;
        if (found == none && a != nullptr && reverse_tried_) {
            found = lookup_code(*a, second, second_reverse_);
            reversed = found != none;
        }
        if (found == none) {
            // Not kept in recent: the texts of no sample are many and would
            // push the samples' out.
            note_unmatched(code);
            return none;
        }
        recent = {code, found, reversed};
    }
    ++(recent.reversed ? reverse_ : forward_);
    return recent.sample;
}

void sample_matcher::settle_unmatched() {
    std::vector<uint64_t> spare;
    const size_t bits = 2 * first_.length + second_bits_;
    radix_sort(unmatched_pending_.data(), unmatched_pending_.data() + unmatched_pending_.size(), bits, spare,
               [](uint64_t code) { return code; });
    std::vector<std::pair<uint64_t, int64_t>> merged;
    merged.reserve(unmatched_tally_.size() + unmatched_pending_.size());
    auto old = unmatched_tally_.begin();
    for (size_t i = 0; i < unmatched_pending_.size();) {
        const uint64_t code = unmatched_pending_[i];
        size_t j = i + 1;
        while (j < unmatched_pending_.size() && unmatched_pending_[j] == code) ++j;
        while (old != unmatched_tally_.end() && old->first < code) merged.push_back(*old++);
        int64_t reads = static_cast<int64_t>(j - i);
        if (old != unmatched_tally_.end() && old->first == code) reads += (old++)->second;
        merged.emplace_back(code, reads);
        i = j;
    }
    merged.insert(merged.end(), old, unmatched_tally_.end());
    unmatched_tally_.swap(merged);
    unmatched_pending_.clear();
}

int32_t sample_matcher::find(std::string_view first, std::string_view second) {
    int32_t found = lookup(first, second, second_);
    if (found != none) {
        ++forward_;
        return found;
    }
    if (!reverse_tried_) return none;
    found = lookup(first, second, second_reverse_);
    if (found != none) ++reverse_;
    return found;
}

int32_t sample_matcher::find_joined(std::string_view joined, bool& reversed) const {
    reversed = false;
    size_t plus = joined.find('+');
    if ((plus == std::string_view::npos) != (parts_ == 1)) return none;
    std::string_view first = parts_ == 1 ? joined : joined.substr(0, plus);
    std::string_view second = parts_ == 1 ? std::string_view() : joined.substr(plus + 1);
    int32_t found = lookup(first, second, second_);
    if (found != none || !reverse_tried_) return found;
    found = lookup(first, second, second_reverse_);
    reversed = found != none;
    return found;
}

int32_t sample_matcher::find_at_end(std::string_view header) {
    const size_t n = joined_length_;
    if (n == 0 || header.size() <= n || header[header.size() - n - 1] != ':') return not_plain;
    uint64_t first = 0, second = 0;
    if (!code_joined(header.substr(header.size() - n), first, second)) return not_plain;
    // The letters hold no ':', so that one is the last; it is the index
    // field's when the comment holds it.
    return blank_before(header.data(), header.size() - n - 1) ? find_code(first, second) : not_plain;
}

sample_matcher::memo_key::memo_key(std::string_view text) : text(text), words{0, 0, 0} {
    if (text.size() > inline_text) {
        hash = ::text_hash(text);  // the containers' hash, not count::text_hash (a functor)
        return;
    }
    std::memcpy(words, text.data(), text.size());
    uint64_t h = (words[0] ^ text.size()) * 0x9e3779b97f4a7c15ULL;
    h = (h ^ (h >> 29) ^ words[1]) * 0xbf58476d1ce4e5b9ULL;
    hash = hash_mix64(h ^ words[2]);
}

const sample_matcher::text_memo::slot* sample_matcher::text_memo::find(const memo_key& key) const {
    if (slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t at = key.hash & mask; slots_[at].entry != 0; at = (at + 1) & mask)
        if (holds(slots_[at], key)) return &slots_[at];
    return nullptr;
}

const sample_matcher::text_memo::slot& sample_matcher::text_memo::add(const memo_key& key, int32_t sample,
                                                                      bool reversed) {
    if ((texts_.size() + 1) * 2 > slots_.size()) grow();  // kept at most half full
    const size_t mask = slots_.size() - 1;
    size_t at = key.hash & mask;
    while (slots_[at].entry != 0) at = (at + 1) & mask;
    slot& s = slots_[at];
    std::memcpy(s.words, key.words, sizeof s.words);
    s.hash = key.hash;
    s.sample = sample;
    s.reversed = reversed;
    s.length = static_cast<uint32_t>(key.text.size());
    texts_.push_back({static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(key.text.size())});
    text_.append(key.text);
    s.entry = static_cast<uint32_t>(texts_.size());
    return s;
}

void sample_matcher::text_memo::grow() {
    std::vector<slot> slots(std::max<size_t>(256, slots_.size() * 2), slot{});
    const size_t mask = slots.size() - 1;
    for (const slot& s : slots_) {
        if (s.entry == 0) continue;
        size_t at = s.hash & mask;
        while (slots[at].entry != 0) at = (at + 1) & mask;
        slots[at] = s;
    }
    slots_.swap(slots);
}

int32_t sample_matcher::find(std::string_view joined) {
    uint64_t first = 0, second = 0;
    if (coded_ && code_joined(joined, first, second)) return find_code(first, second);
    const memo_key key(joined);
    if (recent_.empty()) recent_.assign(recent_size, text_memo::slot{});
    text_memo::slot& recent = recent_[(key.hash >> 40) & (recent_size - 1)];
    if (!(recent.sample != none ? matched_ : frequent_).holds(recent, key)) {
        const text_memo::slot* known = matched_.find(key);
        if (known == nullptr) known = frequent_.find(key);
        if (known == nullptr) {
            bool reversed = false;
            const int32_t sample = find_joined(joined, reversed);
            if (sample != none) {
                known = &matched_.add(key, sample, reversed);
            } else if (frequent_.size() < frequent_most) {
                known = &frequent_.add(key, none, false);
                frequent_counts_.push_back(0);
            } else {
                if (later_starts_.empty()) later_starts_.push_back(0);
                later_text_.append(joined);
                later_starts_.push_back(later_text_.size());
                return none;
            }
        }
        recent = *known;
    }
    if (recent.sample == none) {
        ++frequent_counts_[recent.entry - 1];
        return none;
    }
    ++(recent.reversed ? reverse_ : forward_);
    return recent.sample;
}

std::vector<std::pair<std::string_view, int64_t>> sample_matcher::unmatched_texts() {
    std::vector<std::pair<std::string_view, int64_t>> rows;
    // The coded texts, spelt out (all in place before any is viewed).
    settle_unmatched();
    const size_t length1 = first_.length;
    const size_t joined = parts_ == 2 ? length1 + 1 + second_.length : length1;
    decoded_.assign(unmatched_tally_.size() * joined, '+');
    for (size_t row = 0; row < unmatched_tally_.size(); ++row) {
        auto [code, reads] = unmatched_tally_[row];
        char* text = decoded_.data() + row * joined;
        const uint64_t first = code >> second_bits_, second = code & ((uint64_t{1} << second_bits_) - 1);
        for (size_t i = 0; i < length1; ++i) text[i] = base_letters[first >> (2 * i) & 3];
        for (size_t i = length1 + 1; i < joined; ++i) text[i] = base_letters[second >> (2 * (i - length1 - 1)) & 3];
        rows.emplace_back(std::string_view(text, joined), reads);
    }
    for (uint32_t entry = 0; entry < frequent_.size(); ++entry)
        rows.emplace_back(frequent_.text_of(entry), frequent_counts_[entry]);
    // The texts written down, sorted so that equal ones stand together:
    // each carries its first 24 bytes as words, so that few comparisons go
    // to the texts.
    struct item {
        memo_key key;
        explicit item(std::string_view text) : key(text) {}
        bool operator<(const item& o) const {
            for (int w = 0; w < 3; ++w)
                if (key.words[w] != o.key.words[w]) return key.words[w] < o.key.words[w];
            return key.text < o.key.text;
        }
        bool operator==(const item& o) const { return key.text == o.key.text; }
    };
    std::vector<item> later;
    if (!later_starts_.empty()) later.reserve(later_starts_.size() - 1);
    for (size_t i = 0; i + 1 < later_starts_.size(); ++i)
        later.emplace_back(std::string_view(later_text_).substr(later_starts_[i], later_starts_[i + 1] - later_starts_[i]));
    std::sort(later.begin(), later.end());
    for (size_t i = 0; i < later.size();) {
        size_t j = i + 1;
        while (j < later.size() && later[j] == later[i]) ++j;
        rows.emplace_back(later[i].key.text, static_cast<int64_t>(j - i));
        i = j;
    }
    return rows;
}

std::string sample_matcher::orientation_note() const {
    if (parts_ < 2) return {};
    std::string note = "second index: ";
    if (!reverse_tried_) return note + "as in the sheet (its reverse complement is too close to other samples to be tried)\n";
    if (reverse_ > forward_)
        note += "reverse-complemented";
    else
        note += "as in the sheet";
    return note + " (" + std::to_string(forward_) + " reads as in the sheet, " + std::to_string(reverse_) +
           " reverse-complemented)\n";
}

}  // namespace count
