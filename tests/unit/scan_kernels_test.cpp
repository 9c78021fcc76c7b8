#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "count/scan_kernels.h"

namespace {

using count::scan_kernels;
using count::scan_kernels_for;

// Every length up to past a 64-byte word, and the edges of vectors, words
// and the 255 rounds after which the vector tallies are emptied.
std::vector<size_t> lengths() {
    std::vector<size_t> all;
    for (size_t n = 0; n <= 70; ++n) all.push_back(n);
    for (size_t n : {95, 96, 97, 127, 128, 129, 255 * 16 - 1, 255 * 16, 255 * 16 + 1, 255 * 16 + 17, 255 * 32 - 1,
                     255 * 32, 255 * 32 + 1, 255 * 32 + 33, 3 * 255 * 32 + 5})
        all.push_back(n);
    return all;
}

// Bytes drawn mostly from `common`, now and then any byte at all.
std::string random_text(std::mt19937& random, size_t n, const std::string& common) {
    std::string text(n, '\0');
    for (char& c : text)
        c = random() % 8 == 0 ? static_cast<char>(random() % 256) : common[random() % common.size()];
    return text;
}

// Quality bytes around a threshold, with some of every kind.
std::string qualities_around(std::mt19937& random, size_t n, int64_t threshold) {
    std::string common;
    for (int64_t q = threshold - 2; q <= threshold + 1; ++q)
        if (q >= -128 && q <= 127) common += static_cast<char>(q);
    if (common.empty()) common = "I#";
    return random_text(random, n, common);
}

// The text one byte into its string, so that no load of it is aligned.
std::string one_ahead(const std::string& text) {
    std::string shifted(1, ' ');
    shifted += text;
    return shifted;
}

// The levels to compare with the scalar one.
std::vector<const scan_kernels*> vector_levels() {
    std::vector<const scan_kernels*> levels;
    for (isa_level level : isa_levels_available()) {
        const scan_kernels& k = scan_kernels_for(level);
        EXPECT_EQ(k.level, level);
        if (level != isa_level::scalar) levels.push_back(&k);
    }
    return levels;
}

const scan_kernels& scalar = scan_kernels_for(isa_level::scalar);

TEST(ScanKernels, LineFeedsAndLetterMasksAsTheScalarLevel) {
    std::mt19937 random(5);
    for (const scan_kernels* k : vector_levels()) {
        SCOPED_TRACE(k->name);
        for (size_t words : {0, 1, 2, 3, 5, 65}) {
            std::string text = one_ahead(random_text(random, words * 64, "\n\nACGT\r\t"));
            std::vector<uint64_t> want(words + 1, 7), got(words + 1, 7);
            scalar.line_feed_bits(text.data() + 1, words, want.data());
            k->line_feed_bits(text.data() + 1, words, got.data());
            EXPECT_EQ(got, want) << words;
        }
        for (size_t n : lengths()) {
            std::string read = one_ahead(random_text(random, n, "ACGTNacgt.\n"));
            const size_t words = n / 64 + 2;
            // Filled beforehand, so that every word the kernel must write is checked.
            std::vector<uint64_t> want[4], got[4];
            for (int c = 0; c < 4; ++c) want[c].assign(words + 1, ~uint64_t{0}), got[c] = want[c];
            uint64_t* const want_masks[4] = {want[0].data(), want[1].data(), want[2].data(), want[3].data()};
            uint64_t* const got_masks[4] = {got[0].data(), got[1].data(), got[2].data(), got[3].data()};
            scalar.letter_masks(read.data() + 1, n, want_masks);
            k->letter_masks(read.data() + 1, n, got_masks);
            for (int c = 0; c < 4; ++c) EXPECT_EQ(got[c], want[c]) << n << " letter " << "ACGT"[c];
        }
    }
}

// Masking, in place and to another buffer, and the tallies below a floor,
// with thresholds inside and beyond the signed byte range.
TEST(ScanKernels, QualityMaskingAndTalliesAsTheScalarLevel) {
    std::mt19937 random(7);
    const int64_t thresholds[] = {-200, -128, -127, 0, 33 + 10, 64 + 10, 64 + 40, 127, 128, 300};
    for (const scan_kernels* k : vector_levels()) {
        SCOPED_TRACE(k->name);
        for (size_t n : lengths()) {
            for (int64_t threshold : thresholds) {
                std::string seq = one_ahead(random_text(random, n, "ACGTN."));
                std::string qual = one_ahead(qualities_around(random, n, threshold));
                std::string want(n + 1, '-'), got(n + 1, '-');
                int64_t want_masked = scalar.mask_copy(threshold, want.data() + 1, seq.data() + 1, qual.data() + 1, n);
                EXPECT_EQ(k->mask_copy(threshold, got.data() + 1, seq.data() + 1, qual.data() + 1, n), want_masked)
                    << n << " below " << threshold;
                EXPECT_EQ(got, want) << n << " below " << threshold;
                std::string in_place = seq;
                EXPECT_EQ(k->mask_copy(threshold, in_place.data() + 1, in_place.data() + 1, qual.data() + 1, n), want_masked);
                EXPECT_EQ(in_place.substr(1), want.substr(1)) << n << " in place, below " << threshold;
                EXPECT_EQ(k->count_below(threshold, qual.data() + 1, n), scalar.count_below(threshold, qual.data() + 1, n))
                    << n << " below " << threshold;
            }
        }
    }
}

TEST(ScanKernels, QualityExtremesAsTheScalarLevel) {
    std::mt19937 random(9);
    const std::pair<unsigned char, unsigned char> starts[] = {{255, 0}, {'5', '5'}, {0, 255}, {'!', 'J'}};
    for (const scan_kernels* k : vector_levels()) {
        SCOPED_TRACE(k->name);
        for (size_t n : lengths()) {
            std::string qual = one_ahead(random_text(random, n, "!#5?IJKh~"));
            for (auto [lowest, highest] : starts) {
                unsigned char want_low = lowest, want_high = highest, got_low = lowest, got_high = highest;
                scalar.extremes(qual.data() + 1, n, want_low, want_high);
                k->extremes(qual.data() + 1, n, got_low, got_high);
                EXPECT_EQ(got_low, want_low) << n;
                EXPECT_EQ(got_high, want_high) << n;
            }
        }
    }
}

// The start where a constant (1 to 32 letters, some N) differs least from
// a text: every level as the scalar one, with the text's last byte the last
// one readable (the vector levels must not read past it).
TEST(ScanKernels, WindowSearchAsTheScalarLevel) {
    std::mt19937 random(13);
    for (const scan_kernels* k : vector_levels()) {
        SCOPED_TRACE(k->name);
        for (int round = 0; round < 4000; ++round) {
            const size_t n = 1 + random() % 32, starts = 1 + random() % 40;
            count::window_constant constant{};
            std::string letters(n, 'A');
            constant.care = 0;
            for (size_t i = 0; i < n; ++i) {
                letters[i] = "ACGTN"[random() % (round % 3 == 0 ? 5 : 2)];
                constant.letters[i] = letters[i];
                if (letters[i] != 'N') constant.care |= uint32_t{1} << i;
            }
            // Exactly the bytes the search may read, in their own block.
            std::vector<char> text(n + starts - 1);
            for (char& c : text) c = "ACGTN"[random() % (round % 2 ? 5 : 2)];
            const uint32_t limit = random() % 4;
            size_t want_at = 99, got_at = 99;
            const uint32_t want = scalar.window_search(constant, limit, text.data(), starts, text.size(), want_at);
            const uint32_t got = k->window_search(constant, limit, text.data(), starts, text.size(), got_at);
            ASSERT_EQ(got <= limit, want <= limit) << letters << " in " << std::string(text.begin(), text.end());
            if (want <= limit) {
                EXPECT_EQ(got, want) << letters;
                EXPECT_EQ(got_at, want_at) << letters;
            }
        }
    }
}

}  // namespace
