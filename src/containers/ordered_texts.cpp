#include "containers/ordered_texts.h"

#include <cstring>

uint64_t text_hash(std::string_view text) {
    // Eight bytes at a time, each step a multiply and a fold.
    constexpr uint64_t k = 0x9E3779B97F4A7C15ULL;
    uint64_t h = text.size() * k;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = (h ^ word) * k;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    h = (h ^ tail) * k;
    h ^= h >> 32;
    return h;
}

uint32_t ordered_texts::insert(std::string_view text, uint64_t hash, bool& added) {
    if (2 * (texts_.size() + 1) > slots_.size()) grow();
    uint64_t check = hash & ~uint64_t{0xFFFFFFFF};
    for (size_t slot = slot_of(hash);; slot = (slot + 1) & (slots_.size() - 1)) {
        uint64_t held = slots_[slot];
        if (held == 0) {
            texts_.emplace_back(text);
            hashes_.push_back(hash);
            slots_[slot] = check | texts_.size();
            added = true;
            return static_cast<uint32_t>(texts_.size() - 1);
        }
        auto position = static_cast<uint32_t>(held) - 1;
        if ((held & ~uint64_t{0xFFFFFFFF}) == check && texts_[position] == text) {
            added = false;
            return position;
        }
    }
}

int64_t ordered_texts::find(std::string_view text) const {
    if (slots_.empty()) return -1;
    uint64_t hash = text_hash(text);
    uint64_t check = hash & ~uint64_t{0xFFFFFFFF};
    for (size_t slot = slot_of(hash);; slot = (slot + 1) & (slots_.size() - 1)) {
        uint64_t held = slots_[slot];
        if (held == 0) return -1;
        auto position = static_cast<uint32_t>(held) - 1;
        if ((held & ~uint64_t{0xFFFFFFFF}) == check && texts_[position] == text) return position;
    }
}

void ordered_texts::grow() {
    slots_.assign(slots_.empty() ? 16 : slots_.size() * 2, 0);
    for (size_t p = 0; p < texts_.size(); ++p) {
        size_t slot = slot_of(hashes_[p]);
        while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
        slots_[slot] = (hashes_[p] & ~uint64_t{0xFFFFFFFF}) | (p + 1);
    }
}
