// Small text helpers shared by the sub-commands.
#pragma once

#include <cstdint>
#include <string_view>

// Reads a number the way atoi does (leading blanks, optional sign, digits up
// to the first other character, none gives 0), but into 64 bits, saturating
// at the ends of that range instead of wrapping.
int64_t parse_atoi64(const char* text);
int64_t parse_atoi64(std::string_view text);

// The same, saturated to the 32-bit range: option values.
int parse_atoi32(const char* text);

// Counts never wrap: a sum that would leave the 64-bit range stays at its
// end (counts read from files saturate, and so do their sums).
inline int64_t add_saturating(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

// Bit 7 of each byte of x that is zero, and no other: eight bytes tested
// at once (x ^ c * 0x0101010101010101 finds the bytes equal to c).
inline uint64_t zero_bytes(uint64_t x) {
    constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7full;
    return ~(((x & low7) + low7) | x | low7);
}

// The help test of every sub-command: exactly "?" or containing "help".
bool asks_for_help(const char* arg);

// The warning of map and tabulate about barcode sequences with other
// characters (lower case, a carriage return): no read matches them, so the
// run says so, with their number; nothing when there are none.
void warn_barcode_letters(int64_t sequences);

// The sequence of a barcode line, given the text after its first tab. Labs
// keep libraries with more columns (a gene, a note): the sequence ends at a
// further tab, and the first such line of a run gets one warning.
class barcode_sequence_reader {
public:
    std::string_view sequence(std::string_view after_first_tab);

private:
    bool warned_ = false;
};
